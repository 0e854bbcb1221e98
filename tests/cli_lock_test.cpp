// Runs side by side, as a panel's job queue starts them: every command that
// changes state waits for the one lock, so they end as some serial order would.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <ftw.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

using hcp_test::run_result;
using hcp_test::temp_root;
using strings = std::vector<std::string>;

namespace
{

const std::string k_root = "/usr/local/etc/hcp-webmail";
const char k_include_dir[] = "/usr/local/etc/apache22/Includes";
const char k_webmails[][10] = {"atmail", "horde", "atmailcom"};
const hcp_test::identity k_nobody = {65534, 65534};

// Polls until ready() holds, for up to 30 seconds; whether it did.
bool eventually(const std::function<bool()> &ready)
{
    for (int i = 0; i < 3000; i++) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Whether a process other than this one has the file open.
bool opened_elsewhere(const std::string &path)
{
    std::error_code ec;
    for (const auto &proc : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == std::to_string(::getpid()))
            continue;
        std::error_code gone;
        for (const auto &fd : std::filesystem::directory_iterator(proc.path() / "fd", gone))
            if (std::filesystem::read_symlink(fd.path(), gone) == path)
                return true;
    }
    return false;
}

void chown_tree(const std::string &top, const hcp_test::identity &to)
{
    ASSERT_EQ(::chown(top.c_str(), to.uid, to.gid), 0);
    for (const auto &e : std::filesystem::recursive_directory_iterator(top))
        ASSERT_EQ(::lchown(e.path().c_str(), to.uid, to.gid), 0);
}

class CliLock : public testing::Test
{
  protected:
    hcp_test::bench_db db;
    temp_root root;

    void SetUp() override
    {
        db.reset();
        db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example')");
        db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.1')");
        root.write_password();
        root.write_conf(std::string("HTTPD_INCLUDE_D ") + k_include_dir + "\n");
        root.mkdir(k_include_dir);
        root.write("/usr/sbin/httpd",
                   "#!/bin/sh\necho 'Server version: Apache/2.2.3'\n"
                   "echo \"Server's Module Magic Number: 20051115:3\"\n",
                   0755);
        for (const std::string webmail : k_webmails) {
            root.mkdir(k_root + "/" + webmail + "/conf.d");
            root.write(k_root + "/" + webmail + "/" + webmail + ".conf",
                       "alias=" + webmail + "\nname=" + webmail +
                           "\nversion=1\nrelease=1\ndocroot=/www\nenabled=true\n");
        }
        root.write(k_root + "/horde/horde_vhost.conf", "<VirtualHost@WEBMAIL_IP_ADDRESS@>\n");
    }

    run_result run(const strings &args, const std::string &spy = "")
    {
        // Runs at the same time record their system logs apart.
        if (spy.empty())
            return hcp_test::run_tool(root, args);
        return hcp_test::run_tool(root, args, {"HCP_SYSLOG_SPY=" + root.dir() + "/" + spy});
    }

    // Every alias file and temporary of the webmails, as "<webmail>/<name>".
    strings conf_d_entries() const
    {
        strings names;
        for (const std::string webmail : k_webmails)
            for (const auto &e :
                 std::filesystem::directory_iterator(root.real(k_root + "/" + webmail + "/conf.d")))
                names.push_back(webmail + "/" + e.path().filename().string());
        return names;
    }

