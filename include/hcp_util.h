/*
 * Support library: error channel, log sink, string helpers, file-system
 * root, web-server discovery and IDN conversion.
 *
 * Conventions: 0 / -1 or pointer / NULL; errno is set where a function says
 * so. Strings returned "owned by the caller" are freed with free(3); strings
 * returned "borrowed" belong to the library and must not be freed.
 */
#ifndef HCP_UTIL_H
#define HCP_UTIL_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define HCP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define HCP_PRINTF(fmt, args)
#endif

/* ---- Error channel ---------------------------------------------------- */

/*
 * Formats one report, appends "\nSystem error %d: %s" when errno was set on
 * entry, writes it to stderr and then stdout (each with a newline unless it
 * ends with one). Returns when exit_status is 0, else exits with it.
 */
void print_error(int exit_status, const char *format, ...) HCP_PRINTF(2, 3);
void vprint_error(int exit_status, const char *format, va_list ap) HCP_PRINTF(2, 0);
/* Writes a finished text as a report: no formatting, no errno suffix. */
void print_error_text(const char *text, int exit_status);

/* Allocation that never returns NULL: reports and exits 1 instead. */
void *checked_malloc(size_t size);
void *checked_realloc(void *ptr, size_t size);
/* Newly allocated formatted text, owned by the caller; exits 1 on failure. */
char *alloc_printf(const char *format, ...) HCP_PRINTF(1, 2);
char *alloc_vprintf(const char *format, va_list ap) HCP_PRINTF(1, 0);

/* Returns value; exits 1 with a report when required and value is NULL or "". */
const char *require_param(int required, const char *value, const char *name);
/* Returns when argc == next_arg; otherwise reports and exits 1. */
void require_args_consumed(int argc, int next_arg);

/* ---- Log sink ---------------------------------------------------------- */

/*
 * The process-wide sink. Until log_init() runs it is the console with
 * threshold 6 (LOG_INFO). The members share their names with the functions
 * below, which forward through them.
 */
struct log_sink {
    void (*log_vprintf)(int priority, const char *format, va_list ap);
    void (*log_printf)(int priority, const char *format, ...);
    int threshold; /* highest priority value the console shows (signed) */
    int facility;  /* last facility given to log_init() */
};
extern struct log_sink hcp_log_sink;

/* target NULL: system log (openlog(ident, options | LOG_PID, facility));
 * any other target: the console. A threshold <= 0 is stored as 0. */
void log_init(const char *target, int threshold, int facility, int options, const char *ident);
void log_printf(int priority, const char *format, ...) HCP_PRINTF(2, 3);
void log_vprintf(int priority, const char *format, va_list ap) HCP_PRINTF(2, 0);
/* Console sink: stderr then stdout, a newline always added, filtered by threshold. */
void console_log(int priority, const char *format, ...) HCP_PRINTF(2, 3);
void console_vlog(int priority, const char *format, va_list ap) HCP_PRINTF(2, 0);

/* ---- Growable string ----------------------------------------------------
 * A caller-held text (NULL until started) and its count of free characters.
 * Each returns the text, or NULL with errno set (ENOMEM, ERANGE). */
char *strbuf_init(char **text, size_t *free_count);
char *strbuf_reserve(char **text, size_t *free_count, size_t needed);
char *strbuf_append(char **text, size_t *free_count, const char *string);
char *strbuf_printf(char **text, size_t *free_count, const char *format, ...) HCP_PRINTF(3, 4);

/* ---- String helpers ------------------------------------------------------ */

#define READ_LINE_STEP_BYTES 80
#define READ_LINE_MAX_CAPACITY 2147483647

/*
 * Reads one line (newline kept) into *buffer, growing it by 80 bytes at a
 * time. Returns its length, or -1 at end of input or on failure (errno
 * EINVAL, ERANGE or ENOMEM; the buffer stays with the caller).
 */
ssize_t read_line(char **buffer, int *capacity, FILE *stream);

#ifndef HCP_HAVE_STRLCPY
size_t strlcpy(char *destination, const char *source, size_t size);
#endif

/* source with every pattern replaced, at most size - 1 bytes, cut only
 * between pieces. Returns destination (NULL when destination is NULL). */
char *strn_replace(const char *source, char *destination, const char *pattern,
                   const char *replacement, size_t size);
/* Copies source turning from into to; destination NULL means in place. */
char *str_replace_char(char *source, char *destination, char from, char to);
/* Cuts trailing ASCII white space in place; returns past the leading one. */
char *str_trim(char *string);
void str_tolower(char *string);
/* Lowercased copy owned by the caller, or NULL. */
char *str_dup_lower(const char *string);

/* ---- File-system root -----------------------------------------------------
 * When HCP_SYSROOT names a directory, every absolute path the system uses is
 * resolved beneath it, as under chroot. "/dev/null" and relative paths are
 * used as they are. Callers keep the logical path for messages and limits and
 * resolve only at the system call. */

/* Writes the resolved path into buffer; -1 with ENAMETOOLONG if it does not fit. */
int sysroot_resolve(const char *path, char *buffer, size_t size);
/* Resolved path, newly allocated and owned by the caller; exits 1 without memory. */
char *sysroot_path(const char *path);
FILE *sysroot_fopen(const char *path, const char *mode);
int sysroot_open(const char *path, int flags, mode_t mode);
int sysroot_stat(const char *path, struct stat *st);
int sysroot_unlink(const char *path);
int sysroot_rename(const char *from, const char *to);
int sysroot_chdir(const char *path);

/* ---- Web server discovery ------------------------------------------------ */

/* Fills the module magic (owned by the caller), version code (20 or 22) and
 * patch level of the installed Apache, or reports and exits 1. */
void get_apache_path(char **module_magic, int *version_code, int *patch_level);
/* Runs argv[0] with argv, collecting stdout into *buffer (*size: in, its
 * size; out, the bytes read). 0 when run and waited for, else -1 with one
 * line appended to the growable string *failure / *failure_free. */
int run_and_capture(char **buffer, size_t *size, int *wait_status, char *const argv[],
                    char **failure, size_t *failure_free);
/* TRACE-blocking block for Apache 2.0 up to patch level 54, else "". Static. */
const char *pci_compliance_directive(int version_code, int patch_level);

/* ---- IDN conversion ------------------------------------------------------ */

extern int idn_last_error;
const char *idn_error_text(int code);
char *idn_toascii(const char *name);
char *idn_toascii_safe(const char *name);
char *idn_toutf8(const char *name);
char *idn_toutf8_safe(const char *name);
/* Static 4096-byte result overwritten by the next call; NULL on failure. */
char *idn_url_toascii(const char *url);
char *idn_email_toascii(const char *address);
char *idn_email_toascii_safe(const char *address);

#ifdef __cplusplus
}
#endif

#endif
