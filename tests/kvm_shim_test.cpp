// The process-table walk through the library's kvm layer: how it ends, what
// it reports when the layer fails, and that the handle is closed every time.
#include "harness.hpp"

#include "hcp_proc.h"
#include "proc/kvm_shim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct walk_count {
    int calls = 0;
    int stop_at = 0; // the call that returns 0; 0 never stops
};

int count_calls(const proc_record *, void *context)
{
    auto *count = static_cast<walk_count *>(context);
    return ++count->calls == count->stop_at ? 0 : 1;
}

TEST(KvmWalk, EveryEndClosesTheHandleAndFailuresAreReported)
{
    struct {
        const char *what;
        std::optional<kvm_shim_call> failing;
        int error;
        int stop_at;
        int result;
        std::string report;
    } cases[] = {
        {"to the end of the table", std::nullopt, 0, 0, 1, ""},
        {"stopped by the callback", std::nullopt, 0, 2, 0, ""},
        {"open refused", kvm_shim_call::openfiles, EACCES, 0, -1,
         "unable to open kernel process information table: /proc: Permission denied\n"
         "\nSystem error 13: Permission denied\n"},
        {"list refused", kvm_shim_call::getprocs, ENOMEM, 0, -1,
         "unable to receive kernel process list: kvm_getprocs: Cannot allocate memory\n"
         "\nSystem error 12: Cannot allocate memory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.failing)
            kvm_shim_fail_next(*c.failing, c.error);
        walk_count count;
        count.stop_at = c.stop_at;
        errno = 0;
        hcp_test::start_capture();
        int result = walk_process_table(PROC_WALK_ARGV, count_calls, &count);
        hcp_test::reports r = hcp_test::end_capture();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(r.out, c.report);
        EXPECT_EQ(r.err, c.report);
        EXPECT_EQ(kvm_shim_open_handles(), 0);
        if (c.result == -1)
            EXPECT_EQ(count.calls, 0);
        else if (c.stop_at != 0)
            EXPECT_EQ(count.calls, c.stop_at);
        else
            EXPECT_GT(count.calls, 1);
    }
}

struct argument_search {
    pid_t zombie;
    bool zombie_seen = false;
    bool zombie_has_arguments = true;
    bool self_has_arguments = false;
    pid_t zombie_parent = -1;
};

int look_at_arguments(const proc_record *record, void *context)
{
    auto *search = static_cast<argument_search *>(context);
    if (record->pid == search->zombie) {
        search->zombie_seen = true;
        search->zombie_has_arguments = record->argv != nullptr || record->argv0 != nullptr;
        search->zombie_parent = record->ppid;
    }
    if (record->pid == ::getpid())
        search->self_has_arguments = record->argv != nullptr && record->argv0 != nullptr;
    return 1;
}

TEST(KvmWalk, ProcessWithoutArgumentsHasNoArgumentVector)
{
    // A child that has exited and is not yet reaped has no arguments left,
    // as a kernel thread has none.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(0);
    siginfo_t info;
    ASSERT_EQ(::waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT), 0);

    argument_search search = {child};
    EXPECT_EQ(walk_process_table(PROC_WALK_ARGV, look_at_arguments, &search), 1);
    int status;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(search.zombie_seen);
    EXPECT_FALSE(search.zombie_has_arguments);
    EXPECT_EQ(search.zombie_parent, ::getpid());
    EXPECT_TRUE(search.self_has_arguments);
}

} // namespace
