// Service scripts as children: the one way a script is set up to run (the
// graceful reload's and every other action's), and a run of one action under
// a time bound for callers that hold the panel's lock while they wait.
#pragma once

#include "util/child.hpp"
#include "util/owners.hpp"

#include <cstddef>
#include <string_view>

namespace hcp
{

// How much of a bounded run's output is kept.
constexpr size_t k_script_output_bytes = 4096;

// A script's child as every runner of one sets it up: the script resolved
// beneath HCP_SYSROOT and run by that path with (argv0, action), so that one
// without "#!" runs under sh; in the script's directory, in a session of its
// own, with no descriptor above 2. The runner connects 0-2 and adds its
// reports. Ends the process (status 1) without memory for the paths.
class script_child
{
  public:
    script_child(const char *script, const char *argv0, const char *action);
    script_child(const script_child &) = delete;
    script_child &operator=(const script_child &) = delete;
    // The plan for spawn(); it borrows this object's texts.
    child_plan &plan() { return plan_; }

  private:
    unique_malloc<char> logical_directory_;
    unique_malloc<char> real_script_;
    unique_malloc<char> real_directory_;
    char *argv_[3];
    child_plan plan_;
};

// What came of one bounded run of a script.
struct script_outcome {
    enum class end {
        exited,   // it ran and ended: exit_status
        not_run,  // it could not be started or waited for: error
        timed_out // it overran: its process group was killed and it was reaped
    };
    // How the run ended.
    end how = end::not_run;
    // 0-255 as it exited; 128 + the signal's number when a signal ended it,
    // as sh reports such a command: a crash counts as a failure.
    int exit_status = 0;
    // The signal that ended it (exited), else 0.
    int signal = 0;
    // The errno of what kept it from running or from being waited for (not_run).
    int error = 0;
    // Its standard output and error together, in the order written; the first
    // k_script_output_bytes only (the rest was read and thrown away), up to
    // the kill when it timed out.
    std::string_view output() const { return {output_text, output_length}; }

    // The text of output(), NUL-terminated, and its length.
    char output_text[k_script_output_bytes + 1] = {};
    size_t output_length = 0;
};

// Runs `script action` as script_child sets it up (argv0 the script's logical
// path), stdin on /dev/null, stdout and stderr into one pipe, until the
// deadline at most (child_deadline() gives one that keeps the shared bound);
// whatever the caller left of SIGALRM does not matter. Until it is reaped,
// kill_waited_group() kills its process group; once it has ended, what it
// left running in that group is killed (SIGKILL) before it is reaped,
// unless `left` keeps it (a reload's or a start's daemon). A
// script that cannot be executed (EACCES, ENOENT, a directory it cannot
// enter) is not_run with that errno, never an exit status; so is one whose
// status cannot be read (ECHILD where the caller ignores SIGCHLD), its group
// then left alone. Reports nothing; ends the process (status 1) only
// without memory.
enum class leftovers { killed, kept };
script_outcome run_script_bounded(const char *script, const char *action, const deadline &limit,
                                  leftovers left = leftovers::killed);

} // namespace hcp
