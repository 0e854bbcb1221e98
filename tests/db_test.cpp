// Connections to the panel database, against the private bench server.
#include "harness.hpp"

#include "hcp_db.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <string>

namespace
{

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::string k_refused_login = "Unable to connect to Vexla Database: Access denied for user "
                                    "'admin'@'localhost' (using password: YES)";

class DbConnect : public testing::Test
{
  protected:
    void SetUp() override
    {
        db.reset();
        root.write_password();
        root.enter();
        db_mysql41_mode = -1;
    }

    void write_password(const std::string &content)
    {
        root.write("/etc/hcp/.hcp.shadow", content, 0600);
    }

    // A value read over the tool's own connection.
    static std::string value_on(MYSQL *handle, const char *query)
    {
        const char *value = db_query_first_value(query, handle);
        return value != nullptr ? value : "(absent)";
    }

    hcp_test::bench_db db;
    hcp_test::temp_root root;
    char message[4097] = "";
};

TEST_F(DbConnect, PasswordIsTheFirstLineWithoutItsNewline)
{
    const std::string pw = hcp_test::bench_db::password();
    struct {
        std::string file;
        bool connects;
    } cases[] = {
        {pw + "\n", true},
        {pw, true},
        {pw + "\nsecond line\n", true},
        {pw + "\r\n", false}, // only the newline goes
        {pw + " \n", false},
        {" " + pw + "\n", false},
        {pw + "\n\n", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.file));
        write_password(c.file);
        message[0] = '\0';
        errno = EINTR;
        MYSQL *handle = db_connect(message, sizeof message);
        EXPECT_EQ(handle != nullptr, c.connects);
        if (handle != nullptr) {
            mysql_close(handle);
        } else {
            EXPECT_EQ(message, k_refused_login);
            EXPECT_EQ(errno, 0) << "a refused login is no system failure";
        }
    }
}

TEST_F(DbConnect, PasswordIsCutAfter99Characters)
{
    std::string pw99;
    for (int i = 0; i < 99; i++)
        pw99 += char('a' + i % 26);
    db.exec("ALTER USER 'admin'@'localhost' IDENTIFIED BY '" + pw99 + "'");

    write_password(pw99 + "XYZ\n");
    MYSQL *handle = db_connect(message, sizeof message);
    EXPECT_NE(handle, nullptr) << message;
    mysql_close(handle);

    write_password(pw99.substr(0, 98) + "\n");
    EXPECT_EQ(db_connect(message, sizeof message), nullptr);
    EXPECT_EQ(message, k_refused_login);
}

TEST_F(DbConnect, PasswordFileFailuresNameTheSystemError)
{
    struct {
        const char *what;
        void (*prepare)(const hcp_test::temp_root &);
        int expected_errno;
    } cases[] = {
        {"missing",
         [](const hcp_test::temp_root &r) { std::remove(r.real("/etc/hcp/.hcp.shadow").c_str()); },
         ENOENT},
        {"empty", [](const hcp_test::temp_root &r) { r.write("/etc/hcp/.hcp.shadow", ""); }, 0},
        {"a directory",
         [](const hcp_test::temp_root &r) {
             std::remove(r.real("/etc/hcp/.hcp.shadow").c_str());
             r.mkdir("/etc/hcp/.hcp.shadow");
         },
         EISDIR},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare(root);
        errno = EINTR; // stale: must not show in the message
        EXPECT_EQ(db_connect_bare(message, sizeof message), nullptr);
        std::string expected = c.expected_errno == ENOENT ? "Unable to open admin password file: "
                                                          : "Unable to read admin password file: ";
        EXPECT_EQ(message, expected + std::strerror(c.expected_errno));
        EXPECT_EQ(errno, c.expected_errno);
    }
}

TEST_F(DbConnect, CharacterSetFollowsTheMysql41Setting)
{
    struct {
        const char *row; // VALUES of the misc row, or nullptr for none
        int mode;
        const char *client_charset_prefix;
    } cases[] = {
        {nullptr, 0, "binary"},
        {"('mysql41_compatible', NULL)", 0, "binary"},
        {"('mysql41_compatible', '')", 0, "binary"},
        {"('mysql41_compatible', 'false')", 0, "binary"},
        {"('mysql41_compatible', 'true')", 1, "utf8"},
        {"('mysql41_compatible', 'False')", 1, "utf8"},
        {"('mysql41_compatible', '0')", 1, "utf8"},
        {"('other', 'true')", 0, "binary"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.row != nullptr ? c.row : "no row");
        db.exec("DELETE FROM misc");
        if (c.row != nullptr)
            db.exec(std::string("INSERT INTO misc VALUES ") + c.row);
        db_mysql41_mode = -1;
        MYSQL *handle = db_connect(message, sizeof message);
        ASSERT_NE(handle, nullptr) << message;
        EXPECT_EQ(db_get_mysql41_mode(), c.mode);
        EXPECT_EQ(
            value_on(handle, "SELECT @@character_set_client").rfind(c.client_charset_prefix, 0), 0u)
            << value_on(handle, "SELECT @@character_set_client");
        EXPECT_EQ(value_on(handle, "SELECT @@foreign_key_checks"), "0");
        mysql_close(handle);
    }
}

