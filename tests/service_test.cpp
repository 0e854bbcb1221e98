// Service control through real start/stop scripts beneath a temporary root.
// The configuration is loaded once per process, so every case runs in a
// child of its own (EXPECT_EXIT) with the root it prepared.
#include "harness.hpp"

#include "hcp_conf.h"
#include "hcp_proc.h"
#include "hcp_util.h"
#include "proc/script.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using hcp_test::temp_root;

namespace
{

struct service_bench {
    temp_root root;
    std::string record = root.dir() + "/record";

    service_bench(const std::string &conf = "HTTPD_SERVICE apache22\n")
    {
        root.write_conf(conf);
        ::setenv("RC_RECORD", record.c_str(), 1);
        ::unsetenv("RC_EXIT");
        ::unsetenv("RC_STATUS_EXIT");
    }
    void script(const std::string &logical) const { hcp_test::install_rc_recorder(root, logical); }
    void script(const std::string &logical, const std::string &body) const
    {
        root.write(logical, body, 0755);
    }
    std::vector<std::map<std::string, std::string>> runs() const
    {
        return hcp_test::read_rc_records(record);
    }
};

// Runs f() in a child beneath the bench's root; the child's exit code is f's
// result + 1 so that -1 reads as 0.
#define EXPECT_RESULT(bench, expr, result, stderr_regex)                                           \
    EXPECT_EXIT(                                                                                   \
        {                                                                                          \
            (bench).root.enter();                                                                  \
            std::exit((expr) + 1);                                                                 \
        },                                                                                         \
        testing::ExitedWithCode((result) + 1), stderr_regex)

TEST(RunServiceScript, RunsDetachedWithOneActionWord)
{
    service_bench b;
    b.script("/usr/local/etc/rc.d/apache22");
    // A descriptor the child must not inherit.
    int stray = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(::dup2(stray, 57), 0);
    EXPECT_RESULT(b, run_service_script("/usr/local/etc/rc.d/apache22", "web", "graceful", 1), 0,
                  "^$");
    ::close(57);
    ::close(stray);

    auto runs = b.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["argv0"], "web");
    EXPECT_EQ(runs[0]["args"], "reload");
    EXPECT_EQ(runs[0]["cwd"], b.root.real("/usr/local/etc/rc.d"));
    EXPECT_EQ(runs[0]["stdin"], "/dev/null");
    EXPECT_EQ(runs[0]["stdout"], "/dev/null");
    EXPECT_EQ(runs[0]["sid"], runs[0]["pid"]) << "the script leads its own session";
    EXPECT_EQ(runs[0]["fds"].find(" 57 "), std::string::npos) << runs[0]["fds"];
}

TEST(RunServiceScript, ReportsEachOutcome)
{
    service_bench b;
    const std::string script = "/usr/local/etc/rc.d/svc";
    b.script(script, "#!/bin/sh\nexit 7\n");
    EXPECT_RESULT(b, run_service_script(script.c_str(), "svc", "graceful", 1), -1,
                  "^Service svc failed to gracefully restart\n\n?$");
    EXPECT_RESULT(b, run_service_script(script.c_str(), "svc", "start", 0), -1, "^$");
    EXPECT_RESULT(b, run_service_script(script.c_str(), "svc", "status", 1), -1, "^$");
    EXPECT_RESULT(b, run_script_action(script.c_str(), "stop"), -1,
                  "^Service /usr/local/etc/rc.d/svc failed to stop\n");

    b.script(script, "#!/bin/sh\nkill -KILL $$\n");
    EXPECT_RESULT(b, run_service_script(script.c_str(), "svc", "start", 1), -1,
                  "^Unable to start service svc: daemon killed by signal 9\n");

    // A stopped script is left as it is; the test ends it afterwards.
    b.script(script, "#!/bin/sh\necho $$ > \"$RC_RECORD\"\nkill -STOP $$\n");
    EXPECT_RESULT(b, run_service_script(script.c_str(), "svc", "start", 1), -1,
                  "^Unable to start service svc: daemon stopped by signal 19\n");
    pid_t stopped = std::atoi(b.root.read("/record").c_str());
    ASSERT_GT(stopped, 1);
    ::kill(stopped, SIGKILL);
}

