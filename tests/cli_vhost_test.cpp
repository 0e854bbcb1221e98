// lanternctl against the bench server: the webmail's Apache include file
// written by install and enable, deleted by remove and disable.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using hcp_test::run_result;
using strings = std::vector<std::string>;

const char k_conf[] = "HTTPD_INCLUDE_D /usr/local/etc/apache22/Includes\n"
                      "HTTPD_CONF_D /usr/local/etc/apache22\n"
                      "PRODUCT_ROOT_D /opt/hcp\n";
const char k_include_dir[] = "/usr/local/etc/apache22/Includes";
const char k_vhost_file[] = "/usr/local/etc/apache22/Includes/zzz_horde_vhost.conf";
const char k_template[] = "/usr/local/etc/hcp-webmail/horde/horde_vhost.conf";
const char k_definition[] = "/usr/local/etc/hcp-webmail/horde/horde.conf";
const char k_docroot[] = "/usr/local/www/horde";
const char k_earlier[] = "# the earlier file, 100% intact\n";
const char k_create_failed[] = "Unable to create vhost configuration for horde webmail\n";

const char k_trace_block[] = "<IfModule mod_rewrite.c>\n"
                             "\tRewriteEngine On\n"
                             "\tRewriteCond %{REQUEST_METHOD} ^TRACE\n"
                             "\tRewriteRule .* - [F]\n"
                             "</IfModule>\n";

std::string apache_stand_in(const std::string &version)
{
    return "#!/bin/sh\ncat <<'EOF'\nServer version: Apache/" + version +
           " (FreeBSD)\nServer's Module Magic Number: 20051115:3\nEOF\n";
}

