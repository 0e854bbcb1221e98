// Testing the web server's configuration after the include file has changed,
// through the same rc.d script as the reload: FreeBSD's scripts test with the
// rc.conf flags and configuration file the server itself runs with.
#include "configtest.hpp"

#include "hcp_conf.h"
#include "hcp_proc.h"
#include "hcp_util.h"
#include "lanternctl.h"
#include "proc/script.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

using hcp::script_outcome;

// The lock is held meanwhile: a wedged test must not hold every later run up.
constexpr int k_configtest_seconds = hcp::k_child_wait_seconds;
constexpr int k_shown_output_lines = 3;
constexpr size_t k_copy_chunk_bytes = 8192;

int system_error()
{
    log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
    return -1;
}

// The web server's rc.d script, when there is one to test with.
bool configtest_script(char (&script)[PATH_BUFFER_BYTES])
{
    if (conf_get_file_value("NO_RESTART_DAEMON") != nullptr)
        return false;
    int n = std::snprintf(script, sizeof script, "%s/%s", HCP_LOCAL_RC_D, conf_get(HTTPD_SERVICE));
    struct stat st;
    return n >= 0 && size_t(n) < sizeof script && sysroot_stat(script, &st) == 0 &&
           S_ISREG(st.st_mode);
}

bool passed(const script_outcome &test)
{
    return test.how == script_outcome::end::exited && test.exit_status == 0;
}

// Calls show(line) for the first `most` lines of the test's output that hold
// anything.
template <typename Show> void output_lines(const script_outcome &test, int most, Show show)
{
    std::string_view rest = test.output();
    while (most > 0 && !rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos)
            continue;
        show(line);
        most--;
    }
}

// A test that said nothing either way: the new file stays, with one warning.
// false when the test did run to its end.
bool untested(const script_outcome &test, const char *script, const char *name)
{
    if (test.how == script_outcome::end::not_run)
        log_printf(LOG_WARNING, "Unable to run '%s configtest': %s\n", script,
                   std::strerror(test.error));
    else if (test.how == script_outcome::end::timed_out)
        log_printf(LOG_WARNING,
                   "'%s configtest' did not end within %d seconds and was killed; the new "
                   "include file for %s webmail is kept untested\n",
                   script, k_configtest_seconds, name);
    return test.how != script_outcome::end::exited;
}

bool copy_contents(const char *from, FILE *to)
{
    hcp::unique_fd in(sysroot_open(from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!in)
        return false;
    char chunk[k_copy_chunk_bytes];
    ssize_t n;
    while ((n = ::read(in.get(), chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0 && std::fwrite(chunk, 1, size_t(n), to) != size_t(n))
            return false;
    return n == 0;
}

// Keeps the file at vhost_path under a second name, as it is; `had` says
// whether there was one. A hard link keeps it exactly; where this user may
// not link it (Linux's protected_hardlinks), a copy keeps its content,
// permissions and, as far as may be set, its owner and group.
bool keep_earlier(lanternctl::pending_file &earlier, const char *dir, const char *base,
                  const char *vhost_path, bool &had)
{
    char real[PATH_MAX];
    struct stat st;
    had = false;
    if (sysroot_resolve(vhost_path, real, sizeof real) != 0)
        return false;
    if (::lstat(real, &st) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode))
        return true; // nothing can replace it: the commit fails
    had = true;
    if (earlier.link_to(dir, base, "old", vhost_path))
        return true;
    if (!S_ISREG(st.st_mode) ||
        (errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP && errno != ENOTSUP))
        return false;
    return earlier.create(dir, base, "old", 0600) && earlier.take_attributes_of(vhost_path) &&
           copy_contents(vhost_path, earlier.stream()) && earlier.finish();
}

bool remove_durably(const char *path, const char *dir)
{
    return (sysroot_unlink(path) == 0 || errno == ENOENT) && lanternctl::sync_directory(dir);
}

} // namespace

namespace lanternctl
{

int commit_include_file(pending_file &out, const char *dir, const char *base,
                        const char *vhost_path, const char *name)
{
    char script[PATH_BUFFER_BYTES];
    if (!configtest_script(script))
        return out.commit(vhost_path) ? 0 : system_error();

    pending_file earlier;
    bool had_earlier = false;
    if (!keep_earlier(earlier, dir, base, vhost_path, had_earlier) || !out.commit(vhost_path))
        return system_error();
    script_outcome with_new = hcp::run_script_bounded(script, "configtest", k_configtest_seconds);
    if (passed(with_new) || untested(with_new, script, name))
        return 0;

    // It fails: test again without the new file, kept aside to come back if
    // it was not the cause.
    pending_file kept;
    if (!kept.link_to(dir, base, "kept", vhost_path) ||
        !(had_earlier ? earlier.commit(vhost_path) : remove_durably(vhost_path, dir)))
        return system_error();
    script_outcome without = hcp::run_script_bounded(script, "configtest", k_configtest_seconds);
    if (passed(without)) {
        log_printf(LOG_ERR,
                   "Apache configuration test failed with the new include file for %s webmail",
                   name);
        output_lines(with_new, k_shown_output_lines, [](std::string_view line) {
            log_printf(LOG_ERR, "%.*s\n", int(line.size()), line.data());
        });
        return -1;
    }
    // Broken before this run: the administrator is not held up by it.
    if (!kept.commit(vhost_path))
        return system_error();
    if (!untested(without, script, name)) {
        std::string_view first;
        output_lines(without, 1, [&](std::string_view line) { first = line; });
        log_printf(LOG_WARNING,
                   "Apache configuration test fails also without the new include file for %s "
                   "webmail, which is kept: %.*s\n",
                   name, int(first.size()), first.data());
    }
    return 0;
}

} // namespace lanternctl