TEST(RunServiceScript, MissingOrIrregularScriptEndsTheProcess)
{
    service_bench b;
    b.root.mkdir("/usr/local/etc/rc.d/dir");
    EXPECT_EXIT(
        {
            b.root.enter();
            run_service_script("/usr/local/etc/rc.d/none", "x", "start", 1);
        },
        testing::ExitedWithCode(1),
        "^No such file '/usr/local/etc/rc.d/none': No such file or directory\nSystem error 2: ");
    EXPECT_EXIT(
        {
            b.root.enter();
            run_service_script("/usr/local/etc/rc.d/dir", "x", "start", 1);
        },
        testing::ExitedWithCode(1), "^Not a regular file: '/usr/local/etc/rc.d/dir'\n$");
}

TEST(RunServiceScript, UnreachableOrUnrunnableScript)
{
    service_bench b;
    const std::string loop = "/usr/local/etc/rc.d/loop";
    b.root.mkdir("/usr/local/etc/rc.d");
    ASSERT_EQ(::symlink("loop", b.root.real(loop).c_str()), 0);
    EXPECT_EXIT(
        {
            b.root.enter();
            run_service_script(loop.c_str(), "x", "start", 1);
        },
        testing::ExitedWithCode(1),
        "^Error during access to '/usr/local/etc/rc.d/loop': Too many levels of symbolic links\n"
        "System error 40: ");
    // A script that cannot be executed ends its child with the reason as status.
    b.script("/usr/local/etc/rc.d/plain", "#!/bin/sh\nexit 0\n");
    ::chmod(b.root.real("/usr/local/etc/rc.d/plain").c_str(), 0644);
    EXPECT_RESULT(b, run_service_script("/usr/local/etc/rc.d/plain", "plain", "start", 1), -1,
                  "^Service plain failed to start\n$");
}

TEST(ServiceControl, NoRestartDaemonRunsNothing)
{
    service_bench b("HTTPD_SERVICE apache22\nNO_RESTART_DAEMON 0\n");
    b.script("/usr/local/etc/rc.d/apache22");
    ::setenv("RC_STATUS_EXIT", "1", 1);
    EXPECT_RESULT(b, service_control("apache22", "graceful"), 0, "^$");
    EXPECT_RESULT(b, service_control("apache22", "status"), 0, "^$");
    EXPECT_RESULT(b, service_control("", "start"), 0, "^$");
    EXPECT_FALSE(b.root.exists("/record"));
}

TEST(ServiceControl, UnknownAndUnfoundServices)
{
    service_bench b;
    EXPECT_RESULT(b, service_control("", "start"), -1, "^Unknown service\n$");
    EXPECT_RESULT(b, service_control("postfix", "start"), -1,
                  "^Unable to find start/stop script for 'postfix'\n$");
}

TEST(ServiceControl, WebServerByPrefixWithItsOwnScript)
{
    service_bench b;
    b.script("/usr/local/etc/rc.d/apache22");
    // The name only has to begin with HTTPD_SERVICE, in any case; the
    // script run is HTTPD_SERVICE's own.
    EXPECT_RESULT(b, service_control("APACHE22-ssl", nullptr), 0, "^$");
    EXPECT_RESULT(b, service_control("apache22", "start"), 0, "^$");
    auto runs = b.runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0]["argv0"], "/usr/local/etc/rc.d/apache22");
    EXPECT_EQ(runs[0]["args"], "reload");
    EXPECT_EQ(runs[1]["args"], "start");
    EXPECT_EQ(runs[2]["args"], "status") << "start waits until the server reports running";

    ::setenv("RC_EXIT", "1", 1);
    EXPECT_RESULT(b, service_control("apache22", "graceful"), -1,
                  "^Service /usr/local/etc/rc.d/apache22 failed to gracefully restart\n");
}

TEST(ServiceControl, WebServerWaitsOnlyAfterStartingActions)
{
    service_bench b;
    b.script("/usr/local/etc/rc.d/apache22");
    const struct {
        const char *action;
        size_t runs;
    } cases[] = {{"restart", 2}, {"force-reload", 2}, {"stop", 1}, {"reload", 1}, {"Start", 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.action);
        ::unlink(b.record.c_str());
        EXPECT_RESULT(b, service_control("apache22", c.action), 0, "^$");
        auto runs = b.runs();
        ASSERT_EQ(runs.size(), c.runs);
        EXPECT_EQ(runs[0]["args"], c.action);
        if (c.runs == 2) {
            EXPECT_EQ(runs[1]["args"], "status");
        }
    }
}

