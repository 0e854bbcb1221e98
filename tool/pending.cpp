// Temporaries of the files Apache reads: created exclusively beside the live
// file, renamed over it when complete, removed on every other way out.
#include "pending.hpp"

#include "hcp_util.h"

#include <cerrno>
#include <csignal>
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

extern "C" void remove_armed_and_die(int signal_number)
{
    for (int slot = 0; slot < k_armed_slots; slot++)
        if (armed[slot])
            ::unlink(armed_paths[slot]);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number); // delivered, by default, once the handler returns
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
        action.sa_handler = remove_armed_and_die;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
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
