// Text, numbers and pictures on the panel's frame, and the tables' binding layout.
#include "panel_test.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

using paneltest::cell_diff;
using paneltest::glyph;
using paneltest::kBlank;
using paneltest::Panel;
using paneltest::set_bits;

namespace {

constexpr uint16_t FG = 0x1234, BG = 0x5678;

const uint8_t *glyph16(int record) { return lcd_glyphs_16[record].bitmap; }
const uint8_t *glyph24(int record) { return lcd_glyphs_24[record].bitmap; }

uint16_t inv(uint16_t c) { return static_cast<uint16_t>(~c); }

// Drawings of a few cells as they must look, written out here rather than read from the
// tables: a table shifted, cut or mirrored, or a cell drawn with the wrong stride, shows.
// '#' foreground, '.' background.
const std::vector<std::string> kArtA = {
        "........",
        "........",
        "........",
        "........",
        "...##...",
        "..#..#..",
        "..#..#..",
        ".#....#.",
        ".#....#.",
        ".######.",
        ".#....#.",
        ".#....#.",
        ".#....#.",
        ".#....#.",
        "........",
        "........",
};
const std::vector<std::string> kArtG = {
        "........",
        "........",
        "........",
        "........",
        "........",
        "......#.",
        "..###.#.",
        ".#...#..",
        ".#...#..",
        ".#...#..",
        "..###...",
        "..#.....",
        "..####..",
        ".#....#.",
        ".#....#.",
        "..####..",
};
const std::vector<std::string> kArt7 = {
        "........",
        "........",
        "........",
        "........",
        ".######.",
        "......#.",
        "......#.",
        ".....#..",
        ".....#..",
        ".....#..",
        "....#...",
        "....#...",
        "....#...",
        "....#...",
        "........",
        "........",
};
// GB2312 B5 E7, "electricity"
const std::vector<std::string> kArtDian16 = {
        ".......#........",
        ".......#........",
        ".......#........",
        "..###########...",
        "..#....#....#...",
        "..#....#....#...",
        "..#....#....#...",
        "..###########...",
        "..#....#....#...",
        "..#....#....#...",
        "..#....#....#...",
        "..###########...",
        "..#....#....#.#.",
        ".......#......#.",
        ".......#......#.",
        "........#######.",
};
// GB2312 B4 BF, "pure", 24 x 24
const std::vector<std::string> kArtChun24 = {
        "........................",
        ".....#.........#........",
        "....##.........#........",
        "....##.........#........",
        "...##..........#........",
        "...#.....##############.",
        "..##..###......#........",
        ".##...##.......#........",
        "#######...##...#...##...",
        "##...##...##...#...##...",
        "....##....##...#...##...",
        "...##.....##...#...##...",
        "...##.....##...#...##...",
        "..##....#.##...#...##...",
        ".########.###########...",
        ".#.............#...##...",
        "...............#........",
        "........#......#.....##.",
        "....####.......#.....##.",
        ".####..........#.....##.",
        ".#.............##....##.",
        "...............#######..",
        ".................#####..",
        "........................",
};
const std::vector<std::string> kArtImage8 = {
        "................................",
        "................................",
        "..........############..........",
        ".........##############.........",
        ".........##############.........",
        ".......##.############.##.......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        ".......##.############.##.......",
        ".........##############.........",
        ".........##############.........",
        ".......##.############.##.......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        "......####............####......",
        ".......##.############.##.......",
        ".........##############.........",
        ".........##############.........",
        "..........############..........",
        "................................",
        "................................",
};
const std::vector<std::string> kArtImagePercent = {
        "................................",
        "................................",
        "........................##......",
        ".........#.............###......",
        "......#######.........####......",
        ".....#########........###.......",
        ".....###...###.......###........",
        ".....##.....##......###.........",
        "....###.....###.....###.........",
        ".....##.....##.....###..........",
        ".....###...###....###...........",
        ".....#########....###...........",
        "......#######....###............",
        ".........#......###.............",
        "...............####.............",
        "...............###..............",
        "..............###...............",
        ".............####...............",
        ".............###......#.........",
        "............###....#######......",
        "...........###....#########.....",
        "...........###....###...###.....",
        "..........###.....##.....##.....",
        ".........###.....###.....###....",
        ".........###......##.....##.....",
        "........###.......###...###.....",
        ".......###........#########.....",
        "......####.........#######......",
        "......###.............#.........",
        "......##........................",
        "................................",
        "................................",
};

// Pixels of the cell at (x, y) that differ from the drawing in fg and bg; the first one in
// *where.
int art_diff(const sim::PanelModel &p, int x, int y, const std::vector<std::string> &art, uint16_t fg,
             uint16_t bg, std::string *where)
{
    int diff = 0;
    for (size_t r = 0; r < art.size(); ++r)
        for (size_t c = 0; c < art[r].size(); ++c) {
            const uint16_t want = art[r][c] == '#' ? fg : bg;
            if (p.stored(x + int(c), y + int(r)) != want && diff++ == 0)
                *where = "row " + std::to_string(r) + " column " + std::to_string(c);
        }
    return diff;
}

} // namespace

