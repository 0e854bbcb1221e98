// set-default and rename through the command line: alias files beneath a
// temporary root, the definition from the private database server, and the
// web server's graceful reload through a recording stand-in rc.d script.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using hcp_test::run_result;
using hcp_test::temp_root;

namespace
{

const char k_horde_definition[] = "alias=horde\nname=Horde\nversion=3.1\nrelease=3\n"
                                  "docroot=/usr/local/www/horde\nenabled=true\n";

const std::string k_root = "/usr/local/etc/hcp-webmail";

class CliDefaults : public testing::Test
{
  protected:
    temp_root root;
    std::string record = root.dir() + "/rc-record";

    void SetUp() override
    {
        hcp_test::bench_db db;
        db.reset();
        root.write_password();
        root.write_conf("HTTPD_SERVICE apache22\n");
        for (const char *webmail : {"atmail", "horde", "atmailcom"})
            root.mkdir(k_root + "/" + webmail + "/conf.d");
        root.write(k_root + "/horde/horde.conf", k_horde_definition);
        hcp_test::install_rc_recorder(root, "/usr/local/etc/rc.d/apache22");
    }

    run_result run(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        env.push_back("RC_RECORD=" + record);
        return hcp_test::run_tool(root, args, env);
    }

    std::string alias(const std::string &webmail, const std::string &vhost) const
    {
        return k_root + "/" + webmail + "/conf.d/" + vhost;
    }

    std::vector<std::map<std::string, std::string>> reloads() const
    {
        return hcp_test::read_rc_records(record);
    }

    // Every entry of the webmails' conf.d directories, as "<webmail>/<name>".
    std::vector<std::string> conf_d_entries() const
    {
        std::vector<std::string> names;
        for (const char *webmail : {"atmail", "horde", "none", "atmailcom"}) {
            std::error_code ec;
            for (const auto &e : std::filesystem::directory_iterator(
                     root.real(k_root + "/" + webmail + "/conf.d"), ec))
                names.push_back(std::string(webmail) + "/" + e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Lowers the size limit for files this process and the tool it runs write.
class file_size_limit
{
  public:
    explicit file_size_limit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead
        struct rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~file_size_limit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, SIG_DFL);
    }
    file_size_limit(const file_size_limit &) = delete;
    file_size_limit &operator=(const file_size_limit &) = delete;

  private:
    struct rlimit saved_;
};

TEST_F(CliDefaults, SetDefaultWritesOneAliasFileAndReloads)
{
    root.write(alias("atmail", "example.com"), "old\n");
    root.write(alias("atmailcom", "example.com"), "old\n");
    auto r = run({"--set-default", "--vhost-name=example.com", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.log.empty());
    EXPECT_FALSE(root.exists(alias("atmail", "example.com")));
    EXPECT_FALSE(root.exists(alias("atmailcom", "example.com")));
    EXPECT_EQ(root.read(alias("horde", "example.com")), "ServerAlias webmail.example.com\n");
    struct stat st;
    ASSERT_EQ(::stat(root.real(alias("horde", "example.com")).c_str(), &st), 0);
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 07777, 0644 & ~mask);

    auto runs = reloads();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["argv0"], "/usr/local/etc/rc.d/apache22");
    EXPECT_EQ(runs[0]["args"], "reload");
    EXPECT_EQ(runs[0]["cwd"], root.real("/usr/local/etc/rc.d"));
    EXPECT_EQ(runs[0]["stdin"], "/dev/null");
    EXPECT_EQ(runs[0]["stdout"], "/dev/null");
    EXPECT_EQ(runs[0]["sid"], runs[0]["pid"]);

    // Again, and in capitals: one file, one line, the name as typed.
    EXPECT_EQ(run({"--set-default", "--vhost-name=example.com", "--name=horde"}).status, 0);
    EXPECT_EQ(run({"--set-default", "--vhost-name=EXAMPLE.NET", "--name=horde"}).status, 0);
    EXPECT_EQ(root.read(alias("horde", "example.com")), "ServerAlias webmail.example.com\n");
    EXPECT_EQ(root.read(alias("horde", "EXAMPLE.NET")), "ServerAlias webmail.EXAMPLE.NET\n");
}

// The changes are committed before the reload: it runs with the lock free,
// so a queued run need not wait for it.
TEST_F(CliDefaults, ReloadRunsWithoutTheLock)
{
    root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
    const std::string try_lock = "RC_TRY_LOCK=" + root.real("/etc/hcp/.hcp.shadow");
    EXPECT_EQ(run({"--set-default", "--vhost-name=example.net", "--name=horde"}, {try_lock}).status,
              0);
    EXPECT_EQ(
        run({"--rename", "--vhost-name=example.com", "--new-name=example.org"}, {try_lock}).status,
        0);
    auto runs = reloads();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0]["lock_free"], "1");
    EXPECT_EQ(runs[1]["lock_free"], "1");
}

