// Single-value lookups against the private bench server.
#include "harness.hpp"

#include "hcp_db.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace
{

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class Lookup : public testing::Test
{
  protected:
    void SetUp() override
    {
        db.reset();
        root.write_password();
        root.enter();
    }

    // Connections of user admin the server still has, once it settled.
    int admin_connections(int expected)
    {
        int count = -1;
        for (int i = 0; i < 40; i++) {
            auto rows =
                db.rows("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER='admin'");
            count = std::stoi(*rows.at(0).at(0));
            if (count == expected)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return count;
    }

    static std::string shown(const char *value) { return value != nullptr ? value : "(absent)"; }

    hcp_test::bench_db db;
    hcp_test::temp_root root;
};

TEST_F(Lookup, ParameterValuesWithOwnAndBorrowedHandles)
{
    db.exec("INSERT INTO misc VALUES ('FullHostName', 'host.example.com'), ('admin_email', NULL),"
            " ('cf_instance_path', ''), ('it''s', 'quoted \\\\ value')");
    struct {
        const char *name;
        const char *expected;
    } cases[] = {
        {"FullHostName", "host.example.com"},
        {"admin_email", ""},      // NULL
        {"cf_instance_path", ""}, // empty
        {"missing", ""},          // no row
        {"it's", "quoted \\ value"},
        {"fullhostname'-- ", ""},
    };
    char message[4097];
    MYSQL *handle = db_connect(message, sizeof message);
    ASSERT_NE(handle, nullptr) << message;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(shown(db_get_param(c.name, nullptr)), c.expected);
        EXPECT_EQ(shown(db_get_param(c.name, handle)), c.expected);
    }
    mysql_close(handle);
}

TEST_F(Lookup, EveryResultSharesOneBuffer)
{
    db.exec("INSERT INTO misc VALUES ('first', 'one'), ('second', 'two')");
    const char *first = db_get_param("first", nullptr);
    const char *second = db_get_param("second", nullptr);
    EXPECT_EQ(first, db_value_buffer);
    EXPECT_EQ(second, db_value_buffer);
    EXPECT_STREQ(first, "two");
}

TEST_F(Lookup, LongValueIsCutTo4095Characters)
{
    db.exec("INSERT INTO misc VALUES ('long', REPEAT('v', 5000)), ('edge', REPEAT('e', 4095))");
    EXPECT_EQ(shown(db_get_param("long", nullptr)), std::string(4095, 'v'));
    EXPECT_EQ(shown(db_get_param("edge", nullptr)), std::string(4095, 'e'));
}

TEST_F(Lookup, QueriesChooseTheirColumn)
{
    db.exec("INSERT INTO Webmails VALUES (NULL, 'horde', 'Horde', '3.1', '3', '/www/horde', "
            "'true')");
    EXPECT_EQ(shown(db_lookup_value("horde", "Webmails", "product_id", "docroot", nullptr)),
              "/www/horde");
    EXPECT_EQ(shown(db_query_value("SELECT 'a', NULL, 'c'", nullptr, 2)), "c");
    EXPECT_EQ(shown(db_query_value("SELECT 'a', NULL, 'c'", nullptr, 1)), "");
    EXPECT_EQ(shown(db_query_value("SELECT 'a', NULL, 'c'", nullptr, 3)), "");
    EXPECT_EQ(shown(db_query_first_value("SELECT version FROM Webmails", nullptr)), "3.1");
    // Accepted, but a statement that gives no result set has no value.
    EXPECT_EQ(shown(db_query_first_value("SET @unused = 1", nullptr)), "");
}

TEST_F(Lookup, RefusedStatementIsReportedAndTheGivenHandleStaysOpen)
{
    char message[4097];
    MYSQL *handle = db_connect(message, sizeof message);
    ASSERT_NE(handle, nullptr) << message;
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(db_query_first_value("SELECT val FROM nowhere", handle), nullptr);
    const std::string report = "Unable to query parameter by query SELECT val FROM nowhere: "
                               "Table 'hcp.nowhere' doesn't exist\n";
    EXPECT_EQ(GetCapturedStdout(), report);
    EXPECT_EQ(GetCapturedStderr(), report);
    EXPECT_EQ(shown(db_query_first_value("SELECT 'still open'", handle)), "still open");
    EXPECT_EQ(admin_connections(1), 1);
    mysql_close(handle);
}

TEST_F(Lookup, OwnConnectionIsClosedAfterEveryOutcome)
{
    EXPECT_EQ(admin_connections(0), 0);
    EXPECT_EQ(shown(db_get_param("anything", nullptr)), "");
    EXPECT_EQ(admin_connections(0), 0);
    CaptureStdout();
    EXPECT_EQ(db_query_first_value("SELECT val FROM nowhere", nullptr), nullptr);
    GetCapturedStdout();
    EXPECT_EQ(admin_connections(0), 0);
}

TEST_F(Lookup, StatementLongerThanItsBufferIsCut)
{
    std::string key(5000, 'k');
    CaptureStdout();
    EXPECT_EQ(db_get_param(key.c_str(), nullptr), nullptr);
    std::string out = GetCapturedStdout();
    std::string cut = "select val from misc where param='" + key;
    cut.resize(4095);
    EXPECT_EQ(out.rfind("Unable to query parameter by query " + cut + ": You have an error", 0), 0u)
        << out.substr(0, 200);
}

TEST_F(Lookup, WithoutAConnectionBothReportsArePrinted)
{
    root.write("/etc/hcp/.hcp.shadow", "wrong\n", 0600);
    CaptureStdout();
    EXPECT_EQ(db_get_param("FullHostName", nullptr), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "Unable to connect to Vexla Database: Access denied for user "
                                   "'admin'@'localhost' (using password: YES)\n"
                                   "Unable to connect to the mysql database\n");
}

} // namespace
