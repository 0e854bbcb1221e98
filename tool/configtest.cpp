// Testing the web server's configuration after the include file has changed,
// through the same rc.d script as the reload: FreeBSD's scripts test with the
// rc.conf flags and configuration file the server itself runs with.
#include "configtest.hpp"

#include "hcp_conf.h"
#include "hcp_proc.h"
#include "hcp_util.h"
#include "lanternctl.h"
#include "proc/script.hpp"
#include "vhost.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <syslog.h>

namespace
{

using hcp::script_outcome;

// The lock is held meanwhile: a wedged test must not hold every later run up,
// and the test shares the bound of every child the run waits for under it.
constexpr int k_configtest_seconds = hcp::k_child_wait_seconds;
constexpr int k_shown_output_lines = 3;

int system_error()
{
    log_printf(LOG_ERR, "System error: %s\n", std::strerror(errno));
    return -1;
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

// A test that ran to no end: says why at priority, with what it means for
// the new file when the test was the first. false when it did run to its end.
bool undecided(const script_outcome &test, int priority, const char *script, int seconds,
               const char *kept_untested_name)
{
    if (test.how == script_outcome::end::not_run)
        log_printf(priority, "Unable to run '%s configtest': %s\n", script,
                   std::strerror(test.error));
    else if (test.how == script_outcome::end::timed_out && kept_untested_name != nullptr)
        log_printf(priority,
                   "'%s configtest' did not end within %d seconds and was killed; the new "
                   "include file for %s webmail is kept untested\n",
                   script, seconds, kept_untested_name);
    else if (test.how == script_outcome::end::timed_out)
        log_printf(priority, "'%s configtest' did not end within %d seconds and was killed\n",
                   script, seconds);
    return test.how != script_outcome::end::exited;
}

void log_refusal(const script_outcome &test, const char *name)
{
    log_printf(LOG_ERR,
               "Apache configuration test failed with the new include file for %s webmail\n", name);
    output_lines(test, k_shown_output_lines, [](std::string_view line) {
        log_printf(LOG_ERR, "%.*s\n", int(line.size()), line.data());
    });
}

} // namespace

namespace lanternctl
{

bool configtest_script(char (&script)[PATH_BUFFER_BYTES])
{
    if (conf_get_file_value("NO_RESTART_DAEMON") != nullptr)
        return false;
    int n = std::snprintf(script, sizeof script, "%s/%s", HCP_LOCAL_RC_D, conf_get(HTTPD_SERVICE));
    struct stat st;
    return n >= 0 && size_t(n) < sizeof script && sysroot_stat(script, &st) == 0 &&
           S_ISREG(st.st_mode);
}

script_outcome run_configtest(const char *script, int &seconds)
{
    hcp::deadline limit = hcp::child_deadline(k_configtest_seconds);
    seconds = limit.remaining_seconds();
    return hcp::run_script_bounded(script, "configtest", limit);
}

int commit_include_file(pending_file &out, const char *dir, const char *base,
                        const char *vhost_path, const char *name)
{
    char script[PATH_BUFFER_BYTES];
    if (!configtest_script(script))
        return out.commit(vhost_path) ? 0 : system_error();

    // From here until the decision, the earlier state can come back: from
    // this run on any way out, from the next run if this one is killed.
    undo_record undo;
    if (!undo.keep(dir, base, vhost_path))
        return system_error();
    if (!out.commit(vhost_path)) {
        system_error();
        return undo.roll_back() ? -1 : system_error();
    }
    int seconds = 0;
    script_outcome with_new = run_configtest(script, seconds);
    if (passed(with_new) || undecided(with_new, LOG_WARNING, script, seconds, name))
        return undo.drop() ? 0 : system_error();

    // It fails: test again without the new file, kept aside to come back if
    // it was not the cause.
    pending_file kept;
    if (!kept.link_to(dir, base, "kept", vhost_path)) {
        system_error();
        return undo.roll_back() ? -1 : system_error();
    }
    if (!undo.roll_back())
        return system_error();
    script_outcome without = run_configtest(script, seconds);
    // The new file broke it, or (a file that failed its test is never armed
    // on a retest that said nothing) may have: the earlier state stays.
    if (passed(without) || without.how != script_outcome::end::exited) {
        log_refusal(with_new, name);
        bool refused = passed(without);
        if (!refused)
            undecided(without, LOG_ERR, script, seconds, nullptr);
        if (!kept.discard())
            return system_error();
        return refused ? 1 : -1;
    }
    // Broken before this run: the administrator is not held up by it.
    if (!kept.commit(vhost_path))
        return system_error();
    std::string_view first;
    output_lines(without, 1, [&](std::string_view line) { first = line; });
    log_printf(LOG_WARNING,
               "Apache configuration test fails also without the new include file for %s "
               "webmail, which is kept: %.*s\n",
               name, int(first.size()), first.data());
    return 0;
}

} // namespace lanternctl

extern "C" int recover_include_file(const char *name)
{
    const char *dir = conf_get(HTTPD_INCLUDE_D);
    const std::string base = lanternctl::include_file_name(name);
    char vhost_path[PATH_BUFFER_BYTES];
    if (!lanternctl::compose_vhost_path(vhost_path, name))
        return -1;
    if (!lanternctl::undo_record::complete_left(dir, base, vhost_path))
        return system_error();
    // The temporaries a killed run left: the new file, and the new file kept
    // aside while the earlier one was tested alone.
    bool removed = false;
    for (const char *role : {"new", "kept"}) {
        char path[PATH_MAX];
        int n = std::snprintf(path, sizeof path, "%s/.%s.%s", dir, base.c_str(), role);
        if (n < 0 || size_t(n) >= sizeof path) {
            errno = ENAMETOOLONG;
            return system_error();
        }
        if (sysroot_unlink(path) == 0)
            removed = true;
        else if (errno != ENOENT)
            return system_error();
    }
    return !removed || lanternctl::sync_directory(dir) ? 0 : system_error();
}
