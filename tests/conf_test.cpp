// The configuration reader (grammar, reports, the name/value set) and the
// runtime variables of /etc/hcp/hcp.conf with their defaults and cache.
#include "harness.hpp"

#include "hcp_conf.h"
#include "hcp_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr int k_reader_priority = 12;

struct log_record {
    int priority;
    std::string message;
    bool operator==(const log_record &) const = default;
};

std::ostream &operator<<(std::ostream &os, const log_record &r)
{
    return os << r.priority << ": " << testing::PrintToString(r.message);
}

std::vector<log_record> *g_records = nullptr;

void record_vlog(int priority, const char *format, va_list ap)
{
    char *text = nullptr;
    if (vasprintf(&text, format, ap) >= 0)
        g_records->push_back({priority, text});
    std::free(text);
}

// Takes the place of the log sink, so every report is seen with its priority.
class log_recorder
{
  public:
    log_recorder()
    {
        g_records = &records;
        hcp_log_sink.log_vprintf = record_vlog;
    }
    ~log_recorder()
    {
        hcp_log_sink = saved_;
        g_records = nullptr;
    }
    log_recorder(const log_recorder &) = delete;
    log_recorder &operator=(const log_recorder &) = delete;

    std::vector<log_record> records;

  private:
    log_sink saved_ = hcp_log_sink;
};

struct set_deleter {
    void operator()(conf_set *set) const { conf_set_free(set); }
};
using set_ptr = std::unique_ptr<conf_set, set_deleter>;

set_ptr fresh_set()
{
    return set_ptr(static_cast<conf_set *>(std::calloc(1, sizeof(conf_set))));
}

using entries = std::vector<std::pair<std::string, std::string>>;

entries entries_of(const conf_set &set)
{
    entries out;
    for (size_t i = 0; i < set.count; i++)
        out.emplace_back(set.entries[i].name, set.entries[i].value);
    return out;
}

std::string open_report(const std::string &path)
{
    return "unable to open configuration file " + path + ": No such file or directory\n";
}

// Each test gets its own file-system root, so the logical paths stay those of the panel.
class Conf : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (const char *old = std::getenv("HCP_SYSROOT"))
            saved_root_ = old;
        root.enter();
    }
    void TearDown() override
    {
        if (saved_root_.empty())
            ::unsetenv("HCP_SYSROOT");
        else
            ::setenv("HCP_SYSROOT", saved_root_.c_str(), 1);
    }

    hcp_test::temp_root root;

  private:
    std::string saved_root_;
};

} // namespace

// ---- The reader ----------------------------------------------------------------

