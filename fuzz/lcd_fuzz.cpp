// The text layer (lcd_show_string, lcd_show_string24, lcd_show_char, lcd_show_num,
// lcd_show_image) on arbitrary input, against a light seam: lcd_draw_point is replaced here by
// one that only counts and checks, so a run costs microseconds, not the few hundred GPIO
// writes per pixel of the panel driver (whose byte stream the display tests check).
// Input: one byte choosing the operation (modulo 5), x, y, fg, bg (16 bits each, low byte
// first), then the operands: the string (it ends at the input's end or its first NUL, at most
// 256 bytes), or for lcd_show_num the field length and for lcd_show_image the index (one byte
// each).
// Beyond memory safety: every pixel lands inside the operation's box (8 wide per ASCII byte,
// 16 or 24 per two-byte code; 16 high per line, 24 for the one-line operation, 32 x 32 for a
// picture; coordinates wrapping modulo 65536), in one of the two colours, and as many pixels
// as the cells hold where that is known without the glyph tables.
#include "fuzz_check.h"
#include "lcd.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Box {
    uint16_t x, y;
    uint32_t w, h;
    uint16_t fg, bg;
};
Box box;
size_t points;

uint16_t u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

} // namespace

extern "C" void lcd_draw_point(uint16_t x, uint16_t y, uint16_t c)
{
    points++;
    const uint16_t dx = static_cast<uint16_t>(x - box.x), dy = static_cast<uint16_t>(y - box.y);
    FUZZ_CHECK(dx < box.w && dy < box.h, "pixel at +%u,+%u outside %ux%u", dx, dy, box.w, box.h);
    FUZZ_CHECK(c == box.fg || c == box.bg, "colour %04x, neither %04x nor %04x", c, box.fg, box.bg);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 9)
        return 0;
    const unsigned op = data[0] % 5;
    const uint16_t x = u16(data + 1), y = u16(data + 3), fg = u16(data + 5), bg = u16(data + 7);
    const uint8_t *rest = data + 9;
    const size_t left = size - 9;
    points = 0;

    if (op <= 1) {
        // The string in a heap block of exactly its size: a read past its end is seen.
        const size_t n = strnlen(reinterpret_cast<const char *>(rest), left < 256 ? left : 256);
        char *s = static_cast<char *>(malloc(n + 1));
        memcpy(s, rest, n);
        s[n] = '\0';
        size_t lines = 1, ascii = 0;
        bool only_ascii = true;
        for (size_t i = 0; i < n; i++) {
            const uint8_t ch = static_cast<uint8_t>(s[i]);
            only_ascii = only_ascii && ch < 0x80;
            lines += ch == '\r';
            ascii += ch < 0x80 && ch != '\r';
        }
        if (op == 0) {
            box = {x, y, static_cast<uint32_t>(n) * 8, static_cast<uint32_t>(16 * lines), fg, bg};
            lcd_show_string(x, y, fg, bg, s);
        } else {
            // Stored complemented; a carriage return is an ordinary (blank) cell here.
            box = {x, y, static_cast<uint32_t>(n) * 12, 24, static_cast<uint16_t>(~fg), static_cast<uint16_t>(~bg)};
            lcd_show_string24(x, y, fg, bg, s);
            ascii = 0;
            for (size_t i = 0; i < n; i++)
                ascii += static_cast<uint8_t>(s[i]) < 0x80;
        }
        if (only_ascii && fg != bg)
            FUZZ_CHECK(points == 128 * ascii, "%zu pixels for %zu ASCII cells", points, ascii);
        free(s);
    } else if (op == 2) {
        const uint8_t ch = left ? rest[0] : 0;
        box = {x, y, 8, 16, LCD_RED, LCD_LIGHTGREY};
        lcd_show_char(x, y, ch);
        FUZZ_CHECK(points == 128, "%zu pixels for one character", points);
    } else if (op == 3) {
        // The field's place is 8-bit: the box starts where the character cells do.
        const uint8_t len = left ? rest[0] : 0;
        box = {static_cast<uint8_t>(x), static_cast<uint8_t>(y), 8u * len, 16, LCD_RED, LCD_LIGHTGREY};
        lcd_show_num(static_cast<uint8_t>(x), static_cast<uint8_t>(y), fg, len);
        FUZZ_CHECK(points == 128u * len, "%zu pixels for a field of %u", points, len);
    } else {
        const uint8_t index = left ? rest[0] : 0;
        box = {x, y, 32, 32, fg, bg};
        lcd_show_image(x, y, fg, bg, index);
        const size_t want = index < 15 ? 1024 : 0;
        FUZZ_CHECK(fg == bg ? points <= want : points == want, "%zu pixels for picture %u", points, index);
    }
    return 0;
}
