// --check and --sync through the command line: each finding, what the check
// prints for it and that it changes nothing, what the sync repairs or leaves.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace
{

using hcp_test::run_result;
using strings = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string k_wm = "/usr/local/etc/hcp-webmail";
const std::string k_inc = "/usr/local/etc/apache22/Includes";
const std::string k_horde_include = k_inc + "/zzz_horde_vhost.conf";
const std::string k_atmail_include = k_inc + "/zzz_atmail_vhost.conf";
const std::string k_script = "/usr/local/etc/rc.d/apache22";
// Notes each action; its configtest fails while an include file says BREAKS.
const char k_rc_stand_in[] =
    "#!/bin/sh\necho \"$1\" >>\"$HCP_SYSROOT/rc-actions\"\n"
    "[ \"$1\" = reload ] && [ -e \"$HCP_SYSROOT/reload-fails\" ] && echo refused && exit 1\n"
    "[ \"$1\" = configtest ] || exit 0\n"
    "! cat \"$HCP_SYSROOT/usr/local/etc/apache22/Includes/\"*.conf 2>/dev/null | grep -q BREAKS\n";

class CliCheck : public testing::Test
{
  protected:
    hcp_test::bench_db db;
    std::unique_ptr<hcp_test::temp_root> root;

    // horde installed and chosen for example.com; atmailcom shares horde's conf.d.
    void prepare()
    {
        db.reset();
        root = std::make_unique<hcp_test::temp_root>();
        root->write_password();
        root->write_conf("HTTPD_INCLUDE_D " + k_inc + "\nHTTPD_SERVICE apache22\n");
        root->write(k_script, k_rc_stand_in, 0755);
        root->write("/usr/sbin/httpd",
                    "#!/bin/sh\necho 'Server version: Apache/2.2.3'\n"
                    "echo \"Server's Module Magic Number: 20051115:3\"\n",
                    0755);
        db.exec(
            "INSERT INTO misc VALUES ('FullHostName', 'host.example'), ('admin_email', 'pm@x')");
        db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.1')");
        for (std::string w : {"atmail", "horde"}) {
            root->write(k_wm + "/" + w + "/" + w + ".conf",
                        "alias=" + w + "\nname=" + w +
                            "\nversion=1\nrelease=1\ndocroot=/www\n"
                            "enabled=true\n");
            root->write(k_wm + "/" + w + "/" + w + "_vhost.conf",
                        "<VirtualHost@WEBMAIL_IP_ADDRESS@>\n");
            root->mkdir(k_wm + "/" + w + "/conf.d");
        }
        root->mkdir(k_inc);
        fs::create_directories(root->real(k_wm + "/atmailcom"));
        fs::create_directory_symlink("../horde/conf.d", root->real(k_wm + "/atmailcom/conf.d"));
        ASSERT_EQ(run({"--install", "--name=horde"}).status, 0);
        ASSERT_EQ(run({"--install", "--name=atmail"}).status, 0);
        ASSERT_EQ(run({"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"})
                      .status,
                  0);
        fs::remove(root->real("/rc-actions"));
    }

    run_result run(const strings &args) { return hcp_test::run_tool(*root, args); }

    void set_mtime(const std::string &logical, long nanoseconds) const
    {
        const timespec times[2] = {{1700000000, 0}, {1700000000, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, root->real(logical).c_str(), times, 0), 0);
    }

    // Every file beneath the root with its content, but the run's records.
    std::map<std::string, std::string> tree() const
    {
        std::map<std::string, std::string> files;
        for (const auto &e : fs::recursive_directory_iterator(root->dir())) {
            std::string name = e.path().string().substr(root->dir().size());
            if (name != "/.syslog-spy" && name != "/rc-actions")
                files[name] = e.is_symlink()     ? "-> " + fs::read_symlink(e.path()).string()
                              : e.is_directory() ? "/"
                                                 : hcp_test::read_file(e.path());
        }
        return files;
    }

    int reloads() const
    {
        std::istringstream in(root->exists("/rc-actions") ? root->read("/rc-actions") : "");
        int n = 0;
        for (std::string action; std::getline(in, action);)
            n += action == "reload";
        return n;
    }
};

// The lines of `text` whose last field is one of `outcomes`, that field cut.
std::string lines_of(const std::string &text, const strings &outcomes)
{
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        size_t tab = line.rfind('\t');
        if (std::find(outcomes.begin(), outcomes.end(), line.substr(tab + 1)) != outcomes.end())
            out += line.substr(0, tab) + "\n";
    }
    return out;
}

