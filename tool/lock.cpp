// One run at a time changes webmail state. The lock is flock(2) on a
// read-only descriptor of the panel's password file: every operator who may
// change state can open it, and no other local user can, so nobody else can
// take the lock or hold a run up, and no file has to be created for it.
// flock(2) belongs to the open file description, so the database code's own
// opening and closing of the same file leaves it held; the kernel drops it
// when its holder exits, so a crashed run cannot leave it taken. A file
// replaced while a run waited is no longer the lock the next run takes: the
// run then locks the file now at the path, as pw_lock(3) does.
#include "lanternctl.h"

#include "hcp_db.h"
#include "hcp_util.h"
#include "pending.hpp"
#include "util/child.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

static_assert(std::string_view(STATE_LOCK_PATH) == HCP_DB_PASSWORD_FILE);
static_assert(STATE_LOCK_CHILD_SECONDS == hcp::k_child_wait_seconds);
// A waiting run outlasts a holder within its bound, and the holder's own work.
static_assert(STATE_LOCK_WAIT_SECONDS >= STATE_LOCK_CHILD_SECONDS + 30);

namespace
{

// Between two tries; the last pause is cut to what is left of the wait, so
// the last try falls on its bound.
constexpr int k_pause_ms = STATE_LOCK_POLL_MS;

int lock_fd = -1;

// A test bench shortens the bound to test what a run does when it runs out;
// a run that is not beneath a test root never hears of it.
int child_bound_seconds()
{
    const char *root = std::getenv("HCP_SYSROOT");
    const char *asked = std::getenv("LANTERNCTL_TEST_CHILD_SECONDS");
    if (root == nullptr || root[0] == '\0' || asked == nullptr)
        return STATE_LOCK_CHILD_SECONDS;
    char *end = nullptr;
    long seconds = std::strtol(asked, &end, 10);
    return *end == '\0' && seconds > 0 && seconds < STATE_LOCK_CHILD_SECONDS
               ? int(seconds)
               : STATE_LOCK_CHILD_SECONDS;
}

// Whether the locked descriptor is still the file at the path: one renamed
// over or removed since it was opened has a lock nobody else will ask for.
bool is_file_at_path(int fd, struct stat &held)
{
    struct stat named;
    return ::fstat(fd, &held) == 0 && held.st_nlink != 0 &&
           sysroot_stat(STATE_LOCK_PATH, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

} // namespace

extern "C" {

// Polls rather than blocking in flock(2) under an alarm: the bound then holds
// whatever the caller left of SIGALRM (blocked or ignored across exec).
int lock_webmail_state(void)
{
    hcp::deadline limit = hcp::deadline::after_seconds(STATE_LOCK_WAIT_SECONDS);
    int fd = -1;
    for (;;) {
        if (fd < 0 && (fd = sysroot_open(STATE_LOCK_PATH, O_RDONLY | O_CLOEXEC, 0)) < 0)
            return -1;
        bool replaced = false;
        struct stat held;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (is_file_at_path(fd, held)) {
                lock_fd = fd;
                // Whatever the run waits for under the lock ends within one
                // bound in all, which the waiting of the next run covers; a
                // signal that ends the run meanwhile takes it along.
                hcp::share_child_bound(state_child_bound_seconds());
                lanternctl::install_cleanup_handlers();
                // Anyone who can open it can hold every run up, and read the
                // database password besides.
                static bool warned = false;
                if ((held.st_mode & S_IRWXO) != 0 && !warned && (warned = true))
                    log_printf(LOG_WARNING,
                               "Password file %s is open to every user: any local user can read "
                               "the database password and hold this tool's runs up\n",
                               STATE_LOCK_PATH);
                return 0;
            }
            ::close(fd);
            fd = -1;
            replaced = true;
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        int left_ms = limit.remaining_ms();
        if (left_ms == 0) {
            if (fd >= 0)
                ::close(fd);
            errno = ETIMEDOUT;
            return -1;
        }
        if (replaced)
            continue; // the new file at once
        int pause_ms = left_ms < k_pause_ms ? left_ms : k_pause_ms;
        timespec pause = {0, pause_ms * 1'000'000L};
        ::nanosleep(&pause, nullptr); // cut short by a signal: the loop tries again
    }
}

void unlock_webmail_state(void)
{
    // Let go before the close: a run that takes the lock again must never
    // wait for itself, whatever became of the descriptor.
    if (lock_fd >= 0) {
        ::flock(lock_fd, LOCK_UN);
        ::close(lock_fd);
    }
    lock_fd = -1;
    hcp::end_shared_child_bound();
}

int take_webmail_state_lock(void)
{
    if (lock_webmail_state() == 0)
        return 0;
    const char *why = std::strerror(errno);
    char wait[64];
    if (errno == ETIMEDOUT) {
        std::snprintf(wait, sizeof wait, "still taken after waiting %d seconds",
                      STATE_LOCK_WAIT_SECONDS);
        why = wait;
    }
    log_printf(LOG_ERR, "Unable to lock %s: %s\n", STATE_LOCK_PATH, why);
    std::printf("Unable to lock %s: %s\n", STATE_LOCK_PATH, why);
    return -1;
}

int state_child_bound_seconds(void)
{
    static const int seconds = child_bound_seconds();
    return seconds;
}

} // extern "C"
