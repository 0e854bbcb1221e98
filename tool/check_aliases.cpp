// --check and --sync of the alias files: every conf.d read without the lock,
// each finding confirmed under it in batches, and the duplicates that a
// killed set-default leaves resolved as it would have: the newest stays.
#include "check.hpp"

#include "defaults.hpp"
#include "hcp_util.h"
#include "messages.hpp"
#include "pending.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace lanternctl
{
namespace
{

using kind = alias_entry::kind;
using clock = std::chrono::steady_clock;

// The lock is held about this long at a time, and let go before each batch
// for two of a waiting run's pauses, so that its next try finds it free.
constexpr auto k_batch_hold = std::chrono::milliseconds(1000);
constexpr auto k_batch_gap = std::chrono::milliseconds(2 * STATE_LOCK_POLL_MS);
constexpr size_t k_clock_every = 64;

// Apache compares host names without ASCII case.
int compare_hosts(const char *a, const char *b)
{
    for (;; a++, b++) {
        unsigned char x = *a >= 'A' && *a <= 'Z' ? *a - 'A' + 'a' : *a;
        unsigned char y = *b >= 'A' && *b <= 'Z' ? *b - 'A' + 'a' : *b;
        if (x != y || x == '\0')
            return x - y;
    }
}

bool newer(const timespec &a, const timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether a conf.d lies beneath the webmail root once links are followed:
// a sync changes nothing a link takes elsewhere.
bool is_inside_root(const char *conf_d)
{
    char root[PATH_MAX], dir[PATH_MAX], real_root[PATH_MAX], real_dir[PATH_MAX];
    if (sysroot_resolve(WEBMAIL_ROOT, root, sizeof root) != 0 ||
        sysroot_resolve(conf_d, dir, sizeof dir) != 0 || ::realpath(root, real_root) == nullptr ||
        ::realpath(dir, real_dir) == nullptr)
        return false;
    size_t n = std::strlen(real_root);
    return std::strncmp(real_dir, real_root, n) == 0 && real_dir[n] == '/';
}

void take_stat(alias_entry &e, const struct stat &st)
{
    e.ino = st.st_ino;
    e.size = st.st_size;
    e.mtime = st.st_mtim;
    e.ctime = st.st_ctim;
}

// What an entry that is no dot-file is, looked at once: false when it has
// gone since the directory was read. A regular file holding exactly the line
// set-default writes for its name holds its line; anything else, a file it
// may not read among them, is malformed. One open and one read.
bool classify(int dir_fd, const char *name, unsigned char type, alias_entry &e)
{
    e.what = kind::malformed;
    e.ino = 0;
    char expected[k_alias_line_bytes];
    int length;
    if (!is_valid_vhost_name(name) || (type != DT_UNKNOWN && type != DT_REG) ||
        (length = compose_alias_line(expected, name)) < 0)
        return true;
    hcp::unique_fd fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd)
        return errno != ENOENT;
    if (::fstat(fd.get(), &st) != 0)
        return true;
    take_stat(e, st);
    if (!S_ISREG(st.st_mode))
        return true;
    char content[k_alias_line_bytes + 1];
    ssize_t n = ::read(fd.get(), content, size_t(length) + 1);
    if (n == length && std::memcmp(content, expected, size_t(length)) == 0)
        e.what = kind::holds_line;
    return true;
}

// A set-default leftover: its own when a regular file, else none of the
// tool's to remove. false when it has gone.
bool classify_leftover(int dir_fd, const char *name, alias_entry &e)
{
    struct stat st;
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno != ENOENT;
    take_stat(e, st);
    e.what = S_ISREG(st.st_mode) ? kind::leftover : kind::foreign_leftover;
    return true;
}

// Looks again under the lock: false when the entry has gone. An entry that
// is still the very file it was (inode, size, change time) is what it was.
bool confirm(const alias_files &files, alias_entry &e)
{
    int dir_fd = files.dirs[e.dir].fd.get();
    const char *name = files.name_of(e);
    if (e.what == kind::leftover || e.what == kind::foreign_leftover)
        return classify_leftover(dir_fd, name, e);
    struct stat st;
    if (e.ino != 0) {
        if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno != ENOENT && classify(dir_fd, name, DT_UNKNOWN, e);
        if (st.st_ino == e.ino && st.st_size == e.size && same_time(st.st_ctim, e.ctime)) {
            e.mtime = st.st_mtim;
            return true;
        }
    }
    return classify(dir_fd, name, DT_UNKNOWN, e);
}

bool add_entry(alias_files &files, uint16_t dir, const char *name, alias_entry e)
{
    if (files.arena.size() > UINT32_MAX - NAME_MAX - 1) {
        errno = ENOMEM;
        return log_system_error(files.dirs[dir].path.c_str());
    }
    e.name = uint32_t(files.arena.size());
    e.dir = dir;
    files.arena.append(name).push_back('\0');
    files.entries.push_back(e);
    return true;
}

bool read_dir(alias_files &files, uint16_t d)
{
    alias_dir &ad = files.dirs[d];
    int dup_fd = ::dup(ad.fd.get());
    DIR *dir = dup_fd >= 0 ? ::fdopendir(dup_fd) : nullptr;
    if (dir == nullptr) {
        if (dup_fd >= 0)
            ::close(dup_fd);
        return log_system_error(ad.path.c_str());
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (entry == nullptr) {
            ok = errno == 0 || log_system_error(ad.path.c_str());
            break;
        }
        const char *name = entry->d_name;
        alias_entry e;
        bool there;
        if (name[0] == '.') {
            // Other dot-files are no alias files: set-default never writes one.
            if (!is_alias_leftover(name))
                continue;
            there = classify_leftover(ad.fd.get(), name, e);
        } else {
            there = classify(ad.fd.get(), name, entry->d_type, e);
        }
        if (there && !(ok = add_entry(files, d, name, e)))
            break;
    }
    ::closedir(dir);
    return ok;
}

// The lines of one confirmed entry that is no duplicate.
void note_single(check_run &run, const alias_files &files, const alias_entry &e, bool served)
{
    const alias_dir &dir = files.dirs[e.dir];
    std::string path = dir.path + "/" + files.name_of(e);
    switch (e.what) {
    case kind::malformed:
        run.note(dir.webmail, finding::alias_malformed, path, run.unrepaired());
        break;
    case kind::holds_line:
        if (!served)
            run.note(dir.webmail, finding::alias_unserved, path, run.unrepaired());
        break;
    case kind::leftover:
    case kind::foreign_leftover:
        run.note(dir.webmail, finding::leftover, path, run.unrepaired());
        break;
    }
}

// A piece of work: one entry, or a vhost's alias files in several enabled
// webmails' conf.d (first..first+count of the sorted order).
struct work_item {
    size_t first;
    size_t count;
    bool duplicate;
};

class alias_settler
{
  public:
    alias_settler(check_run &run, alias_files &files) : run_(run), files_(files) {}
    bool settle();

  private:
    bool served(const alias_entry &e) const
    {
        for (int w = 0; w < KNOWN_WEBMAIL_COUNT; w++)
            if (files_.dirs[e.dir].of[w] && run_.enabled[w])
                return true;
        return false;
    }
    bool in_scope(const alias_entry &e) const
    {
        return run_.only == nullptr || files_.dirs[e.dir].of[webmail_index(run_.only)];
    }
    bool do_item(const work_item &item);
    bool do_single(alias_entry &e);
    bool do_duplicate(alias_entry **group, size_t count);
    void leave_item(const work_item &item);
    std::string path_of(const alias_entry &e) const
    {
        return files_.dirs[e.dir].path + "/" + files_.name_of(e);
    }

    check_run &run_;
    alias_files &files_;
    std::vector<alias_entry *> order_;
};

bool alias_settler::do_single(alias_entry &e)
{
    if (!confirm(files_, e))
        return true;
    alias_dir &dir = files_.dirs[e.dir];
    if (e.what == kind::leftover && run_.repair && !run_.failed && dir.inside_root) {
        // A temporary: removing it changes nothing Apache reads.
        int removed = remove_alias_file(dir.fd.get(), files_.name_of(e));
        if (removed < 0)
            return log_system_error(path_of(e).c_str());
        dir.touched = dir.touched || removed > 0;
        run_.note(dir.webmail, finding::leftover, path_of(e), outcome::repaired);
        return true;
    }
    note_single(run_, files_, e, served(e));
    return true;
}

bool alias_settler::do_duplicate(alias_entry **group, size_t count)
{
    std::vector<alias_entry *> still;
    for (size_t k = 0; k < count; k++)
        if (confirm(files_, *group[k])) {
            if (group[k]->what == kind::holds_line && served(*group[k]))
                still.push_back(group[k]);
            else
                note_single(run_, files_, *group[k], served(*group[k]));
        }
    if (still.size() < 2)
        return true; // a run in between has settled it
    size_t newest = 0;
    for (size_t k = 1; k < still.size(); k++)
        if (newer(still[k]->mtime, still[newest]->mtime))
            newest = k;
    bool unique = true, inside = true;
    for (size_t k = 0; k < still.size(); k++) {
        unique = unique && (k == newest || newer(still[newest]->mtime, still[k]->mtime));
        inside = inside && files_.dirs[still[k]->dir].inside_root;
    }
    bool resolve = run_.repair && !run_.failed && unique && inside;
    if (resolve && !run_.before_change())
        return false;
    for (size_t k = 0; k < still.size(); k++) {
        alias_dir &dir = files_.dirs[still[k]->dir];
        outcome how = run_.unrepaired();
        if (resolve && k == newest) {
            how = outcome::kept;
        } else if (resolve) {
            int removed = remove_alias_file(dir.fd.get(), files_.name_of(*still[k]));
            if (removed < 0)
                return log_system_error(path_of(*still[k]).c_str());
            dir.touched = true;
            run_.changed = true;
            how = outcome::repaired;
        }
        run_.note(dir.webmail, finding::alias_duplicate, path_of(*still[k]), how);
    }
    return true;
}

bool alias_settler::do_item(const work_item &item)
{
    alias_entry **group = &order_[item.first];
    if (!item.duplicate)
        return do_single(*group[0]);
    return do_duplicate(group, item.count);
}

// What the run could not reach: said as it was read, left.
void alias_settler::leave_item(const work_item &item)
{
    for (size_t k = 0; k < item.count; k++) {
        const alias_entry &e = *order_[item.first + k];
        if (item.duplicate)
            run_.note(files_.dirs[e.dir].webmail, finding::alias_duplicate, path_of(e),
                      run_.unrepaired());
        else
            note_single(run_, files_, e, served(e));
    }
}

bool alias_settler::settle()
{
    // The entries that may be findings, a vhost's files together: its files
    // in enabled webmails' conf.d are duplicates when there are several.
    for (alias_entry &e : files_.entries)
        order_.push_back(&e);
    std::sort(order_.begin(), order_.end(), [&](const alias_entry *a, const alias_entry *b) {
        return compare_hosts(files_.name_of(*a), files_.name_of(*b)) < 0;
    });
    std::vector<work_item> work;
    for (size_t i = 0, j; i < order_.size(); i = j) {
        j = i + 1;
        auto counts = [&](const alias_entry *e) {
            return e->what == kind::holds_line && served(*e);
        };
        if (counts(order_[i]))
            while (j < order_.size() && counts(order_[j]) &&
                   compare_hosts(files_.name_of(*order_[i]), files_.name_of(*order_[j])) == 0)
                j++;
        bool duplicate = j - i > 1;
        bool any_in_scope = false;
        for (size_t k = i; k < j; k++)
            any_in_scope = any_in_scope || in_scope(*order_[k]);
        if (any_in_scope && (duplicate || !counts(order_[i])))
            work.push_back({i, j - i, duplicate});
    }

    size_t next = 0;
    bool ok = true;
    while (ok && next < work.size()) {
        std::this_thread::sleep_for(k_batch_gap);
        if (!hold_state_lock()) {
            ok = false;
            break;
        }
        clock::time_point until = clock::now() + k_batch_hold;
        for (size_t done = 0; ok && next < work.size(); done++) {
            if (done % k_clock_every == k_clock_every - 1 && clock::now() >= until)
                break;
            ok = do_item(work[next++]);
        }
        let_go_of_state_lock();
    }
    for (; next < work.size(); next++)
        leave_item(work[next]);
    // Durable once per directory, before the reload.
    for (alias_dir &dir : files_.dirs)
        if (dir.touched && !sync_directory_fd(dir.fd.get()))
            ok = log_system_error(dir.path.c_str());
    return ok;
}

} // namespace

bool scan_alias_files(const check_run &run, alias_files &files)
{
    // The webmail named first: a shared conf.d is then reported as its own.
    const char *order[KNOWN_WEBMAIL_COUNT + 1] = {run.only};
    std::copy(std::begin(known_webmails), std::end(known_webmails), order + 1);
    for (const char *webmail : order) {
        char path[PATH_BUFFER_BYTES];
        if (webmail == nullptr || std::strcmp(webmail, "none") == 0 || !conf_d_path(path, webmail))
            continue;
        hcp::unique_fd fd(sysroot_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        struct stat st;
        if (!fd) {
            if (names_nothing(errno))
                continue; // no conf.d, no alias file
            return log_system_error(path);
        }
        if (::fstat(fd.get(), &st) != 0)
            return log_system_error(path);
        auto same = std::find_if(files.dirs.begin(), files.dirs.end(), [&](const alias_dir &d) {
            return d.dev == st.st_dev && d.ino == st.st_ino;
        });
        if (same == files.dirs.end()) {
            files.dirs.emplace_back();
            same = files.dirs.end() - 1;
            same->webmail = webmail;
            same->path = path;
            same->fd = std::move(fd);
            same->dev = st.st_dev;
            same->ino = st.st_ino;
            same->inside_root = is_inside_root(path);
        }
        same->of[webmail_index(webmail)] = true;
    }
    for (uint16_t d = 0; d < files.dirs.size(); d++) {
        if (run.vhost == nullptr) {
            if (!read_dir(files, d))
                return false;
            continue;
        }
        // One vhost: its name in each conf.d, no directory read.
        alias_entry e;
        if (classify(files.dirs[d].fd.get(), run.vhost, DT_UNKNOWN, e) &&
            !add_entry(files, d, run.vhost, e))
            return false;
    }
    return true;
}

bool settle_alias_files(check_run &run, alias_files &files)
{
    if (!run.catalogue_read)
        return true;
    alias_settler settler(run, files);
    return settler.settle();
}

} // namespace lanternctl
