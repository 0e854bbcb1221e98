/* Stand-in for a server run by run_and_capture: prints its argument vector,
 * how many bytes its standard input holds and which descriptors above 2 it
 * inherited, then exits with the status given as its last argument. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    for (int i = 0; i < argc; i++)
        printf("argv[%d]=%s\n", i, argv[i]);
    long input = 0;
    char buf[256];
    ssize_t n;
    while ((n = read(0, buf, sizeof buf)) > 0)
        input += n;
    printf("stdin=%ld\n", input);
    for (int fd = 3; fd < 1024; fd++)
        if (fcntl(fd, F_GETFD) != -1)
            printf("open=%d\n", fd);
    return argc > 1 ? atoi(argv[argc - 1]) : 0;
}
