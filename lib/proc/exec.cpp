// Child-process runners that connect a program's standard descriptors,
// collect what it writes, wait for it and report its failure.
#include "hcp_conf.h"
#include "hcp_proc.h"
#include "hcp_util.h"

#include "proc/child.hpp"
#include "util/owners.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr size_t k_capture_step_bytes = 4096;
constexpr int k_capture_poll_seconds = 1;
// Argument zero plus at most 99 arguments, and the terminating null.
constexpr int k_bounded_arguments = 99;
constexpr size_t k_utility_path_bytes = 4096;
constexpr int k_exec_failed_status = 255;

// One captured stream of a child: the read end of its pipe and the text
// gathered so far. The text stays absent until the stream is first read.
struct capture_stream {
    hcp::unique_fd fd;
    hcp::unique_malloc<char> text;
    size_t length = 0;
    size_t capacity = 0;

    bool is_open() const { return static_cast<bool>(fd); }

    // Reads what the pipe holds now, growing the text as it goes.
    void read_chunk()
    {
        if (capacity < length + 2) {
            void *grown = std::realloc(text.get(), capacity + k_capture_step_bytes);
            if (grown == nullptr)
                print_error(1, "Cannot allocate memory");
            (void)text.release();
            text.reset(static_cast<char *>(grown));
            capacity += k_capture_step_bytes;
        }
        ssize_t n = ::read(fd.get(), text.get() + length, capacity - length - 1);
        if (n > 0) {
            length += size_t(n);
        } else if (n == 0) {
            fd.reset();
        } else if (errno != EAGAIN && errno != EINTR) {
            fd.reset();
            std::fprintf(stderr, "fork_exec*: read(pipe) failed: %s\n", std::strerror(errno));
            errno = 0;
        }
    }

    // Once the child has been reaped: what the pipe already holds was
    // written just before the end, and select may not have seen it yet, so
    // it is read once more. Only what is there is read: a stream that never
    // gave anything stays absent instead of becoming an empty text, and a
    // daemon that keeps writing cannot keep us here.
    void drain()
    {
        int held = 0;
        if (is_open() && ::ioctl(fd.get(), FIONREAD, &held) == 0) {
            for (size_t goal = length + size_t(held); is_open() && length < goal;) {
                size_t before = length;
                read_chunk();
                if (length == before)
                    break;
            }
        }
        fd.reset();
    }

    // Hands the text to the caller, terminated; nullptr if never read.
    char *hand_over()
    {
        if (text)
            text.get()[length] = '\0';
        return text.release();
    }
};

// A pipe whose read end the parent keeps, non-blocking.
void open_capture_pipe(capture_stream &stream, hcp::unique_fd &write_end)
{
    int ends[2];
    if (::pipe(ends) != 0)
        print_error(1, "fork_execv_getouterr: pipe() failed");
    stream.fd.reset(ends[0]);
    write_end.reset(ends[1]);
    int flags = ::fcntl(ends[0], F_GETFL);
    if (flags < 0 || ::fcntl(ends[0], F_SETFL, flags | O_NONBLOCK) != 0)
        print_error(1, "fork_execv_getouterr: fcntl(O_NONBLOCK) failed");
}

