// The kernel's process table, one record per process, read through the kvm
// interface; the lookups built on it.
#include "hcp_proc.h"
#include "hcp_util.h"

#include "util/owners.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>

#if defined(__FreeBSD__) // libkvm is FreeBSD's; elsewhere the library's own layer stands in
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <kvm.h>
#else
#include "proc/kvm_shim.h"
#endif

namespace
{

// As ps(1) gives it: with "/dev/null" libkvm reads the live table through
// sysctl and needs no access to /dev/mem, which jails and users outside
// the kmem group do not have.
constexpr const char *k_memory_file = "/dev/null";

bool wants_arguments(int flags)
{
    return (flags & (PROC_WALK_ARGV | PROC_WALK_ARGV_ALT)) != 0;
}

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
    char error[_POSIX2_LINE_MAX];
    kvm_t *kd = kvm_openfiles(nullptr, k_memory_file, nullptr, O_RDONLY, error);
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
