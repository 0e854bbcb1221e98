// lanternctl against the bench server: the catalogue changes of install,
// remove, enable and disable, --list, and how webmail definitions are read.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

using hcp_test::run_result;
using strings = std::vector<std::string>;

const char k_definition_file[] = "/usr/local/etc/hcp-webmail/horde/horde.conf";
const char k_horde_definition[] = "alias=horde\nname=Horde\nversion=3.1\nrelease=3\n"
                                  "docroot=/usr/local/www/horde\nenabled=true\n";
const char k_all_columns[] =
    "SELECT product_id, name, version, `release`, docroot, enabled FROM Webmails";

class Catalogue : public testing::Test
{
  protected:
    void SetUp() override
    {
        db.reset();
        root.write_password();
        root.write_conf("");
    }

    run_result run(const strings &args) { return hcp_test::run_tool(root, args); }

    std::vector<hcp_test::bench_db::row> webmails() { return db.rows(k_all_columns); }

    // The table holding exactly one row with these values.
    static std::vector<hcp_test::bench_db::row> one_row(const strings &values)
    {
        return {hcp_test::bench_db::row(values.begin(), values.end())};
    }

    void insert_horde(const char *enabled = "true")
    {
        db.exec(std::string("INSERT INTO Webmails VALUES (NULL, 'horde', 'Horde', '3.1', '3', "
                            "'/usr/local/www/horde', '") +
                enabled + "')");
    }

    // Whether the run logged exactly this message.
    static bool has_message(const run_result &r, const std::string &text)
    {
        auto m = r.messages();
        return std::find(m.begin(), m.end(), text) != m.end();
    }

    // The command reached the virtual-host step (no template is installed,
    // so that step fails) without a catalogue or definition failure.
    static void expect_reached_vhost_step(const run_result &r, const char *verb)
    {
        EXPECT_FALSE(has_message(r, "Unable to change record into database\n"));
        EXPECT_FALSE(has_message(r, "Unable to get options for horde webmail\n"));
        EXPECT_EQ(r.status, 255);
        std::string summary =
            std::string("Unable to ") + verb + " vhost configuration for horde webmail\n";
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back().message, summary);
        EXPECT_EQ(r.log.back().priority, 3);
        EXPECT_TRUE(r.out.ends_with(summary)) << r.out;
    }

    hcp_test::bench_db db;
    hcp_test::temp_root root;
};

