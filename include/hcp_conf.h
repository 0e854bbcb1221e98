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

enum conf_var {
    _MIN_POSSIBLE_HCP_CONF_VAR_NAME = 0,
    VEXLA_MAILNAMES_D,
    COURIER_IMAP_ROOT_D,
    RBLSMTPD,
    CGI_PHP_BIN,
    CLIENT_PHP_BIN,
    LIB_CRYPTO_PATH,
    LIB_SSL_PATH,
    AWSTATS_DOC_D,
    AWSTATS_TOOLS_D,
    AWSTATS_BIN_D,
    AWSTATS_ETC_D,
    CATALINA_HOME,
    MAILMAN_VAR_D,
    MAILMAN_ROOT_D,
    PGSQL_DATA_D,
    PGSQL_BIN_D,
    MYSQL_BIN_D,
    MYSQL_VAR_D,
    LOGROTATE,
    WEB_STAT,
    DUMP_D,
    NAMED_RUN_ROOT_D,
    FTPD_CONF_INC,
    HTTPD_SERVICE,
    HTTPD_LOG_D,
    HTTPD_INCLUDE_D,
    HTTPD_CONF_D,
    HTTPD_VHOSTS_D,
    PRODUCT_ROOT_D,
    NAMED_OPTIONS_CONF,
    NAMED_ZONES_CONF,
    _MAX_POSSIBLE_HCP_CONF_VAR_NAME
};

#define CONF_VAR_COUNT 33

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
