// --check and --sync: whether the include files and alias files still match
// the catalogue, and bringing them back where that needs no guessing. Every
// repair is the step of the command it copies (enable's guarded write,
// disable's synced removal, set-default's keeping of the newest choice), so
// a kill or a failure leaves each file whole, the earlier or the new one.
#include "lanternctl.h"

#include "db/sql.hpp"
#include "configtest.hpp"
#include "defaults.hpp"
#include "hcp_conf.h"
#include "hcp_db.h"
#include "hcp_proc.h"
#include "hcp_util.h"
#include "pending.hpp"
#include "proc/script.hpp"
#include "util/owners.hpp"
#include "vhost.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <iterator>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace
{

enum class finding {
    include_missing,
    include_stale,
    include_unexpected,
    include_unbuildable,
    alias_duplicate,
    alias_malformed,
    leftover,
    configtest
};

const char *const k_finding_names[] = {
    "include-missing", "include-stale",   "include-unexpected", "include-unbuildable",
    "alias-duplicate", "alias-malformed", "leftover",           "configtest",
};
static_assert(std::size(k_finding_names) == size_t(finding::configtest) + 1);

enum class outcome { found, repaired, left };

const char k_select_catalogue[] = "SELECT product_id, enabled FROM Webmails";

// The findings of one run, and what the sync did about each.
struct run_state {
    const char *only = nullptr; // the webmail named, or every one
    bool repair = false;
    bool changed = false; // an include or alias file: Apache reloads
    bool left = false;
    std::vector<std::string> lines;

    bool in_scope(const char *webmail) const
    {
        return only == nullptr || std::strcmp(webmail, only) == 0;
    }
    outcome unrepaired() const { return repair ? outcome::left : outcome::found; }

    // A repair is logged also where its line is another webmail's.
    void note(const char *webmail, finding what, std::string_view path, outcome how)
    {
        const char *finding_name = k_finding_names[int(what)];
        if (how == outcome::repaired)
            log_printf(LOG_NOTICE, "Repaired %s of %s webmail: %.*s\n", finding_name, webmail,
                       int(path.size()), path.data());
        if (!in_scope(webmail))
            return;
        std::string line = std::string(webmail) + '\t' + finding_name + '\t';
        line += path;
        if (how != outcome::found)
            line += how == outcome::repaired ? "\trepaired" : "\tleft";
        left = left || how == outcome::left;
        lines.push_back(std::move(line));
    }
};

bool fail(const char *format, const std::string &object)
{
    log_printf(LOG_ERR, format, object.c_str(), std::strerror(errno));
    return false;
}

bool is_absent(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

struct dir_closer {
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// Opens a directory beneath the root for reading; null with errno.
unique_dir open_dir(const char *path)
{
    hcp::unique_fd fd(sysroot_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    DIR *dir = fd ? ::fdopendir(fd.get()) : nullptr;
    if (dir != nullptr)
        (void)fd.release();
    return unique_dir(dir);
}

// Calls each(entry) for every entry but "." and ".." in one pass; false when
// each did (it has logged why) or the directory could not be read.
template <typename Each> bool each_entry(DIR *dir, const std::string &path, Each each)
{
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (entry == nullptr)
            return errno == 0 || fail("Unable to read directory %s: %s\n", path);
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
            !each(entry))
            return false;
    }
}

bool is_regular(int dir_fd, const dirent *entry)
{
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type == DT_REG;
    struct stat st;
    return ::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

bool is_number(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "<pid>.<n>": how earlier versions named their temporaries.
bool is_numbered(std::string_view role)
{
    size_t dot = role.find('.');
    return dot != std::string_view::npos && is_number(role.substr(0, dot)) &&
           is_number(role.substr(dot + 1));
}

// What name is beyond "<prefix>", or false when it does not begin so.
bool role_after(std::string_view name, std::string_view prefix, std::string_view &role)
{
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return false;
    role = name.substr(prefix.size());
    return true;
}

bool remove_synced(int dir_fd, const char *name, const std::string &path)
{
    if ((::unlinkat(dir_fd, name, 0) != 0 && errno != ENOENT) ||
        !lanternctl::sync_directory_fd(dir_fd))
        return fail("Unable to remove %s: %s\n", path);
    return true;
}

// Which known webmails the catalogue has switched on: a row keyed by the
// name, as the commands find it, whose enabled is 'true'.
bool read_catalogue(bool (&enabled)[KNOWN_WEBMAIL_COUNT])
{
    hcp::unique_mysql db(db_connect_or_report());
    if (!db) {
        log_printf(LOG_ERR, "Unable to connect to the mysql database\n");
        return false;
    }
    hcp::unique_result result;
    if (mysql_query(db.get(), k_select_catalogue) == 0)
        result.reset(mysql_store_result(db.get()));
    if (!result) {
        log_printf(LOG_ERR, "Unable to get webmails list from database: %s", mysql_error(db.get()));
        return false;
    }
    bool seen[KNOWN_WEBMAIL_COUNT] = {};
    while (MYSQL_ROW row = mysql_fetch_row(result.get()))
        for (int i = 0; i < KNOWN_WEBMAIL_COUNT; i++)
            if (row[0] != nullptr && std::strcmp(row[0], known_webmails[i]) == 0 && !seen[i]) {
                seen[i] = true; // the first row, as the definition is read
                enabled[i] = row[1] != nullptr && std::strcmp(row[1], "true") == 0;
            }
    return true;
}

// One webmail's entries in the include directory.
struct include_entries {
    bool file = false;
    bool undo_old = false;             // a killed run's earlier include file
    bool undo_absent = false;          // a killed run's record that there was none
    std::vector<std::string> fixed;    // .new, .old, .absent, .kept
    std::vector<std::string> numbered; // earlier versions' .<pid>.<n>
};

bool scan_include_dir(const run_state &r, DIR *dir, const std::string &path,
                      include_entries (&includes)[KNOWN_WEBMAIL_COUNT])
{
    std::string names[KNOWN_WEBMAIL_COUNT];
    for (int i = 0; i < KNOWN_WEBMAIL_COUNT; i++)
        names[i] = lanternctl::include_file_name(known_webmails[i]);
    return each_entry(dir, path, [&](const dirent *entry) {
        std::string_view name = entry->d_name, role;
        for (int i = 0; i < KNOWN_WEBMAIL_COUNT; i++) {
            if (!r.in_scope(known_webmails[i]))
                continue;
            include_entries &in = includes[i];
            if (name == names[i])
                in.file = true;
            else if (role_after(name, "." + names[i] + ".", role)) {
                in.undo_old = in.undo_old || role == "old";
                in.undo_absent = in.undo_absent || role == "absent";
                if (role == "new" || role == "old" || role == "absent" || role == "kept")
                    in.fixed.emplace_back(name);
                else if (is_numbered(role))
                    in.numbered.emplace_back(name);
            }
        }
        return true;
    });
}

// A killed run's leftovers of webmail's include file. The sync rolls an undo
// record back as the next run of that webmail would, before the file is
// judged, and removes the rest.
bool settle_include_leftovers(run_state &r, const char *webmail, const include_entries &in,
                              DIR *dir, const std::string &dir_path)
{
    if (r.repair && !in.fixed.empty()) {
        if (recover_include_file(webmail) != 0)
            return false;
        r.changed = r.changed || in.undo_old || in.undo_absent;
    }
    for (const std::string &name : in.fixed)
        r.note(webmail, finding::leftover, dir_path + "/" + name,
               r.repair ? outcome::repaired : outcome::found);
    for (const std::string &name : in.numbered) {
        std::string path = dir_path + "/" + name;
        if (r.repair && !remove_synced(::dirfd(dir), name.c_str(), path))
            return false;
        r.note(webmail, finding::leftover, path, r.repair ? outcome::repaired : outcome::found);
    }
    return true;
}

// Reads up to `most` bytes of the file at path, links followed as Apache
// follows them: 1, 0 when there is none, 2 when it is no regular file, -1
// with errno.
int read_up_to(const std::string &path, size_t most, std::string &content)
{
    hcp::unique_fd fd(sysroot_open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return is_absent(errno) ? 0 : -1;
    if (!S_ISREG(st.st_mode))
        return 2;
    content.resize(most);
    size_t got = 0;
    for (ssize_t n; got < most && (n = ::read(fd.get(), &content[got], most - got)) != 0;) {
        if (n < 0)
            return -1;
        got += size_t(n);
    }
    content.resize(got);
    return 1;
}

// webmail's include file against what the catalogue says it should be.
bool judge_include(run_state &r, const char *webmail, bool enabled, const include_entries &in,
                   const std::string &dir_path)
{
    std::string path = dir_path + "/" + lanternctl::include_file_name(webmail);
    // Once an undo record is rolled back: the sync has done it, the check
    // looks at what it will be.
    bool exists = in.undo_old || (!in.undo_absent && in.file);
    if (!enabled) {
        if (!exists)
            return true;
        if (r.repair) {
            if (remove_webmail_vhost(webmail) != 0)
                return false;
            r.changed = true;
        }
        r.note(webmail, finding::include_unexpected, path,
               r.repair ? outcome::repaired : outcome::found);
        return true;
    }

    webmail_options options{};
    std::string expected;
    if (get_webmail_options(webmail, &options) != 0 ||
        lanternctl::build_include_text(webmail, options, expected) != 0) {
        r.note(webmail, finding::include_unbuildable, path, r.unrepaired());
        return true;
    }
    std::string current;
    std::string read_path = in.undo_old && !r.repair
                                ? dir_path + "/." + lanternctl::include_file_name(webmail) + ".old"
                                : path;
    int present = exists ? read_up_to(read_path, expected.size() + 1, current) : 0;
    if (present < 0)
        return fail("Unable to read %s: %s\n", read_path);
    if (present == 1 && current == expected)
        return true;
    finding what = present ? finding::include_stale : finding::include_missing;
    outcome how = r.unrepaired();
    if (r.repair) {
        int rc = lanternctl::write_include_file(webmail, options);
        if (rc < 0)
            return false;
        if (rc == 0) {
            r.changed = true;
            how = outcome::repaired;
        }
    }
    r.note(webmail, what, path, how);
    return true;
}

bool check_include_files(run_state &r)
{
    bool enabled[KNOWN_WEBMAIL_COUNT] = {};
    if (!read_catalogue(enabled))
        return false;
    const std::string dir_path = conf_get(HTTPD_INCLUDE_D);
    unique_dir dir = open_dir(dir_path.c_str());
    if (!dir && !is_absent(errno))
        return fail("Unable to read directory %s: %s\n", dir_path);
    include_entries includes[KNOWN_WEBMAIL_COUNT];
    if (dir && !scan_include_dir(r, dir.get(), dir_path, includes))
        return false;
    for (int i = 0; i < KNOWN_WEBMAIL_COUNT; i++) {
        const char *webmail = known_webmails[i];
        if (std::strcmp(webmail, "none") == 0 || !r.in_scope(webmail))
            continue;
        if (!settle_include_leftovers(r, webmail, includes[i], dir.get(), dir_path) ||
            !judge_include(r, webmail, enabled[i], includes[i], dir_path))
            return false;
    }
    return true;
}

// A webmail's conf.d; one that several webmails share (a link) counts once,
// as the first of them in the order walked.
struct alias_dir {
    const char *webmail;
    std::string path;
    unique_dir dir;
    struct stat st;
    std::vector<std::string> leftovers;
};

// An alias file that holds its line: its name in the arena, its directory.
struct alias_name {
    uint32_t offset;
    uint32_t dir;
};

// 1 when the entry is a regular file holding exactly the line set-default
// writes for its name, 0 when not, -1 after logging why it could not be read.
// One open and one read: its type comes from the directory.
int holds_alias_line(int dir_fd, const dirent *entry, const std::string &dir_path)
{
    char expected[lanternctl::k_alias_line_bytes];
    int length;
    if (!lanternctl::is_valid_vhost_name(entry->d_name) || !is_regular(dir_fd, entry) ||
        (length = lanternctl::compose_alias_line(expected, entry->d_name)) < 0)
        return 0;
    hcp::unique_fd fd(
        ::openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char content[lanternctl::k_alias_line_bytes + 1];
    ssize_t n = fd ? ::read(fd.get(), content, size_t(length) + 1) : -1;
    if (n < 0) {
        if (errno == ELOOP)
            return 0; // a link put there since the directory was read
        fail("Unable to read %s: %s\n", dir_path + "/" + entry->d_name);
        return -1;
    }
    return n == length && std::memcmp(content, expected, size_t(length)) == 0;
}

bool open_alias_dirs(const run_state &r, std::vector<alias_dir> &dirs)
{
    // The webmail named first: a shared conf.d is then reported as its own.
    const char *order[KNOWN_WEBMAIL_COUNT + 1] = {r.only};
    std::copy(std::begin(known_webmails), std::end(known_webmails), order + 1);
    for (const char *webmail : order) {
        char path[PATH_BUFFER_BYTES];
        if (webmail == nullptr || std::strcmp(webmail, "none") == 0 ||
            !lanternctl::conf_d_path(path, webmail))
            continue;
        unique_dir dir = open_dir(path);
        struct stat st;
        if (!dir) {
            if (is_absent(errno))
                continue; // no conf.d, no alias file
            return fail("Unable to read directory %s: %s\n", path);
        }
        if (::fstat(::dirfd(dir.get()), &st) != 0)
            return fail("Unable to read directory %s: %s\n", path);
        if (std::none_of(dirs.begin(), dirs.end(), [&](const alias_dir &d) {
                return d.st.st_dev == st.st_dev && d.st.st_ino == st.st_ino;
            }))
            dirs.push_back({webmail, path, std::move(dir), st, {}});
    }
    return true;
}

bool newer(const struct stat &a, const struct stat &b)
{
    return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                                : a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

// One vhost's alias files in several webmails' conf.d. set-default writes
// the new choice before it removes the earlier one, so the newest file is
// the last choice made: it stays, and the others go as set-default removes
// them. When the newest is not unique, nothing tells which was meant.
bool settle_duplicate(run_state &r, std::vector<alias_dir> &dirs, const char *name,
                      const alias_name *group, size_t count)
{
    if (std::none_of(group, group + count,
                     [&](const alias_name &a) { return r.in_scope(dirs[a.dir].webmail); }))
        return true;
    auto path = [&](size_t k) { return dirs[group[k].dir].path + "/" + name; };
    auto dir_fd = [&](size_t k) { return ::dirfd(dirs[group[k].dir].dir.get()); };
    outcome how = r.unrepaired();
    if (r.repair) {
        std::vector<struct stat> st(count);
        size_t newest = 0;
        for (size_t k = 0; k < count; k++) {
            if (::fstatat(dir_fd(k), name, &st[k], AT_SYMLINK_NOFOLLOW) != 0)
                return fail("Unable to read %s: %s\n", path(k));
            if (newer(st[k], st[newest]))
                newest = k;
        }
        bool unique = true;
        for (size_t k = 0; k < count; k++)
            unique = unique && (k == newest || newer(st[newest], st[k]));
        for (size_t k = 0; unique && k < count; k++)
            if (k != newest && !remove_synced(dir_fd(k), name, path(k)))
                return false;
        if (unique) {
            r.changed = true;
            how = outcome::repaired;
        }
    }
    for (size_t k = 0; k < count; k++)
        r.note(dirs[group[k].dir].webmail, finding::alias_duplicate, path(k), how);
    return true;
}

bool check_alias_files(run_state &r)
{
    std::vector<alias_dir> dirs;
    if (!open_alias_dirs(r, dirs))
        return false;
    std::string arena; // the names of the alias files, each ended by NUL
    std::vector<alias_name> names;
    for (uint32_t d = 0; d < dirs.size(); d++) {
        alias_dir &ad = dirs[d];
        int fd = ::dirfd(ad.dir.get());
        bool read = each_entry(ad.dir.get(), ad.path, [&](const dirent *entry) {
            std::string_view name = entry->d_name, role;
            // Other dot-files are no alias files: set-default never writes one.
            if (name[0] == '.') {
                if (role_after(name, std::string(".") + lanternctl::k_alias_temporary_base + ".",
                               role) &&
                    (role == "new" || is_numbered(role)))
                    ad.leftovers.emplace_back(name);
                return true;
            }
            int holds = holds_alias_line(fd, entry, ad.path);
            if (holds == 0)
                r.note(ad.webmail, finding::alias_malformed, ad.path + "/" + entry->d_name,
                       r.unrepaired());
            else if (holds > 0) {
                names.push_back({uint32_t(arena.size()), d});
                arena.append(name).push_back('\0');
            }
            return holds >= 0;
        });
        if (!read)
            return false;
        for (const std::string &name : ad.leftovers) {
            std::string path = ad.path + "/" + name;
            if (!r.in_scope(ad.webmail))
                break;
            if (r.repair && !remove_synced(fd, name.c_str(), path))
                return false;
            r.note(ad.webmail, finding::leftover, path,
                   r.repair ? outcome::repaired : outcome::found);
        }
    }

    auto name_of = [&](const alias_name &a) { return arena.data() + a.offset; };
    std::sort(names.begin(), names.end(), [&](const alias_name &a, const alias_name &b) {
        return std::strcmp(name_of(a), name_of(b)) < 0;
    });
    for (size_t i = 0, j; i < names.size(); i = j) {
        for (j = i + 1; j < names.size() && std::strcmp(name_of(names[i]), name_of(names[j])) == 0;)
            j++;
        if (j - i > 1 && !settle_duplicate(r, dirs, name_of(names[i]), &names[i], j - i))
            return false;
    }
    return true;
}

// The web server's configuration test, where install would run one: its
// rc.d script is there and NO_RESTART_DAEMON is not set. false after
// logging why it could not tell.
bool test_configuration(run_state &r)
{
    char script[PATH_BUFFER_BYTES];
    if (!lanternctl::configtest_script(script))
        return true;
    int seconds = 0;
    hcp::script_outcome test = lanternctl::run_configtest(script, seconds);
    switch (test.how) {
    case hcp::script_outcome::end::exited:
        if (test.exit_status != 0)
            r.note("-", finding::configtest, script, r.unrepaired());
        return true;
    case hcp::script_outcome::end::not_run:
        errno = test.error;
        return fail("Unable to run '%s configtest': %s\n", script);
    case hcp::script_outcome::end::timed_out:
        log_printf(LOG_ERR, "'%s configtest' did not end within %d seconds and was killed\n",
                   script, seconds);
        return false;
    }
    return false;
}

} // namespace

extern "C" int check_webmail_files(const char *name, int repair, int *changed)
{
    *changed = 0;
    try {
        run_state r;
        r.only = name[0] != '\0' ? name : nullptr;
        r.repair = repair != 0;
        // The configuration test is the whole server's, no one webmail's.
        if (!check_include_files(r) || !check_alias_files(r) ||
            (r.only == nullptr && !test_configuration(r)))
            return -1;
        std::sort(r.lines.begin(), r.lines.end());
        for (const std::string &line : r.lines)
            std::printf("%s\n", line.c_str());
        *changed = r.changed;
        bool findings = r.repair ? r.left : !r.lines.empty();
        return findings ? CHECK_FINDINGS : 0;
    } catch (const std::bad_alloc &) {
        log_printf(LOG_ERR, "System error: %s\n", std::strerror(ENOMEM));
        return -1;
    }
}
