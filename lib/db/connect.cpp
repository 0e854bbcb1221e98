// Connections to the panel database: the password file, the connect, and the
// setup every connection gets (foreign-key checks off, character set chosen
// by server version and by the panel's mysql41_compatible setting).
#include "hcp_db.h"
#include "hcp_util.h"

#include "db/sql.hpp"
#include "util/text.hpp"
#include "util/owners.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string_view>

namespace
{

constexpr size_t k_password_bytes = 100; // the first 99 characters of the first line
constexpr size_t k_report_buffer_bytes = 4097;

const char k_host[] = "localhost";
const char k_user[] = "admin";
const char k_database[] = "hcp";

void set_message(char *message, size_t size, const char *format, ...) HCP_PRINTF(3, 4);
void set_message(char *message, size_t size, const char *format, ...)
{
    if (message == nullptr || size == 0)
        return;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message, size, format, ap);
    va_end(ap);
}

// The password lives on the stack only and is wiped on every way out.
struct password_buffer {
    char text[k_password_bytes] = "";
    ~password_buffer() { explicit_bzero(text, sizeof text); }
};

int read_password(password_buffer &password, char *message, size_t size)
{
    hcp::unique_file file(sysroot_fopen(HCP_DB_PASSWORD_FILE, "r"));
    if (!file) {
        set_message(message, size, "Unable to open admin password file: %s", std::strerror(errno));
        return -1;
    }
    // An empty file is no system failure: errno must not carry an older one.
    errno = 0;
    if (std::fgets(password.text, sizeof password.text, file.get()) == nullptr) {
        int read_errno = errno;
        file.reset();
        set_message(message, size, "Unable to read admin password file: %s",
                    std::strerror(read_errno));
        errno = read_errno;
        return -1;
    }
    size_t len = std::strlen(password.text);
    if (len > 0 && password.text[len - 1] == '\n')
        password.text[len - 1] = '\0';
    return 0;
}

// A failed setup step: the server's error when there is one.
int setup_failed(MYSQL *handle, char *message, size_t size, const char *label)
{
    if (mysql_errno(handle) != 0)
        set_message(message, size, "DB error (%s) %u: %s", label, mysql_errno(handle),
                    mysql_error(handle));
    else
        set_message(message, size, "DB error (%s): unknown error", label);
    return -1;
}

// Closes a handle whose server reported an error; a server's refusal is no
// system failure, so errno is cleared for the report.
MYSQL *refuse(MYSQL *handle)
{
    mysql_close(handle);
    errno = 0;
    return nullptr;
}

MYSQL *connect_checked(char *message, size_t size)
{
    MYSQL *handle = db_connect_bare(message, size);
    if (handle != nullptr && mysql_errno(handle) != 0) {
        set_message(message, size, "Unable to connect to Vexla Database: %s", mysql_error(handle));
        return refuse(handle);
    }
    return handle;
}

void set_up(MYSQL *handle, char *message, size_t size)
{
    (void)mysql_query(handle, "set foreign_key_checks=0");
    (void)db_setup_charset(handle, message, size);
}

} // namespace

extern "C" {

int db_mysql41_mode = -1;

MYSQL *db_connect_bare(char *message, size_t size)
{
    password_buffer password;
    if (read_password(password, message, size) != 0)
        return nullptr;

    MYSQL *handle = mysql_init(nullptr);
    if (handle == nullptr) {
        set_message(message, size, "Unable to initialize MySQL connection structure: %s",
                    std::strerror(ENOMEM));
        errno = ENOMEM;
        return nullptr;
    }
    if (mysql_real_connect(handle, k_host, k_user, password.text, k_database, 0, nullptr, 0) ==
        nullptr) {
        set_message(message, size, "Unable to connect to Vexla Database: %s", mysql_error(handle));
        return refuse(handle);
    }
    return handle;
}

MYSQL *db_connect_checked(char *message, size_t size)
{
    return connect_checked(message, size);
}

MYSQL *db_connect_unchecked(char *message, size_t size)
{
    MYSQL *handle = connect_checked(message, size);
    if (handle != nullptr)
        set_up(handle, message, size);
    return handle;
}

MYSQL *db_connect(char *message, size_t size)
{
    MYSQL *handle = connect_checked(message, size);
    if (handle == nullptr)
        return nullptr;
    set_up(handle, message, size);
    // A step that failed without a server error leaves the connection usable.
    if (mysql_errno(handle) != 0)
        return refuse(handle);
    return handle;
}

MYSQL *db_open(char *message, size_t size)
{
    return db_connect(message, size);
}

MYSQL *db_connect_or_report(void)
{
    char message[k_report_buffer_bytes] = "";
    MYSQL *handle = db_connect(message, sizeof message);
    if (handle == nullptr)
        print_error(0, "%s", message);
    return handle;
}

int db_setup_charset(MYSQL *handle, char *message, size_t size)
{
    if (mysql_query(handle, "SHOW VARIABLES LIKE 'version'") != 0)
        return setup_failed(handle, message, size, "query version");
    hcp::unique_result version(mysql_store_result(handle));
    if (!version)
        return setup_failed(handle, message, size, "store query result");
    MYSQL_ROW row = mysql_fetch_row(version.get());
    if (row == nullptr)
        return setup_failed(handle, message, size, "fetch version row");
    if (mysql_num_fields(version.get()) < 2 || row[1] == nullptr)
        return setup_failed(handle, message, size, "empty version result");

    // Servers before 4.1 know no connection character sets.
    std::string_view server_version = row[1];
    if (hcp::starts_with(server_version, "3.") || hcp::starts_with(server_version, "4.0.")) {
        db_mysql41_mode = 0;
        return 0;
    }
    version.reset();

    if (mysql_query(handle, "SELECT val FROM misc WHERE param='mysql41_compatible'") != 0)
        return setup_failed(handle, message, size, "mysql41 compatible query");
    bool utf8 = false;
    if (hcp::unique_result setting{mysql_store_result(handle)}) {
        MYSQL_ROW value = mysql_fetch_row(setting.get());
        utf8 = value != nullptr && value[0] != nullptr && value[0][0] != '\0' &&
               std::strcmp(value[0], "false") != 0;
    }
    db_mysql41_mode = utf8 ? 1 : 0;
    if (mysql_query(handle, utf8 ? "SET NAMES utf8" : "SET NAMES binary") != 0)
        return setup_failed(handle, message, size, "set names query");
    return 0;
}

int db_get_mysql41_mode(void)
{
    return db_mysql41_mode;
}

int db_probe_mysql41_mode(void)
{
    if (db_mysql41_mode == -1) {
        if (MYSQL *handle = db_connect_or_report())
            mysql_close(handle);
    }
    return db_mysql41_mode;
}

} // extern "C"
