// The capture engines, the descriptor rule and the reporting runners, on
// real child processes.
#include "harness.hpp"

#include "hcp_proc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace
{

using hcp_test::helper_path;

std::string text_or(const char *text, const char *absent = "<absent>")
{
    return text != nullptr ? text : absent;
}

std::string generated(size_t count, char first)
{
    std::string s;
    for (size_t i = 0; i < count; i++)
        s.push_back(static_cast<char>(first + i % 26));
    return s;
}

struct captured {
    int result;
    std::string out, err;
    bool out_absent, err_absent;
};

captured get_out_err(const std::string &path, std::vector<std::string> args)
{
    std::vector<char *> argv;
    args.insert(args.begin(), path);
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char *out = nullptr;
    char *err = nullptr;
    int result = fork_execv_getouterr(&out, &err, path.c_str(), argv.data());
    captured c{result, text_or(out), text_or(err), out == nullptr, err == nullptr};
    std::free(out);
    std::free(err);
    return c;
}

// HCP_SYSROOT of the test process, unset unless a test enters a root.
class ExecTest : public testing::Test
{
  protected:
    void SetUp() override { ::unsetenv("HCP_SYSROOT"); }
};

TEST_F(ExecTest, CaptureCollectsBothStreamsAndTheExitStatus)
{
    struct {
        const char *out, *err, *status;
        int result;
        std::string expected_out, expected_err;
    } cases[] = {
        {"hello", "oops", "0", 0, "hello", "oops"},
        {"", "", "0", 0, "", ""},
        {"#10000", "#5000", "3", 3, generated(10000, 'a'), generated(5000, 'A')},
        {"#4095", "#4096", "255", 255, generated(4095, 'a'), generated(4096, 'A')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.out) + " / " + c.err);
        captured got = get_out_err(helper_path("child_emit"), {c.out, c.err, c.status});
        EXPECT_EQ(got.result, c.result);
        EXPECT_FALSE(got.out_absent);
        EXPECT_FALSE(got.err_absent);
        EXPECT_EQ(got.out, c.expected_out);
        EXPECT_EQ(got.err, c.expected_err);
    }
}

TEST_F(ExecTest, ChildKilledBySignalGivesMinusOne)
{
    captured got = get_out_err(helper_path("child_signal"), {"9", "partial"});
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.out, "partial");
}

TEST_F(ExecTest, ProgramThatCannotBeExecutedGives255AndTheReason)
{
    hcp_test::temp_root root;
    root.write("/plain.txt", "not a program\n", 0644);
    std::string path = root.real("/plain.txt");
    struct {
        std::string path, reason;
    } cases[] = {
        {path, "Permission denied"},
        {root.real("/missing"), "No such file or directory"},
    };
    for (const auto &c : cases) {
        captured got = get_out_err(c.path, {});
        EXPECT_EQ(got.result, 255);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.err, "fork_execv: execv(\"" + c.path + "\") failed: " + c.reason + "\n");
    }
}

TEST_F(ExecTest, DaemonHoldingThePipesDoesNotDelayTheResult)
{
    auto start = std::chrono::steady_clock::now();
    captured got = get_out_err(helper_path("child_daemon"), {"20", "7"});
    auto elapsed = std::chrono::steady_clock::now() - start;
    pid_t daemon = std::atoi(got.out.c_str());
    ASSERT_GT(daemon, 0);
    ::kill(daemon, SIGKILL); // started by this test through the helper

    EXPECT_EQ(got.result, 7);
    EXPECT_EQ(got.out, std::to_string(daemon) + "\n");
    EXPECT_LT(elapsed, std::chrono::seconds(4));
}

TEST_F(ExecTest, GetOutLeavesStandardErrorInherited)
{
    std::string path = helper_path("child_emit");
    char *out = nullptr;
    testing::internal::CaptureStderr();
    int result =
        fork_execl_getout(&out, path.c_str(), path.c_str(), "to out", "to err", "5", nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 5);
    EXPECT_EQ(text_or(out), "to out");
    EXPECT_EQ(err, "to err");
    std::free(out);
}

TEST_F(ExecTest, ListFormGivesArgumentZeroAsWritten)
{
    std::string path = helper_path("child_argv");
    char *out = nullptr;
    char *err = nullptr;
    int result =
        fork_execl_getouterr(&out, &err, path.c_str(), "zero", "one", "", "three", nullptr);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(text_or(out), "zero\none\n\nthree\n");
    EXPECT_EQ(text_or(err), "");
    std::free(out);
    std::free(err);
}

int read_all(int fd, std::string &text)
{
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    return static_cast<int>(n);
}

