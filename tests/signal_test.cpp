// Process signalling and lookup, on processes these tests start themselves
// and only on those.
#include "harness.hpp"

#include "hcp_proc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using hcp_test::helper_path;

// A child_wait process started by the test, running once constructed and
// killed and reaped on destruction unless the test reaped it.
class waiter
{
  public:
    waiter(const std::string &path, std::vector<std::string> args)
    {
        int ends[2];
        if (::pipe(ends) != 0)
            return;
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork_execv_pipes(-1, ends[1], -1, path.c_str(), argv.data());
        ::close(ends[1]);
        // "ready" once exec is done, so the listing shows the new command.
        char ready[6];
        ssize_t n = ::read(ends[0], ready, sizeof ready);
        ::close(ends[0]);
        if (n != static_cast<ssize_t>(sizeof ready))
            reap(SIGKILL);
    }
    ~waiter() { reap(SIGKILL); }
    pid_t pid() const { return pid_; }

    // The signal that ended it, after sending it `signal_number` if it is
    // still running (0: only wait).
    int reap(int signal_number)
    {
        if (pid_ <= 0)
            return -1;
        if (signal_number != 0)
            ::kill(pid_, signal_number);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
    // Whether it has ended, without waiting.
    bool ended()
    {
        int status = 0;
        return ::waitpid(pid_, &status, WNOHANG) == pid_ ? (pid_ = -1, true) : false;
    }

  private:
    pid_t pid_ = -1;
};

std::string unique(const std::string &stem)
{
    static int serial = 0;
    return stem + std::to_string(::getpid()) + "x" + std::to_string(++serial);
}

using hcp_test::reports;

class SignalTest : public testing::Test
{
  protected:
    void SetUp() override { ::unsetenv("HCP_SYSROOT"); }
    void capture() { hcp_test::start_capture(); }
    reports captured() { return hcp_test::end_capture(); }
};

TEST_F(SignalTest, SignalFieldProbesCountsAndSignalsMatchingLines)
{
    std::string marker = unique("hcp-signal-");
    waiter once(helper_path("child_wait"), {"child_wait", marker});
    waiter twice(helper_path("child_wait"), {"child_wait", marker + "-a", marker + "-b"});
    ASSERT_GT(once.pid(), 0);
    ASSERT_GT(twice.pid(), 0);

    capture();
    EXPECT_EQ(send_signal_field("command", marker.c_str(), 0), 2);
    EXPECT_EQ(send_signal_field("command", (marker + "-b").c_str(), 0), 1);
    EXPECT_EQ(send_signal_field("command", (marker + "-none").c_str(), SIGTERM), 0);
    reports r = captured();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(once.ended());
    EXPECT_FALSE(twice.ended());

    capture();
    EXPECT_EQ(send_signal_field("command", marker.c_str(), SIGTERM), 2);
    EXPECT_EQ(captured().out, "");
    EXPECT_EQ(once.reap(0), SIGTERM);
    EXPECT_EQ(twice.reap(0), SIGTERM);
    EXPECT_EQ(send_signal_field("command", marker.c_str(), 0), 0);
}

TEST_F(SignalTest, SignalFieldSkipsTheHeaderLine)
{
    capture();
    EXPECT_EQ(send_signal_field("command", "PID COMMAND", 0), 0);
    reports r = captured();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// ps lists itself; by the time the signal goes out it has ended.
TEST_F(SignalTest, SignalFieldCountsAProcessGoneSinceTheListingAndReportsIt)
{
    std::string header = unique("HCPHEADER");
    capture();
    EXPECT_EQ(send_signal_field(("command=" + header).c_str(), header.c_str(), 0), 1);
    reports r = captured();
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        r.out, "send_signal_field\\(\\): failed to kill [1-9][0-9]*: No such process\n"
               "System error 3: No such process\n"))
        << r.out;
    EXPECT_EQ(r.err, r.out);
}

TEST_F(SignalTest, SignalFieldReportsAFailedListing)
{
    capture();
    EXPECT_EQ(send_signal_field("no-such-field", "x", 0), -1);
    reports r = captured();
    EXPECT_EQ(r.out, "send_signal_field(): /bin/ps failed\n");
    // ps says why on its own standard error, then the report follows.
    EXPECT_NE(r.err.find("send_signal_field(): /bin/ps failed\n"), std::string::npos);
    EXPECT_GT(r.err.size(), r.out.size());
}

