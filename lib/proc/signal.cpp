// Finding processes in the process listing and signalling them, and the two
// shell pipelines that do the same by executable or command name.
#include "hcp_proc.h"
#include "hcp_util.h"

#include "util/owners.hpp"
#include "util/text.hpp"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace
{

constexpr const char *k_ps = "/bin/ps";
constexpr const char *k_grep = "/usr/bin/grep";
constexpr const char *k_awk = "/usr/bin/awk";
constexpr const char *k_kill = "/bin/kill";
constexpr size_t k_shell_command_bytes = 4096;
// An executable name is at most a file name; with two copies of it the
// longest pipeline still fits its buffer whole.
constexpr size_t k_process_name_max_bytes = 255;

// The process id that begins a listing line: leading blanks, then a decimal
// number. Anything else, and ids that kill(2) would read as a group or as
// every process (0 and below), give 0.
pid_t leading_pid(std::string_view line)
{
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return 0;
    line.remove_prefix(start);
    if (!line.empty() && line.front() == '+')
        line.remove_prefix(1);
    pid_t pid = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
    if (error != std::errc() || end == line.data())
        return 0;
    return pid > 0 ? pid : 0;
}

// The name goes unquoted into a shell command and a regular expression, so
// only the characters of ordinary executable names are let through.
bool is_safe_process_name(const char *caller, const char *name)
{
    size_t length = std::strlen(name);
    bool safe = length > 0 && length <= k_process_name_max_bytes;
    for (size_t i = 0; safe && i < length; i++) {
        char c = name[i];
        safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-' || c == '+';
    }
    if (!safe) {
        errno = 0;
        print_error(0, "%s(): invalid process name '%s'", caller, name);
    }
    return safe;
}

int run_shell(const char *command)
{
    std::fflush(nullptr);
    return std::system(command);
}

} // namespace

extern "C" {

int send_signal_field(const char *field, const char *pattern, int signal_number)
{
    // An empty pattern is found on every line: every process would be signalled.
    if (pattern == nullptr || *pattern == '\0') {
        errno = 0;
        print_error(0, "send_signal_field(): empty pattern");
        return -1;
    }
    hcp::unique_malloc<char> columns(alloc_printf("pid,%s", field));
    char *listing_text = nullptr;
    int status = fork_execl_getout(&listing_text, k_ps, k_ps, "-Aww", "-o", columns.get(), nullptr);
    hcp::unique_malloc<char> listing(listing_text);
    if (status != 0) {
        if (listing) {
            std::fputs(listing.get(), stderr);
            std::fputc('\n', stderr);
        }
        errno = 0;
        print_error(0, "send_signal_field(): %s failed", k_ps);
        return -1;
    }

    // The first line names the columns; it describes no process.
    std::string_view text(listing.get());
    size_t header_end = text.find('\n');
    size_t from = header_end == std::string_view::npos ? text.size() : header_end + 1;

    int count = 0;
    size_t hit;
    while (from < text.size() && (hit = text.find(pattern, from)) != std::string_view::npos) {
        size_t line_start = text.rfind('\n', hit - 1) + 1;
        size_t line_end = text.find('\n', hit);
        if (line_end == std::string_view::npos)
            line_end = text.size();
        std::string_view line = hcp::slice(text, line_start, line_end - line_start);

        pid_t pid = leading_pid(line);
        if (pid > 0) {
            count++;
            if (::kill(pid, signal_number) != 0)
                print_error(0, "send_signal_field(): failed to kill %d: %s", static_cast<int>(pid),
                            std::strerror(errno));
        } else {
            errno = 0;
            print_error(0, "send_signal_field(): malformed ps output: %.*s",
                        static_cast<int>(line.size()), line.data());
        }
        from = line_end + 1;
    }
    return count;
}

int kill_processes_by_name(const char *name, int signal_number)
{
    if (!is_safe_process_name("kill_processes_by_name", name))
        return -1;
    char command[k_shell_command_bytes];
    std::snprintf(command, sizeof command,
                  "for pid in `%s axc -opid,command|%s -E \"[0-9] %s$\"|%s '{print $1}' -` ; "
                  "do %s -%d $pid ; done",
                  k_ps, k_grep, name, k_awk, k_kill, signal_number);
    return run_shell(command);
}

int check_process_by_name(const char *name)
{
    if (!is_safe_process_name("check_process_by_name", name))
        return -1;
    char command[k_shell_command_bytes];
    std::snprintf(
        command, sizeof command,
        "%s axww | %s -v grep | %s '{ print $5 }' | %s -E '((^|/)%s$)|([[(<]%s([)>]|])$)' "
        ">/dev/null",
        k_ps, k_grep, k_awk, k_grep, name, name);
    return run_shell(command);
}

} // extern "C"
