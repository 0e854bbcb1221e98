// Webmail definitions: the catalogue row or the package's definition file.
#include "lanternctl.h"

#include "hcp_util.h"

#include <syslog.h>

extern "C" {

int get_webmail_options(const char *, struct webmail_options *)
{
    log_printf(LOG_ERR, "%s: not available in this build\n", __func__);
    return -1;
}

} // extern "C"
