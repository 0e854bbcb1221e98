// The include file goes live only as far as the web server can read it: where
// its rc.d script can test the configuration, a new file that breaks it gives
// way to the earlier one.
#pragma once

#include "pending.hpp"

namespace lanternctl
{

// Commits `out` (the complete temporary "<dir>/.<base>.new") over vhost_path.
// Unless hcp.conf has NO_RESTART_DAEMON or the HTTPD_SERVICE script is not a
// regular file, then runs "<script> configtest": when it fails with the new
// file and passes with the earlier one (or none), the earlier state is put
// back; when it fails either way, the new file stays. 0, or -1 after logging
// why; the path holds the earlier file or the new one, whole, on every way
// out, also when the run is killed.
int commit_include_file(pending_file &out, const char *dir, const char *base,
                        const char *vhost_path, const char *name);

} // namespace lanternctl
