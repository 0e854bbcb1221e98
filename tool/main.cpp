// lanternctl: entry, command line and dispatch.
#include "lanternctl.h"

#include "defaults.hpp"
#include "hcp_conf.h"
#include "hcp_proc.h"
#include "hcp_util.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace
{

constexpr int k_exit_failure = 255;
constexpr int k_exit_usage = 1; // as a missing value ends the run

const char k_usage[] = "Usage: lanternctl <command> [--no-restart] [OPTIONS]... \n";
const char k_help[] = "COMMANDS:\n"
                      "  --install --name=<webmail name>\n"
                      "\t\tregister webmail into vexla database and generate apache vhost config\n"
                      "  --remove --name=<webmail name>\n"
                      "\t\tunregister webmail from vexla database and remove apache vhost config\n"
                      "  --enable --name=<webmail name>\n"
                      "\t\tswitch on webmail on server\n"
                      "  --disable --name=<webmail name>\n"
                      "\t\tswitch off webmail on server\n"
                      "  --set-default --vhost-name=<vhost name> --name=<webmail name>\n"
                      "\t\tset default webmail for selected vhost\n"
                      "  --rename --vhost-name=<webmail name> --new-name=<new webmail name>\n"
                      "\t\trename webmail vhost to new vhost name\n"
                      "  --list\n"
                      "\t\tPrint webmails which possible to use in this server\n"
                      "  --check [--name=<webmail name>] [--vhost-name=<vhost name>] [--diff]\n"
                      "\t\treport where webmail files differ from vexla database\n"
                      "  --sync [--name=<webmail name>] [--vhost-name=<vhost name>]\n"
                      "\t\trepair what --check reports, where it can\n"
                      "  --no-restart\n"
                      "\t\tDo not restart apache server after command action\n"
                      "  -h, --help\n"
                      "\t\tThis help message\n"
                      "\n"
                      "OPTIONS:\n"
                      "  --name=[horde|atmail|squirrel|none]\n"
                      "\t\tname of webmail";

// What an option does when getopt_long meets it.
enum class option_role {
    webmail_name,
    vhost_name,
    new_vhost_name,
    command,
    no_restart,
    help,
    diff
};

// The values a command requires.
enum : unsigned { needs_name = 1, needs_vhost_name = 2, needs_new_name = 4 };

// The commands that run only on a command line they fully understand.
enum : unsigned { taken_by_check = 1, taken_by_sync = 2 };

struct option_entry {
    const char *name;
    int has_arg;
    option_role role;
    int command;       // the command a command option selects
    unsigned needs;    // the values that command requires
    unsigned taken_by; // the strict commands that take this option
    const char *what;  // a value option's name in its too-long report
};

constexpr unsigned taken_by_both = taken_by_check | taken_by_sync;

// The command line, in getopt_long's order: the value it returns picks the entry.
constexpr option_entry k_options[] = {
    {"name", required_argument, option_role::webmail_name, CMD_NONE, 0, taken_by_both,
     "Name too long"},
    {"vhost-name", required_argument, option_role::vhost_name, CMD_NONE, 0, taken_by_both,
     "vhost-name too long"},
    {"new-name", required_argument, option_role::new_vhost_name, CMD_NONE, 0, 0,
     "new-vhost-name too long"},
    {"install", no_argument, option_role::command, CMD_INSTALL, needs_name, 0, nullptr},
    {"remove", no_argument, option_role::command, CMD_REMOVE, needs_name, 0, nullptr},
    {"enable", no_argument, option_role::command, CMD_ENABLE, needs_name, 0, nullptr},
    {"disable", no_argument, option_role::command, CMD_DISABLE, needs_name, 0, nullptr},
    {"rename", no_argument, option_role::command, CMD_RENAME, needs_vhost_name | needs_new_name, 0,
     nullptr},
    {"set-default", no_argument, option_role::command, CMD_SET_DEFAULT,
     needs_vhost_name | needs_name, 0, nullptr},
    {"no-restart", no_argument, option_role::no_restart, CMD_NONE, 0, taken_by_sync, nullptr},
    {"list", no_argument, option_role::command, CMD_LIST, 0, 0, nullptr},
    {"help", no_argument, option_role::help, CMD_HELP, 0, 0, nullptr},
    {"check", no_argument, option_role::command, CMD_CHECK, 0, taken_by_check, nullptr},
    {"sync", no_argument, option_role::command, CMD_SYNC, 0, taken_by_sync, nullptr},
    {"diff", no_argument, option_role::diff, CMD_NONE, 0, taken_by_check, nullptr},
};

// Above every character getopt_long returns.
constexpr int k_first_long_value = 256;

// The table as getopt_long takes it. Each entry returns a value of its own
// ("help" returns 'h' like -h): of entries alike, getopt_long would take the
// first one an abbreviation fits ("--re" as --remove) instead of reporting
// the abbreviation ambiguous.
constexpr auto long_options = [] {
    std::array<struct option, std::size(k_options) + 1> table{};
    for (size_t i = 0; i < std::size(k_options); i++)
        table[i] = {k_options[i].name, k_options[i].has_arg, nullptr,
                    k_options[i].role == option_role::help ? 'h' : k_first_long_value + int(i)};
    return table;
}();

struct command_line {
    char name[WEBMAIL_NAME_MAX + 1] = "";
    char vhost_name[VHOST_NAME_MAX + 1] = "";
    char new_vhost_name[VHOST_NAME_MAX + 1] = "";
    bool name_required = false;
    bool vhost_name_required = false;
    bool new_name_required = false;
    bool restart = true;
    bool diff = false;
    int command = CMD_NONE;
    // The strict commands that understand the whole line: they take every
    // option in it, no value is empty, and getopt_long reported nothing.
    unsigned understood_by = taken_by_both;
};

// Logs and prints the same text: the entry's one-line failure summary.
void report(const char *format, ...) HCP_PRINTF(1, 2);
void report(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vprintf(LOG_ERR, format, ap);
    va_end(ap);
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

// Copies an option value that must stay within max characters; false when it does not.
bool take_value(char *field, size_t max, const char *value, const char *what)
{
    if (std::strlen(value) > max) {
        log_printf(LOG_ERR, "%s", what);
        std::printf("%s: %s\n", what, value);
        return false;
    }
    strlcpy(field, value, max + 1);
    return true;
}

bool is_unsafe(const char *value)
{
    return value != nullptr && std::strpbrk(value, ";'`");
}

bool check_vhost_name(const char *name)
{
    if (lanternctl::is_valid_vhost_name(name))
        return true;
    report("Invalid vhost name: %s\n", name);
    return false;
}

// Reads the options into cl; false when a value was refused (already reported).
bool read_options(int argc, char **argv, command_line &cl)
{
    for (;;) {
        int c = getopt_long(argc, argv, "h", long_options.data(), nullptr);
        if (c == -1)
            return true;
        if (c == 'h') {
            cl.understood_by = 0; // neither check nor sync takes it
            if (cl.command == CMD_NONE)
                cl.command = CMD_HELP;
            continue;
        }
        if (c < k_first_long_value || c >= k_first_long_value + int(std::size(k_options))) {
            cl.understood_by = 0;
            continue; // getopt_long has reported it on stderr
        }
        const option_entry &entry = k_options[c - k_first_long_value];
        cl.understood_by &= entry.taken_by;
        if (optarg != nullptr && *optarg == '\0')
            cl.understood_by = 0;
        if (is_unsafe(optarg)) {
            log_printf(LOG_ERR, "command-line argument is unsafe\n");
            std::printf("ERROR: command-line argument is unsafe\n");
        }
        switch (entry.role) {
        case option_role::webmail_name:
            if (!take_value(cl.name, WEBMAIL_NAME_MAX, optarg, entry.what))
                return false;
            break;
        case option_role::vhost_name:
            if (!take_value(cl.vhost_name, VHOST_NAME_MAX, optarg, entry.what))
                return false;
            break;
        case option_role::new_vhost_name:
            if (!take_value(cl.new_vhost_name, VHOST_NAME_MAX, optarg, entry.what))
                return false;
            break;
        case option_role::command:
            // The first command wins; a later one still adds what it needs.
            if (cl.command == CMD_NONE)
                cl.command = entry.command;
            cl.name_required |= (entry.needs & needs_name) != 0;
            cl.vhost_name_required |= (entry.needs & needs_vhost_name) != 0;
            cl.new_name_required |= (entry.needs & needs_new_name) != 0;
            break;
        case option_role::no_restart:
            cl.restart = false;
            break;
        case option_role::diff:
            cl.diff = true;
            break;
        case option_role::help: // returns 'h', handled above
            break;
        }
        // Any option met before a command option makes the run print the help.
        if (cl.command == CMD_NONE)
            cl.command = CMD_HELP;
    }
}

// Check and sync repair files: "--sync --dry-run" must not repair. So unlike
// the other commands, which report and ignore what they do not understand,
// they refuse to run, before anything is locked or read. True when refused.
bool refuses_command_line(const command_line &cl)
{
    const option_entry *command = nullptr;
    for (const auto &e : k_options)
        if (e.role == option_role::command && e.command == cl.command)
            command = &e;
    if (command == nullptr || command->taken_by == 0 || (cl.understood_by & command->taken_by) != 0)
        return false;
    std::vector<const char *> takes;
    for (const auto &e : k_options)
        if (&e != command && (e.taken_by & command->taken_by) != 0)
            takes.push_back(e.name);
    std::string list;
    for (size_t i = 0; i < takes.size(); i++)
        list += std::string(i == 0 ? "" : i + 1 < takes.size() ? ", " : " and ") + "--" + takes[i];
    std::fprintf(stderr, "lanternctl: --%s was not run: it takes only %s\n", command->name,
                 list.c_str());
    return true;
}

// Check and sync take it themselves, to confirm and repair but not to read.
bool takes_lock(int command)
{
    return command >= CMD_DISABLE && command <= CMD_SET_DEFAULT;
}

// The one-line summary of a locked command that failed.
void report_failed(const command_line &cl)
{
    switch (cl.command) {
    case CMD_INSTALL:
    case CMD_ENABLE:
        report("Unable to create vhost configuration for %s webmail\n", cl.name);
        break;
    case CMD_REMOVE:
    case CMD_DISABLE:
        report("Unable to remove vhost configuration for %s webmail\n", cl.name);
        break;
    case CMD_SET_DEFAULT:
        report("Unable to set default webmail for %s vhost\n", cl.vhost_name);
        break;
    case CMD_RENAME:
        report("Unable to rename vhost from %s to %s\n", cl.vhost_name, cl.new_vhost_name);
        break;
    }
}

// The changes are committed by now: a run queued behind this one need not
// wait for the web server's reload as well.
void restart_web_server(const command_line &cl)
{
    unlock_webmail_state();
    if (cl.restart)
        (void)service_control(conf_get(HTTPD_SERVICE), "graceful");
}

int dispatch(command_line &cl, const webmail_options &options)
{
    switch (cl.command) {
    case CMD_NONE:
    case CMD_HELP:
        std::printf("%s\n", k_usage);
        std::printf("%s\n", k_help);
        return 0;
    case CMD_INSTALL:
    case CMD_ENABLE:
        if (update_webmail_record(cl.name, cl.command, &options) != 0) {
            report("Unable to change record into database\n");
            return k_exit_failure;
        }
        if (create_webmail_vhost(cl.name, &options) != 0) {
            report("Unable to create vhost configuration for %s webmail\n", cl.name);
            return k_exit_failure;
        }
        return 0;
    case CMD_REMOVE:
    case CMD_DISABLE:
        if (update_webmail_record(cl.name, cl.command, &options) != 0) {
            report("Unable to change record into database\n");
            return k_exit_failure;
        }
        if (remove_webmail_vhost(cl.name) != 0) {
            report("Unable to remove vhost configuration for %s webmail\n", cl.name);
            return k_exit_failure;
        }
        return 0;
    case CMD_SET_DEFAULT:
        if (set_vhost_webmail(cl.name, cl.vhost_name) != 0) {
            report("Unable to set default webmail for %s vhost\n", cl.vhost_name);
            return k_exit_failure;
        }
        restart_web_server(cl);
        return 0;
    case CMD_RENAME:
        // cl.name becomes the webmail that holds the old vhost's alias file, or "".
        if (get_vhost_webmail(cl.name, sizeof cl.name, cl.vhost_name) != 0) {
            report("Unable to rename vhost from %s to %s\n", cl.vhost_name, cl.new_vhost_name);
            return k_exit_failure;
        }
        // An old vhost without an alias file has no choice to move, and the
        // new one keeps its own: a rename retried after it completed ends as
        // one rename. The new vhost's file first: if it cannot be written,
        // the old vhost keeps its own. A vhost renamed to itself keeps its
        // file as it is.
        if (cl.name[0] != '\0' && std::strcmp(cl.vhost_name, cl.new_vhost_name) != 0) {
            if (set_vhost_webmail(cl.name, cl.new_vhost_name) != 0) {
                report("Unable to set default webmail for %s vhost\n", cl.new_vhost_name);
                return k_exit_failure;
            }
            if (set_vhost_webmail("none", cl.vhost_name) != 0) {
                report("Unable to set default webmail for %s vhost\n", cl.vhost_name);
                return k_exit_failure;
            }
        }
        restart_web_server(cl);
        return 0;
    case CMD_CHECK:
    case CMD_SYNC: {
        bool repair = cl.command == CMD_SYNC;
        check_request request = {cl.name, cl.vhost_name, repair, cl.diff, cl.restart};
        int rc = check_webmail_files(&request);
        if (rc < 0) {
            report(repair ? "Unable to sync webmail files\n" : "Unable to check webmail files\n");
            return k_exit_failure;
        }
        return rc;
    }
    }
    // CMD_LIST
    if (print_webmails_list() != 0) {
        report("Unable to print webmails list. \n");
        return k_exit_failure;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Inherited ignored (a daemon written that way), SIGCHLD would have the
    // kernel reap every child, and no wait could read a child's status.
    std::signal(SIGCHLD, SIG_DFL);
    log_init(nullptr, LOG_ERR, LOG_MAIL, LOG_PID | LOG_CONS, argv[0]);
    (void)conf_load(); // without the file every lookup falls back to its default

    command_line cl;
    if (!read_options(argc, argv, cl))
        return k_exit_failure;
    if (refuses_command_line(cl))
        return k_exit_usage;

    require_args_consumed(argc, optind);
    require_param(cl.name_required, cl.name, "name");
    require_param(cl.vhost_name_required, cl.vhost_name, "vhost-name");
    require_param(cl.new_name_required, cl.new_vhost_name, "new-name");

    bool name_is_none = std::strcmp(cl.name, "none") == 0;
    if (name_is_none && cl.command != CMD_SET_DEFAULT) {
        report("Webmail name 'none' possible for --set-default key only\n");
        return k_exit_failure;
    }

    bool checks_name = cl.name_required && !name_is_none;
    bool checks_one = (cl.command == CMD_CHECK || cl.command == CMD_SYNC) && cl.name[0] != '\0';
    if ((checks_name || checks_one) && find_known_webmail(cl.name) != 0) {
        report("Unable to find webmail with name: %s\n", cl.name);
        std::printf("Possible name was defined incorrect.\n");
        return k_exit_failure;
    }

    // From before the definition is read until the changes are committed.
    // What a killed run left undecided is rolled back before anything else,
    // the database not asked for it.
    if (takes_lock(cl.command)) {
        if (take_webmail_state_lock() != 0)
            return k_exit_failure;
        if (recover_include_files() != 0) {
            report_failed(cl);
            return k_exit_failure;
        }
    }

    webmail_options options{};
    if (checks_name) {
        if (get_webmail_options(cl.name, &options) != 0) {
            report("Unable to get options for %s webmail\n", cl.name);
            return k_exit_failure;
        }
    }

    bool checks_vhost = cl.command == CMD_CHECK || cl.command == CMD_SYNC;
    if (checks_vhost && cl.vhost_name[0] != '\0' && !check_vhost_name(cl.vhost_name))
        return k_exit_failure;
    if (cl.command == CMD_SET_DEFAULT || cl.command == CMD_RENAME) {
        if (!check_vhost_name(cl.vhost_name))
            return k_exit_failure;
        if (cl.command == CMD_RENAME && !check_vhost_name(cl.new_vhost_name))
            return k_exit_failure;
    }

    return dispatch(cl, options);
}
