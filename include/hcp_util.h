/*
 * Support library: error channel, log sink, string helpers, file-system
 * root, web-server discovery and IDN conversion.
 *
 * Conventions: 0 / -1 or pointer / NULL; errno is set where a function says
 * so. Strings returned "owned by the caller" are freed with free(3); strings
 * returned "borrowed" belong to the library and must not be freed. "Reports"
 * means print_error() with status 0, so the call goes on; "exits N" means a
 * report with status N, which ends the process. A function that mentions
 * neither does neither. No state here is locked: one thread only.
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
 * ends with one). Returns when exit_status is 0, else exits with it through
 * exit(3). Clear errno first when the failure is no system call's.
 */
void print_error(int exit_status, const char *format, ...) HCP_PRINTF(2, 3);
void vprint_error(int exit_status, const char *format, va_list ap) HCP_PRINTF(2, 0);
/* Writes a finished text as a report: no formatting, no errno suffix; exits
 * with exit_status unless it is 0. */
void print_error_text(const char *text, int exit_status);

/* malloc(3) / realloc(3) that never return NULL: "alloc(<size>)" and exit 1
 * instead. The memory is the caller's, freed with free(3). */
void *checked_malloc(size_t size);
void *checked_realloc(void *ptr, size_t size);
/* Newly allocated formatted text, owned by the caller; exits 1 without memory. */
char *alloc_printf(const char *format, ...) HCP_PRINTF(1, 2);
char *alloc_vprintf(const char *format, va_list ap) HCP_PRINTF(1, 0);

/* Returns value, borrowed as given; exits 1 with "Miss parameter '<name>' ..."
 * when required is non-zero and value is NULL or "". */
const char *require_param(int required, const char *value, const char *name);
/* Returns when argc == next_arg (getopt's optind); otherwise exits 1 with
 * "Some parameters in command string leave unprocessed. ...". */
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

/* target NULL: system log (openlog(ident, options | LOG_PID, facility); ident
 * is kept, not copied); any other target: the console. A threshold <= 0 is
 * stored as 0; it filters the console only. */
void log_init(const char *target, int threshold, int facility, int options, const char *ident);
/* One message through the current sink; nothing returned, never exits. */
void log_printf(int priority, const char *format, ...) HCP_PRINTF(2, 3);
void log_vprintf(int priority, const char *format, va_list ap) HCP_PRINTF(2, 0);
/* Console sink: stderr then stdout, a newline always added, no errno suffix;
 * nothing when priority (facility bits included) is above the threshold. */
void console_log(int priority, const char *format, ...) HCP_PRINTF(2, 3);
void console_vlog(int priority, const char *format, va_list ap) HCP_PRINTF(2, 0);

/* ---- Growable string ----------------------------------------------------
 * A caller-held text (NULL until started) and its count of free characters;
 * the caller frees the text with free(3), also after a failure. Each returns
 * the text, or NULL with errno set (ENOMEM; ERANGE when the size would
 * overflow). Growth is by what is missing, at least 80 bytes. */
/* Starts an empty text of 80 bytes (79 free) when *text is NULL; else
 * changes nothing. */
char *strbuf_init(char **text, size_t *free_count);
/* Room for needed more characters; EINVAL when the text was not started. */
char *strbuf_reserve(char **text, size_t *free_count, size_t needed);
/* Starts the text if needed, then appends string or the formatted text;
 * strbuf_printf also gives NULL when the format cannot be expanded. */
char *strbuf_append(char **text, size_t *free_count, const char *string);
char *strbuf_printf(char **text, size_t *free_count, const char *format, ...) HCP_PRINTF(3, 4);

/* ---- String helpers ------------------------------------------------------ */

#define READ_LINE_STEP_BYTES 80
#define READ_LINE_MAX_CAPACITY 2147483647

/*
 * Reads one line (newline kept, NUL-terminated) into *buffer, growing it by
 * 80 bytes at a time and updating *buffer and *capacity. Returns its length,
 * or -1 at end of input (errno untouched) or on failure (errno EINVAL,
 * ERANGE or ENOMEM). The buffer stays with the caller, to reuse for the next
 * line and free(3) at the end; a read error ends the line like end of input.
 */
ssize_t read_line(char **buffer, int *capacity, FILE *stream);

/* Copies at most size - 1 bytes, terminated when size > 0; returns
 * strlen(source), so a result >= size means the copy was cut. */
#ifndef HCP_HAVE_STRLCPY
size_t strlcpy(char *destination, const char *source, size_t size);
#endif

/* source with every pattern replaced, at most size - 1 bytes, cut only
 * between pieces. Returns destination (NULL when destination is NULL). A NULL
 * or "" pattern copies as strncpy(3) does (unterminated when source is long).
 * Without memory for its scratch copy it reports and copies source cut. */
char *strn_replace(const char *source, char *destination, const char *pattern,
                   const char *replacement, size_t size);
/* Copies source turning from (not '\0') into to; to '\0' ends the copy at the
 * first from. destination must hold source; NULL means in place. Returns
 * destination, or source in place. */