// Runs path with its standard output, and its standard error when err is
// given, captured; the other descriptors as inherited.
int capture_child(char **out, char **err, const char *path, char *const argv[])
{
    *out = nullptr;
    if (err != nullptr)
        *err = nullptr;

    capture_stream streams[2];
    hcp::unique_fd out_write, err_write;
    open_capture_pipe(streams[0], out_write);
    if (err != nullptr)
        open_capture_pipe(streams[1], err_write);

    pid_t pid =
        fork_execv_pipes(0, out_write.get(), err != nullptr ? err_write.get() : 2, path, argv);
    out_write.reset();
    err_write.reset();

    int result = -1;
    bool reaped = false;
    while (streams[0].is_open() || streams[1].is_open()) {
        fd_set readable;
        FD_ZERO(&readable);
        int highest = -1;
        for (const capture_stream &s : streams) {
            if (!s.is_open())
                continue;
            FD_SET(s.fd.get(), &readable);
            highest = std::max(highest, s.fd.get());
        }
        struct timeval timeout = {k_capture_poll_seconds, 0};
        errno = 0;
        if (::select(highest + 1, &readable, nullptr, nullptr, &timeout) > 0) {
            for (capture_stream &s : streams)
                if (s.is_open() && FD_ISSET(s.fd.get(), &readable))
                    s.read_chunk();
            continue;
        }
        // Quiet for a second: the child may have ended while a daemon it
        // started still holds the pipes, so do not wait for their end.
        int status = 0;
        pid_t waited = ::waitpid(pid, &status, WNOHANG);
        if (waited == 0)
            continue;
        reaped = true;
        result = waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        for (capture_stream &s : streams)
            s.drain();
    }
    if (!reaped) {
        int status = 0;
        pid_t waited = hcp::wait_child(pid, &status, WUNTRACED);
        result = waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    *out = streams[0].hand_over();
    if (err != nullptr)
        *err = streams[1].hand_over();
    return result;
}

// The argument vector of a list form, allocated; its caller frees it.
char **vector_from_list(const char *arg0, va_list ap)
{
    va_list counting;
    va_copy(counting, ap);
    size_t count = 1;
    if (arg0 != nullptr)
        while (va_arg(counting, const char *) != nullptr)
            count++;
    va_end(counting);

    auto **argv = static_cast<char **>(std::malloc((count + 1) * sizeof(char *)));
    if (argv == nullptr)
        print_error(1, "malloc() failed: %s", std::strerror(errno));
    argv[0] = const_cast<char *>(arg0);
    for (size_t i = 1; i < count; i++)
        argv[i] = va_arg(ap, char *);
    argv[count] = nullptr;
    return argv;
}

// The fixed vector of the bounded list forms: argument zero, then at most
// 99 arguments; the rest are ignored.
struct bounded_vector {
    char *argv[1 + k_bounded_arguments + 1];

    bounded_vector(const char *arg0, va_list ap)
    {
        argv[0] = const_cast<char *>(arg0);
        int i = 1;
        for (; i <= k_bounded_arguments; i++)
            if ((argv[i] = va_arg(ap, char *)) == nullptr)
                break;
        argv[i] = nullptr;
    }
};

void report_failure(const char *path, const char *out, const char *err)
{
    if (out != nullptr) {
        std::fputs(out, stderr);
        std::fflush(stderr);
    }
    errno = 0; // the child failed, not a call of ours
    if (err != nullptr)
        print_error(0, "%s execution failed:\n%s", path, err);
    else
        print_error(0, "%s execution failed (no output)", path);
}

// fork_execv_report() of a bounded list form, with path as argument zero.
int report_bounded_list(const char *path, va_list ap)
{
    bounded_vector args(path, ap);
    return fork_execv_report(path, args.argv, 0);
}

// Builds "<directory><subdirectory>/<name>" into path; a path that does
// not fit is refused (reported) rather than cut.
bool build_utility_path(char (&path)[k_utility_path_bytes], const char *directory,
                        const char *subdirectory, const char *name)
{
    if (std::snprintf(path, sizeof path, "%s%s/%s", directory, subdirectory, name) >=
        static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        print_error(0, "%s%s/%s: Buffer too short", directory, subdirectory, name);
        return false;
    }
    return true;
}

// "<PRODUCT_ROOT_D>/admin/bin/<name>"; a name with a directory part is refused.
bool admin_utility_path(const char *name, char (&path)[k_utility_path_bytes])
{
    if (std::strchr(name, '/') != nullptr) {
        errno = 0;
        print_error(0, "Utility name '%s' is invalid. Use only utility name without path.", name);
        return false;
    }
    return build_utility_path(path, conf_get(PRODUCT_ROOT_D), "/admin/bin", name);
}

// "<HCP_LIBEXEC_D>/<name>", whatever the name holds.
bool libexec_program_path(const char *name, char (&path)[k_utility_path_bytes])
{
    return build_utility_path(path, HCP_LIBEXEC_D, "", name);
}

// The reporting runner of a utility's bounded list form, its path built by
// build_path, which reports a refusal: then -1 and nothing is run.
int report_utility_list(bool (*build_path)(const char *, char (&)[k_utility_path_bytes]),
                        const char *name, va_list ap)
{
    char path[k_utility_path_bytes];
    if (!build_path(name, path))
        return -1;
    return report_bounded_list(path, ap);
}

} // namespace

