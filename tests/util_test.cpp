// The foundation of the support library at its API: the error channel, the
// log sink, the growable string, the string helpers and the file-system root.
#include "harness.hpp"

#include "hcp_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#if defined(__FreeBSD__)
#include <malloc_np.h> // malloc_usable_size there; FreeBSD 13 refuses <malloc.h>
#else
#include <malloc.h>
#endif
#include <string>
#include <syslog.h>
#include <unistd.h>

// Allocation failures are part of the contract: under AddressSanitizer an
// impossible request must come back as a null pointer, as it does from libc.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace
{

struct captured {
    std::string out;
    std::string err;
};

template <typename F> captured capture(F &&f)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    captured c;
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

// Death tests compare the child's standard error whole, not by pattern.
testing::Matcher<const std::string &> exactly(const std::string &text)
{
    return testing::Matcher<const std::string &>(text);
}

// Restores the process-wide log sink however a test leaves it.
class sink_guard
{
  public:
    ~sink_guard() { hcp_log_sink = saved_; }

  private:
    log_sink saved_ = hcp_log_sink;
};

// Sets or clears an environment variable for one test.
class env_guard
{
  public:
    env_guard(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~env_guard()
    {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

} // namespace

// ---- Error channel -----------------------------------------------------------

TEST(PrintError, WritesOnceToEachStreamWithOneNewline)
{
    struct {
        const char *message;
        int saved_errno;
        const char *expected;
    } cases[] = {
        {"plain", 0, "plain\n"},
        {"ends with newline\n", 0, "ends with newline\n"},
        {"", 0, "\n"},
        {"missing", ENOENT, "missing\nSystem error 2: No such file or directory\n"},
        // A message that ends its own line shows an empty line before the suffix.
        {"own line\n", ENOENT, "own line\n\nSystem error 2: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        auto got = capture([&] {
            errno = c.saved_errno;
            print_error(0, "%s", c.message);
        });
        EXPECT_EQ(got.err, c.expected);
        EXPECT_EQ(got.out, c.expected);
    }
}

TEST(PrintError, TakesErrnoFromEntryAndFormatsArguments)
{
    auto got = capture([] {
        errno = EACCES;
        print_error(0, "%s(%s) failed: %d", "open", "/etc/hcp/hcp.conf", 7);
    });
    EXPECT_EQ(got.err, "open(/etc/hcp/hcp.conf) failed: 7\nSystem error 13: Permission denied\n");
    EXPECT_EQ(got.out, got.err);
}

TEST(PrintError, LongMessagesAreWrittenWholeWithTheWholeSuffix)
{
    const std::string suffix = "\nSystem error 12: Cannot allocate memory";
    for (size_t length : {4095u, 4096u, 10000u}) {
        SCOPED_TRACE(length);
        std::string message(length, 'm');
        message.back() = 'E';
        auto plain = capture([&] {
            errno = 0;
            print_error(0, "%s", message.c_str());
        });
        EXPECT_EQ(plain.err, message + "\n");
        EXPECT_EQ(plain.out, message + "\n");
        auto failed = capture([&] {
            errno = ENOMEM;
            print_error(0, "%s", message.c_str());
        });
        EXPECT_EQ(failed.err, message + suffix + "\n");
        EXPECT_EQ(failed.out, message + suffix + "\n");
    }
}

// The suffix alone overflows the first buffer when the message nearly fills it.
TEST(PrintError, SuffixThatCrossesTheFirstBufferIsNotCut)
{
    std::string message(4090, 'x');
    auto got = capture([&] {
        errno = EINVAL;
        print_error(0, "%s", message.c_str());
    });
    EXPECT_EQ(got.err, message + "\nSystem error 22: Invalid argument\n");
}

TEST(PrintError, UnexpandableFormatIsShownAsWritten)
{
    // An unpaired surrogate cannot be converted in the POSIX locale.
    const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};
    auto got = capture([&] {
        errno = 0;
        print_error(0, "wide %ls", bad);
    });
    EXPECT_EQ(got.err, "wide %ls\n");
}

TEST(PrintErrorText, WritesTheTextAsGivenWithoutSuffix)
{
    auto got = capture([] {
        errno = ENOENT;
        print_error_text("100% literal %s", 0);
    });
    EXPECT_EQ(got.err, "100% literal %s\n");
    EXPECT_EQ(got.out, "100% literal %s\n");
}

TEST(PrintErrorDeathTest, NonZeroStatusEndsTheProcessAfterBothStreams)
{
    // Standard output joins standard error so the order of the two writes shows.
    EXPECT_EXIT(
        {
            ::dup2(2, 1);
            errno = 0;
            print_error(3, "bye %d", 3);
        },
        testing::ExitedWithCode(3), exactly("bye 3\nbye 3\n"));
    EXPECT_EXIT(
        {
            ::dup2(2, 1);
            print_error_text("done\n", 1);
        },
        testing::ExitedWithCode(1), exactly("done\ndone\n"));
}

// Global, so the block that a failed realloc leaves behind is not a leak.
void *g_kept_block;

TEST(CheckedAllocDeathTest, FailureReportsTheSizeAndExitsOne)
{
    // The whole request is shown, not a truncated int. The report ends the
    // output; AddressSanitizer may put a warning of its own before it.
    const std::string report = "(^|\n)alloc\\(" + std::to_string(SIZE_MAX) +
                               "\\)\nSystem error 12: Cannot allocate memory\n$";
    EXPECT_EXIT(checked_malloc(SIZE_MAX), testing::ExitedWithCode(1), report);
    EXPECT_EXIT(
        {
            g_kept_block = checked_malloc(16);
            checked_realloc(g_kept_block, SIZE_MAX);
        },
        testing::ExitedWithCode(1), report);
}

TEST(CheckedAlloc, SucceedsLikeTheLibrary)
{
    char *p = static_cast<char *>(checked_malloc(10));
    std::memcpy(p, "123456789", 10);
    p = static_cast<char *>(checked_realloc(p, 4000));
    EXPECT_STREQ(p, "123456789");
    std::free(p);
}

TEST(AllocPrintf, ReturnsAFreshFormattedString)
{
    std::string big(10000, 'b');
    char *text = alloc_printf("%s-%d", big.c_str(), 42);
    EXPECT_EQ(text, big + "-42");
    std::free(text);
}

TEST(RequireParam, ReturnsTheValueWhenNotNeededOrPresent)
{
    const char empty[] = "";
    const char horde[] = "horde";
    auto got = capture([&] {
        EXPECT_EQ(require_param(0, empty, "name"), empty);
        EXPECT_EQ(require_param(0, nullptr, "name"), nullptr);
        EXPECT_EQ(require_param(1, horde, "name"), horde);
    });
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.out, "");
}