char *str_replace_char(char *source, char *destination, char from, char to);
/* Cuts trailing ASCII white space in place; returns past the leading one. */
char *str_trim(char *string);
/* Lowercases A to Z in place; NULL is ignored. */
void str_tolower(char *string);
/* Lowercased copy owned by the caller; NULL for NULL, or after a report when
 * out of memory. */
char *str_dup_lower(const char *string);

/* ---- File-system root -----------------------------------------------------
 * When HCP_SYSROOT is set (read at each call; "" and "/" mean unset), every
 * absolute path the system uses is resolved beneath it, as under chroot.
 * "/dev/null" and relative paths are used as they are. Callers keep the
 * logical path for messages and limits and resolve only at the system call. */

/* Writes the resolved path into buffer; -1 with ENAMETOOLONG if it does not fit. */
int sysroot_resolve(const char *path, char *buffer, size_t size);
/* Resolved path, newly allocated and owned by the caller; exits 1 without memory. */
char *sysroot_path(const char *path);
/* The system call on the resolved path(s): its result and errno, or -1 / NULL
 * with ENAMETOOLONG when a resolved path exceeds PATH_MAX. */
FILE *sysroot_fopen(const char *path, const char *mode);
int sysroot_open(const char *path, int flags, mode_t mode);
int sysroot_stat(const char *path, struct stat *st);
int sysroot_unlink(const char *path);
int sysroot_rename(const char *from, const char *to);
int sysroot_chdir(const char *path);

/* ---- Web server discovery ------------------------------------------------ */

/* Finds the installed Apache (the first executable candidate, beneath
 * HCP_SYSROOT), runs it with -V and fills its module magic (at most 8
 * characters, owned by the caller), version code (20 or 22) and patch level.
 * Returns only then: exits 1 when none runs, -V fails or the version is
 * missing or other than 2.0 and 2.2. Its child starts with every signal at
 * its default. Where the caller ignores SIGCHLD or reaps children itself,
 * no -V can be waited for (ECHILD) and it exits 1: "get_apache_path: apache
 * executable not found". */
void get_apache_path(char **module_magic, int *version_code, int *patch_level);
/*
 * Runs argv[0] (beneath HCP_SYSROOT, no PATH search) with argv, stdin on
 * /dev/null, stdout into *buffer, stderr inherited, no other descriptor; no
 * time limit. *buffer: NULL or the caller's heap buffer, grown to 4096 bytes
 * and on in 4096-byte steps, the caller's to free(3) in every case; *size:
 * in, its size; out, the bytes read (after a failed growth, its size). 0 when
 * run, read to its end and waited for: the output is NUL-terminated and
 * *wait_status is as waitpid(2) gives it (the child exits 240 when stdin, 241
 * when stdout cannot be connected, 242 when the exec fails); else -1 with one
 * line appended to the growable string *failure / *failure_free (a
 * "waitpid" line where the caller ignores SIGCHLD or reaps children itself:
 * ECHILD). The child starts with every signal at its default. Reports
 * nothing; exits 1 only without memory for the path.
 */
int run_and_capture(char **buffer, size_t *size, int *wait_status, char *const argv[],
                    char **failure, size_t *failure_free);
/* TRACE-blocking block for Apache 2.0 up to patch level 54, else "". Static:
 * borrowed, never freed. */
const char *pci_compliance_directive(int version_code, int patch_level);

/* ---- IDN conversion ------------------------------------------------------
 * UTF-8 names through libidn with flags 0. When libidn runs out of memory
 * every function exits 1 ("Allocation failed"). The _safe forms never return
 * NULL: they exit 1 with "<function>(<argument>) failed: <text of
 * idn_last_error>" instead. */

/* libidn's code of the latest failed conversion; 0 until one fails, never
 * cleared by a success. */
extern int idn_last_error;
/* Static text of a libidn code; "Unknown error" for codes it does not know. */
const char *idn_error_text(int code);
/* ASCII form, owned by the caller; NULL with the code in idn_last_error. */
char *idn_toascii(const char *name);
char *idn_toascii_safe(const char *name);
/* UTF-8 form, owned by the caller, as libidn gave it even when it failed
 * (code in idn_last_error); NULL only without output, where _safe exits. */
char *idn_toutf8(const char *name);
char *idn_toutf8_safe(const char *name);
/* url with only its host in ASCII form, in a static 4096-byte buffer that
 * the next call overwrites (url may be that buffer); NULL after a report when
 * no host is found, it cannot be converted or the result would not fit.
 * Exits 1 if its regular expression cannot be compiled. */
char *idn_url_toascii(const char *url);
/* local@domain with the domain (all after the first '@') in ASCII form, owned
 * by the caller; NULL when there is no '@' (idn_last_error untouched, so the
 * _safe report shows an earlier text, "Success" if none) or the domain
 * cannot be converted. Exits 1 without memory for the result. */
char *idn_email_toascii(const char *address);
char *idn_email_toascii_safe(const char *address);

#ifdef __cplusplus
}
#endif

#endif