TEST(ServiceControl, MissingActionIsRefusedWhereOneIsNeeded)
{
    // A web server whose name Tomcat's also begins with: Tomcat is tried first.
    service_bench b("HTTPD_SERVICE tomcat\n");
    b.script("/usr/local/etc/rc.d/tomcat");
    b.script("/usr/local/etc/rc.d/tomcat5");
    b.script("/usr/local/etc/rc.d/named");
    for (const char *service : {"named", "Tomcat5", "samba"}) {
        SCOPED_TRACE(service);
        EXPECT_RESULT(b, service_control(service, nullptr), -1,
                      "^No action given for service '" + std::string(service) + "'\n$");
    }
    EXPECT_FALSE(b.root.exists("/record"));
    EXPECT_RESULT(b, service_control("tomcat", nullptr), 0, "^$");
    auto runs = b.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["argv0"], "/usr/local/etc/rc.d/tomcat");
    EXPECT_EQ(runs[0]["args"], "reload");
}

TEST(ServiceControl, TomcatRunsTheTomcat5Script)
{
    service_bench b;
    b.script("/usr/local/etc/rc.d/apache22");
    b.script("/usr/local/etc/rc.d/tomcat5");
    EXPECT_RESULT(b, service_control("tomcat55", "start"), 0, "^$");
    // A stop that succeeds restarts the web server when it runs, and waits for it.
    EXPECT_RESULT(b, service_control("TOMCAT5", "stop"), 0, "^$");
    ::setenv("RC_STATUS_EXIT", "1", 1);
    EXPECT_RESULT(b, service_control("tomcat5", "stop"), 0, "^$");
    auto runs = b.runs();
    std::vector<std::string> seen;
    for (auto &run : runs)
        seen.push_back(run["argv0"] + " " + run["args"]);
    const std::string web = "/usr/local/etc/rc.d/apache22 ";
    EXPECT_EQ(seen, (std::vector<std::string>{"tomcat5 start", "tomcat5 stop", web + "status",
                                              web + "restart", web + "status", "tomcat5 stop",
                                              web + "status"}));
    EXPECT_EQ(runs[0]["cwd"], b.root.real("/usr/local/etc/rc.d"));

    ::setenv("RC_EXIT", "1", 1);
    EXPECT_RESULT(b, service_control("tomcat5", "start"), -1,
                  "^Service tomcat5 failed to start\n$");
}

TEST(ServiceControl, DefaultWebServerNameWithoutScriptEndsTheProcess)
{
    service_bench b("");
    EXPECT_EXIT(
        {
            b.root.enter();
            service_control(conf_get(HTTPD_SERVICE), "graceful");
        },
        testing::ExitedWithCode(1), "^No such file '/usr/local/etc/rc.d/dynamic': ");
}

TEST(ServiceControl, OtherServicesSearchThreePlaces)
{
    service_bench b;
    b.script("/etc/rc.d/named");
    b.script("/usr/local/etc/rc.d/named.sh");
    EXPECT_RESULT(b, service_control("named", "restart"), 0, "^$");
    b.script("/usr/local/etc/rc.d/named");
    EXPECT_RESULT(b, service_control("named", "restart"), 0, "^$");
    b.root.write("/usr/local/etc/rc.d/named", "", 0644);
    ::unlink(b.root.real("/usr/local/etc/rc.d/named").c_str());
    ::unlink(b.root.real("/usr/local/etc/rc.d/named.sh").c_str());
    EXPECT_RESULT(b, service_control("named", "stop"), 0, "^$");
    auto runs = b.runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0]["argv0"], "/usr/local/etc/rc.d/named.sh");
    EXPECT_EQ(runs[1]["argv0"], "/usr/local/etc/rc.d/named");
    EXPECT_EQ(runs[2]["argv0"], "/etc/rc.d/named");
    EXPECT_EQ(runs[2]["cwd"], b.root.real("/etc/rc.d"));
}

TEST(ServiceControl, SambaStatusUsesItsScript)
{
    service_bench b;
    b.script("/usr/local/etc/rc.d/SAMBA");
    // Samba's "status" is recognised in any case and goes to the script search.
    EXPECT_RESULT(b, service_control("SAMBA", "STATUS"), 0, "^$");
    // A non-zero "status" means not running: -1 and no message.
    ::setenv("RC_STATUS_EXIT", "1", 1);
    EXPECT_RESULT(b, service_control("SAMBA", "status"), -1, "^$");
    auto runs = b.runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0]["argv0"], "/usr/local/etc/rc.d/SAMBA");
    EXPECT_EQ(runs[0]["args"], "STATUS");
}

