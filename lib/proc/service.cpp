// Service control: each service is driven through its start/stop script,
// run with one action word in a detached child; a few services (the web
// server, Tomcat, Samba, ColdFusion, JRun) get handling of their own.
#include "hcp_proc.h"

#include "hcp_conf.h"
#include "hcp_db.h"
#include "hcp_util.h"

#include "util/child.hpp"
#include "util/owners.hpp"

#include "proc/script.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr size_t k_text_bytes = 4096;
constexpr const char *k_tomcat_pattern = "org.apache.catalina.startup.Bootstrap";
constexpr int k_tomcat_probes = 5;
constexpr unsigned k_tomcat_wait_seconds = 5;
constexpr int k_web_server_status_checks = 41;
constexpr unsigned k_web_server_wait_seconds = 2;

bool is(const char *action, const char *word)
{
    return action != nullptr && std::strcmp(action, word) == 0;
}

bool has_prefix_nocase(const char *name, const char *prefix)
{
    return strncasecmp(name, prefix, std::strlen(prefix)) == 0;
}

// The script's child reports a directory it cannot enter as the caller
// would, ending itself with status 1, and a failed setsid() as perror does.
void report_script_child(const hcp::child_plan &plan, hcp::child_step step, int error)
{
    if (step == hcp::child_step::directory)
        print_error(1, "Unable to change directory to %s: %s\n", plan.directory_name,
                    std::strerror(error));
    if (step == hcp::child_step::session)
        hcp::child_write(2, {"setsid() failed: ", hcp::child_error_text(error), "\n"});
}

// Status checks of the web server after it was (re)started: 0 once it runs.
int wait_for_web_server(const char *httpd_service)
{
    for (int check = 0; check < k_web_server_status_checks; check++) {
        if (service_control(httpd_service, "status") == 0)
            return 0;
        ::sleep(k_web_server_wait_seconds);
    }
    return -1;
}

// Tomcat's script failed to stop it: TERM, wait, then KILL what is left.
int stop_tomcat_by_signal()
{
    send_signal_field("command", k_tomcat_pattern, SIGTERM);
    int left = 0;
    for (int probe = 0; probe < k_tomcat_probes; probe++) {
        ::sleep(k_tomcat_wait_seconds);
        left = send_signal_field("command", k_tomcat_pattern, 0);
        if (left <= 0)
            break;
    }
    if (left > 0) {
        send_signal_field("command", k_tomcat_pattern, SIGKILL);
        ::sleep(k_tomcat_wait_seconds);
        left = send_signal_field("command", k_tomcat_pattern, 0);
    }
    return left == 0 ? 0 : -1;
}

int control_tomcat(const char *action)
{
    bool stopping = is(action, "stop");
    char script[k_text_bytes];
    std::snprintf(script, sizeof script, "%s/%s", HCP_LOCAL_RC_D, "tomcat5");
    int result = run_service_script(script, "tomcat5", action, !stopping);
    if (result != 0 && !stopping)
        return -1;
    if (result != 0)
        result = stop_tomcat_by_signal();
    if (result == 0 && stopping) {
        const char *httpd = conf_get(HTTPD_SERVICE);
        if (service_control(httpd, "status") == 0)
            (void)service_control(httpd, "restart");
    }
    return result;
}

int control_web_server(const char *httpd_service, const char *action)
{
    char script[k_text_bytes];
    std::snprintf(script, sizeof script, "%s/%s", HCP_LOCAL_RC_D, httpd_service);
    if (action == nullptr)
        action = "graceful";
    if (run_service_script(script, script, action, 1) != 0)
        return -1;
    if (is(action, "start") || is(action, "restart") || is(action, "force-reload"))
        return wait_for_web_server(httpd_service);
    return 0;
}

// ColdFusion and JRun live in the instance directory the panel records.
int control_cf_instance(const char *program, const char *action)
{
    if (action == nullptr)
        return 0;
    MYSQL *db = db_connect_or_report();
    if (db == nullptr)
        print_error(1, "Unable to connect to the mysql database\n");
    const char *instance = db_get_param("cf_instance_path", db);
    // The value stays in the lookup buffer; the connection is no longer needed.
    mysql_close(db);
    if (instance == nullptr || std::strlen(instance) < 2) {
        errno = 0;
        print_error(0, "CF not configured in Vexla.\n");
        return -1;
    }
    char script[k_text_bytes];
    std::snprintf(script, sizeof script, "%s/bin/%s", instance, program);
    if (run_service_script(script, script, action, 1) != 0)
        return -1;
    if (is(action, "status"))
        return 0;
    (void)restart_web_server_if_running();
    return 0;
}

