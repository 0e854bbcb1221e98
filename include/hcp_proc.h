/*
 * Services and processes: service start/stop scripts, child-process
 * runners, process signalling and lookup, utility and shell-command runners.
 * Capture buffers handed out through out-parameters belong to the caller.
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

int service_control(const char *service, const char *action);
int run_service_script(const char *script, const char *argv0, const char *action,
                       int report_failure);
int run_script_action(const char *script, const char *action);
int restart_web_server_if_running(void);
int print_service_state(int state);

/* ---- Child process execution ---------------------------------------------
 * Descriptor arguments: equal to the target, inherited; -1, "/dev/null";
 * any other, duplicated onto the target and closed. */

pid_t fork_execv_pipes(int fd_in, int fd_out, int fd_err, const char *path, char *const argv[]);
int fork_execv_getouterr(char **out, char **err, const char *path, char *const argv[]);
int fork_execv_getout(char **out, const char *path, char *const argv[]);
/* List forms: arguments from argument zero on, ended by NULL. */
int fork_execl_getouterr(char **out, char **err, const char *path, const char *arg0, ...);
int fork_execl_getout(char **out, const char *path, const char *arg0, ...);
pid_t fork_execl_pipes(int fd_in, int fd_out, int fd_err, const char *path, const char *arg0, ...);
/* Reporting runners. */
int fork_execv_report(const char *path, char *const argv[], int quiet);
int fork_execl_report(const char *path, ...);                    /* arguments 1 on, at most 99 */
int fork_execl0_report(const char *path, const char *arg0, ...); /* arguments 0 on */
int util_execv_admin(const char *name, char *const argv[]);
int util_execl_admin(const char *name, ...);   /* arguments 1 on, at most 99 */
int util_execl_libexec(const char *name, ...); /* arguments 1 on, at most 99 */

/* ---- Process signalling and lookup ----------------------------------------- */

int send_signal_field(const char *field, const char *pattern, int signal_number);
int kill_processes_by_name(const char *name, int signal_number);
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

int walk_process_table(int flags, proc_walk_callback callback, void *context);
pid_t find_pid_by_name(const char *name);
int check_pid(pid_t pid);
int check_pid_file(const char *path);

/* ---- Utility runners and shell commands ------------------------------------ */

int util_exec(int fd_in, int fd_out, const char *path, char *const argv[]);
int util_exec_getout(char **out, const char *path, ...); /* arguments 1 on */
int util_exec_quiet(const char *path, ...);              /* arguments 1 on, at most 99 */
extern int fork_execv_last_status;
int fork_execv_wait(const char *path, char *const argv[]);
int popen_exec(char **out, const char *command);
int popen_exec_report(const char *command);

#ifdef __cplusplus
}
#endif

#endif
