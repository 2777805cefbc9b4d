/* An application of its own for hidbridge-vboard: it moves the pointer, types "Hi!" and Enter
 * with km_keypress (Shift held with km_keydown), and ends with status 3 so the test sees the
 * launcher hand the application's exit status back. Every call must reach the host.
 * With "wait" it starts the library and waits for SIGTERM like a service (sigwait), then cleans
 * up and ends with status 4; with "stay" it takes SIGTERM and goes on. */
#include <hidbridge.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#define LEFT_SHIFT 0xE1
#define KEY_H 0x0B
#define KEY_I 0x0C
#define KEY_1 0x1E
#define KEY_ENTER 0x28

int main(int argc, char **argv)
{
    int failures = 0;
    const char *mode = argc > 1 ? argv[1] : "";
    sigset_t term;
    int sig;

    /* Blocked before the library's threads start, so only the wait below takes it. */
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    if (*mode)
        pthread_sigmask(SIG_BLOCK, &term, NULL);

    km_init();
    if (*mode) {
        do {
            sigwait(&term, &sig);
            puts("application: SIGTERM");
        } while (strcmp(mode, "stay") == 0);
        puts("application: cleaned up");
        return 4;
    }

    failures += km_move(40, -25) != 0;
    failures += km_move(-10, 5) != 0;
    failures += km_keydown(LEFT_SHIFT) != 0;
    failures += km_keypress(KEY_H) != 0;
    failures += km_keyup(LEFT_SHIFT) != 0;
    failures += km_keypress(KEY_I) != 0;
    failures += km_keydown(LEFT_SHIFT) != 0;
    failures += km_keypress(KEY_1) != 0;
    failures += km_keyup(LEFT_SHIFT) != 0;
    failures += km_keypress(KEY_ENTER) != 0;
    printf("application: %d calls not collected\n", failures);
    return failures ? 1 : 3;
}
