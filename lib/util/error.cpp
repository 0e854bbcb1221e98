// The error channel (reports on stderr and stdout, optionally ending the
// process), the allocation wrappers, the command-line checks and the
// process-wide log sink.
#include "hcp_util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace
{

constexpr size_t k_report_start_bytes = 4096;

void write_report(FILE *stream, const char *text)
{
    size_t len = std::strlen(text);
    std::fputs(text, stream);
    if (len == 0 || text[len - 1] != '\n')
        std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

extern "C" {

struct log_sink hcp_log_sink = {console_vlog, console_log, LOG_INFO, LOG_MAIL};

void print_error_text(const char *text, int exit_status)
{
    write_report(stderr, text);
    write_report(stdout, text);
    if (exit_status != 0)
        std::exit(exit_status);
}

void vprint_error(int exit_status, const char *format, va_list ap)
{
    int saved_errno = errno;

    size_t capacity = k_report_start_bytes;
    char *report = static_cast<char *>(std::malloc(capacity));
    if (report == nullptr) {
        print_error_text("Can't allocate memory for error message", exit_status);
        return;
    }

    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(report, capacity, format, ap);
    if (n < 0) {
        // The format cannot be expanded: show it as written rather than nothing.
        std::snprintf(report, capacity, "%s", format);
    } else if (static_cast<size_t>(n) >= capacity) {
        if (char *grown = static_cast<char *>(std::realloc(report, size_t(n) + 1))) {
            report = grown;
            capacity = size_t(n) + 1;
            std::vsnprintf(report, capacity, format, again);
        }
        // Without more memory the report keeps its first 4095 characters.
    }
    va_end(again);

    errno = saved_errno;
    if (saved_errno != 0) {
        const char *reason = std::strerror(saved_errno);
        size_t used = std::strlen(report);
        int suffix = std::snprintf(nullptr, 0, "\nSystem error %d: %s", saved_errno, reason);
        if (suffix > 0 && used + size_t(suffix) + 1 > capacity) {
            if (char *grown = static_cast<char *>(std::realloc(report, used + suffix + 1))) {
                report = grown;
                capacity = used + size_t(suffix) + 1;
            }
        }
        std::snprintf(report + used, capacity - used, "\nSystem error %d: %s", saved_errno, reason);
    }

    print_error_text(report, 0);
    std::free(report);
    if (exit_status != 0)
        std::exit(exit_status);
}

void print_error(int exit_status, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vprint_error(exit_status, format, ap);
    va_end(ap);
}

void *checked_malloc(size_t size)
{
    void *p = std::malloc(size);
    if (p == nullptr)
        print_error(1, "alloc(%zu)", size); // the whole request, not an int cut from it
    return p;
}

void *checked_realloc(void *ptr, size_t size)
{
    void *p = std::realloc(ptr, size);
    if (p == nullptr)
        print_error(1, "alloc(%zu)", size);
    return p;
}

char *alloc_vprintf(const char *format, va_list ap)
{
    char *text = nullptr;
    if (vasprintf(&text, format, ap) < 0)
        print_error(1, "Cannot allocate memory: %s", std::strerror(errno));
    return text;
}

char *alloc_printf(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    char *text = alloc_vprintf(format, ap);
    va_end(ap);
    return text;
}

// The two command-line checks report no system failure, so a stale errno
// left by earlier start-up work must not be appended to their messages.
const char *require_param(int required, const char *value, const char *name)
{
    if (required && (value == nullptr || *value == '\0')) {
        errno = 0;
        print_error(1, "Miss parameter '%s' or previos parameter empty.\n", name);
    }
    return value;
}

void require_args_consumed(int argc, int next_arg)
{
    if (argc != next_arg) {
        errno = 0;
        print_error(1, "Some parameters in command string leave unprocessed. "
                       "Check parameters please.");
    }
}

void console_vlog(int priority, const char *format, va_list ap)
{
    if (priority > hcp_log_sink.threshold)
        return;
    va_list again;
    va_copy(again, ap);
    std::vfprintf(stderr, format, ap);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::vfprintf(stdout, format, again);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    va_end(again);
}

void console_log(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    console_vlog(priority, format, ap);
    va_end(ap);
}

void log_init(const char *target, int threshold, int facility, int options, const char *ident)
{
    hcp_log_sink.facility = facility;
    hcp_log_sink.threshold = threshold > 0 ? threshold : 0;
    if (target != nullptr) {
        hcp_log_sink.log_vprintf = console_vlog;
        hcp_log_sink.log_printf = console_log;
        return;
    }
    closelog();
    openlog(ident, options | LOG_PID, facility);
    hcp_log_sink.log_vprintf = vsyslog;
    hcp_log_sink.log_printf = syslog;
}

void log_vprintf(int priority, const char *format, va_list ap)
{
    hcp_log_sink.log_vprintf(priority, format, ap);
}

void log_printf(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    hcp_log_sink.log_vprintf(priority, format, ap);
    va_end(ap);
}

} // extern "C"
