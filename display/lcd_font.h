/* The built-in bitmap tables of the status panel. One bit per pixel, rows from the top,
 * bytes left to right, bit 7 the leftmost pixel; a set bit is foreground. */
#ifndef LCD_FONT_H
#define LCD_FONT_H

#include <stdint.h>

#define LCD_FONT_GLYPHS 95 /* ASCII 0x20 .. 0x7E */
#define LCD_GLYPHS16_COUNT 50
#define LCD_GLYPHS24_COUNT 18
#define LCD_IMAGES_COUNT 15

#ifdef __cplusplus
extern "C" {
#endif

/* code: the character's two GB2312 bytes in string order. */
typedef struct {
    uint8_t code[2];
    uint8_t bitmap[32]; /* 16 rows of 2 bytes */
} lcd_glyph16_t;

typedef struct {
    uint8_t code[2];
    uint8_t bitmap[72]; /* 24 rows of 3 bytes */
} lcd_glyph24_t;

/* 8 x 16, glyph 0 the blank space. */
extern const uint8_t lcd_font_8x16[LCD_FONT_GLYPHS][16];
/* Scanned in order; every record of a matching code is drawn. */
extern const lcd_glyph16_t lcd_glyphs_16[LCD_GLYPHS16_COUNT];
extern const lcd_glyph24_t lcd_glyphs_24[LCD_GLYPHS24_COUNT];
/* 32 x 32, 4 bytes a row. */
extern const uint8_t lcd_images_32[LCD_IMAGES_COUNT][128];

#ifdef __cplusplus
}
#endif

#endif
