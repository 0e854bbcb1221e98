// What reaches a program started by each runner that closes the descriptors
// it inherits, with the descriptor table as large as the machine allows.
#include "harness.hpp"

#include "hcp_proc.h"
#include "hcp_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using hcp_test::helper_path;

TEST(ChildDescriptors, OnlyTheStandardOnesReachTheProgramAtTheHardLimit)
{
    ::unsetenv("HCP_SYSROOT");
    ::unsetenv("RC_EXIT");
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit raised = {saved.rlim_max, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    int top = ::getdtablesize() - 1;
    ASSERT_GE(top, 1023);

    // Strays without close-on-exec, low and at the top of the table, and
    // standard input on /dev/null, which fork_execv_getouterr passes on.
    int null_fd = ::open("/dev/null", O_RDWR);
    ASSERT_GE(null_fd, 0);
    ASSERT_EQ(::dup2(null_fd, 9), 9);
    ASSERT_EQ(::dup2(null_fd, top), top);
    int saved_stdin = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ASSERT_EQ(::dup2(null_fd, 0), 0);

    std::string child_fds = helper_path("child_fds");
    char *argv[] = {child_fds.data(), nullptr};

    char *out = nullptr;
    char *err = nullptr;
    EXPECT_EQ(fork_execv_getouterr(&out, &err, child_fds.c_str(), argv), 0);
    EXPECT_STREQ(out, "open: 0 1 2\nstdin:\n");
    EXPECT_STREQ(err, "ready\n");
    std::free(out);
    std::free(err);

    char *buffer = nullptr;
    size_t size = 0;
    int status = -1;
    char *failure = nullptr;
    size_t failure_free = 0;
    hcp_test::start_capture();
    EXPECT_EQ(run_and_capture(&buffer, &size, &status, argv, &failure, &failure_free), 0);
    hcp_test::reports r = hcp_test::end_capture();
    EXPECT_EQ(std::string(buffer, size), "open: 0 1 2\nstdin:\n");
    EXPECT_EQ(r.err, "ready\n");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::free(buffer);
    std::free(failure);

    hcp_test::temp_root root;
    hcp_test::install_rc_recorder(root, "/usr/local/etc/rc.d/svc");
    std::string record = root.dir() + "/record";
    ::setenv("RC_RECORD", record.c_str(), 1);
    root.enter();
    EXPECT_EQ(run_service_script("/usr/local/etc/rc.d/svc", "svc", "start", 1), 0);
    ::unsetenv("HCP_SYSROOT");
    auto runs = hcp_test::read_rc_records(record);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs[0]["fds"], " 0 1 2 ");

    ::dup2(saved_stdin, 0);
    ::close(saved_stdin);
    ::close(top);
    ::close(9);
    ::close(null_fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

} // namespace
