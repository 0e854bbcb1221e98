// The kvm interface over Linux's /proc, the one place that knows /proc. It
// is the kernel's own interface, like libkvm's sysctl, so it is read as it
// is and not beneath the file-system root.
#include "proc/kvm_shim.h"

#include "util/owners.hpp"
#include "util/text.hpp"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace
{

// A growable array of plain values in malloc'd memory: the library is built
// without exceptions, so running out of memory is a false result here, which
// the calls below turn into libkvm's own failure.
template <typename T> struct growable {
    T *data = nullptr;
    size_t size = 0;
    size_t capacity = 0;

    bool reserve(size_t wanted)
    {
        if (wanted <= capacity)
            return true;
        size_t grown = capacity == 0 ? 64 : capacity;
        while (grown < wanted)
            grown *= 2;
        void *p = std::realloc(data, grown * sizeof(T));
        if (p == nullptr) {
            errno = ENOMEM;
            return false;
        }
        data = static_cast<T *>(p);
        capacity = grown;
        return true;
    }
    bool push(const T &value)
    {
        if (!reserve(size + 1))
            return false;
        data[size++] = value;
        return true;
    }
    bool append(const T *values, size_t count)
    {
        if (!reserve(size + count))
            return false;
        std::memcpy(data + size, values, count * sizeof(T));
        size += count;
        return true;
    }
    void release()
    {
        std::free(data);
        *this = {};
    }
};

} // namespace

struct kvm_shim_handle {
    DIR *proc;
    growable<kinfo_proc> procs;
    growable<char> arguments;
    growable<char *> argv;
    char error[_POSIX2_LINE_MAX];
};

namespace
{

constexpr const char *k_proc_dir = "/proc";

int g_open_handles = 0;
bool g_failing = false;
kvm_shim_call g_failing_call;
int g_failing_error = 0;

// Whether a test asked this call to fail; if so errno says how.
bool told_to_fail(kvm_shim_call call)
{
    if (!g_failing || g_failing_call != call)
        return false;
    g_failing = false;
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
// their own, terminated; false when the process has gone or hides it, or
// with errno ENOMEM when there is no memory for it.
bool read_process_file(kvm_t *kd, pid_t pid, const char *name, growable<char> &content)
{
    char path[64];
    std::snprintf(path, sizeof path, "%d/%s", static_cast<int>(pid), name);
    hcp::unique_fd fd(::openat(::dirfd(kd->proc), path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    content.size = 0;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd.get(), chunk, sizeof chunk)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!content.append(chunk, size_t(n)))
            return false;
    }
    if (!content.reserve(content.size + 1))
        return false;
    content.data[content.size] = '\0';
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

// One process's record into *record; false when it has gone since the
// directory was read, or with errno ENOMEM.
bool read_process(kvm_t *kd, pid_t pid, growable<char> &text, kinfo_proc &record)
{
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so
    // it ends at the last ')'.
    if (!read_process_file(kd, pid, "stat", text))
        return false;
    std::string_view stat(text.data, text.size);
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    std::string_view comm = hcp::slice(stat, open + 1, close - open - 1);
    comm = hcp::slice(comm, 0, k_kvm_shim_comm_chars);
    std::memcpy(record.ki_comm, comm.data(), comm.size());
    record.ki_comm[comm.size()] = '\0';
    std::string_view rest = hcp::slice(stat, close + 1);
    // " S ppid": skip the state.
    size_t state = rest.find_first_not_of(' ');
    if (state == std::string_view::npos ||
        !parse_number(hcp::slice(rest, state + 1), record.ki_ppid))
        return false;

    // "Uid:\treal\teffective\tsaved\tfs"
    if (!read_process_file(kd, pid, "status", text))
        return false;
    std::string_view status(text.data, text.size);
    size_t uid_line = status.find("\nUid:");
    if (uid_line == std::string_view::npos)
        return false;
    std::string_view uids = hcp::slice(status, uid_line + 5);
    size_t real_end = uids.find_first_of(" \t", uids.find_first_not_of(" \t"));
    if (real_end == std::string_view::npos ||
        !parse_number(hcp::slice(uids, real_end), record.ki_uid))
        return false;

    record.ki_pid = pid;
    return true;
}

// The processes listed in /proc now, or false with errno set.
bool list_processes(kvm_t *kd, growable<pid_t> &pids)
{
    ::rewinddir(kd->proc);
    errno = 0;
    while (struct dirent *entry = ::readdir(kd->proc)) {
        pid_t pid = 0;
        std::string_view name(entry->d_name);
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error == std::errc() && end == name.data() + name.size() && pid > 0 && !pids.push(pid))
            return false;
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
    auto *kd = static_cast<kvm_shim_handle *>(std::calloc(1, sizeof(kvm_shim_handle)));
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
    // The list first, then the records, as one table like the kernel's: a
    // process that ends meanwhile is left out.
    growable<pid_t> pids;
    growable<char> text;
    // Room for one at least: an empty table is still a table, not NULL.
    bool ok = list_processes(kd, pids) && kd->procs.reserve(pids.size + 1);
    kd->procs.size = 0;
    for (size_t i = 0; ok && i < pids.size; i++) {
        kinfo_proc record = {};
        errno = 0;
        if (read_process(kd, pids.data[i], text, record))
            kd->procs.push(record); // room reserved above
        else if (errno == ENOMEM)
            ok = false;
    }
    int error = errno;
    pids.release();
    text.release();
    if (!ok) {
        errno = error;
        note_error(kd, "kvm_getprocs");
        return nullptr;
    }
    *cnt = static_cast<int>(kd->procs.size);
    return kd->procs.data;
}

char **kvm_getargv(kvm_t *kd, const struct kinfo_proc *p, int nchr)
{
    growable<char> &arguments = kd->arguments;
    kd->argv.size = 0;
    errno = 0;
    // Kernel threads and zombies have an empty command line.
    if (!read_process_file(kd, p->ki_pid, "cmdline", arguments) || arguments.size == 0) {
        if (errno == ENOMEM)
            note_error(kd, "kvm_getargv");
        return nullptr;
    }
    if (nchr > 0 && arguments.size > size_t(nchr)) {
        arguments.size = size_t(nchr);
        arguments.data[arguments.size - 1] = '\0';
    }
    // A process that rewrote its arguments may have dropped the last
    // terminator; read_process_file left one past the end.
    if (arguments.data[arguments.size - 1] != '\0')
        arguments.size++;
    for (size_t at = 0; at < arguments.size; at += std::strlen(arguments.data + at) + 1)
        if (!kd->argv.push(arguments.data + at)) {
            note_error(kd, "kvm_getargv");
            return nullptr;
        }
    if (!kd->argv.push(nullptr)) {
        note_error(kd, "kvm_getargv");
        return nullptr;
    }
    return kd->argv.data;
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
    kd->procs.release();
    kd->arguments.release();
    kd->argv.release();
    std::free(kd);
    g_open_handles--;
    return 0;
}

void kvm_shim_fail_next(kvm_shim_call call, int error)
{
    g_failing = true;
    g_failing_call = call;
    g_failing_error = error;
}

int kvm_shim_open_handles()
{
    return g_open_handles;
}