TEST_F(SignalTest, SignalFieldRefusesAnEmptyPattern)
{
    capture();
    EXPECT_EQ(send_signal_field("command", "", 0), -1);
    reports r = captured();
    EXPECT_EQ(r.out, "send_signal_field(): empty pattern\n");
    EXPECT_EQ(r.err, r.out);
}

// An executable of its own name, so that killing by name reaches no one else.
class named_program
{
  public:
    named_program() : name_(unique("hw")), dir_(std::filesystem::temp_directory_path() / name_)
    {
        std::filesystem::create_directory(dir_);
        std::filesystem::copy_file(helper_path("child_wait"), path());
    }
    ~named_program() { std::filesystem::remove_all(dir_); }
    const std::string &name() const { return name_; }
    std::string path() const { return (dir_ / name_).string(); }

  private:
    std::string name_;
    std::filesystem::path dir_;
};

TEST_F(SignalTest, KillByNameSignalsEveryProcessOfThatName)
{
    named_program program;
    waiter first(program.path(), {program.path()});
    waiter second(program.path(), {program.path(), "other", "words"});
    // Same arguments, another executable: the name is the executable's.
    waiter bystander(helper_path("child_wait"), {program.name()});

    EXPECT_EQ(kill_processes_by_name(program.name().c_str(), SIGTERM), 0);
    EXPECT_EQ(first.reap(0), SIGTERM);
    EXPECT_EQ(second.reap(0), SIGTERM);
    EXPECT_FALSE(bystander.ended());
}

TEST_F(SignalTest, CheckByNameLooksAtTheFirstWordOnly)
{
    named_program program;
    {
        waiter running(program.path(), {program.path()});
        EXPECT_EQ(check_process_by_name(program.name().c_str()), 0);
    }
    waiter in_arguments(helper_path("child_wait"), {"child_wait", program.name()});
    EXPECT_NE(check_process_by_name(program.name().c_str()), 0);
    waiter bracketed(helper_path("child_wait"), {"[" + program.name() + "]"});
    EXPECT_EQ(check_process_by_name(program.name().c_str()), 0);
}

TEST_F(SignalTest, NamesThatWouldReachTheShellAreRefusedWithoutRunningIt)
{
    std::string witness = std::filesystem::temp_directory_path() / unique("hcp-witness-");
    const std::string names[] = {
        "",
        "a b",
        "x;touch " + witness,
        "x`touch " + witness + "`",
        "$(touch " + witness + ")",
        "a/b",
        "a*",
        "a'b",
        std::string(256, 'n'),
    };
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        capture();
        EXPECT_EQ(kill_processes_by_name(name.c_str(), 0), -1);
        EXPECT_EQ(check_process_by_name(name.c_str()), -1);
        reports r = captured();
        std::string expected = "kill_processes_by_name(): invalid process name '" + name +
                               "'\ncheck_process_by_name(): invalid process name '" + name + "'\n";
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, expected);
    }
    EXPECT_FALSE(std::filesystem::exists(witness));
    // The longest name accepted, and the other characters of executable names.
    for (const std::string &name : {std::string(255, 'n'), std::string("Aa0._-+")})
        EXPECT_NE(check_process_by_name(name.c_str()), -1);
}

struct walk_seen {
    std::vector<proc_record> records;
    std::vector<std::string> comms, argv0s;
    std::vector<std::vector<std::string>> argvs;
    int stop_after = 0;
    int stop_with = 0;
};

int remember(const proc_record *record, void *context)
{
    auto *seen = static_cast<walk_seen *>(context);
    seen->records.push_back(*record);
    seen->comms.push_back(record->comm);
    seen->argv0s.push_back(record->argv0 != nullptr ? record->argv0 : "<absent>");
    std::vector<std::string> argv;
    for (char **a = record->argv; a != nullptr && *a != nullptr; a++)
        argv.push_back(*a);
    seen->argvs.push_back(argv);
    if (seen->stop_after > 0 && static_cast<int>(seen->records.size()) == seen->stop_after)
        return seen->stop_with;
    return 1;
}