extern "C" {

pid_t fork_execv_pipes(int fd_in, int fd_out, int fd_err, const char *path, char *const argv[])
{
    hcp::program_path program(path);
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        print_error(1, "fork_execv_pipes: fork() failed");
    if (pid > 0)
        return pid;

    const int sources[3] = {fd_in, fd_out, fd_err};
    if (hcp::connect_standard_descriptors(sources) != 0) {
        hcp::child_write(2, {"fork_execv: dup() failed: ", hcp::child_error_text(errno), "\n"});
        ::_exit(k_exec_failed_status);
    }
    hcp::close_descriptors_from(3);
    hcp::exec_program(program, argv);
    hcp::child_write(
        2, {"fork_execv: execv(\"", path, "\") failed: ", hcp::child_error_text(errno), "\n"});
    ::_exit(k_exec_failed_status);
}

int fork_execv_getouterr(char **out, char **err, const char *path, char *const argv[])
{
    return capture_child(out, err, path, argv);
}

int fork_execv_getout(char **out, const char *path, char *const argv[])
{
    return capture_child(out, nullptr, path, argv);
}

int fork_execl_getouterr(char **out, char **err, const char *path, const char *arg0, ...)
{
    va_list ap;
    va_start(ap, arg0);
    hcp::unique_malloc<char *> argv(vector_from_list(arg0, ap));
    va_end(ap);
    return fork_execv_getouterr(out, err, path, argv.get());
}

int fork_execl_getout(char **out, const char *path, const char *arg0, ...)
{
    va_list ap;
    va_start(ap, arg0);
    hcp::unique_malloc<char *> argv(vector_from_list(arg0, ap));
    va_end(ap);
    return fork_execv_getout(out, path, argv.get());
}

pid_t fork_execl_pipes(int fd_in, int fd_out, int fd_err, const char *path, const char *arg0, ...)
{
    va_list ap;
    va_start(ap, arg0);
    hcp::unique_malloc<char *> argv(vector_from_list(arg0, ap));
    va_end(ap);
    return fork_execv_pipes(fd_in, fd_out, fd_err, path, argv.get());
}

int fork_execv_report(const char *path, char *const argv[], int quiet)
{
    char *out_text = nullptr;
    char *err_text = nullptr;
    int result = fork_execv_getouterr(&out_text, &err_text, path, argv);
    hcp::unique_malloc<char> out(out_text), err(err_text);
    if (result != 0 && !quiet)
        report_failure(path, out.get(), err.get());
    return result;
}

int fork_execl_report(const char *path, ...)
{
    va_list ap;
    va_start(ap, path);
    int result = report_bounded_list(path, ap);
    va_end(ap);
    return result;
}

int fork_execl0_report(const char *path, const char *arg0, ...)
{
    va_list ap;
    va_start(ap, arg0);
    hcp::unique_malloc<char *> argv(vector_from_list(arg0, ap));
    va_end(ap);
    return fork_execv_report(path, argv.get(), 0);
}

int util_execv_admin(const char *name, char *const argv[])
{
    char path[k_utility_path_bytes];
    if (!admin_utility_path(name, path))
        return -1;
    return fork_execv_report(path, argv, 0);
}

int util_execl_admin(const char *name, ...)
{
    va_list ap;
    va_start(ap, name);
    int result = report_utility_list(admin_utility_path, name, ap);
    va_end(ap);
    return result;
}

int util_execl_libexec(const char *name, ...)
{
    va_list ap;
    va_start(ap, name);
    int result = report_utility_list(libexec_program_path, name, ap);
    va_end(ap);
    return result;
}

} // extern "C"
