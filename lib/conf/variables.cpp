// Runtime configuration variables: "/etc/hcp/hcp.conf" loaded once per
// process, behind a table of compile-time defaults.
#include "hcp_conf.h"

#include "hcp_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {

const char *const conf_var_names[CONF_VAR_COUNT] = {
    "_MIN_POSSIBLE_HCP_CONF_VAR_NAME",
    "VEXLA_MAILNAMES_D",
    "COURIER_IMAP_ROOT_D",
    "RBLSMTPD",
    "CGI_PHP_BIN",
    "CLIENT_PHP_BIN",
    "LIB_CRYPTO_PATH",
    "LIB_SSL_PATH",
    "AWSTATS_DOC_D",
    "AWSTATS_TOOLS_D",
    "AWSTATS_BIN_D",
    "AWSTATS_ETC_D",
    "CATALINA_HOME",
    "MAILMAN_VAR_D",
    "MAILMAN_ROOT_D",
    "PGSQL_DATA_D",
    "PGSQL_BIN_D",
    "MYSQL_BIN_D",
    "MYSQL_VAR_D",
    "LOGROTATE",
    "WEB_STAT",
    "DUMP_D",
    "NAMED_RUN_ROOT_D",
    "FTPD_CONF_INC",
    "HTTPD_SERVICE",
    "HTTPD_LOG_D",
    "HTTPD_INCLUDE_D",
    "HTTPD_CONF_D",
    "HTTPD_VHOSTS_D",
    "PRODUCT_ROOT_D",
    "NAMED_OPTIONS_CONF",
    "NAMED_ZONES_CONF",
    "_MAX_POSSIBLE_HCP_CONF_VAR_NAME",
};

const char *const conf_var_defaults[CONF_VAR_COUNT] = {
    "_MIN_POSSIBLE_HCP_CONF_VAR_VALUE",
    "/usr/local/hcp/qmail/mailnames",
    "/usr/local/hcp/courier-imap",
    "/usr/local/hcp/qmail/bin/rblsmtpd",
    "/usr/local/bin/php-cgi",
    "/usr/local/hcp/bin/php-cli",
    "/lib/libcrypto.so",
    "/lib/libssl.so",
    "/usr/local/hcp/awstats/wwwroot",
    "/usr/local/hcp/awstats/tools",
    "/usr/local/hcp/awstats/wwwroot/cgi-bin",
    "/usr/local/etc/awstats",
    "/usr/local/tomcat5.5",
    "/usr/local/mailman",
    "/usr/local/mailman",
    "/usr/local/pgsql/data",
    "/usr/local/bin",
    "/usr/local/bin",
    "/var/db/mysql",
    "/usr/local/hcp/logrotate/sbin/logrotate",
    "/usr/local/hcp/webalizer/bin/webalizer",
    "/usr/local/hcp/var/dumps",
    "/var/named",
    "/usr/local/hcp/ftpd/etc/proftpd.include",
    "dynamic",
    "/var/log",
    "dynamic",
    "dynamic",
    "/usr/local/www/vhosts",
    "/usr/local/hcp",
    "/etc/namedb/named.conf.include.vexla-options",
    "/etc/namedb/named.conf.include.vexla-zones",
    "_MAX_POSSIBLE_HCP_CONF_VAR_VALUE",
};

} // extern "C"

namespace
{

conf_set *loaded_set = nullptr;
const char *conf_value_cache[CONF_VAR_COUNT];
bool cache_cleared = false;

void clear_cache_once()
{
    if (cache_cleared)
        return;
    for (const char *&slot : conf_value_cache)
        slot = nullptr;
    cache_cleared = true;
}

// Loads the file unless it is loaded; a failed load leaves nothing behind,
// so the next getter tries (and reports) again.
bool ensure_loaded()
{
    clear_cache_once();
    if (loaded_set != nullptr)
        return true;
    auto *set = static_cast<conf_set *>(std::calloc(1, sizeof(conf_set)));
    if (set == nullptr) {
        print_error(0, "Not enough memory to allocate Vexla runtime configuration structure\n");
        return false;
    }
    if (conf_set_read(HCP_CONF_FILE, set) != 0) {
        conf_set_free(set);
        return false;
    }
    loaded_set = set;
    return true;
}

// The file's value of var, cached; nullptr when the file does not give one.
const char *file_value(conf_var var)
{
    clear_cache_once();
    if (conf_value_cache[var] != nullptr)
        return conf_value_cache[var];
    if (!ensure_loaded())
        return nullptr;
    const char *value = conf_set_lookup(conf_var_names[var], loaded_set);
    if (value != nullptr)
        conf_value_cache[var] = value;
    return value;
}

} // namespace

extern "C" {

int conf_load(void)
{
    return ensure_loaded() ? 0 : -1;
}

const char *conf_get(enum conf_var var)
{
    const char *value = file_value(var);
    return value != nullptr ? value : conf_var_defaults[var];
}

const char *conf_get_file_only(enum conf_var var)
{
    return file_value(var);
}

const char *conf_get_by_name(const char *name)
{
    // The upper sentinel is not a name one can ask for.
    for (int i = _MIN_POSSIBLE_HCP_CONF_VAR_NAME; i < _MAX_POSSIBLE_HCP_CONF_VAR_NAME; i++)
        if (std::strcmp(name, conf_var_names[i]) == 0)
            return conf_get(static_cast<conf_var>(i));
    errno = 0; // the report is about the name, not a system failure
    print_error(0, "variable '%s' isn't found neither in %s nor in compile-time defaults\n", name,
                HCP_CONF_FILE);
    return nullptr;
}

const char *conf_get_file_value(const char *name)
{
    if (!ensure_loaded())
        return nullptr;
    return conf_set_lookup(name, loaded_set);
}

} // extern "C"