TEST(RequireParamDeathTest, MissingOrEmptyValueExitsOneWithoutStaleErrno)
{
    // errno is left set on purpose: the report names a parameter, not a system failure.
    EXPECT_EXIT(
        {
            errno = ENOENT;
            require_param(1, nullptr, "vhost-name");
        },
        testing::ExitedWithCode(1),
        exactly("Miss parameter 'vhost-name' or previos parameter empty.\n"));
    EXPECT_EXIT(
        {
            errno = ENOENT;
            require_param(1, "", "name");
        },
        testing::ExitedWithCode(1), exactly("Miss parameter 'name' or previos parameter empty.\n"));
}

TEST(RequireArgsConsumedDeathTest, LeftOverArgumentsExitOne)
{
    auto got = capture([] { require_args_consumed(3, 3); });
    EXPECT_EQ(got.err + got.out, "");
    EXPECT_EXIT(
        {
            errno = ENOENT;
            require_args_consumed(4, 3);
        },
        testing::ExitedWithCode(1),
        exactly("Some parameters in command string leave unprocessed. Check parameters please.\n"));
}

// ---- Log sink ----------------------------------------------------------------

TEST(LogSink, StartsAsTheConsoleAtInfo)
{
    // Every test that changes the sink restores it, so this holds in any order.
    EXPECT_EQ(hcp_log_sink.log_vprintf, &console_vlog);
    EXPECT_EQ(hcp_log_sink.log_printf, &console_log);
    EXPECT_EQ(hcp_log_sink.threshold, LOG_INFO);
    EXPECT_EQ(hcp_log_sink.facility, LOG_MAIL);
}

