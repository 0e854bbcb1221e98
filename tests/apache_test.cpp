// Web-server discovery at the library's API, with stand-in Apache
// executables (small shell scripts) placed beneath a temporary root.
#include "harness.hpp"
#include "hcp_conf.h"
#include "hcp_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#if defined(__FreeBSD__)
#include <malloc_np.h>
#else
#include <malloc.h>
#endif
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using hcp_test::temp_root;

const char k_trace_block[] = "<IfModule mod_rewrite.c>\n"
                             "\tRewriteEngine On\n"
                             "\tRewriteCond %{REQUEST_METHOD} ^TRACE\n"
                             "\tRewriteRule .* - [F]\n"
                             "</IfModule>\n";

// The configuration is read once per process: every root here carries the
// same one, so whichever root loads it gives the same first candidate.
const char k_conf[] = "PRODUCT_ROOT_D /opt/hcp\n";
const char k_bundled_httpd[] = "/opt/hcp/apache/bin/httpd";

std::string version_output(const std::string &version, const std::string &magic = "20051115:3")
{
    return "Server version: Apache/" + version +
           "\nServer built:   Oct 20 2006 10:46:04\n"
           "Server's Module Magic Number: " +
           magic + "\nServer loaded:  APR 1.2.7, APR-Util 1.2.7\n";
}

// A stand-in that prints `output` for "-V" (and refuses anything else).
std::string stand_in(const std::string &output, int status = 0)
{
    return "#!/bin/sh\n[ \"$1\" = -V ] || exit 64\ncat <<'EOF_OUTPUT'\n" + output +
           "EOF_OUTPUT\nexit " + std::to_string(status) + "\n";
}

class apache_root : public temp_root
{
  public:
    apache_root()
    {
        write_conf(k_conf);
        enter();
    }
    void install(const std::string &path, const std::string &script, mode_t mode = 0755) const
    {
        write(path, script, mode);
    }
};

struct discovery {
    std::string magic;
    int version_code = -1;
    int patch_level = -1;
};

discovery discover()
{
    char *magic = nullptr;
    discovery d;
    get_apache_path(&magic, &d.version_code, &d.patch_level);
    d.magic = magic != nullptr ? magic : "(null)";
    std::free(magic);
    return d;
}

// What is kept of "-V": the version lines come first, the rest is thrown away.
constexpr size_t k_kept_bytes = 64 * 1024;

TEST(GetApachePath, ReadsVersionMagicAndPatchLevel)
{
    const std::string last =
        "Server version: Apache/2.2.17\nServer's Module Magic Number: 20051115\n";
    const std::string padding(k_kept_bytes - 1 - last.size(), 'x');
    const struct {
        const char *what;
        std::string output;
        std::string magic;
        int code;
        int patch;
    } cases[] = {
        {"2.2.3", version_output("2.2.3"), "20051115", 22, 3},
        {"2.0.54", version_output("2.0.54", "20020903:12"), "20020903", 20, 54},
        {"2.0.55", version_output("2.0.55", "20020903:12"), "20020903", 20, 55},
        {"magic line first",
         "Server's Module Magic Number: 20051115:3\nServer version: Apache/2.2.4 (Unix)\n",
         "20051115", 22, 4},
        {"short magic", version_output("2.0.59", "2002"), "2002", 20, 59},
        {"no patch level", "Server version: Apache/2.2\nServer's Module Magic Number: 1\n", "1", 22,
         0},
        {"only the first lines count",
         version_output("2.0.40") + version_output("2.2.9", "99999999"), "20051115", 20, 40},
        {"the kept 64 KiB end with the version lines", padding + "\n" + last, "20051115", 22, 17},
    };
    for (const auto &c : cases) {
        apache_root root;
        root.install("/usr/sbin/httpd", stand_in(c.output));
        testing::internal::CaptureStdout();
        discovery d = discover();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.what;
        EXPECT_EQ(d.magic, c.magic) << c.what;
        EXPECT_EQ(d.version_code, c.code) << c.what;
        EXPECT_EQ(d.patch_level, c.patch) << c.what;
    }
}

