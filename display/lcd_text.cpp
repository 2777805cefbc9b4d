// Text, number fields and 32 x 32 pictures from the built-in tables, every pixel one
// lcd_draw_point. Codes outside a table draw a blank cell or nothing; no table is read
// outside its bounds.
#include "lcd.h"
#include "lcd_font.h"

#include <stdint.h>

static_assert(sizeof lcd_font_8x16 == 1520);
static_assert(sizeof(lcd_glyph16_t) == 34 && sizeof lcd_glyphs_16 == 50 * 34);
static_assert(sizeof(lcd_glyph24_t) == 74 && sizeof lcd_glyphs_24 == 18 * 74);
static_assert(sizeof lcd_images_32 == 15 * 128);

namespace {

constexpr uint8_t kCR = 0x0D;

// A cell of w x h pixels at (x, y); clear bits are skipped when fg equals bg.
void draw_cell(uint16_t x, uint16_t y, const uint8_t *bits, int w, int h, uint16_t fg,
               uint16_t bg)
{
    const bool transparent = fg == bg;
    const int row_bytes = w / 8;
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            bool set = bits[row * row_bytes + col / 8] & (0x80 >> (col % 8));
            if (set || !transparent)
                lcd_draw_point(static_cast<uint16_t>(x + col), static_cast<uint16_t>(y + row),
                               set ? fg : bg);
        }
    }
}

// Space and every control code draw the blank glyph 0, as does DEL, which has no glyph.
const uint8_t *ascii_glyph(uint8_t ch)
{
    unsigned i = ch > 0x20 ? ch - 0x20u : 0u;
    return lcd_font_8x16[i < LCD_FONT_GLYPHS ? i : 0];
}

} // namespace

extern "C" {

void lcd_show_string(uint16_t x, uint16_t y, uint16_t fg, uint16_t bg, const char *str)
{
    auto s = reinterpret_cast<const uint8_t *>(str);
    uint16_t cx = x, cy = y;
    while (*s) {
        if (*s < 0x80) {
            if (*s == kCR) {
                cx = x;
                cy = static_cast<uint16_t>(cy + 16);
            } else {
                draw_cell(cx, cy, ascii_glyph(*s), 8, 16, fg, bg);
                cx = static_cast<uint16_t>(cx + 8);
            }
            s += 1;
            continue;
        }
        if (!s[1])
            break; // half a code before the terminator
        // Every matching record is drawn, in table order.
        for (const lcd_glyph16_t &g : lcd_glyphs_16)
            if (g.code[0] == s[0] && g.code[1] == s[1])
                draw_cell(cx, cy, g.bitmap, 16, 16, fg, bg);
        cx = static_cast<uint16_t>(cx + 16);
        s += 2;
    }
}

void lcd_show_string24(uint16_t x, uint16_t y, uint16_t fg, uint16_t bg, const char *str)
{
    auto s = reinterpret_cast<const uint8_t *>(str);
    fg = static_cast<uint16_t>(~fg); // stored complemented, as lcd_fill does
    bg = static_cast<uint16_t>(~bg);
    uint16_t cx = x;
    while (*s) {
        if (*s < 0x80) {
            draw_cell(cx, y, ascii_glyph(*s), 8, 16, fg, bg);
            cx = static_cast<uint16_t>(cx + 8);
            s += 1;
            continue;
        }
        if (!s[1])
            break;
        for (const lcd_glyph24_t &g : lcd_glyphs_24)
            if (g.code[0] == s[0] && g.code[1] == s[1])
                draw_cell(cx, y, g.bitmap, 24, 24, fg, bg);
        cx = static_cast<uint16_t>(cx + 24);
        s += 2;
    }
}

void lcd_show_char(uint16_t x, uint16_t y, uint8_t ch)
{
    draw_cell(x, y, ascii_glyph(ch), 8, 16, LCD_RED, LCD_LIGHTGREY);
}

uint32_t lcd_pow(uint8_t m, uint8_t n)
{
    uint32_t r = 1;
    while (n--)
        r *= m;
    return r;
}

void lcd_show_num(uint8_t x, uint8_t y, uint16_t num, uint8_t len)
{
    bool leading = true;
    for (int i = 0; i < len; ++i) {
        // From a field of 33 on the weight of the first places wraps to 0: those places are
        // 0, as they would be for any weight beyond five digits.
        int32_t weight = static_cast<int32_t>(lcd_pow(10, static_cast<uint8_t>(len - 1 - i)));
        int32_t digit = weight ? (int32_t(num) / weight) % 10 : 0;
        const uint16_t cx = static_cast<uint16_t>(x + 8 * i);
        if (leading && i < len - 1) {
            if (digit == 0) {
                lcd_show_char(cx, y, ' ');
                continue;
            }
            leading = false;
        }
        lcd_show_char(cx, y, static_cast<uint8_t>('0' + digit));
    }
}

void lcd_show_image(uint16_t x, uint16_t y, uint16_t fg, uint16_t bg, uint16_t index)
{
    if (index >= LCD_IMAGES_COUNT)
        return;
    draw_cell(x, y, lcd_images_32[index], 32, 32, fg, bg);
}

} // extern "C"
