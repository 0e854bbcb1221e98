// The utility runners and the shell-command runners, on real children.
#include "harness.hpp"

#include "hcp_proc.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using hcp_test::helper_path;

using hcp_test::reports;

class RunnersTest : public testing::Test
{
  protected:
    void SetUp() override { ::unsetenv("HCP_SYSROOT"); }
    void capture() { hcp_test::start_capture(); }
    reports captured() { return hcp_test::end_capture(); }
};

std::vector<char *> vector_of(std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

TEST_F(RunnersTest, UtilExecRefusesStandardDescriptors)
{
    std::vector<std::string> args = {"child_emit", "x", "y", "0"};
    std::string path = helper_path("child_emit");
    for (auto [in, out] : {std::pair{1, 5}, std::pair{5, 2}, std::pair{0, 7}}) {
        capture();
        EXPECT_EQ(util_exec(in, out, path.c_str(), vector_of(args).data()), -1);
        reports r = captured();
        EXPECT_EQ(r.out, "values 0,1,2 not allowed for variables fd_in & fd_out\n");
        EXPECT_EQ(r.err, r.out);
    }
}

TEST_F(RunnersTest, UtilExecConnectsGivenDescriptorsAndForwardsErrorOutput)
{
    hcp_test::temp_root root;
    root.write("/in.txt", "from the file");
    int in = ::open(root.real("/in.txt").c_str(), O_RDONLY);
    int out = ::open(root.real("/out.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(in, 3);
    ASSERT_GE(out, 3);
    std::string path = helper_path("child_fds");
    std::vector<std::string> args = {"child_fds"};
    capture();
    EXPECT_EQ(util_exec(in, out, path.c_str(), vector_of(args).data()), 0);
    reports r = captured();
    ::close(in);
    ::close(out);
    // Descriptors are inherited except what the runner opened for itself.
    std::string listed = root.read("/out.txt");
    EXPECT_EQ(listed.substr(0, 12), "open: 0 1 2 ");
    EXPECT_NE(listed.find("\nstdin:from the file\n"), std::string::npos);
    EXPECT_EQ(r.out, "ready\n");
    EXPECT_EQ(r.err, "ready\n");
}

TEST_F(RunnersTest, UtilExecTurnsTheOutcomeIntoResultAndReport)
{
    int null_fd = ::open("/dev/null", O_RDWR);
    std::string missing = "/nonexistent/program";
    struct {
        std::string path;
        std::vector<std::string> args;
        int result;
        std::string report; // "%d" stands for the child's id
    } cases[] = {
        {helper_path("child_emit"), {"e", "", "", "6"}, 6, ""},
        {helper_path("child_signal"),
         {"s", "9"},
         -1,
         "The child process with pid %d killed by signal 9\n"},
        {missing, {"m"}, 255, "Error occured during execv():\nNo such file or directory.\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.path);
        capture();
        int result = util_exec(null_fd, null_fd, c.path.c_str(), vector_of(c.args).data());
        reports r = captured();
        EXPECT_EQ(result, c.result);
        size_t at = c.report.find("%d");
        if (at != std::string::npos) {
            size_t digits = r.out.find_first_not_of("0123456789", at);
            ASSERT_NE(digits, std::string::npos);
            c.report.replace(at, 2, r.out.substr(at, digits - at));
        }
        EXPECT_EQ(r.out, c.report);
        EXPECT_EQ(r.err, c.report);
    }
    ::close(null_fd);
}

TEST_F(RunnersTest, UtilExecReportsAStoppedChild)
{
    int null_fd = ::open("/dev/null", O_RDWR);
    std::string path = helper_path("child_signal");
    std::vector<std::string> args = {"child_signal", std::to_string(SIGSTOP)};
    capture();
    EXPECT_EQ(util_exec(null_fd, null_fd, path.c_str(), vector_of(args).data()), -1);
    reports r = captured();
    ::close(null_fd);
    int pid = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "The child process with pid %d", &pid), 1);
    EXPECT_EQ(r.out, "The child process with pid " + std::to_string(pid) + " stopped by signal " +
                         std::to_string(SIGSTOP) + "\n");
    // The stopped child is the test's own: end it.
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST_F(RunnersTest, UtilExecGetoutHandsOverOutputOnlyOnSuccess)
{
    std::string emit = helper_path("child_emit");
    std::string missing = "/nonexistent/program";
    std::string big(10000, 'x');
    struct {
        std::vector<const char *> args; // after the path; path is emit unless missing
        bool run_missing;
        int result;
        std::string kept;   // "<absent>" when released
        std::string report; // on stdout and stderr
    } cases[] = {
        {{"out ", "err", "0"}, false, 0, "out err", ""},
        {{"#5000", "#5000", "0"}, false, 0, "", ""},
        {{"half", "", "3"},
         false,
         3,
         "<absent>",
         "utility " + emit + " failed (result=3):\nhalf\n"},
        {{},
         true,
         255,
         "<absent>",
         "error:\nCannot exec " + missing + ":\nNo such file or directory\n"},
    };
    for (auto &c : cases) {
        char *out = reinterpret_cast<char *>(1);
        capture();
        int result = c.run_missing ? util_exec_getout(&out, missing.c_str(), nullptr)
                                   : util_exec_getout(&out, emit.c_str(), c.args[0], c.args[1],
                                                      c.args[2], nullptr);
        reports r = captured();
        EXPECT_EQ(result, c.result);
        std::string kept = out != nullptr ? out : "<absent>";
        if (c.args.size() == 3 && std::string(c.args[0]) == "#5000")
            EXPECT_EQ(kept.size(), 10000u);
        else
            EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(r.out, c.report);
        EXPECT_EQ(r.err, c.report);
        std::free(out);
    }
}

TEST_F(RunnersTest, UtilExecGetoutReportsAKilledUtility)
{
    std::string path = helper_path("child_signal");
    char *out = nullptr;
    capture();
    EXPECT_EQ(util_exec_getout(&out, path.c_str(), "9", "last words", nullptr), -1);
    reports r = captured();
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(r.out, "utility " + path + " killed (signal 9):\nlast words\n");
}

TEST_F(RunnersTest, UtilExecQuietTellsOnlyASignal)
{
    std::string emit = helper_path("child_emit");
    std::string sig = helper_path("child_signal");
    capture();
    EXPECT_EQ(util_exec_quiet(emit.c_str(), "noise", "noise", "3", nullptr), 0);
    EXPECT_EQ(util_exec_quiet(sig.c_str(), "9", nullptr), 1);
    EXPECT_EQ(util_exec_quiet("/nonexistent/program", nullptr), 0);
    reports r = captured();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(RunnersTest, UtilExecQuietLeavesTheCallersOtherChildrenAlone)
{
    std::string wait_path = helper_path("child_wait");
    pid_t other = fork_execl_pipes(-1, -1, -1, wait_path.c_str(), "child_wait", nullptr);
    ASSERT_GT(other, 0);
    ::kill(other, SIGKILL);
    // The other child has ended before ours; ours must still be the one waited for.
    ::usleep(100 * 1000);
    std::string sig = helper_path("child_signal");
    EXPECT_EQ(util_exec_quiet(sig.c_str(), "15", nullptr), 1);
    int status = 0;
    EXPECT_EQ(::waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST_F(RunnersTest, ForkExecvWaitKeepsTheRawStatus)
{
    std::string emit = helper_path("child_emit");
    std::string sig = helper_path("child_signal");
    std::vector<std::string> exits = {"e", "", "", "3"};
    std::vector<std::string> killed = {"s", "9"};
    int status = fork_execv_wait(emit.c_str(), vector_of(exits).data());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_EQ(fork_execv_last_status, status);
    status = fork_execv_wait(sig.c_str(), vector_of(killed).data());
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == 9);
    EXPECT_EQ(fork_execv_last_status, status);
}

TEST_F(RunnersTest, PopenExecGivesOutputAndStatus)
{
    struct {
        const char *command;
        int result;
        std::string output;
    } cases[] = {
        {"printf 'one\\ntwo'; exit 4", 4, "one\ntwo"},
        {"true", 0, ""},
        {"head -c 9000 /dev/zero | tr '\\0' z", 0, std::string(9000, 'z')},
        // A command killed by a signal failed, as the shell tells it.
        {"echo before; kill -9 $$", 128 + 9, "before\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        char *out = nullptr;
        EXPECT_EQ(popen_exec(&out, c.command), c.result);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), c.output);
        std::free(out);
    }
}

TEST_F(RunnersTest, PopenExecReportNamesTheFailure)
{
    struct {
        const char *command;
        int result;
        std::string report;
    } cases[] = {
        {"exit 3", 3, "popen_exec: command failed code: 3 , error: none\n"},
        {"echo 'went 100% wrong'; exit 2", 2,
         "popen_exec: command failed code: 2 , went 100% wrong\n\n"},
        {"echo fine", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        capture();
        EXPECT_EQ(popen_exec_report(c.command), c.result);
        reports r = captured();
        EXPECT_EQ(r.out, c.report);
        EXPECT_EQ(r.err, c.report);
    }
}

} // namespace
