// lanternctl's entry through its command line: the help text, the option
// rules, the checks that end a run, the log it writes and the configuration
// it reads, seen from outside as exit status, both streams and log lines.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <syslog.h>
#include <vector>

namespace
{

using args = std::vector<std::string>;

const std::string k_help =
    "Usage: lanternctl <command> [--no-restart] [OPTIONS]... \n"
    "\n"
    "COMMANDS:\n"
    "  --install --name=<webmail name>\n"
    "\t\tregister webmail into vexla database and generate apache vhost config\n"
    "  --remove --name=<webmail name>\n"
    "\t\tunregister webmail from vexla database and remove apache vhost config\n"
    "  --enable --name=<webmail name>\n"
    "\t\tswitch on webmail on server\n"
    "  --disable --name=<webmail name>\n"
    "\t\tswitch off webmail on server\n"
    "  --set-default --vhost-name=<vhost name> --name=<webmail name>\n"
    "\t\tset default webmail for selected vhost\n"
    "  --rename --vhost-name=<webmail name> --new-name=<new webmail name>\n"
    "\t\trename webmail vhost to new vhost name\n"
    "  --list\n"
    "\t\tPrint webmails which possible to use in this server\n"
    "  --check [--name=<webmail name>] [--vhost-name=<vhost name>] [--diff]\n"
    "\t\treport where webmail files differ from vexla database\n"
    "  --sync [--name=<webmail name>] [--vhost-name=<vhost name>]\n"
    "\t\trepair what --check reports, where it can\n"
    "  --no-restart\n"
    "\t\tDo not restart apache server after command action\n"
    "  -h, --help\n"
    "\t\tThis help message\n"
    "\n"
    "OPTIONS:\n"
    "  --name=[horde|atmail|squirrel|none]\n"
    "\t\tname of webmail\n";

const std::string k_unsafe = "ERROR: command-line argument is unsafe\n";
const std::string k_unsafe_log = "command-line argument is unsafe\n";
const std::string k_leftover =
    "Some parameters in command string leave unprocessed. Check parameters please.\n";
const std::string k_none = "Webmail name 'none' possible for --set-default key only\n";

std::string missing(const std::string &param)
{
    return "Miss parameter '" + param + "' or previos parameter empty.\n";
}

std::string unknown(const std::string &name)
{
    return "Unable to find webmail with name: " + name + "\n";
}

std::string joined(const args &a)
{
    std::string s;
    for (const auto &x : a)
        s += (s.empty() ? "" : " ") + x;
    return s;
}

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Entry : public testing::Test
{
  protected:
    // A configuration file is present, so the log holds only the tool's own lines.
    void SetUp() override { root.write_conf("# bench\n"); }

    hcp_test::run_result run(const args &a) { return hcp_test::run_tool(root, a); }

    // Every line the tool logs is its own: priority 3 under the log it opened.
    static void expect_log(const hcp_test::run_result &r, const std::vector<std::string> &messages)
    {
        EXPECT_EQ(r.messages(), messages);
        for (const auto &line : r.log) {
            EXPECT_EQ(line.priority, LOG_ERR) << line.message;
            EXPECT_EQ(line.ident, "lanternctl");
            EXPECT_EQ(line.facility, LOG_MAIL);
        }
    }

    hcp_test::temp_root root;
};

} // namespace

TEST_F(Entry, HelpIsPrintedWhenNoCommandComesFirst)
{
    struct {
        args argv;
        std::string err;
    } cases[] = {
        {{}, ""},
        {{"-h"}, ""},
        {{"--help"}, ""},
        {{"--he"}, ""},
        {{"--no-restart"}, ""},
        {{"--vhost-name=example.com"}, ""},
        {{"--new-name", "example.org"}, ""},
        // An option before the command option makes the run a help run.
        {{"--no-restart", "--list"}, ""},
        {{"-h", "--list"}, ""},
        {{"--vhost-name=example.com", "--rename", "--new-name=example.org"}, ""},
        {{"--verbose"}, "lanternctl: unrecognized option '--verbose'\n"},
        {{"-x"}, "lanternctl: invalid option -- 'x'\n"},
        // An abbreviation that fits two options fits none: then --name makes a help run.
        {{"--re", "--name=atmail"},
         "lanternctl: option '--re' is ambiguous; possibilities: '--remove' '--rename'\n"},
        {{"--s", "--name=horde"},
         "lanternctl: option '--s' is ambiguous; possibilities: '--set-default' '--sync'\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(joined(c.argv));
        auto r = run(c.argv);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, k_help);
        EXPECT_EQ(r.err, c.err);
        expect_log(r, {});
    }
}

