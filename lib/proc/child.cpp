// The child side of every runner, and the one rule for where a program run
// by path is found.
#include "proc/child.hpp"

#include "hcp_util.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The host's own tools, never taken from beneath the file-system root.
constexpr std::array<std::string_view, 4> k_base_system_programs = {"/bin/ps", "/usr/bin/grep",
                                                                    "/usr/bin/awk", "/bin/kill"};

bool is_base_system_program(std::string_view path)
{
    for (std::string_view base : k_base_system_programs)
        if (path == base)
            return true;
    return false;
}

void write_whole(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        length -= size_t(n);
    }
}

} // namespace

namespace hcp
{

program_path::program_path(const char *logical)
{
    if (is_base_system_program(logical)) {
        if (std::strlen(logical) >= sizeof buffer_) {
            error_ = ENAMETOOLONG;
            return;
        }
        std::strcpy(buffer_, logical);
        return;
    }
    if (sysroot_resolve(logical, buffer_, sizeof buffer_) != 0)
        error_ = errno;
}

void exec_program(const program_path &program, char *const argv[])
{
    if (program.get() == nullptr) {
        errno = program.error();
        return;
    }
    errno = 0;
    execv(program.get(), argv);
}

int connect_standard_descriptors(const int sources[3])
{
    int from[3] = {sources[0], sources[1], sources[2]};
    // Descriptors opened here only to be copied; the program must not keep them.
    int scratch[4] = {-1, -1, -1, -1};
    int scratch_count = 0;
    int null_fd = -1;
    for (int target = 0; target < 3; target++) {
        if (from[target] != -1)
            continue;
        if (null_fd < 0) {
            if ((null_fd = open("/dev/null", O_RDWR)) < 0)
                return -1;
            scratch[scratch_count++] = null_fd;
        }
        from[target] = null_fd;
    }
    // A source that is itself a standard descriptor could be overwritten by
    // an earlier target (out given as 2 and err as 1): copy it above them.
    for (int target = 0; target < 3; target++) {
        if (from[target] == target || from[target] < 0 || from[target] > 2)
            continue;
        if ((from[target] = fcntl(from[target], F_DUPFD, 3)) < 0)
            return -1;
        scratch[scratch_count++] = from[target];
    }
    for (int target = 0; target < 3; target++)
        if (from[target] != target && dup2(from[target], target) < 0)
            return -1;
    for (int i = 0; i < scratch_count; i++)
        if (scratch[i] > 2)
            close(scratch[i]);
    return 0;
}

void close_descriptors_from(int lowest)
{
    // One call, whatever the size of the table, where the system has one.
#if defined(HCP_HAVE_CLOSE_RANGE)
    // Refused only by a kernel older than the C library (Linux before 5.9).
    if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0)
        return;
#elif defined(HCP_HAVE_CLOSEFROM)
    closefrom(lowest);
    return;
#endif
    for (int fd = getdtablesize() - 1; fd >= lowest; fd--)
        close(fd);
}

const char *child_error_text(int error)
{
#if defined(HCP_HAVE_STRERRORDESC_NP) // glibc's strerror may load locale data
    const char *text = strerrordesc_np(error);
    return text != nullptr ? text : "Unknown error";
#else
    return std::strerror(error);
#endif
}

void child_write(int fd, std::initializer_list<const char *> pieces)
{
    // One write for the whole message: a reader that reports each read as
    // it comes (util_exec) would otherwise cut it into separate reports.
    char message[PIPE_BUF];
    size_t used = 0;
    for (const char *piece : pieces) {
        for (; *piece != '\0'; piece++) {
            if (used == sizeof message) {
                write_whole(fd, message, used);
                used = 0;
            }
            message[used++] = *piece;
        }
    }
    write_whole(fd, message, used);
}

pid_t wait_child(pid_t pid, int *status, int options)
{
    pid_t waited;
    do
        waited = waitpid(pid, status, options);
    while (waited < 0 && errno == EINTR);
    return waited;
}

} // namespace hcp
