// Temporaries of the files Apache reads: created exclusively beside the live
// file, renamed over it when complete, removed on every other way out; and
// the undo record of a change that is not yet decided.
#include "pending.hpp"

#include "hcp_util.h"
#include "util/child.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int k_create_attempts = 3;
constexpr int k_cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporaries the signal handler removes: a run killed while writing
// must not leave them behind.
constexpr int k_armed_slots = 4;
char armed_paths[k_armed_slots][PATH_MAX];
volatile sig_atomic_t armed[k_armed_slots];

// The undo record the signal handler rolls back, beneath the file-system
// root; at most one at a time.
struct undo_paths {
    char record[PATH_MAX];
    char target[PATH_MAX];
    char dir[PATH_MAX];
    bool had_earlier;
};
undo_paths undo;
volatile sig_atomic_t undo_armed;

// Only async-signal-safe calls from here to roll_back_paths(): the handler
// runs them too.
bool sync_real_directory(const char *dir)
{
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = lanternctl::sync_directory_fd(fd);
    int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

bool unlink_if_there(const char *path)
{
    return ::unlink(path) == 0 || errno == ENOENT;
}

// Puts the earlier state of target back from its record, durably, and
// removes the record; false with errno, the record then still there.
bool roll_back_paths(const undo_paths &paths)
{
    if (paths.had_earlier) {
        if (::rename(paths.record, paths.target) != 0)
            return false;
        // Two names of one file: rename() leaves both, and the record goes now.
        return unlink_if_there(paths.record) && sync_real_directory(paths.dir);
    }
    // The new file goes before the record that says it was never there.
    return unlink_if_there(paths.target) && sync_real_directory(paths.dir) &&
           unlink_if_there(paths.record) && sync_real_directory(paths.dir);
}

extern "C" void clean_up_and_die(int signal_number)
{
    int error = errno;
    hcp::kill_waited_group();
    if (undo_armed)
        roll_back_paths(undo);
    for (int slot = 0; slot < k_armed_slots; slot++)
        if (armed[slot])
            ::unlink(armed_paths[slot]);
    errno = error;
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number); // delivered, by default, once the handler returns
}

// Holds the cleanup signals off while a temporary comes into being or goes:
// the handler must never remove a file that has just become the live one.
class cleanup_signals_blocked
{
  public:
    cleanup_signals_blocked()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int signal_number : k_cleanup_signals)
            sigaddset(&set, signal_number);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~cleanup_signals_blocked() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    cleanup_signals_blocked(const cleanup_signals_blocked &) = delete;
    cleanup_signals_blocked &operator=(const cleanup_signals_blocked &) = delete;

  private:
    sigset_t old_;
};

// The record's paths for a target, beneath the file-system root; false
// (ENAMETOOLONG) when they do not fit.
bool resolve_undo_paths(undo_paths &paths, const char *dir, std::string_view base,
                        std::string_view role, const char *target)
{
    char record[PATH_MAX];
    int n = std::snprintf(record, sizeof record, "%s/.%.*s.%.*s", dir, int(base.size()),
                          base.data(), int(role.size()), role.data());
    if (n < 0 || size_t(n) >= sizeof record || sysroot_resolve(record, paths.record, PATH_MAX) ||
        sysroot_resolve(target, paths.target, PATH_MAX) ||
        sysroot_resolve(dir, paths.dir, PATH_MAX)) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int arm(const char *real_path)
{
    for (int slot = 0; slot < k_armed_slots; slot++)
        if (!armed[slot]) {
            std::memcpy(armed_paths[slot], real_path, sizeof armed_paths[slot]);
            armed[slot] = 1;
            return slot;
        }
    return -1; // more at once than the tool ever holds: removed on the way out only
}

void disarm(int &slot)
{
    if (slot >= 0)
        armed[slot] = 0;
    slot = -1;
}

} // namespace

