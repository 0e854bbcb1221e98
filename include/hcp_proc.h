/*
 * Services and processes: service start/stop scripts, child-process
 * runners, process signalling and lookup, utility and shell-command runners.
 *
 * Conventions: "reports" means print_error() (stderr, then stdout) with
 * status 0, so the call goes on; "exits N" means a report with status N,
 * which ends the process. A runner that waits returns the child's exit status
 * (0 to 255) when it exited, else -1 (killed, stopped, or the wait failed),
 * unless it says otherwise. Capture buffers handed out through out-parameters
 * are NUL-terminated and belong to the caller, who frees them with free(3).
 * Programs named by path are executed from beneath HCP_SYSROOT (the host's
 * own /bin/ps, /usr/bin/grep, /usr/bin/awk and /bin/kill excepted), without
 * a PATH search, with the caller's argument zero and the inherited
 * environment. stdio is flushed before every fork.
 *
 * Signals: a child starts with every signal the caller catches or ignores
 * back at its default action (the caller's mask is kept), except the
 * children of popen_exec(), kill_processes_by_name() and
 * check_process_by_name(), which popen(3) and system(3) start and which keep
 * what the caller ignores. A runner that waits needs SIGCHLD at its default
 * (or caught without SA_NOCLDWAIT) and its child left to it: where the
 * caller ignores SIGCHLD, the kernel reaps the child, and where the caller
 * reaps children itself it may take this one; its status then cannot be
 * read, the wait fails with ECHILD and the runner fails as its contract
 * says for a failed wait (popen_exec() and the system(3) runners give -1).
 */
#ifndef HCP_PROC_H
#define HCP_PROC_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HCP_LOCAL_RC_D "/usr/local/etc/rc.d"
#define HCP_BASE_RC_D "/etc/rc.d"
#define HCP_LIBEXEC_D "/usr/local/libexec/vexla-9.0"

/* ---- Service control ------------------------------------------------------ */

/*
 * Runs action on service through its start/stop script. The web server (a
 * name beginning with HTTPD_SERVICE, case ignored) runs
 * HCP_LOCAL_RC_D/<HTTPD_SERVICE>; a NULL action means "graceful", and after
 * "start", "restart" or "force-reload" it waits until its "status" succeeds
 * (41 checks, 2 s apart). "tomcat5*": a "stop" whose script fails is done by
 * SIGTERM, then SIGKILL (up to 30 s). "samba" with any action but "status"
 * kills smbd and nmbd and returns 0. "coldfusion*" and "jrun*" run
 * <misc.cf_instance_path>/bin/<program>; a NULL action does nothing. A
 * successful Tomcat "stop" and ColdFusion/JRun action other than "status"
 * then restart the web server if it runs. Any other service runs the first of
 * HCP_LOCAL_RC_D/<name>, HCP_LOCAL_RC_D/<name>.sh and HCP_BASE_RC_D/<name>.
 * Only the web server and ColdFusion/JRun accept a NULL action. 0 on success,
 * and for every call while hcp.conf has NO_RESTART_DAEMON; else -1, reported
 * except for a failed "status" (not running) and a web server that never
 * comes up. Exits 1 as run_service_script() does, and for ColdFusion/JRun
 * without a database.
 */
int service_control(const char *service, const char *action);
/*
 * Runs script (resolved beneath HCP_SYSROOT) with (argv0, action) and waits
 * once; "graceful" is passed as "reload". The child runs from the script's
 * directory in a session of its own, stdin and stdout on /dev/null, stderr
 * inherited, no other descriptor, through execlp(3) (so a script without
 * "#!" runs under sh). 0 when it exits 0, else -1: reported, with argv0
 * naming the service, except a non-zero exit of "status" or with
 * report_failure 0. A stopped script is left stopped. Exits 1 when script is
 * missing, cannot be examined or is not a regular file. The child exits 1
 * when it cannot change directory (its report reaching the caller's stderr
 * and stdout), 3 when setsid() fails, errno when the exec fails.
 */
int run_service_script(const char *script, const char *argv0, const char *action,
                       int report_failure);
/* run_service_script(script, script, action, 1). */
int run_script_action(const char *script, const char *action);
/* Restarts the HTTPD_SERVICE service if its "status" succeeds: 0 when it
 * does not run, else the result of service_control(..., "restart"). */
