// Draws a status screen through the library on the virtual board and writes what the
// panel shows as a PNG:  status_screen <out.png> [scale, default 3]
#include "lcd.h"

#include "board.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint16_t kBlack = 0x0000, kGreen = 0x07E0, kYellow = 0xFFE0, kCyan = 0x07FF;

// The panel stores the complement of a fill colour: this fill shows black.
constexpr uint16_t kFillBlack = 0xFFFF;

// GB2312 bytes: 液晶显示 (liquid-crystal display), 输入 (input).
constexpr const char *kTitle = "\xD2\xBA\xBE\xA7\xCF\xD4\xCA\xBE ST7735";
constexpr const char *kInput = "\xCA\xE4\xC8\xEB:";

void draw_status()
{
    lcd_fill(kFillBlack);

    // Title bar: a raised frame around Chinese and ASCII text.
    lcd_draw_frame(0, 0, 159, 19, 0);
    lcd_show_string(8, 2, LCD_WHITE, kBlack, kTitle);
    lcd_draw_circle(146, 10, 5, kGreen);

    // Temperature in seven-segment pictures: 23.5 degrees Celsius.
    const uint16_t picture[] = {2, 3, 10, 5, 13};
    for (int i = 0; i < 5; ++i)
        lcd_show_image(static_cast<uint16_t>(32 * i), 21, kGreen, kBlack, picture[i]);

    // Number field in a sunken box.
    lcd_draw_sunken_box(0, 56, 159, 79);
    lcd_show_string(6, 61, kYellow, kBlack, kInput);
    lcd_show_num(54, 61, 1234, 6);
    lcd_draw_line(112, 60, 152, 75, kCyan);
    lcd_draw_line(112, 75, 152, 60, kCyan);
}

} // namespace

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
    draw_status();
    if (!board.panel.write_png(argv[1], scale)) {
        fprintf(stderr, "status_screen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
