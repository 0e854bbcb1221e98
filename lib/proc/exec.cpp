// Child-process runners that connect a program's standard descriptors,
// collect what it writes, wait for it and report its failure.
#include "hcp_conf.h"
#include "hcp_proc.h"
#include "hcp_util.h"

#include "util/child.hpp"
#include "util/owners.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>

namespace
{

constexpr size_t k_utility_path_bytes = 4096;

// The child says what stopped it on its standard error, which is the error
// pipe when the error output is captured.
void report_pipes_child(const hcp::child_plan &plan, hcp::child_step step, int error)
{
    if (step == hcp::child_step::exec)
        hcp::child_write(2, {"fork_execv: execv(\"", plan.path,
                             "\") failed: ", hcp::child_error_text(error), "\n"});
    else
        hcp::child_write(2, {"fork_execv: dup() failed: ", hcp::child_error_text(error), "\n"});
}

void report_no_text_memory(int)
{
    print_error(1, "Cannot allocate memory");
}

void report_unreadable_pipe(int error)
{
    std::fprintf(stderr, "fork_exec*: read(pipe) failed: %s\n", std::strerror(error));
    errno = 0;
}

const hcp::capture_plan k_capture = {
    .wait_options = WUNTRACED,
    .out_of_memory = report_no_text_memory,
    .read_failed = report_unreadable_pipe,
};

void report_no_vector_memory(int error)
{
    print_error(1, "malloc() failed: %s", std::strerror(error));
}

// A pipe whose read end the parent keeps, non-blocking.
void open_capture_pipe(hcp::capture_stream &stream, hcp::unique_fd &write_end)
{
    int rc = hcp::open_child_pipe(stream.fd, write_end, true);
    if (rc == -1)
        print_error(1, "fork_execv_getouterr: pipe() failed");
    if (rc == -2)
        print_error(1, "fork_execv_getouterr: fcntl(O_NONBLOCK) failed");
}

// Runs path with its standard output, and its standard error when err is
// given, captured; the other descriptors as inherited.
int capture_child(char **out, char **err, const char *path, char *const argv[])
{
    *out = nullptr;
    if (err != nullptr)
        *err = nullptr;

    hcp::capture_stream streams[2];
    hcp::unique_fd out_write, err_write;
    open_capture_pipe(streams[0], out_write);
    if (err != nullptr)
        open_capture_pipe(streams[1], err_write);

    pid_t pid =
        fork_execv_pipes(0, out_write.get(), err != nullptr ? err_write.get() : 2, path, argv);
    out_write.reset();
    err_write.reset();
    hcp::capture_end end = hcp::capture(pid, streams, k_capture);

    *out = streams[0].hand_over();
    if (err != nullptr)
        *err = streams[1].hand_over();
    return end.waited > 0 && WIFEXITED(end.status) ? WEXITSTATUS(end.status) : -1;
}

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
    hcp::bounded_vector args(path, ap);
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
    hcp::child_plan plan(path, argv, program);
    plan.connect(fd_in, fd_out, fd_err);
    plan.close_inherited = true;
    plan.report = report_pipes_child;
    pid_t pid = hcp::spawn(plan);
    if (pid < 0)
        print_error(1, "fork_execv_pipes: fork() failed");
    return pid;
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
    hcp::unique_malloc<char *> argv(hcp::vector_from_list(arg0, ap, report_no_vector_memory));
    va_end(ap);
    return fork_execv_getouterr(out, err, path, argv.get());
}

int fork_execl_getout(char **out, const char *path, const char *arg0, ...)
{
    va_list ap;
    va_start(ap, arg0);
    hcp::unique_malloc<char *> argv(hcp::vector_from_list(arg0, ap, report_no_vector_memory));
    va_end(ap);
    return fork_execv_getout(out, path, argv.get());
}

pid_t fork_execl_pipes(int fd_in, int fd_out, int fd_err, const char *path, const char *arg0, ...)
{
    va_list ap;
    va_start(ap, arg0);
    hcp::unique_malloc<char *> argv(hcp::vector_from_list(arg0, ap, report_no_vector_memory));
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
    hcp::unique_malloc<char *> argv(hcp::vector_from_list(arg0, ap, report_no_vector_memory));
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