namespace lanternctl
{

pending_file::~pending_file()
{
    stream_.reset();
    if (!created_)
        return;
    cleanup_signals_blocked blocked;
    ::unlink(real_path_);
    disarm(slot_);
}

bool pending_file::name(const char *dir, std::string_view base, std::string_view role)
{
    install_cleanup_handlers();
    int n = std::snprintf(path_, sizeof path_, "%s/.%.*s.%.*s", dir, int(base.size()), base.data(),
                          int(role.size()), role.data());
    if (strlcpy(dir_, dir, sizeof dir_) >= sizeof dir_ || n < 0 || size_t(n) >= sizeof path_ ||
        sysroot_resolve(path_, real_path_, sizeof real_path_) != 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

template <typename Make> bool pending_file::make(Make make_file)
{
    for (int attempt = 0; attempt < k_create_attempts; attempt++) {
        int rc;
        int error = 0;
        {
            cleanup_signals_blocked blocked;
            rc = make_file();
            error = errno;
            if (rc >= 0) {
                slot_ = arm(real_path_);
                created_ = true;
            }
        }
        if (rc >= 0)
            return true;
        // Left by a run that died (or a link planted there): the lock
        // holder is the only writer, so it goes.
        if (error != EEXIST || (::unlink(real_path_) != 0 && errno != ENOENT)) {
            errno = error == EEXIST ? errno : error;
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

bool pending_file::create(const char *dir, std::string_view base, std::string_view role,
                          mode_t mode)
{
    int fd = -1;
    if (!name(dir, base, role) || !make([&] {
            return fd = ::open(real_path_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               mode);
        }))
        return false;
    struct stat st;
    stream_.reset(::fstat(fd, &st) == 0 ? ::fdopen(fd, "w") : nullptr);
    if (!stream_) {
        int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return true;
}

bool pending_file::link_to(const char *dir, std::string_view base, std::string_view role,
                           const char *existing)
{
    char real_existing[PATH_MAX];
    struct stat st;
    if (!name(dir, base, role))
        return false;
    if (sysroot_resolve(existing, real_existing, sizeof real_existing) != 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    // Never through a link: flags 0 names the link itself.
    if (!make([&] { return ::linkat(AT_FDCWD, real_existing, AT_FDCWD, real_path_, 0); }) ||
        ::lstat(real_path_, &st) != 0)
        return false;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return true;
}

bool pending_file::take_attributes_of(const char *target)
{
    struct stat st;
    char real_target[PATH_MAX];
    if (sysroot_resolve(target, real_target, sizeof real_target) != 0)
        return false;
    if (::lstat(real_target, &st) != 0)
        return errno == ENOENT;
    if (!S_ISREG(st.st_mode))
        return true; // a link is replaced, its target never looked at
    int fd = ::fileno(stream_.get());
    // Owner and group only as far as this user may give them away.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0 &&
        (errno != EPERM || (::fchown(fd, uid_t(-1), st.st_gid) != 0 && errno != EPERM)))
        return false;
    // Permissions only: set-id bits of a file planted in the directory (a
    // hard link to a set-id program) must not pass to what a root run writes.
    return ::fchmod(fd, st.st_mode & 0777) == 0;
}

bool pending_file::finish()
{
    FILE *f = stream_.release();
    bool ok = std::fflush(f) == 0 && ::fsync(fileno(f)) == 0;
    int error = errno;
    if (std::fclose(f) != 0)
        return false;
    errno = error;
    return ok;
}

bool pending_file::commit(const char *target)
{
    cleanup_signals_blocked blocked;
    // A run that overlapped this one (its lock broken by a replaced password
    // file) may have taken the name over: never put its file in place.
    struct stat st;
    if (::lstat(real_path_, &st) != 0)
        return false;
    if (st.st_dev != dev_ || st.st_ino != ino_) {
        created_ = false; // not ours to remove
        disarm(slot_);
        errno = EBUSY;
        return false;
    }
    if (sysroot_rename(path_, target) != 0)
        return false;
    created_ = false;
    disarm(slot_);
    return sync_directory(dir_);
}

void install_cleanup_handlers()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    for (int signal_number : k_cleanup_signals) {
        struct sigaction old = {};
        // A signal the caller ignores (nohup) stays ignored.
        if (::sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = clean_up_and_die;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
}

undo_record::~undo_record()
{
    if (armed_)
        undo_armed = 0;
}

bool undo_record::keep(const char *dir, std::string_view base, const char *target)
{
    install_cleanup_handlers();
    cleanup_signals_blocked blocked;
    struct stat st;
    if (undo_armed) { // the handler knows one record only
        errno = EBUSY;
        return false;
    }
    if (!resolve_undo_paths(undo, dir, base, "old", target))
        return false;
    if (::lstat(undo.target, &st) != 0) {
        if (errno != ENOENT || !resolve_undo_paths(undo, dir, base, "absent", target))
            return false;
        undo.had_earlier = false;
        int fd = ::open(undo.record, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 || ::close(fd) != 0 || !sync_real_directory(undo.dir)) {
            int error = errno;
            if (fd >= 0)
                ::unlink(undo.record);
            errno = error;
            return false;
        }
    } else if (S_ISDIR(st.st_mode)) {
        return true; // nothing to keep: the commit fails
    } else {
        undo.had_earlier = true;
        // Never through a link: flags 0 names the link itself.
        if (::linkat(AT_FDCWD, undo.target, AT_FDCWD, undo.record, 0) == 0) {
            if (!sync_real_directory(undo.dir)) {
                int error = errno;
                ::unlink(undo.record);
                errno = error;
                return false;
            }
        } else {
            if (errno != EPERM && errno != EACCES && errno != EMLINK && errno != EOPNOTSUPP &&
                errno != ENOTSUP)
                return false;
            // Moved aside, never over a file there: the commit that follows
            // at once syncs both renames.
            struct stat record_st;
            if (::lstat(undo.record, &record_st) == 0)
                errno = EEXIST;
            if (errno != ENOENT || ::rename(undo.target, undo.record) != 0)
                return false;
        }
    }
    armed_ = true;
    undo_armed = 1;
    return true;
}

bool undo_record::drop()
{
    if (!armed_)
        return true;
    cleanup_signals_blocked blocked;
    if (::unlink(undo.record) != 0)
        return false;
    armed_ = false;
    undo_armed = 0;
    return sync_real_directory(undo.dir);
}

bool undo_record::roll_back()
{
    if (!armed_)
        return true;
    cleanup_signals_blocked blocked;
    if (!roll_back_paths(undo))
        return false;
    armed_ = false;
    undo_armed = 0;
    return true;
}

bool undo_record::complete_left(const char *dir, std::string_view base, const char *target)
{
    undo_paths earlier, absent;
    if (!resolve_undo_paths(earlier, dir, base, "old", target) ||
        !resolve_undo_paths(absent, dir, base, "absent", target))
        return false;
    earlier.had_earlier = true;
    absent.had_earlier = false;
    struct stat st;
    bool there = ::lstat(earlier.record, &st) == 0;
    if (!there && errno != ENOENT)
        return false;
    // A directory there is none of this tool's: the next keep() refuses it.
    bool had_earlier = there && !S_ISDIR(st.st_mode);
    if (had_earlier && !roll_back_paths(earlier))
        return false;
    if (::lstat(absent.record, &st) != 0)
        return errno == ENOENT;
    if (had_earlier) // only the earlier file tells what was there
        return unlink_if_there(absent.record) && sync_real_directory(absent.dir);
    return roll_back_paths(absent);
}

bool pending_file::discard()
{
    stream_.reset();
    if (!created_)
        return true;
    cleanup_signals_blocked blocked;
    created_ = false;
    disarm(slot_);
    return ::unlink(real_path_) == 0;
}

bool sync_directory(const char *dir)
{
    hcp::unique_fd fd(sysroot_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    return fd && sync_directory_fd(fd.get());
}

bool sync_directory_fd(int fd)
{
    // EINVAL: a file system that cannot sync directories has nothing to flush.
    return ::fsync(fd) == 0 || errno == EINVAL;
}

} // namespace lanternctl
