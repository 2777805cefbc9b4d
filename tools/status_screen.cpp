// Draws a status screen through the library on the virtual board and writes what the
// panel shows as a PNG:  status_screen <out.png> [scale, default 3]
#include "lcd.h"
#include "status_screen_draw.h"

#include "board.h"

#include <cstdio>
#include <cstdlib>


int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s <out.png> [scale]\n", argv[0]);
        return 2;
    }
    const int scale = argc == 3 ? atoi(argv[2]) : 3;
    if (!sim::PanelModel::png_supported()) {
        fprintf(stderr, "status_screen: the virtual board was built without libpng\n");
        return 1;
    }
    sim::Board board;
    board.gpio.set_logging(false);
    lcd_init();
    draw_status_screen();
    if (!board.panel.write_png(argv[1], scale)) {
        fprintf(stderr, "status_screen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
