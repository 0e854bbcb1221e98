// What every piece of the tool says the same way: a failed system call, a
// path that names nothing, a path shown on a line of output.
#pragma once

#include <string>
#include <string_view>

namespace lanternctl
{

// Whether a failed call's errno says that the path names nothing: no such
// file, or a file where a directory was expected.
bool names_nothing(int error);

// Logs "System error: <file>: <text of errno>\n" (LOG_ERR) for a call that
// failed on file; false, for the caller to return.
bool log_system_error(const char *file);

// The path as output shows it: a control character or a backslash as vis(3)
// shows it in octal ("\012", "\\"), so that no name breaks a line in two or
// adds a field to it.
std::string shown_path(std::string_view path);

} // namespace lanternctl
