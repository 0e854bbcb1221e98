// The webmail's Apache virtual-host include file: generated from the template
// that the webmail package brings, with six tokens replaced by this server's
// values, and deleted again when the webmail goes away.
#include "vhost.hpp"

#include "catalogue.hpp"
#include "configtest.hpp"
#include "hcp_conf.h"
#include "hcp_db.h"
#include "hcp_util.h"
#include "messages.hpp"
#include "util/owners.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <syslog.h>

namespace
{

// A substituted line holds at most 65,535 characters, an address list 65,534.
constexpr size_t k_line_bytes = 65536;
constexpr size_t k_address_list_bytes = 65536;
constexpr int k_address_rows_max = 299;
constexpr size_t k_server_admin_bytes = 4096;

constexpr char k_template_suffix[] = "_vhost.conf";

char server_admin[k_server_admin_bytes];
// Set when a lookup of the text found the database unreachable or refusing.
bool database_failed = false;

using hcp::unique_mysql;
using hcp::unique_result;
using lanternctl::open_panel_database;

// Composes a path; false when it does not fit the 1024-byte buffer.
bool compose_path(char (&path)[PATH_BUFFER_BYTES], const char *format, ...) HCP_PRINTF(2, 3);
bool compose_path(char (&path)[PATH_BUFFER_BYTES], const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(path, sizeof path, format, ap);
    va_end(ap);
    return n >= 0 && size_t(n) < sizeof path;
}

int address_list(MYSQL *db, char *buffer, size_t capacity, const char *port);

// Copies the template into `out` line by line with the six tokens replaced.
// Returns 0, -1 after a failed line (already logged), or -2 when the
// template could not be read.
int copy_template(FILE *in, std::string &out, const webmail_options &options, const char *admin,
                  const char *pci_directive, MYSQL *db)
{
    hcp::unique_malloc<char> work(static_cast<char *>(std::malloc(k_line_bytes)));
    hcp::unique_malloc<char> addresses(static_cast<char *>(std::malloc(k_address_list_bytes)));
    hcp::unique_malloc<char> addresses_ssl(static_cast<char *>(std::malloc(k_address_list_bytes)));
    if (!work || !addresses || !addresses_ssl) {
        log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
        return -1;
    }
    // One snapshot of the addresses for the whole file, taken where the
    // first line needs it: every line then lists the same addresses.
    bool listed = false, listed_ssl = false;
    auto list = [db](bool &done, char *buffer, const char *port) {
        if (!done && address_list(db, buffer, k_address_list_bytes, port) == 0)
            done = true;
        return done;
    };
    char *line = nullptr;
    int line_capacity = 0;
    int rc = 0;
    for (;;) {
        if (read_line(&line, &line_capacity, in) < 0) {
            // End of input only when the stream says so; a line that could not
            // be held in memory must not pass for the end of the template.
            if (std::ferror(in) || !std::feof(in))
                rc = -2;
            break;
        }
        char *w = work.get();
        bool ok =
            replace_token(w, k_line_bytes, line, conf_get(HTTPD_CONF_D), "@HTTPD_CONF_D@") == 0 &&
            list(listed, addresses.get(), "80") &&
            replace_token(w, k_line_bytes, w, addresses.get(), "@WEBMAIL_IP_ADDRESS@") == 0 &&
            replace_token(w, k_line_bytes, w, pci_directive, "@PCI_COMPLIANCE_DIRECTIVE@") == 0 &&
            list(listed_ssl, addresses_ssl.get(), "443") &&
            replace_token(w, k_line_bytes, w, addresses_ssl.get(), "@WEBMAIL_IP_ADDRESS_SSL@") ==
                0 &&
            replace_token(w, k_line_bytes, w, options.docroot, "@WEBMAIL_DOCROOT@") == 0 &&
            replace_token(w, k_line_bytes, w, admin, "@SERVER_ADMIN@") == 0;
        if (ok)
            out += w;
        if (!ok) {
            rc = -1;
            break;
        }
    }
    std::free(line);
    return rc;
}

} // namespace

