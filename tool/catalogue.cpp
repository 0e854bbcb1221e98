// The webmail catalogue: table Webmails. Each operation opens its own
// connection and closes it before it returns.
#include "catalogue.hpp"

#include "hcp_db.h"
#include "hcp_util.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace
{

const char k_select_id[] = "SELECT id FROM Webmails WHERE product_id='%s'";
const char k_insert[] = "INSERT INTO Webmails VALUES(NULL,'%s', '%s', '%s', '%s', '%s', 'true')";
const char k_enable[] = "UPDATE Webmails SET enabled='true' WHERE product_id='%s'";
const char k_disable[] = "UPDATE Webmails SET enabled='false' WHERE product_id='%s'";
const char k_delete[] = "DELETE from Webmails WHERE product_id='%s'";
const char k_list[] = "SELECT `product_id`,`version`,`release` FROM Webmails";
const char k_select_enabled[] = "SELECT product_id, enabled FROM Webmails";

using lanternctl::open_panel_database;

// Runs one statement composed with escaped values; false when it cannot be
// composed or the server refuses it (mysql_error then says why).
template <typename... Values> bool run(MYSQL *handle, const char *format, const Values &...values)
{
    char statement[STATEMENT_BUFFER_BYTES];
    int length = hcp::db_compose(handle, statement, sizeof statement, format, values...);
    return length >= 0 && mysql_real_query(handle, statement, unsigned(length)) == 0;
}

// 1 when a row with a non-NULL id exists, 0 when not, -1 when the test failed.
int is_registered(MYSQL *handle, const char *product_id)
{
    if (!run(handle, k_select_id, product_id))
        return -1;
    hcp::unique_result result(mysql_store_result(handle));
    if (!result)
        return -1;
    MYSQL_ROW row = mysql_fetch_row(result.get());
    return row != nullptr && row[0] != nullptr ? 1 : 0;
}

const char *text_or_empty(const char *column)
{
    return column != nullptr ? column : "";
}

} // namespace

namespace lanternctl
{

hcp::unique_mysql open_panel_database()
{
    hcp::unique_mysql handle(db_connect_or_report());
    if (!handle)
        log_printf(LOG_ERR, "Unable to connect to the mysql database\n");
    return handle;
}

bool read_enabled_webmails(MYSQL *db, bool (&enabled)[KNOWN_WEBMAIL_COUNT])
{
    hcp::unique_result result;
    if (mysql_query(db, k_select_enabled) == 0)
        result.reset(mysql_store_result(db));
    if (!result) {
        log_printf(LOG_ERR, "Unable to get webmails list from database: %s", mysql_error(db));
        return false;
    }
    bool seen[KNOWN_WEBMAIL_COUNT] = {};
    while (MYSQL_ROW row = mysql_fetch_row(result.get()))
        for (int i = 0; i < KNOWN_WEBMAIL_COUNT; i++)
            if (row[0] != nullptr && std::strcmp(row[0], known_webmails[i]) == 0 && !seen[i]) {
                seen[i] = true; // the first row, as the definition is read
                enabled[i] = row[1] != nullptr && std::strcmp(row[1], "true") == 0;
            }
    return true;
}

} // namespace lanternctl

extern "C" {

int update_webmail_record(const char *name, int command, const struct webmail_options *options)
{
    hcp::unique_mysql handle = open_panel_database();
    if (!handle)
        return -1;

    int registered = is_registered(handle.get(), options->product_id);
    if (registered < 0) {
        log_printf(LOG_ERR, "Unable to get record for %s webmail from database: %s", name,
                   mysql_error(handle.get()));
        return -1;
    }

    const char *change = nullptr;
    switch (command) {
    case CMD_DISABLE:
    case CMD_ENABLE:
        if (!registered) {
            log_printf(LOG_ERR, "Unable to switch on webmail %s: webmail is not installed", name);
            return -1;
        }
        change = command == CMD_ENABLE ? k_enable : k_disable;
        break;
    case CMD_INSTALL:
        // An existing row is left as it is, its enabled value included.
        if (!registered && !run(handle.get(), k_insert, options->product_id, options->name,
                                options->version, options->release, options->docroot)) {
            log_printf(LOG_ERR, "Unable to add record to database: %s %s", name,
                       mysql_error(handle.get()));
            return -1;
        }
        break;
    case CMD_REMOVE:
        if (registered)
            change = k_delete;
        break;
    default:
        break;
    }

    if (change != nullptr && !run(handle.get(), change, options->product_id)) {
        log_printf(LOG_ERR, "Unable to remove record from database %s: %s", name,
                   mysql_error(handle.get()));
        return -1;
    }
    return 0;
}

int print_webmails_list(void)
{
    hcp::unique_mysql handle = open_panel_database();
    if (!handle)
        return -1;

    hcp::unique_result result;
    if (mysql_query(handle.get(), k_list) == 0)
        result.reset(mysql_store_result(handle.get()));
    if (!result) {
        log_printf(LOG_ERR, "Unable to get webmails list from database: %s",
                   mysql_error(handle.get()));
        return -1;
    }
    while (MYSQL_ROW row = mysql_fetch_row(result.get()))
        std::printf("%s\t\t%s.%s\n", text_or_empty(row[0]), text_or_empty(row[1]),
                    text_or_empty(row[2]));
    return 0;
}

} // extern "C"
