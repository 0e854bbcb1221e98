// The one child-process core: where a program run by path is found, how a
// runner's child is set up between fork and exec, and how a child's output
// is captured. Each runner is a plan for spawn() and, where it captures,
// for capture(); what differs between runners is a field of the plan, not a
// copy of the code. Everything the child calls is async-signal-safe, except
// what a plan's own report does where a runner's contract says so.
#pragma once

#include "util/owners.hpp"

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <span>
#include <sys/types.h>

namespace hcp
{

// Capture buffers grow by this much at a time.
constexpr size_t k_capture_step_bytes = 4096;
// A capture that stops with its child looks at least this often whether the
// child has ended, data flowing or not: the grace after the child's end.
constexpr int k_capture_grace_seconds = 1;
// How the runners' children end when they cannot run their program.
constexpr int k_exec_failed_status = 255;
// The bounded list forms pass argument zero and at most this many more.
constexpr int k_bounded_arguments = 99;
// Every child that a run waits for while it holds the panel's lock gets at
// most this long before its process group is killed.
constexpr int k_child_wait_seconds = 60;

// A moment on the monotonic clock, which setting the system time does not
// move; the default one never comes. Waits against it poll rather than arm
// an alarm, so whatever the caller left of SIGALRM does not matter.
class deadline
{
  public:
    deadline() = default;
    // The moment `seconds` from now.
    static deadline after_seconds(int seconds);
    // False for the deadline that never comes.
    bool is_set() const { return set_; }
    // Milliseconds left, rounded up, 0 once it has come; -1 when it never
    // comes (as poll() takes a timeout).
    int remaining_ms() const;
    // The same in whole seconds, rounded up.
    int remaining_seconds() const;
    // The earlier of the two; one that never comes is never the earlier.
    static deadline earlier(const deadline &a, const deadline &b);

  private:
    timespec at_ = {};
    bool set_ = false;
};

// Makes every bounded child wait of the process, from now on, end within
// `seconds` from now at the latest, whatever bound each is given: a process
// that holds a lock others wait for holds it for the children it waits for
// at most that long in all. end_shared_child_bound() lifts it.
void share_child_bound(int seconds);
void end_shared_child_bound();
// The bound of a child wait that may take `seconds`: the earlier of that
// and the shared bound.
deadline child_deadline(int seconds);

// Kills the process group of the bounded child being waited for now, if
// there is one (a plan with ends_with_caller, until it is reaped).
// Async-signal-safe: for a handler that is about to end the process, so
// that nothing of what it waited for outlives it.
void kill_waited_group();

// The file a program named by its logical path is executed from: beneath
// HCP_SYSROOT, except the base-system programs, which are the host's own.
// Resolved in the parent; the child only reads it.
class program_path
{
  public:
    explicit program_path(const char *logical);
    // The path to execute, or nullptr (then error() says why).
    const char *get() const { return error_ == 0 ? buffer_ : nullptr; }
    int error() const { return error_; }

  private:
    char buffer_[PATH_MAX + 1];
    int error_ = 0;
};

// The steps of a child before its program runs, in the order it takes them.
enum class child_step { directory, session, connect_stdin, connect_stdout, connect_stderr, exec };

// Exit statuses a plan can give instead of a number.
constexpr int k_exit_with_error = -1; // the error number itself
constexpr int k_carry_on = -2;        // no exit: a connection that failed is left as it is

// How one runner's child is set up. Every text it names is prepared in the
// parent; the defaults are a child that inherits everything and execv()s.
struct child_plan {
    const char *path;    // the logical path, for reports
    char *const *argv;   // argument vector, argv[0] as the program sees it
    const char *program; // the file executed, or nullptr with the reason below
    int program_error = 0;
    // Sources of descriptors 0, 1 and 2: the target's own number leaves it
    // inherited, -1 means "/dev/null" (read and write), any other is
    // duplicated onto the target.
    int sources[3] = {0, 1, 2};
    bool close_inherited = false;         // close every descriptor above 2
    const char *directory = nullptr;      // changed into first, when given
    const char *directory_name = nullptr; // its logical name, for reports
    bool new_session = false;             // setsid()
    // Its group is what kill_waited_group() kills until it is reaped; only
    // with new_session.
    bool ends_with_caller = false;
    bool search_path = false; // execvp(): a script without "#!" runs under sh
    // The write end of a close-on-exec pipe, kept by close_inherited: a step
    // that fails writes its errno there (an int), so the parent tells "could
    // not run" from any exit status; a program that runs closes it unwritten.
    int status_fd = -1;
    // Exit status of the child when a step fails.
    int directory_failed = 1;
    int session_failed = 3;
    int connect_failed[3] = {k_exec_failed_status, k_exec_failed_status, k_exec_failed_status};
    int exec_failed = k_exec_failed_status;
    // The child's complaint, written before it exits (errno holds error too).
    void (*report)(const child_plan &plan, child_step step, int error) = nullptr;

    void connect(int in, int out, int err)
    {
        sources[0] = in;
        sources[1] = out;
        sources[2] = err;
    }