int restart_web_server_if_running(void);
/* Prints "internal error" (state < 0, returns -1), "is stopped" (state > 0)
 * or "is running" (0) with a newline on stdout; returns 0 unless state < 0. */
int print_service_state(int state);

/* ---- Child process execution ---------------------------------------------
 * Descriptor arguments: equal to the target, inherited; -1, "/dev/null";
 * any other, duplicated onto the target (one may serve two targets); the
 * given descriptors stay the caller's. The child gets no other descriptor.
 * A child that cannot connect them or cannot execute the program writes
 * "fork_execv: ..." to its stderr and exits 255. */

/* Starts path with argv and returns the child's pid at once; the caller
 * reaps it. Exits 1 when fork() fails. */
pid_t fork_execv_pipes(int fd_in, int fd_out, int fd_err, const char *path, char *const argv[]);
/*
 * Runs path with stdin inherited and stdout and stderr captured, and
 * returns the result code (255 when the program cannot run; *err then says
 * why). Capture ends at the end of both pipes, or once the child has ended
 * (checked after each quiet second), since a daemon it left may hold them.
 * *out and *err: the texts, or NULL for a stream that was never read.
 * Exits 1 when a pipe cannot be set up, fork() fails or the capture runs out
 * of memory.
 */
int fork_execv_getouterr(char **out, char **err, const char *path, char *const argv[]);
/* fork_execv_getouterr() with stderr inherited: only stdout is captured. */
int fork_execv_getout(char **out, const char *path, char *const argv[]);
/* List forms: arguments from argument zero on, ended by NULL; as their vector
 * forms, and exit 1 when the vector cannot be allocated. */
int fork_execl_getouterr(char **out, char **err, const char *path, const char *arg0, ...);
int fork_execl_getout(char **out, const char *path, const char *arg0, ...);
pid_t fork_execl_pipes(int fd_in, int fd_out, int fd_err, const char *path, const char *arg0, ...);
/*
 * Reporting runners: fork_execv_getouterr() and its result code. On a
 * non-zero result the captured stdout is written to stderr as it is, then
 * reported: "<path> execution failed:\n<stderr text>", or "... (no output)"
 * when there is no stderr text; quiet non-zero skips both. The captures are
 * freed. They exit as fork_execv_getouterr() does, and fork_execl0_report()
 * when its vector cannot be allocated.
 */
int fork_execv_report(const char *path, char *const argv[], int quiet);
int fork_execl_report(const char *path, ...);                    /* arguments 1 on, at most 99 */
int fork_execl0_report(const char *path, const char *arg0, ...); /* arguments 0 on */
/*
 * Reporting runners of PRODUCT_ROOT_D/admin/bin/<name> (util_*_admin) and
 * HCP_LIBEXEC_D/<name>; their reports name that path. util_*_admin refuse a
 * name with '/', and all three a path longer than 4095 bytes: reported, -1,
 * nothing run. util_execv_admin keeps the caller's argv[0]; the list forms
 * pass the path as argument zero.
 */
int util_execv_admin(const char *name, char *const argv[]);
int util_execl_admin(const char *name, ...);   /* arguments 1 on, at most 99 */
int util_execl_libexec(const char *name, ...); /* arguments 1 on, at most 99 */

/* ---- Process signalling and lookup ----------------------------------------- */

/*
 * Sends signal_number (0 only counts) to every process whose line in
 * "/bin/ps -Aww -o pid,<field>" contains pattern (plain text; each line once,
 * the column header skipped). Returns the count of matching lines that begin
 * with a process id; a failed kill(2) is reported and still counted, a line
 * without an id is reported and not. -1, reported, when pattern is NULL or
 * empty or ps fails (its output then goes to stderr first).
 */
int send_signal_field(const char *field, const char *pattern, int signal_number);
/* Runs /bin/kill -<signal_number> on every process whose executable name is
 * exactly name, through system(3); returns system()'s raw status. -1,
 * reported, for a name that is empty, longer than 255 bytes or holds other
 * characters than letters, digits and ". _ - +". */
int kill_processes_by_name(const char *name, int signal_number);
/* 0 when the first word of a running command (ps axww, lines holding "grep"
 * dropped) is name or ends in "/name" or a bracketed name such as "[name]";
 * else system(3)'s non-zero status. -1, reported, for a name refused as by
 * kill_processes_by_name(). */