TEST(ServiceControl, ColdFusionAndJRunFromTheInstancePath)
{
    hcp_test::bench_db db;
    if (HasFatalFailure())
        return; // no server: its one line says so
    db.reset();
    service_bench b;
    b.root.write_password();
    b.script("/usr/local/etc/rc.d/apache22");
    b.script("/opt/cf/bin/coldfusion");
    b.script("/opt/cf/bin/jrun");
    db.exec("INSERT INTO misc VALUES ('cf_instance_path', '/opt/cf')");

    EXPECT_RESULT(b, service_control("ColdFusion8", nullptr), 0, "^$");
    EXPECT_RESULT(b, service_control("coldfusion", "status"), 0, "^$");
    // Any other action restarts the web server when it runs.
    EXPECT_RESULT(b, service_control("JRun4", "start"), 0, "^$");
    auto runs = b.runs();
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_EQ(runs[0]["argv0"], "/opt/cf/bin/coldfusion");
    EXPECT_EQ(runs[0]["args"], "status");
    EXPECT_EQ(runs[1]["argv0"], "/opt/cf/bin/jrun");
    EXPECT_EQ(runs[1]["args"], "start");
    EXPECT_EQ(runs[2]["args"], "status");
    EXPECT_EQ(runs[3]["args"], "restart");
    EXPECT_EQ(runs[4]["args"], "status");

    db.exec("UPDATE misc SET val='/' WHERE param='cf_instance_path'");
    EXPECT_RESULT(b, service_control("jrun", "start"), -1, "^CF not configured in Vexla.\n$");
}

TEST(ServiceControl, ColdFusionWithoutDatabaseEndsTheProcess)
{
    service_bench b; // no password file: no connection
    EXPECT_EXIT(
        {
            b.root.enter();
            service_control("coldfusion", "start");
        },
        testing::ExitedWithCode(1), "Unable to connect to the mysql database\n");
}

TEST(ServiceState, PrintsOneLine)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_service_state(-2), -1);
    EXPECT_EQ(print_service_state(0), 0);
    EXPECT_EQ(print_service_state(3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "internal error\nis running\nis stopped\n");
}

// ---- run_script_bounded ------------------------------------------------------

using hcp::script_outcome;
using script_end = script_outcome::end;

const char *end_name(script_end how)
{
    switch (how) {
    case script_end::exited:
        return "exited";
    case script_end::not_run:
        return "not_run";
    case script_end::timed_out:
        return "timed_out";
    }
    return "?";
}

// Long enough that only a child blocked for good reaches it.
constexpr int k_generous_seconds = 30;

TEST(RunScriptBounded, RunsTheScriptAsTheReloadDoes)
{
    service_bench b;
    b.script("/usr/local/etc/rc.d/apache22");
    b.root.enter();
    // A descriptor the child must not inherit.
    int stray = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(::dup2(stray, 57), 0);
    script_outcome o = hcp::run_script_bounded("/usr/local/etc/rc.d/apache22", "configtest",
                                               hcp::child_deadline(k_generous_seconds));
    ::close(57);
    ::close(stray);

    ASSERT_EQ(end_name(o.how), std::string("exited"));
    EXPECT_EQ(o.exit_status, 0);
    auto runs = b.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["argv0"], "/usr/local/etc/rc.d/apache22");
    EXPECT_EQ(runs[0]["args"], "configtest");
    EXPECT_EQ(runs[0]["cwd"], b.root.real("/usr/local/etc/rc.d"));
    EXPECT_EQ(runs[0]["stdin"], "/dev/null");
    EXPECT_EQ(runs[0]["sid"], runs[0]["pid"]) << "the script leads its own session";
    // Linux's /proc: only the standard three, the status pipe closed at exec.
    EXPECT_EQ(runs[0]["fds"], " 0 1 2 ");
}

TEST(RunScriptBounded, ExitStatusAndBothOutputsInOrder)
{
    const std::string ys(hcp::k_script_output_bytes, 'y');
    std::string left_behind = "first\n";
    while (left_behind.size() < hcp::k_script_output_bytes)
        left_behind += "more\n";
    left_behind.resize(hcp::k_script_output_bytes);
    const struct {
        const char *what;
        std::string body;
        int status;
        int signal;
        std::string output;
    } cases[] = {
        {"both streams", "#!/bin/sh\nprintf 'out1 '\nprintf 'err1 ' >&2\nprintf out2\nexit 3\n", 3,
         0, "out1 err1 out2"},
        {"no #! line", "echo plain\nexit 5\n", 5, 0, "plain\n"},
        {"255 is a status", "#!/bin/sh\nexit 255\n", 255, 0, ""},
        {"killed", "#!/bin/sh\necho before\nkill -KILL $$\n", 128 + SIGKILL, SIGKILL, "before\n"},
        // With set -e a writer cut off by the pipe's end would change the status.
        {"cut at the limit", "#!/bin/sh\nset -e\nhead -c 100000 /dev/zero | tr '\\0' y\nexit 4\n",
         4, 0, ys},
        // Without a look at the script while data flows, this would run into the bound.
        {"a writer left behind", "#!/bin/sh\necho first\nyes more &\nexit 6\n", 6, 0, left_behind},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        service_bench b;
        b.script("/usr/local/etc/rc.d/svc", c.body);
        b.root.enter();
        script_outcome o = hcp::run_script_bounded("/usr/local/etc/rc.d/svc", "configtest",
                                                   hcp::child_deadline(k_generous_seconds));
        ASSERT_EQ(end_name(o.how), std::string("exited"));
        EXPECT_EQ(o.exit_status, c.status);
        EXPECT_EQ(o.signal, c.signal);
        EXPECT_EQ(o.output(), c.output);
        EXPECT_EQ(o.output_text[o.output_length], '\0');
    }
}

