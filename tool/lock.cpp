// One run at a time changes webmail state. The lock is flock(2) on a file of
// its own in /var/run, which Apache never reads: the kernel drops it when its
// holder exits, however the run ends, so a crashed run cannot leave it taken.
#include "lanternctl.h"

#include "hcp_util.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

volatile sig_atomic_t waited_long_enough = 0;

// Ends the wait in flock: the call returns EINTR.
extern "C" void wake_up(int)
{
    waited_long_enough = 1;
}

} // namespace

extern "C" {

int lock_webmail_state(void)
{
    int fd = sysroot_open(STATE_LOCK_PATH, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0; // kept until the process exits

    // Taken: wait in the kernel, until an alarm ends the wait.
    struct sigaction wake = {}, old = {};
    wake.sa_handler = wake_up;
    sigemptyset(&wake.sa_mask);
    ::sigaction(SIGALRM, &wake, &old);
    ::alarm(STATE_LOCK_WAIT_SECONDS);
    int rc;
    do
        rc = ::flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR && !waited_long_enough);
    int error = errno;
    ::alarm(0);
    ::sigaction(SIGALRM, &old, nullptr);
    if (rc == 0)
        return 0;
    ::close(fd);
    errno = waited_long_enough ? ETIMEDOUT : error;
    return -1;
}

} // extern "C"
