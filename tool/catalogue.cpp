// The webmail catalogue: table Webmails.
#include "lanternctl.h"

#include "hcp_util.h"

#include <syslog.h>

extern "C" {

int update_webmail_record(const char *, int, const struct webmail_options *)
{
    log_printf(LOG_ERR, "%s: not available in this build\n", __func__);
    return -1;
}

int print_webmails_list(void)
{
    log_printf(LOG_ERR, "%s: not available in this build\n", __func__);
    return -1;
}

} // extern "C"
