// The include file as install and enable make it, for the check that
// compares it with the file in place and the sync that writes it again.
#pragma once

#include "lanternctl.h"

#include <string>

namespace lanternctl
{

// The include file's name in HTTPD_INCLUDE_D: zzz_<name>_vhost.conf.
std::string include_file_name(const char *name);
// Composes its path; false after logging that it does not fit.
bool compose_vhost_path(char (&path)[PATH_BUFFER_BYTES], const char *name);

// Writes name's include file from its template as enable does, guarded by
// the web server's configuration test: 0; 1 when the test refused the new
// file and the earlier state is back (already logged); -1 after logging why.
int write_include_file(const char *name, const webmail_options &options);

// Appends to text what write_include_file would write now: 0, or -1 after
// logging why as enable logs it. A host name without an ASCII form is
// logged rather than ending the process; no usable Apache still ends it.
// std::bad_alloc when text cannot grow.
int build_include_text(const char *name, const webmail_options &options, std::string &text);

} // namespace lanternctl
