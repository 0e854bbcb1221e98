// The part of FreeBSD's kvm interface that the process-table walk uses, for
// systems without libkvm: the same names, types and failure behaviour, read
// from Linux's /proc. Only the live table can be read, as libkvm reads it
// through sysctl when given the memory file "/dev/null": the kernel image,
// memory file and swap file arguments are not looked at.
#pragma once

#include <sys/types.h>

struct kvm_shim_handle;
typedef struct kvm_shim_handle kvm_t;

// FreeBSD's COMMLEN: longer command names are cut to it.
constexpr int k_kvm_shim_comm_chars = 19;

// The fields of FreeBSD's struct kinfo_proc that the walk reads.
struct kinfo_proc {
    pid_t ki_pid;
    pid_t ki_ppid;
    uid_t ki_uid; // effective
    char ki_comm[k_kvm_shim_comm_chars + 1];
};

// Every process, without its threads; the only operation there is.
#define KERN_PROC_PROC 8

// The handle, or NULL with errno set and the reason in errbuf, which holds
// _POSIX2_LINE_MAX bytes.
kvm_t *kvm_openfiles(const char *execfile, const char *corefile, const char *swapfile, int flags,
                     char *errbuf);
// The table, *cnt records long, owned by the handle until the next call or
// kvm_close; NULL with errno set when it cannot be read (kvm_geterr says
// why). arg is not used by KERN_PROC_PROC.
struct kinfo_proc *kvm_getprocs(kvm_t *kd, int op, int arg, int *cnt);
// The process's arguments, NULL-terminated and owned by the handle until the
// next call; NULL for a process without any (a kernel thread, a zombie) or
// one that has gone. nchr > 0 bounds the bytes read, terminators included.
char **kvm_getargv(kvm_t *kd, const struct kinfo_proc *p, int nchr);
// The reason for the handle's last failure; "" if none.
char *kvm_geterr(kvm_t *kd);
// Releases the handle: 0, or -1 with errno EINVAL for NULL.
int kvm_close(kvm_t *kd);

// Tests only: the next call of `call` fails with `error` as the real call
// would, reason text included.
enum class kvm_shim_call { openfiles, getprocs };
void kvm_shim_fail_next(kvm_shim_call call, int error);
// Tests only: handles opened and not yet closed.
int kvm_shim_open_handles();