TEST_F(Panel, OpaqueAndTransparentCells)
{
    lcd_show_string(0, 0, FG, FG, "A");
    EXPECT_EQ(board.panel.pixel_log().size(), size_t(set_bits(glyph('A'), 16)));
    EXPECT_EQ(cell_diff(board.panel, 0, 0, glyph('A'), 8, 16, FG, -1), 0) << "clear bits untouched";

    board.panel.clear_pixel_log();
    lcd_show_string(0, 20, FG, BG, "A");
    EXPECT_EQ(board.panel.pixel_log().size(), 128u);
    EXPECT_EQ(cell_diff(board.panel, 0, 20, glyph('A'), 8, 16, FG, BG), 0);

    board.panel.clear_pixel_log();
    lcd_show_image(40, 0, FG, BG, 8);
    EXPECT_EQ(board.panel.pixel_log().size(), 1024u);
    EXPECT_EQ(cell_diff(board.panel, 40, 0, lcd_images_32[8], 32, 32, FG, BG), 0) << "colours as given";

    board.panel.clear_pixel_log();
    lcd_show_image(80, 0, FG, FG, 13);
    EXPECT_EQ(board.panel.pixel_log().size(), size_t(set_bits(lcd_images_32[13], 128)));
    EXPECT_EQ(cell_diff(board.panel, 80, 0, lcd_images_32[13], 32, 32, FG, -1), 0);
}

TEST_F(Panel, CellsLookAsDrawn)
{
    struct Case {
        const char *what;
        int x, y;
        const std::vector<std::string> &art;
        uint16_t fg, bg;
    };
    lcd_show_string(0, 0, FG, BG, "Ag7\xB5\xE7");
    lcd_show_string24(0, 40, FG, BG, "\xB4\xBF");
    lcd_show_image(40, 20, FG, BG, 8);
    lcd_show_image(80, 20, FG, BG, 12);
    const Case cases[] = {
        {"A", 0, 0, kArtA, FG, BG},
        {"g", 8, 0, kArtG, FG, BG},
        {"7", 16, 0, kArt7, FG, BG},
        {"16 x 16 B5 E7", 24, 0, kArtDian16, FG, BG},
        {"24 x 24 B4 BF, complemented", 0, 40, kArtChun24, inv(FG), inv(BG)},
        {"picture 8", 40, 20, kArtImage8, FG, BG},
        {"picture 12 (percent)", 80, 20, kArtImagePercent, FG, BG},
    };
    for (const Case &c : cases) {
        std::string where;
        EXPECT_EQ(art_diff(board.panel, c.x, c.y, c.art, c.fg, c.bg, &where), 0) << c.what << ", first at " << where;
    }
}

TEST_F(Panel, CarriageReturnInBothStringOperations)
{
    auto &p = board.panel;
    lcd_show_string(8, 0, FG, BG, "AB\rC");
    EXPECT_EQ(cell_diff(p, 8, 0, glyph('A'), 8, 16, FG, BG), 0);
    EXPECT_EQ(cell_diff(p, 16, 0, glyph('B'), 8, 16, FG, BG), 0);
    EXPECT_EQ(cell_diff(p, 8, 16, glyph('C'), 8, 16, FG, BG), 0) << "back to x, 16 rows down";
    EXPECT_EQ(cell_diff(p, 24, 0, kBlank, 8, 16, 0, -1), 0) << "carriage return draws nothing";

    lcd_show_string24(8, 40, FG, BG, "AB\rC");
    EXPECT_EQ(cell_diff(p, 8, 40, glyph('A'), 8, 16, inv(FG), inv(BG)), 0);
    EXPECT_EQ(cell_diff(p, 16, 40, glyph('B'), 8, 16, inv(FG), inv(BG)), 0);
    EXPECT_EQ(cell_diff(p, 24, 40, glyph(' '), 8, 16, inv(FG), inv(BG)), 0) << "a blank cell";
    EXPECT_EQ(cell_diff(p, 32, 40, glyph('C'), 8, 16, inv(FG), inv(BG)), 0) << "on the same line";
    EXPECT_EQ(cell_diff(p, 8, 56, kBlank, 32, 8, 0, -1), 0) << "8 x 16 cells sit at the top";

    lcd_show_string(100, 0, FG, BG, "\nA");
    EXPECT_EQ(cell_diff(p, 100, 0, glyph(' '), 8, 16, FG, BG), 0) << "line feed is a blank glyph";
    EXPECT_EQ(cell_diff(p, 108, 0, glyph('A'), 8, 16, FG, BG), 0);
}

