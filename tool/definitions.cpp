// Webmail definitions: the catalogue row or the package's definition file.
#include "catalogue.hpp"

#include "hcp_db.h"
#include "hcp_util.h"

#include "util/owners.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace
{

constexpr size_t k_line_buffer_bytes = 4096;

const char k_select_definition[] =
    "SELECT name, version, `release`, docroot, enabled FROM Webmails WHERE product_id='%s'";

// The fields in the order they are checked and reported, with their file keys.
struct field {
    const char *key;
    char *value;
    size_t size;
};

template <size_t N> field make_field(const char *key, char (&value)[N])
{
    return {key, value, N};
}

struct definition_fields {
    field all[6];
    explicit definition_fields(webmail_options &o)
        : all{make_field("alias", o.product_id), make_field("name", o.name),
              make_field("version", o.version),  make_field("release", o.release),
              make_field("docroot", o.docroot),  make_field("enabled", o.enabled)}
    {
    }
};

void copy_column(char *field_value, size_t size, const char *column)
{
    strlcpy(field_value, column != nullptr ? column : "", size);
}

// Fills options from the catalogue row; false when it could not be asked.
bool read_row(const char *name, webmail_options &options, MYSQL *handle)
{
    char statement[STATEMENT_BUFFER_BYTES];
    int length = hcp::db_compose(handle, statement, sizeof statement, k_select_definition, name);
    if (length < 0) {
        log_printf(LOG_ERR,
                   "Unable to create query for get data from database. Buffer too short\n");
        return false;
    }
    hcp::unique_result result;
    if (mysql_real_query(handle, statement, unsigned(length)) == 0)
        result.reset(mysql_store_result(handle));
    if (!result) {
        log_printf(LOG_ERR, "Unable to query domains: %s", mysql_error(handle));
        return false;
    }
    if (MYSQL_ROW row = mysql_fetch_row(result.get())) {
        strlcpy(options.product_id, name, sizeof options.product_id);
        copy_column(options.name, sizeof options.name, row[0]);
        copy_column(options.version, sizeof options.version, row[1]);
        copy_column(options.release, sizeof options.release, row[2]);
        copy_column(options.docroot, sizeof options.docroot, row[3]);
        copy_column(options.enabled, sizeof options.enabled, row[4]);
    }
    return true;
}

// One line, or one piece of a longer line: "key = value".
void apply_line(char *line, definition_fields &fields)
{
    char *value = std::strchr(line, '=');
    if (value != nullptr)
        *value++ = '\0';
    char *key = str_trim(line);
    str_tolower(key);
    value = value != nullptr ? str_trim(value) : const_cast<char *>("");
    for (field &f : fields.all)
        if (std::strcmp(key, f.key) == 0)
            strlcpy(f.value, value, f.size);
}

// The file stage; false after logging why.
bool read_file(const char *name, webmail_options &options)
{
    char path[PATH_BUFFER_BYTES];
    int n = std::snprintf(path, sizeof path, "%s/%s/%s.conf", WEBMAIL_ROOT, name, name);
    if (n < 0 || size_t(n) >= sizeof path) {
        log_printf(LOG_ERR, "Filename for webmail config file too long");
        return false;
    }
    hcp::unique_file file(sysroot_fopen(path, "r"));
    if (!file) {
        if (errno == ENOENT)
            log_printf(LOG_ERR, "Unable to find config file for %s webmail", name);
        else
            log_printf(LOG_ERR, "System error: %s", std::strerror(errno));
        return false;
    }

    definition_fields fields(options);
    char line[k_line_buffer_bytes];
    while (std::fgets(line, sizeof line, file.get()) != nullptr)
        apply_line(line, fields);
    if (std::ferror(file.get())) {
        log_printf(LOG_ERR, "Unable to read config file for %s webmail", name);
        return false;
    }
    file.reset();

    bool complete = true;
    for (const field &f : fields.all) {
        if (f.value[0] == '\0') {
            log_printf(LOG_ERR, "Unable to find value for \"%s\" option\n", f.key);
            complete = false;
        }
    }
    if (!complete) {
        log_printf(LOG_ERR, "Unable to get some options for %s webmail or options is not correct\n",
                   name);
        return false;
    }
    return true;
}

} // namespace

// The row stage, then the file stage where the row left the definition
// incomplete.
int lanternctl::read_webmail_definition(const char *name, webmail_options &options, MYSQL *db,
                                        bool &database_failed)
{
    options = webmail_options{};
    // A failed row stage is not final: the definition file may still say it all.
    database_failed = db == nullptr || !read_row(name, options, db);
    if (database_failed)
        log_printf(LOG_ERR, "Unable to get webmail configuration from database");
    else if (options.docroot[0] != '\0')
        return 0;

    if (!read_file(name, options)) {
        log_printf(LOG_ERR, "Unable to get webmail configuration from file");
        return -1;
    }
    return 0;
}

extern "C" {

// Set-default walks the alias files in this order.
const char *const known_webmails[KNOWN_WEBMAIL_COUNT] = {"atmail", "horde", "none", "atmailcom"};

int find_known_webmail(const char *name)
{
    for (const char *known : known_webmails)
        if (std::strcmp(name, known) == 0)
            return 0;
    return -1;
}

int get_webmail_options(const char *name, struct webmail_options *options)
{
    hcp::unique_mysql db = lanternctl::open_panel_database();
    bool database_failed;
    return lanternctl::read_webmail_definition(name, *options, db.get(), database_failed);
}

} // extern "C"