TEST_F(CliCheck, EachFindingCheckedThenSynced)
{
    const std::string horde_alias = k_wm + "/horde/conf.d/example.com";
    const std::string atmail_alias = k_wm + "/atmail/conf.d/example.com";
    const std::string alias_line = "ServerAlias webmail.example.com\n";
    const std::string long_host = std::string(64, 'a') + ".example";
    const struct {
        const char *what;
        std::function<void()> arrange;
        std::string synced; // what --sync prints; --check prints it without the last field
        int reloads;
        std::string gone = ""; // a file the sync removes
        strings check_log = {};
        strings args = {}; // --no-restart is given to the sync alone
    } cases[] = {
        {"nothing to find", [] {}, "", 0},
        {"include file deleted by hand", [&] { fs::remove(root->real(k_horde_include)); },
         "horde\tinclude-missing\t" + k_horde_include + "\trepaired\n", 1},
        {"a new address, no reload asked for",
         [&] { db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.9')"); },
         "atmail\tinclude-stale\t" + k_atmail_include + "\trepaired\n" + "horde\tinclude-stale\t" +
             k_horde_include + "\trepaired\n",
         0,
         "",
         {},
         {"--no-restart"}},
        {"disabled webmail, and one without a row",
         [&] {
             db.exec("UPDATE Webmails SET enabled='false'");
             db.exec("DELETE FROM Webmails WHERE product_id='atmail'");
             root->write(k_atmail_include, "restored\n");
         },
         "atmail\tinclude-unexpected\t" + k_atmail_include + "\trepaired\n" +
             "horde\talias-unserved\t" + horde_alias + "\tleft\n" + "horde\tinclude-unexpected\t" +
             k_horde_include + "\trepaired\n",
         1, k_horde_include},
        {"template gone",
         [&] { fs::remove(root->real(k_wm + "/horde/horde_vhost.conf")); },
         "horde\tinclude-unbuildable\t" + k_horde_include + "\tleft\n",
         0,
         "",
         {"Unable to find vhost template for horde webmail: " + k_wm + "/horde/horde_vhost.conf"}},
        {"host name without an ASCII form",
         [&] { db.exec("UPDATE misc SET val=IF(param='admin_email', '', '" + long_host + "')"); },
         "horde\tinclude-unbuildable\t" + k_horde_include + "\tleft\n",
         0,
         "",
         {"idn_toascii_safe(" + long_host + ") failed: Invalid length\n",
          "Unable to get admin e-mail for horde vhost configuration\n"},
         {"--name=horde"}},
        {"a set-default killed between its steps: the newest stays",
         [&] {
             root->write(atmail_alias, alias_line);
             set_mtime(atmail_alias, 0);
             set_mtime(horde_alias, 1);
         },
         "atmail\talias-duplicate\t" + atmail_alias + "\trepaired\n" + "horde\talias-duplicate\t" +
             horde_alias + "\tkept\n",
         1, atmail_alias},
        {"a duplicate in case only, as Apache compares host names",
         [&] {
             root->write(k_wm + "/atmail/conf.d/Example.COM", "ServerAlias webmail.Example.COM\n");
             set_mtime(horde_alias, 0);
             set_mtime(k_wm + "/atmail/conf.d/Example.COM", 1);
         },
         "atmail\talias-duplicate\t" + k_wm + "/atmail/conf.d/Example.COM\tkept\n" +
             "horde\talias-duplicate\t" + horde_alias + "\trepaired\n",
         1, horde_alias},
        {"one vhost, beside another that is not looked at",
         [&] {
             db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.9')");
             for (std::string w : {"atmail", "horde"})
                 for (std::string v : {"example.com", "b.example"})
                     root->write(k_wm + "/" + w + "/conf.d/" + v,
                                 "ServerAlias webmail." + v + "\n");
             set_mtime(atmail_alias, 0);
         },
         "atmail\talias-duplicate\t" + atmail_alias + "\trepaired\n" + "horde\talias-duplicate\t" +
             horde_alias + "\tkept\n",
         1,
         atmail_alias,
         {},
         {"--vhost-name=example.com"}},
        {"an alias file of a switched-off webmail is no duplicate",
         [&] {
             db.exec("UPDATE Webmails SET enabled='false' WHERE product_id='atmail'");
             fs::remove(root->real(k_atmail_include));
             root->write(atmail_alias, alias_line);
         },
         "atmail\talias-unserved\t" + atmail_alias + "\tleft\n", 0},
        {"a name that would forge a line",
         [&] { root->write(k_wm + "/horde/conf.d/x\n-\tconfigtest\tFORGED", alias_line); },
         "horde\talias-malformed\t" + k_wm +
             "/horde/conf.d/x\\012-\\011configtest\\011FORGED\tleft\n",
         0},
        {"a conf.d that a link takes out of the webmail root",
         [&] {
             root->write("/elsewhere/example.com", alias_line);
             set_mtime("/elsewhere/example.com", 0);
             fs::remove_all(root->real(k_wm + "/atmail/conf.d"));
             fs::create_directory_symlink(root->real("/elsewhere"),
                                          root->real(k_wm + "/atmail/conf.d"));
         },
         "atmail\talias-duplicate\t" + atmail_alias + "\tleft\n" + "horde\talias-duplicate\t" +
             horde_alias + "\tleft\n",
         0},
        {"duplicates of the same age",
         [&] {
             root->write(atmail_alias, alias_line);
             set_mtime(horde_alias, 5);
             set_mtime(atmail_alias, 5);
         },
         "atmail\talias-duplicate\t" + atmail_alias + "\tleft\n" + "horde\talias-duplicate\t" +
             horde_alias + "\tleft\n",
         0},
        {"alias files that set-default did not write",
         [&] {
             root->write(k_wm + "/horde/conf.d/b.example", "ServerAlias webmail.c.example\n");
             root->mkdir(k_wm + "/horde/conf.d/d.example");
             root->write(k_wm + "/horde/conf.d/.keep", "");
         },
         "horde\talias-malformed\t" + k_wm + "/horde/conf.d/b.example\tleft\n" +
             "horde\talias-malformed\t" + k_wm + "/horde/conf.d/d.example\tleft\n",
         0},
        {"a shared conf.d is the named webmail's",
         [&] { root->write(k_wm + "/horde/conf.d/b.example", ""); },
         "atmailcom\talias-malformed\t" + k_wm + "/atmailcom/conf.d/b.example\tleft\n",
         0,
         "",
         {},
         {"--name=atmailcom"}},
        {"killed runs' leftovers; the undo record decides the include file",
         [&] {
             root->write(k_inc + "/.zzz_horde_vhost.conf.old", root->read(k_horde_include));
             root->write(k_horde_include, "half-way\n");
             root->write(k_inc + "/.zzz_horde_vhost.conf.1234.0", "");
             root->write(k_wm + "/horde/conf.d/.lanternctl alias.new", "");
             root->write(k_wm + "/horde/conf.d/.lanternctl alias.99.1", "");
         },
         "horde\tleftover\t" + k_inc + "/.zzz_horde_vhost.conf.1234.0\trepaired\n" +
             "horde\tleftover\t" + k_inc + "/.zzz_horde_vhost.conf.old\trepaired\n" +
             "horde\tleftover\t" + k_wm + "/horde/conf.d/.lanternctl alias.99.1\trepaired\n" +
             "horde\tleftover\t" + k_wm + "/horde/conf.d/.lanternctl alias.new\trepaired\n",
         1},
        {"a new address, and a template Apache refuses",
         [&] {
             db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.9')");
             root->write(k_wm + "/horde/horde_vhost.conf", "BREAKS\n");
         },
         "atmail\tinclude-stale\t" + k_atmail_include + "\trepaired\n" + "horde\tinclude-stale\t" +
             k_horde_include + "\tleft\n",
         1},
        {"directories at the names the tool leaves, which are none of its own",
         [&] {
             root->mkdir(k_inc + "/.zzz_horde_vhost.conf.old");
             root->mkdir(k_wm + "/horde/conf.d/.lanternctl alias.new");
         },
         "horde\tleftover\t" + k_inc + "/.zzz_horde_vhost.conf.old\tleft\n" + "horde\tleftover\t" +
             k_wm + "/horde/conf.d/.lanternctl alias.new\tleft\n",
         0},
        {"a reload a sync left pending",
         [&] { root->write(k_inc + "/.lanternctl reload-pending", ""); },
         "-\treload-pending\t" + k_script + "\trepaired\n", 1},
        {"a configuration Apache refuses", [&] { root->write(k_inc + "/other.conf", "BREAKS\n"); },
         "-\tconfigtest\t" + k_script + "\tleft\n", 0},
        {"no configuration test where install would run none",
         [&] {
             root->write(k_inc + "/other.conf", "BREAKS\n");
             root->write_conf("HTTPD_INCLUDE_D " + k_inc + "\nHTTPD_SERVICE apache22\n" +
                              "NO_RESTART_DAEMON 1\n");
         },
         "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        prepare();
        c.arrange();
        strings args = {"--check"}, sync_args = {"--sync"};
        for (const auto &a : c.args) {
            if (a != "--no-restart")
                args.push_back(a);
            sync_args.push_back(a);
        }
        const std::string found = lines_of(c.synced, {"repaired", "kept", "left"});
        const std::string left = lines_of(c.synced, {"left"});
        auto before = tree();
        run_result r = run(args);
        EXPECT_EQ(r.out, found);
        EXPECT_EQ(r.status, found.empty() ? 0 : 2);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.messages(), c.check_log);
        EXPECT_EQ(tree(), before);
        EXPECT_EQ(reloads(), 0);

        r = run(sync_args);
        EXPECT_EQ(r.out, c.synced);
        EXPECT_EQ(r.status, left.empty() ? 0 : 2);
        EXPECT_EQ(r.err, "");
        auto notices = std::count_if(r.log.begin(), r.log.end(),
                                     [](const auto &l) { return l.priority == LOG_NOTICE; });
        const std::string repaired = lines_of(c.synced, {"repaired"});
        EXPECT_EQ(notices, std::count(repaired.begin(), repaired.end(), '\n'));
        EXPECT_EQ(reloads(), c.reloads);
        EXPECT_TRUE(c.gone.empty() || !root->exists(c.gone));

        r = run(args); // what the sync left, and nothing else
        EXPECT_EQ(r.out, left);
        EXPECT_EQ(r.status, left.empty() ? 0 : 2);
    }
}

// --diff shows, after the lines, what a sync would write in place of each
// stale or missing include file, and writes nothing.
TEST_F(CliCheck, DiffShowsWhatTheSyncWouldWrite)
{
    prepare();
    db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.9')");
    fs::remove(root->real(k_horde_include));
    auto before = tree();
    run_result r = run({"--check", "--diff"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "atmail\tinclude-stale\t" + k_atmail_include + "\n" +
                         "horde\tinclude-missing\t" + k_horde_include + "\n" + "--- " +
                         k_atmail_include + "\n+++ " + k_atmail_include +
                         "\n@@ -1 +1 @@\n-<VirtualHost 192.0.2.1:80>\n"
                         "+<VirtualHost 192.0.2.1:80 192.0.2.9:80>\n" +
                         "--- " + k_horde_include + "\n+++ " + k_horde_include +
                         "\n@@ -0,0 +1 @@\n+<VirtualHost 192.0.2.1:80 192.0.2.9:80>\n");
    EXPECT_EQ(tree(), before);
}

// A sync whose reload fails still says what it repaired, and fails; its
// change stays pending, which the check reports and the next sync reloads.
TEST_F(CliCheck, RepairsReachTheServerEvenAfterAFailedReload)
{
    prepare();
    db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.9')");
    root->write("/reload-fails", "");
    const std::string repaired = "atmail\tinclude-stale\t" + k_atmail_include + "\trepaired\n" +
                                 "horde\tinclude-stale\t" + k_horde_include + "\trepaired\n";
    run_result r = run({"--sync"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, repaired + "Unable to sync webmail files\n");
    EXPECT_EQ(r.err, "");
    strings log = r.messages();
    EXPECT_EQ(strings(log.end() - 3, log.end()),
              (strings{"'" + k_script + " reload' failed with status 1\n", "refused\n",
                       "Unable to sync webmail files\n"}));
    const std::string pending = "-\treload-pending\t" + k_script;
    r = run({"--check"});
    EXPECT_EQ(r.out, pending + "\n");
    EXPECT_EQ(r.status, 2);
    fs::remove(root->real("/reload-fails"));
    r = run({"--sync"});
    EXPECT_EQ(r.out, pending + "\trepaired\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(reloads(), 2);
    EXPECT_EQ(run({"--check"}).out, "");
}

// The check never sees a run's half-done state: it waits for the lock. What
// it cannot check fails it.
TEST_F(CliCheck, WaitsForTheLockAndFailsWhereItCannotLook)
{
    prepare();
    int lock = ::open(root->real("/etc/hcp/.hcp.shadow").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    run_result check;
    std::atomic<bool> done = false;
    std::thread waiting([&] {
        check = run({"--check"});
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(done);
    ::close(lock);
    waiting.join();
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(run({"--check", "--name=none"}).status, 255);
    EXPECT_EQ(run({"--sync", "--name=squirrel"}).status, 255);
    root->write("/etc/hcp/.hcp.shadow", "wrong\n", 0600);
    run_result r = run({"--check"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("Unable to check webmail files\n")) << r.out;
}

// What check or sync does not understand ends the run before the lock is
// waited for: the lock is held throughout, and the runs end at once.
TEST_F(CliCheck, RefusesWhatItDoesNotUnderstand)
{
    prepare();
    const std::string check = "lanternctl: --check was not run: it takes only --name, "
                              "--vhost-name and --diff\n";
    const std::string sync = "lanternctl: --sync was not run: it takes only --name, "
                             "--vhost-name and --no-restart\n";
    const std::string g = "lanternctl: ";
    const struct {
        strings args;
        std::string err;
    } cases[] = {
        {{"--sync", "--dry-run"}, g + "unrecognized option '--dry-run'\n" + sync},
        {{"-x", "--check"}, g + "invalid option -- 'x'\n" + check},
        {{"--check", "--n"},
         g + "option '--n' is ambiguous; possibilities: '--name' '--new-name' '--no-restart'\n" +
             check},
        {{"--sync", "--name"}, g + "option '--name' requires an argument\n" + sync},
        {{"--sync", "--vhost-name="}, sync},
        {{"--check", "--no-restart"}, check},
        {{"--sync", "--install", "--name=horde"}, sync},
        {{"--check", "-h"}, check},
    };
    int lock = ::open(root->real("/etc/hcp/.hcp.shadow").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    auto before = tree();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        run_result r = run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.messages(), strings{});
    }
    EXPECT_EQ(tree(), before);
    ::close(lock);

    for (const strings &args : {strings{"--check", "--diff"}, strings{"--sy", "--no-restart"},
                                strings{"--check", "--vhost-name=example.com"}}) {
        run_result r = run(args);
        EXPECT_TRUE(r.status == 0 || r.status == 2) << r.status;
        EXPECT_EQ(r.err, "");
    }
}

// The boot script as the install installs it (component boot), run by a copy
// that sources the stand-in for /etc/rc.subr (tests/helpers/rc.subr) instead.
class CliBoot : public CliCheck
{
  protected:
    std::string prefix, installed;

    void SetUp() override
    {
        prepare();
        prefix = root->real("/prefix");
        run_result r = hcp_test::run_program(std::getenv("HCP_CMAKE"),
                                             {"cmake", "--install", std::getenv("HCP_BUILD_DIR"),
                                              "--prefix", prefix, "--component", "boot"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::string path = prefix + "/etc/rc.d/lanternctl";
        ASSERT_EQ(::access(path.c_str(), X_OK), 0);
        installed = hcp_test::read_file(path);
        std::string copy = installed;
        const size_t at = copy.find("\n. /etc/rc.subr\n");
        ASSERT_NE(at, std::string::npos);
        copy.replace(at + 3, 12,
                     std::getenv("HCP_SOURCE_DIR") + std::string("/tests/helpers/rc.subr"));
        root->write("/boot-script", copy, 0755);
    }

    // The script's start with these lines in rc.conf, the built tool as the program.
    run_result start(const std::string &rc_conf, const strings &env = {})
    {
        root->write("/rc.conf", rc_conf + "lanternctl_program=" + std::getenv("LANTERNCTL") + "\n");
        strings settings = {"RC_CONF=" + root->real("/rc.conf")};
        settings.insert(settings.end(), env.begin(), env.end());
        // The tool's path, which run_tool_under appends, is an argument the script ignores.
        return hcp_test::run_tool_under({"/bin/sh", root->real("/boot-script"), "start"}, *root, {},
                                        settings);
    }
};

TEST_F(CliBoot, OrderedBeforeApacheOffByDefaultAndSyncsWithoutReload)
{
    for (const std::string &line :
         strings{"# PROVIDE: lanternctl", "# REQUIRE: SERVERS mysql",
                 "# BEFORE: apache apache2 apache22 apache24",
                 ": ${lanternctl_program:=\"" + prefix + "/sbin/lanternctl\"}"})
        EXPECT_NE(installed.find("\n" + line + "\n"), std::string::npos) << line;
    db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.9')");
    const std::string stale = root->read(k_horde_include);
    run_result r = start("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Cannot 'start' lanternctl. Set lanternctl_enable to YES in /etc/rc.conf or "
                     "use 'onestart' instead of 'start'.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(root->read(k_horde_include), stale);

    r = start("lanternctl_enable=\"YES\"\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "atmail\tinclude-stale\t" + k_atmail_include + "\trepaired\n" +
                         "horde\tinclude-stale\t" + k_horde_include + "\trepaired\n");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(root->read(k_horde_include), stale);
    EXPECT_EQ(reloads(), 0); // Apache starts next, on the repaired file
}

// A power cut during a configuration test stopped the database too: the
// killed run's untested file gives way all the same, the failure is
// reported on the console and in the log, and the boot goes on at once.
TEST_F(CliBoot, ReportsADatabaseDownAndGoesOn)
{
    const std::string earlier = root->read(k_horde_include);
    ASSERT_EQ(::link(root->real(k_horde_include).c_str(),
                     root->real(k_inc + "/.zzz_horde_vhost.conf.old").c_str()),
              0);
    root->write(k_horde_include + ".untested", "BREAKS\n");
    fs::rename(root->real(k_horde_include + ".untested"), root->real(k_horde_include));
    const std::string socket_path = root->real("/mysql.sock"); // left by the server's crash
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
    run_result r = start("lanternctl_enable=YES\n", {"MYSQL_UNIX_PORT=" + socket_path});
    EXPECT_EQ(r.status, 1); // rc.subr's for a start that failed
    EXPECT_TRUE(r.err.ends_with(root->real("/boot-script") +
                                ": WARNING: lanternctl: boot sync failed (status 255): see the "
                                "mail log\n"))
        << r.err;
    EXPECT_TRUE(r.out.ends_with("Unable to sync webmail files\n")) << r.out;
    EXPECT_EQ(
        r.messages(),
        (strings{"Rolled back the change of " + k_horde_include +
                     " that a killed run left undecided\n",
                 "Repaired leftover of horde webmail: " + k_inc + "/.zzz_horde_vhost.conf.old\n",
                 "Unable to connect to the mysql database\n", "Unable to sync webmail files\n"}));
    EXPECT_EQ(root->read(k_horde_include), earlier);
    EXPECT_FALSE(root->exists(k_inc + "/.zzz_horde_vhost.conf.old"));
}

} // namespace
