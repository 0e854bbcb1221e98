/*
 * Panel database access: connections to database "hcp" as user "admin" on
 * the local server and single-value lookups. A returned MYSQL handle belongs
 * to the caller, who closes it with mysql_close(). The password file is read
 * beneath HCP_SYSROOT. Reports go through print_error() with status 0:
 * nothing here ends the process but a lack of memory.
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
 * Each writes one message into message/size on failure (cut to size; none
 * when message is NULL) and returns NULL, with errno set to the failed system
 * call's error (password file; 0 when it is empty), ENOMEM, or 0 when the
 * server refused. None reports. bare: password and connect only; checked:
 * bare plus the handle's error check; unchecked: checked plus the connection
 * setup (foreign_key_checks=0, db_setup_charset()), whatever its outcome;
 * db_connect (and db_open): unchecked, failing when the setup left a server
 * error. On success message may hold a setup step's note; look only on failure.
 */
MYSQL *db_connect(char *message, size_t size);
MYSQL *db_open(char *message, size_t size);
MYSQL *db_connect_bare(char *message, size_t size);
MYSQL *db_connect_checked(char *message, size_t size);
MYSQL *db_connect_unchecked(char *message, size_t size);
/* db_connect() that reports its failure (the "System error" suffix only for a
 * failed system call) and returns NULL. */
MYSQL *db_connect_or_report(void);
/* SET NAMES by server version and misc.mysql41_compatible, setting
 * db_mysql41_mode; 0, or -1 with "DB error (<step>) ..." in message. */
int db_setup_charset(MYSQL *handle, char *message, size_t size);
/* db_mysql41_mode as it is: -1, 0 or 1. */
int db_get_mysql41_mode(void);
/* The mode, connecting once (reporting a failure) while it is still -1. */
int db_probe_mysql41_mode(void);

/*
 * Lookups return NULL when the lookup failed (reported: no connection, a
 * refused statement), "" for no row, a NULL column or a column number past
 * the last, else the value in db_value_buffer, cut to 4095 bytes, which the
 * next lookup overwrites: copy it to keep it. A NULL handle means: open one
 * with db_connect_or_report() for this lookup and close it again; a given
 * handle is borrowed and stays open. A result the library fails to store is
 * a failed lookup; a statement that gives no result set at all reads as "".
 * db_query_value: column of the first row of query; db_query_first_value: its
 * column 0. db_lookup_value: "select result_column from table where
 * key_column='key'", key escaped for the connection, the statement cut to
 * 4095 bytes; db_get_param: the val of name in table misc.
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
