// Children the tool waits for while it holds its lock get 60 seconds at most
// in all: a configuration test or an "httpd -V" that never ends is killed
// with its process group, the run ends, and a run waiting for the lock
// meanwhile gets it.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using strings = std::vector<std::string>;

const char k_vhost_file[] = "/includes/zzz_horde_vhost.conf";
const char k_earlier[] = "# earlier\n";

class CliConfigtestSlow : public testing::Test
{
  protected:
    void SetUp() override
    {
        db.reset();
        db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example')");
        root.write_password();
        root.write_conf("HTTPD_INCLUDE_D /includes\nHTTPD_SERVICE apache22\n");
        root.write("/usr/local/etc/hcp-webmail/horde/horde.conf",
                   "alias=horde\nname=Horde\nversion=1\nrelease=1\ndocroot=/www\nenabled=true\n");
        root.write("/usr/local/etc/hcp-webmail/horde/horde_vhost.conf", "# new\n");
        root.write(k_vhost_file, k_earlier);
        // Each stand-in leaves a child of its own behind, which must go too.
        root.write("/usr/local/etc/rc.d/apache22",
                   "#!/bin/sh\nsleep 600 &\necho $! >\"$HCP_SYSROOT/rc-child\"\nwait\n", 0755);
        root.write("/usr/sbin/httpd",
                   "#!/bin/sh\nsleep 600 &\necho $! >\"$HCP_SYSROOT/httpd-child\"\nwait\n", 0755);
    }

    // Whether the process whose id the stand-in noted still runs.
    bool still_runs(const std::string &note) const
    {
        return hcp_test::keeps_running(std::stoi(root.read(note)));
    }

    hcp_test::bench_db db;
    hcp_test::temp_root root;
};

// The -V takes 20 seconds of the run's 60, the configtest the rest.
TEST_F(CliConfigtestSlow, ConfigtestThatNeverEndsKeepsTheNewFile)
{
    root.write("/usr/sbin/httpd",
               "#!/bin/sh\nsleep 20\necho 'Server version: Apache/2.2.3'\n"
               "echo \"Server's Module Magic Number: 20051115:3\"\n",
               0755);
    root.mkdir("/usr/local/etc/hcp-webmail/horde/conf.d");
    hcp_test::run_result r, waiter;
    std::thread install([&] { r = hcp_test::run_tool(root, {"--install", "--name=horde"}); });
    ::sleep(1);
    waiter = hcp_test::run_tool(
        root, {"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"});
    install.join();
    EXPECT_EQ(waiter.status, 0) << waiter.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].priority, LOG_WARNING);
    const std::string prefix = "'/usr/local/etc/rc.d/apache22 configtest' did not end within ";
    const std::string suffix = " seconds and was killed; the new include file for horde webmail "
                               "is kept untested\n";
    const std::string &message = r.log[0].message;
    ASSERT_TRUE(message.starts_with(prefix) && message.ends_with(suffix)) << message;
    EXPECT_LE(std::stoi(message.substr(prefix.size())), 40);
    EXPECT_EQ(root.read(k_vhost_file), "# new\n");
    EXPECT_FALSE(still_runs("/rc-child"));
}

TEST_F(CliConfigtestSlow, HttpdVersionThatNeverEndsFailsTheRun)
{
    auto r = hcp_test::run_tool(root, {"--install", "--name=horde"});
    const std::string report = "get_apache_path: '/usr/sbin/httpd -V' failed\n";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, report);
    EXPECT_EQ(r.out, report);
    EXPECT_EQ(root.read(k_vhost_file), k_earlier);
    EXPECT_FALSE(still_runs("/httpd-child"));
}

} // namespace
