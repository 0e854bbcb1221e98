// Web-server discovery: find the Apache executable, run it with "-V" and read
// its version and module magic number from what it prints.
#include "hcp_conf.h"
#include "hcp_util.h"
#include "child.hpp"
#include "owners.hpp"
#include "text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using hcp::k_capture_step_bytes;
constexpr size_t k_module_magic_chars = 8;
// What is kept of a bounded "-V": the version lines come first, and the rest
// is read and thrown away, so that one that writes on neither fills memory
// nor blocks.
constexpr size_t k_version_output_bytes = 64 * 1024;

constexpr int k_child_stdin_failed = 240;
constexpr int k_child_stdout_failed = 241;
constexpr int k_child_exec_failed = 242;

constexpr std::string_view k_version_prefix = "Server version: ";
constexpr std::string_view k_magic_prefix = "Server's Module Magic Number: ";

const char k_trace_block[] = "<IfModule mod_rewrite.c>\n"
                             "\tRewriteEngine On\n"
                             "\tRewriteCond %{REQUEST_METHOD} ^TRACE\n"
                             "\tRewriteRule .* - [F]\n"
                             "</IfModule>\n";

// Appends one failure line to the failure text, where one is kept.
void note_failure(char **failure, size_t *failure_free, const char *format, ...) HCP_PRINTF(3, 4);
void note_failure(char **failure, size_t *failure_free, const char *format, ...)
{
    if (failure == nullptr)
        return;
    char line[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    strbuf_append(failure, failure_free, line);
}

int open_dev_null()
{
    int fd;
    do
        fd = ::open("/dev/null", O_RDONLY);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// run_and_capture's reading: to the end of the pipe, a whole step free in
// the caller's buffer before each read, one waitpid() at the end.
const hcp::capture_plan k_to_the_end = {.reads_to_end = true, .single_wait_call = true};
// The bounded "-V" stops soon after its child's end, as the runners do.
const hcp::capture_plan k_until_its_end = {};

// Starts argv[0], beneath the root, with stdin on /dev/null, stdout into a
// pipe whose read end is left in read_end and stderr inherited; a child
// that cannot connect or run exits 240, 241 or 242. A bounded child leads a
// session of its own, whose group is killed at the deadline or when a
// signal ends the caller. The child's id; -1 after noting the failure.
pid_t start_child(char *const argv[], bool bounded, hcp::unique_fd &read_end, char **failure,
                  size_t *failure_free)
{
    hcp::unique_fd null_in(open_dev_null());
    if (!null_in) {
        note_failure(failure, failure_free, "open(\"/dev/null\") failed: %s\n",
                     std::strerror(errno));
        return -1;
    }
    hcp::unique_fd write_end;
    if (hcp::open_child_pipe(read_end, write_end, false) != 0) {
        note_failure(failure, failure_free, "pipe() failed: %s\n", std::strerror(errno));
        return -1;
    }
    hcp::unique_malloc<char> program(sysroot_path(argv[0]));
    hcp::child_plan plan(argv[0], argv, program.get());
    plan.connect(null_in.get(), write_end.get(), 2);
    plan.close_inherited = true;
    plan.connect_failed[0] = k_child_stdin_failed;
    plan.connect_failed[1] = k_child_stdout_failed;
    plan.exec_failed = k_child_exec_failed;
    plan.new_session = bounded;
    plan.ends_with_caller = bounded;
    plan.session_failed = k_child_exec_failed;
    pid_t pid = hcp::spawn(plan);
    if (pid < 0)
        note_failure(failure, failure_free, "fork() failed: %s\n", std::strerror(errno));
    return pid;
}

// One bounded run of "<candidate> -V" into output: 0 with the wait status
// (*timed_out when the deadline killed it), or -1 with errno.
int query_version(char *const argv[], const hcp::deadline &limit, hcp::capture_stream &output,
                  int *status, bool *timed_out)
{
    output.keep_bytes = k_version_output_bytes;
    pid_t pid = start_child(argv, true, output.fd, nullptr, nullptr);
    if (pid < 0)
        return -1;
    hcp::capture_end end = hcp::capture(pid, {&output, 1}, k_until_its_end, limit);
    *timed_out = end.timed_out;
    // Failed as run_and_capture() fails: the candidate is passed over.
    int error = output.grow_error != 0 ? output.grow_error : output.read_error;
    if (error != 0 || end.waited != pid) {
        errno = error != 0 ? error : end.wait_error;
        return -1;
    }
    *status = end.status;
    return 0;
}

// Runs the candidate with "-V" into *output (freed first); re-runs once after
// a signal, but not after the kill at the deadline, which both runs share:
// the query takes at most k_child_wait_seconds. Returns 0 with the wait
// status, or -1 when it could not be run.
int run_version_query(const char *candidate, char **output, size_t *size, int *status)
{
    char *argv[] = {const_cast<char *>(candidate), const_cast<char *>("-V"), nullptr};
    hcp::deadline limit = hcp::child_deadline(hcp::k_child_wait_seconds);
    hcp::capture_stream first, again;
    hcp::capture_stream *kept = &first;
    bool timed_out = false;
    int rc = query_version(argv, limit, first, status, &timed_out);
    if (rc == 0 && WIFSIGNALED(*status) && !timed_out) {
        kept = &again;
        rc = query_version(argv, limit, again, status, &timed_out);
    }
    std::free(*output);
    *size = kept->length;
    *output = kept->hand_over();
    return rc;
}

std::string_view line_at(std::string_view text, size_t start)
{
    size_t end = text.find('\n', start);
    return hcp::slice(text, start,
                      end == std::string_view::npos ? std::string_view::npos : end - start);
}

struct version_info {
    bool version_seen = false;
    bool magic_seen = false;
    bool version_has_slash = false;
    std::string_view version; // from after the '/' to the end of its line
    std::string_view magic;   // the rest of the magic line
};

// The first version line and the first magic line, wherever they stand.
version_info scan_version_output(std::string_view text)
{
    version_info info;
    for (size_t start = 0; start < text.size() && !(info.version_seen && info.magic_seen);) {
        std::string_view line = line_at(text, start);
        if (!info.version_seen && hcp::starts_with(line, k_version_prefix)) {
            info.version_seen = true;
            size_t slash = text.find('/', start);
            if (slash != std::string_view::npos) {
                info.version_has_slash = true;
                info.version = line_at(text, slash + 1);
            }
        } else if (!info.magic_seen && hcp::starts_with(line, k_magic_prefix)) {
            info.magic_seen = true;
            info.magic = hcp::slice(line, k_magic_prefix.size());
        }
        start += line.size() + 1;
    }
    return info;
}

int version_code_of(std::string_view version)
{
    if (version.size() < 3 || version[0] != '2')
        return 0;
    if (version[2] == '0')
        return 20;
    if (version[2] == '2')
        return 22;
    return 0;
}

int patch_level_of(std::string_view version)
{
    int level = 0;
    for (size_t i = 4; i < version.size() && version[i] >= '0' && version[i] <= '9'; i++) {
        if (level > (__INT_MAX__ - 9) / 10)
            break; // more digits than an int holds: keep what fits
        level = level * 10 + (version[i] - '0');
    }
    return level;
}

} // namespace

extern "C" {

int run_and_capture(char **buffer, size_t *size, int *wait_status, char *const argv[],
                    char **failure, size_t *failure_free)
{
    hcp::capture_stream output;
    pid_t pid = start_child(argv, false, output.fd, failure, failure_free);
    if (pid < 0)
        return -1;
    int read_fd = output.fd.get();
    // A buffer smaller than one step is grown from nothing, to one step.
    output.capacity = *buffer != nullptr && *size >= k_capture_step_bytes ? *size : 0;
    output.text.reset(*buffer);
    output.whole_step_reads = true;
    hcp::capture_end end = hcp::capture(pid, {&output, 1}, k_to_the_end);
    if (output.grow_error != 0) {
        note_failure(failure, failure_free, "realloc(buf, %zd) failed: %s\n",
                     ssize_t(output.capacity + k_capture_step_bytes),
                     std::strerror(output.grow_error));
        if (output.capacity != 0)
            *size = output.capacity;
        *buffer = output.text.release();
        return -1;
    }
    *size = output.length;
    *buffer = output.hand_over();
    if (output.read_error != 0) {
        note_failure(failure, failure_free, "read(%d, buf, %zd) failed: %s\n", read_fd,
                     ssize_t(k_capture_step_bytes), std::strerror(output.read_error));
        return -1;
    }
    if (end.waited != pid) {
        note_failure(failure, failure_free, "waitpid(%d, &status, 0) failed: %s\n", int(pid),
                     std::strerror(end.wait_error));
        return -1;
    }
    *wait_status = end.status;
    return 0;
}

void get_apache_path(char **module_magic, int *version_code, int *patch_level)
{
    *module_magic = nullptr;
    *version_code = 0;
    *patch_level = 0;

    char *bundled = alloc_printf("%s/apache/bin/httpd", conf_get(PRODUCT_ROOT_D));
    const char *const candidates[] = {
        bundled,           "/usr/sbin/httpd2", "/usr/sbin/apache2",     "/usr/sbin/httpd2-prefork",
        "/usr/sbin/httpd", "/usr/sbin/apache", "/usr/local/sbin/httpd",
    };

    char *output = nullptr;
    size_t size = 0;
    bool found = false;
    for (const char *candidate : candidates) {
        struct stat st;
        if (sysroot_stat(candidate, &st) != 0 ||
            (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
            errno = 0;
            continue;
        }
        int status = 0;
        if (run_version_query(candidate, &output, &size, &status) != 0)
            continue;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::free(output);
            errno = 0;
            print_error(1, "get_apache_path: '%s -V' failed", candidate);
        }
        found = true;
        break;
    }
    std::free(bundled);
    if (!found) {
        // errno is 0 when the last candidate was missing; when it was there
        // but could not be run, the report says why.
        int saved_errno = errno;
        std::free(output);
        errno = saved_errno;
        print_error(1, "get_apache_path: apache executable not found");
    }

    version_info info =
        scan_version_output(std::string_view(output != nullptr ? output : "", size));
    if (info.version_seen && !info.version_has_slash) {
        std::free(output);
        errno = 0;
        print_error(1, "get_apache_path: Badly formatted Apache version");
    }
    int code = 0;
    if (info.version_seen && info.magic_seen) {
        char *magic = static_cast<char *>(std::malloc(k_module_magic_chars + 1));
        if (magic == nullptr) {
            std::free(output);
            print_error(1, "moraine: Cannot allocate memory");
        }
        size_t n = std::min(info.magic.size(), k_module_magic_chars);
        std::memcpy(magic, info.magic.data(), n);
        magic[n] = '\0';
        *module_magic = magic;
        code = version_code_of(info.version);
    }
    if (*module_magic == nullptr || code == 0) {
        std::free(*module_magic);
        *module_magic = nullptr;
        std::free(output);
        errno = 0;
        print_error(1, "get_apache_path: Apache version info not found");
    }
    *version_code = code;
    *patch_level = patch_level_of(info.version);
    std::free(output);
}

const char *pci_compliance_directive(int version_code, int patch_level)
{
    return version_code == 20 && patch_level <= 54 ? k_trace_block : "";
}

} // extern "C"