TEST_F(ExecTest, DescriptorRuleConnectsNullAndPipesAndClosesTheRest)
{
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    // A stray descriptor the child must not see.
    int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);

    std::string path = helper_path("child_fds");
    // One descriptor for two targets: output and error both reach the pipe.
    pid_t pid = fork_execl_pipes(-1, pipe_fds[1], pipe_fds[1], path.c_str(), path.c_str(), nullptr);
    ASSERT_GT(pid, 0);
    ::close(pipe_fds[1]);
    std::string text;
    read_all(pipe_fds[0], text);
    ::close(pipe_fds[0]);
    ::close(stray);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(text, "open: 0 1 2\nstdin:\nready\n");
}

TEST_F(ExecTest, StandardDescriptorGivenAsSourceIsTakenBeforeItIsReplaced)
{
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    std::string path = helper_path("child_emit");
    // Output into the pipe, error onto the caller's standard output (1),
    // which the output connection replaces in the child first.
    testing::internal::CaptureStdout();
    pid_t pid =
        fork_execl_pipes(0, pipe_fds[1], 1, path.c_str(), path.c_str(), "OUT", "ERR", "0", nullptr);
    ::close(pipe_fds[1]);
    std::string piped;
    read_all(pipe_fds[0], piped);
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::string caller_out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(piped, "OUT");
    EXPECT_EQ(caller_out, "ERR");
}

// A reader that reports each read as it comes (util_exec does) must get the
// child's message whole: one write, seen here as one packet.
TEST_F(ExecTest, ChildReportsItsFailureInOneWrite)
{
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    char *argv[] = {const_cast<char *>("x"), nullptr};
    pid_t pid = fork_execv_pipes(-1, -1, ends[1], "/nonexistent/program", argv);
    ::close(ends[1]);
    char packet[4096];
    ssize_t n = ::read(ends[0], packet, sizeof packet);
    ::close(ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(packet, size_t(n)),
              "fork_execv: execv(\"/nonexistent/program\") failed: No such file or directory\n");
}

TEST_F(ExecTest, ReportingRunnerWritesOutputUnchangedAndNamesTheProgram)
{
    std::string path = helper_path("child_emit");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = fork_execl_report(path.c_str(), "100%s done %d\n", "bad thing", "4", nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 4);
    std::string report = path + " execution failed:\nbad thing\n";
    EXPECT_EQ(err, "100%s done %d\n" + report);
    EXPECT_EQ(out, report);
}

