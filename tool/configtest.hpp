// The include files go live only as far as the web server can read them:
// where its rc.d script can test the configuration, new files that break it
// give way to the earlier ones. The same script reloads the server.
#pragma once

#include "include_file.hpp"
#include "pending.hpp"

#include <span>

namespace lanternctl
{

// The web server's rc.d script, "/usr/local/etc/rc.d/<HTTPD_SERVICE>".
struct web_server_script {
    enum class state {
        none,     // not there (ENOENT), or hcp.conf has NO_RESTART_DAEMON: nothing is asked of it
        usable,   // a regular file
        unusable, // there, but it cannot be examined or is no file to run: error says why
    };
    state how = state::none;
    char path[PATH_BUFFER_BYTES] = "";
    int error = 0;
};
web_server_script find_web_server_script();

// One include file staged for a checkpoint: its new content complete in
// `next`, its verdict once the checkpoint has decided.
struct staged_file {
    enum class verdict {
        undecided, // no test could decide: the earlier state stays
        live,      // a test passed it, no test was due, or the configuration
                   // fails without it as well
        refused,   // the configuration fails with it only: the earlier state stays
    };
    const include_file *file = nullptr;
    pending_file *next = nullptr;
    verdict result = verdict::undecided;
};

// The most files one checkpoint takes: every known webmail's.
constexpr size_t k_checkpoint_files = KNOWN_WEBMAIL_COUNT;

// What the checkpoint learnt of the configuration it leaves.
struct checkpoint_end {
    bool tested = false; // a test of that very configuration ran to its end
    bool passes = false;
    bool undecided = false; // a test decided nothing, and said why
};

// Puts every staged file in place, each with its undo record, and tests the
// configuration once. Passed: every file is live. Failed: all are put back
// and the configuration is tested without them; if that passes, the files
// are tested one at a time on top of those that passed, and each that fails
// is refused (logged as enable logs it); if it fails too, the configuration
// was broken before and the files stay, with one warning. A test that
// cannot run, overruns, is ended by a signal after the first, or would start
// with less than k_least_test_seconds of the run's bound left decides
// nothing: the files it would judge are undecided, the reason logged. 0
// with every verdict set; -1 after logging a system error, each file then
// earlier, or live with an undo record that the next run rolls back.
constexpr int k_least_test_seconds = 10;
int commit_checkpoint(std::span<staged_file> files, checkpoint_end &end);

// One test of the configuration as it is, for the check: 0 passes, 1 fails,
// -1 after logging why it decided nothing.
int test_configuration(const web_server_script &script);

// "<script> reload", as set-default's graceful restart runs it, with what it
// prints logged instead of shown: 0, or -1 after logging why.
int reload_web_server(const web_server_script &script);

} // namespace lanternctl
