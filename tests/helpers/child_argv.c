/* child_argv ARGS...: prints its argument vector, one entry a line, and
 * exits with the number of arguments after argument zero. */
#include <stdio.h>

int main(int argc, char **argv)
{
    for (int i = 0; i < argc; i++)
        printf("%s\n", argv[i]);
    return argc - 1;
}
