#!/usr/bin/python3
"""Writes display/glyph_tables.cpp, the panel's bitmap tables, from Debian's font packages.

  8 x 16 ASCII and 16 x 16 characters: GNU Unifont (fonts-unifont), pixel exact at 16 px.
  Second designs of the two characters the 16 x 16 table holds twice: AR PL UMing
  (fonts-arphic-uming), its own 16 px bitmaps.
  24 x 24 characters: WenQuanYi Zen Hei (fonts-wqy-zenhei) rendered at 24 px, hinted, 1 bit.
  32 x 32 pictures: drawn here.

Run from anywhere: tools/make_glyph_tables.py [--check]. The output depends only on the
fonts and PIL (python3-pil), so running it again reproduces the committed file byte for
byte; --check compares instead of writing and exits 1 on a difference.
"""

import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "display", "glyph_tables.cpp")

UNIFONT = "/usr/share/fonts/opentype/unifont/unifont.otf"
UMING = "/usr/share/fonts/truetype/arphic/uming.ttc"
ZENHEI = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"

# (character, font) in table order. "second" marks the alternative design.
GLYPHS_16 = [(c, "unifont") for c in "电子模块技术液晶测试程序颜色填充文字显示图片触摸输入全程"] + [
    ("技", "second"), ("术", "second")] + [
    (c, "unifont") for c in "支持专注批发成功移选择项目短按确定长按返"]
GLYPHS_24 = list("纯色填充测试文字显示图片显示触摸输入")

# The codes the tables must carry, as the panel's callers spell them.
CODES_16 = ("B5E7 D7D3 C4A3 BFE9 BCBC CAF5 D2BA BEA7 B2E2 CAD4 B3CC D0F2 D1D5 C9AB CCEE B3E4 "
            "CEC4 D7D6 CFD4 CABE CDBC C6AC B4A5 C3FE CAE4 C8EB C8AB B3CC BCBC CAF5 D6A7 B3D6 "
            "D7A8 D7A2 C5FA B7A2 B3C9 B9A6 D2C6 D1A1 D4F1 CFEE C4BF B6CC B0B4 C8B7 B6A8 B3A4 "
            "B0B4 B7B5").split()
CODES_24 = ("B4BF C9AB CCEE B3E4 B2E2 CAD4 CEC4 D7D6 CFD4 CABE CDBC C6AC CFD4 CABE B4A5 C3FE "
            "CAE4 C8EB").split()

IMAGE_NAMES = ["digit 0", "digit 1", "digit 2", "digit 3", "digit 4", "digit 5", "digit 6",
               "digit 7", "digit 8", "digit 9", "decimal point", "colon", "percent",
               "degree Celsius", "minus"]


def gb2312(ch):
    return ch.encode("gb2312")


# A bitmap is a list of rows, each a list of 0/1.
def render(font_path, size, ch, cell, baseline=None):
    font = ImageFont.truetype(font_path, size)
    if baseline is not None:
        # Unifont: pixel squares on a 16 px grid, placed by its own baseline.
        im = Image.new("L", (cell[0], cell[1]), 0)
        draw = ImageDraw.Draw(im)
        draw.fontmode = "1"
        draw.text((0, baseline), ch, font=font, fill=255, anchor="ls")
        return [[1 if im.getpixel((x, y)) >= 128 else 0 for x in range(cell[0])]
                for y in range(cell[1])]
    # Outline or bitmap-strike fonts: the ink centred in the cell.
    im = Image.new("L", (size * 3, size * 3), 0)
    draw = ImageDraw.Draw(im)
    draw.fontmode = "1"
    draw.text((size, size), ch, font=font, fill=255)
    im = im.point(lambda v: 255 if v >= 128 else 0)
    left, top, right, bottom = im.getbbox()
    w, h = right - left, bottom - top
    if w > cell[0] or h > cell[1]:
        raise SystemExit(f"{ch} is {w} x {h}, larger than its {cell[0]} x {cell[1]} cell")
    ox, oy = left - (cell[0] - w) // 2, top - (cell[1] - h) // 2
    return [[1 if im.getpixel((ox + x, oy + y)) else 0 for x in range(cell[0])]
            for y in range(cell[1])]