    child_plan(const char *logical_path, char *const *arguments, const program_path &file)
        : path(logical_path), argv(arguments), program(file.get()), program_error(file.error())
    {
    }
    child_plan(const char *logical_path, char *const *arguments, const char *file)
        : path(logical_path), argv(arguments), program(file)
    {
    }
};

// Flushes stdio, forks and sets up the child by plan. Every signal is held
// off around the fork, and the child puts each one the caller catches or
// ignores back at its default action before it unblocks them: a handler of
// the caller never runs in the child, and its program starts with every
// signal at its default, the caller's mask kept. The parent gets the child's
// id, or -1 with errno when fork() fails; the child never returns.
pid_t spawn(const child_plan &plan);

// A pipe whose ends lie above 2 and are inherited by no program run from
// here: the child connects the one it needs by dup2(), which clears the
// flag. 0; -1 with errno when the pipe cannot be had; -2 when the read end
// cannot be made non-blocking (asked for by nonblocking_read), the ends
// being kept all the same.
int open_child_pipe(unique_fd &read_end, unique_fd &write_end, bool nonblocking_read);

// Reads, resuming after an interrupted read.
ssize_t read_retrying(int fd, char *buffer, size_t size);

// Waits for one child, resuming after an interrupted wait; a child reaped
// is no longer kill_waited_group()'s.
pid_t wait_child(pid_t pid, int *status, int options);

// How a runner captures its child's output; the differences between the
// runners' contracts.
struct capture_plan {
    // Reads every stream to its end and only then waits: a daemon that holds
    // a pipe holds the capture. Otherwise the capture stops with the child.
    bool reads_to_end = false;
    // At a poll() failure other than an interruption: true leaves the
    // capture and waits for the child; false looks at the child (reading to
    // the end, polls again).
    bool leave_on_poll_failure = false;
    // Once the child has ended, and before it is reaped, its process group
    // is killed: nothing it left running in its group outlives it. Only for
    // a child that leads its group, and not with single_wait_call.
    bool ends_group = false;
    // Options of the blocking wait when the pipes reached their end first.
    int wait_options = 0;
    // That wait is one waitpid() call, which a signal may cut short, where
    // there is no deadline; otherwise it resumes.
    bool single_wait_call = false;
    // Reports that a capture text cannot grow (and may end the process).
    void (*out_of_memory)(int error) = nullptr;
    // Says that a stream could not be read.
    void (*read_failed)(int error) = nullptr;
};

// One captured stream of a child: the read end of its pipe and the text
// gathered so far. The text stays absent until the stream is first read.
struct capture_stream {
    unique_fd fd;
    unique_malloc<char> text;
    size_t length = 0;
    size_t capacity = 0;
    // At most this much is kept; the rest is read and thrown away, so that
    // the child never blocks on a full pipe.
    size_t keep_bytes = SIZE_MAX;
    // A whole step is kept free before every read, which asks for a step;
    // otherwise the text grows only when full and a read takes what fits.
    bool whole_step_reads = false;
    // Why the stream was closed before its end: the errno of a read that
    // failed, or of a text that could not grow.
    int read_error = 0;
    int grow_error = 0;

    bool is_open() const { return static_cast<bool>(fd); }
    // Room for the next read, and for the terminator after the last one.
    void reserve(const capture_plan &plan);
    // One read of what the pipe holds now; the bytes taken from the pipe,
    // kept or not (0 at its end, on a failure and when it would block).
    size_t read_chunk(const capture_plan &plan);
    // What the pipe still holds once the child has been reaped.
    void drain(const capture_plan &plan);
    // Hands the text to the caller, terminated; nullptr if never read.
    char *hand_over();
};

// How the wait for a captured child ended: waitpid()'s result, the status
// and, when it failed, its errno; timed_out when the deadline came first.
struct capture_end {
    pid_t waited = -1;
    int status = 0;
    int wait_error = 0;
    bool timed_out = false;
};

// Reads at most two streams as poll() finds them readable. Unless the plan
// reads to the end, the child is looked at without waiting at least every
// k_capture_grace_seconds, data flowing or not; once it has ended, what the
// pipes hold is drained and the capture stops, even if a daemon it started
// holds them and writes on. Waits for the child if the pipes end first.
// When the deadline comes first the child's group and the child are killed
// and it is reaped; what was read until then is kept. Every read end is
// closed on return.
capture_end capture(pid_t pid, std::span<capture_stream> streams, const capture_plan &plan,
                    const deadline &limit = deadline());

// Argument vector of a list form, argument zero first, in memory the caller
// frees. Without memory for it, out_of_memory reports that and ends the
// process.
char **vector_from_list(const char *arg0, va_list ap, void (*out_of_memory)(int error));

// The fixed vector of the bounded list forms: argument zero, then at most 99
// arguments; the rest are ignored.
struct bounded_vector {
    char *argv[1 + k_bounded_arguments + 1];
    bounded_vector(const char *arg0, va_list ap);
};

// Child side: the text of an error number without touching the locale.
const char *child_error_text(int error);

// Child side: writes the pieces, in order, to descriptor fd, in one write
// where they fit in PIPE_BUF.
void child_write(int fd, std::initializer_list<const char *> pieces);

} // namespace hcp
