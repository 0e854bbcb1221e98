// Per-domain alias files as set-default writes them, for the code that
// checks them against what it would write.
#pragma once

#include "lanternctl.h"

#include <cstddef>

namespace lanternctl
{

// The alias temporary's base name holds a space, which no vhost name may,
// so it is never taken for an alias file.
constexpr char k_alias_temporary_base[] = "lanternctl alias";
constexpr size_t k_alias_line_bytes = 4096;

// Whether set-default accepts name as a vhost name.
bool is_valid_vhost_name(const char *name);
// Composes the one line of vhost's alias file; its length, or -1 when it
// does not fit.
int compose_alias_line(char (&line)[k_alias_line_bytes], const char *vhost);
// Composes <webmail root>/<webmail>/conf.d; false when it does not fit.
bool conf_d_path(char (&path)[PATH_BUFFER_BYTES], const char *webmail);

} // namespace lanternctl