def canvas():
    return [[0] * 32 for _ in range(32)]


# Seven-segment digits: segments are hexagons between the centres of the digit's corners.
SEG_L, SEG_R = 8.0, 24.0          # centre columns of the vertical segments
SEG_A, SEG_G, SEG_D = 4.0, 16.0, 28.0  # centre rows of the horizontal segments
HALF, GAP = 2.0, 1.0              # half the stroke width; the gap at each segment end

SEGMENTS = {
    "a": ("h", SEG_A, SEG_L, SEG_R), "g": ("h", SEG_G, SEG_L, SEG_R),
    "d": ("h", SEG_D, SEG_L, SEG_R),
    "f": ("v", SEG_L, SEG_A, SEG_G), "b": ("v", SEG_R, SEG_A, SEG_G),
    "e": ("v", SEG_L, SEG_G, SEG_D), "c": ("v", SEG_R, SEG_G, SEG_D),
}
DIGIT_SEGMENTS = ["abcdef", "bc", "abged", "abgcd", "fgbc", "afgcd", "afgedc", "abc",
                  "abcdefg", "abcdfg"]


def segment(img, name):
    kind, line, u1, u2 = SEGMENTS[name]
    for y in range(32):
        for x in range(32):
            u, v = (x + 0.5, y + 0.5 - line) if kind == "h" else (y + 0.5, x + 0.5 - line)
            if abs(v) < HALF and u1 + abs(v) + GAP <= u <= u2 - abs(v) - GAP:
                img[y][x] = 1


def block(img, x0, y0, w, h):
    for y in range(y0, y0 + h):
        for x in range(x0, x0 + w):
            img[y][x] = 1


def ring(img, cx, cy, r_in, r_out, keep=lambda dx, dy: True):
    for y in range(32):
        for x in range(32):
            dx, dy = x + 0.5 - cx, y + 0.5 - cy
            if r_in <= math.hypot(dx, dy) <= r_out and keep(dx, dy):
                img[y][x] = 1


def stroke(img, x1, y1, x2, y2, half):
    for y in range(32):
        for x in range(32):
            px, py = x + 0.5, y + 0.5
            dx, dy = x2 - x1, y2 - y1
            t = max(0.0, min(1.0, ((px - x1) * dx + (py - y1) * dy) / (dx * dx + dy * dy)))
            if math.hypot(px - (x1 + t * dx), py - (y1 + t * dy)) <= half:
                img[y][x] = 1


def images():
    out = []
    for segs in DIGIT_SEGMENTS:
        img = canvas()
        for s in segs:
            segment(img, s)
        out.append(img)
    point = canvas()
    block(point, 14, 26, 4, 4)
    colon = canvas()
    block(colon, 14, 8, 4, 4)
    block(colon, 14, 20, 4, 4)
    percent = canvas()
    ring(percent, 9.5, 8.5, 2.6, 5.0)
    ring(percent, 22.5, 23.5, 2.6, 5.0)
    stroke(percent, 25.0, 3.0, 7.0, 29.0, 1.3)
    celsius = canvas()
    ring(celsius, 6.0, 6.0, 1.6, 3.4)
    # A C opening to the right: the arc without the 80 degrees around the +x axis.
    ring(celsius, 21.0, 16.5, 8.6, 11.6, lambda dx, dy: dx < 0 or abs(dy) > abs(dx) * 0.84)
    minus = canvas()
    segment(minus, "g")
    return out + [point, colon, percent, celsius, minus]


def pack(bitmap):
    """Rows of pixels to rows of bytes, bit 7 the leftmost pixel."""
    rows = []
    for row in bitmap:
        b = []
        for i in range(0, len(row), 8):
            v = 0
            for bit in row[i:i + 8]:
                v = (v << 1) | bit
            b.append(v)
        rows.append(b)
    return rows