TEST(RunScriptBounded, ScriptThatCannotRunIsNotRun)
{
    service_bench b;
    b.script("/usr/local/etc/rc.d/plain", "#!/bin/sh\necho ran\n");
    ::chmod(b.root.real("/usr/local/etc/rc.d/plain").c_str(), 0644);
    b.root.enter();
    const struct {
        const char *script;
        int error;
    } cases[] = {
        {"/usr/local/etc/rc.d/plain", EACCES},
        {"/usr/local/etc/rc.d/missing", ENOENT},
        {"/usr/local/etc/none.d/missing", ENOENT}, // its directory cannot be entered
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        script_outcome o = hcp::run_script_bounded(c.script, "configtest",
                                                   hcp::child_deadline(k_generous_seconds));
        EXPECT_EQ(end_name(o.how), std::string("not_run"));
        EXPECT_EQ(o.error, c.error);
        EXPECT_EQ(o.output(), "");
    }
}

TEST(RunScriptBounded, OverrunKillsTheScriptsProcessGroup)
{
    service_bench b;
    // Every process of the script's group holds the FIFO's writing end: it
    // hangs up once all of them are gone.
    std::string fifo = b.root.real("/held");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int held = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    b.script("/usr/local/etc/rc.d/hang",
             "#!/bin/sh\nexec 3>'" + fifo + "'\nsleep 100 &\necho started\nexec sleep 100\n");
    b.root.enter();
    // The bound is no alarm: a caller with SIGALRM blocked gets it all the same.
    sigset_t alarm_only, before;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &alarm_only, &before), 0);
    script_outcome o =
        hcp::run_script_bounded("/usr/local/etc/rc.d/hang", "configtest", hcp::child_deadline(2));
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);

    EXPECT_EQ(end_name(o.how), std::string("timed_out"));
    EXPECT_EQ(o.output(), "started\n");
    struct pollfd watched = {held, POLLIN, 0};
    ASSERT_EQ(::poll(&watched, 1, k_generous_seconds * 1000), 1)
        << "a process of the script's group outlived the bound";
    EXPECT_NE(watched.revents & POLLHUP, 0);
    ::close(held);
}

// Nothing a test leaves in its group outlives it, holding the pipe or not;
// and where the caller ignores SIGPIPE, the script does not: a writer whose
// reader is gone ends.
TEST(RunScriptBounded, NothingOfTheScriptOutlivesIt)
{
    const char note[] = "echo $! >\"$HCP_SYSROOT/left\"\n";
    const std::pair<std::string, std::string> cases[] = {
        {std::string("sleep 600 &\n") + note, ""},
        {std::string("sleep 600 >/dev/null 2>&1 &\n") + note, ""},
        {"while :; do echo x; done 2>/dev/null | head -n 1\n", "x\n"},
    };
    ::signal(SIGPIPE, SIG_IGN);
    for (const auto &[body, output] : cases) {
        SCOPED_TRACE(body);
        service_bench b;
        b.script("/usr/local/etc/rc.d/svc", "#!/bin/sh\n" + body);
        b.root.enter();
        script_outcome o = hcp::run_script_bounded("/usr/local/etc/rc.d/svc", "configtest",
                                                   hcp::child_deadline(10));
        EXPECT_EQ(end_name(o.how), std::string("exited"));
        EXPECT_EQ(o.output(), output);
        if (b.root.exists("/left")) {
            EXPECT_FALSE(hcp_test::keeps_running(std::stoi(b.root.read("/left"))));
            ::kill(std::stoi(b.root.read("/left")), SIGKILL);
        }
    }
    ::signal(SIGPIPE, SIG_DFL);
}

} // namespace
