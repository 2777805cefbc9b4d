// ST7735 panel over four bit-banged sysfs GPIO lines. Every level change is one write of
// "0" or "1" to a value file opened once in lcd_gpio_init; nothing is buffered.
#include "lcd.h"

#include "chipio.h"
#include "sysio.h"

#include <fcntl.h>
#include <stdio.h>

namespace {

// Claimed in this order; GPIO 48 is held as an output but never driven.
constexpr unsigned lcd_gpio[] = {0, 1, 48, 7, 6};
enum Line { SCL, SDA, UNUSED, DCX, RESX, kLines };
static_assert(sizeof lcd_gpio / sizeof lcd_gpio[0] == kLines);

// Panel address of screen point (0, 0): the 80 x 160 glass sits inside the
// controller's 132 x 162 memory.
constexpr unsigned kColOffset = 1;
constexpr unsigned kRowOffset = 26;

constexpr unsigned long kResetUs = 100000;   // reset pulse, and again after it
constexpr unsigned long kSleepOutUs = 120000; // the controller's wake-up time after SLPOUT

enum : uint8_t {
    SLPOUT = 0x11,
    INVON = 0x21,
    DISPON = 0x29,
    CASET = 0x2A,
    RASET = 0x2B,
    RAMWR = 0x2C,
    MADCTL = 0x36,
    COLMOD = 0x3A,
};

// Sent after SLPOUT and its wait: command, parameter count, parameters.
struct InitStep {
    uint8_t cmd;
    uint8_t n;
    uint8_t data[16];
};
constexpr InitStep init_steps[] = {
    {INVON, 0, {}},
    {INVON, 0, {}},
    {0xB1, 3, {0x05, 0x3A, 0x3A}},                   // FRMCTR1, normal mode
    {0xB2, 3, {0x05, 0x3A, 0x3A}},                   // FRMCTR2, idle mode
    {0xB3, 6, {0x05, 0x3A, 0x3A, 0x05, 0x3A, 0x3A}}, // FRMCTR3, partial mode
    {0xB4, 1, {0x03}},                               // INVCTR
    {0xC0, 3, {0x62, 0x02, 0x04}},                   // PWCTR1
    {0xC1, 1, {0xC0}},                               // PWCTR2
    {0xC2, 2, {0x0D, 0x00}},                         // PWCTR3
    {0xC3, 2, {0x8D, 0x6A}},                         // PWCTR4
    {0xC4, 2, {0x8D, 0xEE}},                         // PWCTR5
    {0xC5, 1, {0x0E}},                               // VMCTR1
    {0xE0, 16, {0x10, 0x0E, 0x02, 0x03, 0x0E, 0x07, 0x02, 0x07, 0x0A, 0x12, 0x27, 0x37, 0x00,
                0x0D, 0x0E, 0x10}}, // positive gamma
    {0xE1, 16, {0x10, 0x0E, 0x03, 0x03, 0x0F, 0x06, 0x02, 0x08, 0x0A, 0x13, 0x26, 0x36, 0x00,
                0x0D, 0x0E, 0x10}}, // negative gamma
    {COLMOD, 1, {0x05}},            // 16 bits per pixel
    // MY and MV: landscape, the long side on the column axis; BGR filter order.
    {MADCTL, 1, {0xA8}},
    {DISPON, 0, {}},
};

// Value files, never closed. Until lcd_gpio_init no line is open: a panel call made before it
// must not write its levels to descriptor 0 (standard input).
int lcd_fd[kLines] = {-1, -1, -1, -1, -1};

void line_write(Line l, bool high)
{
    (void)sys_write(lcd_fd[l], high ? "1" : "0", 1);
}

} // namespace

extern "C" {

void lcd_gpio_init(void)
{
    for (unsigned g : lcd_gpio) {
        gpio_export(g);
        gpio_set_direction(g, "out");
    }
    for (int l = 0; l < kLines; ++l)
        lcd_fd[l] = gpio_fd_open(lcd_gpio[l], O_RDWR);
}

void lcd_reset(void)
{
    line_write(RESX, false);
    sys_sleep_us(kResetUs);
    line_write(RESX, true);
    sys_sleep_us(kResetUs);
}

void lcd_shift_byte(uint8_t byte)
{
    for (int i = 0; i < 8; ++i) {
        line_write(SDA, byte & 0x80);
        line_write(SCL, false);
        line_write(SCL, true); // the controller latches SDA on this edge
        byte = static_cast<uint8_t>(byte << 1);
    }
}

void lcd_write_cmd(uint8_t cmd)
{
    line_write(DCX, false);
    lcd_shift_byte(cmd);
}

void lcd_write_data8(uint8_t data)
{
    line_write(DCX, true);
    lcd_shift_byte(data);
}

void lcd_write_data16(uint16_t data)
{
    line_write(DCX, true);
    lcd_shift_byte(static_cast<uint8_t>(data >> 8));
    lcd_shift_byte(static_cast<uint8_t>(data));
}

void lcd_write_cmd_data(uint8_t cmd, uint8_t data)
{
    lcd_write_cmd(cmd);
    lcd_write_data8(data);
}

void lcd_init(void)
{
    puts("lcd: st7735 init");
    lcd_gpio_init();
    lcd_reset();
    lcd_write_cmd(SLPOUT);
    sys_sleep_us(kSleepOutUs);
    for (const InitStep &s : init_steps) {
        lcd_write_cmd(s.cmd);
        for (unsigned i = 0; i < s.n; ++i)
            lcd_write_data8(s.data[i]);
    }
}

void lcd_set_window(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2)
{
    // Addresses are sent as 16 bits with a zero high byte: the offset sum wraps at 256.
    lcd_write_cmd(CASET);
    lcd_write_data8(0x00);
    lcd_write_data8(static_cast<uint8_t>(x1 + kColOffset));
    lcd_write_data8(0x00);
    lcd_write_data8(static_cast<uint8_t>(x2 + kColOffset));
    lcd_write_cmd(RASET);
    lcd_write_data8(0x00);
    lcd_write_data8(static_cast<uint8_t>(y1 + kRowOffset));
    lcd_write_data8(0x00);
    lcd_write_data8(static_cast<uint8_t>(y2 + kRowOffset));
    lcd_write_cmd(RAMWR);
}

void lcd_set_cursor(uint16_t x, uint16_t y) { lcd_set_window(x, y, x, y); }

void lcd_draw_point(uint16_t x, uint16_t y, uint16_t c)
{
    // A 2 x 2 window of which only the first pixel is written.
    lcd_set_window(x, y, static_cast<uint16_t>(x + 1), static_cast<uint16_t>(y + 1));
    lcd_write_data16(c);
}

void lcd_fill(uint16_t c)
{
    lcd_set_window(0, 0, LCD_WIDTH - 1, LCD_HEIGHT - 1);
    lcd_write_cmd(RAMWR);
    const uint16_t stored = static_cast<uint16_t>(~c);
    for (int i = 0; i < LCD_WIDTH * LCD_HEIGHT; ++i)
        lcd_write_data16(stored);
}

uint16_t lcd_swap_red_blue(uint16_t c)
{
    unsigned f1 = c & 0x1F, g = (c >> 5) & 0x3F, f2 = c >> 11;
    return static_cast<uint16_t>((f1 << 11) + (g << 5) + f2);
}

uint16_t lcd_read_point(uint16_t x, uint16_t y)
{
    // The memory write it starts receives no data, so the pixel stays as it is.
    lcd_set_cursor(x, y);
    return 0;
}

} // extern "C"
