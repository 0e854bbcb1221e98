// The panel database as the tool's pieces reach it, and the catalogue as
// the check reads it.
#pragma once

#include "lanternctl.h"
#include "db/sql.hpp"

namespace lanternctl
{

// A connection of db_connect_or_report(), or null after logging "Unable to
// connect to the mysql database\n" (the library has said why).
hcp::unique_mysql open_panel_database();

// Which known webmails the catalogue has switched on: a row keyed by the
// name, as the commands find it, whose enabled is 'true'. false after
// logging why.
bool read_enabled_webmails(MYSQL *db, bool (&enabled)[KNOWN_WEBMAIL_COUNT]);

// get_webmail_options() on an open connection; *database_failed is set when
// the catalogue could not be asked (the file may still have defined it).
int read_webmail_definition(const char *name, webmail_options &options, MYSQL *db,
                            bool &database_failed);

} // namespace lanternctl
