// The kvm interface over Linux's /proc, the one place that knows /proc. It
// is the kernel's own interface, like libkvm's sysctl, so it is read as it
// is and not beneath the file-system root.
#include "proc/kvm_shim.h"

#include "util/owners.hpp"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

struct kvm_shim_handle {
    DIR *proc = nullptr;
    std::vector<kinfo_proc> procs;
    std::string arguments;
    std::vector<char *> argv;
    char error[_POSIX2_LINE_MAX] = "";
};

namespace
{

constexpr const char *k_proc_dir = "/proc";

int g_open_handles = 0;
std::optional<kvm_shim_call> g_failing_call;
int g_failing_error = 0;

// Whether a test asked this call to fail; if so errno says how.
bool told_to_fail(kvm_shim_call call)
{
    if (g_failing_call != call)
        return false;
    g_failing_call.reset();
    errno = g_failing_error;
    return true;
}

// Sets the handle's reason as libkvm words it, "<what>: <system error>",
// leaving errno as it was.
void note_error(kvm_t *kd, const char *what)
{
    int error = errno;
    std::snprintf(kd->error, sizeof kd->error, "%s: %s", what, std::strerror(error));
    errno = error;
}

// The whole of one of a process's /proc files, which report no size of
// their own; false when the process has gone or hides it.
bool read_process_file(kvm_t *kd, pid_t pid, const char *name, std::string &content)
{
    char path[64];
    std::snprintf(path, sizeof path, "%d/%s", static_cast<int>(pid), name);
    hcp::unique_fd fd(::openat(::dirfd(kd->proc), path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    content.clear();
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd.get(), chunk, sizeof chunk)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        content.append(chunk, size_t(n));
    }
    return true;
}

template <typename T> bool parse_number(std::string_view text, T &value)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return false;
    auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value);
    return error == std::errc() && end != text.data() + start;
}

// One process's record; false when it has gone since the directory was read.
bool read_process(kvm_t *kd, pid_t pid, kinfo_proc &record)
{
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so
    // it ends at the last ')'.
    std::string stat;
    if (!read_process_file(kd, pid, "stat", stat))
        return false;
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    std::string_view comm = std::string_view(stat).substr(open + 1, close - open - 1);
    comm = comm.substr(0, k_kvm_shim_comm_chars);
    std::string_view rest = std::string_view(stat).substr(close + 1);
    // " S ppid": skip the state.
    size_t state = rest.find_first_not_of(' ');
    if (state == std::string_view::npos || !parse_number(rest.substr(state + 1), record.ki_ppid))
        return false;

    // "Uid:\treal\teffective\tsaved\tfs"
    std::string status;
    if (!read_process_file(kd, pid, "status", status))
        return false;
    size_t uid_line = status.find("\nUid:");
    if (uid_line == std::string::npos)
        return false;
    std::string_view uids = std::string_view(status).substr(uid_line + 5);
    size_t real_end = uids.find_first_of(" \t", uids.find_first_not_of(" \t"));
    if (real_end == std::string_view::npos || !parse_number(uids.substr(real_end), record.ki_uid))
        return false;

    record.ki_pid = pid;
    comm.copy(record.ki_comm, comm.size());
    record.ki_comm[comm.size()] = '\0';
    return true;
}

// The processes listed in /proc now, or false with errno set.
bool list_processes(kvm_t *kd, std::vector<pid_t> &pids)
{
    ::rewinddir(kd->proc);
    errno = 0;
    while (struct dirent *entry = ::readdir(kd->proc)) {
        pid_t pid = 0;
        std::string_view name(entry->d_name);
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error == std::errc() && end == name.data() + name.size() && pid > 0)
            pids.push_back(pid);
        errno = 0;
    }
    return errno == 0;
}

} // namespace

kvm_t *kvm_openfiles(const char *, const char *, const char *, int, char *errbuf)
{
    DIR *proc = told_to_fail(kvm_shim_call::openfiles) ? nullptr : ::opendir(k_proc_dir);
    if (proc == nullptr) {
        int error = errno;
        std::snprintf(errbuf, _POSIX2_LINE_MAX, "%s: %s", k_proc_dir, std::strerror(error));
        errno = error;
        return nullptr;
    }
    auto *kd = new (std::nothrow) kvm_shim_handle;
    if (kd == nullptr) {
        ::closedir(proc);
        std::snprintf(errbuf, _POSIX2_LINE_MAX, "%s", std::strerror(ENOMEM));
        errno = ENOMEM;
        return nullptr;
    }
    kd->proc = proc;
    g_open_handles++;
    return kd;
}

struct kinfo_proc *kvm_getprocs(kvm_t *kd, int op, int, int *cnt)
{
    if (op != KERN_PROC_PROC) {
        errno = EINVAL;
        note_error(kd, "kvm_getprocs");
        return nullptr;
    }
    if (told_to_fail(kvm_shim_call::getprocs)) {
        note_error(kd, "kvm_getprocs");
        return nullptr;
    }
    try {
        // The list first, then the records, as one table like the kernel's:
        // a process that ends meanwhile is left out.
        std::vector<pid_t> pids;
        if (!list_processes(kd, pids)) {
            note_error(kd, "kvm_getprocs");
            return nullptr;
        }
        kd->procs.clear();
        // Room for one at least: an empty table is still a table, not NULL.
        kd->procs.reserve(pids.size() + 1);
        for (pid_t pid : pids) {
            kinfo_proc record = {};
            if (read_process(kd, pid, record))
                kd->procs.push_back(record);
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        note_error(kd, "kvm_getprocs");
        return nullptr;
    }
    *cnt = static_cast<int>(kd->procs.size());
    return kd->procs.data();
}

char **kvm_getargv(kvm_t *kd, const struct kinfo_proc *p, int nchr)
{
    try {
        std::string &arguments = kd->arguments;
        kd->argv.clear();
        // Kernel threads and zombies have an empty command line.
        if (!read_process_file(kd, p->ki_pid, "cmdline", arguments) || arguments.empty())
            return nullptr;
        if (nchr > 0 && arguments.size() > size_t(nchr)) {
            arguments.resize(size_t(nchr));
            arguments.back() = '\0';
        }
        // A process that rewrote its arguments may have dropped the last terminator.
        if (arguments.back() != '\0')
            arguments.push_back('\0');
        for (size_t at = 0; at < arguments.size(); at += std::strlen(&arguments[at]) + 1)
            kd->argv.push_back(&arguments[at]);
        kd->argv.push_back(nullptr);
        return kd->argv.data();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        note_error(kd, "kvm_getargv");
        return nullptr;
    }
}

char *kvm_geterr(kvm_t *kd)
{
    return kd->error;
}

int kvm_close(kvm_t *kd)
{
    if (kd == nullptr) {
        errno = EINVAL;
        return -1;
    }
    ::closedir(kd->proc);
    delete kd;
    g_open_handles--;
    return 0;
}

void kvm_shim_fail_next(kvm_shim_call call, int error)
{
    g_failing_call = call;
    g_failing_error = error;
}

int kvm_shim_open_handles()
{
    return g_open_handles;
}
