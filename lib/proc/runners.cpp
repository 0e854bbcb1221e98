// Runners that forward a utility's error output as reports, collect its
// merged output, run it silently or hand back its raw wait status, and run
// shell commands collecting their output.
#include "hcp_proc.h"
#include "hcp_util.h"

#include "util/child.hpp"
#include "util/owners.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

namespace
{

constexpr size_t k_forward_chunk_bytes = 4095;
// A shell status of 128 + n is how sh itself tells that a command died of signal n.
constexpr int k_shell_signal_base = 128;

// The child of util_exec says why it cannot run the program on its
// standard error, the pipe whose contents are reported.
void report_util_exec_child(const hcp::child_plan &, hcp::child_step, int error)
{
    hcp::child_write(2, {"Error occured during execv():\n", hcp::child_error_text(error),
                         error == EFAULT ? ", possible reason - NULL parameter is absent in "
                                           "util_exec(path, arg1, arg2, NULL) call.\n"
                                         : ".\n"});
}

// The child of util_exec_getout says it on its standard output, so that it
// arrives in the captured output.
void report_getout_child(const hcp::child_plan &plan, hcp::child_step, int error)
{
    hcp::child_write(1, {"Cannot exec ", plan.path, ":\n", hcp::child_error_text(error)});
}

void report_no_buffer_memory(int error)
{
    print_error(1, "Cannot allocate buffer:\n%s", std::strerror(error));
}

void report_unreadable_output(int error)
{
    print_error(0, "Cannot read child output:\n%s", std::strerror(error));
}

// util_exec_getout's capture: one stream, standard output and error merged.
const hcp::capture_plan k_getout_capture = {
    .leave_on_poll_failure = true,
    .out_of_memory = report_no_buffer_memory,
    .read_failed = report_unreadable_output,
};

} // namespace

extern "C" {

int fork_execv_last_status = 0;

int util_exec(int fd_in, int fd_out, const char *path, char *const argv[])
{
    if ((fd_in >= 0 && fd_in <= 2) || (fd_out >= 0 && fd_out <= 2)) {
        errno = 0;
        print_error(0, "values 0,1,2 not allowed for variables fd_in & fd_out\n");
        return -1;
    }
    hcp::unique_fd read_end, write_end;
    if (hcp::open_child_pipe(read_end, write_end, false) != 0) {
        print_error(0, "Error occured during pipe():\n%s", std::strerror(errno));
        return -1;
    }
    hcp::program_path program(path);
    hcp::child_plan plan(path, argv, program);
    plan.connect(fd_in, fd_out, write_end.get());
    plan.report = report_util_exec_child;
    pid_t pid = hcp::spawn(plan);
    if (pid < 0)
        print_error(1, "Error occured during fork():\n%s", std::strerror(errno));

    write_end.reset();
    char chunk[k_forward_chunk_bytes + 1];
    for (ssize_t n; (n = hcp::read_retrying(read_end.get(), chunk, k_forward_chunk_bytes)) > 0;) {
        chunk[n] = '\0';
        errno = 0; // the child's words, not a failure of ours
        print_error(0, "%s", chunk);
        std::fflush(stderr);
    }
    read_end.reset();

    int status = 0;
    if (hcp::wait_child(pid, &status, WUNTRACED) < 0) {
        print_error(0, "Error occured during waiting the child process with pid: %d: %s\n",
                    static_cast<int>(pid), std::strerror(errno));
        return -1;
    }
    errno = 0;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        print_error(0, "The child process with pid %d killed by signal %i\n", static_cast<int>(pid),
                    WTERMSIG(status));
    else if (WIFSTOPPED(status))
        print_error(0, "The child process with pid %d stopped by signal %i\n",
                    static_cast<int>(pid), WSTOPSIG(status));
    return -1;
}

int util_exec_getout(char **out, const char *path, ...)
{
    *out = nullptr;

    va_list ap;
    va_start(ap, path);
    hcp::unique_malloc<char *> argv(hcp::vector_from_list(path, ap, report_no_buffer_memory));
    va_end(ap);

    hcp::capture_stream output;
    hcp::unique_fd write_end;
    // Left blocking (-2), the read end is still read only when poll or
    // FIONREAD says something is there.
    if (hcp::open_child_pipe(output.fd, write_end, true) == -1) {
        print_error(0, "Cannot create pipe:\n%s", std::strerror(errno));
        return -1;
    }
    hcp::program_path program(path);
    hcp::child_plan plan(path, argv.get(), program);
    plan.connect(0, write_end.get(), write_end.get());
    plan.report = report_getout_child;
    pid_t pid = hcp::spawn(plan);
    if (pid < 0)
        print_error(1, "Cannot fork():\n%s", std::strerror(errno));
    write_end.reset();

    output.reserve(k_getout_capture);
    hcp::capture_end end = hcp::capture(pid, {&output, 1}, k_getout_capture);
    hcp::unique_malloc<char> text(output.hand_over());
    if (end.waited < 0) {
        errno = end.wait_error;
        print_error(0, "Cannot wait for utility %s:\n%s", path, std::strerror(end.wait_error));
        return -1;
    }
    errno = 0;
    int status = end.status;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        *out = text.release();
        return 0;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == hcp::k_exec_failed_status) {
        print_error(0, "error:\n%s", text.get());
        return hcp::k_exec_failed_status;
    }
    if (WIFEXITED(status)) {
        print_error(0, "utility %s failed (result=%d):\n%s", path, WEXITSTATUS(status), text.get());
        return WEXITSTATUS(status);
    }
    print_error(0, "utility %s killed (signal %d):\n%s", path,
                WIFSIGNALED(status) ? WTERMSIG(status) : 0, text.get());
    return -1;
}