TEST(GetApachePath, TriesTheCandidatesInOrder)
{
    const char *const candidates[] = {
        k_bundled_httpd,   "/usr/sbin/httpd2", "/usr/sbin/apache2",     "/usr/sbin/httpd2-prefork",
        "/usr/sbin/httpd", "/usr/sbin/apache", "/usr/local/sbin/httpd",
    };
    const int count = sizeof candidates / sizeof candidates[0];
    // Candidate i alone, with every earlier one missing or without execute bits.
    for (int i = 0; i < count; i++) {
        apache_root root;
        for (int j = 0; j < i; j++)
            if (j % 2 == 0)
                root.install(candidates[j], stand_in("", 1), 0644);
        for (int j = i; j < count; j++)
            root.install(candidates[j], stand_in(version_output("2.2." + std::to_string(j))));
        EXPECT_EQ(discover().patch_level, i) << candidates[i];
    }
}

TEST(GetApachePath, ReRunsAfterOneSignal)
{
    apache_root root;
    root.mkdir("/tmp");
    std::string marker = root.real("/tmp/killed-once");
    root.install("/usr/sbin/httpd", "#!/bin/sh\nif [ ! -e '" + marker + "' ]; then : > '" + marker +
                                        "'; kill -9 $$; fi\n" + "cat <<'EOF'\n" +
                                        version_output("2.2.3") + "EOF\n");
    EXPECT_EQ(discover().version_code, 22);
}

