// What every runner needs between fork and exec: where the program lives,
// how the standard descriptors are connected, and how a child that cannot
// go on says so. Everything the child calls is async-signal-safe.
#pragma once

#include <climits>
#include <initializer_list>
#include <sys/types.h>

namespace hcp
{

// The file a program named by its logical path is executed from: beneath
// HCP_SYSROOT, except the base-system programs, which are the host's own.
// Resolved in the parent; the child only reads it.
class program_path
{
  public:
    explicit program_path(const char *logical);
    // The path to give execv, or nullptr (then error() says why).
    const char *get() const { return error_ == 0 ? buffer_ : nullptr; }
    int error() const { return error_; }

  private:
    char buffer_[PATH_MAX + 1];
    int error_ = 0;
};

// Child side: execv of the resolved program, or the reason in errno.
void exec_program(const program_path &program, char *const argv[]);

// Child side: connects descriptors 0, 1 and 2 from sources[0..2]. A source
// equal to its target stays inherited, -1 means "/dev/null", any other is
// duplicated onto the target. 0, or -1 with errno.
int connect_standard_descriptors(const int sources[3]);

// Child side: closes every descriptor from lowest up, in one system call
// where there is one; errno may change.
void close_descriptors_from(int lowest);

// Child side: the text of an error number without touching the locale.
const char *child_error_text(int error);

// Child side: writes the pieces, in order, to descriptor fd, in one write
// where they fit in PIPE_BUF.
void child_write(int fd, std::initializer_list<const char *> pieces);

// Waits for one child, resuming after an interrupted wait.
pid_t wait_child(pid_t pid, int *status, int options);

} // namespace hcp