TEST_F(Panel, TwoByteCodes)
{
    auto &p = board.panel;
    {
        SCOPED_TRACE("a code in no table draws nothing and still advances");
        lcd_show_string(0, 0, FG, BG, "\xB0\xA1" "A");
        EXPECT_EQ(cell_diff(p, 0, 0, kBlank, 16, 16, 0, -1), 0);
        EXPECT_EQ(cell_diff(p, 16, 0, glyph('A'), 8, 16, FG, BG), 0);
        lcd_show_string24(0, 20, FG, BG, "\xB0\xA1" "A");
        EXPECT_EQ(cell_diff(p, 0, 20, kBlank, 24, 16, 0, -1), 0);
        EXPECT_EQ(cell_diff(p, 24, 20, glyph('A'), 8, 16, inv(FG), inv(BG)), 0);
    }
    {
        SCOPED_TRACE("a known code: 16 and 24 pixels");
        lcd_show_string(40, 0, FG, BG, "\xB5\xE7" "A"); // record 0
        EXPECT_EQ(cell_diff(p, 40, 0, glyph16(0), 16, 16, FG, BG), 0);
        EXPECT_EQ(cell_diff(p, 56, 0, glyph('A'), 8, 16, FG, BG), 0);
        board.panel.clear_pixel_log();
        lcd_show_string24(60, 20, 0x0000, 0xFFFF, "\xB4\xBF"); // record 0
        EXPECT_EQ(p.pixel_log().size(), 576u);
        EXPECT_EQ(cell_diff(p, 60, 20, glyph24(0), 24, 24, 0xFFFF, 0x0000), 0);
    }
    {
        SCOPED_TRACE("the doubled characters draw both records, the later one last");
        ASSERT_NE(std::memcmp(glyph16(4), glyph16(28), 32), 0);
        board.panel.clear_pixel_log();
        lcd_show_string(100, 0, FG, BG, "\xBC\xBC"); // 技
        EXPECT_EQ(p.pixel_log().size(), 512u);
        EXPECT_EQ(cell_diff(p, 100, 0, glyph16(28), 16, 16, FG, BG), 0);

        uint8_t both[32];
        for (int i = 0; i < 32; ++i)
            both[i] = glyph16(5)[i] | glyph16(29)[i];
        lcd_show_string(120, 0, FG, FG, "\xCA\xF5"); // 术
        EXPECT_EQ(cell_diff(p, 120, 0, both, 16, 16, FG, -1), 0) << "the union of both designs";

        board.panel.clear_pixel_log();
        lcd_show_string24(100, 40, FG, BG, "\xCF\xD4"); // 显, records 8 and 12
        EXPECT_EQ(p.pixel_log().size(), 2u * 576);
        EXPECT_EQ(cell_diff(p, 100, 40, glyph24(8), 24, 24, inv(FG), inv(BG)), 0);
    }
    {
        SCOPED_TRACE("half a code before the terminator ends the string");
        const char s[] = {'A', '\xB5', 0, 'B', 0};
        board.panel.clear_pixel_log();
        lcd_show_string(0, 60, FG, BG, s);
        lcd_show_string24(40, 60, FG, BG, s);
        EXPECT_EQ(p.pixel_log().size(), 2u * 128);
        EXPECT_EQ(cell_diff(p, 16, 60, kBlank, 16, 16, 0, -1), 0) << "nothing after the terminator";
        EXPECT_EQ(cell_diff(p, 64, 60, kBlank, 24, 16, 0, -1), 0);
    }
}

TEST_F(Panel, CodesOutsideTheTables)
{
    auto &p = board.panel;
    lcd_show_string(0, 0, FG, BG, "\x7F");
    EXPECT_EQ(cell_diff(p, 0, 0, glyph(' '), 8, 16, FG, BG), 0) << "DEL: a blank cell";
    for (uint8_t ch : {0x7F, 0x80, 0xFF}) {
        lcd_show_char(20, 0, 'X');
        lcd_show_char(20, 0, ch);
        EXPECT_EQ(cell_diff(p, 20, 0, glyph(' '), 8, 16, LCD_RED, LCD_LIGHTGREY), 0) << int(ch);
    }
    p.clear_commands();
    lcd_show_image(0, 40, FG, BG, 15);
    lcd_show_image(0, 40, FG, BG, 0xFFFF);
    EXPECT_TRUE(p.commands().empty());
}

