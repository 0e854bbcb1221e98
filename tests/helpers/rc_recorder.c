/*
 * Stand-in start/stop script for the tests (a program, since a kernel-run
 * script never sees its argument zero): notes what it was given and how it
 * runs into $RC_RECORD, one "key=value" line each and "--" after a run, then
 * exits with $RC_EXIT ($RC_STATUS_EXIT for "status"). With $RC_TRY_LOCK it
 * also notes whether that file's flock(2) lock was free ("lock_free=1").
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

static void link_of(FILE *out, const char *key, int fd)
{
    char path[64], target[PATH_MAX];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(path, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    fprintf(out, "%s=%s\n", key, target);
}

int main(int argc, char **argv)
{
    const char *record = getenv("RC_RECORD");
    FILE *out = record != NULL ? fopen(record, "ae") : NULL;
    if (out != NULL) {
        fprintf(out, "argv0=%s\nargs=", argv[0]);
        for (int i = 1; i < argc; i++)
            fprintf(out, "%s%s", i > 1 ? " " : "", argv[i]);
        char cwd[PATH_MAX];
        fprintf(out, "\nargc=%d\ncwd=%s\n", argc, getcwd(cwd, sizeof cwd) ? cwd : "?");
        link_of(out, "stdin", 0);
        link_of(out, "stdout", 1);
        fprintf(out, "pid=%d\nsid=%d\nfds= ", (int)getpid(), (int)getsid(0));
        DIR *d = opendir("/proc/self/fd");
        int own = d != NULL ? dirfd(d) : -1;
        for (struct dirent *e; d != NULL && (e = readdir(d)) != NULL;)
            if (e->d_name[0] != '.' && atoi(e->d_name) != own && atoi(e->d_name) != fileno(out))
                fprintf(out, "%s ", e->d_name);
        if (d != NULL)
            closedir(d);
        const char *lock = getenv("RC_TRY_LOCK");
        if (lock != NULL) {
            int fd = open(lock, O_RDONLY | O_CLOEXEC);
            fprintf(out, "\nlock_free=%d", fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0);
        }
        fprintf(out, "\n--\n");
        fclose(out);
    }
    const char *code =
        getenv(argc > 1 && strcmp(argv[1], "status") == 0 ? "RC_STATUS_EXIT" : "RC_EXIT");
    return code != NULL ? atoi(code) : 0;
}
