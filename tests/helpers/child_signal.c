/* child_signal SIGNAL [TEXT]: writes TEXT to standard output, closes its
 * standard error (so that a reader of it is not held up by a stop), then
 * sends itself SIGNAL; exits 0 if it lives on (after a stop, once continued). */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 98;
    if (argc > 2)
        (void)!write(1, argv[2], strlen(argv[2]));
    close(2);
    raise(atoi(argv[1]));
    return 0;
}