TEST_F(Entry, OpensTheMailLogUnderArgumentZeroUnchanged)
{
    for (const std::string argv0 : {"lanternctl", "/usr/local/sbin/lanternctl", "./odd name"}) {
        std::string spy = root.dir() + "/.spy-" + std::to_string(std::hash<std::string>{}(argv0));
        const char *lib = std::getenv("HCP_SYSLOG_SPY_LIB");
        const char *asan = std::getenv("ASAN_OPTIONS");
        auto r = hcp_test::run_program(std::getenv("LANTERNCTL"),
                                       {argv0, "--install", "--name=squirrel"},
                                       {"HCP_SYSROOT=" + root.dir(), "HCP_SYSLOG_SPY=" + spy,
                                        "LD_PRELOAD=" + std::string(lib ? lib : ""),
                                        "ASAN_OPTIONS=verify_asan_link_order=0" +
                                            std::string(asan ? ":" : "") + (asan ? asan : "")},
                                       spy);
        EXPECT_EQ(r.status, 255);
        ASSERT_EQ(r.openlog.size(), 1u);
        EXPECT_EQ(r.openlog[0].ident, argv0);
        EXPECT_EQ(r.openlog[0].option, LOG_PID | LOG_CONS);
        EXPECT_EQ(r.openlog[0].facility, LOG_MAIL);
        ASSERT_EQ(r.log.size(), 1u);
        EXPECT_EQ(r.log[0].ident, argv0);
        EXPECT_EQ(r.log[0].priority, LOG_ERR);
        EXPECT_EQ(r.log[0].message, unknown("squirrel"));
    }
}

TEST_F(Entry, LeftOverArgumentsEndTheRunWithOne)
{
    for (const args &a :
         {args{"--list", "extra"}, args{"extra", "--list"}, args{"--install", "extra"},
          args{"--", "--list"}, args{"--install", "--name=horde", "horde"}}) {
        SCOPED_TRACE(joined(a));
        auto r = run(a);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, k_leftover);
        EXPECT_EQ(r.out, k_leftover);
        expect_log(r, {});
    }
}

