// Lines, circles and framed boxes, each pixel one lcd_draw_point. Coordinates are 16-bit
// and wrap; whatever falls off the screen is sent to the panel as it is.
#include "lcd.h"

#include <stdint.h>

namespace {

inline uint16_t u16(int v) { return static_cast<uint16_t>(v); }

void plot8(uint16_t x0, uint16_t y0, uint16_t a, uint16_t b, uint16_t c)
{
    lcd_draw_point(u16(x0 + a), u16(y0 + b), c);
    lcd_draw_point(u16(x0 - a), u16(y0 + b), c);
    lcd_draw_point(u16(x0 + a), u16(y0 - b), c);
    lcd_draw_point(u16(x0 - a), u16(y0 - b), c);
    lcd_draw_point(u16(x0 + b), u16(y0 + a), c);
    lcd_draw_point(u16(x0 - b), u16(y0 + a), c);
    lcd_draw_point(u16(x0 + b), u16(y0 - a), c);
    lcd_draw_point(u16(x0 - b), u16(y0 - a), c);
}

// The single-line outline: the right stroke stands one column in and reaches one row
// below the bottom stroke.
void outline(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint16_t top, uint16_t right,
             uint16_t bottom, uint16_t left)
{
    const uint16_t x2 = u16(x + w), y2 = u16(y + h);
    lcd_draw_line(x, y, x2, y, top);
    lcd_draw_line(u16(x2 - 1), u16(y + 1), u16(x2 - 1), u16(y2 + 1), right);
    lcd_draw_line(x, y2, x2, y2, bottom);
    lcd_draw_line(x, y, x, y2, left);
}

} // namespace

extern "C" {

void lcd_draw_line(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, uint16_t c)
{
    lcd_set_cursor(x1, y1);
    int32_t dx = int32_t(x2) - int32_t(x1), dy = int32_t(y2) - int32_t(y1);
    int sx = 1, sy = 1;
    if (dx < 0) {
        sx = -1;
        dx = -dx;
    }
    if (dy < 0) {
        sy = -1;
        dy = -dy;
    }
    uint16_t x = x1, y = y1;
    if (dx > dy) {
        int32_t e = 2 * dy - dx;
        for (int32_t i = 0; i <= dx; ++i) {
            lcd_draw_point(x, y, c);
            if (e >= 0) {
                e -= 2 * dx;
                y = u16(y + sy);
            }
            e += 2 * dy;
            x = u16(x + sx);
        }
    } else {
        int32_t e = 2 * dx - dy;
        for (int32_t i = 0; i <= dy; ++i) {
            lcd_draw_point(x, y, c);
            if (e >= 0) {
                e -= 2 * dy;
                x = u16(x + sx);
            }
            e += 2 * dx;
            y = u16(y + sy);
        }
    }
}

void lcd_draw_circle(uint16_t x0, uint16_t y0, uint16_t r, uint16_t c)
{
    uint16_t a = 0, b = r;
    int32_t d = 3 - 2 * int32_t(r);
    while (a < b) {
        plot8(x0, y0, a, b, c);
        if (d < 0) {
            d += 4 * int32_t(a) + 6;
        } else {
            d += 4 * (int32_t(a) - int32_t(b)) + 10;
            --b;
        }
        ++a;
    }
    if (a == b)
        plot8(x0, y0, a, b, c);
}

void lcd_draw_frame(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint8_t style)
{
    switch (style) {
    case 0:
        outline(x, y, w, h, LCD_LIGHTGREY, LCD_SHADOW, LCD_SHADOW, LCD_LIGHTGREY);
        break;
    case 1:
        outline(x, y, w, h, LCD_SHADOW, LCD_LIGHTGREY, LCD_LIGHTGREY, LCD_SHADOW);
        break;
    case 2:
        outline(x, y, w, h, LCD_WHITE, LCD_WHITE, LCD_WHITE, LCD_WHITE);
        break;
    default:
        break;
    }
}

void lcd_draw_frame_diagonal(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint16_t c)
{
    lcd_draw_frame(x, y, w, h, 0);
    lcd_draw_line(u16(x + 1), u16(y + 1), u16(x + w - 1), u16(y + h - 1), c);
}

void lcd_draw_sunken_box(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2)
{
    lcd_draw_line(x1, y1, x2, y1, LCD_DARKGREY);
    lcd_draw_line(u16(x1 + 1), u16(y1 + 1), x2, u16(y1 + 1), LCD_GREY);
    lcd_draw_line(x1, y1, x1, y2, LCD_DARKGREY);
    lcd_draw_line(u16(x1 + 1), u16(y1 + 1), u16(x1 + 1), y2, LCD_GREY);
    lcd_draw_line(x1, y2, x2, y2, LCD_WHITE);
    lcd_draw_line(x2, y1, x2, y2, LCD_WHITE);
}

void lcd_draw_raised_box(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2)
{
    lcd_draw_line(x1, y1, x2, y1, LCD_WHITE);
    lcd_draw_line(x1, y1, x1, y2, LCD_WHITE);
    lcd_draw_line(u16(x1 + 1), u16(y2 - 1), x2, u16(y2 - 1), LCD_GREY);
    lcd_draw_line(x1, y2, x2, y2, LCD_DARKGREY);
    lcd_draw_line(u16(x2 - 1), u16(y1 + 1), u16(x2 - 1), y2, LCD_GREY);
    lcd_draw_line(x2, y1, x2, y2, LCD_DARKGREY);
}

} // extern "C"
