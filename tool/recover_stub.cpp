// Stand-in for the configuration guard's recover_include_file until it lands:
// rolls back what a killed run left of a webmail's include file.
#include "lanternctl.h"

#include "hcp_conf.h"
#include "hcp_util.h"
#include "pending.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <syslog.h>

extern "C" int recover_include_file(const char *name)
{
    const char *dir = conf_get(HTTPD_INCLUDE_D);
    char path[PATH_BUFFER_BYTES], old[PATH_BUFFER_BYTES], absent[PATH_BUFFER_BYTES];
    char fresh[PATH_BUFFER_BYTES], kept[PATH_BUFFER_BYTES];
    std::snprintf(path, sizeof path, "%s/zzz_%s_vhost.conf", dir, name);
    std::snprintf(old, sizeof old, "%s/.zzz_%s_vhost.conf.old", dir, name);
    std::snprintf(absent, sizeof absent, "%s/.zzz_%s_vhost.conf.absent", dir, name);
    std::snprintf(fresh, sizeof fresh, "%s/.zzz_%s_vhost.conf.new", dir, name);
    std::snprintf(kept, sizeof kept, "%s/.zzz_%s_vhost.conf.kept", dir, name);
    struct stat st;
    bool had_old = sysroot_rename(old, path) == 0;
    bool ok = had_old || errno == ENOENT;
    if (ok && !had_old && sysroot_stat(absent, &st) == 0)
        ok = sysroot_unlink(path) == 0 || errno == ENOENT;
    for (const char *temporary : {fresh, kept, absent})
        ok = ok && (sysroot_unlink(temporary) == 0 || errno == ENOENT);
    if (!ok || !lanternctl::sync_directory(dir)) {
        log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
        return -1;
    }
    return 0;
}