TEST(LogSink, ConsoleShowsPrioritiesUpToTheThreshold)
{
    sink_guard guard;
    // Any text selects the console, even one naming the system log.
    log_init("syslog", 3, LOG_DAEMON, 0, "ident");
    EXPECT_EQ(hcp_log_sink.log_vprintf, &console_vlog);
    EXPECT_EQ(hcp_log_sink.facility, LOG_DAEMON);

    struct {
        int priority;
        bool shown;
    } cases[] = {{-1, true}, {0, true}, {3, true}, {4, false}, {12, false}, {LOG_MAIL | 3, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.priority);
        auto got = capture([&] { log_printf(c.priority, "seen %d", c.priority); });
        std::string expected = c.shown ? "seen " + std::to_string(c.priority) + "\n" : "";
        EXPECT_EQ(got.err, expected);
        EXPECT_EQ(got.out, expected);
    }
}

TEST(LogSink, ThresholdIsTheWholeSignedValue)
{
    sink_guard guard;
    log_init("console", LOG_MAIL | LOG_ERR, LOG_MAIL, 0, nullptr);
    auto mail_err = capture([] { log_printf(LOG_MAIL | LOG_ERR, "mail"); });
    auto mail_warning = capture([] { log_printf(LOG_MAIL | LOG_WARNING, "mail"); });
    EXPECT_EQ(mail_err.err, "mail\n");
    EXPECT_EQ(mail_warning.err, "");

    log_init("console", -5, LOG_MAIL, 0, nullptr);
    EXPECT_EQ(hcp_log_sink.threshold, 0);
    EXPECT_EQ(capture([] { log_printf(0, "emerg"); }).out, "emerg\n");
    EXPECT_EQ(capture([] { log_printf(1, "alert"); }).out, "");
}

TEST(LogSink, ConsoleAlwaysAddsItsOwnNewlineAndNoSuffix)
{
    sink_guard guard;
    log_init("console", 12, LOG_MAIL, 0, nullptr);
    auto got = capture([] {
        errno = ENOENT;
        log_printf(12, "line %s\n", "one");
        console_log(3, "direct");
    });
    EXPECT_EQ(got.err, "line one\n\ndirect\n");
    EXPECT_EQ(got.out, "line one\n\ndirect\n");
}

