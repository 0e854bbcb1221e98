/* child_fds: prints which descriptors below 64 are open, then what it
 * reads on standard input, then "ready" on standard error. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(void)
{
    char line[512];
    int used = 0;
    used += snprintf(line + used, sizeof line - used, "open:");
    for (int fd = 0; fd < 64; fd++)
        if (fcntl(fd, F_GETFD) != -1)
            used += snprintf(line + used, sizeof line - used, " %d", fd);
    snprintf(line + used, sizeof line - used, "\nstdin:");
    (void)!write(1, line, (size_t)used + 7);
    char buffer[256];
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0)
        (void)!write(1, buffer, (size_t)n);
    (void)!write(1, "\n", 1);
    (void)!write(2, "ready\n", 6);
    return 0;
}