TEST(PciComplianceDirective, BlocksTraceOnOldApache20Only)
{
    const struct {
        int code;
        int patch;
        const char *expected;
    } cases[] = {
        {20, 0, k_trace_block},
        {20, 54, k_trace_block},
        {20, 55, ""},
        {20, 59, ""},
        {22, 0, ""},
        {22, 3, ""},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(pci_compliance_directive(c.code, c.patch), c.expected)
            << c.code << "." << c.patch;
}

TEST(GetApachePath, WriterLeftBehindDoesNotHoldTheQuery)
{
    apache_root root;
    root.install("/usr/sbin/httpd",
                 "#!/bin/sh\ncat <<'EOF'\n" + version_output("2.2.3") + "EOF\nyes junk &\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(discover().version_code, 22);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "the query lasted until its bound";
}

using GetApachePathDeathTest = testing::Test;

TEST_F(GetApachePathDeathTest, EndsTheProcessWithItsReport)
{
    const struct {
        const char *what;
        const char *path;
        std::string script;
        mode_t mode;
        const char *report;
    } cases[] = {
        {"Apache 1.3", "/usr/sbin/httpd", stand_in(version_output("1.3.37")), 0755,
         "get_apache_path: Apache version info not found"},
        {"Apache 2.4", "/usr/sbin/httpd", stand_in(version_output("2.4.1")), 0755,
         "get_apache_path: Apache version info not found"},
        {"no magic line", "/usr/sbin/httpd", stand_in("Server version: Apache/2.2.3\n"), 0755,
         "get_apache_path: Apache version info not found"},
        {"no version line", "/usr/sbin/httpd", stand_in("Server's Module Magic Number: 1:2\n"),
         0755, "get_apache_path: Apache version info not found"},
        {"version lines past 64 KiB", "/usr/sbin/httpd",
         stand_in(std::string(k_kept_bytes, 'x') + "\n" + version_output("2.2.3")), 0755,
         "get_apache_path: Apache version info not found"},
        {"no slash", "/usr/sbin/httpd",
         stand_in("Server version: Apache 2.2.3\nServer's Module Magic Number: 1\n"), 0755,
         "get_apache_path: Badly formatted Apache version"},
        {"exits non-zero", "/usr/sbin/apache", stand_in(version_output("2.2.3"), 1), 0755,
         "get_apache_path: '/usr/sbin/apache -V' failed"},
        {"killed twice", "/usr/sbin/httpd", "#!/bin/sh\nkill -9 $$\n", 0755,
         "get_apache_path: '/usr/sbin/httpd -V' failed"},
        {"not a program", "/usr/sbin/httpd2", "just text\n", 0700,
         "get_apache_path: '/usr/sbin/httpd2 -V' failed"},
        {"owner bit missing", "/usr/sbin/httpd2", "just text\n", 0601,
         "get_apache_path: '/usr/sbin/httpd2 -V' failed"},
        {"no execute bit", "/usr/sbin/httpd", stand_in(version_output("2.2.3")), 0644,
         "get_apache_path: apache executable not found"},
    };
    for (const auto &c : cases) {
        apache_root root;
        root.install(c.path, c.script, c.mode);
        // A usable server later in the list is never reached once one has failed.
        if (std::string(c.path) != "/usr/local/sbin/httpd")
            root.install("/usr/local/sbin/httpd", stand_in(version_output("2.2.3")), 0644);
        errno = ENOENT;
        EXPECT_EXIT(discover(), testing::ExitedWithCode(1), std::string("^") + c.report + "\n$")
            << c.what;
    }
}

TEST_F(GetApachePathDeathTest, NotFoundWhenNothingIsThere)
{
    apache_root root;
    root.mkdir("/usr/sbin");
    testing::internal::CaptureStdout();
    EXPECT_EXIT(discover(), testing::ExitedWithCode(1),
                "^get_apache_path: apache executable not found\n$");
    testing::internal::GetCapturedStdout();
}

struct rlimit g_descriptor_limit;

// Discovery with no descriptor left to open: no candidate can be run. The
// limit is lifted again on the way out, for the sanitizers' exit checks.
void discover_without_descriptors()
{
    conf_load(); // while a descriptor for the file is still to be had
    int lowest = ::dup(0);
    ::close(lowest);
    for (int fd = lowest + 1; fd < 1024; fd++)
        ::close(fd);
    ::getrlimit(RLIMIT_NOFILE, &g_descriptor_limit);
    std::atexit([] { ::setrlimit(RLIMIT_NOFILE, &g_descriptor_limit); });
    struct rlimit limit = {rlim_t(lowest), g_descriptor_limit.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    discover();
}

TEST_F(GetApachePathDeathTest, NotFoundSaysWhyTheLastCandidateCouldNotRun)
{
    apache_root root;
    root.install("/usr/local/sbin/httpd", stand_in(version_output("2.2.3")));
    EXPECT_EXIT(discover_without_descriptors(), testing::ExitedWithCode(1),
                "^get_apache_path: apache executable not found\n"
                "System error 24: Too many open files\n$");
}

// ---- run_and_capture ------------------------------------------------------

struct capture {
    int rc = -1;
    int status = -1;
    std::string output;
    size_t size = 0;
    size_t room = 0; // the buffer's usable size
    std::string failure;
};

capture run(std::vector<std::string> args, size_t start_size = 0)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    capture c;
    char *buffer = start_size != 0 ? static_cast<char *>(std::malloc(start_size)) : nullptr;
    size_t size = start_size;
    char *failure = nullptr;
    size_t failure_free = 0;
    c.rc = run_and_capture(&buffer, &size, &c.status, argv.data(), &failure, &failure_free);
    c.size = size;
    c.room = buffer != nullptr ? malloc_usable_size(buffer) : 0;
    if (buffer != nullptr && c.rc == 0) {
        EXPECT_EQ(buffer[size], '\0');
        c.output.assign(buffer, size);
    }
    c.failure = failure != nullptr ? failure : "";
    std::free(buffer);
    std::free(failure);
    return c;
}

TEST(RunAndCapture, CollectsTheWholeOutputAndTheStatus)
{
    apache_root root;
    root.install("/bin/many", "#!/bin/sh\nhead -c 10000 /dev/zero | tr '\\0' y\nexit 3\n");
    for (size_t start : {size_t(0), size_t(16), size_t(4096), size_t(20000)}) {
        capture c = run({"/bin/many"}, start);
        ASSERT_EQ(c.rc, 0);
        EXPECT_EQ(c.size, 10000u);
        EXPECT_EQ(c.output, std::string(10000, 'y'));
        EXPECT_GE(c.room, c.size + 4096) << "a whole step is kept free before every read";
        ASSERT_TRUE(WIFEXITED(c.status));
        EXPECT_EQ(WEXITSTATUS(c.status), 3);
        EXPECT_EQ(c.failure, "");
    }
}

TEST(RunAndCapture, ReadsToTheEndOfThePipe)
{
    apache_root root;
    root.install("/bin/late", "#!/bin/sh\n(sleep 2; echo late) &\necho early\n");
    capture c = run({"/bin/late"});
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(c.output, "early\nlate\n") << "what a daemon writes after the program's end counts";
}

TEST(RunAndCapture, RunsBeneathTheRootWithTheLogicalName)
{
    apache_root root;
    root.write("/usr/sbin/probe", hcp_test::read_file(hcp_test::helper_path("apache_probe")), 0755);
    // Descriptor 9 is left open without close-on-exec: the child must not see it.
    int stray = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(stray, 0);
    ASSERT_EQ(::dup2(stray, 9), 9);
    ::close(stray);
    capture c = run({"/usr/sbin/probe", "-V", "5"});
    ::close(9);
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(c.output, "argv[0]=/usr/sbin/probe\nargv[1]=-V\nargv[2]=5\nstdin=0\n");
    ASSERT_TRUE(WIFEXITED(c.status));
    EXPECT_EQ(WEXITSTATUS(c.status), 5);
}

TEST(RunAndCapture, ChildExits242WhenTheProgramCannotRun)
{
    apache_root root;
    root.install("/usr/sbin/text", "not a program\n", 0755);
    for (const char *path : {"/usr/sbin/text", "/usr/sbin/missing"}) {
        capture c = run({path});
        ASSERT_EQ(c.rc, 0) << path;
        EXPECT_EQ(c.output, "");
        ASSERT_TRUE(WIFEXITED(c.status));
        EXPECT_EQ(WEXITSTATUS(c.status), 242) << path;
    }
}

// Runs with descriptors limited so that only `spare` more can be opened,
// and prints the failure text: the process-wide limit stays in the child.
void run_with_spare_descriptors(int spare)
{
    int lowest = ::dup(0);
    ::close(lowest);
    // Everything above the lowest free descriptor is closed, so it stays the next one.
    for (int fd = lowest + 1; fd < 1024; fd++)
        ::close(fd);
    struct rlimit limit = {rlim_t(lowest + spare), rlim_t(lowest + spare)};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<std::string> args{"/bin/true"};
    std::vector<char *> argv{args[0].data(), nullptr};
    char *buffer = nullptr;
    size_t size = 0;
    int status;
    char *failure = strdup("earlier line\n");
    size_t failure_free = 0;
    int rc = run_and_capture(&buffer, &size, &status, argv.data(), &failure, &failure_free);
    std::fputs(failure, stderr);
    std::fflush(stderr);
    ::_exit(rc == -1 ? 7 : 0); // nothing of the test process is torn down in the child
}

// Runs a program that closes its output at once and ends only later, with
// SIGALRM caught (no SA_RESTART) to cut the one wait short.
void run_with_interrupted_wait()
{
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    ::sigaction(SIGALRM, &action, nullptr);
    ::alarm(1);
    std::vector<std::string> args{"/bin/sh", "-c", "exec >&-; sleep 3"};
    std::vector<char *> argv{args[0].data(), args[1].data(), args[2].data(), nullptr};
    char *buffer = nullptr;
    size_t size = 0;
    int status;
    char *failure = nullptr;
    size_t failure_free = 0;
    int rc = run_and_capture(&buffer, &size, &status, argv.data(), &failure, &failure_free);
    std::fputs(failure != nullptr ? failure : "", stderr);
    ::_exit(rc == -1 ? 7 : 0);
}

TEST(RunAndCaptureDeathTest, AppendsOneLinePerFailure)
{
    EXPECT_EXIT(run_with_spare_descriptors(0), testing::ExitedWithCode(7),
                "^earlier line\nopen\\(\"/dev/null\"\\) failed: Too many open files\n$");
    EXPECT_EXIT(run_with_spare_descriptors(1), testing::ExitedWithCode(7),
                "^earlier line\npipe\\(\\) failed: Too many open files\n$");
    EXPECT_EXIT(run_with_interrupted_wait(), testing::ExitedWithCode(7),
                "^waitpid\\([0-9]+, &status, 0\\) failed: Interrupted system call\n$");
}

} // namespace
