// The kernel's process table, one record per process: kvm on FreeBSD, /proc
// on Linux, behind one walk. /proc is the kernel's own interface, like the
// kvm handle, so it is read as it is and not beneath the file-system root.
#include "hcp_proc.h"
#include "hcp_util.h"

#include "util/owners.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#if defined(__FreeBSD__)
#include <fcntl.h>
#include <kvm.h>
#include <limits.h>
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#else
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>
#endif

namespace
{

bool wants_arguments(int flags)
{
    return (flags & (PROC_WALK_ARGV | PROC_WALK_ARGV_ALT)) != 0;
}

#if defined(__FreeBSD__)

int walk_kernel_table(int flags, proc_walk_callback callback, void *context)
{
    char error[_POSIX2_LINE_MAX];
    kvm_t *kd = kvm_openfiles(nullptr, nullptr, nullptr, O_RDONLY, error);
    if (kd == nullptr) {
        print_error(0, "unable to open kernel process information table: %s\n", error);
        return -1;
    }
    int count = 0;
    struct kinfo_proc *procs = kvm_getprocs(kd, KERN_PROC_PROC, 0, &count);
    if (procs == nullptr) {
        print_error(0, "unable to receive kernel process list: %s\n", kvm_geterr(kd));
        kvm_close(kd);
        return -1;
    }
    int result = 1;
    for (int i = 0; i < count && result > 0; i++) {
        proc_record record = {procs[i].ki_pid,  procs[i].ki_ppid, procs[i].ki_uid,
                              procs[i].ki_comm, nullptr,          nullptr};
        if (wants_arguments(flags)) {
            record.argv = kvm_getargv(kd, &procs[i], 0);
            if (record.argv != nullptr)
                record.argv0 = record.argv[0];
        }
        result = callback(&record, context);
    }
    kvm_close(kd);
    return result;
}

#else

// The whole of a /proc file, which reports no size of its own; false when
// the process has gone or hides it.
bool read_proc_file(pid_t pid, const char *name, std::string &content)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    hcp::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
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

// One process as the kvm record would give it. The texts live in the
// buffers, so they last as long as this object.
struct linux_process {
    std::string stat, status, cmdline;
    std::string comm;
    std::vector<char *> argv;
    proc_record record = {};

    bool load(pid_t pid, bool with_arguments)
    {
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses,
        // so it ends at the last ')'.
        if (!read_proc_file(pid, "stat", stat))
            return false;
        size_t open = stat.find('(');
        size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            return false;
        comm.assign(stat, open + 1, close - open - 1);
        std::string_view rest = std::string_view(stat).substr(close + 1);
        // " S ppid": skip the state.
        size_t state = rest.find_first_not_of(' ');
        if (state == std::string_view::npos || !parse_number(rest.substr(state + 1), record.ppid))
            return false;

        // "Uid:\treal\teffective\tsaved\tfs"
        if (!read_proc_file(pid, "status", status))
            return false;
        size_t uid_line = status.find("\nUid:");
        if (uid_line == std::string::npos)
            return false;
        std::string_view uids = std::string_view(status).substr(uid_line + 5);
        size_t real_end = uids.find_first_of(" \t", uids.find_first_not_of(" \t"));
        if (real_end == std::string_view::npos || !parse_number(uids.substr(real_end), record.euid))
            return false;

        record.pid = pid;
        record.comm = comm.c_str();
        // Kernel threads have no arguments: they stay absent, as with kvm.
        if (with_arguments && read_proc_file(pid, "cmdline", cmdline) && !cmdline.empty()) {
            if (cmdline.back() != '\0')
                cmdline.push_back('\0');
            for (size_t at = 0; at < cmdline.size(); at += std::strlen(&cmdline[at]) + 1)
                argv.push_back(&cmdline[at]);
            argv.push_back(nullptr);
            record.argv = argv.data();
            record.argv0 = argv[0];
        }
        return true;
    }
};

int walk_kernel_table(int flags, proc_walk_callback callback, void *context)
{
    DIR *dir = ::opendir("/proc");
    if (dir == nullptr) {
        print_error(0, "unable to open kernel process information table: %s\n",
                    std::strerror(errno));
        return -1;
    }
    // The list first, as kvm_getprocs gives it, then the records.
    std::vector<pid_t> pids;
    struct dirent *entry;
    errno = 0;
    while ((entry = ::readdir(dir)) != nullptr) {
        pid_t pid = 0;
        std::string_view name(entry->d_name);
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error == std::errc() && end == name.data() + name.size() && pid > 0)
            pids.push_back(pid);
        errno = 0;
    }
    if (errno != 0) {
        print_error(0, "unable to receive kernel process list: %s\n", std::strerror(errno));
        ::closedir(dir);
        return -1;
    }
    ::closedir(dir);

    int result = 1;
    for (pid_t pid : pids) {
        // A process that ended since the list was taken is no longer there.
        linux_process process;
        if (!process.load(pid, wants_arguments(flags)))
            continue;
        if ((result = callback(&process.record, context)) <= 0)
            break;
    }
    return result;
}

#endif

struct name_search {
    const char *name;
    pid_t pid;
};

int match_argv0(const proc_record *record, void *context)
{
    auto *search = static_cast<name_search *>(context);
    if (record->argv0 == nullptr || std::strcmp(record->argv0, search->name) != 0)
        return 1;
    search->pid = record->pid;
    return 0;
}

int match_pid(const proc_record *record, void *context)
{
    return record->pid == *static_cast<const pid_t *>(context) ? 0 : 1;
}

} // namespace

extern "C" {

int walk_process_table(int flags, proc_walk_callback callback, void *context)
{
    try {
        return walk_kernel_table(flags, callback, context);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        print_error(1, "Cannot allocate memory");
    }
    return -1;
}

pid_t find_pid_by_name(const char *name)
{
    name_search search = {name, -1};
    return walk_process_table(PROC_WALK_ARGV, match_argv0, &search) == 0 ? search.pid : -1;
}

int check_pid(pid_t pid)
{
    return walk_process_table(PROC_WALK_ARGV, match_pid, &pid);
}

int check_pid_file(const char *path)
{
    hcp::unique_file file(sysroot_fopen(path, "r"));
    if (!file) {
        if (errno == ENOENT)
            return 1;
        print_error(1, "open() pidfile '%s' failed: %s", path, std::strerror(errno));
    }
    int pid = 0;
    if (std::fscanf(file.get(), "%d", &pid) != 1) {
        errno = 0;
        print_error(1, "read from pidfile '%s' failed", path);
    }
    file.reset();
    return check_pid(pid);
}

} // extern "C"
