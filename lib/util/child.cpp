// The one child-process core: the child side of every runner between fork
// and exec, the pipes and the capture of a child's output, and the one rule
// for where a program run by path is found.
#include "util/child.hpp"

#include "hcp_util.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// Pauses between looks at a child that has a deadline: short at first, as
// most children are gone at once, then no more often than this.
constexpr long k_first_pause_ns = 1'000'000;    // 1 ms
constexpr long k_longest_pause_ns = 50'000'000; // 50 ms

// The host's own tools, never taken from beneath the file-system root.
constexpr std::array<std::string_view, 4> k_base_system_programs = {"/bin/ps", "/usr/bin/grep",
                                                                    "/usr/bin/awk", "/bin/kill"};

// The highest signal number: FreeBSD's NSIG counts only the old 31.
#if defined(_SIG_MAXSIG)
constexpr int k_highest_signal = _SIG_MAXSIG;
#else
constexpr int k_highest_signal = NSIG - 1;
#endif

// The bound all bounded child waits share, while one is set.
hcp::deadline shared_bound;

// The bounded child being waited for, whose group a handler about to end the
// process kills; 0 when there is none.
volatile sig_atomic_t waited_group = 0;

void forget_waited(pid_t pid)
{
    if (pid > 0 && waited_group == pid)
        waited_group = 0;
}

// One waitpid(); a child reaped is no longer kill_waited_group()'s.
pid_t wait_once(pid_t pid, int *status, int options)
{
    pid_t waited = ::waitpid(pid, status, options);
    if (waited > 0 && !((options & WUNTRACED) != 0 && WIFSTOPPED(*status)))
        forget_waited(waited);
    return waited;
}