def rows_source(bitmap, indent):
    lines = []
    for bytes_, pixels in zip(pack(bitmap), bitmap):
        hexes = " ".join(f"0x{v:02X}," for v in bytes_)
        art = "".join("#" if p else "." for p in pixels)
        lines.append(f"{indent}{hexes} // {art}")
    return lines


def ascii_char(code):
    ch = chr(code)
    return {" ": "space", "\\": "backslash"}.get(ch, ch)


def generate():
    for (ch, _), code in zip(GLYPHS_16, CODES_16):
        assert gb2312(ch).hex().upper() == code, (ch, code)
    for ch, code in zip(GLYPHS_24, CODES_24):
        assert gb2312(ch).hex().upper() == code, (ch, code)
    assert len(GLYPHS_16) == 50 and len(GLYPHS_24) == 18

    src = [
        "// Generated by tools/make_glyph_tables.py: do not edit, run the script again.",
        "// Fonts: GNU Unifont (8 x 16, 16 x 16), AR PL UMing (second 16 x 16 designs),",
        "// WenQuanYi Zen Hei (24 x 24); their licences are in display/FONT-LICENSES.md.",
        "// Records 28 and 29 of lcd_glyphs_16 are AR PL UMing's own 16 px bitmaps of the two",
        "// characters, only converted to these rows. The 32 x 32 pictures are drawn by the script.",
        '#include "lcd_font.h"',
        "",
        'extern "C" {',
        "",
        "const uint8_t lcd_font_8x16[LCD_FONT_GLYPHS][16] = {",
    ]
    for code in range(0x20, 0x7F):
        bitmap = render(UNIFONT, 16, chr(code), (8, 16), baseline=14)
        if code == 0x20:
            assert not any(map(any, bitmap))
        src.append(f"    {{ // 0x{code:02X} {ascii_char(code)}")
        src += rows_source(bitmap, "        ")
        src.append("    },")
    src += ["};", "", "const lcd_glyph16_t lcd_glyphs_16[LCD_GLYPHS16_COUNT] = {"]
    for i, (ch, font) in enumerate(GLYPHS_16):
        if font == "unifont":
            bitmap, name = render(UNIFONT, 16, ch, (16, 16), baseline=14), "Unifont"
        else:
            bitmap, name = render(UMING, 16, ch, (16, 16)), "UMing"
        b = gb2312(ch)
        src.append(f"    {{{{0x{b[0]:02X}, 0x{b[1]:02X}}}, {{ // {i}: {ch} ({name})")
        src += rows_source(bitmap, "        ")
        src.append("    }},")
    src += ["};", "", "const lcd_glyph24_t lcd_glyphs_24[LCD_GLYPHS24_COUNT] = {"]
    for i, ch in enumerate(GLYPHS_24):
        bitmap = render(ZENHEI, 24, ch, (24, 24))
        b = gb2312(ch)
        src.append(f"    {{{{0x{b[0]:02X}, 0x{b[1]:02X}}}, {{ // {i}: {ch}")
        src += rows_source(bitmap, "        ")
        src.append("    }},")
    src += ["};", "", "const uint8_t lcd_images_32[LCD_IMAGES_COUNT][128] = {"]
    for i, (img, name) in enumerate(zip(images(), IMAGE_NAMES)):
        src.append(f"    {{ // {i}: {name}")
        src += rows_source(img, "        ")
        src.append("    },")
    src += ["};", "", '} // extern "C"', ""]
    return "\n".join(src)


def main():
    text = generate()
    if "--check" in sys.argv[1:]:
        with open(OUT, encoding="utf-8") as f:
            same = f.read() == text
        print("glyph tables " + ("up to date" if same else "differ from " + OUT))
        sys.exit(0 if same else 1)
    with open(OUT, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