TEST(LogSinkDeathTest, NullTargetSelectsTheSystemLog)
{
    EXPECT_EXIT(
        {
            log_init(nullptr, 3, LOG_MAIL, LOG_CONS, "lanternctl");
            bool ok = hcp_log_sink.log_vprintf == &vsyslog && hcp_log_sink.log_printf == &syslog &&
                      hcp_log_sink.threshold == 3 && hcp_log_sink.facility == LOG_MAIL;
            closelog();
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// ---- Growable string ---------------------------------------------------------

TEST(Strbuf, InitStartsEightyBytesOnce)
{
    char *text = nullptr;
    size_t free_count = 12345;
    ASSERT_NE(strbuf_init(&text, &free_count), nullptr);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(free_count, 79u);
    char *first = text;
    strbuf_append(&text, &free_count, "abc");
    EXPECT_EQ(strbuf_init(&text, &free_count), first);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(free_count, 76u);
    std::free(text);
}

TEST(Strbuf, AppendGrowsByTheLargerOfTheShortfallAndEighty)
{
    struct {
        std::vector<size_t> appends;
        size_t free_after;
    } cases[] = {
        {{100}, 59},    // 100 - 79 = 21 < 80: one step of 80, 160 bytes
        {{79}, 0},      // fits exactly
        {{79, 1}, 79},  // the one more character costs a step of 80
        {{300}, 0},     // 300 - 79 = 221 > 80
        {{10, 10}, 59}, // no growth
        {{0, 200}, 0},  // empty piece, then a shortfall of 121
    };
    for (const auto &c : cases) {
        char *text = nullptr;
        size_t free_count = 0;
        std::string expected;
        for (size_t n : c.appends) {
            std::string piece(n, char('a' + expected.size() % 26));
            ASSERT_NE(strbuf_append(&text, &free_count, piece.c_str()), nullptr);
            expected += piece;
        }
        EXPECT_EQ(text, expected);
        EXPECT_EQ(free_count, c.free_after) << "after appending " << expected.size();
        std::free(text);
    }
}

TEST(Strbuf, PrintfAppendsAndGrowsAtTheSamePlace)
{
    char *text = nullptr;
    size_t free_count = 0;
    ASSERT_NE(strbuf_printf(&text, &free_count, "%s%d", "abc", 12), nullptr);
    EXPECT_STREQ(text, "abc12");
    EXPECT_EQ(free_count, 74u);

    std::string big(200, 'z');
    ASSERT_NE(strbuf_printf(&text, &free_count, "[%s]", big.c_str()), nullptr);
    EXPECT_EQ(text, "abc12[" + big + "]");
    EXPECT_EQ(free_count, 0u); // grew by 202 - 74
    // The allocation is what the free count says: 5 + 202 + 1 bytes, not more.
    EXPECT_LT(malloc_usable_size(text), 5 + 202 + 1 + 32u);
    std::free(text);
}

TEST(Strbuf, ReserveGrowsOnlyWhenShortAndRefusesOverflow)
{
    char *text = nullptr;
    size_t free_count = 0;
    strbuf_append(&text, &free_count, "keep");
    ASSERT_NE(strbuf_reserve(&text, &free_count, 75), nullptr);
    EXPECT_EQ(free_count, 75u);
    ASSERT_NE(strbuf_reserve(&text, &free_count, 76), nullptr);
    EXPECT_EQ(free_count, 155u);

    char *before = text;
    errno = 0;
    EXPECT_EQ(strbuf_reserve(&text, &free_count, SIZE_MAX), nullptr);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(text, before);
    EXPECT_EQ(free_count, 155u);
    EXPECT_STREQ(text, "keep");
    std::free(text);
}

TEST(Strbuf, PrintfFormattingFailureReturnsNull)
{
    char *text = nullptr;
    size_t free_count = 0;
    const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ(strbuf_printf(&text, &free_count, "%ls", bad), nullptr);
    std::free(text);
}

// ---- read_line -----------------------------------------------------------------

namespace
{

// Reads every line of `input` with one buffer; the lines and the final capacity.
std::vector<std::string> read_all(const std::string &input, int *final_capacity = nullptr)
{
    std::string data = input;
    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE *stream =
        data.empty() ? std::fopen("/dev/null", "r") : fmemopen(data.data(), data.size(), "r");
    char *buffer = nullptr;
    int capacity = 0;
    std::vector<std::string> lines;
    for (ssize_t n; (n = read_line(&buffer, &capacity, stream)) != -1;) {
        EXPECT_EQ(buffer[n], '\0');
        lines.emplace_back(buffer, size_t(n));
    }
    std::fclose(stream);
    std::free(buffer);
    if (final_capacity != nullptr)
        *final_capacity = capacity;
    return lines;
}

} // namespace

TEST(ReadLine, SplitsAfterEachNewline)
{
    using lines = std::vector<std::string>;
    struct {
        std::string input;
        lines expected;
    } cases[] = {
        {"", {}},
        {"\n", {"\n"}},
        {"a\nb", {"a\n", "b"}},
        {"one\r\n\ntwo\n", {"one\r\n", "\n", "two\n"}},
        {std::string("nul\0inside\n", 11), {std::string("nul\0inside\n", 11)}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read_all(c.input), c.expected) << testing::PrintToString(c.input);
}

TEST(ReadLine, GrowsInStepsOfEighty)
{
    struct {
        size_t line_bytes; // newline included
        int capacity;
    } cases[] = {{1, 80}, {79, 80}, {80, 160}, {159, 160}, {160, 240}, {200, 240}};
    for (const auto &c : cases) {
        int capacity = 0;
        std::string line(c.line_bytes - 1, 'x');
        auto got = read_all(line + "\n", &capacity);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], line + "\n");
        EXPECT_EQ(capacity, c.capacity) << c.line_bytes << "-byte line";
    }
}

TEST(ReadLine, KeepsTheBufferFromLineToLine)
{
    int capacity = 0;
    auto got = read_all(std::string(100, 'l') + "\nshort\n", &capacity);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], "short\n");
    EXPECT_EQ(capacity, 160);
}