extern "C" {

int replace_token(char *destination, size_t capacity, const char *source, const char *value,
                  const char *token)
{
    if (capacity == 0) {
        log_printf(LOG_ERR, "Unable to parse string. Buffer too short\n");
        return -1;
    }
    // The source may be the destination itself.
    hcp::unique_malloc<char> copy(strdup(source));
    if (!copy) {
        log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
        return -1;
    }
    std::string_view rest = copy.get();
    std::string_view needle = token;
    std::string_view replacement = value;
    size_t used = 0;
    auto put = [&](std::string_view piece) {
        if (piece.size() >= capacity - used)
            return false;
        std::memcpy(destination + used, piece.data(), piece.size());
        used += piece.size();
        return true;
    };
    destination[0] = '\0';
    while (!rest.empty()) {
        size_t at = needle.empty() ? std::string_view::npos : rest.find(needle);
        bool ok =
            at == std::string_view::npos ? put(rest) : put(rest.substr(0, at)) && put(replacement);
        if (!ok) {
            destination[used] = '\0';
            log_printf(LOG_ERR, "Unable to parse string. Buffer too short\n");
            return -1;
        }
        rest.remove_prefix(at == std::string_view::npos ? rest.size() : at + needle.size());
    }
    destination[used] = '\0';
    return 0;
}

int get_ip_addresses_string(char *buffer, size_t capacity, const char *port)
{
    return address_list(nullptr, buffer, capacity, port);
}

} // extern "C"

