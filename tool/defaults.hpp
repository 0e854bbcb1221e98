// Per-domain alias files as set-default writes and removes them, for the
// code that checks them against what it would write and the sync that
// removes duplicates.
#pragma once

#include "lanternctl.h"

#include <cstddef>
#include <string_view>

namespace lanternctl
{

// set-default's temporary in a conf.d. Its name holds a space, which no
// vhost name may, so it is never taken for an alias file.
constexpr char k_alias_temporary[] = ".lanternctl alias.new";
constexpr size_t k_alias_line_bytes = 4096;

// Whether set-default accepts name as a vhost name.
bool is_valid_vhost_name(const char *name);
// Composes the one line of vhost's alias file; its length, or -1 when it
// does not fit.
int compose_alias_line(char (&line)[k_alias_line_bytes], const char *vhost);
// Composes <webmail root>/<webmail>/conf.d; false when it does not fit.
bool conf_d_path(char (&path)[PATH_BUFFER_BYTES], const char *webmail);
// Whether a conf.d entry is what a killed set-default left: its temporary,
// or an earlier version's ".lanternctl alias.<pid>.<n>".
bool is_alias_leftover(std::string_view entry);
// Removes the alias file of vhost from the conf.d open at conf_d_fd: 1, 0
// when there is none, -1 with errno. It is durable once the directory is
// synced (sync_directory_fd), which callers do once for their removals in it.
int remove_alias_file(int conf_d_fd, const char *vhost);

} // namespace lanternctl
