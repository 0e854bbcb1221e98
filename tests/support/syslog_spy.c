/*
 * Test-only stand-in for the system log, preloaded into the tool. There is no
 * log daemon on the test machines, so every openlog and syslog call is
 * recorded, one line each, in the file named by HCP_SYSLOG_SPY:
 *   openlog<TAB>ident<TAB>option<TAB>facility
 *   syslog<TAB>priority<TAB>ident<TAB>option<TAB>facility<TAB>message
 * with backslash, tab, newline and other control bytes escaped (\\ \t \n \xHH).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static char spy_ident[1024];
static int spy_option;
static int spy_facility = LOG_USER;

static void spy_write(const char *text, size_t len)
{
    const char *path = getenv("HCP_SYSLOG_SPY");
    if (path == NULL || *path == '\0')
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0)
            break;
        text += n;
        len -= (size_t)n;
    }
    close(fd);
}

static void spy_escape(FILE *out, const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        if (*p == '\\')
            fputs("\\\\", out);
        else if (*p == '\n')
            fputs("\\n", out);
        else if (*p == '\t')
            fputs("\\t", out);
        else if (*p < 0x20 || *p == 0x7f)
            fprintf(out, "\\x%02x", *p);
        else
            fputc(*p, out);
    }
}

static void spy_record(int priority, const char *format, va_list ap)
{
    char *message = NULL;
    if (vasprintf(&message, format, ap) < 0)
        return;
    char *line = NULL;
    size_t len = 0;
    FILE *out = open_memstream(&line, &len);
    if (out != NULL) {
        fprintf(out, "syslog\t%d\t", priority);
        spy_escape(out, spy_ident);
        fprintf(out, "\t%d\t%d\t", spy_option, spy_facility);
        spy_escape(out, message);
        fputc('\n', out);
        fclose(out);
        spy_write(line, len);
    }
    free(line);
    free(message);
}

void openlog(const char *ident, int option, int facility)
{
    snprintf(spy_ident, sizeof spy_ident, "%s", ident != NULL ? ident : "");
    spy_option = option;
    spy_facility = facility;
    char *line = NULL;
    size_t len = 0;
    FILE *out = open_memstream(&line, &len);
    if (out != NULL) {
        fputs("openlog\t", out);
        spy_escape(out, spy_ident);
        fprintf(out, "\t%d\t%d\n", option, facility);
        fclose(out);
        spy_write(line, len);
    }
    free(line);
}

void closelog(void) {}

void vsyslog(int priority, const char *format, va_list ap)
{
    spy_record(priority, format, ap);
}

void syslog(int priority, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    spy_record(priority, format, ap);
    va_end(ap);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list ap)
{
    (void)flag;
    spy_record(priority, format, ap);
}

void __syslog_chk(int priority, int flag, const char *format, ...)
{
    (void)flag;
    va_list ap;
    va_start(ap, format);
    spy_record(priority, format, ap);
    va_end(ap);
}
