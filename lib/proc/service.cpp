// Service control: running services' start/stop scripts.
#include "hcp_proc.h"

#include "hcp_util.h"

extern "C" {

int service_control(const char *service, const char *)
{
    print_error(0, "service control is not available in this build: %s\n", service);
    return -1;
}

} // extern "C"
