// Per-domain default webmail: the vhost alias files under each webmail's conf.d.
#include "lanternctl.h"

#include "hcp_util.h"

#include <syslog.h>

extern "C" {

int set_vhost_webmail(const char *, const char *)
{
    log_printf(LOG_ERR, "%s: not available in this build\n", __func__);
    return -1;
}

int get_vhost_webmail(char *destination, size_t, const char *)
{
    destination[0] = '\0';
    log_printf(LOG_ERR, "%s: not available in this build\n", __func__);
    return -1;
}

} // extern "C"