TEST_F(Entry, MissingValuesAreCheckedInOrder)
{
    struct {
        args argv;
        std::string param;
        std::string getopt_err;
    } cases[] = {
        {{"--install"}, "name", ""},
        {{"--remove"}, "name", ""},
        {{"--enable"}, "name", ""},
        {{"--disable"}, "name", ""},
        {{"--install", "--name="}, "name", ""},
        {{"--install", "--name"}, "name", "lanternctl: option '--name' requires an argument\n"},
        {{"--set-default"}, "name", ""},
        {{"--set-default", "--name=horde"}, "vhost-name", ""},
        {{"--set-default", "--vhost-name=", "--name=horde"}, "vhost-name", ""},
        {{"--se", "--name=horde"}, "vhost-name", ""}, // set-default
        {{"--rename"}, "vhost-name", ""},
        {{"--rename", "--vhost-name=old.example"}, "new-name", ""},
        // A later command option adds its required values without changing the command.
        {{"--list", "--install"}, "name", ""},
        {{"--install", "--rename", "--name=horde"}, "vhost-name", ""},
        {{"-h", "--install"}, "name", ""},
        {{"--no-restart", "--set-default", "--vhost-name=example.com"}, "name", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(joined(c.argv));
        auto r = run(c.argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.getopt_err + missing(c.param));
        EXPECT_EQ(r.out, missing(c.param));
        expect_log(r, {});
    }
}

TEST_F(Entry, LengthLimitsRefuseWithTheWholeValue)
{
    const std::string name10 = "abcdefghij";
    const std::string host256(256, 'h');
    struct {
        args argv;
        std::string what;
        std::string value;
    } cases[] = {
        {{"--install", "--name=" + name10}, "Name too long", name10},
        {{"--install", "--name", name10}, "Name too long", name10},
        {{"--list", "--name=" + name10 + name10}, "Name too long", name10 + name10},
        {{"--install", "--name=horde", "--name=" + name10}, "Name too long", name10},
        // Refused at once: the left-over argument is never looked at.
        {{"--name=" + name10, "extra"}, "Name too long", name10},
        {{"--set-default", "--vhost-name=" + host256}, "vhost-name too long", host256},
        {{"--rename", "--new-name=" + host256 + "x"}, "new-vhost-name too long", host256 + "x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = run(c.argv);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, c.what + ": " + c.value + "\n");
        EXPECT_EQ(r.err, "");
        expect_log(r, {c.what});
    }
}

TEST_F(Entry, ValuesAtTheLimitAreTaken)
{
    // Nine characters reach the name check; 255 reach the next check.
    auto nine = run({"--install", "--name=abcdefghi"});
    EXPECT_EQ(nine.status, 255);
    EXPECT_EQ(nine.out, unknown("abcdefghi") + "Possible name was defined incorrect.\n");
    expect_log(nine, {unknown("abcdefghi")});

    const std::string host255(255, 'h');
    auto vhost = run({"--install", "--vhost-name=" + host255});
    EXPECT_EQ(vhost.status, 1);
    EXPECT_EQ(vhost.out, missing("name"));
    auto new_name = run({"--rename", "--new-name=" + host255});
    EXPECT_EQ(new_name.status, 1);
    EXPECT_EQ(new_name.out, missing("vhost-name"));
}

TEST_F(Entry, UnsafeCharactersWarnAndTheRunGoesOn)
{
    struct {
        args argv;
        int status;
        std::string out;
        std::string err;
        std::vector<std::string> log;
    } cases[] = {
        {{"--install", "--vhost-name=a;b"},
         1,
         k_unsafe + missing("name"),
         missing("name"),
         {k_unsafe_log}},
        {{"--rename", "--new-name=a`b"},
         1,
         k_unsafe + missing("vhost-name"),
         missing("vhost-name"),
         {k_unsafe_log}},
        {{"--install", "--name=x'y", "--vhost-name=c;d"},
         255,
         k_unsafe + k_unsafe + unknown("x'y") + "Possible name was defined incorrect.\n",
         "",
         {k_unsafe_log, k_unsafe_log, unknown("x'y")}},
        // The warning comes before the length check.
        {{"--install", "--name=;;;;;;;;;;"},
         255,
         k_unsafe + "Name too long: ;;;;;;;;;;\n",
         "",
         {k_unsafe_log, "Name too long"}},
        // getopt_long refuses the option itself: nothing to check.
        {{"--bogus=a;b"}, 0, k_help, "lanternctl: unrecognized option '--bogus=a;b'\n", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(joined(c.argv));
        auto r = run(c.argv);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        expect_log(r, c.log);
    }
}

TEST_F(Entry, NoneIsForSetDefaultOnly)
{
    for (const args &a : {
             args{"--install", "--name=none"},
             args{"--remove", "--name=none"},
             args{"--enable", "--name=none"},
             args{"--disable", "--name=none"},
             args{"--list", "--name=none"},
             args{"--rename", "--vhost-name=a.example", "--new-name=b.example", "--name=none"},
             args{"--name=none"},
             // The command is help here, not set-default.
             args{"--no-restart", "--set-default", "--vhost-name=example.com", "--name=none"},
             args{"-h", "--set-default", "--vhost-name=example.com", "--name=none"},
         }) {
        SCOPED_TRACE(joined(a));
        auto r = run(a);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, k_none);
        EXPECT_EQ(r.err, "");
        expect_log(r, {k_none});
    }

    auto set_default =
        run({"--set-default", "--vhost-name=example.com", "--name=none", "--no-restart"});
    EXPECT_EQ(set_default.out.find(k_none), std::string::npos) << set_default.out;
    for (const auto &m : set_default.messages())
        EXPECT_NE(m, k_none);
}

TEST_F(Entry, UnknownWebmailNamesAreRefused)
{
    for (const args &a : {
             args{"--install", "--name=squirrel"},
             args{"--remove", "--name=Horde"},
             args{"--enable", "--name=atmai"},
             args{"--disable", "--name=hordes"},
             args{"--set-default", "--vhost-name=example.com", "--name=squirrel"},
             args{"--inst", "--name=squirrel"},
             // The checks run before the help is printed.
             args{"--name=squirrel", "--install"},
         }) {
        SCOPED_TRACE(joined(a));
        std::string name = a[0] == "--name=squirrel" ? "squirrel" : a.back().substr(7);
        auto r = run(a);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, unknown(name) + "Possible name was defined incorrect.\n");
        EXPECT_EQ(r.err, "");
        expect_log(r, {unknown(name)});
    }
}

// Nothing under the root defines a webmail, so every known name stops at
// its definition, whichever command set the name-required flag. The lock is
// the password file's; a wrong password keeps the catalogue out of reach.
TEST_F(Entry, KnownNamesGoOnToTheirDefinition)
{
    root.write("/etc/hcp/.hcp.shadow", "not the password\n", 0600);
    for (const args &a : {
             args{"--install", "--name=horde"},
             args{"--enable", "--name=atmail"},
             args{"--remove", "--name=atmailcom"},
             args{"--rem", "--name=atmailcom"},
             args{"--name=horde", "--install"},
             args{"--list", "--install", "--name=horde"},
             args{"--install", "--remove", "--name=horde"},
         }) {
        SCOPED_TRACE(joined(a));
        std::string name = a.back() == "--install" ? "horde" : a.back().substr(7);
        std::string summary = "Unable to get options for " + name + " webmail\n";
        auto r = run(a);
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(ends_with(r.out, summary)) << r.out;
        EXPECT_EQ(r.out.find("Unable to find webmail"), std::string::npos);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back().message, summary);
        EXPECT_EQ(r.log.back().priority, LOG_ERR);
    }

    // Without the password file no change can be made: its lock cannot be had.
    std::remove(root.real("/etc/hcp/.hcp.shadow").c_str());
    auto r = run({"--install", "--name=horde"});
    const std::string no_lock = "Unable to lock /etc/hcp/.hcp.shadow: No such file or directory\n";
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, no_lock);
    expect_log(r, {no_lock});
}

