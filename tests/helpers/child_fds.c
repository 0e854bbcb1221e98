/* child_fds: prints which descriptors of its whole table are open, then
 * what it reads on standard input, then "ready" on standard error. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    char line[4096];
    size_t used = (size_t)snprintf(line, sizeof line, "open:");
    int table = getdtablesize();
    /* Room is kept for the largest number and the "stdin:" that follows. */
    for (int fd = 0; fd < table && used < sizeof line - 16; fd++)
        if (fcntl(fd, F_GETFD) != -1)
            used += (size_t)snprintf(line + used, sizeof line - used, " %d", fd);
    used += (size_t)snprintf(line + used, sizeof line - used, "\nstdin:");
    (void)!write(1, line, used);
    char buffer[256];
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0)
        (void)!write(1, buffer, (size_t)n);
    (void)!write(1, "\n", 1);
    (void)!write(2, "ready\n", 6);
    return 0;
}
