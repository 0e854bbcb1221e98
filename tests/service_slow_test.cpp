// Service control's signal-based stops, on processes this test starts
// itself. The Tomcat stop sleeps between probes, so these run apart
// (ctest -L slow).
#include "harness.hpp"

#include "hcp_proc.h"
#include "hcp_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using hcp_test::temp_root;

namespace
{

// Starts argv and returns once the child has become that program, so that
// the process listing already shows it.
pid_t start(const std::vector<std::string> &argv)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    std::string cmdline_path = "/proc/" + std::to_string(pid) + "/cmdline";
    std::string last_argument = argv.back();
    for (int tries = 0; tries < 500; tries++) {
        std::string cmdline = hcp_test::read_file(cmdline_path);
        if (cmdline.find(last_argument) != std::string::npos)
            break;
        ::usleep(10 * 1000);
    }
    return pid;
}

int reap(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

// True when a process with this short command name runs.
bool process_named(const std::string &name)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name)
            return true;
    }
    return false;
}

TEST(ServiceControlSlow, TomcatStopFallsBackToSignals)
{
    temp_root root;
    root.write_conf("HTTPD_SERVICE apache22\n");
    std::string record = root.dir() + "/record";
    root.write("/usr/local/etc/rc.d/tomcat5", "#!/bin/sh\nexit 1\n", 0755);
    root.write("/usr/local/etc/rc.d/apache22", "#!/bin/sh\necho \"$1\" >> \"$RC_RECORD\"\n", 0755);
    ::setenv("RC_RECORD", record.c_str(), 1);

    pid_t tomcat =
        start({"/usr/bin/perl", "-e", "sleep 300", "org.apache.catalina.startup.Bootstrap"});
    ASSERT_GT(tomcat, 0);
    // The failing script is not reported; TERM ends the process, the stop
    // succeeds and the running web server is restarted.
    EXPECT_EXIT(
        {
            root.enter();
            std::exit(service_control("Tomcat55", "stop") + 1);
        },
        testing::ExitedWithCode(1), "^$");
    EXPECT_EQ(reap(tomcat), SIGTERM);
    EXPECT_EQ(root.read("/record"), "status\nrestart\nstatus\n");
}

TEST(ServiceControlSlow, SambaKillsItsDaemonsByName)
{
    if (process_named("smbd") || process_named("nmbd"))
        GTEST_SKIP() << "a real Samba runs here; this test signals only its own processes";
    temp_root root;
    namespace fs = std::filesystem;
    fs::copy_file("/bin/sleep", root.real("/smbd"));
    fs::copy_file("/bin/sleep", root.real("/nmbd"));
    pid_t smbd = start({root.real("/smbd"), "300"});
    pid_t nmbd = start({root.real("/nmbd"), "300"});

    EXPECT_EXIT(
        {
            root.enter();
            std::exit(service_control("samba", "start") + 1);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(reap(smbd), SIGKILL);
    EXPECT_EQ(reap(nmbd), SIGKILL);
}

} // namespace