TEST_F(Entry, AFailedListEndsWithItsSummary)
{
    // No database password lies under the root: the list cannot be printed.
    const std::string summary = "Unable to print webmails list. \n";
    for (const args &a :
         {args{"--list"}, args{"--list", "--name=squirrel"}, args{"--list", "--no-restart"}}) {
        SCOPED_TRACE(joined(a));
        auto r = run(a);
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(ends_with(r.out, summary)) << r.out;
        EXPECT_EQ(r.out.find(k_help), std::string::npos);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back().message, summary);
        EXPECT_EQ(r.log.back().priority, LOG_ERR);
    }
}

TEST_F(Entry, ReadsTheConfigurationBeneathTheRoot)
{
    root.write_conf("HTTPD_SERVICE apache22\nBAD=line\n");
    auto r = run({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, k_help);
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].priority, 12);
    EXPECT_EQ(r.log[0].message,
              "Invalid variable definition BAD=line\n\nExpected a space after variable name\n");
}

TEST(EntryWithoutConfiguration, GoesOnWithDefaultsAndNoStaleError)
{
    hcp_test::temp_root root;
    auto r = hcp_test::run_tool(root, {"--install"});
    // The failed open of the file must not leak into the report as a system error.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, missing("name"));
    EXPECT_EQ(r.out, missing("name"));
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].priority, 12);
    EXPECT_EQ(r.log[0].message,
              "unable to open configuration file /etc/hcp/hcp.conf: No such file or directory\n");
}
