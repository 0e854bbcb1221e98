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
#include <sys/stat.h>
#include <syslog.h>
#include <thread>

namespace
{

using hcp_test::run_result;
using strings = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string k_wm = "/usr/local/etc/hcp-webmail";
const std::string k_inc = "/usr/local/etc/apache22/Includes";
const std::string k_horde_include = k_inc + "/zzz_horde_vhost.conf";
const std::string k_script = "/usr/local/etc/rc.d/apache22";
// Notes each action; its configtest fails while an include file says BREAKS.
const char k_rc_stand_in[] =
    "#!/bin/sh\necho \"$1\" >>\"$HCP_SYSROOT/rc-actions\"\n[ \"$1\" = configtest ] || exit 0\n"
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
         "horde\tinclude-stale\t" + k_horde_include + "\trepaired\n",
         0,
         "",
         {},
         {"--no-restart"}},
        {"disabled webmail, and one without a row",
         [&] {
             db.exec("UPDATE Webmails SET enabled='false'");
             root->write(k_inc + "/zzz_atmail_vhost.conf", "restored\n");
         },
         "atmail\tinclude-unexpected\t" + k_inc + "/zzz_atmail_vhost.conf\trepaired\n" +
             "horde\tinclude-unexpected\t" + k_horde_include + "\trepaired\n",
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
          "Unable to get admin e-mail for horde vhost configuration\n"}},
        {"a set-default killed between its steps: the newest stays",
         [&] {
             root->write(atmail_alias, alias_line);
             set_mtime(atmail_alias, 0);
             set_mtime(horde_alias, 1);
         },
         "atmail\talias-duplicate\t" + atmail_alias + "\trepaired\n" + "horde\talias-duplicate\t" +
             horde_alias + "\trepaired\n",
         1, atmail_alias},
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
        {"a template Apache refuses",
         [&] { root->write(k_wm + "/horde/horde_vhost.conf", "BREAKS\n"); },
         "horde\tinclude-stale\t" + k_horde_include + "\tleft\n", 0},
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
        const std::string found = lines_of(c.synced, {"repaired", "left"});
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
        EXPECT_EQ(notices, std::count(c.synced.begin(), c.synced.end(), '\n') -
                               std::count(left.begin(), left.end(), '\n'));
        EXPECT_EQ(reloads(), c.reloads);
        EXPECT_TRUE(c.gone.empty() || !root->exists(c.gone));

        r = run(args); // what the sync left, and nothing else
        EXPECT_EQ(r.out, left);
        EXPECT_EQ(r.status, left.empty() ? 0 : 2);
    }
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

} // namespace
