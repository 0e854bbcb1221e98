/*
 * lanternctl: the webmail manager's own pieces. Every step returns 0 or -1;
 * on -1 it has already logged why with log_printf(LOG_ERR, ...).
 */
#ifndef LANTERNCTL_H
#define LANTERNCTL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum command_code {
    CMD_NONE = 0,
    CMD_DISABLE = 1,
    CMD_ENABLE = 2,
    CMD_INSTALL = 3,
    CMD_REMOVE = 4,
    CMD_RENAME = 5,
    CMD_SET_DEFAULT = 6,
    CMD_LIST = 7,
    CMD_HELP = 8,
    CMD_CHECK = 9,
    CMD_SYNC = 10
};

#define WEBMAIL_ROOT "/usr/local/etc/hcp-webmail"
#define WEBMAIL_NAME_MAX 9
#define VHOST_NAME_MAX 255
#define PATH_BUFFER_BYTES 1024
#define STATEMENT_BUFFER_BYTES 4096

/* Accepted webmail names, in the order the alias files are walked. */
#define KNOWN_WEBMAIL_COUNT 4
extern const char *const known_webmails[KNOWN_WEBMAIL_COUNT];
/* 0 when name is one of them, else -1. */
int find_known_webmail(const char *name);

/* One webmail's definition; fields hold at most the width given, "" = missing. */
struct webmail_options {
    char product_id[9 + 1];
    char name[9 + 1];
    char version[9 + 1];
    char release[49 + 1];
    char docroot[1023 + 1];
    char enabled[4 + 1];
};

/*
 * The lock every command that changes state holds until its changes are
 * committed: flock(2) on the panel's password file, which only the panel's
 * operators can open. lock_webmail_state waits up to STATE_LOCK_WAIT_SECONDS
 * for a run that holds it, and ends holding the lock of the file that is at
 * the path then; 0, or -1 with errno (ETIMEDOUT when the wait ran out). It
 * logs nothing but one warning (LOG_WARNING) when it locked a file that
 * other users may open. From then on, the children the run waits for (the
 * web server's -V and configtest) end within state_child_bound_seconds() in
 * all, and SIGINT, SIGTERM and SIGHUP clean up before they end the run.
 * unlock_webmail_state lets the next run in; exiting does too.
 */
#define STATE_LOCK_PATH "/etc/hcp/.hcp.shadow"
#define STATE_LOCK_CHILD_SECONDS 60
#define STATE_LOCK_WAIT_SECONDS 90
/* How long a waiting run pauses between two tries. */
#define STATE_LOCK_POLL_MS 10
int lock_webmail_state(void);
void unlock_webmail_state(void);
/* lock_webmail_state(), and where it fails the entry's one-line report of
 * why, logged and printed; 0 or -1. */
int take_webmail_state_lock(void);
/* The bound of the children of one hold of the lock: STATE_LOCK_CHILD_SECONDS,
 * or less where a test bench under HCP_SYSROOT asks for less. */
int state_child_bound_seconds(void);

/* A webmail's definition from its catalogue row or its definition file into
 * *options; 0, or -1 after logging why. */
int get_webmail_options(const char *name, struct webmail_options *options);

/* The catalogue change of command (CMD_DISABLE to CMD_REMOVE) for the row
 * of options->product_id; 0, or -1 after logging why. */
int update_webmail_record(const char *name, int command, const struct webmail_options *options);
/* Prints one line per catalogue row on stdout; 0, or -1 after logging why. */
int print_webmails_list(void);

/* Virtual-host include files. */
/*
 * Completes what killed runs left beside every known webmail's include
 * file, under the lock and before anything else the run does: an undo
 * record rolled back (the earlier file back, or the new one removed where
 * there was none), the fixed-name temporaries removed, all durably. A few
 * calls per webmail, no directory read, no database. 0, or -1 after logging
 * why, the record then still there.
 */
int recover_include_files(void);
/* Writes name's include file from its template, live only where the web
 * server's configuration test passed it (or had nothing to say); 0, or -1
 * after logging why, the earlier file then in place. */
int create_webmail_vhost(const char *name, const struct webmail_options *options);
/* Removes name's include file, durably; 0 also when there is none. */
int remove_webmail_vhost(const char *name);
/* source into destination with every token replaced by value; 0, or -1 after
 * logging "... Buffer too short". source may be destination. */
int replace_token(char *destination, size_t capacity, const char *source, const char *value,
                  const char *token);
/* The server's addresses with ":<port>", each after a space; 0 or -1. */
int get_ip_addresses_string(char *buffer, size_t capacity, const char *port);
/* The administrator's address in a process-wide buffer, or NULL after
 * logging why. */
const char *get_server_admin(void);

/* Per-domain alias files. */
/* Makes webmail ("none": no webmail) the choice of vhost: the new alias file
 * in place before the others go; 0, or -1 after logging why. */
int set_vhost_webmail(const char *webmail, const char *vhost);
/* The first known webmail holding an alias file of vhost into destination,
 * "" when none does; 0, or -1 after logging why. */
int get_vhost_webmail(char *destination, size_t capacity, const char *vhost);

/*
 * --check and --sync: whether the include files and alias files still match
 * the catalogue, for the webmail named or every known one but "none", and
 * with a vhost named only that vhost's alias files. Prints one line per
 * finding on stdout, in byte order; with repair, repairs what it can first
 * and adds "repaired", "kept" or "left" to each line, and where it changed a
 * file and reload is set reloads the web server once. It takes the lock
 * itself, to confirm and repair, not to read. Returns 0 (no finding; with
 * repair, none left), CHECK_FINDINGS, or -1 after logging why (a sync that
 * had changed files has printed its lines and reloaded).
 */
#define CHECK_FINDINGS 2
struct check_request {
    const char *webmail; /* "" for every one */
    const char *vhost;   /* "" for every one */
    int repair;
    int diff;   /* after the lines, a diff of each stale or missing include file */
    int reload; /* a sync that changed files reloads the web server */
};
int check_webmail_files(const struct check_request *request);

#ifdef __cplusplus
}
#endif

#endif
