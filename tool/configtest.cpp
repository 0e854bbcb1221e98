// Testing the web server's configuration after include files have changed,
// through the same rc.d script as the reload: FreeBSD's scripts test with the
// rc.conf flags and configuration file the server itself runs with. Nothing
// goes live that no test passed where a test was due.
#include "configtest.hpp"

#include "hcp_conf.h"
#include "hcp_proc.h"
#include "hcp_util.h"
#include "messages.hpp"
#include "proc/script.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <syslog.h>

namespace
{

using hcp::script_outcome;
using lanternctl::beside_role;
using lanternctl::staged_file;
using verdict = staged_file::verdict;

// A test that may take all of it: the lock's bound is the limit.
constexpr int k_configtest_seconds = STATE_LOCK_CHILD_SECONDS;
// A reload runs after the lock is let go, but must not hang the run.
constexpr int k_reload_seconds = 60;
constexpr int k_shown_output_lines = 3;

// One test, and what it was given.
struct test_run {
    script_outcome outcome;
    bool started = false;
    int seconds = 0; // what it was given
};

bool passed(const test_run &test)
{
    return test.started && test.outcome.how == script_outcome::end::exited &&
           test.outcome.signal == 0 && test.outcome.exit_status == 0;
}

// A verdict of its own: it ran to its end, whatever it said.
bool ran_to_end(const test_run &test)
{
    return test.started && test.outcome.how == script_outcome::end::exited &&
           test.outcome.signal == 0;
}

// Calls show(line) for the first `most` lines of the output that hold anything.
template <typename Show> void output_lines(std::string_view rest, int most, Show show)
{
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

void log_output(int priority, std::string_view output)
{
    output_lines(output, k_shown_output_lines, [&](std::string_view line) {
        log_printf(priority, "%.*s\n", int(line.size()), line.data());
    });
}

test_run run_test(const char *script)
{
    test_run test;
    hcp::deadline limit = hcp::child_deadline(k_configtest_seconds);
    test.seconds = limit.remaining_seconds();
    if (test.seconds < lanternctl::k_least_test_seconds)
        return test;
    test.started = true;
    test.outcome = hcp::run_script_bounded(script, "configtest", limit);
    return test;
}

// Says why a test decided nothing; false when it did decide.
bool undecided(const test_run &test, const char *script)
{
    int bound = state_child_bound_seconds();
    const script_outcome &o = test.outcome;
    if (!test.started)
        log_printf(LOG_ERR,
                   "'%s configtest' was not started: %d seconds were left of this run's bound of "
                   "%d seconds, and a test is given at least %d\n",
                   script, test.seconds, bound, lanternctl::k_least_test_seconds);
    else if (o.how == script_outcome::end::not_run)
        log_printf(LOG_ERR, "Unable to run '%s configtest': %s\n", script, std::strerror(o.error));
    else if (o.how == script_outcome::end::timed_out && test.seconds < k_configtest_seconds)
        log_printf(LOG_ERR,
                   "'%s configtest' did not end within %d seconds, what was left of this run's "
                   "bound of %d seconds, and was killed\n",
                   script, test.seconds, bound);
    else if (o.how == script_outcome::end::timed_out)
        log_printf(LOG_ERR, "'%s configtest' did not end within %d seconds and was killed\n",
                   script, test.seconds);
    else if (o.signal != 0)
        log_printf(LOG_ERR, "'%s configtest' was ended by signal %d\n", script, o.signal);
    else
        return false;
    return true;
}

// "horde", "atmail and horde", "atmail, atmailcom and horde".
std::string webmail_names(std::span<staged_file *const> files)
{
    std::string names;
    for (size_t i = 0; i < files.size(); i++) {
        if (i > 0)
            names += i + 1 == files.size() ? " and " : ", ";
        names += files[i]->file->webmail();
    }
    return names;
}

// The files a test failed with, and the first lines it printed.
void log_refusal(std::span<staged_file *const> files, const test_run &test)
{
    if (files.empty())
        return;
    std::string names = webmail_names(files);
    if (files.size() == 1)
        log_printf(LOG_ERR,
                   "Apache configuration test failed with the new include file for %s webmail\n",
                   names.c_str());
    else
        log_printf(LOG_ERR,
                   "Apache configuration test failed with the new include files for %s webmails\n",
                   names.c_str());
    log_output(LOG_ERR, test.outcome.output());
}

void log_broken_before(std::span<staged_file *const> files, const test_run &without)
{
    std::string names = webmail_names(files);
    std::string_view first;
    output_lines(without.outcome.output(), 1, [&](std::string_view line) { first = line; });
    std::string said =
        first.empty() ? std::string("; the test printed nothing") : ": " + std::string(first);
    if (files.size() == 1)
        log_printf(LOG_WARNING,
                   "Apache configuration test fails also without the new include file for %s "
                   "webmail, which is kept%s\n",
                   names.c_str(), said.c_str());
    else
        log_printf(LOG_WARNING,
                   "Apache configuration test fails also without the new include files for %s "
                   "webmails, which are kept%s\n",
                   names.c_str(), said.c_str());
}

// The checkpoint's files, their undo records and their new files kept aside.
// A step that fails notes the file it failed on, for the caller to log once
// the refusal is said.
class checkpoint
{
  public:
    checkpoint(std::span<staged_file> files, const char *script)
        : script_(script), count_(files.size())
    {
        for (size_t i = 0; i < count_; i++)
            files_[i] = &files[i];
    }

    // The steps, then the new files kept aside that did not come back.
    int run(lanternctl::checkpoint_end &end)
    {
        int rc = steps(end);
        for (size_t i = 0; i < count_; i++)
            if (!kept_[i].discard() && rc == 0) {
                failed(kept_[i].path());
                rc = log_failure();
            }
        return rc;
    }

  private:
    int steps(lanternctl::checkpoint_end &end);
    std::span<staged_file *const> all() const { return {files_.data(), count_}; }
    bool failed(const char *path)
    {
        failed_ = path;
        error_ = errno;
        return false;
    }
    int log_failure()
    {
        errno = error_;
        lanternctl::log_system_error(failed_);
        return -1;
    }
    bool put_in(size_t i, lanternctl::pending_file &next);
    bool set_aside(size_t i);
    bool roll_back(size_t i) { return undo_[i].roll_back() || failed(undo_[i].path()); }
    bool drop(size_t i) { return undo_[i].drop() || failed(undo_[i].path()); }

    const char *script_;
    size_t count_;
    std::array<staged_file *, lanternctl::k_checkpoint_files> files_{};
    std::array<lanternctl::undo_record, lanternctl::k_checkpoint_files> undo_;
    std::array<lanternctl::pending_file, lanternctl::k_checkpoint_files> kept_;
    const char *failed_ = "";
    int error_ = 0;
};

// The file's earlier state kept, then the new one in place.
bool checkpoint::put_in(size_t i, lanternctl::pending_file &next)
{
    const lanternctl::include_file &file = *files_[i]->file;
    if (!undo_[i].keep(file))
        return failed(file.path());
    if (next.commit(file.path()))
        return true;
    failed(next.path());
    int error = error_;
    roll_back(i);
    error_ = error;
    return false;
}

// The new file kept aside, the earlier one back.
bool checkpoint::set_aside(size_t i)
{
    const lanternctl::include_file &file = *files_[i]->file;
    bool linked = kept_[i].link_to(file.dir(), file.beside(beside_role::kept_aside), file.path()) ||
                  failed(file.beside(beside_role::kept_aside));
    return roll_back(i) && linked;
}

int checkpoint::steps(lanternctl::checkpoint_end &end)
{
    for (size_t i = 0; i < count_; i++)
        if (!put_in(i, *files_[i]->next)) {
            while (i-- > 0)
                roll_back(i);
            return log_failure();
        }
    test_run with = run_test(script_);
    if (passed(with)) {
        for (size_t i = 0; i < count_; i++) {
            if (!drop(i))
                return log_failure();
            files_[i]->result = verdict::live;
        }
        end = {true, true};
        return 0;
    }
    // A first test that ended by a signal counts as a failure: the test
    // without the new files decides.
    if (!with.started || with.outcome.how != script_outcome::end::exited) {
        undecided(with, script_);
        end.undecided = true;
        bool back = true;
        for (size_t i = 0; i < count_; i++)
            back = roll_back(i) && back;
        return back ? 0 : log_failure();
    }

    // It fails: test again without the new files, kept aside to come back
    // if they were not the cause.
    bool aside = true;
    for (size_t i = 0; i < count_; i++)
        aside = set_aside(i) && aside;
    if (!aside) {
        log_refusal(all(), with);
        return log_failure();
    }
    test_run without = run_test(script_);
    if (!ran_to_end(without)) {
        log_refusal(all(), with);
        undecided(without, script_);
        end.undecided = true;
        return 0;
    }
    if (!passed(without)) {
        // Broken before this run: the administrator is not held up by it.
        for (size_t i = 0; i < count_; i++) {
            if (!kept_[i].commit(files_[i]->file->path()))
                return failed(kept_[i].path()), log_failure();
            files_[i]->result = verdict::live;
        }
        log_broken_before(all(), without);
        end = {true, false};
        return 0;
    }

    // Which of them breaks it: each on top of those that passed. The last,
    // when every other passed, makes the configuration that failed first.
    end = {true, true};
    size_t accepted = 0;
    for (size_t i = 0; i < count_; i++) {
        staged_file *one[] = {files_[i]};
        if (i + 1 == count_ && accepted == i) {
            log_refusal(one, with);
            files_[i]->result = verdict::refused;
            break;
        }
        if (!put_in(i, kept_[i]))
            return log_failure();
        test_run test = run_test(script_);
        if (passed(test)) {
            if (!drop(i))
                return log_failure();
            files_[i]->result = verdict::live;
            accepted++;
            continue;
        }
        bool decided = ran_to_end(test);
        if (decided)
            log_refusal(one, test);
        if (!roll_back(i))
            return log_failure();
        if (!decided) {
            undecided(test, script_);
            end.undecided = true;
            return 0; // the rest is not tried: their earlier files stay
        }
        files_[i]->result = verdict::refused;
    }
    return 0;
}

} // namespace

namespace lanternctl
{

web_server_script find_web_server_script()
{
    web_server_script script;
    int n = std::snprintf(script.path, sizeof script.path, "%s/%s", HCP_LOCAL_RC_D,
                          conf_get(HTTPD_SERVICE));
    struct stat st;
    if (conf_get_file_value("NO_RESTART_DAEMON") != nullptr) {
        return script;
    } else if (n < 0 || size_t(n) >= sizeof script.path) {
        script.error = ENAMETOOLONG;
    } else if (sysroot_stat(script.path, &st) != 0) {
        if (errno == ENOENT)
            return script; // no such service here: nothing to ask it
        script.error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        script.error = EACCES;
    } else {
        script.how = web_server_script::state::usable;
        return script;
    }
    script.how = web_server_script::state::unusable;
    return script;
}

int commit_checkpoint(std::span<staged_file> files, checkpoint_end &end)
{
    end = {};
    for (staged_file &f : files)
        f.result = verdict::undecided;
    web_server_script script = find_web_server_script();
    if (script.how == web_server_script::state::unusable) {
        // Said as a test that could not be started says it.
        test_run never;
        never.started = true;
        never.outcome.error = script.error;
        undecided(never, script.path);
        end.undecided = true;
        return 0;
    }
    if (script.how == web_server_script::state::none) {
        for (staged_file &f : files) {
            if (!f.next->commit(f.file->path()))
                return log_system_error(f.next->path()), -1;
            f.result = verdict::live;
        }
        return 0;
    }
    checkpoint run(files, script.path);
    return run.run(end);
}

int test_configuration(const web_server_script &script)
{
    test_run test = run_test(script.path);
    if (undecided(test, script.path))
        return -1;
    return passed(test) ? 0 : 1;
}

int reload_web_server(const web_server_script &script)
{
    // A reload that starts the server leaves its daemon running.
    script_outcome reload = hcp::run_script_bounded(script.path, "reload",
                                                    hcp::deadline::after_seconds(k_reload_seconds),
                                                    hcp::leftovers::kept);
    if (reload.how == script_outcome::end::exited && reload.exit_status == 0)
        return 0;
    if (reload.how == script_outcome::end::not_run)
        log_printf(LOG_ERR, "Unable to run '%s reload': %s\n", script.path,
                   std::strerror(reload.error));
    else if (reload.how == script_outcome::end::timed_out)
        log_printf(LOG_ERR, "'%s reload' did not end within %d seconds and was killed\n",
                   script.path, k_reload_seconds);
    else
        log_printf(LOG_ERR, "'%s reload' failed with status %d\n", script.path, reload.exit_status);
    log_output(LOG_ERR, reload.output());
    return -1;
}

} // namespace lanternctl
