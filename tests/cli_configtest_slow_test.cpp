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

// The -V takes 20 seconds of the run's 60, the configtest the rest: it
// decides nothing, and the earlier file stays.
TEST_F(CliConfigtestSlow, ConfigtestThatNeverEndsKeepsTheEarlierFile)
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
    EXPECT_EQ(r.status, 255);
    ASSERT_EQ(r.log.size(), 2u);
    const std::string prefix = "'/usr/local/etc/rc.d/apache22 configtest' did not end within ";
    const std::string suffix = " seconds, what was left of this run's bound of 60 seconds, and "
                               "was killed\n";
    const std::string &message = r.log[0].message;
    ASSERT_TRUE(message.starts_with(prefix) && message.ends_with(suffix)) << message;
    EXPECT_LE(std::stoi(message.substr(prefix.size())), 40);
    EXPECT_EQ(root.read(k_vhost_file), k_earlier);
    EXPECT_FALSE(still_runs("/rc-child"));
}

// A sync of two stale files, one of which Apache refuses, on a server whose
// test takes 11 of the run's 20 seconds: the second test is never started,
// and neither file goes live untested.
TEST_F(CliConfigtestSlow, SyncThatRunsOutOfTimeArmsNothing)
{
    root.write("/usr/sbin/httpd",
               "#!/bin/sh\necho 'Server version: Apache/2.2.3'\n"
               "echo \"Server's Module Magic Number: 20051115:3\"\n",
               0755);
    for (std::string w : {"atmail", "horde"}) {
        root.write("/usr/local/etc/hcp-webmail/" + w + "/" + w + ".conf",
                   "alias=" + w + "\nname=" + w + "\nversion=1\nrelease=1\ndocroot=/www\n");
        root.write("/usr/local/etc/hcp-webmail/" + w + "/" + w + "_vhost.conf", "# new\n");
        db.exec("INSERT INTO Webmails VALUES (NULL, '" + w + "', '" + w +
                "', '1', '1', '/www', 'true')");
        root.write("/includes/zzz_" + w + "_vhost.conf", k_earlier);
    }
    root.write("/usr/local/etc/hcp-webmail/horde/horde_vhost.conf", "BREAKS\n");
    root.write("/usr/local/etc/rc.d/apache22",
               "#!/bin/sh\n[ \"$1\" = configtest ] || exit 0\nsleep 11\n"
               "! cat \"$HCP_SYSROOT\"/includes/*.conf | grep -q BREAKS\n",
               0755);
    auto r = hcp_test::run_tool(root, {"--sync"}, {"LANTERNCTL_TEST_CHILD_SECONDS=20"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "atmail\tinclude-stale\t/includes/zzz_atmail_vhost.conf\tleft\n"
                     "horde\tinclude-stale\t/includes/zzz_horde_vhost.conf\tleft\n"
                     "Unable to sync webmail files\n");
    const std::string not_started = "'/usr/local/etc/rc.d/apache22 configtest' was not started: ";
    EXPECT_TRUE(r.messages().at(1).starts_with(not_started)) << testing::PrintToString(r.messages());
    for (std::string w : {"atmail", "horde"})
        EXPECT_EQ(root.read("/includes/zzz_" + w + "_vhost.conf"), k_earlier);
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
