// The include file goes live only as far as the web server can read it: where
// its rc.d script can test the configuration, a new file that breaks it gives
// way to the earlier one.
#pragma once

#include "lanternctl.h"
#include "pending.hpp"
#include "proc/script.hpp"

namespace lanternctl
{

// Commits `out` (the complete temporary "<dir>/.<base>.new") over vhost_path.
// Unless hcp.conf has NO_RESTART_DAEMON or the HTTPD_SERVICE script is not a
// regular file, the earlier file (or the fact that there was none) is first
// kept as the undo record, and "<script> configtest" run: when it fails with
// the new file and passes without it, the earlier state is put back; when it
// fails either way, the new file stays. 0 when the new file is in place; 1
// when the test refused it and the earlier state is back; -1 after logging
// why. On every way out, also when the run is killed, the path holds the
// earlier file or the new one, whole, and a new one that failed the test
// stays only when the configuration was broken before.
int commit_include_file(pending_file &out, const char *dir, const char *base,
                        const char *vhost_path, const char *name);

// The web server's rc.d script, where install and enable test the
// configuration with it: a regular file, and hcp.conf without
// NO_RESTART_DAEMON. false where they test nothing.
bool configtest_script(char (&script)[PATH_BUFFER_BYTES]);

// One run of "<script> configtest" within what is left of the run's bound
// for its children; `seconds` is what it was given.
hcp::script_outcome run_configtest(const char *script, int &seconds);

} // namespace lanternctl