TEST(ReadLine, MissingArgumentsAreEinval)
{
    char data[] = "x\n";
    FILE *stream = fmemopen(data, 2, "r");
    char *buffer = nullptr;
    int capacity = 0;
    errno = 0;
    EXPECT_EQ(read_line(nullptr, &capacity, stream), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(read_line(&buffer, nullptr, stream), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(read_line(&buffer, &capacity, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    // Nothing was consumed by the refused calls.
    EXPECT_EQ(read_line(&buffer, &capacity, stream), 2);
    EXPECT_STREQ(buffer, "x\n");
    std::fclose(stream);
    std::free(buffer);
}

TEST(ReadLine, ZeroCapacityStartsANewBufferAndLeavesTheOld)
{
    char data[] = "fresh\n";
    FILE *stream = fmemopen(data, 6, "r");
    char *old = static_cast<char *>(std::malloc(4));
    std::memcpy(old, "old", 4);
    char *buffer = old;
    int capacity = 0;
    EXPECT_EQ(read_line(&buffer, &capacity, stream), 6);
    EXPECT_NE(buffer, old);
    EXPECT_STREQ(buffer, "fresh\n");
    EXPECT_EQ(capacity, 80);
    EXPECT_STREQ(old, "old");
    std::fclose(stream);
    std::free(buffer);
    std::free(old);
}

// ---- Bounded copies and replacement ---------------------------------------------

TEST(Strlcpy, CopiesAtMostSizeMinusOneAndReturnsTheSourceLength)
{
    struct {
        size_t size;
        const char *expected; // nullptr: destination untouched
    } cases[] = {{0, nullptr}, {1, ""}, {5, "hell"}, {6, "hello"}, {10, "hello"}};
    for (const auto &c : cases) {
        char destination[16];
        std::memset(destination, '#', sizeof destination);
        EXPECT_EQ(strlcpy(destination, "hello", c.size), 5u);
        if (c.expected == nullptr)
            EXPECT_EQ(destination[0], '#');
        else
            EXPECT_STREQ(destination, c.expected) << "size " << c.size;
    }
}

TEST(StrnReplace, CutsOnlyBetweenPieces)
{
    struct {
        const char *source;
        const char *pattern;
        const char *replacement;
        size_t size;
        const char *expected;
    } cases[] = {
        {"aTOKb", "TOK", "hello", 100, "ahellob"},
        {"aTOKb", "TOK", "hello", 8, "ahellob"},
        {"aTOKb", "TOK", "hello", 7, "ahello"},
        {"aTOKb", "TOK", "hello", 6, "a"},
        {"aTOKb", "TOK", "hello", 2, "a"},
        {"aTOKb", "TOK", "hello", 1, ""},
        {"aTOKbTOKc", "TOK", "hello", 9, "ahellob"},
        {"aTOKbTOKc", "TOK", "", 100, "abc"},
        {"TOKa", "TOK", "x", 100, "xa"},
        {"aTOK", "TOK", "x", 100, "ax"},
        {"TOK", "TOK", "", 100, ""},
        {"aaaa", "aa", "x", 100, "xx"},
        {"aaa", "aa", "x", 100, "xa"},
        {"aTOKb", "TOK", "TOKTOK", 100, "aTOKTOKb"},
        {"no match", "TOK", "x", 9, "no match"},
        {"no match", "TOK", "x", 8, ""},
        {"", "TOK", "x", 4, ""},
    };
    for (const auto &c : cases) {
        char destination[128];
        std::memset(destination, '#', sizeof destination);
        EXPECT_EQ(strn_replace(c.source, destination, c.pattern, c.replacement, c.size),
                  destination);
        EXPECT_STREQ(destination, c.expected)
            << c.source << " / " << c.pattern << " -> " << c.replacement << ", size " << c.size;
    }
}

TEST(StrnReplace, EmptyPatternCopiesLikeStrncpy)
{
    for (const char *pattern : {static_cast<const char *>(nullptr), ""}) {
        char destination[8];
        std::memset(destination, '#', sizeof destination);
        strn_replace("ab", destination, pattern, "x", 5);
        EXPECT_EQ(std::string(destination, 6), std::string("ab\0\0\0#", 6));
        std::memset(destination, '#', sizeof destination);
        strn_replace("abcdef", destination, pattern, "x", 3);
        EXPECT_EQ(std::string(destination, 4), "abc#"); // no terminator, as strncpy
    }
}

TEST(StrnReplace, NullDestinationWritesNothing)
{
    EXPECT_EQ(strn_replace("aTOKb", nullptr, "TOK", "x", 10), nullptr);
}

// ---- Characters, blanks and case ------------------------------------------------

TEST(StrReplaceChar, ReplacesOrCutsAtTheCharacter)
{
    char destination[16];
    std::memset(destination, '#', sizeof destination);
    char source[] = "a.b.c";
    EXPECT_EQ(str_replace_char(source, destination, '.', '/'), destination);
    EXPECT_STREQ(destination, "a/b/c");
    EXPECT_STREQ(source, "a.b.c");

    std::memset(destination, '#', sizeof destination);
    str_replace_char(source, destination, '.', '\0');
    EXPECT_EQ(std::string(destination, 3), std::string("a\0#", 3));

    EXPECT_EQ(str_replace_char(source, nullptr, '.', '\0'), source);
    EXPECT_STREQ(source, "a");

    char unchanged[] = "abc";
    EXPECT_STREQ(str_replace_char(unchanged, nullptr, '.', '/'), "abc");
}

TEST(StrTrim, RemovesAsciiWhiteSpaceAtBothEnds)
{
    struct {
        const char *input;
        const char *expected;
    } cases[] = {
        {"", ""},
        {"   ", ""},
        {" \tword \r\n", "word"},
        {"\v\fin side\f\v", "in side"},
        {"\xc2\xa0x\xa0", "\xc2\xa0x\xa0"}, // bytes above 127 are not blank
    };
    for (const auto &c : cases) {
        std::string buffer = c.input;
        char *trimmed = str_trim(buffer.data());
        EXPECT_STREQ(trimmed, c.expected) << testing::PrintToString(std::string(c.input));
        EXPECT_GE(trimmed, buffer.data());
    }
    // The trailing blanks are overwritten in place.
    char word[] = "w \n";
    str_trim(word);
    EXPECT_EQ(std::string(word, 3), std::string("w\0\0", 3));
}

TEST(StrTolower, LowersOnlyAsciiLetters)
{
    char text[] = "MiXeD_09 \xc4\xd6Z";
    str_tolower(text);
    EXPECT_STREQ(text, "mixed_09 \xc4\xd6z");
    str_tolower(nullptr);
    char empty[] = "";
    str_tolower(empty);

    char *copy = str_dup_lower("HoRdE");
    EXPECT_STREQ(copy, "horde");
    std::free(copy);
    EXPECT_EQ(str_dup_lower(nullptr), nullptr);
}

// ---- File-system root -------------------------------------------------------------

TEST(Sysroot, ResolvesAbsolutePathsBeneathTheRoot)
{
    struct {
        const char *root; // nullptr: unset
        const char *path;
        const char *expected;
    } cases[] = {
        {nullptr, "/etc/hcp/hcp.conf", "/etc/hcp/hcp.conf"},
        {"", "/etc/hcp/hcp.conf", "/etc/hcp/hcp.conf"},
        {"/", "/etc/hcp/hcp.conf", "/etc/hcp/hcp.conf"},
        {"/srv/root", "/etc/hcp/hcp.conf", "/srv/root/etc/hcp/hcp.conf"},
        {"/srv/root//", "/etc/hcp/hcp.conf", "/srv/root/etc/hcp/hcp.conf"},
        {"/srv/root", "/dev/null", "/dev/null"},
        {"/srv/root", "/dev/nullx", "/srv/root/dev/nullx"},
        {"/srv/root", "relative/file", "relative/file"},
    };
    for (const auto &c : cases) {
        env_guard root("HCP_SYSROOT", c.root);
        char buffer[256];
        ASSERT_EQ(sysroot_resolve(c.path, buffer, sizeof buffer), 0);
        EXPECT_STREQ(buffer, c.expected) << (c.root ? c.root : "(unset)") << " + " << c.path;
        char *allocated = sysroot_path(c.path);
        EXPECT_STREQ(allocated, c.expected);
        std::free(allocated);
    }
}

TEST(Sysroot, ResolvedPathMustFitTheBuffer)
{
    env_guard root("HCP_SYSROOT", "/srv/root");
    const char *path = "/etc/x";
    const size_t needed = std::strlen("/srv/root/etc/x") + 1;
    char buffer[64];
    EXPECT_EQ(sysroot_resolve(path, buffer, needed), 0);
    EXPECT_STREQ(buffer, "/srv/root/etc/x");
    errno = 0;
    EXPECT_EQ(sysroot_resolve(path, buffer, needed - 1), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    std::string huge = "/" + std::string(PATH_MAX, 'p');
    errno = 0;
    EXPECT_EQ(sysroot_fopen(huge.c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(Sysroot, FileOperationsStayBeneathTheRoot)
{
    hcp_test::temp_root root;
    env_guard guard("HCP_SYSROOT", root.dir().c_str());
    root.mkdir("/etc/hcp");

    FILE *file = sysroot_fopen("/etc/hcp/a", "w");
    ASSERT_NE(file, nullptr);
    std::fputs("via fopen\n", file);
    std::fclose(file);
    EXPECT_EQ(root.read("/etc/hcp/a"), "via fopen\n");

    int fd = sysroot_open("/etc/hcp/b", O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "via open", 8), 8);
    ::close(fd);
    EXPECT_EQ(root.read("/etc/hcp/b"), "via open");

    struct stat st;
    ASSERT_EQ(sysroot_stat("/etc/hcp/b", &st), 0);
    EXPECT_EQ(st.st_size, 8);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(sysroot_rename("/etc/hcp/b", "/etc/hcp/c"), 0);
    EXPECT_FALSE(root.exists("/etc/hcp/b"));
    EXPECT_EQ(root.read("/etc/hcp/c"), "via open");

    ASSERT_EQ(sysroot_unlink("/etc/hcp/c"), 0);
    EXPECT_FALSE(root.exists("/etc/hcp/c"));
    errno = 0;
    EXPECT_EQ(sysroot_unlink("/etc/hcp/c"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sysroot_stat("/etc/hcp/c", &st), -1);
}

TEST(Sysroot, ChdirEntersTheRootAndRelativePathsFollowTheProcess)
{
    hcp_test::temp_root root;
    env_guard guard("HCP_SYSROOT", root.dir().c_str());
    root.mkdir("/var/www");
    char *before = ::getcwd(nullptr, 0);

    ASSERT_EQ(sysroot_chdir("/var/www"), 0);
    char *now = ::getcwd(nullptr, 0);
    char *expected = ::realpath(root.real("/var/www").c_str(), nullptr);
    EXPECT_STREQ(now, expected);
    FILE *file = sysroot_fopen("relative.txt", "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(root.exists("/var/www/relative.txt"));

    ASSERT_EQ(::chdir(before), 0);
    std::free(before);
    std::free(now);
    std::free(expected);
}

TEST(Sysroot, DevNullIsTheRealOne)
{
    hcp_test::temp_root root;
    env_guard guard("HCP_SYSROOT", root.dir().c_str());
    int fd = sysroot_open("/dev/null", O_WRONLY, 0);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_FALSE(root.exists("/dev"));
}
