// Every file-changing system call of every state-changing command, made to
// fail once by strace: the files Apache reads end as they were before the
// command or as it leaves them, never in between, never empty, with no
// temporary left, and set-default and rename never lose the vhost's webmail.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <unistd.h>

using hcp_test::run_result;
using hcp_test::temp_root;
using strings = std::vector<std::string>;

namespace
{

const char k_strace[] = "/usr/bin/strace";
const std::string k_root = "/usr/local/etc/hcp-webmail";
const std::string k_include_dir = "/usr/local/etc/apache22/Includes";
const std::string k_include = k_include_dir + "/zzz_horde_vhost.conf";
const char *const k_webmails[] = {"atmail", "horde", "none", "atmailcom"};
// LeakSanitizer cannot work under ptrace; the other tests look for leaks.
const strings k_env = {"ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
// Each counted and failed on its own: strace numbers the calls per name.
const char *const k_syscalls[] = {"open",      "openat", "write",    "fsync", "rename", "renameat",
                                  "renameat2", "unlink", "unlinkat", "mkdir", "mkdirat"};

std::string alias(const std::string &webmail, const std::string &vhost)
{
    return k_root + "/" + webmail + "/conf.d/" + vhost;
}

// The files Apache reads, by logical path: content, or nothing when absent.
using files = std::map<std::string, std::optional<std::string>>;

struct command {
    strings args;
    // A set-default's earlier and new choice, a rename's old and moved one:
    // whatever happens, one of the two is there.
    std::string earlier, chosen;
};

class CliFaultsSlow : public testing::Test
{
  protected:
    hcp_test::bench_db db;

    void SetUp() override { db.reset(); }

    // The fixed starting state: horde registered and its include file
    // written, example.com served by atmail, example.org by atmailcom.
    void arrange(const temp_root &root)
    {
        for (const char *table : {"Webmails", "misc", "IP_Addresses"})
            db.exec(std::string("DELETE FROM ") + table);
        db.exec("INSERT INTO Webmails VALUES (NULL, 'horde', 'Horde', '3.1', '3', '/www', 'true')");
        db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example')");
        db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.1')");
        root.write_password();
        root.write_conf("HTTPD_INCLUDE_D " + k_include_dir + "\n");
        root.write("/usr/sbin/httpd",
                   "#!/bin/sh\necho 'Server version: Apache/2.2.3'\n"
                   "echo \"Server's Module Magic Number: 20051115:3\"\n",
                   0755);
        for (const char *webmail : k_webmails)
            root.mkdir(k_root + "/" + webmail + "/conf.d");
        root.write(k_root + "/horde/horde_vhost.conf",
                   "<VirtualHost@WEBMAIL_IP_ADDRESS@>\nDocumentRoot @WEBMAIL_DOCROOT@\n");
        root.write(k_include, "# earlier\n");
        root.write(alias("atmail", "example.com"), "ServerAlias webmail.example.com\n");
        root.write(alias("atmailcom", "example.org"), "ServerAlias webmail.example.org\n");
    }

    static files snapshot(const temp_root &root)
    {
        files now;
        strings paths{k_include};
        for (const char *webmail : k_webmails)
            for (const char *vhost : {"example.com", "example.org"})
                paths.push_back(alias(webmail, vhost));
        for (const auto &path : paths)
            now[path] = root.exists(path) ? std::optional(root.read(path)) : std::nullopt;
        return now;
    }

    // Entries of the watched directories that are neither live files nor
    // the webmail's own: temporaries a run left behind.
    static strings leftovers(const temp_root &root)
    {
        strings names;
        strings dirs{k_include_dir};
        for (const char *webmail : k_webmails)
            dirs.push_back(k_root + "/" + webmail + "/conf.d");
        for (const auto &dir : dirs) {
            std::error_code ec;
            for (const auto &e : std::filesystem::directory_iterator(root.real(dir), ec)) {
                std::string name = e.path().filename().string();
                if (name != "zzz_horde_vhost.conf" && name != "example.com" &&
                    name != "example.org")
                    names.push_back(dir + "/" + name);
            }
        }
        return names;
    }

    strings rows() { return flatten(db.rows("SELECT product_id, enabled FROM Webmails")); }

    static strings flatten(const std::vector<hcp_test::bench_db::row> &table)
    {
        strings cells;
        for (const auto &row : table)
            for (const auto &cell : row)
                cells.push_back(cell.value_or("NULL"));
        return cells;
    }
};

TEST_F(CliFaultsSlow, EveryFileChangingCallFailsOnce)
{
    if (::access(k_strace, X_OK) != 0)
        GTEST_SKIP() << k_strace << " is missing (scripts/install-deps installs strace)";
    const command commands[] = {
        {{"--install", "--name=horde"}, "", ""},
        {{"--enable", "--name=horde"}, "", ""},
        {{"--disable", "--name=horde"}, "", ""},
        {{"--remove", "--name=horde"}, "", ""},
        {{"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"},
         alias("atmail", "example.com"),
         alias("horde", "example.com")},
        {{"--set-default", "--vhost-name=example.com", "--name=none", "--no-restart"}, "", ""},
        {{"--rename", "--vhost-name=example.com", "--new-name=example.org", "--no-restart"},
         alias("atmail", "example.com"),
         alias("atmail", "example.org")},
    };
    std::string traced;
    for (const char *name : k_syscalls)
        traced += std::string(traced.empty() ? "" : ",") + name;

    int runs = 0;
    for (const command &c : commands) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        // Once without a fault: the state after, and how often each call is made.
        files before, after;
        strings rows_after;
        std::map<std::string, int> calls;
        {
            temp_root root;
            arrange(root);
            before = snapshot(root);
            std::string trace = root.dir() + "/.trace";
            run_result r = hcp_test::run_tool_under(
                {k_strace, "-qq", "-o", trace, "-e", "trace=" + traced}, root, c.args, k_env);
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            after = snapshot(root);
            rows_after = rows();
            std::istringstream lines(hcp_test::read_file(trace));
            for (std::string line; std::getline(lines, line);)
                for (const char *name : k_syscalls)
                    if (line.starts_with(std::string(name) + "("))
                        calls[name]++;
        }
        for (const auto &[name, count] : calls) {
            for (int n = 1; n <= count; n++) {
                std::string what = name + " #" + std::to_string(n);
                SCOPED_TRACE(what);
                runs++;
                temp_root root;
                arrange(root);
                run_result r = hcp_test::run_tool_under(
                    {k_strace, "-qq", "-o", "/dev/null", "-e", "trace=" + name, "-e",
                     "inject=" + name + ":error=EIO:when=" + std::to_string(n)},
                    root, c.args, k_env);
                files now = snapshot(root);
                for (const auto &[path, content] : now) {
                    EXPECT_TRUE(content == before.at(path) || content == after.at(path))
                        << path << " holds " << content.value_or("<absent>");
                    EXPECT_TRUE(!content || !content->empty()) << path;
                }
                EXPECT_EQ(leftovers(root), strings{});
                if (!c.earlier.empty()) {
                    EXPECT_TRUE(now.at(c.earlier) || now.at(c.chosen)) << "no webmail left";
                }
                if (r.status == 0) {
                    EXPECT_EQ(now, after);
                    EXPECT_EQ(rows(), rows_after);
                }
            }
        }
    }
    RecordProperty("runs", runs);
    std::printf("%d runs with one failed call\n", runs);
}

} // namespace