int util_exec_quiet(const char *path, ...)
{
    va_list ap;
    va_start(ap, path);
    hcp::bounded_vector args(path, ap);
    va_end(ap);

    hcp::program_path program(path);
    hcp::child_plan plan(path, args.argv, program);
    plan.connect(-1, -1, -1);
    pid_t pid = hcp::spawn(plan);
    if (pid < 0) {
        print_error(0, "util_exec_quiet: fork() failed");
        return -1;
    }
    // Wait for this child by its id: another child of the caller's must not
    // be reaped in its place.
    int status = 0;
    if (hcp::wait_child(pid, &status, 0) < 0)
        return -1;
    return WIFSIGNALED(status) ? 1 : 0;
}

int fork_execv_wait(const char *path, char *const argv[])
{
    hcp::program_path program(path);
    pid_t pid = hcp::spawn(hcp::child_plan(path, argv, program));
    if (pid < 0)
        print_error(1, "Unable to fork");
    int status = 0;
    if (hcp::wait_child(pid, &status, 0) < 0)
        status = -1;
    fork_execv_last_status = status;
    return status;
}

int popen_exec(char **out, const char *command)
{
    std::fflush(nullptr);
    FILE *stream = ::popen(command, "r");
    if (stream == nullptr) {
        std::fputs("popen_exec: failed to execute command: fork or pipe calls failed, or cannon "
                   "allocate memory\n",
                   stderr);
        return -1;
    }
    size_t capacity = hcp::k_capture_step_bytes;
    hcp::unique_malloc<char> output(static_cast<char *>(std::malloc(capacity + 1)));
    if (!output) {
        std::fputs("popen_exec: failed to allocate memory\n", stderr);
        ::pclose(stream);
        return -1;
    }
    size_t length = 0;
    int c;
    while ((c = std::getc(stream)) != EOF) {
        if (length == capacity) {
            void *grown = std::realloc(output.get(), capacity + hcp::k_capture_step_bytes + 1);
            if (grown == nullptr) {
                std::fputs("popen_exec: warning: failed to allocate memory for command output "
                           "buffer\n",
                           stderr);
                length = 0;
                break;
            }
            (void)output.release();
            output.reset(static_cast<char *>(grown));
            capacity += hcp::k_capture_step_bytes;
        }
        output.get()[length++] = static_cast<char>(c);
    }
    output.get()[length] = '\0';

    int status = ::pclose(stream);
    *out = output.release();
    if (status == -1)
        return -1;
    // A command killed by a signal failed; say so as the shell does, not as 0.
    if (WIFSIGNALED(status))
        return k_shell_signal_base + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int popen_exec_report(const char *command)
{
    char *output_text = nullptr;
    int result = popen_exec(&output_text, command);
    hcp::unique_malloc<char> output(output_text);
    if (result == -1) {
        print_error(0, "popen_exec: failed to execute command: %s\n", std::strerror(errno));
    } else if (result != 0) {
        errno = 0;
        print_error(0, "popen_exec: command failed code: %d , %s\n", result,
                    output && *output ? output.get() : "error: none");
    }
    return result;
}

} // extern "C"
