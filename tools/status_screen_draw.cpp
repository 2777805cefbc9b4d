#include "status_screen_draw.h"

#include "lcd.h"

#include <cstdint>

static constexpr uint16_t kBlack = 0x0000, kGreen = 0x07E0, kYellow = 0xFFE0, kCyan = 0x07FF;

// The panel stores the complement of a fill colour: this fill shows black.
static constexpr uint16_t kFillBlack = 0xFFFF;

// GB2312 bytes: 液晶显示 (liquid-crystal display), 输入 (input).
static constexpr const char *kTitle = "\xD2\xBA\xBE\xA7\xCF\xD4\xCA\xBE ST7735";
static constexpr const char *kInput = "\xCA\xE4\xC8\xEB:";

void draw_status_screen()
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

