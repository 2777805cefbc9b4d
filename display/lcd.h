/* The 160 x 80 ST7735 status panel: driver, drawing primitives, text, numbers and pictures.
 * Screen x runs 0..159 left to right, y 0..79 top to bottom; nothing is clipped. Colours are
 * RGB565. There is no lock: callers serialise every display operation, and lcd_init must
 * have run before any other. */
#ifndef LCD_H
#define LCD_H

#include <stdint.h>

#define LCD_WIDTH 160
#define LCD_HEIGHT 80

#define LCD_WHITE 0xFFFF
#define LCD_RED 0xF800
#define LCD_LIGHTGREY 0xEF7D /* light frame edges, background of lcd_show_char */
#define LCD_SHADOW 0x2965    /* dark frame edges */
#define LCD_DARKGREY 0x4208  /* outer dark lines of the two-line boxes */
#define LCD_GREY 0x8410      /* inner lines of the two-line boxes */

#ifdef __cplusplus
extern "C" {
#endif

/* Driver. The line descriptors are opened once and held until the process ends. */

/* Prints "lcd: st7735 init", claims the lines, resets and initialises the panel (display
 * on, 16 bits per pixel, landscape). Does not clear the panel memory. No result: a line
 * that cannot be claimed leaves the panel silent. A second call repeats every step. */
void lcd_init(void);
/* Claims GPIO 0, 1, 48, 7, 6 as outputs and opens their value files. */
void lcd_gpio_init(void);
/* Pulses the reset line low for 100 ms, then waits 100 ms. */
void lcd_reset(void);
/* Shifts one byte out, most significant bit first (24 line writes). */
void lcd_shift_byte(uint8_t byte);
void lcd_write_cmd(uint8_t cmd);
void lcd_write_data8(uint8_t data);
/* High byte first, after one data-select write. */
void lcd_write_data16(uint16_t data);
void lcd_write_cmd_data(uint8_t cmd, uint8_t data);
/* Selects the window (ends inclusive) and starts a memory write into it. */
void lcd_set_window(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2);
/* The one-pixel window at (x, y); writes no pixel. */
void lcd_set_cursor(uint16_t x, uint16_t y);
/* One pixel in colour c, stored unchanged (324 line writes). */
void lcd_draw_point(uint16_t x, uint16_t y, uint16_t c);
/* The whole screen; the panel stores the complement of c (~c). */
void lcd_fill(uint16_t c);
/* Exchanges the two 5-bit fields: RGB565 to BGR565 and back. */
uint16_t lcd_swap_red_blue(uint16_t c);
/* The link cannot read: selects the cursor at (x, y), leaves the pixel as it is and
 * returns 0. */
uint16_t lcd_read_point(uint16_t x, uint16_t y);

/* Drawing: every pixel is one lcd_draw_point; coordinates wrap modulo 65536. */

/* Both end points included. */
void lcd_draw_line(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, uint16_t c);
void lcd_draw_circle(uint16_t x0, uint16_t y0, uint16_t r, uint16_t c);
/* Outline of the box at (x, y), w wide, h high: style 0 raised, 1 sunken, 2 white; any
 * other style draws nothing. */
void lcd_draw_frame(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint8_t style);
/* The style-0 outline plus one diagonal from the inner top-left corner in colour c. */
void lcd_draw_frame_diagonal(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint16_t c);
/* Two-line outlines between the corners (x1, y1) and (x2, y2). */
void lcd_draw_sunken_box(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2);
void lcd_draw_raised_box(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2);

/* Text and pictures. When fg equals bg only the set pixels of a cell are drawn. */

/* ASCII (8 x 16) mixed with two-byte GB2312 codes (16 x 16); carriage return starts the
 * next line at x. A code missing from the glyph table still advances the cursor. */
void lcd_show_string(uint16_t x, uint16_t y, uint16_t fg, uint16_t bg, const char *s);
/* One line of ASCII (8 x 16, top-aligned) and two-byte codes (24 x 24); stores the
 * complements of fg and bg, as lcd_fill does. */
void lcd_show_string24(uint16_t x, uint16_t y, uint16_t fg, uint16_t bg, const char *s);
/* One 8 x 16 character, red on light grey. */
void lcd_show_char(uint16_t x, uint16_t y, uint8_t ch);
/* m to the power n, modulo 2^32. */
uint32_t lcd_pow(uint8_t m, uint8_t n);
/* num right-aligned in a field of len characters, leading zeros blank, red on light grey;
 * digits beyond the field are dropped. */
void lcd_show_num(uint8_t x, uint8_t y, uint16_t num, uint8_t len);
/* Picture index of the 32 x 32 set: 0..9 digits, 10 point, 11 colon, 12 percent,
 * 13 degree Celsius, 14 minus. Other indexes draw nothing. */
void lcd_show_image(uint16_t x, uint16_t y, uint16_t fg, uint16_t bg, uint16_t index);

#ifdef __cplusplus
}
#endif

#endif
