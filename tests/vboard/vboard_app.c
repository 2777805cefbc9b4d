/* An application of its own for hidbridge-vboard: it moves the pointer, types "Hi!" and Enter
 * with km_keypress (Shift held with km_keydown), and ends with status 3 so the test sees the
 * launcher hand the application's exit status back. Every call must reach the host. */
#include <hidbridge.h>

#include <stdio.h>

#define LEFT_SHIFT 0xE1
#define KEY_H 0x0B
#define KEY_I 0x0C
#define KEY_1 0x1E
#define KEY_ENTER 0x28

int main(void)
{
    int failures = 0;

    km_init();
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
