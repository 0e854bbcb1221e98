// What every piece of the tool says the same way.
#include "messages.hpp"

#include "hcp_util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace lanternctl
{

bool names_nothing(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

bool log_system_error(const char *file)
{
    log_printf(LOG_ERR, "System error: %s: %s\n", file, std::strerror(errno));
    return false;
}

std::string shown_path(std::string_view path)
{
    std::string shown;
    shown.reserve(path.size());
    for (unsigned char c : path) {
        if (c == '\\') {
            shown += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            shown += octal;
        } else {
            shown += char(c);
        }
    }
    return shown;
}

} // namespace lanternctl