    // Takes the lock as a run of the tool would; closing the descriptor frees
    // it, as no program the test runs inherits it.
    int hold_lock() const
    {
        int fd = ::open(root.real("/etc/hcp/.hcp.shadow").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::flock(fd, LOCK_EX), 0);
        return fd;
    }
};

TEST_F(CliLock, ChangesWaitForTheHolderAndTheListDoesNot)
{
    int lock = hold_lock();
    run_result set_default;
    std::thread waiting([&] {
        set_default =
            run({"--set-default", "--vhost-name=a.example", "--name=horde", "--no-restart"});
    });

    // The list and the help take no lock: they answer at once.
    run_result list = run({"--list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "");
    EXPECT_EQ(run({"--help"}).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(root.exists(k_root + "/horde/conf.d/a.example"));

    ::close(lock);
    waiting.join();
    EXPECT_EQ(set_default.status, 0);
    EXPECT_EQ(set_default.out + set_default.err, "");
    EXPECT_EQ(root.read(k_root + "/horde/conf.d/a.example"), "ServerAlias webmail.a.example\n");
}

// The password file replaced while a run waits for its lock, the safe way:
// renamed over by one who holds the old file's lock. The run then holds the
// new file's lock, the one every later run asks for. The install's address
// query waits on a table lock of ours meanwhile.
TEST_F(CliLock, WaitingRunLocksTheReplacedFile)
{
    const std::string password = root.real("/etc/hcp/.hcp.shadow");
    int old_lock = hold_lock();
    db.exec("LOCK TABLES IP_Addresses WRITE");
    run_result install;
    std::thread waiting([&] { install = run({"--install", "--name=horde"}); });
    EXPECT_TRUE(eventually([&] { return opened_elsewhere(password); }));

    root.write("/etc/hcp/.hcp.shadow.new", hcp_test::bench_db::password() + "\n", 0600);
    EXPECT_EQ(::rename((password + ".new").c_str(), password.c_str()), 0);
    ::close(old_lock);
    // Its temporary exists once it is past the lock.
    EXPECT_TRUE(eventually([&] {
        for (const auto &e : std::filesystem::directory_iterator(root.real(k_include_dir)))
            if (e.path().filename().string().starts_with("."))
                return true;
        return false;
    }));
    int lock = ::open(password.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_NE(::flock(lock, LOCK_EX | LOCK_NB), 0) << "the new file's lock is free";
    EXPECT_EQ(errno, EWOULDBLOCK);
    ::close(lock);

    db.exec("UNLOCK TABLES");
    waiting.join();
    EXPECT_EQ(install.status, 0);
    EXPECT_EQ(install.out + install.err, "");
    EXPECT_TRUE(install.log.empty());
    EXPECT_EQ(root.read(std::string(k_include_dir) + "/zzz_horde_vhost.conf"),
              "<VirtualHost 192.0.2.1:80>\n");
}

// Whoever can open the password file can hold every run up and read the
// database password: each run that changes state says so, and goes on.
TEST_F(CliLock, PasswordFileOpenToOtherUsersIsWarnedOf)
{
    const std::string warning =
        "Password file /etc/hcp/.hcp.shadow is open to every user: any local user can read the "
        "database password and hold this tool's runs up\n";
    const struct {
        mode_t mode;
        bool warned;
    } cases[] = {{0600, false}, {0640, false}, {0644, true}, {0602, true}, {0601, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.mode);
        ASSERT_EQ(::chmod(root.real("/etc/hcp/.hcp.shadow").c_str(), c.mode), 0);
        ::unlink(root.real(k_root + "/horde/conf.d/a.example").c_str());
        run_result r =
            run({"--set-default", "--vhost-name=a.example", "--name=horde", "--no-restart"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        ASSERT_EQ(r.log.size(), c.warned ? 1u : 0u);
        if (c.warned) {
            EXPECT_EQ(r.log[0].priority, LOG_WARNING);
            EXPECT_EQ(r.log[0].message, warning);
        }
        EXPECT_EQ(root.read(k_root + "/horde/conf.d/a.example"), "ServerAlias webmail.a.example\n");
    }
}

// Four set-defaults of one vhost with different webmails and four installs of
// one webmail, all at once: one alias file and one catalogue row, every round.
TEST_F(CliLock, ParallelRunsEndAsSomeSerialOrder)
{
    const strings runs[] = {
        {"--set-default", "--vhost-name=example.com", "--name=atmail", "--no-restart"},
        {"--install", "--name=horde"},
        {"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"},
        {"--install", "--name=horde"},
        {"--set-default", "--vhost-name=example.com", "--name=atmailcom", "--no-restart"},
        {"--install", "--name=horde"},
        {"--set-default", "--vhost-name=example.com", "--name=horde", "--no-restart"},
        {"--install", "--name=horde"},
    };
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        db.exec("DELETE FROM Webmails");
        std::vector<run_result> results(std::size(runs));
        std::vector<std::thread> threads;
        for (size_t i = 0; i < std::size(runs); i++)
            threads.emplace_back([&, i] { results[i] = run(runs[i], "spy-" + std::to_string(i)); });
        for (auto &t : threads)
            t.join();
        for (const auto &r : results)
            EXPECT_EQ(r.status, 0) << r.out;

        strings aliases = conf_d_entries();
        ASSERT_EQ(aliases.size(), 1u);
        std::string webmail = aliases[0].substr(0, aliases[0].find('/'));
        EXPECT_EQ(aliases[0], webmail + "/example.com");
        EXPECT_EQ(root.read(k_root + "/" + webmail + "/conf.d/example.com"),
                  "ServerAlias webmail.example.com\n");
        EXPECT_EQ(db.rows("SELECT id FROM Webmails WHERE product_id='horde'").size(), 1u);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root.real(k_include_dir)),
                                std::filesystem::directory_iterator()),
                  1);
    }
}

// A panel operator without root: may read the password file and write the
// include directory and the webmail tree, nothing else of the system.
TEST_F(CliLock, OperatorWithoutRootChangesState)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as another user";
    ASSERT_EQ(::chmod(root.dir().c_str(), 0755), 0);
    const std::string password = root.real("/etc/hcp/.hcp.shadow");
    ASSERT_EQ(::chown(password.c_str(), 0, k_nobody.gid), 0);
    ASSERT_EQ(::chmod(password.c_str(), 0640), 0);
    const std::string include = std::string(k_include_dir) + "/zzz_horde_vhost.conf";
    root.write(include, "earlier\n", 0640);
    chown_tree(root.real(k_include_dir), k_nobody);
    ASSERT_EQ(::chown(root.real(include).c_str(), 0, k_nobody.gid), 0);
    chown_tree(root.real(k_root), k_nobody);

    for (const strings &args :
         {strings{"--install", "--name=horde"},
          strings{"--set-default", "--vhost-name=a.example", "--name=horde", "--no-restart"}}) {
        SCOPED_TRACE(args[0]);
        run_result r = hcp_test::run_tool_as(k_nobody, root, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_TRUE(r.log.empty());
    }
    EXPECT_EQ(root.read(include), "<VirtualHost 192.0.2.1:80>\n");
    // The group and the permissions stay; the owner could not be given away.
    struct stat st;
    ASSERT_EQ(::stat(root.real(include).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, k_nobody.uid);
    EXPECT_EQ(st.st_gid, k_nobody.gid);
    EXPECT_EQ(root.read(k_root + "/horde/conf.d/a.example"), "ServerAlias webmail.a.example\n");
    EXPECT_EQ(db.rows("SELECT enabled FROM Webmails WHERE product_id='horde'").size(), 1u);
}

// An operator whose new include file breaks the configuration, where he may
// neither link nor read what root left at the include path (Linux's
// protected_hardlinks): root's file or symbolic link comes back as it was.
TEST_F(CliLock, OperatorKeepsTheEarlierFileWhenTheNewOneBreaksIt)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as another user";
    ASSERT_EQ(::chmod(root.dir().c_str(), 0755), 0);
    const std::string password = root.real("/etc/hcp/.hcp.shadow");
    ASSERT_EQ(::chown(password.c_str(), 0, k_nobody.gid), 0);
    ASSERT_EQ(::chmod(password.c_str(), 0640), 0);
    root.write_conf(std::string("HTTPD_INCLUDE_D ") + k_include_dir + "\nHTTPD_SERVICE apache22\n");
    root.write(
        "/usr/local/etc/rc.d/apache22",
        "#!/bin/sh\n! grep -qs BREAKS \"$HCP_SYSROOT/usr/local/etc/apache22/Includes/\"*.conf\n",
        0755);
    root.write(k_root + "/horde/horde_vhost.conf", "BREAKS\n");
    const std::string include = std::string(k_include_dir) + "/zzz_horde_vhost.conf";
    chown_tree(root.real(k_include_dir), k_nobody);
    chown_tree(root.real(k_root), k_nobody);
    for (bool symlink : {false, true}) {
        SCOPED_TRACE(symlink ? "root's symbolic link" : "root's file, 0600");
        if (symlink) {
            std::filesystem::remove(root.real(include));
            std::filesystem::create_symlink("/elsewhere/horde.conf", root.real(include));
        } else {
            root.write(include, "earlier\n", 0600);
        }
        ASSERT_EQ(::lchown(root.real(include).c_str(), 0, 0), 0);
        struct stat before;
        ASSERT_EQ(::lstat(root.real(include).c_str(), &before), 0);

        run_result r = hcp_test::run_tool_as(k_nobody, root, {"--install", "--name=horde"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Unable to create vhost configuration for horde webmail\n");
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log[0].message,
                  "Apache configuration test failed with the new include file for horde webmail\n");
        struct stat after;
        ASSERT_EQ(::lstat(root.real(include).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, 0u);
        std::vector<std::string> entries;
        for (const auto &e : std::filesystem::directory_iterator(root.real(k_include_dir)))
            entries.push_back(e.path().filename().string());
        EXPECT_EQ(entries, std::vector<std::string>{"zzz_horde_vhost.conf"});
    }
}

// A local user who is not an operator takes every lock that can be taken on
// anything of the root, files and directories: a run of root is not delayed.
TEST_F(CliLock, NoOtherUserCanHoldARunUp)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as another user";
    ASSERT_EQ(::chmod(root.dir().c_str(), 0755), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::fflush(nullptr);
    pid_t intruder = ::fork();
    if (intruder == 0) {
        if (::setgid(k_nobody.gid) != 0 || ::setuid(k_nobody.uid) != 0)
            ::_exit(1);
        static int held;
        ::nftw(
            root.dir().c_str(),
            [](const char *path, const struct stat *, int, struct FTW *) {
                int fd = ::open(path, O_RDONLY | O_NONBLOCK);
                if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
                    held++;
                return 0;
            },
            16, FTW_PHYS);
        char count = char(held > 0 ? 'y' : 'n');
        (void)!::write(ready[1], &count, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(held, 'y'); // it did hold something

    run_result r = run({"--set-default", "--vhost-name=a.example", "--name=horde", "--no-restart"});
    ::kill(intruder, SIGKILL);
    ::waitpid(intruder, nullptr, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(root.read(k_root + "/horde/conf.d/a.example"), "ServerAlias webmail.a.example\n");
}

} // namespace