TEST_F(Panel, NumberFields)
{
    auto &p = board.panel;
    auto field = [&](int x, int y, const char *text) {
        int diff = 0;
        for (int i = 0; text[i]; ++i)
            diff += cell_diff(p, x + 8 * i, y, glyph(text[i]), 8, 16, LCD_RED, LCD_LIGHTGREY);
        return diff;
    };
    lcd_show_num(0, 0, 42, 4);
    EXPECT_EQ(field(0, 0, "  42"), 0);
    lcd_show_num(40, 0, 0, 3);
    EXPECT_EQ(field(40, 0, "  0"), 0) << "the last place always shows a digit";
    lcd_show_num(0, 16, 1005, 6);
    EXPECT_EQ(field(0, 16, "  1005"), 0) << "inner zeros are digits";
    lcd_show_num(0, 32, 12345, 3);
    EXPECT_EQ(field(0, 32, "345"), 0) << "digits beyond the field are dropped";
    lcd_show_num(64, 32, 65535, 5);
    EXPECT_EQ(field(64, 32, "65535"), 0);

    p.clear_commands();
    lcd_show_num(0, 48, 7, 0);
    EXPECT_TRUE(p.commands().empty()) << "a field of 0 draws nothing";

    // From 33 places the weight of the first ones wraps to 0: they are blank, and the
    // last place, at x = 256, lands on column 0 again.
    lcd_show_num(0, 48, 5, 33);
    EXPECT_EQ(field(0, 48, "5                   "), 0);
    lcd_show_num(0, 64, 9, 40);
    EXPECT_EQ(field(0, 64, "       9            "), 0) << "the last place at x = 312";
}

TEST(PanelText, Pow)
{
    EXPECT_EQ(lcd_pow(10, 0), 1u);
    EXPECT_EQ(lcd_pow(10, 4), 10000u);
    EXPECT_EQ(lcd_pow(3, 5), 243u);
    EXPECT_EQ(lcd_pow(10, 10), 1410065408u) << "modulo 2^32";
    EXPECT_EQ(lcd_pow(2, 32), 0u);
    EXPECT_EQ(lcd_pow(0, 0), 1u);
}

TEST(PanelText, TablesCarryTheGivenCodesInOrder)
{
    const char *codes16 =
        "B5E7D7D3C4A3BFE9BCBCCAF5D2BABEA7B2E2CAD4B3CCD0F2D1D5C9ABCCEEB3E4CEC4D7D6CFD4CABECDBCC6AC"
        "B4A5C3FECAE4C8EBC8ABB3CCBCBCCAF5D6A7B3D6D7A8D7A2C5FAB7A2B3C9B9A6D2C6D1A1D4F1CFEEC4BFB6CC"
        "B0B4C8B7B6A8B3A4B0B4B7B5";
    const char *codes24 = "B4BFC9ABCCEEB3E4B2E2CAD4CEC4D7D6CFD4CABECDBCC6ACCFD4CABEB4A5C3FECAE4C8EB";
    auto hex = [](const uint8_t *c) {
        char s[5];
        snprintf(s, sizeof s, "%02X%02X", c[0], c[1]);
        return std::string(s);
    };
    std::string got16, got24;
    for (auto &g : lcd_glyphs_16)
        got16 += hex(g.code);
    for (auto &g : lcd_glyphs_24)
        got24 += hex(g.code);
    EXPECT_EQ(got16, codes16);
    EXPECT_EQ(got24, codes24);

    auto same16 = [](int a, int b) { return std::memcmp(glyph16(a), glyph16(b), 32) == 0; };
    EXPECT_TRUE(same16(10, 27)) << "程 twice, one design";
    EXPECT_TRUE(same16(44, 48)) << "按 twice, one design";
    EXPECT_FALSE(same16(4, 28)) << "技 in two designs";
    EXPECT_FALSE(same16(5, 29)) << "术 in two designs";
    EXPECT_EQ(std::memcmp(glyph24(8), glyph24(12), 72), 0);
    EXPECT_EQ(std::memcmp(glyph24(9), glyph24(13), 72), 0);

    EXPECT_EQ(set_bits(lcd_font_8x16[0], 16), 0) << "space";
    for (int i = 1; i < LCD_FONT_GLYPHS; ++i)
        EXPECT_GT(set_bits(lcd_font_8x16[i], 16), 0) << char(0x20 + i);
    for (auto &g : lcd_glyphs_16)
        EXPECT_GT(set_bits(g.bitmap, 32), 10);
    for (auto &g : lcd_glyphs_24)
        EXPECT_GT(set_bits(g.bitmap, 72), 20);
    std::set<std::string> pictures;
    for (auto &img : lcd_images_32) {
        EXPECT_GT(set_bits(img, 128), 0);
        pictures.insert(std::string(reinterpret_cast<const char *>(img), 128));
    }
    EXPECT_EQ(pictures.size(), size_t(LCD_IMAGES_COUNT)) << "fifteen different pictures";
    EXPECT_LT(set_bits(lcd_images_32[1], 128), set_bits(lcd_images_32[8], 128)) << "seven segments";
}