// Kills a child that leads its own process group, and the group: SIGKILL to
// both, in case it left the group. Only before it is reaped, while its id
// (and so the group's) cannot have been given to another process.
void kill_child_group(pid_t pid)
{
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

// Child side: the caller's handlers must not run here, where they would act
// on the caller's state (remove its files) from another process; and what
// the caller ignores, the program must not: with SIGPIPE ignored a writer
// whose reader is gone loops on, with SIGCHLD ignored a shell cannot wait.
void reset_signal_dispositions()
{
    for (int signal_number = 1; signal_number <= k_highest_signal; signal_number++) {
        struct sigaction old;
        if (::sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_DFL)
            continue;
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
}

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

// Connects descriptors 0, 1 and 2 from sources[0..2] by the plan's rule.
// Returns 3 when all are connected, else the number of the target that
// could not be (errno says why); what it opened for itself is closed.
int connect_standard_descriptors(const int sources[3])
{
    int from[3] = {sources[0], sources[1], sources[2]};
    // Descriptors opened here only to be copied; the program must not keep them.
    int scratch[4] = {-1, -1, -1, -1};
    int scratch_count = 0;
    // Ends the connection at target (3: all done), keeping errno.
    auto finish = [&](int target) {
        int error = errno;
        for (int i = 0; i < scratch_count; i++)
            if (scratch[i] > 2)
                ::close(scratch[i]);
        errno = error;
        return target;
    };
    int null_fd = -1;
    for (int target = 0; target < 3; target++) {
        if (from[target] != -1)
            continue;
        if (null_fd < 0) {
            if ((null_fd = ::open("/dev/null", O_RDWR)) < 0)
                return finish(target);
            scratch[scratch_count++] = null_fd;
        }
        from[target] = null_fd;
    }
    // A source that is itself a standard descriptor could be overwritten by
    // an earlier target (out given as 2 and err as 1): copy it above them.
    for (int target = 0; target < 3; target++) {
        if (from[target] == target || from[target] < 0 || from[target] > 2)
            continue;
        if ((from[target] = ::fcntl(from[target], F_DUPFD, 3)) < 0)
            return finish(target);
        scratch[scratch_count++] = from[target];
    }
    for (int target = 0; target < 3; target++) {
        if (from[target] == target)
            continue;
        int rc;
        do
            rc = ::dup2(from[target], target);
        while (rc < 0 && errno == EINTR);
        if (rc < 0)
            return finish(target);
    }
    return finish(3);
}

// Closes every descriptor from lowest up, in one system call where there is one.
void close_descriptors_from(int lowest)
{
#if defined(HCP_HAVE_CLOSE_RANGE)
    // Refused only by a kernel older than the C library (Linux before 5.9).
    if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0)
        return;
#elif defined(HCP_HAVE_CLOSEFROM)
    closefrom(lowest);
    return;
#endif
    for (int fd = getdtablesize() - 1; fd >= lowest; fd--)
        ::close(fd);
}

// The same, sparing keep when it lies in the range.
void close_descriptors_except(int lowest, int keep)
{
    if (keep < lowest) {
        close_descriptors_from(lowest);
        return;
    }
    for (int fd = lowest; fd < keep; fd++) // the few between 3 and a pipe's end
        ::close(fd);
    close_descriptors_from(keep + 1);
}

[[noreturn]] void child_fails(const hcp::child_plan &plan, hcp::child_step step, int status,
                              int error)
{
    if (plan.status_fd >= 0)
        write_whole(plan.status_fd, reinterpret_cast<const char *>(&error), sizeof error);
    errno = error;
    if (plan.report != nullptr)
        plan.report(plan, step, error);
    ::_exit(status == hcp::k_exit_with_error ? error : status);
}

[[noreturn]] void run_child(const hcp::child_plan &plan)
{
    using hcp::child_step;
    if (plan.directory != nullptr && ::chdir(plan.directory) != 0)
        child_fails(plan, child_step::directory, plan.directory_failed, errno);
    if (plan.new_session && ::setsid() < 0)
        child_fails(plan, child_step::session, plan.session_failed, errno);
    // Inherited descriptors go first where nothing to connect lies above the
    // standard three, so that "/dev/null" opens even in a full table.
    bool sources_above_standard = plan.sources[0] > 2 || plan.sources[1] > 2 || plan.sources[2] > 2;
    if (plan.close_inherited && !sources_above_standard)
        close_descriptors_except(3, plan.status_fd);
    int target = connect_standard_descriptors(plan.sources);
    if (target < 3 && plan.connect_failed[target] != hcp::k_carry_on)
        child_fails(plan, child_step(int(child_step::connect_stdin) + target),
                    plan.connect_failed[target], errno);
    if (plan.close_inherited && sources_above_standard)
        close_descriptors_except(3, plan.status_fd);
    int error = plan.program_error;
    if (plan.program != nullptr) {
        errno = 0;
        if (plan.search_path)
            ::execvp(plan.program, plan.argv);
        else
            ::execv(plan.program, plan.argv);
        error = errno;
    }
    child_fails(plan, child_step::exec, plan.exec_failed, error);
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

void share_child_bound(int seconds)
{
    shared_bound = deadline::after_seconds(seconds);
}

void end_shared_child_bound()
{
    shared_bound = deadline();
}

deadline child_deadline(int seconds)
{
    return deadline::earlier(deadline::after_seconds(seconds), shared_bound);
}

void kill_waited_group()
{
    pid_t pid = waited_group;
    if (pid > 0)
        kill_child_group(pid);
}

pid_t spawn(const child_plan &plan)
{
    std::fflush(nullptr);
    sigset_t all, old;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &old);
    pid_t pid;
    do
        pid = ::fork();
    while (pid < 0 && errno == EINTR);
    if (pid == 0) {
        reset_signal_dispositions();
        ::sigprocmask(SIG_SETMASK, &old, nullptr);
        run_child(plan);
    }
    int error = errno;
    // Published before any signal can come: a handler that ends the caller
    // takes the child along from its first moment.
    if (pid > 0 && plan.ends_with_caller)
        waited_group = pid;
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return pid;
}

int open_child_pipe(unique_fd &read_end, unique_fd &write_end, bool nonblocking_read)
{
    int ends[2];
    int rc;
    do
        rc = ::pipe(ends);
    while (rc < 0 && errno == EINTR);
    if (rc != 0)
        return -1;
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    // Above the standard three (a caller may have closed some), so that no
    // child takes an end for a standard descriptor it inherits.
    for (unique_fd *end : {&read_end, &write_end}) {
        if (end->get() > 2) {
            ::fcntl(end->get(), F_SETFD, FD_CLOEXEC);
            continue;
        }
        int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0)
            return -1;
        end->reset(moved);
    }
    if (!nonblocking_read)
        return 0;
    // The read end as it is now: the pipe's own descriptor may have moved.
    int flags = ::fcntl(read_end.get(), F_GETFL);
    if (flags < 0 || ::fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return -2;
    return 0;
}

ssize_t read_retrying(int fd, char *buffer, size_t size)
{
    ssize_t n;
    do
        n = ::read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

pid_t wait_child(pid_t pid, int *status, int options)
{
    pid_t waited;
    do
        waited = wait_once(pid, status, options);
    while (waited < 0 && errno == EINTR);
    return waited;
}

deadline deadline::after_seconds(int seconds)
{
    deadline d;
    ::clock_gettime(CLOCK_MONOTONIC, &d.at_);
    d.at_.tv_sec += seconds;
    d.set_ = true;
    return d;
}

int deadline::remaining_ms() const
{
    if (!set_)
        return -1;
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    long long left_ns =
        (long long)(at_.tv_sec - now.tv_sec) * 1'000'000'000LL + (at_.tv_nsec - now.tv_nsec);
    if (left_ns <= 0)
        return 0;
    long long left_ms = (left_ns + 999'999) / 1'000'000;
    return left_ms > INT_MAX ? INT_MAX : int(left_ms);
}

int deadline::remaining_seconds() const
{
    int left_ms = remaining_ms();
    return left_ms < 0 ? -1 : left_ms / 1000 + (left_ms % 1000 != 0);
}

deadline deadline::earlier(const deadline &a, const deadline &b)
{
    if (!a.set_ || !b.set_)
        return a.set_ ? a : b;
    bool a_first = a.at_.tv_sec < b.at_.tv_sec ||
                   (a.at_.tv_sec == b.at_.tv_sec && a.at_.tv_nsec <= b.at_.tv_nsec);
    return a_first ? a : b;
}

namespace
{

// wait_child() of a child that leads its process group, which is killed
// once the child has ended: seen ended without being reaped, the child is a
// zombie whose id, the group's, no other process can have been given yet.
pid_t wait_child_ending_group(pid_t pid, int *status, int options)
{
    siginfo_t info = {};
    int seen;
    do
        seen = ::waitid(P_PID, id_t(pid), &info,
                        WEXITED | WNOWAIT | (options & WNOHANG) |
                            ((options & WUNTRACED) != 0 ? WSTOPPED : 0));
    while (seen < 0 && errno == EINTR);
    if (seen == 0 && info.si_pid == 0)
        return 0; // WNOHANG, and it runs
    if (seen == 0 && info.si_code != CLD_STOPPED)
        ::kill(-pid, SIGKILL);
    return wait_child(pid, status, options);
}

// wait_child() until the deadline at most: past it the child's group is
// killed, the child reaped and *timed_out set; *status is then the kill's.
// With ends_group, as wait_child_ending_group() waits.
pid_t wait_child_until(pid_t pid, int *status, int options, const deadline &limit, bool ends_group,
                       bool *timed_out)
{
    auto wait_for = [&](int with) {
        return ends_group ? wait_child_ending_group(pid, status, with)
                          : wait_child(pid, status, with);
    };
    if (!limit.is_set())
        return wait_for(options);
    long pause_ns = k_first_pause_ns;
    for (;;) {
        pid_t waited = wait_for(options | WNOHANG);
        if (waited != 0)
            return waited;
        int left_ms = limit.remaining_ms();
        if (left_ms == 0)
            break;
        // Compared in milliseconds first: the product must not overflow a
        // 32-bit long (FreeBSD's i386 and armv7).
        long pause = left_ms >= pause_ns / 1'000'000 ? pause_ns : long(left_ms) * 1'000'000L;
        timespec nap = {pause / 1'000'000'000L, pause % 1'000'000'000L};
        ::nanosleep(&nap, nullptr); // cut short by a signal: the loop looks again
        pause_ns = std::min(pause_ns * 2, k_longest_pause_ns);
    }
    kill_child_group(pid);
    *timed_out = true;
    return wait_child(pid, status, 0);
}

} // namespace

void capture_stream::reserve(const capture_plan &plan)
{
    if (capacity - length >= (whole_step_reads ? k_capture_step_bytes : 2))
        return;
    void *grown = std::realloc(text.get(), capacity + k_capture_step_bytes);
    if (grown == nullptr) {
        grow_error = errno;
        if (plan.out_of_memory != nullptr)
            plan.out_of_memory(grow_error);
        return;
    }
    (void)text.release(); // moved by realloc
    text.reset(static_cast<char *>(grown));
    capacity += k_capture_step_bytes;
}

size_t capture_stream::read_chunk(const capture_plan &plan)
{
    char discarded[k_capture_step_bytes];
    char *into = discarded;
    size_t room = sizeof discarded;
    bool keeping = length < keep_bytes;
    if (keeping) {
        reserve(plan);
        if (grow_error != 0) { // only if out_of_memory did not end the process
            fd.reset();
            return 0;
        }
        into = text.get() + length;
        room = whole_step_reads ? k_capture_step_bytes : capacity - length - 1;
        room = std::min(room, keep_bytes - length);
    }
    ssize_t n = read_retrying(fd.get(), into, room);
    if (n > 0) {
        if (keeping)
            length += size_t(n);
        return size_t(n);
    }
    if (n == 0) {
        fd.reset();
    } else if (errno != EAGAIN) {
        read_error = errno;
        fd.reset();
        errno = read_error;
        if (plan.read_failed != nullptr)
            plan.read_failed(read_error);
    }
    return 0;
}

void capture_stream::drain(const capture_plan &plan)
{
    // What the pipe already holds was written just before the child's end,
    // and poll may not have seen it yet, so it is read once more. Only
    // what is there is read: a stream that never gave anything stays absent
    // instead of becoming an empty text, and a daemon that keeps writing
    // cannot keep us here.
    int held = 0;
    if (is_open() && ::ioctl(fd.get(), FIONREAD, &held) == 0) {
        for (size_t left = size_t(held); is_open() && left > 0;) {
            size_t n = read_chunk(plan);
            if (n == 0)
                break;
            left -= std::min(n, left);
        }
    }
    fd.reset();
}

char *capture_stream::hand_over()
{
    if (text)
        text.get()[length] = '\0';
    return text.release();
}

capture_end capture(pid_t pid, std::span<capture_stream> streams, const capture_plan &plan,
                    const deadline &limit)
{
    capture_end end;
    bool reaped = false;
    deadline look =
        plan.reads_to_end ? deadline() : deadline::after_seconds(k_capture_grace_seconds);
    for (;;) {
        // Looked at before every poll: a child that writes without pause
        // would never let it time out.
        if (limit.remaining_ms() == 0) {
            kill_child_group(pid);
            end.timed_out = true;
            break;
        }
        pollfd watched[2];
        capture_stream *watched_streams[2];
        nfds_t count = 0;
        for (capture_stream &s : streams) {
            if (s.is_open() && count < 2) {
                watched[count] = {s.fd.get(), POLLIN, 0};
                watched_streams[count++] = &s;
            }
        }
        if (count == 0)
            break;
        int ready = ::poll(watched, count, deadline::earlier(limit, look).remaining_ms());
        int poll_error = errno;
        for (nfds_t i = 0; ready > 0 && i < count; i++)
            if (watched[i].revents != 0)
                watched_streams[i]->read_chunk(plan);
        if (ready < 0 && poll_error != EINTR && plan.leave_on_poll_failure)
            break;
        // Looked at even while data flows: a daemon that the child leaves
        // behind may hold the pipes and write on.
        if (plan.reads_to_end || (ready > 0 && look.remaining_ms() != 0))
            continue;
        end.waited = plan.ends_group ? wait_child_ending_group(pid, &end.status, WNOHANG)
                                     : wait_once(pid, &end.status, WNOHANG);
        if (end.waited == 0) {
            look = deadline::after_seconds(k_capture_grace_seconds);
            continue;
        }
        end.wait_error = errno;
        reaped = true;
        for (capture_stream &s : streams)
            s.drain(plan);
        break;
    }
    for (capture_stream &s : streams)
        s.fd.reset();
    if (end.timed_out) {
        end.waited = wait_child(pid, &end.status, 0);
        end.wait_error = errno;
    } else if (!reaped) {
        end.waited = plan.single_wait_call && !limit.is_set()
                         ? wait_once(pid, &end.status, plan.wait_options)
                         : wait_child_until(pid, &end.status, plan.wait_options, limit,
                                            plan.ends_group, &end.timed_out);
        end.wait_error = errno;
    }
    return end;
}

char **vector_from_list(const char *arg0, va_list ap, void (*out_of_memory)(int error))
{
    va_list counting;
    va_copy(counting, ap);
    size_t count = 1;
    if (arg0 != nullptr)
        while (va_arg(counting, const char *) != nullptr)
            count++;
    va_end(counting);

    auto **argv = static_cast<char **>(std::malloc((count + 1) * sizeof(char *)));
    if (argv == nullptr) {
        out_of_memory(errno);
        return nullptr;
    }
    argv[0] = const_cast<char *>(arg0);
    for (size_t i = 1; i < count; i++)
        argv[i] = va_arg(ap, char *);
    argv[count] = nullptr;
    return argv;
}

bounded_vector::bounded_vector(const char *arg0, va_list ap)
{
    argv[0] = const_cast<char *>(arg0);
    int i = 1;
    for (; i <= k_bounded_arguments; i++)
        if ((argv[i] = va_arg(ap, char *)) == nullptr)
            break;
    argv[i] = nullptr;
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

} // namespace hcp
