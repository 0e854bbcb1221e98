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
 * web server's -V and configtest) end within STATE_LOCK_CHILD_SECONDS in
 * all, and SIGINT, SIGTERM and SIGHUP clean up before they end the run.
 * unlock_webmail_state lets the next run in; exiting does too.
 */
#define STATE_LOCK_PATH "/etc/hcp/.hcp.shadow"
#define STATE_LOCK_CHILD_SECONDS 60
#define STATE_LOCK_WAIT_SECONDS 90
int lock_webmail_state(void);
void unlock_webmail_state(void);

/* Definitions (catalogue row or definition file). */
int get_webmail_options(const char *name, struct webmail_options *options);

/* Catalogue. */
int update_webmail_record(const char *name, int command, const struct webmail_options *options);
int print_webmails_list(void);

/* Virtual-host include files. */
/*
 * Completes what a killed run left of the webmail's include file, under the
 * lock and before anything else touches it: an undo record rolled back (the
 * earlier file back, or the new one removed where there was none), the
 * fixed-name temporaries removed, all durably. 0, or -1 after logging why,
 * the undo record then still there.
 */
int recover_include_file(const char *name);
int create_webmail_vhost(const char *name, const struct webmail_options *options);
int remove_webmail_vhost(const char *name);
int replace_token(char *destination, size_t capacity, const char *source, const char *value,
                  const char *token);
int get_ip_addresses_string(char *buffer, size_t capacity, const char *port);
const char *get_server_admin(void);

/* Per-domain alias files. */
int set_vhost_webmail(const char *webmail, const char *vhost);
int get_vhost_webmail(char *destination, size_t capacity, const char *vhost);

/*
 * Whether the include files and alias files still match the catalogue, for
 * the webmail named, or for every known webmail but "none" when name is "".
 * Prints one line per finding on stdout, in byte order; with repair, first
 * repairs what it can and adds "repaired" or "left" to each line. Returns 0
 * (no finding; with repair, none left), CHECK_FINDINGS, or -1 after logging
 * why (nothing printed). *changed is set when an include or alias file
 * changed, so that Apache should reload.
 */
#define CHECK_FINDINGS 2
int check_webmail_files(const char *name, int repair, int *changed);

#ifdef __cplusplus
}
#endif

#endif
