/* child_daemon SECONDS STATUS: starts a background child that keeps the
 * standard descriptors open for SECONDS, prints its process id and exits
 * with STATUS at once. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 98;
    pid_t pid = fork();
    if (pid < 0)
        return 97;
    if (pid == 0) {
        sleep((unsigned)atoi(argv[1]));
        _exit(0);
    }
    printf("%d\n", (int)pid);
    fflush(stdout);
    return atoi(argv[2]);
}