TEST_F(ExecTest, ReportingRunnerIsSilentOnSuccessAndWhenQuiet)
{
    std::string path = helper_path("child_emit");
    std::string emitted = path;
    std::vector<char *> argv = {emitted.data(), const_cast<char *>("x"), const_cast<char *>("y"),
                                const_cast<char *>("9"), nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(fork_execv_report(path.c_str(), argv.data(), 1), 9);
    argv[3] = const_cast<char *>("0");
    EXPECT_EQ(fork_execv_report(path.c_str(), argv.data(), 0), 0);
    EXPECT_EQ(fork_execl0_report(path.c_str(), "zero", "x", "y", "0", nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The child ends while a daemon it started holds both pipes; it wrote
// nothing on standard error, so there is no error text to show.
TEST_F(ExecTest, ReportingRunnerSaysNoOutputWhenADaemonHoldsTheSilentPipe)
{
    std::string path = helper_path("child_daemon");
    std::vector<char *> argv = {path.data(), const_cast<char *>("20"), const_cast<char *>("7"),
                                nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = fork_execv_report(path.c_str(), argv.data(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    pid_t daemon = std::atoi(err.c_str()); // its standard output comes first
    ASSERT_GT(daemon, 0);
    ::kill(daemon, SIGKILL); // started by this test through the helper

    EXPECT_EQ(result, 7);
    std::string report = path + " execution failed (no output)\n";
    EXPECT_EQ(err, std::to_string(daemon) + "\n" + report);
    EXPECT_EQ(out, report);
}

template <size_t... I> int report_with_many_arguments(const char *path, std::index_sequence<I...>)
{
    static const std::string names[] = {("a" + std::to_string(I))...};
    return fork_execl_report(path, names[I].c_str()..., nullptr);
}

TEST_F(ExecTest, BoundedListPassesTheFirst99Arguments)
{
    std::string path = helper_path("child_argv");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = report_with_many_arguments(path.c_str(), std::make_index_sequence<120>());
    std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 99);
    std::string listed = path + "\n";
    for (int i = 0; i < 99; i++)
        listed += "a" + std::to_string(i) + "\n";
    EXPECT_EQ(err.substr(0, listed.size()), listed);
    EXPECT_EQ(err.substr(listed.size()), path + " execution failed:\n");
}

// The utilities live beneath the root; argument zero is their logical path.
TEST_F(ExecTest, UtilityRunnersRunBeneathTheRootUnderTheirLogicalPath)
{
    hcp_test::temp_root root;
    root.write_conf("PRODUCT_ROOT_D /opt/panel\n");
    std::string helper = hcp_test::read_file(helper_path("child_argv"));
    root.write("/opt/panel/admin/bin/lister", helper, 0755);
    root.write("/usr/local/libexec/vexla-9.0/tools/lister", helper, 0755);
    root.enter();

    struct {
        std::function<int()> run;
        int result;
        std::string listed, logical;
    } cases[] = {
        {[] { return util_execl_admin("lister", "one", nullptr); }, 1,
         "/opt/panel/admin/bin/lister\none\n", "/opt/panel/admin/bin/lister"},
        {[] {
             char *argv[] = {const_cast<char *>("own-zero"), const_cast<char *>("p"),
                             const_cast<char *>("q"), nullptr};
             return util_execv_admin("lister", argv);
         },
         2, "own-zero\np\nq\n", "/opt/panel/admin/bin/lister"},
        {[] { return util_execl_libexec("tools/lister", "x", "y", "z", nullptr); }, 3,
         "/usr/local/libexec/vexla-9.0/tools/lister\nx\ny\nz\n",
         "/usr/local/libexec/vexla-9.0/tools/lister"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logical);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = c.run();
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.result);
        std::string report = c.logical + " execution failed:\n";
        EXPECT_EQ(err, c.listed + report);
        EXPECT_EQ(out, report);
    }
    ::unsetenv("HCP_SYSROOT");
}

TEST_F(ExecTest, UtilityNameWithADirectoryIsRefused)
{
    hcp_test::temp_root root;
    root.write_conf("PRODUCT_ROOT_D /opt/panel\n");
    root.write("/opt/panel/admin/bin/lister", "#!/bin/sh\ntouch ran\n", 0755);
    root.enter();
    char *argv[] = {const_cast<char *>("x"), nullptr};
    for (const char *name : {"bin/lister", "/opt/panel/admin/bin/lister", "../bin/lister"}) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(util_execl_admin(name, nullptr), -1);
        EXPECT_EQ(util_execv_admin(name, argv), -1);
        std::string report = "Utility name '" + std::string(name) +
                             "' is invalid. Use only utility name without path.\n";
        EXPECT_EQ(testing::internal::GetCapturedStdout(), report + report);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), report + report);
    }
    ::unsetenv("HCP_SYSROOT");
    EXPECT_FALSE(std::filesystem::exists("ran"));
}

// Every descriptor number below the limit is taken, so no pipe can be had.
void capture_without_descriptors(const char *path)
{
    struct rlimit limit = {3, 3};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    char *out = nullptr;
    fork_execl_getout(&out, path, path, nullptr);
}

TEST_F(ExecTest, PipeThatCannotBeCreatedEndsTheProcess)
{
    std::string path = helper_path("child_argv");
    EXPECT_EXIT(capture_without_descriptors(path.c_str()), testing::ExitedWithCode(1),
                "fork_execv_getouterr: pipe\\(\\) failed\nSystem error 24: ");
}

// A caller started with standard descriptors closed, as cron and daemons
// start helpers: the runners' pipes take those numbers and must be moved.
void capture_with_closed(std::initializer_list<int> closed)
{
    for (int fd : closed)
        ::close(fd);
    char *out = nullptr, *err = nullptr;
    char *const argv[] = {const_cast<char *>("echo"), const_cast<char *>("hi"), nullptr};
    bool ok = fork_execv_getout(&out, "/bin/echo", argv) == 0 && text_or(out) == "hi\n";
    std::free(out);
    out = nullptr;
    ok = ok && fork_execv_getouterr(&out, &err, "/bin/echo", argv) == 0 && text_or(out) == "hi\n";
    std::free(out);
    std::free(err);
    out = nullptr;
    ok = ok && util_exec_getout(&out, "/bin/echo", "hi", nullptr) == 0 && text_or(out) == "hi\n";
    std::free(out);
    ::_exit(ok ? 0 : 3);
}

TEST_F(ExecTest, RunnersWorkWithStandardDescriptorsClosed)
{
    EXPECT_EXIT(capture_with_closed({0}), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(capture_with_closed({0, 1, 2}), testing::ExitedWithCode(0), "");
}

} // namespace
