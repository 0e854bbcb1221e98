// Per-domain default webmail: which webmail answers under webmail.<vhost> is
// a one-line alias file in that webmail's conf.d, one vhost at most one file.
#include "defaults.hpp"

#include "hcp_util.h"
#include "messages.hpp"
#include "pending.hpp"
#include "util/owners.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

using lanternctl::conf_d_path;
using lanternctl::names_nothing;

// Composes <webmail root>/<webmail>/conf.d/<vhost>; false when it does not fit.
bool alias_path(char (&path)[PATH_BUFFER_BYTES], const char *webmail, const char *vhost)
{
    int n = std::snprintf(path, sizeof path, "%s/%s/conf.d/%s", WEBMAIL_ROOT, webmail, vhost);
    return n >= 0 && size_t(n) < sizeof path;
}

// set-default's own words for a failed create, write or removal.
int set_default_failed()
{
    log_printf(LOG_ERR, "System error: %s", std::strerror(errno));
    return -1;
}

// A step of its own beyond those, naming its file.
int failed_on(const char *path)
{
    lanternctl::log_system_error(path);
    return -1;
}

} // namespace

namespace lanternctl
{

// A vhost name becomes a file name under conf.d and part of an Apache
// directive: nothing that leaves the directory or breaks the line (a
// trailing backslash continues it), and none of Apache's wildcards, which
// would let one webmail answer for every matching host of the server.
bool is_valid_vhost_name(const char *name)
{
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++)
        if (*p < 32 || *p == 127 || std::strchr("/ \\*?", *p) != nullptr)
            return false;
    return true;
}

int compose_alias_line(char (&line)[k_alias_line_bytes], const char *vhost)
{
    int len = std::snprintf(line, sizeof line, "ServerAlias webmail.%s\n", vhost);
    return len >= 0 && size_t(len) < sizeof line ? len : -1;
}

bool conf_d_path(char (&path)[PATH_BUFFER_BYTES], const char *webmail)
{
    int n = std::snprintf(path, sizeof path, "%s/%s/conf.d", WEBMAIL_ROOT, webmail);
    return n >= 0 && size_t(n) < sizeof path;
}

bool is_alias_leftover(std::string_view entry)
{
    constexpr std::string_view temporary = k_alias_temporary;
    constexpr std::string_view stem = temporary.substr(0, temporary.rfind('.') + 1);
    return entry == temporary ||
           (entry.starts_with(stem) && is_earlier_temporary_suffix(entry.substr(stem.size())));
}

int remove_alias_file(int conf_d_fd, const char *vhost)
{
    if (::unlinkat(conf_d_fd, vhost, 0) == 0)
        return 1;
    return names_nothing(errno) ? 0 : -1;
}

} // namespace lanternctl

extern "C" {

// The new alias file is complete on disk and in place before any other goes:
// a failure or a kill leaves the vhost its earlier choice, or its new one and
// perhaps an earlier one too, never none. It takes its place by rename, so
// nothing is written through a link planted at the alias path.
int set_vhost_webmail(const char *webmail, const char *vhost)
{
    bool none = std::strcmp(webmail, "none") == 0;
    struct stat chosen_dir = {};
    if (!none) {
        char line[lanternctl::k_alias_line_bytes];
        int len = lanternctl::compose_alias_line(line, vhost);
        if (len < 0) {
            log_printf(LOG_ERR,
                       "Unable to construct webmail server alias for vhost %s. Buffer too short\n",
                       vhost);
            return -1;
        }
        char target[PATH_BUFFER_BYTES];
        char dir[PATH_BUFFER_BYTES];
        char temporary[PATH_BUFFER_BYTES];
        if (!alias_path(target, webmail, vhost) || !conf_d_path(dir, webmail) ||
            !alias_path(temporary, webmail, lanternctl::k_alias_temporary)) {
            log_printf(LOG_ERR,
                       "Unable to get webserver config name for vhost %s. Buffer too short\n",
                       vhost);
            return -1;
        }
        lanternctl::pending_file alias;
        if (!alias.create(dir, temporary, 0644) ||
            std::fwrite(line, 1, size_t(len), alias.stream()) != size_t(len))
            return set_default_failed();
        if (!alias.finish())
            return failed_on(temporary);
        if (!alias.commit(target))
            return failed_on(target);
        if (sysroot_stat(dir, &chosen_dir) != 0)
            return failed_on(dir);
    }

    char path[PATH_BUFFER_BYTES];
    for (const char *known : known_webmails) {
        if (!alias_path(path, known, vhost)) {
            log_printf(LOG_ERR, "Unable to get webserver config name. Buffer too short\n");
            return -1;
        }
        char dir[PATH_BUFFER_BYTES];
        conf_d_path(dir, known); // shorter than path
        hcp::unique_fd dir_fd(sysroot_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        struct stat st;
        if (!dir_fd && names_nothing(errno))
            continue; // no conf.d, no alias file
        if (!dir_fd || ::fstat(dir_fd.get(), &st) != 0)
            return failed_on(dir);
        // The chosen webmail's conf.d, under its own name or another (a link).
        if (!none && st.st_dev == chosen_dir.st_dev && st.st_ino == chosen_dir.st_ino)
            continue;
        int removed = lanternctl::remove_alias_file(dir_fd.get(), vhost);
        if (removed < 0)
            return set_default_failed();
        if (removed > 0 && !lanternctl::sync_directory_fd(dir_fd.get()))
            return failed_on(dir);
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
        if (!names_nothing(errno)) {
            log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

} // extern "C"
