/* child_wait [WORDS...]: says "ready" on standard output and waits for a
 * signal; gives up after a minute so that no test leaves it behind. */
#include <signal.h>
#include <unistd.h>

int main(void)
{
    (void)!write(1, "ready\n", 6);
    alarm(60);
    for (;;)
        pause();
}