TEST_F(Conf, ReaderGrammar)
{
    const std::string space_report = "\nExpected a space after variable name\n";
    const std::string value_report = "\nExpected a value";
    struct {
        const char *what;
        std::string file;
        entries expected; // in name order
        std::vector<std::string> reports;
    } cases[] = {
        {"empty file", "", {}, {}},
        {"blanks and comments", " \t\n\n# comment\n   # indented\n\r\n#A b\n", {}, {}},
        {"blanks around, comment after", "  NAME\tvalue   # comment\n", {{"NAME", "value"}}, {}},
        {"inner blanks stay", "INNER a  b\tc\n", {{"INNER", "a  b\tc"}}, {}},
        {"carriage return and newline", "CRLF value\r\n", {{"CRLF", "value"}}, {}},
        {"spaces before the newline", "SPACES value    \n", {{"SPACES", "value"}}, {}},
        {"# right after the value", "HASH value#comment\n", {{"HASH", "value"}}, {}},
        {"= and # inside", "V b=c # d # e\n", {{"V", "b=c"}}, {}},
        {"other blanks separate", "VT\vvalue\f\n", {{"VT", "value"}}, {}},
        {"name characters", "_9 digits\n9a_Z x\n", {{"9a_Z", "x"}, {"_9", "digits"}}, {}},
        {"last line without newline", "LAST value", {{"LAST", "value"}}, {}},
        {"name joined by =",
         "EQ=value\nNEXT ok\n",
         {{"NEXT", "ok"}},
         {"Invalid variable definition EQ=value\n" + space_report}},
        {"line starting with no name",
         "  \t=value\nNEXT ok\n",
         {{"NEXT", "ok"}},
         {"Invalid variable definition =value\n" + space_report}},
        {"byte above 127 in the name",
         "N\xc3\xa9 v\n",
         {},
         {"Invalid variable definition N\xc3\xa9 v\n" + space_report}},
        {"name as last line without newline",
         "FIRST 1\nLAST",
         {{"FIRST", "1"}},
         {"Invalid variable definition LAST" + space_report}},
        {"name and newline only",
         "NOVALUE\nNEXT ok\n",
         {{"NEXT", "ok"}},
         {"Invalid variable definition NOVALUE\n" + value_report}},
        {"name, blanks and a comment",
         "  NOVALUE   # only a comment\r\n",
         {},
         {"Invalid variable definition NOVALUE   # only a comment\r\n" + value_report}},
        {"last definition wins",
         "DUP first\nOTHER x\n  DUP\tsecond  \n",
         {{"DUP", "second"}, {"OTHER", "x"}},
         {}},
        {"names differ in case",
         "Name lower\nNAME upper\n",
         {{"NAME", "upper"}, {"Name", "lower"}},
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        root.write("/etc/hcp/test.conf", c.file);
        auto set = fresh_set();
        log_recorder log;
        EXPECT_EQ(conf_set_read("/etc/hcp/test.conf", set.get()), 0);
        EXPECT_EQ(entries_of(*set), c.expected);
        EXPECT_TRUE(set->sorted);
        std::vector<log_record> reports;
        for (const auto &r : c.reports)
            reports.push_back({k_reader_priority, r});
        EXPECT_EQ(log.records, reports);
    }
}

TEST_F(Conf, ReaderGrowsBeyondTwentyAndFindsEveryName)
{
    std::string file;
    for (int i = 44; i >= 0; i--)
        file += "V" + std::to_string(100 + i) + " value" + std::to_string(i) + "\n";
    root.write("/etc/hcp/many.conf", file);
    auto set = fresh_set();
    ASSERT_EQ(conf_set_read("/etc/hcp/many.conf", set.get()), 0);
    EXPECT_EQ(set->count, 45u);
    EXPECT_EQ(set->capacity, 80u);
    EXPECT_TRUE(set->sorted);
    for (int i = 0; i < 45; i++) {
        std::string name = "V" + std::to_string(100 + i);
        EXPECT_STREQ(set->entries[i].name, name.c_str());
        EXPECT_STREQ(conf_set_lookup(name.c_str(), set.get()),
                     ("value" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(conf_set_lookup("V99", set.get()), nullptr);
    EXPECT_EQ(conf_set_lookup("V145", set.get()), nullptr);
}

TEST_F(Conf, ReaderMissingFileReportsTheLogicalPathAndKeepsTheSet)
{
    auto set = fresh_set();
    ASSERT_EQ(conf_set_add("KEPT", "yes", set.get()), 0);
    log_recorder log;
    errno = 0;
    EXPECT_EQ(conf_set_read("/etc/hcp/absent.conf", set.get()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log.records,
              (std::vector<log_record>{{k_reader_priority, open_report("/etc/hcp/absent.conf")}}));
    EXPECT_EQ(entries_of(*set), (entries{{"KEPT", "yes"}}));
}

TEST_F(Conf, ReaderReportsAReadError)
{
    root.mkdir("/etc/hcp/dir.conf"); // opens, but cannot be read
    auto set = fresh_set();
    log_recorder log;
    errno = 0;
    EXPECT_EQ(conf_set_read("/etc/hcp/dir.conf", set.get()), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(log.records,
              (std::vector<log_record>{
                  {k_reader_priority, "Unable to read configuration file: Is a directory"}}));
}

// ---- The set ---------------------------------------------------------------------

TEST(ConfSet, ReserveStartsWithTwentyZeroedSlotsThenDoubles)
{
    auto set = fresh_set();
    ASSERT_EQ(conf_set_reserve(set.get()), 0);
    EXPECT_EQ(set->capacity, 20u);
    EXPECT_EQ(set->count, 0u);
    EXPECT_TRUE(set->sorted);
    for (size_t i = 0; i < 20; i++) {
        EXPECT_EQ(set->entries[i].name, nullptr);
        EXPECT_EQ(set->entries[i].value, nullptr);
    }
    for (int i = 0; i < 21; i++)
        ASSERT_EQ(conf_set_add(("N" + std::to_string(i)).c_str(), "v", set.get()), 0);
    EXPECT_EQ(set->capacity, 40u);
    EXPECT_EQ(set->count, 21u);
    EXPECT_STREQ(conf_set_lookup("N0", set.get()), "v");
    EXPECT_STREQ(conf_set_lookup("N20", set.get()), "v");
}

TEST(ConfSet, GrowthWhoseSizeOverflowsIsAnAllocationFailure)
{
    auto set = fresh_set();
    ASSERT_EQ(conf_set_reserve(set.get()), 0);
    conf_entry *array = set->entries;
    // Twice this many entries is exactly 2^64 bytes: the product wraps to 0.
    const size_t huge = SIZE_MAX / (2 * sizeof(conf_entry)) + 1;
    set->capacity = set->count = huge;
    log_recorder log;
    errno = 0;
    EXPECT_EQ(conf_set_reserve(set.get()), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(set->entries, array);
    EXPECT_EQ(set->capacity, huge);
    EXPECT_EQ(log.records,
              (std::vector<log_record>{
                  {k_reader_priority, "Unable to read configuration: Cannot allocate memory"}}));
    set->capacity = 20;
    set->count = 0;
}

TEST(ConfSet, AddReplacesInPlaceAndAppendsUnsorted)
{
    auto set = fresh_set();
    for (const char *name : {"c", "a", "b"})
        ASSERT_EQ(conf_set_add(name, name, set.get()), 0);
    EXPECT_FALSE(set->sorted);
    ASSERT_EQ(conf_set_add("a", "again", set.get()), 0);
    EXPECT_EQ(entries_of(*set), (entries{{"c", "c"}, {"a", "again"}, {"b", "b"}}));

    // Linear search while unsorted, binary search once sorted.
    for (const char *name : {"a", "b", "c"})
        EXPECT_NE(conf_set_lookup(name, set.get()), nullptr) << name;
    EXPECT_EQ(conf_set_lookup("d", set.get()), nullptr);
    conf_set_sort(set.get());
    EXPECT_TRUE(set->sorted);
    EXPECT_EQ(entries_of(*set), (entries{{"a", "again"}, {"b", "b"}, {"c", "c"}}));
    EXPECT_STREQ(conf_set_lookup("a", set.get()), "again");
    EXPECT_STREQ(conf_set_lookup("c", set.get()), "c");

    // Replacing is not appending: the order and the flag stay.
    ASSERT_EQ(conf_set_add("b", "new", set.get()), 0);
    EXPECT_TRUE(set->sorted);
    EXPECT_STREQ(conf_set_lookup("b", set.get()), "new");
    ASSERT_EQ(conf_set_add("0", "first", set.get()), 0);
    EXPECT_FALSE(set->sorted);
    EXPECT_STREQ(conf_set_lookup("0", set.get()), "first");
}

TEST(ConfSet, SortsInByteOrder)
{
    auto set = fresh_set();
    for (const char *name : {"b", "\xc3x", "_", "a", "B"})
        ASSERT_EQ(conf_set_add(name, "v", set.get()), 0);
    conf_set_sort(set.get());
    std::vector<std::string> names;
    for (const auto &e : entries_of(*set))
        names.push_back(e.first);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "_", "a", "b", "\xc3x"}));
    EXPECT_STREQ(conf_set_lookup("\xc3x", set.get()), "v");
    EXPECT_EQ(conf_set_lookup("A", set.get()), nullptr);
}

TEST(ConfSet, EmptySetsAndAbsentSets)
{
    auto set = fresh_set();
    EXPECT_EQ(conf_set_lookup("X", set.get()), nullptr);
    conf_set_free(nullptr);
}

// ---- Runtime variables --------------------------------------------------------------

TEST(ConfVar, TableNamesMatchTheEnumeration)
{
#define NAME_OF(var)                                                                               \
    {                                                                                              \
        var, #var                                                                                  \
    }
    const std::pair<conf_var, const char *> names[] = {
        NAME_OF(_MIN_POSSIBLE_HCP_CONF_VAR_NAME),
        NAME_OF(VEXLA_MAILNAMES_D),
        NAME_OF(COURIER_IMAP_ROOT_D),
        NAME_OF(RBLSMTPD),
        NAME_OF(CGI_PHP_BIN),
        NAME_OF(CLIENT_PHP_BIN),
        NAME_OF(LIB_CRYPTO_PATH),
        NAME_OF(LIB_SSL_PATH),
        NAME_OF(AWSTATS_DOC_D),
        NAME_OF(AWSTATS_TOOLS_D),
        NAME_OF(AWSTATS_BIN_D),
        NAME_OF(AWSTATS_ETC_D),
        NAME_OF(CATALINA_HOME),
        NAME_OF(MAILMAN_VAR_D),
        NAME_OF(MAILMAN_ROOT_D),
        NAME_OF(PGSQL_DATA_D),
        NAME_OF(PGSQL_BIN_D),
        NAME_OF(MYSQL_BIN_D),
        NAME_OF(MYSQL_VAR_D),
        NAME_OF(LOGROTATE),
        NAME_OF(WEB_STAT),
        NAME_OF(DUMP_D),
        NAME_OF(NAMED_RUN_ROOT_D),
        NAME_OF(FTPD_CONF_INC),
        NAME_OF(HTTPD_SERVICE),
        NAME_OF(HTTPD_LOG_D),
        NAME_OF(HTTPD_INCLUDE_D),
        NAME_OF(HTTPD_CONF_D),
        NAME_OF(HTTPD_VHOSTS_D),
        NAME_OF(PRODUCT_ROOT_D),
        NAME_OF(NAMED_OPTIONS_CONF),
        NAME_OF(NAMED_ZONES_CONF),
        NAME_OF(_MAX_POSSIBLE_HCP_CONF_VAR_NAME),
    };
#undef NAME_OF
    ASSERT_EQ(std::size(names), size_t(CONF_VAR_COUNT));
    for (size_t i = 0; i < std::size(names); i++) {
        EXPECT_EQ(size_t(names[i].first), i);
        EXPECT_STREQ(conf_var_names[names[i].first], names[i].second);
    }
    EXPECT_STREQ(conf_var_defaults[_MIN_POSSIBLE_HCP_CONF_VAR_NAME],
                 "_MIN_POSSIBLE_HCP_CONF_VAR_VALUE");
    EXPECT_STREQ(conf_var_defaults[_MAX_POSSIBLE_HCP_CONF_VAR_NAME],
                 "_MAX_POSSIBLE_HCP_CONF_VAR_VALUE");
}

namespace
{

// Checks made inside a child process; what goes wrong is written to its stderr.
struct child_checks {
    std::string problems;
    void str(int line, const char *got, const char *want)
    {
        if ((got == nullptr) != (want == nullptr) ||
            (got != nullptr && std::strcmp(got, want) != 0))
            problems += "line " + std::to_string(line) + ": got " +
                        (got ? "\"" + std::string(got) + "\"" : "NULL") + ", want " +
                        (want ? "\"" + std::string(want) + "\"" : "NULL") + "\n";
    }
    void that(int line, bool ok, const char *what)
    {
        if (!ok)
            problems += "line " + std::to_string(line) + ": " + what + "\n";
    }
    void reports(int line, const std::vector<log_record> &got, std::vector<std::string> want)
    {
        std::vector<log_record> expected;
        for (auto &w : want)
            expected.push_back({k_reader_priority, w});
        if (got != expected)
            problems += "line " + std::to_string(line) + ": reports " +
                        testing::PrintToString(got) + ", want " + testing::PrintToString(expected) +
                        "\n";
    }
};

#define CHECK_STR(got, want) checks.str(__LINE__, got, want)
#define CHECK_THAT(cond) checks.that(__LINE__, cond, #cond)
#define CHECK_REPORTS(got, ...) checks.reports(__LINE__, got, __VA_ARGS__)

// The loaded configuration lives as long as the process: each scenario runs
// in a child that starts with none, and must write exactly `stderr_text`.
template <typename F> void in_fresh_process(F body, const std::string &stderr_text = "")
{
    EXPECT_EXIT(
        {
            child_checks checks;
            body(checks);
            std::fputs(checks.problems.c_str(), stderr);
            std::exit(checks.problems.empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), testing::Matcher<const std::string &>(stderr_text));
}

} // namespace

TEST_F(Conf, WithoutAFileEveryGetterFallsBackAndTriesAgain)
{
    in_fresh_process([](child_checks &checks) {
        log_recorder log;
        CHECK_THAT(conf_load() == -1);
        CHECK_STR(conf_get(HTTPD_VHOSTS_D), "/usr/local/www/vhosts");
        CHECK_THAT(conf_get(HTTPD_SERVICE) == conf_var_defaults[HTTPD_SERVICE]);
        CHECK_STR(conf_get(HTTPD_SERVICE), "dynamic");
        CHECK_STR(conf_get_file_only(PRODUCT_ROOT_D), nullptr);
        CHECK_STR(conf_get_file_value("NO_RESTART_DAEMON"), nullptr);
        CHECK_STR(conf_get_by_name("PRODUCT_ROOT_D"), "/usr/local/hcp");
        const std::string open = open_report("/etc/hcp/hcp.conf");
        CHECK_REPORTS(log.records, {open, open, open, open, open, open, open});
    });
}

TEST_F(Conf, AFailedLoadIsRetriedAndASuccessfulOneIsFinal)
{
    in_fresh_process([this](child_checks &checks) {
        log_recorder log;
        CHECK_STR(conf_get(PRODUCT_ROOT_D), "/usr/local/hcp");
        root.write_conf("PRODUCT_ROOT_D /opt/hcp\n");
        // The default was not cached: the file that appeared now counts.
        CHECK_STR(conf_get(PRODUCT_ROOT_D), "/opt/hcp");
        CHECK_THAT(conf_load() == 0);
        CHECK_REPORTS(log.records, {open_report("/etc/hcp/hcp.conf")});

        root.write_conf("PRODUCT_ROOT_D /changed\nHTTPD_SERVICE apache22\n");
        CHECK_STR(conf_get(PRODUCT_ROOT_D), "/opt/hcp");
        CHECK_STR(conf_get(HTTPD_SERVICE), "dynamic");
        CHECK_STR(conf_get_file_value("HTTPD_SERVICE"), nullptr);
        CHECK_THAT(conf_load() == 0);
        CHECK_THAT(log.records.size() == 1);
    });
}

TEST_F(Conf, FileValuesComeFirstAndAreCached)
{
    root.write_conf("PRODUCT_ROOT_D /opt/hcp\n"
                    "HTTPD_SERVICE apache22\n"
                    "PRODUCT_ROOT_D /srv/hcp\n"
                    "NO_RESTART_DAEMON yes\n"
                    "httpd_include_d /lower/case\n"
                    "BAD=line\n");
    const std::string unknown =
        " isn't found neither in /etc/hcp/hcp.conf nor in compile-time defaults\n";
    in_fresh_process(
        [](child_checks &checks) {
            log_recorder log;
            CHECK_THAT(conf_load() == 0);
            CHECK_REPORTS(log.records, {"Invalid variable definition BAD=line\n\nExpected a "
                                        "space after variable name\n"});

            const char *first = conf_get(PRODUCT_ROOT_D);
            CHECK_STR(first, "/srv/hcp");
            CHECK_THAT(conf_get(PRODUCT_ROOT_D) == first);
            CHECK_THAT(conf_get_file_only(PRODUCT_ROOT_D) == first);
            CHECK_THAT(conf_get_by_name("PRODUCT_ROOT_D") == first);
            CHECK_STR(conf_get_by_name("HTTPD_SERVICE"), "apache22");

            CHECK_STR(conf_get_file_only(HTTPD_CONF_D), nullptr);
            CHECK_STR(conf_get(HTTPD_CONF_D), "dynamic");
            CHECK_STR(conf_get(HTTPD_INCLUDE_D), "dynamic");
            CHECK_STR(conf_get_file_value("httpd_include_d"), "/lower/case");
            CHECK_STR(conf_get_file_value("NO_RESTART_DAEMON"), "yes");

            // Names outside the table, in another case, or the upper sentinel.
            errno = ENOENT;
            CHECK_STR(conf_get_by_name("NO_RESTART_DAEMON"), nullptr);
            CHECK_STR(conf_get_by_name("httpd_include_d"), nullptr);
            CHECK_STR(conf_get_by_name("_MAX_POSSIBLE_HCP_CONF_VAR_NAME"), nullptr);
            CHECK_STR(conf_get_by_name("_MIN_POSSIBLE_HCP_CONF_VAR_NAME"),
                      "_MIN_POSSIBLE_HCP_CONF_VAR_VALUE");
            CHECK_THAT(log.records.size() == 1);
        },
        "variable 'NO_RESTART_DAEMON'" + unknown + "variable 'httpd_include_d'" + unknown +
            "variable '_MAX_POSSIBLE_HCP_CONF_VAR_NAME'" + unknown);
}

TEST_F(Conf, UnknownNameDoesNotConsultTheFile)
{
    in_fresh_process(
        [](child_checks &checks) {
            log_recorder log;
            CHECK_STR(conf_get_by_name("NOPE"), nullptr);
            CHECK_THAT(log.records.empty());
        },
        "variable 'NOPE' isn't found neither in /etc/hcp/hcp.conf nor in compile-time defaults\n");
}

TEST_F(Conf, UnreadableFileIsLikeAMissingOne)
{
    root.mkdir("/etc/hcp/hcp.conf");
    in_fresh_process([](child_checks &checks) {
        log_recorder log;
        CHECK_THAT(conf_load() == -1);
        CHECK_STR(conf_get(HTTPD_LOG_D), "/var/log");
        CHECK_REPORTS(log.records, {"Unable to read configuration file: Is a directory",
                                    "Unable to read configuration file: Is a directory"});
    });
}
