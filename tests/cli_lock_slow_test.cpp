// A run that cannot get the lock within its bound gives up, changing nothing,
// whatever it inherited of SIGALRM.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

TEST(CliLockSlow, GivesUpAfterItsBoundAndChangesNothing)
{
    hcp_test::bench_db db;
    db.reset();
    hcp_test::temp_root root;
    root.write_password();
    root.write_conf("");
    root.write("/usr/local/etc/hcp-webmail/horde/horde.conf",
               "alias=horde\nname=Horde\nversion=1\nrelease=1\ndocroot=/www\nenabled=true\n");
    root.mkdir("/usr/local/etc/hcp-webmail/horde/conf.d");
    root.write("/usr/local/etc/hcp-webmail/atmail/conf.d/example.com", "earlier\n");

    int lock = ::open(root.real("/etc/hcp/.hcp.shadow").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    // Blocked signals stay blocked across exec: an alarm could never end the wait.
    sigset_t alarm, old;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    ::sigprocmask(SIG_BLOCK, &alarm, &old);
    auto r =
        hcp_test::run_tool(root, {"--set-default", "--vhost-name=example.com", "--name=horde"});
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    ::close(lock);

    const std::string msg =
        "Unable to lock /etc/hcp/.hcp.shadow: still taken after waiting 90 seconds\n";
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, msg);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.messages(), std::vector<std::string>{msg});
    EXPECT_EQ(root.read("/usr/local/etc/hcp-webmail/atmail/conf.d/example.com"), "earlier\n");
    EXPECT_FALSE(root.exists("/usr/local/etc/hcp-webmail/horde/conf.d/example.com"));
}

} // namespace
