// --check and --sync: whether the include files and alias files still match
// the catalogue, and bringing them back where that needs no guessing. The
// files are read without the lock and every finding is confirmed under it,
// so that what a run prints is never a half-done run's state. A sync is one
// checkpoint: it writes every include file it repairs, each with its undo
// record, and asks the web server once; its reload is pending, durably,
// until the web server has reloaded.
#include "check.hpp"

#include "catalogue.hpp"
#include "configtest.hpp"
#include "diff.hpp"
#include "hcp_conf.h"
#include "hcp_util.h"
#include "include_file.hpp"
#include "messages.hpp"
#include "vhost.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <new>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace lanternctl
{
namespace
{

const char *const k_finding_names[] = {
    "include-missing", "include-stale",   "include-unexpected", "include-unbuildable",
    "alias-duplicate", "alias-malformed", "alias-unserved",     "leftover",
    "configtest",      "reload-pending",
};
static_assert(std::size(k_finding_names) == size_t(finding::reload_pending) + 1);
const char *const k_outcome_names[] = {"", "repaired", "kept", "left"};

// A sync's change that the web server has not reloaded yet. Each sync that
// changes files puts a new file there, so that the end of a reload removes
// only the mark of changes that reload has seen.
constexpr char k_reload_mark[] = ".lanternctl reload-pending";
constexpr char k_reload_mark_temporary[] = ".lanternctl reload-pending.new";
// What --diff reads of a current include file at most.
constexpr size_t k_diff_bytes_max = size_t(16) << 20;

std::string in_include_dir(const char *name)
{
    return std::string(conf_get(HTTPD_INCLUDE_D)) + "/" + name;
}

// The mark's inode, 0 when there is none; false after logging why.
bool mark_inode(ino_t &ino)
{
    const std::string path = in_include_dir(k_reload_mark);
    struct stat st;
    ino = 0;
    if (sysroot_stat(path.c_str(), &st) == 0)
        ino = st.st_ino;
    return ino != 0 || names_nothing(errno) || log_system_error(path.c_str());
}

// Reads up to `most` bytes of the file at path, links followed as Apache
// follows them: 1, 0 when there is none, 2 when it is a directory, 3 when
// it cannot be read or is no regular file.
int read_up_to(const char *path, size_t most, std::string &content)
{
    hcp::unique_fd fd(sysroot_open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        return names_nothing(errno) ? 0 : errno == EISDIR ? 2 : 3;
    if (!S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? 2 : 3;
    content.resize(most);
    size_t got = 0;
    for (ssize_t n; got < most && (n = ::read(fd.get(), &content[got], most - got)) != 0;) {
        if (n < 0)
            return 3;
        got += size_t(n);
    }
    content.resize(got);
    return 1;
}

// One webmail's include file as the run judges it.
struct include_judgement {
    include_file file;
    left_beside left;
    bool judged = false; // a finding of the file itself
    finding what = finding::include_stale;
    outcome how = outcome::found;
    bool repairable = false; // a directory at the path is none of enable's making
    std::string expected;    // what enable would write now
    pending_file next;
};

// What killed runs left beside an include file: found by the check, rolled
// back and removed by the sync before anything else it does.
bool settle_left(check_run &run, include_judgement &j)
{
    if (!inspect_left(j.file, j.left))
        return log_system_error(j.file.path());
    if (std::none_of(std::begin(j.left.present), std::end(j.left.present),
                     [](bool at) { return at; }))
        return true;
    left_beside after = j.left;
    if (run.repair) {
        if (j.left.live_changes && !run.before_change())
            return false;
        if (!complete_left(j.file, j.left))
            return false;
        run.changed = run.changed || j.left.live_changes;
        if (!inspect_left(j.file, after))
            return log_system_error(j.file.path());
    }
    for (const beside_name &b : k_beside_names)
        if (j.left.at(b.role))
            run.note(j.file.webmail(), finding::leftover, j.file.beside(b.role),
                     !run.repair        ? outcome::found
                     : after.at(b.role) ? outcome::left
                                        : outcome::repaired);
    return true;
}

// Earlier versions' numbered temporaries beside the include files judged.
bool settle_earlier_temporaries(check_run &run, std::span<include_judgement> all)
{
    const char *dir_path = conf_get(HTTPD_INCLUDE_D);
    hcp::unique_fd fd(sysroot_open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    int dup_fd = fd ? ::dup(fd.get()) : -1;
    DIR *dir = dup_fd >= 0 ? ::fdopendir(dup_fd) : nullptr;
    if (dir == nullptr) {
        if (dup_fd >= 0)
            ::close(dup_fd);
        return names_nothing(errno) || log_system_error(dir_path);
    }
    std::vector<std::pair<const include_file *, std::string>> found;
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (entry == nullptr) {
            ok = errno == 0 || log_system_error(dir_path);
            break;
        }
        for (const include_judgement &j : all)
            if (run.in_scope(j.file.webmail()) && j.file.is_earlier_temporary(entry->d_name))
                found.emplace_back(&j.file, entry->d_name);
    }
    ::closedir(dir);
    bool removed = false;
    for (const auto &[file, name] : found) {
        std::string path = std::string(dir_path) + "/" + name;
        struct stat st;
        outcome how = run.unrepaired();
        if (ok && run.repair && ::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode)) {
            if (::unlinkat(fd.get(), name.c_str(), 0) == 0 || errno == ENOENT) {
                removed = true;
                how = outcome::repaired;
            } else {
                ok = log_system_error(path.c_str());
            }
        }
        run.note(file->webmail(), finding::leftover, path, how);
    }
    return (!removed || sync_directory_fd(fd.get()) || log_system_error(dir_path)) && ok;
}

// The include file against what the catalogue says it should be; false
// after logging why the run cannot go on (the database failed).
bool judge_include(check_run &run, MYSQL *db, include_judgement &j)
{
    // The check looks at what rolling back a killed run's record will leave;
    // the sync has rolled it back already.
    const char *current = j.file.path();
    bool none = !run.repair && j.left.record_none;
    if (!run.repair && j.left.record_earlier)
        current = j.file.beside(beside_role::undo_earlier);

    std::string content;
    j.how = run.unrepaired();
    if (!run.enabled[webmail_index(j.file.webmail())]) {
        int present = none ? 0 : read_up_to(current, 0, content);
        j.judged = present != 0;
        j.what = finding::include_unexpected;
        j.repairable = present != 2;
        return true;
    }
    webmail_options options{};
    bool database_failed = false;
    build_result built = build_result::unbuildable;
    if (read_webmail_definition(j.file.webmail(), options, db, database_failed) == 0)
        built = build_include_text(j.file, options, db, false, j.expected);
    else if (database_failed)
        built = build_result::database_failed;
    if (built == build_result::database_failed)
        return false;
    if (built == build_result::unbuildable) {
        j.judged = true;
        j.what = finding::include_unbuildable;
        return true;
    }
    size_t most = run.diff ? k_diff_bytes_max : j.expected.size() + 1;
    int present = none ? 0 : read_up_to(current, most, content);
    if (present == 1 && content == j.expected)
        return true;
    j.judged = true;
    j.what = present == 0 ? finding::include_missing : finding::include_stale;
    j.repairable = present != 2;
    // What it cannot read it cannot show.
    if (run.diff && present < 2) {
        std::string text;
        append_unified_diff(text, content, j.expected, j.file.path(), j.file.path());
        run.diffs.emplace_back(std::string(j.file.webmail()) + '\t' + k_finding_names[int(j.what)] +
                                   '\t' + shown_path(j.file.path()),
                               std::move(text));
    }
    return true;
}

// The sync's repairs: unexpected files removed as disable removes them, the
// others written as one checkpoint. false after logging why.
bool repair_includes(check_run &run, std::span<include_judgement> all, checkpoint_end &end)
{
    staged_file staged[k_checkpoint_files];
    include_judgement *of[k_checkpoint_files];
    size_t count = 0;
    for (include_judgement &j : all) {
        if (!j.judged || !j.repairable || j.what == finding::include_unbuildable)
            continue;
        if (j.what == finding::include_unexpected) {
            if (!run.before_change())
                return false;
            if (sysroot_unlink(j.file.path()) != 0 && errno != ENOENT)
                return log_system_error(j.file.path());
            run.changed = true;
            if (!sync_directory(j.file.dir()))
                return log_system_error(j.file.dir());
            j.how = outcome::repaired;
            continue;
        }
        if (!create_include_temporary(j.file, j.next) ||
            !write_include_temporary(j.next, j.expected))
            return false;
        staged[count] = {&j.file, &j.next};
        of[count++] = &j;
    }
    if (count == 0)
        return true;
    if (!run.before_change())
        return false;
    int rc = commit_checkpoint({staged, count}, end);
    for (size_t i = 0; i < count; i++)
        if (staged[i].result == staged_file::verdict::live) {
            of[i]->how = outcome::repaired;
            run.changed = true;
        }
    // A file may be live beside its undo record: the next run decides it.
    run.hold_reload = run.hold_reload || rc < 0;
    return rc == 0;
}

// The whole server's configuration test, where install would run one; the
// checkpoint's last test where it tested the configuration as it is left.
bool judge_configuration(check_run &run, const checkpoint_end &end)
{
    web_server_script script = find_web_server_script();
    if (script.how == web_server_script::state::none)
        return true;
    if (end.undecided)
        return false; // no test can decide now: the checkpoint has said why
    int fails = end.tested ? !end.passes : test_configuration(script);
    if (fails < 0)
        return false;
    if (fails)
        run.note("-", finding::configtest, script.path, run.unrepaired());
    return true;
}

// The include half, under the lock: what killed runs left, the catalogue,
// each include file judged, the sync's repairs, the configuration test.
bool settle_include_files(check_run &run)
{
    include_judgement all[KNOWN_WEBMAIL_COUNT];
    size_t count = 0;
    for (const char *webmail : known_webmails) {
        // The sync completes every webmail's undo record, whatever it names.
        if (std::strcmp(webmail, "none") == 0 || (!run.repair && !run.in_scope(webmail)))
            continue;
        include_judgement &j = all[count++];
        // A path that does not fit was never written by any run.
        if (!j.file.name(webmail, run.in_scope(webmail))) {
            if (run.in_scope(webmail))
                return false;
            count--;
            continue;
        }
        if (!settle_left(run, j))
            return false;
    }
    std::span<include_judgement> judged(all, count);

    hcp::unique_mysql db = open_panel_database();
    if (!db || !read_enabled_webmails(db.get(), run.enabled))
        return false;
    run.catalogue_read = true;
    if (run.vhost != nullptr)
        return true; // its alias files only
    if (!settle_earlier_temporaries(run, judged))
        return false;
    bool ok = true;
    for (include_judgement &j : judged)
        ok = ok && (!run.in_scope(j.file.webmail()) || judge_include(run, db.get(), j));
    db.reset();
    checkpoint_end end;
    ok = ok && (!run.repair || repair_includes(run, judged, end));
    for (const include_judgement &j : judged)
        if (j.judged)
            run.note(j.file.webmail(), j.what, j.file.path(), j.how);
    ok = ok && (!run.whole() || judge_configuration(run, end));
    ino_t pending = 0;
    if (ok && run.whole() && (ok = mark_inode(pending)))
        run.reload_was_pending = pending != 0 && pending != run.mark;
    return ok;
}

// The sync's reload, once, for what it changed and for a change an earlier
// sync left pending; the mark goes when nobody changed files since.
void reload_for_the_changes(check_run &run)
{
    if (!run.repair || !run.reload || run.hold_reload || (!run.changed && !run.reload_was_pending))
        return;
    ino_t seen = 0;
    if (!hold_state_lock() || !mark_inode(seen)) {
        run.failed = true;
        return;
    }
    let_go_of_state_lock();
    web_server_script script = find_web_server_script();
    if (reload_web_server(script) != 0) {
        run.failed = true;
        return;
    }
    ino_t now = 0;
    const std::string mark = in_include_dir(k_reload_mark);
    if (!hold_state_lock() || !mark_inode(now) ||
        (now != 0 && now == seen && sysroot_unlink(mark.c_str()) != 0 &&
         !log_system_error(mark.c_str())) ||
        (now != 0 && now == seen && !sync_directory(conf_get(HTTPD_INCLUDE_D)) &&
         !log_system_error(conf_get(HTTPD_INCLUDE_D))))
        run.failed = true;
    let_go_of_state_lock();
    run.reload_was_pending = run.reload_was_pending && run.failed;
}

// A mark this run left for changes it did not make in the end.
void withdraw_unused_mark(check_run &run)
{
    const std::string mark = in_include_dir(k_reload_mark);
    if (run.mark == 0 || run.changed || run.hold_reload)
        return;
    if (!hold_state_lock()) {
        run.failed = true;
        return;
    }
    ino_t now = 0;
    if (mark_inode(now) && now == run.mark &&
        (sysroot_unlink(mark.c_str()) != 0 || !sync_directory(conf_get(HTTPD_INCLUDE_D))))
        run.failed = !log_system_error(mark.c_str());
    let_go_of_state_lock();
}

// The lines, sorted so that two runs over the same state print the same
// text, then the diffs in the order of their lines.
void print_findings(check_run &run)
{
    std::sort(run.lines.begin(), run.lines.end());
    for (const std::string &line : run.lines)
        std::printf("%s\n", line.c_str());
    std::sort(run.diffs.begin(), run.diffs.end());
    for (const auto &diff : run.diffs)
        std::fputs(diff.second.c_str(), stdout);
}

} // namespace

check_run::check_run(const check_request &request)
    : only(request.webmail[0] != '\0' ? request.webmail : nullptr),
      vhost(request.vhost[0] != '\0' ? request.vhost : nullptr), repair(request.repair != 0),
      diff(request.diff != 0),
      reload(request.repair != 0 && request.reload != 0 &&
             find_web_server_script().how != web_server_script::state::none)
{
}

bool check_run::in_scope(const char *webmail) const
{
    return only == nullptr || std::strcmp(webmail, only) == 0;
}

void check_run::note(const char *webmail, finding what, std::string_view path, outcome how)
{
    const char *finding_name = k_finding_names[int(what)];
    std::string shown = shown_path(path);
    if (how == outcome::repaired)
        log_printf(LOG_NOTICE, "Repaired %s of %s webmail: %s\n", finding_name, webmail,
                   shown.c_str());
    bool alias_finding = what == finding::alias_duplicate || what == finding::alias_malformed ||
                         what == finding::alias_unserved;
    // One vhost's check says nothing but of its alias files.
    if ((std::strcmp(webmail, "-") != 0 && !in_scope(webmail)) || (vhost && !alias_finding))
        return;
    std::string line = std::string(webmail) + '\t' + finding_name + '\t' + shown;
    if (how != outcome::found)
        line += std::string("\t") + k_outcome_names[int(how)];
    left = left || how == outcome::left;
    lines.push_back(std::move(line));
}

bool check_run::before_change()
{
    if (!repair || !reload || mark != 0)
        return true;
    const char *dir = conf_get(HTTPD_INCLUDE_D);
    const std::string path = in_include_dir(k_reload_mark);
    const std::string temporary = in_include_dir(k_reload_mark_temporary);
    pending_file next;
    if (!next.create(dir, temporary.c_str(), 0600) || !next.finish() ||
        !next.commit(path.c_str()) || !mark_inode(mark) || mark == 0)
        return log_system_error(path.c_str());
    return true;
}

int webmail_index(const char *webmail)
{
    for (int i = 0; i < KNOWN_WEBMAIL_COUNT; i++)
        if (std::strcmp(webmail, known_webmails[i]) == 0)
            return i;
    return 0;
}

bool hold_state_lock()
{
    return take_webmail_state_lock() == 0;
}

void let_go_of_state_lock()
{
    unlock_webmail_state();
}

} // namespace lanternctl

extern "C" int check_webmail_files(const struct check_request *request)
{
    using namespace lanternctl;
    try {
        check_run run(*request);
        alias_files aliases;
        if (!scan_alias_files(run, aliases) || !hold_state_lock())
            return -1;
        bool included = settle_include_files(run);
        let_go_of_state_lock();
        // A run that failed still says what it judged, leaving the rest,
        // and a sync reloads for what it changed.
        run.failed = !included;
        run.failed = !settle_alias_files(run, aliases) || run.failed;
        bool was_pending = run.reload_was_pending;
        reload_for_the_changes(run);
        withdraw_unused_mark(run);
        if (was_pending)
            run.note("-", finding::reload_pending, find_web_server_script().path,
                     run.reload_was_pending ? run.unrepaired() : outcome::repaired);
        print_findings(run);
        if (run.failed)
            return -1;
        return (run.repair ? run.left : !run.lines.empty()) ? CHECK_FINDINGS : 0;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        log_system_error("--check");
        return -1;
    }
}
