// Runs side by side, as a panel's job queue starts them: every command that
// changes state waits for the one lock, so they end as some serial order would.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using hcp_test::run_result;
using hcp_test::temp_root;
using strings = std::vector<std::string>;

namespace
{

const std::string k_root = "/usr/local/etc/hcp-webmail";
const char k_include_dir[] = "/usr/local/etc/apache22/Includes";
const char k_webmails[][10] = {"atmail", "horde", "atmailcom"};

class CliLock : public testing::Test
{
  protected:
    hcp_test::bench_db db;
    temp_root root;

    void SetUp() override
    {
        db.reset();
        db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example')");
        db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.1')");
        root.write_password();
        root.write_conf(std::string("HTTPD_INCLUDE_D ") + k_include_dir + "\n");
        root.mkdir(k_include_dir);
        root.write("/usr/sbin/httpd",
                   "#!/bin/sh\necho 'Server version: Apache/2.2.3'\n"
                   "echo \"Server's Module Magic Number: 20051115:3\"\n",
                   0755);
        for (const std::string webmail : k_webmails) {
            root.mkdir(k_root + "/" + webmail + "/conf.d");
            root.write(k_root + "/" + webmail + "/" + webmail + ".conf",
                       "alias=" + webmail + "\nname=" + webmail +
                           "\nversion=1\nrelease=1\ndocroot=/www\nenabled=true\n");
        }
        root.write(k_root + "/horde/horde_vhost.conf", "<VirtualHost@WEBMAIL_IP_ADDRESS@>\n");
    }

    run_result run(const strings &args, const std::string &spy = "")
    {
        // Runs at the same time record their system logs apart.
        if (spy.empty())
            return hcp_test::run_tool(root, args);
        return hcp_test::run_tool(root, args, {"HCP_SYSLOG_SPY=" + root.dir() + "/" + spy});
    }

    // Every alias file and temporary of the webmails, as "<webmail>/<name>".
    strings conf_d_entries() const
    {
        strings names;
        for (const std::string webmail : k_webmails)
            for (const auto &e :
                 std::filesystem::directory_iterator(root.real(k_root + "/" + webmail + "/conf.d")))
                names.push_back(webmail + "/" + e.path().filename().string());
        return names;
    }

    // Takes the lock as a run of the tool would; closing the descriptor frees
    // it, as no program the test runs inherits it.
    int hold_lock() const
    {
        int fd = ::open(root.real("/var/run/lanternctl.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                        0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::flock(fd, LOCK_EX), 0);
        return fd;
    }
};

TEST_F(CliLock, ChangesWaitForTheHolderAndTheListDoesNot)
{
    int lock = hold_lock();
    run_result set_default;
    std::thread waiting([&] {
        set_default =
            run({"--set-default", "--vhost-name=a.example", "--name=horde", "--no-restart"});
    });

    // The list and the help take no lock: they answer at once.
    run_result list = run({"--list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "");
    EXPECT_EQ(run({"--help"}).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(root.exists(k_root + "/horde/conf.d/a.example"));

    ::close(lock);
    waiting.join();
    EXPECT_EQ(set_default.status, 0);
    EXPECT_EQ(set_default.out + set_default.err, "");
    EXPECT_EQ(root.read(k_root + "/horde/conf.d/a.example"), "ServerAlias webmail.a.example\n");
}

// Four set-defaults of one vhost with different webmails and four installs of
// one webmail, all at once: one alias file and one catalogue row, every round.
TEST_F(CliLock, ParallelRunsEndAsSomeSerialOrder)
{
    const strings runs[] = {
        {"--set-default", "--vhost-name=example.com", "--name=atmail", "--no-restart"},
        {"--install", "--name=horde"},
        {"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"},
        {"--install", "--name=horde"},
        {"--set-default", "--vhost-name=example.com", "--name=atmailcom", "--no-restart"},
        {"--install", "--name=horde"},
        {"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"},
        {"--install", "--name=horde"},
    };
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        db.exec("DELETE FROM Webmails");
        std::vector<run_result> results(std::size(runs));
        std::vector<std::thread> threads;
        for (size_t i = 0; i < std::size(runs); i++)
            threads.emplace_back([&, i] { results[i] = run(runs[i], "spy-" + std::to_string(i)); });
        for (auto &t : threads)
            t.join();
        for (const auto &r : results)
            EXPECT_EQ(r.status, 0) << r.out;

        strings aliases = conf_d_entries();
        ASSERT_EQ(aliases.size(), 1u);
        std::string webmail = aliases[0].substr(0, aliases[0].find('/'));
        EXPECT_EQ(aliases[0], webmail + "/example.com");
        EXPECT_EQ(root.read(k_root + "/" + webmail + "/conf.d/example.com"),
                  "ServerAlias webmail.example.com\n");
        EXPECT_EQ(db.rows("SELECT id FROM Webmails WHERE product_id='horde'").size(), 1u);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root.real(k_include_dir)),
                                std::filesystem::directory_iterator()),
                  1);
    }
}

} // namespace
