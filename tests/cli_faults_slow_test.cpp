// Every file-changing system call of every state-changing command, made to
// fail once by strace: the files Apache reads end as they were before the
// command or as it leaves them, never in between, never empty, with no
// temporary left, and set-default and rename never lose the vhost's webmail.
// A run that tests the configuration may leave its undo record (and the new
// file it undoes) and its temporaries, which the next run completes and
// removes. A failed call that commits a change is never swallowed: the run
// reports the system error and ends with status 255.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
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
const std::string k_atmail_include = k_include_dir + "/zzz_atmail_vhost.conf";
const char *const k_webmails[] = {"atmail", "horde", "none", "atmailcom"};
// LeakSanitizer cannot work under ptrace; the other tests look for leaks.
const strings k_env = {"ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
// Each counted and failed on its own: strace numbers the calls per name.
const strings k_syscalls = {"open",      "openat", "write",    "fsync", "rename",  "renameat",
                            "renameat2", "unlink", "unlinkat", "mkdir", "mkdirat", "close",
                            "fchmod",    "fchown", "link",     "linkat"};
// Calls that commit a change whatever they act on: syncing a file or a
// directory, renaming, removing...
const strings k_committing = {"fsync", "rename", "renameat", "renameat2", "unlink", "unlinkat"};
// ...and those that do when they act on a temporary: the file to be committed.
const strings k_committing_on_temporary = {"write", "close", "fchmod", "fchown"};
const char k_eio_report[] = "Input/output error";

std::string alias(const std::string &webmail, const std::string &vhost)
{
    return k_root + "/" + webmail + "/conf.d/" + vhost;
}

// The files Apache reads, by logical path: content, or nothing when absent.
using files = std::map<std::string, std::optional<std::string>>;

// One call of the run without a fault, from strace -y, which shows the
// file a descriptor argument stands for.
struct traced_call {
    std::string name;
    int n = 0;            // its number among the calls of its name
    bool injected = true; // failed in a run of its own
    bool commits = false; // its failure must fail the run
    std::string line;     // as traced, to name it in a failure
};

// The file of a call's first argument when that is a descriptor, or "".
std::string descriptor_path(const std::string &line)
{
    size_t open = line.find('(');
    size_t lt = line.find('<', open);
    size_t gt = line.find('>', lt);
    if (open == std::string::npos || lt == std::string::npos || gt == std::string::npos ||
        line.find_first_not_of("0123456789", open + 1) != lt)
        return "";
    return line.substr(lt + 1, gt - lt - 1);
}

struct command {
    strings args;
    // A set-default's earlier and new choice, a rename's old and moved one:
    // whatever happens, one of the two is there.
    std::string earlier, chosen;
    // The web server's rc.d script, when the command tests the configuration
    // with it: every step of keeping the earlier file, putting it back and
    // the new one again then fails once too.
    std::string configtest = "";
    int status = 0;    // of the run without a fault
    bool sync = false; // two stale include files, a duplicate and a leftover to repair
};

const std::string k_passes = "#!/bin/sh\nexit 0\n";
const std::string k_fails = "#!/bin/sh\necho broken\nexit 1\n";
// Fails with the new include file only, which the run then refuses.
const std::string k_refuses =
    "#!/bin/sh\n! grep -qs VirtualHost \"$HCP_SYSROOT" + k_include + "\"\n";

// What a tested run keeps until it has decided, and its temporaries: a failed
// step may leave them, for the next run to roll back and remove; and the
// mark of a sync's reload that did not happen, and the leftover it was to
// remove.
const strings k_guard_names = [] {
    strings names = {k_include_dir + "/.lanternctl reload-pending",
                     k_include_dir + "/.lanternctl reload-pending.new",
                     k_root + "/horde/conf.d/.lanternctl alias.new"};
    for (const char *webmail : {"horde", "atmail"})
        for (const char *role : {"old", "absent", "new", "kept"})
            names.push_back(k_include_dir + "/.zzz_" + webmail + "_vhost.conf." + role);
    return names;
}();

class CliFaultsSlow : public testing::TestWithParam<size_t>
{
  protected:
    hcp_test::bench_db db;

    void SetUp() override { db.reset(); }

    // The fixed starting state: horde registered and its include file
    // written, example.com served by atmail, example.org by atmailcom.
    void arrange(const temp_root &root, const command &c)
    {
        for (const char *table : {"Webmails", "misc", "IP_Addresses"})
            db.exec(std::string("DELETE FROM ") + table);
        db.exec("INSERT INTO Webmails VALUES (NULL, 'horde', 'Horde', '3.1', '3', '/www', 'true')");
        db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example')");
        db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.1')");
        root.write_password();
        root.write_conf("HTTPD_INCLUDE_D " + k_include_dir + "\n" +
                        (c.configtest.empty() ? "" : "HTTPD_SERVICE apache22\n"));
        if (!c.configtest.empty())
            root.write("/usr/local/etc/rc.d/apache22", c.configtest, 0755);
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
        if (!c.sync)
            return;
        db.exec("INSERT INTO Webmails VALUES (NULL, 'atmail', 'A', '1', '1', '/a', 'true')");
        root.write(k_root + "/atmail/atmail_vhost.conf", "<VirtualHost@WEBMAIL_IP_ADDRESS@>\n");
        root.write(k_atmail_include, "# earlier\n");
        root.write(alias("horde", "example.com"), "ServerAlias webmail.example.com\n");
        const timespec older[2] = {{1700000000, 0}, {1700000000, 0}};
        ::utimensat(AT_FDCWD, root.real(alias("atmail", "example.com")).c_str(), older, 0);
        root.write(k_root + "/horde/conf.d/.lanternctl alias.new", "");
    }

    // Whether a path as the kernel gives it is a temporary: any dot-file in
    // the include directory or a conf.d, whatever its name.
    static bool is_temporary(const std::string &top, const std::string &path)
    {
        std::filesystem::path p(path);
        if (!p.filename().string().starts_with("."))
            return false;
        if (p.parent_path() == top + k_include_dir)
            return true;
        for (const char *webmail : k_webmails)
            if (p.parent_path() == top + k_root + "/" + webmail + "/conf.d")
                return true;
        return false;
    }

    // The calls of the trace, numbered per name, each marked.
    static std::vector<traced_call> read_trace(const temp_root &root, const std::string &trace)
    {
        std::vector<traced_call> traced;
        std::map<std::string, int> counts;
        // The root as the kernel names it, with no link on the way.
        const std::string top = std::filesystem::canonical(root.dir()).string();
        std::istringstream lines(hcp_test::read_file(trace));
        for (std::string line; std::getline(lines, line);) {
            for (const std::string &name : k_syscalls) {
                if (!line.starts_with(name + "("))
                    continue;
                traced_call call;
                call.name = name;
                call.n = ++counts[name];
                call.line = line;
                std::string path = descriptor_path(line);
                // strace keeps a descriptor open when it fails its close, which
                // the kernel never does: a pipe's write end kept so would leave
                // the run waiting for the end of Apache's output for ever. The
                // descriptors of the root's files are the tool's own.
                if (name == "close")
                    call.injected = path.starts_with(top + "/");
                call.commits = std::count(k_committing.begin(), k_committing.end(), name) != 0 ||
                               (std::count(k_committing_on_temporary.begin(),
                                           k_committing_on_temporary.end(), name) != 0 &&
                                is_temporary(top, path));
                traced.push_back(call);
            }
        }
        return traced;
    }

    static files snapshot(const temp_root &root)
    {
        files now;
        strings paths{k_include, k_atmail_include};
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
                if (name != "zzz_horde_vhost.conf" && name != "zzz_atmail_vhost.conf" &&
                    name != "example.com" && name != "example.org")
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

// Each its own test, so that ctest runs them side by side.
const command k_commands[] = {
    {{"--install", "--name=horde"}, "", "", k_passes},
    {{"--enable", "--name=horde"}, "", ""},
    {{"--enable", "--name=horde"}, "", "", k_fails},
    {{"--enable", "--name=horde"}, "", "", k_refuses, 255},
    {{"--disable", "--name=horde"}, "", ""},
    {{"--remove", "--name=horde"}, "", ""},
    {{"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"},
     alias("atmail", "example.com"),
     alias("horde", "example.com")},
    {{"--set-default", "--vhost-name=example.com", "--name=none", "--no-restart"}, "", ""},
    {{"--rename", "--vhost-name=example.com", "--new-name=example.org", "--no-restart"},
     alias("atmail", "example.com"),
     alias("atmail", "example.org")},
    {{"--sync"}, alias("atmail", "example.com"), alias("horde", "example.com"), k_passes, 2, true},
};

TEST_P(CliFaultsSlow, EveryFileChangingCallFailsOnce)
{
    if (::access(k_strace, X_OK) != 0)
        GTEST_SKIP() << k_strace << " is missing (scripts/install-deps installs strace)";
    const command &c = k_commands[GetParam()];
    std::string traced;
    for (const std::string &name : k_syscalls)
        traced += (traced.empty() ? "" : ",") + name;

    int runs = 0, committing = 0;
    {
        SCOPED_TRACE(testing::PrintToString(c.args));
        // Once without a fault: the state after, and the calls made.
        files before, after;
        strings rows_after, messages;
        std::vector<traced_call> calls;
        {
            temp_root root;
            arrange(root, c);
            before = snapshot(root);
            std::string trace = root.dir() + "/.trace";
            run_result r = hcp_test::run_tool_under(
                {k_strace, "-qq", "-y", "-o", trace, "-e", "trace=" + traced}, root, c.args, k_env);
            ASSERT_EQ(r.status, c.status) << r.out << r.err;
            after = snapshot(root);
            rows_after = rows();
            messages = r.messages();
            calls = read_trace(root, trace);
        }
        for (const traced_call &call : calls) {
            if (!call.injected)
                continue;
            const std::string &name = call.name;
            std::string what = name + " #" + std::to_string(call.n);
            SCOPED_TRACE(what + ", in the run without a fault: " + call.line);
            runs++;
            temp_root root;
            arrange(root, c);
            run_result r = hcp_test::run_tool_under(
                {k_strace, "-qq", "-o", "/dev/null", "-e", "trace=" + name, "-e",
                 "inject=" + name + ":error=EIO:when=" + std::to_string(call.n)},
                root, c.args, k_env);
            files now = snapshot(root);
            // Nothing else takes the lock here: a run that waits for it waits
            // for itself.
            EXPECT_EQ(r.out.find("still taken after waiting"), r.out.npos) << r.out;
            if (call.commits) {
                committing++;
                strings log = r.messages();
                EXPECT_EQ(r.status, 255) << "a failed " << what << " was swallowed";
                EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string &m) {
                    return m.starts_with("System error: ") && m.find(k_eio_report) != m.npos;
                })) << testing::PrintToString(log);
            }
            // The file the run refused, or left untested, stays only beside
            // the earlier one kept to come back.
            auto undo_kept = [&](const std::string &path) {
                std::filesystem::path p(path);
                std::string kept = p.parent_path().string() + "/." + p.filename().string() + ".old";
                return root.exists(kept) && root.read(kept) == before.at(path);
            };
            for (const auto &[path, content] : now) {
                EXPECT_TRUE(content == before.at(path) || content == after.at(path) ||
                            (path.ends_with("_vhost.conf") && undo_kept(path)))
                    << path << " holds " << content.value_or("<absent>");
                EXPECT_TRUE(!content || !content->empty()) << path;
            }
            strings left = leftovers(root);
            if (!c.configtest.empty()) {
                std::erase_if(left, [](const std::string &path) {
                    return std::count(k_guard_names.begin(), k_guard_names.end(), path) != 0;
                });
                // The next run completes what this one left, and ends as a
                // run without a fault does.
                run_result next = hcp_test::run_tool(root, c.args, k_env);
                EXPECT_EQ(next.status, c.status) << next.out;
                EXPECT_EQ(snapshot(root), after);
                EXPECT_EQ(leftovers(root), strings{});
            }
            EXPECT_EQ(left, strings{});
            if (!c.earlier.empty()) {
                EXPECT_TRUE(now.at(c.earlier) || now.at(c.chosen)) << "no webmail left";
            }
            if (r.status == 0 || (r.status == c.status && r.messages() == messages)) {
                EXPECT_EQ(now, after);
                EXPECT_EQ(rows(), rows_after);
            }
        }
    }
    RecordProperty("runs", runs);
    std::printf("%d runs with one failed call, %d of them of a call that commits\n", runs,
                committing);
}

INSTANTIATE_TEST_SUITE_P(Commands, CliFaultsSlow, testing::Range(size_t(0), std::size(k_commands)));

} // namespace