// Any other service: its script in the local directory, then with ".sh",
// then in the base system's directory.
int control_by_script(const char *service, const char *action)
{
    char candidates[3][k_text_bytes];
    std::snprintf(candidates[0], k_text_bytes, "%s/%s", HCP_LOCAL_RC_D, service);
    std::snprintf(candidates[1], k_text_bytes, "%s/%s.sh", HCP_LOCAL_RC_D, service);
    std::snprintf(candidates[2], k_text_bytes, "%s/%s", HCP_BASE_RC_D, service);
    for (const char *script : candidates) {
        struct stat st;
        if (sysroot_stat(script, &st) == 0)
            return run_service_script(script, script, action, 1);
    }
    errno = 0;
    print_error(0, "Unable to find start/stop script for '%s'\n", service);
    return -1;
}

} // namespace

extern "C" {

int service_control(const char *service, const char *action)
{
    if (conf_get_file_value("NO_RESTART_DAEMON") != nullptr)
        return 0;
    if (service == nullptr || *service == '\0') {
        errno = 0;
        print_error(0, "Unknown service\n");
        return -1;
    }
    // Noted now, acted on after Tomcat, the web server and Samba had their turn.
    const char *cf_program = nullptr;
    if (has_prefix_nocase(service, "coldfusion"))
        cf_program = "coldfusion";
    else if (has_prefix_nocase(service, "jrun"))
        cf_program = "jrun";

    const char *httpd = conf_get(HTTPD_SERVICE);
    // Tomcat is tried first, so a name of both kinds is Tomcat's.
    bool tomcat = has_prefix_nocase(service, "tomcat5");
    bool web_server = !tomcat && *httpd != '\0' && has_prefix_nocase(service, httpd);
    if (action == nullptr && cf_program == nullptr && !web_server) {
        errno = 0;
        print_error(0, "No action given for service '%s'\n", service);
        return -1;
    }

    if (tomcat)
        return control_tomcat(action);
    if (web_server)
        return control_web_server(httpd, action);
    if (strcasecmp(service, "samba") == 0 && strcasecmp(action, "status") != 0) {
        kill_processes_by_name("smbd", SIGKILL);
        kill_processes_by_name("nmbd", SIGKILL);
        return 0;
    }
    if (cf_program != nullptr)
        return control_cf_instance(cf_program, action);
    return control_by_script(service, action);
}

int run_service_script(const char *script, const char *argv0, const char *action,
                       int report_failure)
{
    if (action == nullptr)
        action = "";
    bool graceful = is(action, "graceful");
    const char *argument = graceful ? "reload" : action;
    char description[k_text_bytes];
    strlcpy(description, graceful ? "gracefully restart" : action, sizeof description);

    struct stat st;
    if (sysroot_stat(script, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            print_error(1, "No such file '%s': %s", script, std::strerror(errno));
        print_error(1, "Error during access to '%s': %s", script, std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        errno = 0;
        print_error(1, "Not a regular file: '%s'", script);
    }

    // stdin and stdout on /dev/null, stderr inherited so the script's
    // complaints reach us.
    hcp::script_child child(script, argv0, argument);
    hcp::child_plan &plan = child.plan();
    plan.connect(-1, -1, 2);
    plan.connect_failed[0] = plan.connect_failed[1] = hcp::k_carry_on;
    plan.exec_failed = hcp::k_exit_with_error;
    plan.report = report_script_child;
    pid_t pid = hcp::spawn(plan);
    if (pid < 0) {
        print_error(0, "fork: %s for %s: %s\n", description, argv0, std::strerror(errno));
        return -1;
    }

    int status = 0;
    if (::waitpid(pid, &status, WUNTRACED) < 0) {
        print_error(0, "Error occured during %s service %s: %s\n", description, argv0,
                    std::strerror(errno));
        return -1;
    }
    errno = 0; // the outcomes below are the script's, not a failed call of ours
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0)
            return 0;
        if (std::strcmp(description, "status") != 0 && report_failure)
            print_error(0, "Service %s failed to %s\n", argv0, description);
        return -1;
    }
    if (WIFSIGNALED(status))
        print_error(0, "Unable to %s service %s: daemon killed by signal %i\n", description, argv0,
                    WTERMSIG(status));
    else if (WIFSTOPPED(status))
        print_error(0, "Unable to %s service %s: daemon stopped by signal %i\n", description, argv0,
                    WSTOPSIG(status));
    return -1;
}

int run_script_action(const char *script, const char *action)
{
    return run_service_script(script, script, action, 1);
}

int restart_web_server_if_running(void)
{
    const char *httpd = conf_get(HTTPD_SERVICE);
    if (service_control(httpd, "status") != 0)
        return 0;
    return service_control(httpd, "restart");
}

int print_service_state(int state)
{
    if (state < 0) {
        std::printf("internal error\n");
        return -1;
    }
    std::printf(state > 0 ? "is stopped\n" : "is running\n");
    return 0;
}

} // extern "C"
