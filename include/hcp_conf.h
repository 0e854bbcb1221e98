/*
 * Runtime configuration: the reader of "name value" files and the table of
 * known variables of "/etc/hcp/hcp.conf" with their compile-time defaults.
 * Every string handed out belongs to the configuration: never free it.
 * Files are opened beneath HCP_SYSROOT. The reader's complaints go to
 * log_printf() at priority 12; the getters report through print_error() with
 * status 0. Nothing here ends the process.
 */
#ifndef HCP_CONF_H
#define HCP_CONF_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HCP_CONF_FILE "/etc/hcp/hcp.conf"

/* name first, so a record holding only a name is a search key */
struct conf_entry {
    char *name;
    char *value;
};

/* Allocate zero-filled; conf_set_free() releases the set object too. */
struct conf_set {
    struct conf_entry *entries;
    size_t capacity;
    size_t count;
    int sorted;
};

/* Adds the definitions of the file at path to set and sorts it. 0 when read
 * to the end (rejected lines are logged and skipped), else -1 and errno (the
 * open's, the read's or ENOMEM), logged; set keeps what was added before. */
int conf_set_read(const char *path, struct conf_set *set);
/* Stores copies of name and value, or replaces name's value (a value looked
 * up before is then freed). 0, or -1 with ENOMEM, logged (except when the
 * first array cannot be allocated). */
int conf_set_add(const char *name, const char *value, struct conf_set *set);
/* name's value, borrowed from set until it is freed or name is added again;
 * NULL when name is absent, set is NULL or has never been used. */
const char *conf_set_lookup(const char *name, const struct conf_set *set);
/* Sorts the entries by name (lookups then search by halves) unless sorted. */
void conf_set_sort(struct conf_set *set);
/* Frees every entry, the array and set itself, which must come from
 * malloc(3) or calloc(3); NULL is ignored. */
void conf_set_free(struct conf_set *set);
/* Room for one more entry: 20 at first, then doubling. 0, or -1 with ENOMEM,
 * logged when growing. */
int conf_set_reserve(struct conf_set *set);
/* qsort(3) / bsearch(3) comparator: strcmp(3) of two entries' names. */
int conf_entry_compare(const void *a, const void *b);

/*
 * The known variables of the configuration file, in table order, with their
 * compile-time defaults: X(name, default). The enumeration, conf_var_names
 * and conf_var_defaults all come from this one table; the two sentinels at
 * its ends are not variables one can ask for.
 */
#define HCP_CONF_VARIABLES(X)                                                                      \
    X(_MIN_POSSIBLE_HCP_CONF_VAR_NAME, "_MIN_POSSIBLE_HCP_CONF_VAR_VALUE")                         \
    X(VEXLA_MAILNAMES_D, "/usr/local/hcp/qmail/mailnames")                                         \
    X(COURIER_IMAP_ROOT_D, "/usr/local/hcp/courier-imap")                                          \
    X(RBLSMTPD, "/usr/local/hcp/qmail/bin/rblsmtpd")                                               \
    X(CGI_PHP_BIN, "/usr/local/bin/php-cgi")                                                       \
    X(CLIENT_PHP_BIN, "/usr/local/hcp/bin/php-cli")                                                \
    X(LIB_CRYPTO_PATH, "/lib/libcrypto.so")                                                        \
    X(LIB_SSL_PATH, "/lib/libssl.so")                                                              \
    X(AWSTATS_DOC_D, "/usr/local/hcp/awstats/wwwroot")                                             \
    X(AWSTATS_TOOLS_D, "/usr/local/hcp/awstats/tools")                                             \
    X(AWSTATS_BIN_D, "/usr/local/hcp/awstats/wwwroot/cgi-bin")                                     \
    X(AWSTATS_ETC_D, "/usr/local/etc/awstats")                                                     \
    X(CATALINA_HOME, "/usr/local/tomcat5.5")                                                       \
    X(MAILMAN_VAR_D, "/usr/local/mailman")                                                         \
    X(MAILMAN_ROOT_D, "/usr/local/mailman")                                                        \
    X(PGSQL_DATA_D, "/usr/local/pgsql/data")                                                       \
    X(PGSQL_BIN_D, "/usr/local/bin")                                                               \
    X(MYSQL_BIN_D, "/usr/local/bin")                                                               \
    X(MYSQL_VAR_D, "/var/db/mysql")                                                                \
    X(LOGROTATE, "/usr/local/hcp/logrotate/sbin/logrotate")                                        \
    X(WEB_STAT, "/usr/local/hcp/webalizer/bin/webalizer")                                          \
    X(DUMP_D, "/usr/local/hcp/var/dumps")                                                          \
    X(NAMED_RUN_ROOT_D, "/var/named")                                                              \
    X(FTPD_CONF_INC, "/usr/local/hcp/ftpd/etc/proftpd.include")                                    \
    X(HTTPD_SERVICE, "dynamic")                                                                    \
    X(HTTPD_LOG_D, "/var/log")                                                                     \
    X(HTTPD_INCLUDE_D, "dynamic")                                                                  \
    X(HTTPD_CONF_D, "dynamic")                                                                     \
    X(HTTPD_VHOSTS_D, "/usr/local/www/vhosts")                                                     \
    X(PRODUCT_ROOT_D, "/usr/local/hcp")                                                            \
    X(NAMED_OPTIONS_CONF, "/etc/namedb/named.conf.include.vexla-options")                          \
    X(NAMED_ZONES_CONF, "/etc/namedb/named.conf.include.vexla-zones")                              \
    X(_MAX_POSSIBLE_HCP_CONF_VAR_NAME, "_MAX_POSSIBLE_HCP_CONF_VAR_VALUE")

enum conf_var {
#define HCP_CONF_VAR_ENUM(name, default_value) name,
    HCP_CONF_VARIABLES(HCP_CONF_VAR_ENUM)
#undef HCP_CONF_VAR_ENUM
};

#define CONF_VAR_COUNT (_MAX_POSSIBLE_HCP_CONF_VAR_NAME + 1)

extern const char *const conf_var_names[CONF_VAR_COUNT];
extern const char *const conf_var_defaults[CONF_VAR_COUNT];

/* 0 when the file is loaded (now or before), -1 when loading failed. Once
 * loaded, HCP_CONF_FILE is never read again; a failed load (logged by the
 * reader, or reported without memory) is tried again by the next call and by
 * every getter below, which loads first. */
int conf_load(void);
/* The file's value, else the default; never NULL. var is not checked. */
const char *conf_get(enum conf_var var);
/* The file's value, or NULL when the file does not define var or cannot be read. */
const char *conf_get_file_only(enum conf_var var);
/* conf_get() by table name (case counts); NULL after a report for other names. */
const char *conf_get_by_name(const char *name);
/* Any name's value in the file, or NULL; no defaults. */
const char *conf_get_file_value(const char *name);

#ifdef __cplusplus
}
#endif

#endif
