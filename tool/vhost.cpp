// The webmail's Apache virtual-host include file.
#include "lanternctl.h"

#include "hcp_util.h"

#include <syslog.h>

extern "C" {

int create_webmail_vhost(const char *, const struct webmail_options *)
{
    log_printf(LOG_ERR, "%s: not available in this build\n", __func__);
    return -1;
}

int remove_webmail_vhost(const char *)
{
    log_printf(LOG_ERR, "%s: not available in this build\n", __func__);
    return -1;
}

} // extern "C"
