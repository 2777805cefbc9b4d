// lcd_show_string / lcd_show_string24 on arbitrary byte strings, drawn on the panel model.
// Input: one byte choosing the operation, x, y, fg, bg (16 bits each, low byte first), then
// the string (it ends at the input's end or its first NUL).
// Beyond memory safety: every pixel lands inside the text's box (8 wide per ASCII byte, 16 or
// 24 per two-byte code; 16 high per line, 24 for the one-line operation; coordinates wrapping modulo
// 256 as the panel's 8-bit addresses do), and the serial link to the panel is still in step
// afterwards.
#include "fuzz_check.h"
#include "lcd.h"

#include "board.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The board outlives every run; the panel is initialised once.
sim::Board &board()
{
    static sim::Board &b = [] () -> sim::Board & {
        auto *nb = new sim::Board;
        lcd_init();
        nb->gpio.set_logging(false);
        nb->panel.set_pixel_log(true);
        return *nb;
    }();
    return b;
}

uint16_t u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Every pixel is a few hundred line writes: long strings only slow the search down, and
    // 20 bytes keep the text's box inside the 256 addresses.
    if (size < 9 || size > 9 + 20)
        return 0;
    sim::Board &b = board();
    const bool big = data[0] & 1;
    const uint16_t x = u16(data + 1), y = u16(data + 3), fg = u16(data + 5), bg = u16(data + 7);
    // The string in a heap block of exactly its size: a read past its end is seen.
    const size_t n = strnlen(reinterpret_cast<const char *>(data + 9), size - 9);
    char *s = static_cast<char *>(malloc(n + 1));
    memcpy(s, data + 9, n);
    s[n] = '\0';

    size_t lines = 1;
    for (size_t i = 0; i < n; i++)
        lines += s[i] == '\r';
    b.panel.clear_pixel_log();
    if (big)
        lcd_show_string24(x, y, fg, bg, s);
    else
        lcd_show_string(x, y, fg, bg, s);

    const uint32_t width = static_cast<uint32_t>(n) * (big ? 12 : 8); // a two-byte code: 16 or 24
    const uint32_t height = big ? 24 : static_cast<uint32_t>(16 * lines);
    for (const auto &w : b.panel.pixel_log()) {
        // Panel address back to screen coordinates (offsets 1 and 26), modulo 256.
        const uint8_t dx = static_cast<uint8_t>(w.col - 1 - x);
        const uint8_t dy = static_cast<uint8_t>(w.row - 26 - y);
        FUZZ_CHECK(dx < width && (height >= 256 || dy < height), "pixel at +%u,+%u outside %ux%u",
                   dx, dy, width, height);
    }

    b.panel.clear_pixel_log();
    lcd_draw_point(5, 5, 0x1234);
    FUZZ_CHECK(b.panel.stored(5, 5) == 0x1234, "the panel link is out of step");
    free(s);
    return 0;
}
