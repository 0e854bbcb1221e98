// Temporaries of the files Apache reads: created exclusively beside the live
// file, renamed over it when complete, removed on every other way out; and
// the cleanup handler, which also rolls back the undo records of a change
// that is not yet decided.
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
// must not leave them behind. A sync holds a new and a kept file for each
// include file at most.
constexpr int k_armed_slots = 8;
char armed_paths[k_armed_slots][PATH_MAX];
volatile sig_atomic_t armed[k_armed_slots];

// The undo records the signal handler rolls back: one per include file.
constexpr int k_undo_slots = 4;
lanternctl::undo_paths undo_slots[k_undo_slots];
volatile sig_atomic_t undo_armed[k_undo_slots];

// Only async-signal-safe calls from here to clean_up_and_die(): the handler
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

extern "C" void clean_up_and_die(int signal_number)
{
    int error = errno;
    hcp::kill_waited_group();
    for (int slot = 0; slot < k_undo_slots; slot++)
        if (undo_armed[slot])
            lanternctl::roll_back_paths(undo_slots[slot]);
    for (int slot = 0; slot < k_armed_slots; slot++)
        if (armed[slot])
            ::unlink(armed_paths[slot]);
    errno = error;
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number); // delivered, by default, once the handler returns
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

cleanup_signals_blocked::cleanup_signals_blocked()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : k_cleanup_signals)
        sigaddset(&set, signal_number);
    ::sigprocmask(SIG_BLOCK, &set, &old_);
}

cleanup_signals_blocked::~cleanup_signals_blocked()
{
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

bool is_earlier_temporary_suffix(std::string_view suffix)
{
    auto is_number = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    size_t dot = suffix.find('.');
    return dot != std::string_view::npos && is_number(suffix.substr(0, dot)) &&
           is_number(suffix.substr(dot + 1));
}

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

bool undo_paths::resolve(const char *dir_path, const char *record_path, const char *target_path,
                         bool earlier)
{
    had_earlier = earlier;
    if (sysroot_resolve(record_path, record, sizeof record) != 0 ||
        sysroot_resolve(target_path, target, sizeof target) != 0 ||
        sysroot_resolve(dir_path, dir, sizeof dir) != 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int arm_undo(const undo_paths &paths)
{
    install_cleanup_handlers();
    cleanup_signals_blocked blocked;
    for (int slot = 0; slot < k_undo_slots; slot++)
        if (!undo_armed[slot]) {
            undo_slots[slot] = paths;
            undo_armed[slot] = 1;
            return slot;
        }
    errno = EBUSY;
    return -1;
}

void disarm_undo(int slot)
{
    if (slot >= 0)
        undo_armed[slot] = 0;
}

pending_file::~pending_file()
{
    stream_.reset();
    if (!created_)
        return;
    cleanup_signals_blocked blocked;
    ::unlink(real_path_);
    disarm(slot_);
}

bool pending_file::name(const char *dir, const char *path)
{
    install_cleanup_handlers();
    if (strlcpy(dir_, dir, sizeof dir_) >= sizeof dir_ ||
        strlcpy(path_, path, sizeof path_) >= sizeof path_ ||
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
        // holder is the only writer, so it goes. A directory there is none
        // of the tool's and stays.
        if (error != EEXIST || (::unlink(real_path_) != 0 && errno != ENOENT)) {
            errno = error == EEXIST ? errno : error;
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

bool pending_file::create(const char *dir, const char *path, mode_t mode)
{
    int fd = -1;
    if (!name(dir, path) || !make([&] {
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

bool pending_file::link_to(const char *dir, const char *path, const char *existing)
{
    char real_existing[PATH_MAX];
    struct stat st;
    if (!name(dir, path))
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
        // One cleanup at a time: a second signal waits for the first's.
        sigemptyset(&action.sa_mask);
        for (int held : k_cleanup_signals)
            sigaddset(&action.sa_mask, held);
        ::sigaction(signal_number, &action, nullptr);
    }
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
