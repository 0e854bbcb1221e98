// Runners that forward a utility's error output as reports, collect its
// merged output, run it silently or hand back its raw wait status, and run
// shell commands collecting their output.
#include "hcp_proc.h"
#include "hcp_util.h"

#include "proc/child.hpp"
#include "util/owners.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr size_t k_forward_chunk_bytes = 4095;
constexpr size_t k_output_step_bytes = 4096;
constexpr int k_output_poll_seconds = 1;
constexpr int k_quiet_max_arguments = 99;
constexpr int k_exec_failed_status = 255;
// A shell status of 128 + n is how sh itself tells that a command died of signal n.
constexpr int k_shell_signal_base = 128;

// A pipe whose ends are not inherited by any program this process runs;
// the child connects the one it needs by dup2, which clears the flag.
bool open_private_pipe(hcp::unique_fd &read_end, hcp::unique_fd &write_end)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return false;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
}

// Grows the capture buffer of util_exec_getout so that one byte and the
// terminator fit; without memory the process ends.
void reserve_output(hcp::unique_malloc<char> &buffer, size_t &capacity, size_t length)
{
    if (capacity - length >= 2)
        return;
    void *grown = std::realloc(buffer.get(), capacity + k_output_step_bytes);
    if (grown == nullptr)
        print_error(1, "Cannot allocate buffer:\n%s", std::strerror(errno));
    (void)buffer.release();
    buffer.reset(static_cast<char *>(grown));
    capacity += k_output_step_bytes;
}

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
    hcp::program_path program(path);
    hcp::unique_fd read_end, write_end;
    if (!open_private_pipe(read_end, write_end)) {
        print_error(0, "Error occured during pipe():\n%s", std::strerror(errno));
        return -1;
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        print_error(1, "Error occured during fork():\n%s", std::strerror(errno));
    if (pid == 0) {
        const int sources[3] = {fd_in, fd_out, write_end.get()};
        if (hcp::connect_standard_descriptors(sources) == 0)
            hcp::exec_program(program, argv);
        int error = errno;
        hcp::child_write(2, {"Error occured during execv():\n", hcp::child_error_text(error),
                             error == EFAULT ? ", possible reason - NULL parameter is absent in "
                                               "util_exec(path, arg1, arg2, NULL) call.\n"
                                             : ".\n"});
        ::_exit(k_exec_failed_status);
    }

    write_end.reset();
    char chunk[k_forward_chunk_bytes + 1];
    for (;;) {
        ssize_t n = ::read(read_end.get(), chunk, k_forward_chunk_bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
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
    va_list counting;
    va_copy(counting, ap);
    size_t count = 1;
    while (va_arg(counting, const char *) != nullptr)
        count++;
    va_end(counting);
    hcp::unique_malloc<char *> argv(
        static_cast<char **>(std::malloc((count + 1) * sizeof(char *))));
    if (!argv)
        print_error(1, "Cannot allocate buffer:\n%s", std::strerror(errno));
    argv.get()[0] = const_cast<char *>(path);
    for (size_t i = 1; i < count; i++)
        argv.get()[i] = va_arg(ap, char *);
    argv.get()[count] = nullptr;
    va_end(ap);

    hcp::program_path program(path);
    hcp::unique_fd read_end, write_end;
    if (!open_private_pipe(read_end, write_end)) {
        print_error(0, "Cannot create pipe:\n%s", std::strerror(errno));
        return -1;
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        print_error(1, "Cannot fork():\n%s", std::strerror(errno));
    if (pid == 0) {
        const int sources[3] = {0, write_end.get(), write_end.get()};
        if (hcp::connect_standard_descriptors(sources) == 0)
            hcp::exec_program(program, argv.get());
        hcp::child_write(1, {"Cannot exec ", path, ":\n", hcp::child_error_text(errno)});
        ::_exit(k_exec_failed_status);
    }

    write_end.reset();
    size_t capacity = 0;
    size_t length = 0;
    hcp::unique_malloc<char> output;
    reserve_output(output, capacity, length);
    int flags = ::fcntl(read_end.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK);

    // Reads what the pipe holds now: > 0 bytes read, 0 at its end, -1 when
    // nothing is there yet, -2 on a failure already reported.
    auto read_available = [&]() -> ssize_t {
        ssize_t n;
        do
            n = ::read(read_end.get(), output.get() + length, capacity - length - 1);
        while (n < 0 && errno == EINTR);
        if (n > 0) {
            length += size_t(n);
            reserve_output(output, capacity, length);
        } else if (n < 0 && errno != EAGAIN) {
            print_error(0, "Cannot read child output:\n%s", std::strerror(errno));
            return -2;
        } else if (n < 0) {
            return -1;
        }
        return n;
    };

    int status = 0;
    pid_t waited = 0;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(read_end.get(), &readable);
        struct timeval timeout = {k_output_poll_seconds, 0};
        errno = 0;
        int ready = ::select(read_end.get() + 1, &readable, nullptr, nullptr, &timeout);
        if (ready > 0) {
            ssize_t n = read_available();
            if (n > 0 || n == -1)
                continue;
            break;
        }
        if (ready < 0 && errno != EINTR)
            break;
        // Quiet for a second: a daemon the utility started may hold the
        // pipe after the utility itself has ended.
        if ((waited = ::waitpid(pid, &status, WNOHANG)) == 0)
            continue;
        if (waited > 0) {
            // What was written just before the end is still in the pipe.
            while (read_available() > 0) {
            }
        }
        break;
    }
    int wait_error = errno;
    output.get()[length] = '\0';
    read_end.reset();
    if (waited == 0) {
        waited = hcp::wait_child(pid, &status, 0);
        wait_error = errno;
    }
    if (waited < 0) {
        errno = wait_error;
        print_error(0, "Cannot wait for utility %s:\n%s", path, std::strerror(wait_error));
        return -1;
    }
    errno = 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        *out = output.release();
        return 0;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == k_exec_failed_status) {
        print_error(0, "error:\n%s", output.get());
        return k_exec_failed_status;
    }
    if (WIFEXITED(status)) {
        print_error(0, "utility %s failed (result=%d):\n%s", path, WEXITSTATUS(status),
                    output.get());
        return WEXITSTATUS(status);
    }
    print_error(0, "utility %s killed (signal %d):\n%s", path,
                WIFSIGNALED(status) ? WTERMSIG(status) : 0, output.get());
    return -1;
}

int util_exec_quiet(const char *path, ...)
{
    char *argv[1 + k_quiet_max_arguments + 1];
    argv[0] = const_cast<char *>(path);
    va_list ap;
    va_start(ap, path);
    int i = 1;
    for (; i <= k_quiet_max_arguments; i++)
        if ((argv[i] = va_arg(ap, char *)) == nullptr)
            break;
    argv[i] = nullptr;
    va_end(ap);

    hcp::program_path program(path);
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        print_error(0, "util_exec_quiet: fork() failed");
        return -1;
    }
    if (pid == 0) {
        const int sources[3] = {-1, -1, -1};
        if (hcp::connect_standard_descriptors(sources) == 0)
            hcp::exec_program(program, argv);
        ::_exit(k_exec_failed_status);
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
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        print_error(1, "Unable to fork");
    if (pid == 0) {
        hcp::exec_program(program, argv);
        ::_exit(k_exec_failed_status);
    }
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
    size_t capacity = k_output_step_bytes;
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
            void *grown = std::realloc(output.get(), capacity + k_output_step_bytes + 1);
            if (grown == nullptr) {
                std::fputs("popen_exec: warning: failed to allocate memory for command output "
                           "buffer\n",
                           stderr);
                length = 0;
                break;
            }
            (void)output.release();
            output.reset(static_cast<char *>(grown));
            capacity += k_output_step_bytes;
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