// The id of the lanternctl this process started, once its include file's
// temporary is there; 0 if it never appears. (Read from /proc: Linux only.)
pid_t writing_tool(const std::function<strings()> &entries)
{
    for (int i = 0; i < 3000; i++) {
        strings names = entries();
        if (std::find(names.begin(), names.end(), ".zzz_horde_vhost.conf.new") != names.end())
            for (const auto &e : std::filesystem::directory_iterator("/proc")) {
                std::string stat = hcp_test::read_file(e.path().string() + "/stat");
                size_t paren = stat.rfind(')');
                if (stat.find("(lanternctl)") == std::string::npos || paren == std::string::npos)
                    continue;
                // "<pid> (<comm>) <state> <ppid> ..."
                if (std::stoi(stat.substr(paren + 4)) == ::getpid())
                    return std::stoi(stat);
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

class Vhost : public testing::Test
{
  protected:
    void SetUp() override
    {
        db.reset();
        root.write_password();
        root.write_conf(k_conf);
        root.mkdir(k_include_dir);
        root.write(k_definition, std::string("alias=horde\nname=Horde\nversion=3.1\nrelease=3\n"
                                             "docroot=") +
                                     k_docroot + "\nenabled=true\n");
        root.write("/usr/sbin/httpd", apache_stand_in("2.2.3"), 0755);
        set_param("FullHostName", "host.example");
        set_param("admin_email", "postmaster@example.com");
        db.exec("INSERT INTO IP_Addresses VALUES ('192.0.2.1'), ('192.0.2.2')");
    }

    void set_param(const std::string &name, const std::string &value)
    {
        db.exec("REPLACE INTO misc VALUES ('" + name + "', '" + value + "')");
    }

    // Generates from a template of one line and returns what was written.
    std::string generate(const std::string &line)
    {
        root.write(k_template, line);
        run_result r = run({"--install", "--name=horde"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.log.empty());
        return root.read(k_vhost_file);
    }

    run_result run(const strings &args) { return hcp_test::run_tool(root, args); }

    // Names in the include directory: no temporary may stay behind.
    strings include_dir_entries() const
    {
        strings names;
        for (const auto &e : std::filesystem::directory_iterator(root.real(k_include_dir)))
            names.push_back(e.path().filename().string());
        return names;
    }

    // An install killed while it writes: the address query waits on a table
    // lock of ours meanwhile.
    void killed_install(int signal_number)
    {
        db.exec("LOCK TABLES IP_Addresses WRITE");
        run_result r;
        std::thread install([&] { r = run({"--install", "--name=horde"}); });
        pid_t pid = writing_tool([this] { return include_dir_entries(); });
        EXPECT_GT(pid, 0);
        if (pid > 0)
            ::kill(pid, signal_number);
        install.join();
        db.exec("UNLOCK TABLES");
        EXPECT_EQ(r.status, 128 + signal_number);
    }

    hcp_test::bench_db db;
    hcp_test::temp_root root;
};

TEST_F(Vhost, InstallWritesTheTemplateWithItsTokensReplaced)
{
    root.write(k_template, "# horde webmail\n"
                           "Include @HTTPD_CONF_D@/extra.conf\n"
                           "<VirtualHost@WEBMAIL_IP_ADDRESS@>\n"
                           "@PCI_COMPLIANCE_DIRECTIVE@"
                           "\tDocumentRoot \"@WEBMAIL_DOCROOT@\"\n"
                           "\tServerAdmin @SERVER_ADMIN@ # @SERVER_ADMIN@\n"
                           "\tLogFormat \"%h %l %u %t\" common\n"
                           "</VirtualHost>\n"
                           "<VirtualHost@WEBMAIL_IP_ADDRESS_SSL@>\n"
                           "\t@server_admin@ @SERVER_ADMIN\n"
                           "</VirtualHost>");
    root.write(k_vhost_file, k_earlier);
    run_result r = run({"--install", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.log.empty());
    EXPECT_EQ(root.read(k_vhost_file), "# horde webmail\n"
                                       "Include /usr/local/etc/apache22/extra.conf\n"
                                       "<VirtualHost 192.0.2.1:80 192.0.2.2:80>\n"
                                       "\tDocumentRoot \"/usr/local/www/horde\"\n"
                                       "\tServerAdmin postmaster@example.com # "
                                       "postmaster@example.com\n"
                                       "\tLogFormat \"%h %l %u %t\" common\n"
                                       "</VirtualHost>\n"
                                       "<VirtualHost 192.0.2.1:443 192.0.2.2:443>\n"
                                       "\t@server_admin@ @SERVER_ADMIN\n"
                                       "</VirtualHost>");
    EXPECT_EQ(include_dir_entries(), strings{"zzz_horde_vhost.conf"});
    EXPECT_EQ(db.rows("SELECT product_id, enabled FROM Webmails").size(), 1u);

    // A fresh file's mode: 0666 under the creation mask the tool inherited.
    mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st;
    ASSERT_EQ(::stat(root.real(k_vhost_file).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
}

TEST_F(Vhost, AddressListsHoldEveryRowUpTo299)
{
    std::string three_hundred;
    std::string expected_80, expected_443;
    for (int i = 0; i < 300; i++) {
        std::string ip = "198.51." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        three_hundred += (i ? ", ('" : "('") + ip + "')";
        if (i < 299) {
            expected_80 += " " + ip + ":80";
            expected_443 += " " + ip + ":443";
        }
    }
    const struct {
        const char *what;
        std::string rows; // VALUES of IP_Addresses, or "" for none
        std::string expected;
    } cases[] = {
        {"none", "", "<VirtualHost>\n<VirtualHost>\n"},
        {"two", "('192.0.2.1'), ('192.0.2.2')",
         "<VirtualHost 192.0.2.1:80 192.0.2.2:80>\n<VirtualHost 192.0.2.1:443 192.0.2.2:443>\n"},
        {"three hundred", three_hundred,
         "<VirtualHost" + expected_80 + ">\n<VirtualHost" + expected_443 + ">\n"},
    };
    for (const auto &c : cases) {
        db.exec("DELETE FROM IP_Addresses");
        if (!c.rows.empty())
            db.exec("INSERT INTO IP_Addresses VALUES " + c.rows);
        EXPECT_EQ(generate("<VirtualHost@WEBMAIL_IP_ADDRESS@>\n"
                           "<VirtualHost@WEBMAIL_IP_ADDRESS_SSL@>\n"),
                  c.expected)
            << c.what;
    }
}

TEST_F(Vhost, TraceBlockOnlyForApache20UpToPatchLevel54)
{
    const struct {
        const char *version;
        std::string expected;
    } cases[] = {
        {"2.0.54", std::string("a\n") + k_trace_block + "b\n"},
        {"2.0.55", "a\nb\n"},
        {"2.2.3", "a\nb\n"},
    };
    for (const auto &c : cases) {
        root.write("/usr/sbin/httpd", apache_stand_in(c.version), 0755);
        EXPECT_EQ(generate("a\n@PCI_COMPLIANCE_DIRECTIVE@b\n"), c.expected) << c.version;
    }
}

TEST_F(Vhost, ServerAdminFallsBackToRootAtTheAsciiHostName)
{
    const struct {
        const char *admin_email; // nullptr: no row
        const char *host;
        const char *expected;
    } cases[] = {
        {"hostmaster@example.org", "bücher.example", "hostmaster@example.org"},
        {"x", "bücher.example", "root@xn--bcher-kva.example"},
        {"", "host.example", "root@host.example"},
        {nullptr, "mail.example", "root@mail.example"},
    };
    for (const auto &c : cases) {
        db.exec("DELETE FROM misc");
        // The connection then speaks UTF-8, as a 4.1-compatible panel database does.
        set_param("mysql41_compatible", "true");
        set_param("FullHostName", c.host);
        if (c.admin_email != nullptr)
            set_param("admin_email", c.admin_email);
        EXPECT_EQ(generate("ServerAdmin @SERVER_ADMIN@\n"),
                  std::string("ServerAdmin ") + c.expected + "\n")
            << c.host;
    }
}

TEST_F(Vhost, LaterTokensAreSearchedInEarlierInsertionsOnly)
{
    root.write(k_definition, "alias=horde\nname=Horde\nversion=3.1\nrelease=3\n"
                             "docroot=/www/@SERVER_ADMIN@/@WEBMAIL_DOCROOT@/@HTTPD_CONF_D@\n"
                             "enabled=true\n");
    root.write_conf(std::string(k_conf) + "HTTPD_CONF_D /conf/@WEBMAIL_DOCROOT@\n");
    EXPECT_EQ(generate("@HTTPD_CONF_D@ @WEBMAIL_DOCROOT@\n"),
              "/conf//www/postmaster@example.com/@WEBMAIL_DOCROOT@/@HTTPD_CONF_D@ "
              "/www/postmaster@example.com/@WEBMAIL_DOCROOT@/@HTTPD_CONF_D@\n");
}

TEST_F(Vhost, EnableRewritesAndDisableRemoves)
{
    root.write(k_template, "DocumentRoot @WEBMAIL_DOCROOT@\n");
    ASSERT_EQ(run({"--install", "--name=horde"}).status, 0);
    root.write(k_template, "# changed\n");

    run_result r = run({"--disable", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(root.exists(k_vhost_file));
    EXPECT_EQ(db.rows("SELECT enabled FROM Webmails")[0][0], "false");

    r = run({"--disable", "--name=horde"}); // nothing left to delete
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty());

    r = run({"--enable", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(root.read(k_vhost_file), "# changed\n");

    r = run({"--remove", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(r.log.empty());
    EXPECT_FALSE(root.exists(k_vhost_file));
    EXPECT_TRUE(include_dir_entries().empty());
}

// The replacement keeps what the administrator set on the include file: its
// permissions, and an owner and a group that are not the run's own; a link
// there is replaced, its target neither written nor copied.
TEST_F(Vhost, ReplacementKeepsModeOwnerAndGroup)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the file another owner and group";
    ASSERT_NE(::getegid(), 4242u);
    root.write(k_template, "# new\n");
    ASSERT_EQ(run({"--install", "--name=horde"}).status, 0);
    root.write(k_vhost_file, k_earlier, 0640);
    ASSERT_EQ(::chown(root.real(k_vhost_file).c_str(), 4243, 4242), 0);
    EXPECT_EQ(run({"--enable", "--name=horde"}).status, 0);
    struct stat st;
    ASSERT_EQ(::lstat(root.real(k_vhost_file).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFREG | 0640);
    EXPECT_EQ(st.st_uid, 4243u);
    EXPECT_EQ(st.st_gid, 4242u);
    EXPECT_EQ(root.read(k_vhost_file), "# new\n");

    root.write("/victim", "precious\n", 0600);
    std::filesystem::remove(root.real(k_vhost_file));
    std::filesystem::create_symlink(root.real("/victim"), root.real(k_vhost_file));
    EXPECT_EQ(run({"--enable", "--name=horde"}).status, 0);
    ASSERT_EQ(::lstat(root.real(k_vhost_file).c_str(), &st), 0);
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode, S_IFREG | (0666 & ~mask));
    EXPECT_EQ(root.read(k_vhost_file), "# new\n");
    EXPECT_EQ(root.read("/victim"), "precious\n");
}

// A file planted at the include path (a hard link to a set-id program, say)
// passes none of its set-uid, set-gid and sticky bits to what a root run
// writes; its owner, group and permissions are kept all the same.
TEST_F(Vhost, ReplacementTakesNoSetIdOrStickyBit)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the file another owner";
    root.write(k_template, "# new\n");
    const mode_t planted_modes[] = {04755, 02755, 01755};
    for (mode_t planted : planted_modes) {
        SCOPED_TRACE(testing::Message() << std::oct << planted);
        root.write(k_vhost_file, k_earlier);
        // chown clears set-id bits: the mode comes last.
        ASSERT_EQ(::chown(root.real(k_vhost_file).c_str(), 4243, 4242), 0);
        ASSERT_EQ(::chmod(root.real(k_vhost_file).c_str(), planted), 0);
        run_result r = run({"--install", "--name=horde"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.log.empty());
        struct stat st;
        ASSERT_EQ(::lstat(root.real(k_vhost_file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, S_IFREG | 0755);
        EXPECT_EQ(st.st_uid, 4243u);
        EXPECT_EQ(st.st_gid, 4242u);
        EXPECT_EQ(root.read(k_vhost_file), "# new\n");
    }
}

TEST_F(Vhost, RemovalFailureOtherThanMissing)
{
    root.write(std::string(k_vhost_file) + "/inside", "x");
    run_result r = run({"--remove", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.messages(), (strings{"System error: Is a directory\n",
                                     "Unable to remove vhost configuration for horde webmail\n"}));
    EXPECT_EQ(r.out, "Unable to remove vhost configuration for horde webmail\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(root.exists(std::string(k_vhost_file) + "/inside"));
}

// Every failed install leaves an earlier include file byte for byte and no
// temporary beside it.
TEST_F(Vhost, FailedInstallLeavesTheEarlierFileAlone)
{
    const std::string long_label(64, 'a');
    struct failure {
        const char *what;
        std::function<void()> arrange;
        int status;
        strings log;
        std::string out; // stdout; stderr is the same for status 1, else empty
    };
    const std::string summary = k_create_failed;
    const failure cases[] = {
        {"template missing",
         [] {},
         255,
         {"Unable to find vhost template for horde webmail: "
          "/usr/local/etc/hcp-webmail/horde/horde_vhost.conf",
          summary},
         summary},
        {"template is a directory",
         [&] { root.mkdir(k_template); },
         255,
         {"System error or file is not regular "
          "/usr/local/etc/hcp-webmail/horde/horde_vhost.conf",
          summary},
         summary},
        {"no FullHostName",
         [&] {
             root.write(k_template, "x\n");
             db.exec("DELETE FROM misc WHERE param='FullHostName'");
         },
         255,
         {"Unable to query parameter FullHostName from database\n",
          "Unable to get admin e-mail for horde vhost configuration\n", summary},
         summary},
        {"one-character FullHostName",
         [&] {
             root.write(k_template, "x\n");
             set_param("FullHostName", "h");
         },
         255,
         {"Unable to query parameter FullHostName from database\n",
          "Unable to get admin e-mail for horde vhost configuration\n", summary},
         summary},
        {"template not examinable",
         [&] { std::filesystem::create_symlink("horde_vhost.conf", root.real(k_template)); },
         255,
         {"System error or file is not regular Too many levels of symbolic links", summary},
         summary},
        {"template read error", // regular to stat, but reading it fails
         [&] { std::filesystem::create_symlink("/proc/self/mem", root.real(k_template)); },
         255,
         {"Unable to read string from horde vhost template\n", summary},
         summary},
        {"address list",
         [&] {
             root.write(k_template, "first line\n<VirtualHost@WEBMAIL_IP_ADDRESS@>\n");
             db.exec("DROP TABLE IP_Addresses");
         },
         255,
         {"Unable to get IP addresses from database", "Unable to replace some vhost parameters",
          summary},
         summary},
        {"line too long", // 65,536 characters with its newline, one too many
         [&] { root.write(k_template, "ok\n" + std::string(65535, 'x') + "\n"); },
         255,
         {"Unable to parse string. Buffer too short\n", "Unable to replace some vhost parameters",
          summary},
         summary},
        {"substituted line too long", // 65,512 + 23 + 1 characters
         [&] { root.write(k_template, std::string(65512, 'x') + "@HTTPD_CONF_D@\n"); },
         255,
         {"Unable to parse string. Buffer too short\n", "Unable to replace some vhost parameters",
          summary},
         summary},
        {"no Apache",
         [&] {
             root.write(k_template, "x\n");
             std::filesystem::remove(root.real("/usr/sbin/httpd"));
         },
         1,
         {},
         "get_apache_path: apache executable not found\n"},
        {"Apache 1.3",
         [&] {
             root.write(k_template, "x\n");
             root.write("/usr/sbin/httpd", apache_stand_in("1.3.37"), 0755);
         },
         1,
         {},
         "get_apache_path: Apache version info not found\n"},
        {"host name without an ASCII form",
         [&] {
             root.write(k_template, "x\n");
             set_param("FullHostName", long_label + ".example");
             set_param("admin_email", "");
         },
         1,
         {},
         "idn_toascii_safe(" + long_label + ".example) failed: Invalid length\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(root.real(k_template));
        SetUp();
        root.write(k_vhost_file, k_earlier);
        c.arrange();
        run_result r = run({"--install", "--name=horde"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.messages(), c.log);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.status == 1 ? c.out : "");
        EXPECT_EQ(root.read(k_vhost_file), k_earlier);
        EXPECT_EQ(include_dir_entries(), strings{"zzz_horde_vhost.conf"});
        // The catalogue step before it is not undone.
        EXPECT_EQ(db.rows("SELECT product_id FROM Webmails").size(), 1u);
    }
}

TEST_F(Vhost, OutputThatCannotBeCreatedOrComposed)
{
    root.write(k_template, "x\n");
    std::filesystem::remove(root.real(k_include_dir));
    run_result r = run({"--install", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.messages(), (strings{"Unable to create vhost configuration "
                                     "/usr/local/etc/apache22/Includes/zzz_horde_vhost.conf: "
                                     "No such file or directory",
                                     k_create_failed}));
    EXPECT_EQ(r.out, k_create_failed);
    EXPECT_FALSE(root.exists(k_include_dir));

    // "/zzz_horde_vhost.conf" is 21 characters: 1002 + 21 = 1023 fits, 1003 does not.
    for (size_t length : {size_t(1002), size_t(1003)}) {
        std::string dir; // of `length` characters, in components the kernel accepts
        while (length - dir.size() > 100)
            dir += "/" + std::string(99, 'd');
        dir += "/" + std::string(length - dir.size() - 1, 'd');
        root.write_conf(std::string(k_conf) + "HTTPD_INCLUDE_D " + dir + "\n");
        r = run({"--install", "--name=horde"});
        if (length == 1002) {
            // Fits, but the directory does not exist.
            EXPECT_EQ(r.messages().at(0).rfind("Unable to create vhost configuration /ddd", 0), 0u);
        } else {
            EXPECT_EQ(r.messages(),
                      (strings{"Unable to get webserver config name. Buffer too short\n",
                               k_create_failed}));
        }
        EXPECT_EQ(r.status, 255);
        r = run({"--remove", "--name=horde"});
        EXPECT_EQ(r.status, length == 1002 ? 0 : 255) << length;
    }
}

// A run ended by a signal while it writes leaves no temporary.
TEST_F(Vhost, SignalDuringTheWriteRemovesTheTemporary)
{
    root.write(k_template, "<VirtualHost@WEBMAIL_IP_ADDRESS@>\n");
    root.write(k_vhost_file, k_earlier);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        killed_install(signal_number);
        EXPECT_EQ(root.read(k_vhost_file), k_earlier);
        EXPECT_EQ(include_dir_entries(), strings{"zzz_horde_vhost.conf"});
    }
}

// What a run killed outright leaves is removed by the next run that writes
// in that directory, without reading the directory; other files stay.
TEST_F(Vhost, TemporaryOfAKilledRunGoesWithTheNextInstall)
{
    root.write(k_template, "<VirtualHost@WEBMAIL_IP_ADDRESS@>\n");
    root.write(k_vhost_file, k_earlier);
    const std::string dir = std::string(k_include_dir) + "/";
    root.write(dir + ".zzz_horde_vhost.conf.1234.0", "an older run's");
    killed_install(SIGKILL);
    EXPECT_EQ(root.read(k_vhost_file), k_earlier);
    EXPECT_TRUE(root.exists(dir + ".zzz_horde_vhost.conf.new"));
    EXPECT_EQ(run({"--install", "--name=horde"}).status, 0);
    EXPECT_EQ(root.read(k_vhost_file), "<VirtualHost 192.0.2.1:80 192.0.2.2:80>\n");
    strings entries = include_dir_entries();
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (strings{".zzz_horde_vhost.conf.1234.0", "zzz_horde_vhost.conf"}));
}

TEST_F(Vhost, LineOfTheLongestLengthIsWritten)
{
    // 65,511 + 23 + 1: a substituted line of 65,535 characters, the most there may be.
    const std::string x(65511, 'x');
    EXPECT_EQ(generate(x + "@HTTPD_CONF_D@\n"), x + "/usr/local/etc/apache22\n");
}

TEST_F(Vhost, LastLineWithoutNewlineStaysSo)
{
    EXPECT_EQ(generate("one\ntwo @WEBMAIL_DOCROOT@"), "one\ntwo /usr/local/www/horde");
    EXPECT_EQ(generate(""), "");
}

// The web server's rc.d script, tested by install and enable: like FreeBSD's
// apache scripts it prints a notice, and here its configtest fails while an
// include file holds the word BREAKS. It notes every action it is given.
const char k_rc_script[] = "/usr/local/etc/rc.d/apache22";
const char k_rc_stand_in[] =
    "#!/bin/sh\n"
    "echo \"$1\" >>\"$HCP_SYSROOT/rc-actions\"\n"
    "[ \"$1\" = reload ] && cat \"$HCP_SYSROOT/usr/local/etc/apache22/Includes/\"*.conf "
    ">\"$HCP_SYSROOT/reloaded\"\n"
    "[ \"$1\" = configtest ] || exit 0\n"
    "echo 'Performing sanity check on apache22 configuration:'\n"
    "if cat \"$HCP_SYSROOT/usr/local/etc/apache22/Includes/\"*.conf 2>/dev/null | grep -q BREAKS; "
    "then\n"
    "  printf 'AH00526: Syntax error on line 2:\\n\\nInvalid command BREAKS\\nfourth\\n' >&2\n"
    "  [ -e \"$HCP_SYSROOT/once\" ] && chmod -x \"$0\"\n"
    "  exit 1\n"
    "fi\n"
    "[ -e \"$HCP_SYSROOT/die\" ] && kill -9 $$\n"
    "echo 'Syntax OK' >&2\n";
// A configtest or -V that never ends: it notes its group, the tool that
// runs it and its own child.
const char k_hanging_stand_in[] = "#!/bin/sh\n"
                                  "echo $$ >\"$HCP_SYSROOT/group\"\n"
                                  "echo $PPID >\"$HCP_SYSROOT/tool\"\n"
                                  "sleep 600 &\n"
                                  "echo $! >\"$HCP_SYSROOT/child\"\n"
                                  "wait\n";

class VhostTested : public Vhost
{
  protected:
    void SetUp() override
    {
        Vhost::SetUp();
        root.write_conf(std::string(k_conf) + "HTTPD_SERVICE apache22\n");
        root.write(k_rc_script, k_rc_stand_in, 0755);
    }

    // Starts an install whose configtest or -V (at `hangs`) never ends, and
    // sends the tool the signal once the stand-in has started its child.
    run_result interrupted_install(const std::string &hangs, int signal_number)
    {
        const std::string saved = root.read(hangs);
        for (const char *note : {"/group", "/tool", "/child"})
            std::filesystem::remove(root.real(note));
        root.write(hangs, k_hanging_stand_in, 0755);
        run_result r;
        std::thread install([&] { r = run({"--install", "--name=horde"}); });
        for (int i = 0; i < 3000 && root.read("/child").find('\n') == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(std::stoi(root.read("/tool")), signal_number);
        install.join();
        root.write(hangs, saved, 0755);
        EXPECT_EQ(r.status, 128 + signal_number);
        return r;
    }

    strings rc_actions() const
    {
        strings actions;
        if (!root.exists("/rc-actions"))
            return actions;
        std::istringstream in(root.read("/rc-actions"));
        for (std::string line; std::getline(in, line);)
            actions.push_back(line);
        return actions;
    }
};

// A new include file that breaks the configuration gives way to the earlier
// one, the very file with its mode and owner, or to none where there was none.
TEST_F(VhostTested, NewFileThatBreaksTheConfigurationGivesWay)
{
    root.write(k_template, "# new\nBREAKS\n");
    root.write(k_vhost_file, k_earlier, 0640);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(root.real(k_vhost_file).c_str(), 4241, 4242), 0);
    }
    struct stat before;
    ASSERT_EQ(::stat(root.real(k_vhost_file).c_str(), &before), 0);
    run_result r = run({"--install", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, k_create_failed);
    EXPECT_EQ(r.messages(),
              (strings{"Apache configuration test failed with the new include file for horde "
                       "webmail\n",
                       "Performing sanity check on apache22 configuration:\n",
                       "AH00526: Syntax error on line 2:\n", "Invalid command BREAKS\n",
                       k_create_failed}));
    EXPECT_EQ(root.read(k_vhost_file), k_earlier);
    struct stat after;
    ASSERT_EQ(::stat(root.real(k_vhost_file).c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(include_dir_entries(), strings{"zzz_horde_vhost.conf"});
    EXPECT_EQ(rc_actions(), (strings{"configtest", "configtest"}));

    std::filesystem::remove(root.real(k_vhost_file));
    r = run({"--enable", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(include_dir_entries().empty());

    // A test without the new file that cannot run decides nothing: the file
    // that failed is not armed, and the run fails.
    root.write(k_vhost_file, k_earlier);
    root.write("/once", "");
    r = run({"--enable", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.messages(),
              (strings{"Apache configuration test failed with the new include file for horde "
                       "webmail\n",
                       "Performing sanity check on apache22 configuration:\n",
                       "AH00526: Syntax error on line 2:\n", "Invalid command BREAKS\n",
                       "Unable to run '/usr/local/etc/rc.d/apache22 configtest': Permission "
                       "denied\n",
                       k_create_failed}));
    EXPECT_EQ(root.read(k_vhost_file), k_earlier);
    EXPECT_EQ(include_dir_entries(), strings{"zzz_horde_vhost.conf"});

    // Nor does one ended by a signal, the OOM killer's say.
    std::filesystem::remove(root.real("/once"));
    ::chmod(root.real(k_rc_script).c_str(), 0755);
    root.write("/die", "");
    r = run({"--enable", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.messages().at(4),
              "'/usr/local/etc/rc.d/apache22 configtest' was ended by signal 9\n");
    EXPECT_EQ(root.read(k_vhost_file), k_earlier);
}

// A run ended by SIGTERM, SIGINT or SIGHUP while it waits for the web server
// (its configtest, its -V) puts the earlier state back, and nothing of what it
// waited for outlives it.
TEST_F(VhostTested, SignalDuringTheTestPutsTheEarlierStateBack)
{
    root.write(k_template, "# new\n");
    const struct {
        int signal_number;
        const char *hangs;
        bool had_earlier;
    } cases[] = {
        {SIGTERM, k_rc_script, true},
        {SIGINT, k_rc_script, false},
        {SIGHUP, "/usr/sbin/httpd", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.signal_number);
        std::filesystem::remove(root.real(k_vhost_file));
        if (c.had_earlier)
            root.write(k_vhost_file, k_earlier);
        interrupted_install(c.hangs, c.signal_number);
        EXPECT_EQ(include_dir_entries(),
                  c.had_earlier ? strings{"zzz_horde_vhost.conf"} : strings{});
        if (c.had_earlier) {
            EXPECT_EQ(root.read(k_vhost_file), k_earlier);
        }
        EXPECT_FALSE(hcp_test::keeps_running(std::stoi(root.read("/child"))));
    }
}

// A run killed outright during the test leaves its undo record, which the next
// run that touches the include file rolls back before anything else: the
// killed run's untested file never passes for the earlier one.
TEST_F(VhostTested, KilledRunIsUndoneByTheNextRun)
{
    root.write(k_template, "BREAKS\n");
    for (bool had_earlier : {true, false}) {
        SCOPED_TRACE(had_earlier);
        std::filesystem::remove(root.real(k_vhost_file));
        if (had_earlier)
            root.write(k_vhost_file, k_earlier);
        interrupted_install(k_rc_script, SIGKILL);
        ::kill(-std::stoi(root.read("/group")), SIGKILL);
        EXPECT_EQ(root.read(k_vhost_file), "BREAKS\n");

        run_result r = run({had_earlier ? "--enable" : "--disable", "--name=horde"});
        EXPECT_EQ(r.status, had_earlier ? 255 : 0);
        EXPECT_EQ(include_dir_entries(), had_earlier ? strings{"zzz_horde_vhost.conf"} : strings{});
        if (had_earlier) {
            EXPECT_EQ(root.read(k_vhost_file), k_earlier);
        }
    }
}

// Any later run that takes the lock rolls the record back first: a reload
// never loads the killed run's untested file, and another webmail's test
// never fails for it.
TEST_F(VhostTested, KilledRunIsUndoneByAnyRunOfAnyWebmail)
{
    root.write(k_template, "BREAKS\n");
    root.mkdir("/usr/local/etc/hcp-webmail/horde/conf.d");
    root.write("/usr/local/etc/hcp-webmail/atmail/atmail.conf",
               "alias=atmail\nname=A\nversion=1\nrelease=1\ndocroot=/a\nenabled=true\n");
    root.write("/usr/local/etc/hcp-webmail/atmail/atmail_vhost.conf", "# atmail\n");
    for (const char *next : {"--set-default", "--install"}) {
        SCOPED_TRACE(next);
        root.write(k_vhost_file, k_earlier);
        interrupted_install(k_rc_script, SIGKILL);
        ::kill(-std::stoi(root.read("/group")), SIGKILL);
        run_result r = std::string(next) == "--install"
                           ? run({next, "--name=atmail"})
                           : run({next, "--vhost-name=example.com", "--name=horde"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(root.read(k_vhost_file), k_earlier);
        EXPECT_EQ(r.log.at(0).message, "Rolled back the change of " + std::string(k_vhost_file) +
                                           " that a killed run left undecided\n");
        EXPECT_EQ(r.log.size(), 1u);
    }
    EXPECT_EQ(root.read("/reloaded"), k_earlier);
}

// A configuration broken before the run is not the new file's doing: it stays,
// with one warning, and the run succeeds.
TEST_F(VhostTested, ConfigurationBrokenBeforeKeepsTheNewFile)
{
    root.write(std::string(k_include_dir) + "/other.conf", "BREAKS\n");
    root.write(k_template, "# new\n");
    root.write(k_vhost_file, k_earlier);
    run_result r = run({"--install", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].priority, LOG_WARNING);
    EXPECT_EQ(r.log[0].message,
              "Apache configuration test fails also without the new include file for horde "
              "webmail, which is kept: Performing sanity check on apache22 configuration:\n");
    EXPECT_EQ(root.read(k_vhost_file), "# new\n");
    EXPECT_EQ(rc_actions(), (strings{"configtest", "configtest"}));
    strings entries = include_dir_entries();
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (strings{"other.conf", "zzz_horde_vhost.conf"}));
}

// Without a script to test with, or with NO_RESTART_DAEMON, nothing is
// tested; a script that is there but cannot run decides nothing, and the
// earlier file stays.
TEST_F(VhostTested, NothingToTestWithChangesNothing)
{
    root.write(k_template, "BREAKS\n");
    root.write_conf(std::string(k_conf) + "HTTPD_SERVICE apache22\nNO_RESTART_DAEMON 1\n");
    run_result r = run({"--install", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log.empty());
    EXPECT_TRUE(rc_actions().empty());
    // The default service name, whose script is not there: the same, and no
    // report of the missing script either.
    root.write_conf(k_conf);
    r = run({"--install", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(r.log.empty());
    EXPECT_EQ(root.read(k_vhost_file), "BREAKS\n");

    root.write_conf(std::string(k_conf) + "HTTPD_SERVICE apache22\n");
    ::chmod(root.real(k_rc_script).c_str(), 0644);
    root.write(k_template, "# new\n");
    r = run({"--enable", "--name=horde"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, k_create_failed);
    EXPECT_EQ(r.messages(), (strings{"Unable to run '/usr/local/etc/rc.d/apache22 configtest': "
                                     "Permission denied\n",
                                     k_create_failed}));
    EXPECT_EQ(root.read(k_vhost_file), "BREAKS\n");
    EXPECT_EQ(include_dir_entries(), strings{"zzz_horde_vhost.conf"});
}

// A caller that ignores SIGCHLD, as some daemons do, is served as any other:
// the -V and the configuration test are waited for and read.
TEST_F(VhostTested, CallerThatIgnoresSigchldIsServed)
{
    root.write(k_template, "# new\n");
    run_result r =
        hcp_test::run_tool_under({"/usr/bin/perl", "-e", "$SIG{CHLD} = 'IGNORE'; exec @ARGV"}, root,
                                 {"--install", "--name=horde"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(r.log.empty());
    EXPECT_EQ(root.read(k_vhost_file), "# new\n");
    EXPECT_EQ(rc_actions(), strings{"configtest"});
}

} // namespace
