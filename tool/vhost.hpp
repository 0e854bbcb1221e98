// The include file's text as install and enable make it from the template,
// for the commands that write it and the check that compares it with the
// file in place.
#pragma once

#include "include_file.hpp"
#include "pending.hpp"

#include <mysql.h>
#include <string>
#include <string_view>

namespace lanternctl
{

enum class build_result {
    built,
    unbuildable,     // as enable would fail now, already logged
    database_failed, // the database could not be asked, already logged
};

// Appends to text what enable would write now for the webmail, asking db
// (or, when null, a connection of each lookup's own). Where strict, a host
// name without an ASCII form ends the process as enable's does; otherwise it
// is logged. No usable Apache ends it either way. Where next is given, it is
// created (create_include_temporary) once the template and the values are
// at hand, before the lines are copied, as enable has always done.
// std::bad_alloc when text cannot grow.
build_result build_include_text(const include_file &file, const webmail_options &options, MYSQL *db,
                                bool strict, std::string &text, pending_file *next = nullptr);

// Creates the file's temporary with the permissions (and where it may, the
// owner) of the file it is to replace; false after logging why.
bool create_include_temporary(const include_file &file, pending_file &next);
// Writes text to the temporary, complete on disk; false after logging why.
bool write_include_temporary(pending_file &next, std::string_view text);

} // namespace lanternctl