// With misc gone the setup fails with a server error: which openers give a
// handle, and whether the setup ran at all.
TEST_F(DbConnect, OpenersDifferInSetupAndFinalCheck)
{
    db.exec("DROP TABLE misc");
    const std::string refused_setup =
        "DB error (mysql41 compatible query) 1146: Table 'hcp.misc' doesn't exist";
    struct {
        const char *name;
        MYSQL *(*open)(char *, size_t);
        bool handle;
        bool set_up;
    } cases[] = {
        {"db_connect", db_connect, false, true},
        {"db_open", db_open, false, true},
        {"db_connect_unchecked", db_connect_unchecked, true, true},
        {"db_connect_checked", db_connect_checked, true, false},
        {"db_connect_bare", db_connect_bare, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        message[0] = '\0';
        errno = EINTR;
        MYSQL *handle = c.open(message, sizeof message);
        EXPECT_EQ(handle != nullptr, c.handle);
        EXPECT_EQ(message, c.set_up ? refused_setup : "");
        if (!c.handle) {
            EXPECT_EQ(errno, 0);
        }
        if (handle != nullptr) {
            EXPECT_EQ(value_on(handle, "SELECT @@foreign_key_checks"), c.set_up ? "0" : "1");
            mysql_close(handle);
        }
        EXPECT_EQ(db_get_mysql41_mode(), -1) << "a refused setting query leaves the mode";
    }
}

TEST_F(DbConnect, SetupOnALostConnectionNamesTheVersionQuery)
{
    MYSQL *handle = db_connect_bare(message, sizeof message);
    ASSERT_NE(handle, nullptr) << message;
    db.exec("KILL CONNECTION " + std::to_string(mysql_thread_id(handle)));
    EXPECT_EQ(db_setup_charset(handle, message, sizeof message), -1);
    EXPECT_EQ(std::string(message).rfind("DB error (query version) 20", 0), 0u) << message;
    mysql_close(handle);
}

TEST_F(DbConnect, ConnectOrReportPrintsTheRefusalAndGoesOn)
{
    write_password("wrong\n");
    CaptureStdout();
    CaptureStderr();
    errno = 0;
    EXPECT_EQ(db_connect_or_report(), nullptr);
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    EXPECT_EQ(out, k_refused_login + "\n");
    EXPECT_EQ(err, k_refused_login + "\n");
}

TEST_F(DbConnect, ProbeConnectsOnlyWhileTheModeIsUnknown)
{
    db.exec("INSERT INTO misc VALUES ('mysql41_compatible', 'true')");
    CaptureStdout();
    EXPECT_EQ(db_probe_mysql41_mode(), 1);
    // Without a password file a second connect would fail loudly.
    std::remove(root.real("/etc/hcp/.hcp.shadow").c_str());
    EXPECT_EQ(db_probe_mysql41_mode(), 1);
    EXPECT_EQ(GetCapturedStdout(), "");

    db_mysql41_mode = -1;
    CaptureStdout();
    EXPECT_EQ(db_probe_mysql41_mode(), -1);
    EXPECT_EQ(GetCapturedStdout(), "Unable to open admin password file: No such file or directory\n"
                                   "System error 2: No such file or directory\n");
}

// Running out of memory inside the library is the allocation report and exit
// status 1, as checked_malloc gives it, never a C++ exception that a C caller
// could not catch. Memory is exhausted under an address-space limit first.
#if !defined(__SANITIZE_ADDRESS__)
void look_up_without_memory()
{
    MYSQL *handle = mysql_init(nullptr);
    struct rlimit limit = {};
    ::getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = 0;
    ::setrlimit(RLIMIT_AS, &limit);
    // Chained, so that no allocation can be left out as unused.
    void *taken = nullptr;
    for (size_t size = size_t(1) << 20; size >= sizeof(void *); size /= 2)
        while (void *block = std::malloc(size)) {
            *static_cast<void **>(block) = taken;
            taken = block;
        }
    db_lookup_value("horde", "Webmails", "product_id", "name", handle);
    std::exit(taken != nullptr ? 0 : 2);
}
#endif

TEST(DbMemory, ExhaustedMemoryIsReportedAndEndsWithStatusOne)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator does not live under an address-space limit";
#else
    EXPECT_EXIT(look_up_without_memory(), testing::ExitedWithCode(1),
                "Can't allocate memory for error message|alloc\\(");
#endif
}

} // namespace
