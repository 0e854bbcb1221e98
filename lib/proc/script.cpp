// Service scripts as children: how one is set up to run, and a run of one
// action whose wait is bounded and whose output is kept in a fixed buffer.
#include "proc/script.hpp"

#include "hcp_util.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>

namespace
{

// sh's status of a command that a signal ended: 128 + the signal's number.
constexpr int k_shell_signal_base = 128;

// The directory part of a script path, as the child changes into it.
hcp::unique_malloc<char> directory_of(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return hcp::unique_malloc<char>(alloc_printf("."));
    if (slash == path)
        return hcp::unique_malloc<char>(alloc_printf("/"));
    return hcp::unique_malloc<char>(alloc_printf("%.*s", int(slash - path), path));
}

void report_no_output_memory(int)
{
    print_error(1, "Cannot allocate memory");
}

// One stream, both outputs; a poll() failure is waited out like a quiet
// second, so the deadline still ends the run. A stream that cannot be read
// is closed; what it gave until then stays. What a test leaves running in
// its group is not the server's daemon (a test starts none) but a helper
// that would go on for good, writing into a pipe nobody reads; what a start
// or a reload leaves may be the daemon.
const hcp::capture_plan k_script_capture = {
    .ends_group = true,
    .out_of_memory = report_no_output_memory,
};
const hcp::capture_plan k_daemon_script_capture = {
    .out_of_memory = report_no_output_memory,
};

} // namespace

namespace hcp
{

script_child::script_child(const char *script, const char *argv0, const char *action)
    : logical_directory_(directory_of(script)), real_script_(sysroot_path(script)),
      real_directory_(sysroot_path(logical_directory_.get())), argv_{const_cast<char *>(argv0),
                                                                     const_cast<char *>(action),
                                                                     nullptr},
      plan_(script, argv_, real_script_.get())
{
    plan_.directory = real_directory_.get();
    plan_.directory_name = logical_directory_.get();
    plan_.new_session = true;
    plan_.close_inherited = true;
    plan_.search_path = true;
}

script_outcome run_script_bounded(const char *script, const char *action, const deadline &limit,
                                  leftovers left)
{
    script_outcome outcome;

    capture_stream output;
    output.keep_bytes = k_script_output_bytes;
    unique_fd output_write, status_read, status_write;
    if (open_child_pipe(output.fd, output_write, true) != 0 ||
        open_child_pipe(status_read, status_write, true) != 0) {
        outcome.error = errno;
        return outcome;
    }
    script_child child(script, script, action);
    child_plan &plan = child.plan();
    plan.connect(-1, output_write.get(), output_write.get());
    plan.status_fd = status_write.get();
    plan.ends_with_caller = true;
    pid_t pid = spawn(plan);
    if (pid < 0) {
        outcome.error = errno;
        return outcome;
    }
    output_write.reset();
    status_write.reset();

    capture_end end =
        capture(pid, {&output, 1},
                left == leftovers::killed ? k_script_capture : k_daemon_script_capture, limit);
    if (output.text) {
        std::memcpy(outcome.output_text, output.text.get(), output.length);
        outcome.output_length = output.length;
    }
    // The child is gone: the status pipe holds all it will ever hold.
    int child_error = 0;
    if (read_retrying(status_read.get(), reinterpret_cast<char *>(&child_error),
                      sizeof child_error) == ssize_t(sizeof child_error)) {
        outcome.error = child_error;
        return outcome;
    }
    if (end.timed_out) {
        outcome.how = script_outcome::end::timed_out;
        return outcome;
    }
    if (end.waited < 0) {
        outcome.error = end.wait_error;
        return outcome;
    }
    outcome.how = script_outcome::end::exited;
    if (WIFEXITED(end.status)) {
        outcome.exit_status = WEXITSTATUS(end.status);
    } else if (WIFSIGNALED(end.status)) {
        outcome.signal = WTERMSIG(end.status);
        outcome.exit_status = k_shell_signal_base + outcome.signal;
    }
    return outcome;
}

} // namespace hcp