TEST_F(CliDefaults, NoneRemovesEveryAliasFile)
{
    root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
    root.write(alias("none", "example.com"), "stray\n");
    auto r = run({"--set-default", "--vhost-name=example.com", "--name=none"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(root.exists(alias("horde", "example.com")));
    EXPECT_FALSE(root.exists(alias("none", "example.com")));
    EXPECT_EQ(reloads().size(), 1u);
    // Nothing to remove is fine too.
    EXPECT_EQ(run({"--set-default", "--vhost-name=example.com", "--name=none"}).status, 0);
}

TEST_F(CliDefaults, RestartCanBeSwitchedOff)
{
    EXPECT_EQ(
        run({"--set-default", "--vhost-name=a.example", "--name=horde", "--no-restart"}).status, 0);
    root.write_conf("HTTPD_SERVICE apache22\nNO_RESTART_DAEMON 0\n");
    EXPECT_EQ(run({"--set-default", "--vhost-name=b.example", "--name=horde"}).status, 0);
    EXPECT_TRUE(root.exists(alias("horde", "a.example")));
    EXPECT_TRUE(root.exists(alias("horde", "b.example")));
    EXPECT_TRUE(reloads().empty());
}

TEST_F(CliDefaults, FailingReloadIsReportedAndIgnored)
{
    auto r = run({"--set-default", "--vhost-name=example.com", "--name=horde"}, {"RC_EXIT=3"});
    EXPECT_EQ(r.status, 0);
    const std::string msg = "Service /usr/local/etc/rc.d/apache22 failed to gracefully restart\n";
    EXPECT_EQ(r.out, msg);
    EXPECT_EQ(r.err, msg);
    EXPECT_TRUE(root.exists(alias("horde", "example.com")));
}

TEST_F(CliDefaults, MissingOrIrregularScriptEndsWithStatusOneAfterTheChange)
{
    ::unlink(root.real("/usr/local/etc/rc.d/apache22").c_str());
    auto r = run({"--set-default", "--vhost-name=example.com", "--name=horde"});
    EXPECT_EQ(r.status, 1);
    const std::string msg = "No such file '/usr/local/etc/rc.d/apache22': No such file or "
                            "directory\nSystem error 2: No such file or directory\n";
    EXPECT_EQ(r.err, msg);
    EXPECT_EQ(r.out, msg);
    EXPECT_TRUE(root.exists(alias("horde", "example.com")));

    root.mkdir("/usr/local/etc/rc.d/apache22");
    r = run({"--set-default", "--vhost-name=example.org", "--name=horde"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Not a regular file: '/usr/local/etc/rc.d/apache22'\n");
    EXPECT_TRUE(root.exists(alias("horde", "example.org")));
}

TEST_F(CliDefaults, DefaultServiceNameIsDynamic)
{
    root.write_conf("");
    hcp_test::install_rc_recorder(root, "/usr/local/etc/rc.d/dynamic");
    EXPECT_EQ(run({"--set-default", "--vhost-name=example.com", "--name=horde"}).status, 0);
    auto runs = reloads();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["argv0"], "/usr/local/etc/rc.d/dynamic");
}

// A new alias file that cannot be written or put in place leaves the vhost's
// earlier choice byte for byte, and no temporary behind.
TEST_F(CliDefaults, FailedSetDefaultKeepsTheEarlierChoice)
{
    const std::string earlier = "ServerAlias webmail.example.com\n";
    struct {
        const char *what;
        std::function<void()> arrange;
        rlim_t file_size_limit;
        std::string error;
        std::vector<std::string> entries;
    } cases[] = {
        {"no conf.d",
         [this] { std::filesystem::remove_all(root.real(k_root + "/horde/conf.d")); },
         RLIM_INFINITY,
         "System error: No such file or directory",
         {"atmail/example.com"}},
        // The system log is recorded in a file too: under the limit it is lost.
        {"disk full", [] {}, 16, "", {"atmail/example.com"}},
        {"the final rename fails",
         [this] { root.write(alias("horde", "example.com") + "/x", ""); },
         RLIM_INFINITY,
         "System error: " + alias("horde", "example.com") + ": Is a directory\n",
         {"atmail/example.com", "horde/example.com"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        root.write(alias("atmail", "example.com"), earlier);
        c.arrange();
        run_result r;
        {
            file_size_limit limit(c.file_size_limit);
            r = run({"--set-default", "--vhost-name=example.com", "--name=horde"});
        }
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Unable to set default webmail for example.com vhost\n");
        EXPECT_EQ(r.err, "");
        if (!c.error.empty()) {
            EXPECT_EQ(r.messages(),
                      (std::vector<std::string>{
                          c.error, "Unable to set default webmail for example.com vhost\n"}));
        }
        EXPECT_EQ(root.read(alias("atmail", "example.com")), earlier);
        EXPECT_EQ(conf_d_entries(), c.entries);
        EXPECT_TRUE(reloads().empty());
    }
}

TEST_F(CliDefaults, UnsafeCharactersWarnAndTheDefaultIsStillSet)
{
    auto r = run({"--set-default", "--vhost-name=a;b", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ERROR: command-line argument is unsafe\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.messages(), std::vector<std::string>{"command-line argument is unsafe\n"});
    EXPECT_EQ(root.read(alias("horde", "a;b")), "ServerAlias webmail.a;b\n");
    EXPECT_EQ(reloads().size(), 1u);
}

// The new choice is in place before any other file goes: a removal that
// fails after the earlier choice is gone still leaves the vhost a webmail.
TEST_F(CliDefaults, AliasFileThatCannotBeRemovedKeepsTheNewChoice)
{
    root.write(alias("atmail", "example.com"), "ServerAlias webmail.example.com\n");
    root.mkdir(alias("horde", "example.com"));
    root.write(k_root + "/atmailcom/atmailcom.conf",
               "alias=atmailcom\nname=AtMail\nversion=1\nrelease=1\ndocroot=/www\nenabled=true\n");
    auto r = run({"--set-default", "--vhost-name=example.com", "--name=atmailcom"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Unable to set default webmail for example.com vhost\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.messages(),
              (std::vector<std::string>{"System error: Is a directory",
                                        "Unable to set default webmail for example.com vhost\n"}));
    EXPECT_EQ(root.read(alias("atmailcom", "example.com")), "ServerAlias webmail.example.com\n");
    EXPECT_EQ(conf_d_entries(),
              (std::vector<std::string>{"atmailcom/example.com", "horde/example.com"}));
    EXPECT_TRUE(reloads().empty());
}

// Two webmails whose conf.d is one directory: the new file is the other's
// alias file too, and stays.
TEST_F(CliDefaults, LinkedConfDKeepsTheChosenFile)
{
    std::filesystem::remove_all(root.real(k_root + "/atmailcom/conf.d"));
    std::filesystem::create_directory_symlink("../horde/conf.d",
                                              root.real(k_root + "/atmailcom/conf.d"));
    EXPECT_EQ(run({"--set-default", "--vhost-name=example.com", "--name=horde"}).status, 0);
    EXPECT_EQ(root.read(alias("horde", "example.com")), "ServerAlias webmail.example.com\n");
}

// Each rename step that fails names its own vhost, and nothing is reloaded.
TEST_F(CliDefaults, RenameFailuresNameTheirStep)
{
    struct {
        const char *what;
        std::function<void()> prepare;
        std::vector<std::string> log;
        bool new_written; // the new vhost's file comes before the old one goes
    } cases[] = {
        {"old vhost cannot be examined",
         [this] {
             std::filesystem::create_symlink("example.com",
                                             root.real(alias("atmail", "example.com")));
         },
         {"System error: Too many levels of symbolic links\n",
          "Unable to rename vhost from example.com to example.org\n"},
         false},
        {"old alias cannot be removed",
         [this] { root.mkdir(alias("horde", "example.com")); },
         {"System error: Is a directory", "Unable to set default webmail for example.com vhost\n"},
         true},
        {"new vhost's other alias cannot be removed",
         [this] {
             root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
             root.mkdir(alias("atmail", "example.org"));
         },
         {"System error: Is a directory", "Unable to set default webmail for example.org vhost\n"},
         true},
        {"new alias cannot be put in place",
         [this] {
             root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
             root.write(alias("horde", "example.org") + "/x", "");
         },
         {"System error: " + alias("horde", "example.org") + ": Is a directory\n",
          "Unable to set default webmail for example.org vhost\n"},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *webmail : {"atmail", "horde", "atmailcom"})
            std::filesystem::remove_all(root.real(k_root + "/" + webmail + "/conf.d"));
        for (const char *webmail : {"atmail", "horde", "atmailcom"})
            root.mkdir(k_root + "/" + webmail + "/conf.d");
        c.prepare();
        auto r = run({"--rename", "--vhost-name=example.com", "--new-name=example.org"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, c.log.back());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.messages(), c.log);
        if (c.new_written)
            EXPECT_EQ(root.read(alias("horde", "example.org")),
                      "ServerAlias webmail.example.org\n");
        else
            EXPECT_FALSE(
                std::filesystem::is_regular_file(root.real(alias("horde", "example.org"))));
        EXPECT_TRUE(reloads().empty());
    }
    // The old vhost keeps its file when the new one cannot be written.
    EXPECT_EQ(root.read(alias("horde", "example.com")), "ServerAlias webmail.example.com\n");
}

TEST_F(CliDefaults, RenameToItselfKeepsTheFile)
{
    root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
    struct stat before, after;
    ASSERT_EQ(::stat(root.real(alias("horde", "example.com")).c_str(), &before), 0);
    auto r = run({"--rename", "--vhost-name=example.com", "--new-name=example.com"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    ASSERT_EQ(::stat(root.real(alias("horde", "example.com")).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(root.read(alias("horde", "example.com")), "ServerAlias webmail.example.com\n");
    EXPECT_EQ(reloads().size(), 1u);
}

// The new file replaces a link planted at the alias path; whatever the link
// pointed to is never written.
TEST_F(CliDefaults, PlantedLinkIsReplacedNotWrittenThrough)
{
    root.write("/victim", "precious\n");
    for (const char *webmail : {"horde", "atmail"}) {
        SCOPED_TRACE(webmail);
        std::filesystem::remove(root.real(alias(webmail, "example.com")));
        std::filesystem::create_symlink(root.real("/victim"),
                                        root.real(alias(webmail, "example.com")));
        auto r = run({"--set-default", "--vhost-name=example.com", "--name=horde"});
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(std::filesystem::is_symlink(root.real(alias("horde", "example.com"))));
        EXPECT_EQ(root.read(alias("horde", "example.com")), "ServerAlias webmail.example.com\n");
        EXPECT_EQ(root.read("/victim"), "precious\n");
    }
    EXPECT_EQ(conf_d_entries(), std::vector<std::string>{"horde/example.com"});
}

// A temporary a killed run left (here a link to a file of someone else's) is
// removed by the next run that writes in that directory, never written
// through, and never taken for an alias file.
TEST_F(CliDefaults, TemporaryOfAKilledRunGoesWithTheNextWrite)
{
    const std::string leftover = k_root + "/horde/conf.d/.lanternctl alias.new";
    root.write("/victim", "precious\n");
    ASSERT_EQ(::symlink(root.real("/victim").c_str(), root.real(leftover).c_str()), 0);
    root.write(k_root + "/atmail/conf.d/.lanternctl alias.new", "ServerAl");
    EXPECT_EQ(run({"--set-default", "--vhost-name=example.org", "--name=horde"}).status, 0);
    EXPECT_EQ(root.read(alias("horde", "example.org")), "ServerAlias webmail.example.org\n");
    EXPECT_EQ(root.read("/victim"), "precious\n");
    EXPECT_EQ(conf_d_entries(),
              (std::vector<std::string>{"atmail/.lanternctl alias.new", "horde/example.org"}));
}

TEST_F(CliDefaults, RenameMovesTheChoice)
{
    root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
    root.write(alias("atmail", "example.org"), "ServerAlias webmail.example.org\n");
    auto r = run({"--rename", "--vhost-name=example.com", "--new-name=example.org"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(root.exists(alias("horde", "example.com")));
    EXPECT_FALSE(root.exists(alias("atmail", "example.org")));
    EXPECT_EQ(root.read(alias("horde", "example.org")), "ServerAlias webmail.example.org\n");
    EXPECT_EQ(reloads().size(), 1u);
}

TEST_F(CliDefaults, RenameTakesTheFirstWebmailInListOrder)
{
    root.write(alias("horde", "example.com"), "x\n");
    root.write(alias("atmail", "example.com"), "x\n");
    EXPECT_EQ(run({"--rename", "--vhost-name=example.com", "--new-name=example.org"}).status, 0);
    EXPECT_EQ(root.read(alias("atmail", "example.org")), "ServerAlias webmail.example.org\n");
    EXPECT_FALSE(root.exists(alias("horde", "example.org")));
    EXPECT_FALSE(root.exists(alias("horde", "example.com")));
}

TEST_F(CliDefaults, RenameCountsAnyKindOfFileAsTheOldAlias)
{
    std::filesystem::create_directory_symlink(".", root.real(alias("horde", "example.com")));
    EXPECT_EQ(run({"--rename", "--vhost-name=example.com", "--new-name=example.org"}).status, 0);
    EXPECT_FALSE(std::filesystem::is_symlink(root.real(alias("horde", "example.com"))));
    EXPECT_EQ(root.read(alias("horde", "example.org")), "ServerAlias webmail.example.org\n");
}

// A rename retried after it completed finds no alias file for the old vhost:
// it changes nothing, so the new vhost keeps the choice it was given.
TEST_F(CliDefaults, RenameRetriedEndsAsOneRename)
{
    root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
    for (int attempt = 0; attempt < 2; attempt++) {
        SCOPED_TRACE(attempt);
        auto r = run({"--rename", "--vhost-name=example.com", "--new-name=example.org"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_TRUE(r.log.empty());
        EXPECT_EQ(conf_d_entries(), std::vector<std::string>{"horde/example.org"});
        EXPECT_EQ(root.read(alias("horde", "example.org")), "ServerAlias webmail.example.org\n");
    }
    EXPECT_EQ(reloads().size(), 2u);
}

TEST_F(CliDefaults, UnsafeVhostNamesAreRefusedBeforeAnyChange)
{
    root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
    root.write(k_root + "/horde/x", "keep\n");
    for (std::string bad : {".", "..", "conf.d/../../x", "a b", "a\nb", "a\tb", "a\x7f", "/x",
                            "a\\", "a\\b", "*", "*.example.com", "a?b"}) {
        SCOPED_TRACE(bad);
        auto r = run({"--set-default", "--vhost-name=" + bad, "--name=horde"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Invalid vhost name: " + bad + "\n");
        ASSERT_EQ(r.log.size(), 1u);
        EXPECT_EQ(r.log[0].priority, 3);
        EXPECT_EQ(r.log[0].message, "Invalid vhost name: " + bad + "\n");

        r = run({"--rename", "--vhost-name=example.com", "--new-name=" + bad});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Invalid vhost name: " + bad + "\n");
        r = run({"--rename", "--vhost-name=" + bad, "--new-name=example.org"});
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(root.read(alias("horde", "example.com")), "ServerAlias webmail.example.com\n");
    EXPECT_EQ(root.read(k_root + "/horde/x"), "keep\n");
    EXPECT_TRUE(reloads().empty());
}

TEST_F(CliDefaults, WebmailChecksComeFirst)
{
    auto r = run({"--set-default", "--vhost-name=a b", "--name=squirrel"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Unable to find webmail with name: squirrel\nPossible name was defined "
                     "incorrect.\n");
}

} // namespace
