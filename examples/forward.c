/* The smallest application for the board: start the library, print its banner, and let it
 * forward the keyboards and mice plugged into the board to the host for ever. */
#include <hidbridge.h>

#include <stdio.h>
#include <unistd.h>

int main(void)
{
    char banner[41];

    km_version(banner);
    fputs(banner, stdout);
    km_init(); /* returns once the host computer uses the board */
    puts("forwarding keyboards and mice to the host");
    fflush(stdout);
    for (;;)
        pause(); /* the library's threads do the work */
}
