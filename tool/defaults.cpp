// Per-domain default webmail: which webmail answers under webmail.<vhost> is
// a one-line alias file in that webmail's conf.d, one vhost at most one file.
#include "lanternctl.h"

#include "hcp_util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

constexpr size_t k_alias_line_bytes = 4096;

// Composes <webmail root>/<webmail>/conf.d/<vhost>; false when it does not fit.
bool alias_path(char (&path)[PATH_BUFFER_BYTES], const char *webmail, const char *vhost)
{
    int n = std::snprintf(path, sizeof path, "%s/%s/conf.d/%s", WEBMAIL_ROOT, webmail, vhost);
    return n >= 0 && size_t(n) < sizeof path;
}

// A path whose file or directory is missing names no file.
bool is_absent(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

bool write_all(int fd, const char *text, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text += n;
        len -= size_t(n);
    }
    return true;
}

} // namespace

extern "C" {

int set_vhost_webmail(const char *webmail, const char *vhost)
{
    char path[PATH_BUFFER_BYTES];
    for (const char *known : known_webmails) {
        if (!alias_path(path, known, vhost)) {
            log_printf(LOG_ERR, "Unable to get webserver config name. Buffer too short\n");
            return -1;
        }
        if (sysroot_unlink(path) != 0 && !is_absent(errno)) {
            log_printf(LOG_ERR, "System error: %s", std::strerror(errno));
            return -1;
        }
    }
    if (std::strcmp(webmail, "none") == 0)
        return 0;

    char line[k_alias_line_bytes];
    int len = std::snprintf(line, sizeof line, "ServerAlias webmail.%s\n", vhost);
    if (len < 0 || size_t(len) >= sizeof line) {
        log_printf(LOG_ERR,
                   "Unable to construct webmail server alias for vhost %s. Buffer too short\n",
                   vhost);
        return -1;
    }
    if (!alias_path(path, webmail, vhost)) {
        log_printf(LOG_ERR, "Unable to get webserver config name for vhost %s. Buffer too short\n",
                   vhost);
        return -1;
    }
    int fd = sysroot_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_printf(LOG_ERR, "System error: %s", std::strerror(errno));
        return -1;
    }
    if (!write_all(fd, line, size_t(len))) {
        log_printf(LOG_ERR, "System error: %s", std::strerror(errno));
        ::close(fd);
        return -1;
    }
    if (::close(fd) != 0) {
        log_printf(LOG_ERR, "System error: %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

int get_vhost_webmail(char *destination, size_t capacity, const char *vhost)
{
    destination[0] = '\0';
    char path[PATH_BUFFER_BYTES];
    for (const char *known : known_webmails) {
        if (!alias_path(path, known, vhost)) {
            log_printf(LOG_ERR, "Unable to get webserver config name. Buffer too short\n");
            return -1;
        }
        struct stat st;
        if (sysroot_stat(path, &st) == 0) {
            if (std::strlen(known) + 1 > capacity) {
                log_printf(LOG_ERR, "Unable to get webmail name for vhost %s: buffer too short\n",
                           vhost);
                return -1;
            }
            strlcpy(destination, known, capacity);
            return 0;
        }
        if (!is_absent(errno)) {
            log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

} // extern "C"
