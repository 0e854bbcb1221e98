// Temporaries of the files Apache reads: created exclusively beside the live
// file, renamed over it when complete, removed on every other way out.
#include "pending.hpp"

#include "hcp_util.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int k_name_attempts = 100;
constexpr int k_cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary the signal handler removes: a run killed while writing must
// not leave it behind.
char armed_path[PATH_MAX];
volatile sig_atomic_t armed = 0;

extern "C" void remove_armed_and_die(int signal_number)
{
    if (armed)
        ::unlink(armed_path);
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

template <typename T> bool parse_id(std::string_view digits, T &value)
{
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size();
}

// Splits ".<base>.<pid>.<n>"; false for any other name.
bool split_temporary_name(std::string_view name, std::string_view &base, pid_t &pid)
{
    if (name.size() < 2 || name[0] != '.')
        return false;
    size_t last = name.rfind('.');
    size_t middle = last == 0 ? std::string_view::npos : name.rfind('.', last - 1);
    long attempt = 0;
    if (middle == std::string_view::npos || middle == 0 ||
        !parse_id(name.substr(last + 1), attempt) ||
        !parse_id(name.substr(middle + 1, last - middle - 1), pid) || pid <= 0)
        return false;
    base = name.substr(1, middle - 1);
    return true;
}

bool has_ended(pid_t pid)
{
    return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
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
    armed = 0;
}

bool pending_file::create(const char *dir, std::string_view base, mode_t mode)
{
    install_cleanup_handlers();
    if (strlcpy(dir_, dir, sizeof dir_) >= sizeof dir_) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (int attempt = 0; attempt < k_name_attempts; attempt++) {
        int n = std::snprintf(path_, sizeof path_, "%s/.%.*s.%ld.%d", dir, int(base.size()),
                              base.data(), long(::getpid()), attempt);
        if (n < 0 || size_t(n) >= sizeof path_ ||
            sysroot_resolve(path_, real_path_, sizeof real_path_) != 0) {
            errno = ENAMETOOLONG;
            return false;
        }
        int fd;
        int error = 0;
        {
            cleanup_signals_blocked blocked;
            fd = ::open(real_path_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            error = errno;
            if (fd >= 0) {
                std::memcpy(armed_path, real_path_, sizeof armed_path);
                armed = 1;
                created_ = true;
            }
        }
        if (fd < 0 && error == EEXIST)
            continue; // a name taken, perhaps by a planted link: the next one
        if (fd < 0) {
            errno = error;
            return false;
        }
        stream_.reset(::fdopen(fd, "w"));
        if (!stream_) {
            error = errno;
            ::close(fd);
            errno = error;
            return false;
        }
        return true;
    }
    errno = EEXIST;
    return false;
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
    if (sysroot_rename(path_, target) != 0)
        return false;
    created_ = false;
    armed = 0;
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

void sweep_stale_temporaries(const char *dir, bool (*is_ours)(std::string_view base))
{
    char real_dir[PATH_MAX];
    if (sysroot_resolve(dir, real_dir, sizeof real_dir) != 0)
        return;
    std::unique_ptr<DIR, int (*)(DIR *)> entries(::opendir(real_dir), ::closedir);
    if (!entries)
        return;
    while (const struct dirent *entry = ::readdir(entries.get())) {
        std::string_view base;
        pid_t pid = 0;
        if (split_temporary_name(entry->d_name, base, pid) && is_ours(base) && has_ended(pid))
            ::unlinkat(::dirfd(entries.get()), entry->d_name, 0);
    }
}

} // namespace lanternctl
