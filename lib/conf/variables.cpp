// Runtime configuration variables: "/etc/hcp/hcp.conf" loaded once per
// process, behind a table of compile-time defaults.
#include "hcp_conf.h"

#include "hcp_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {

const char *const conf_var_names[CONF_VAR_COUNT] = {
#define HCP_CONF_VAR_NAME(name, default_value) #name,
    HCP_CONF_VARIABLES(HCP_CONF_VAR_NAME)
#undef HCP_CONF_VAR_NAME
};

const char *const conf_var_defaults[CONF_VAR_COUNT] = {
#define HCP_CONF_VAR_DEFAULT(name, default_value) default_value,
    HCP_CONF_VARIABLES(HCP_CONF_VAR_DEFAULT)
#undef HCP_CONF_VAR_DEFAULT
};

} // extern "C"

namespace
{

conf_set *loaded_set = nullptr;
const char *conf_value_cache[CONF_VAR_COUNT];

// Loads the file unless it is loaded; a failed load leaves nothing behind,
// so the next getter tries (and reports) again.
bool ensure_loaded()
{
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