int check_process_by_name(const char *name);

#define PROC_WALK_ARGV 4
#define PROC_WALK_ARGV_ALT 8

/* Valid only during the callback that receives it. */
struct proc_record {
    pid_t pid;
    pid_t ppid;
    uid_t euid;
    const char *comm;
    char **argv;       /* NULL unless asked for and available */
    const char *argv0; /* NULL unless asked for and available */
};
/* > 0 continues the walk, <= 0 stops it. */
typedef int (*proc_walk_callback)(const struct proc_record *record, void *context);

/*
 * Calls callback for each process of the kernel's table (kvm on FreeBSD,
 * /proc elsewhere) until it returns <= 0; flags with PROC_WALK_ARGV or
 * PROC_WALK_ARGV_ALT ask for argv and argv0. Returns the last callback
 * result (1 for an empty table), or -1, reported, when the table cannot be
 * read. Exits 1 when memory runs out.
 */
int walk_process_table(int flags, proc_walk_callback callback, void *context);
/* The pid of the first process whose argument zero is exactly name (a process
 * started by full path matches only that path); -1 when there is none, or
 * when the table cannot be read (reported). */
pid_t find_pid_by_name(const char *name);
/* 0 when process pid exists, 1 when it does not, -1 (reported) when the table
 * cannot be read. */
int check_pid(pid_t pid);
/* check_pid() of the number in the pid file at path (beneath HCP_SYSROOT); 1
 * when the file does not exist. Exits 1 when it cannot be opened for another
 * reason or holds no number at its start. */
int check_pid_file(const char *path);

/* ---- Utility runners and shell commands ------------------------------------
 * Their children inherit every descriptor of the process but the ones named. */

/*
 * Runs path with argv, stdin from fd_in and stdout to fd_out (-1:
 * "/dev/null"; both stay the caller's), and reports each piece of its stderr
 * (at most 4095 bytes) as it comes. Returns the result code (255 when the
 * program cannot run, the reason having been reported); every -1 is
 * reported, also for an fd_in or fd_out of 0, 1 or 2 (nothing run) and a
 * pipe that cannot be made. Exits 1 when fork() fails.
 */
int util_exec(int fd_in, int fd_out, const char *path, char *const argv[]);
/*
 * util_exec_getout: runs path with stdin inherited and stdout and stderr
 * captured together. 0 with *out the output; otherwise *out is NULL and the
 * output is reported: 255 as "error:\n..." (also when the program cannot
 * run), another exit status as "utility <path> failed (result=N):\n...", -1
 * when it is killed; -1, reported, also when the pipe or the wait fails.
 * Exits 1 when the vector or the capture cannot be allocated or fork() fails.
 * util_exec_quiet: runs path with stdin, stdout and stderr on "/dev/null" and
 * waits; 1 when a signal killed it, else 0 (any exit status, a failed exec
 * too); -1 when fork() (reported) or the wait fails.
 */
int util_exec_getout(char **out, const char *path, ...); /* arguments 1 on */
int util_exec_quiet(const char *path, ...);              /* arguments 1 on, at most 99 */
/* The raw wait status of fork_execv_wait()'s latest child, -1 if its wait failed. */
extern int fork_execv_last_status;
/* Runs path with argv, every descriptor inherited, and returns the raw
 * waitpid(2) status (decode it with the W* macros; the child of a failed exec
 * exits 255), or -1 when the wait fails; kept in fork_execv_last_status.
 * Exits 1 when fork() fails. */
int fork_execv_wait(const char *path, char *const argv[]);
/*
 * Runs command through sh (popen(3)): stdout captured, stderr inherited.
 * Returns its exit status, 128 + n when signal n killed it, -1 when popen()
 * or pclose() fails. Once the command has started *out gets the output (""
 * when it outgrew memory), even when pclose() then fails; otherwise *out is
 * left as it was. Its three messages go straight to stderr; it never exits.
 */
int popen_exec(char **out, const char *command);
/* popen_exec() without the output: -1 is reported with the system error,
 * another non-zero result with the result and the output ("error: none"
 * when empty). Returns popen_exec()'s result. */
int popen_exec_report(const char *command);

#ifdef __cplusplus
}
#endif

#endif