TEST_F(Catalogue, ListPrintsEveryRowInTheServersOrder)
{
    db.exec("INSERT INTO Webmails VALUES (NULL, 'horde', 'Horde', '3.1', '3', '/h', 'true'),"
            " (NULL, 'atmail', 'AtMail', '5.0', '1', '/a', 'false'),"
            " (NULL, 'atmailcom', 'AtMailCom', '1234567890123', NULL, '/c', 'true')");
    run_result r = run({"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "horde\t\t3.1.3\natmail\t\t5.0.1\natmailcom\t\t1234567890123.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.log.empty());
}

TEST_F(Catalogue, ListOfAnEmptyCatalogueIsEmpty)
{
    run_result r = run({"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.log.empty());
}

TEST_F(Catalogue, ListFailures)
{
    const std::string refused_login = "Unable to connect to Vexla Database: Access denied for "
                                      "user 'admin'@'localhost' (using password: YES)\n";
    struct {
        const char *what;
        const char *sql;      // run before, or nullptr
        const char *password; // written instead of the right one, or nullptr
        strings log;
        std::string out;
        std::string err;
    } cases[] = {
        {"table gone",
         "DROP TABLE Webmails",
         nullptr,
         {"Unable to get webmails list from database: Table 'hcp.Webmails' doesn't exist",
          "Unable to print webmails list. \n"},
         "Unable to print webmails list. \n",
         ""},
        {"wrong password",
         nullptr,
         "wrong\n",
         {"Unable to connect to the mysql database\n", "Unable to print webmails list. \n"},
         refused_login + "Unable to print webmails list. \n",
         refused_login},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        db.reset();
        root.write_password();
        if (c.sql != nullptr)
            db.exec(c.sql);
        if (c.password != nullptr)
            root.write("/etc/hcp/.hcp.shadow", c.password, 0600);
        run_result r = run({"--list"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.messages(), c.log);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Catalogue, InstallInsertsTheDefinitionOnce)
{
    root.write(k_definition_file, k_horde_definition);
    run_result r = run({"--install", "--name=horde"});
    expect_reached_vhost_step(r, "create");
    EXPECT_EQ(webmails(), one_row({"horde", "Horde", "3.1", "3", "/usr/local/www/horde", "true"}));

    // Installed again, from the row now: nothing changes, disabled or not.
    db.exec("UPDATE Webmails SET enabled='false'");
    root.write(k_definition_file, "alias=other\n");
    r = run({"--install", "--name=horde"});
    expect_reached_vhost_step(r, "create");
    EXPECT_EQ(webmails(), one_row({"horde", "Horde", "3.1", "3", "/usr/local/www/horde", "false"}));
}

TEST_F(Catalogue, InstallKeepsQuotesAndBackslashesAsTheyAre)
{
    root.write(k_definition_file, "alias=horde\nname=O'Mail\nversion=3.1\nrelease=3 'final'\n"
                                  "docroot=/www/o'mail\\x\nenabled=true\n");
    run_result r = run({"--install", "--name=horde"});
    expect_reached_vhost_step(r, "create");
    EXPECT_EQ(webmails(),
              one_row({"horde", "O'Mail", "3.1", "3 'final'", "/www/o'mail\\x", "true"}));
}

TEST_F(Catalogue, EnableAndDisableSwitchARegisteredRow)
{
    insert_horde("false");
    run_result r = run({"--enable", "--name=horde"});
    expect_reached_vhost_step(r, "create");
    EXPECT_EQ(*webmails().at(0).at(5), "true");

    r = run({"--disable", "--name=horde"});
    EXPECT_FALSE(has_message(r, "Unable to change record into database\n"));
    EXPECT_EQ(*webmails().at(0).at(5), "false");
}

TEST_F(Catalogue, EnableOrDisableOfAnUnregisteredWebmailFails)
{
    root.write(k_definition_file, k_horde_definition);
    for (const char *command : {"--enable", "--disable"}) {
        SCOPED_TRACE(command);
        run_result r = run({command, "--name=horde"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.messages(),
                  (strings{"Unable to switch on webmail horde: webmail is not installed",
                           "Unable to change record into database\n"}));
        EXPECT_EQ(r.out, "Unable to change record into database\n");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(webmails().empty());
    }
}

TEST_F(Catalogue, RemoveDeletesTheRowAndToleratesNone)
{
    insert_horde();
    db.exec("INSERT INTO Webmails VALUES (NULL, 'atmail', 'AtMail', '5.0', '1', '/a', 'true')");
    run_result r = run({"--remove", "--name=horde"});
    EXPECT_FALSE(has_message(r, "Unable to change record into database\n"));
    EXPECT_EQ(webmails(), one_row({"atmail", "AtMail", "5.0", "1", "/a", "true"}));

    root.write(k_definition_file, k_horde_definition);
    r = run({"--remove", "--name=horde"});
    EXPECT_FALSE(has_message(r, "Unable to change record into database\n"));
    EXPECT_FALSE(has_message(r, "Unable to get options for horde webmail\n"));
    EXPECT_EQ(webmails().size(), 1u);
}

// A later command option adds its required values but never changes the
// command; -h after a command option is no help.
TEST_F(Catalogue, TheFirstCommandOptionWins)
{
    root.write(k_definition_file, k_horde_definition);
    run_result r = run({"--install", "--remove", "--name=horde"});
    expect_reached_vhost_step(r, "create");
    EXPECT_EQ(webmails().size(), 1u);

    r = run({"--list", "--install", "--name=horde", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "horde\t\t3.1.3\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.log.empty());

    r = run({"--remove", "--install", "--name=horde", "--help"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(webmails().empty());
}

TEST_F(Catalogue, OnlySetDefaultAndRenameRestartTheWebServer)
{
    const std::string record = root.dir() + "/rc-record";
    root.write_conf("HTTPD_SERVICE apache22\nHTTPD_INCLUDE_D /usr/local/etc/apache22/Includes\n");
    root.mkdir("/usr/local/etc/apache22/Includes");
    db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example')");
    root.mkdir("/usr/local/etc/hcp-webmail/horde/conf.d");
    root.write(k_definition_file, k_horde_definition);
    root.write("/usr/local/etc/hcp-webmail/horde/horde_vhost.conf", "DocumentRoot x\n");
    root.write("/usr/sbin/httpd",
               "#!/bin/sh\necho 'Server version: Apache/2.2.3 (FreeBSD)'\n"
               "echo \"Server's Module Magic Number: 20051115:3\"\n",
               0755);
    hcp_test::install_rc_recorder(root, "/usr/local/etc/rc.d/apache22");

    for (const strings &args :
         {strings{"--install", "--name=horde"}, strings{"--disable", "--name=horde"},
          strings{"--enable", "--name=horde"}, strings{"--list"},
          strings{"--remove", "--name=horde"}}) {
        for (bool no_restart : {false, true}) {
            strings argv = args;
            if (no_restart)
                argv.push_back("--no-restart");
            SCOPED_TRACE(testing::PrintToString(argv));
            ::unlink(record.c_str());
            run_result r = hcp_test::run_tool(root, argv, {"RC_RECORD=" + record});
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(r.log.empty()) << testing::PrintToString(r.messages());
            // Install and enable test the configuration they wrote, no more.
            auto runs = hcp_test::read_rc_records(record);
            bool tests = args[0] == "--install" || args[0] == "--enable";
            ASSERT_EQ(runs.size(), tests ? 1u : 0u);
            if (tests) {
                EXPECT_EQ(runs[0]["args"], "configtest");
            }
        }
    }
    ::unlink(record.c_str());
    // The stand-in script does record a restart.
    run_result r =
        hcp_test::run_tool(root, {"--set-default", "--vhost-name=example.com", "--name=horde"},
                           {"RC_RECORD=" + record});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(hcp_test::read_rc_records(record).size(), 1u);
}

TEST_F(Catalogue, RefusedStatementsAreLoggedWithTheServersText)
{
    struct {
        const char *what;
        const char *sql;
        strings args;
        bool registered;
        std::string first_log_prefix;
    } cases[] = {
        {"insert",
         "REVOKE INSERT ON hcp.* FROM 'admin'@'localhost'",
         {"--install", "--name=horde"},
         false,
         "Unable to add record to database: horde INSERT command denied"},
        {"update",
         "REVOKE UPDATE ON hcp.* FROM 'admin'@'localhost'",
         {"--enable", "--name=horde"},
         true,
         "Unable to remove record from database horde: UPDATE command denied"},
        {"delete",
         "REVOKE DELETE ON hcp.* FROM 'admin'@'localhost'",
         {"--remove", "--name=horde"},
         true,
         "Unable to remove record from database horde: DELETE command denied"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        db.reset();
        root.write(k_definition_file, k_horde_definition);
        if (c.registered)
            insert_horde("false");
        db.exec(c.sql);
        auto before = webmails();
        run_result r = run(c.args);
        EXPECT_EQ(r.status, 255);
        ASSERT_EQ(r.log.size(), 2u) << testing::PrintToString(r.messages());
        EXPECT_EQ(r.log[0].message.rfind(c.first_log_prefix, 0), 0u) << r.log[0].message;
        EXPECT_EQ(r.log[1].message, "Unable to change record into database\n");
        EXPECT_EQ(r.out, "Unable to change record into database\n");
        EXPECT_EQ(webmails(), before);
    }
}

TEST_F(Catalogue, DefinitionReadFromTheRowAlone)
{
    // docroot set: the row is the whole definition, even with an empty version.
    db.exec("INSERT INTO Webmails VALUES (NULL, 'horde', NULL, '', NULL, '/www/horde', 'false')");
    run_result r = run({"--enable", "--name=horde"});
    expect_reached_vhost_step(r, "create");
    EXPECT_EQ(*webmails().at(0).at(5), "true");
}

TEST_F(Catalogue, RowWithoutDocrootIsCompletedByTheFile)
{
    db.exec("INSERT INTO Webmails VALUES (NULL, 'horde', 'Horde', '3.1', '3', '', 'false')");
    root.write(k_definition_file, "docroot=/www/horde\n");
    run_result r = run({"--enable", "--name=horde"});
    expect_reached_vhost_step(r, "create");
    EXPECT_EQ(*webmails().at(0).at(5), "true");
}

// Each definition file installs, and the row shows how it was read.
TEST_F(Catalogue, DefinitionFileGrammar)
{
    const std::string base = "alias=horde\nname=Horde\nversion=3.1\nrelease=3\nenabled=true\n";
    struct {
        const char *what;
        std::string file;
        strings row;
    } cases[] = {
        {"keys trimmed and lowercased, values trimmed",
         "  ALIAS = horde \n\tName=Horde\nversion =3.1\nRelease= 3 \n  DocRoot =  /www/h a  \n"
         "ENABLED=true\n",
         {"horde", "Horde", "3.1", "3", "/www/h a", "true"}},
        {"carriage returns",
         "alias=horde\r\nname=Horde\r\nversion=3.1\r\nrelease=3\r\n"
         "docroot=/www/h\r\nenabled=true\r\n",
         {"horde", "Horde", "3.1", "3", "/www/h", "true"}},
        {"comments, unknown keys, quotes kept, later lines win",
         "# docroot=/nowhere\n\n" + base +
             "color=blue\nversion=9.9\nname=\"Horde\"\ndocroot=/a=b\n",
         {"horde", "\"Horde\"", "9.9", "3", "/a=b", "true"}},
        {"values cut to their field",
         base + "name=ABCDEFGHIJK\nrelease=" + std::string(60, 'r') +
             "\ndocroot=" + std::string(1100, 'd') + "\n",
         {"horde", "ABCDEFGHI", "3.1", std::string(49, 'r'), std::string(1023, 'd'), "true"}},
        {"alias other than the name",
         "alias=hordex\n" + base.substr(12) + "docroot=/h\n",
         {"hordex", "Horde", "3.1", "3", "/h", "true"}},
        // A line longer than the 4095-character buffer is read in pieces.
        {"long line read in pieces",
         base + std::string(4095, '#') + "docroot=/piece\n",
         {"horde", "Horde", "3.1", "3", "/piece", "true"}},
        {"long value cut at the first piece",
         base + "docroot=" + std::string(5000, 'x') + "\n",
         {"horde", "Horde", "3.1", "3", std::string(1023, 'x'), "true"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        db.reset();
        root.write(k_definition_file, c.file);
        run_result r = run({"--install", "--name=horde"});
        expect_reached_vhost_step(r, "create");
        EXPECT_EQ(webmails(), one_row(c.row));
    }
}

TEST_F(Catalogue, DefinitionFailuresAreLoggedInOrder)
{
    const strings tail = {"Unable to get webmail configuration from file",
                          "Unable to get options for horde webmail\n"};
    struct {
        const char *what;
        void (*prepare)(const hcp_test::temp_root &);
        strings log; // before the tail
    } cases[] = {
        {"no row, no file",
         [](const hcp_test::temp_root &) {},
         {"Unable to find config file for horde webmail"}},
        {"file cannot be opened",
         [](const hcp_test::temp_root &r) { r.write("/usr/local/etc/hcp-webmail/horde", "x"); },
         {"System error: Not a directory"}},
        {"file cannot be read",
         [](const hcp_test::temp_root &r) { r.mkdir(k_definition_file); },
         {"Unable to read config file for horde webmail"}},
        {"keys missing or emptied",
         [](const hcp_test::temp_root &r) {
             r.write(k_definition_file, "name=Horde\nrelease=3\ndocroot=/h\nenabled=true\n"
                                        "docroot\nenabled=\n");
         },
         {"Unable to find value for \"alias\" option\n",
          "Unable to find value for \"version\" option\n",
          "Unable to find value for \"docroot\" option\n",
          "Unable to find value for \"enabled\" option\n",
          "Unable to get some options for horde webmail or options is not correct\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        hcp_test::temp_root fresh;
        fresh.write_password();
        fresh.write_conf("");
        c.prepare(fresh);
        run_result r = hcp_test::run_tool(fresh, {"--install", "--name=horde"});
        strings expected = c.log;
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.messages(), expected);
        EXPECT_EQ(r.out, "Unable to get options for horde webmail\n");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(webmails().empty());
    }
}

TEST_F(Catalogue, WithoutTheDatabaseTheFileStillDefinesTheWebmail)
{
    struct {
        const char *what;
        const char *sql;
        const char *password;
        strings log;
    } cases[] = {
        {"table gone",
         "DROP TABLE Webmails",
         nullptr,
         {"Unable to query domains: Table 'hcp.Webmails' doesn't exist",
          "Unable to get webmail configuration from database",
          "Unable to get record for horde webmail from database: Table 'hcp.Webmails' doesn't "
          "exist",
          "Unable to change record into database\n"}},
        {"wrong password",
         nullptr,
         "wrong\n",
         {"Unable to connect to the mysql database\n",
          "Unable to get webmail configuration from database",
          "Unable to connect to the mysql database\n", "Unable to change record into database\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        db.reset();
        root.write_password();
        root.write(k_definition_file, k_horde_definition);
        if (c.sql != nullptr)
            db.exec(c.sql);
        if (c.password != nullptr)
            root.write("/etc/hcp/.hcp.shadow", c.password, 0600);
        run_result r = run({"--install", "--name=horde"});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.messages(), c.log);
        EXPECT_TRUE(r.out.ends_with("Unable to change record into database\n")) << r.out;
    }
}

} // namespace
