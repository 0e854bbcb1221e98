/*
 * Panel database access: connections to database "hcp" as user "admin" and
 * single-value lookups. A returned MYSQL handle belongs to the caller, who
 * closes it with mysql_close().
 */
#ifndef HCP_DB_H
#define HCP_DB_H

#include <stddef.h>
#include <mysql.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HCP_DB_PASSWORD_FILE "/etc/hcp/.hcp.shadow"
#define DB_VALUE_BUFFER_BYTES 4096

/* -1 until a connection setup has looked; then 0 (binary) or 1 (utf8). */
extern int db_mysql41_mode;

/*
 * Each writes one message into message/size on failure and returns NULL, with
 * errno set to the failed system call's error (password file), ENOMEM, or 0
 * when the server refused. bare: password and connect only; checked: bare
 * plus the handle's error check; unchecked: checked plus the connection setup;
 * db_connect (and db_open): unchecked, failing when the setup left a server
 * error. On success message may hold a setup step's note; look only on failure.
 */
MYSQL *db_connect(char *message, size_t size);
MYSQL *db_open(char *message, size_t size);
MYSQL *db_connect_bare(char *message, size_t size);
MYSQL *db_connect_checked(char *message, size_t size);
MYSQL *db_connect_unchecked(char *message, size_t size);
/* db_connect() that prints its failure with print_error(0, ...). */
MYSQL *db_connect_or_report(void);
/* SET NAMES by server version and misc.mysql41_compatible; 0, or -1 with message. */
int db_setup_charset(MYSQL *handle, char *message, size_t size);
int db_get_mysql41_mode(void);
/* The mode, connecting once (reporting a failure) while it is still -1. */
int db_probe_mysql41_mode(void);

/*
 * Lookups return NULL when the lookup failed (reported), "" for no row or
 * NULL, else the value in db_value_buffer, which the next lookup overwrites.
 * A NULL handle means: open one for this lookup and close it again; a given
 * handle is borrowed and stays open. A result the library fails to store is
 * a failed lookup; a statement that gives no result set at all reads as "".
 */
extern char db_value_buffer[DB_VALUE_BUFFER_BYTES];
const char *db_query_value(const char *query, MYSQL *handle, unsigned int column);
const char *db_query_first_value(const char *query, MYSQL *handle);
const char *db_lookup_value(const char *key, const char *table, const char *key_column,
                            const char *result_column, MYSQL *handle);
const char *db_get_param(const char *name, MYSQL *handle);

#ifdef __cplusplus
}
#endif

#endif