TEST_F(SignalTest, WalkFillsRecordsAndStopsWhenTold)
{
    std::string marker = unique("walk-");
    waiter child(helper_path("child_wait"), {"walk-zero", marker, "two words"});

    walk_seen seen;
    EXPECT_EQ(walk_process_table(PROC_WALK_ARGV, remember, &seen), 1);
    bool found_self = false;
    bool found_child = false;
    for (size_t i = 0; i < seen.records.size(); i++) {
        const proc_record &r = seen.records[i];
        if (r.pid == ::getpid()) {
            found_self = true;
            EXPECT_EQ(r.ppid, ::getppid());
            EXPECT_EQ(r.euid, ::geteuid());
            EXPECT_EQ(seen.comms[i], std::string("signal_test"));
        }
        if (r.pid == child.pid()) {
            found_child = true;
            EXPECT_EQ(r.ppid, ::getpid());
            EXPECT_EQ(seen.comms[i], "child_wait");
            EXPECT_EQ(seen.argv0s[i], "walk-zero");
            EXPECT_EQ(seen.argvs[i], (std::vector<std::string>{"walk-zero", marker, "two words"}));
        }
    }
    EXPECT_TRUE(found_self);
    EXPECT_TRUE(found_child);

    walk_seen without;
    EXPECT_EQ(walk_process_table(0, remember, &without), 1);
    for (const std::string &argv0 : without.argv0s)
        EXPECT_EQ(argv0, "<absent>");

    for (int stop_with : {0, -5}) {
        walk_seen stopped;
        stopped.stop_after = 2;
        stopped.stop_with = stop_with;
        EXPECT_EQ(walk_process_table(PROC_WALK_ARGV_ALT, remember, &stopped), stop_with);
        EXPECT_EQ(stopped.records.size(), 2u);
        EXPECT_NE(stopped.argv0s[0] + stopped.argv0s[1], "<absent><absent>");
    }
}

TEST_F(SignalTest, FindByNameMatchesArgumentZeroWhole)
{
    std::string name = unique("hcp-find-");
    std::string full = "/usr/sbin/" + name;
    waiter short_form(helper_path("child_wait"), {name});
    waiter long_form(helper_path("child_wait"), {full + "x"});
    EXPECT_EQ(find_pid_by_name(name.c_str()), short_form.pid());
    EXPECT_EQ(find_pid_by_name(full.c_str()), -1);
    EXPECT_EQ(find_pid_by_name((full + "x").c_str()), long_form.pid());
    EXPECT_EQ(find_pid_by_name(name.substr(1).c_str()), -1);
}

TEST_F(SignalTest, CheckPidTellsRunningFromGone)
{
    EXPECT_EQ(check_pid(::getpid()), 0);
    waiter child(helper_path("child_wait"), {"child_wait"});
    pid_t pid = child.pid();
    EXPECT_EQ(check_pid(pid), 0);
    child.reap(SIGKILL);
    EXPECT_EQ(check_pid(pid), 1);
}

TEST_F(SignalTest, CheckPidFileReadsTheIdBeneathTheRoot)
{
    hcp_test::temp_root root;
    root.write("/var/run/self.pid", std::to_string(::getpid()) + "\n");
    root.write("/var/run/gone.pid", "999999999\n");
    root.enter();
    capture();
    EXPECT_EQ(check_pid_file("/var/run/self.pid"), 0);
    EXPECT_EQ(check_pid_file("/var/run/gone.pid"), 1);
    EXPECT_EQ(check_pid_file("/var/run/missing.pid"), 1);
    reports r = captured();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    ::unsetenv("HCP_SYSROOT");
}

TEST_F(SignalTest, CheckPidFileEndsTheProcessOnAnUnreadableFile)
{
    hcp_test::temp_root root;
    root.write("/var/run/text.pid", "abc\n");
    root.write("/var/run/plain", "");
    root.enter();
    EXPECT_EXIT(check_pid_file("/var/run/text.pid"), testing::ExitedWithCode(1),
                "^read from pidfile '/var/run/text.pid' failed\n$");
    EXPECT_EXIT(check_pid_file("/var/run/plain/x.pid"), testing::ExitedWithCode(1),
                "^open\\(\\) pidfile '/var/run/plain/x.pid' failed: Not a directory\n"
                "System error 20: Not a directory\n$");
    ::unsetenv("HCP_SYSROOT");
}

} // namespace