namespace
{

// The address list on db, or on a connection of its own when db is null.
int address_list(MYSQL *db, char *buffer, size_t capacity, const char *port)
{
    unique_mysql own;
    if (db == nullptr && !(own = open_panel_database())) {
        database_failed = true;
        return -1;
    }
    MYSQL *handle = db != nullptr ? db : own.get();
    char query[STATEMENT_BUFFER_BYTES];
    std::snprintf(query, sizeof query, "SELECT CONCAT(ip_address, ':%s') from IP_Addresses", port);
    unique_result result;
    if (mysql_query(handle, query) == 0)
        result.reset(mysql_store_result(handle));
    if (!result) {
        database_failed = true;
        log_printf(LOG_ERR, "Unable to get IP addresses from database");
        return -1;
    }
    buffer[0] = '\0';
    size_t used = 0;
    MYSQL_ROW row;
    for (int taken = 0; taken < k_address_rows_max && (row = mysql_fetch_row(result.get()));
         taken++) {
        const char *item = row[0] != nullptr ? row[0] : "";
        size_t item_length = std::strlen(item);
        // The list must fit in capacity - 1 characters with its terminator.
        if (used + 1 + item_length + 1 > capacity - 1) {
            log_printf(LOG_ERR, "Unable to get ip adresses string. Buffer too short\n");
            return -1;
        }
        buffer[used++] = ' ';
        std::memcpy(buffer + used, item, item_length + 1);
        used += item_length;
    }
    return 0;
}

// get_server_admin() on db (or a connection of its own); where not strict, a host name without an
// ASCII form is logged in idn_toascii_safe's words instead of ending the process.
const char *server_admin_address(MYSQL *db, bool strict)
{
    unique_mysql own;
    if (db == nullptr && !(own = open_panel_database())) {
        database_failed = true;
        return nullptr;
    }
    MYSQL *handle = db != nullptr ? db : own.get();
    const char *host = db_get_param("FullHostName", handle);
    database_failed = database_failed || host == nullptr;
    if (host == nullptr || std::strlen(host) < 2) {
        log_printf(LOG_ERR, "Unable to query parameter FullHostName from database\n");
        return nullptr;
    }
    // Converted now: the next lookup overwrites the value buffer.
    hcp::unique_malloc<char> ascii_host(strict ? idn_toascii_safe(host) : idn_toascii(host));
    if (!ascii_host) {
        log_printf(LOG_ERR, "idn_toascii_safe(%s) failed: %s\n", host,
                   idn_error_text(idn_last_error));
        return nullptr;
    }
    // A lookup that failed falls back as a missing address does; the check
    // still hears that the database failed.
    const char *admin = db_get_param("admin_email", handle);
    database_failed = database_failed || admin == nullptr;
    if (admin != nullptr && std::strlen(admin) >= 2)
        strlcpy(server_admin, admin, sizeof server_admin);
    else
        std::snprintf(server_admin, sizeof server_admin, "root@%s", ascii_host.get());
    return server_admin;
}

// The template and the values enable fills it with.
struct include_source {
    hcp::unique_file in;
    const char *admin = nullptr;
    const char *pci_directive = nullptr;
};

// Opens the template and gathers the values, in enable's order and words;
// false after logging why.
bool open_include_source(const char *name, include_source &source, MYSQL *db, bool strict)
{
    char template_path[PATH_BUFFER_BYTES];
    if (!compose_path(template_path, "%s/%s/%s%s", WEBMAIL_ROOT, name, name, k_template_suffix)) {
        log_printf(LOG_ERR, "Unable to get webmail config name. Buffer too short\n");
        return false;
    }
    struct stat st;
    if (sysroot_stat(template_path, &st) != 0) {
        if (errno == ENOENT)
            log_printf(LOG_ERR, "Unable to find vhost template for %s webmail: %s", name,
                       template_path);
        else
            log_printf(LOG_ERR, "System error or file is not regular %s", std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        log_printf(LOG_ERR, "System error or file is not regular %s", template_path);
        return false;
    }
    source.in.reset(sysroot_fopen(template_path, "r"));
    if (!source.in) {
        log_printf(LOG_ERR, "Unable to open vhost template %s: %s", template_path,
                   std::strerror(errno));
        return false;
    }

    // Both of these may end the process (the address only where strict):
    // they run before any file is written.
    source.admin = server_admin_address(db, strict);
    if (source.admin == nullptr) {
        log_printf(LOG_ERR, "Unable to get admin e-mail for %s vhost configuration\n", name);
        return false;
    }
    char *module_magic = nullptr;
    int version_code = 0;
    int patch_level = 0;
    get_apache_path(&module_magic, &version_code, &patch_level);
    std::free(module_magic);
    source.pci_directive = pci_compliance_directive(version_code, patch_level);
    return true;
}

} // namespace

namespace lanternctl
{

build_result build_include_text(const include_file &file, const webmail_options &options, MYSQL *db,
                                bool strict, std::string &text, pending_file *next)
{
    database_failed = false;
    include_source source;
    int rc = -1;
    if (open_include_source(file.webmail(), source, db, strict) &&
        (next == nullptr || create_include_temporary(file, *next))) {
        rc = copy_template(source.in.get(), text, options, source.admin, source.pci_directive, db);
        if (rc == -2)
            log_printf(LOG_ERR, "Unable to read string from %s vhost template\n", file.webmail());
        else if (rc != 0)
            log_printf(LOG_ERR, "Unable to replace some vhost parameters");
    }
    if (database_failed)
        return build_result::database_failed;
    return rc == 0 ? build_result::built : build_result::unbuildable;
}

bool create_include_temporary(const include_file &file, pending_file &next)
{
    // 0666 under the umask: the mode any freshly created file gets. A file
    // that replaces one keeps what the administrator set on the old one.
    const char *temporary = file.beside(beside_role::temporary);
    if (!next.create(file.dir(), temporary, 0666)) {
        log_printf(LOG_ERR, "Unable to create vhost configuration %s: %s", file.path(),
                   std::strerror(errno));
        return false;
    }
    return next.take_attributes_of(file.path()) || log_system_error(temporary);
}

bool write_include_temporary(pending_file &next, std::string_view text)
{
    bool written = std::fwrite(text.data(), 1, text.size(), next.stream()) == text.size();
    if (!next.finish() || !written) {
        log_system_error(next.path());
        log_printf(LOG_ERR, "Unable to replace some vhost parameters");
        return false;
    }
    return true;
}

} // namespace lanternctl

extern "C" {

const char *get_server_admin(void)
{
    return server_admin_address(nullptr, true);
}

// Written as enable writes it, the new file live only where the web
// server's configuration test passed it or had nothing to say.
int create_webmail_vhost(const char *name, const struct webmail_options *options)
{
    try {
        lanternctl::include_file file;
        std::string text;
        lanternctl::pending_file next;
        if (!file.name(name) ||
            lanternctl::build_include_text(file, *options, nullptr, true, text, &next) !=
                lanternctl::build_result::built ||
            !lanternctl::write_include_temporary(next, text))
            return -1;
        lanternctl::staged_file staged{&file, &next};
        lanternctl::checkpoint_end end;
        if (lanternctl::commit_checkpoint({&staged, 1}, end) != 0)
            return -1;
        return staged.result == lanternctl::staged_file::verdict::live ? 0 : -1;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        lanternctl::log_system_error(name);
        return -1;
    }
}

int remove_webmail_vhost(const char *name)
{
    lanternctl::include_file file;
    if (!file.name(name))
        return -1;
    if (sysroot_unlink(file.path()) != 0) {
        if (errno == ENOENT)
            return 0;
        log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
        return -1;
    }
    if (!lanternctl::sync_directory(file.dir())) {
        lanternctl::log_system_error(file.dir());
        return -1;
    }
    return 0;
}

} // extern "C"
