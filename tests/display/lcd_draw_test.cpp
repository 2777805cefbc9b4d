// Lines, circles and frames, checked on the pixels the panel received and on its frame.
#include "panel_test.h"

#include <algorithm>
#include <set>

using paneltest::Panel;
using Points = std::vector<std::pair<int, int>>;

TEST_F(Panel, LineWalks)
{
    struct Case {
        const char *name;
        uint16_t x1, y1, x2, y2;
        Points want;
    } cases[] = {
        {"x-major, a zero error steps", 0, 0, 4, 2, {{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 2}}},
        {"45 degrees takes the y-major branch", 0, 0, 2, 2, {{0, 0}, {1, 1}, {2, 2}}},
        {"right to left", 3, 0, 0, 1, {{3, 0}, {2, 0}, {1, 1}, {0, 1}}},
        {"y-major, bottom to top", 5, 14, 7, 10, {{5, 14}, {6, 13}, {6, 12}, {7, 11}, {7, 10}}},
        {"equal end points: one pixel", 9, 9, 9, 9, {{9, 9}}},
        {"horizontal", 20, 30, 23, 30, {{20, 30}, {21, 30}, {22, 30}, {23, 30}}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        board.panel.clear_pixel_log();
        board.panel.clear_commands();
        lcd_draw_line(c.x1, c.y1, c.x2, c.y2, 0x1234);
        EXPECT_EQ(points(), c.want);
        // The cursor goes to the start point first and writes nothing there.
        auto cmds = board.panel.commands();
        ASSERT_GE(cmds.size(), 3u);
        EXPECT_EQ(cmds[0].params, (std::vector<uint8_t>{0, uint8_t(c.x1 + 1), 0, uint8_t(c.x1 + 1)}));
        EXPECT_EQ(cmds[2].cmd, 0x2C);
        EXPECT_EQ(cmds[2].pixel_bytes, 0u);
        EXPECT_EQ(cmds.size(), 3 + 3 * c.want.size());
    }
    EXPECT_EQ(board.panel.stored(1, 1), 0x1234);
    EXPECT_EQ(board.panel.stored(2, 1), 0x1234);
    EXPECT_EQ(board.panel.stored(1, 0), 0);
}

TEST_F(Panel, CirclePoints)
{
    {
        SCOPED_TRACE("r = 0: the centre, eight times");
        lcd_draw_circle(50, 40, 0, 0x1111);
        EXPECT_EQ(points(), Points(8, {50, 40}));
    }
    {
        SCOPED_TRACE("r = 1: four points");
        board.panel.clear_pixel_log();
        lcd_draw_circle(50, 40, 1, 0x1111);
        auto p = points();
        EXPECT_EQ(std::set(p.begin(), p.end()),
                  (std::set<std::pair<int, int>>{{50, 41}, {50, 39}, {51, 40}, {49, 40}}));
        EXPECT_EQ(p.front(), std::make_pair(50, 41));
    }
    {
        SCOPED_TRACE("r = 3: sixteen points, ending on the diagonals");
        board.panel.clear_pixel_log();
        lcd_draw_circle(80, 40, 3, 0x2222);
        auto p = points();
        std::set<std::pair<int, int>> distinct(p.begin(), p.end());
        EXPECT_EQ(distinct.size(), 16u);
        ASSERT_EQ(p.size(), 24u);
        EXPECT_EQ(Points(p.end() - 8, p.end()),
                  (Points{{82, 42}, {78, 42}, {82, 38}, {78, 38}, {82, 42}, {78, 42}, {82, 38}, {78, 38}}));
        for (auto [x, y] : distinct) {
            int d2 = (x - 80) * (x - 80) + (y - 40) * (y - 40);
            EXPECT_TRUE(d2 >= 8 && d2 <= 10) << x << "," << y << " lies off the circle";
            EXPECT_EQ(board.panel.stored(x, y), 0x2222);
        }
        EXPECT_EQ(board.panel.stored(80, 40), 0);
    }
    {
        SCOPED_TRACE("a circle around (2, 2) reaches x = 65533: sent unclipped");
        board.panel.clear_pixel_log();
        lcd_draw_circle(2, 2, 5, 0x3333);
        bool wrapped = false;
        for (auto &w : board.panel.pixel_log())
            wrapped |= w.col == 0xFE; // (65533 + 1) mod 256
        EXPECT_TRUE(wrapped);
        EXPECT_EQ(board.panel.stored(7, 2), 0x3333);
        EXPECT_EQ(board.panel.stored(2, 7), 0x3333);
    }
}

TEST_F(Panel, FrameStrokesAndStyles)
{
    const uint16_t light = LCD_LIGHTGREY, dark = LCD_SHADOW;
    struct Style {
        uint8_t style;
        uint16_t top_left, bottom_right;
    } styles[] = {{0, light, dark}, {1, dark, light}, {2, LCD_WHITE, LCD_WHITE}};
    for (auto s : styles) {
        SCOPED_TRACE(int(s.style));
        lcd_draw_frame(10, 10, 20, 10, s.style);
        auto &p = board.panel;
        EXPECT_EQ(p.stored(10, 10), s.top_left);
        EXPECT_EQ(p.stored(30, 10), s.top_left) << "top reaches x + w";
        EXPECT_EQ(p.stored(10, 20), s.top_left) << "left is drawn last";
        EXPECT_EQ(p.stored(10, 15), s.top_left);
        EXPECT_EQ(p.stored(29, 11), s.bottom_right) << "right stands one column in";
        EXPECT_EQ(p.stored(29, 21), s.bottom_right) << "and reaches one row below";
        EXPECT_EQ(p.stored(30, 20), s.bottom_right);
        EXPECT_EQ(p.stored(30, 15), 0);
        EXPECT_EQ(p.stored(20, 15), 0) << "an outline, not a fill";
        EXPECT_EQ(p.stored(28, 21), 0);
    }
    for (uint8_t style : {3, 255}) {
        board.panel.clear_commands();
        lcd_draw_frame(10, 10, 20, 10, style);
        EXPECT_TRUE(board.panel.commands().empty()) << int(style);
    }
    {
        SCOPED_TRACE("frame with a diagonal");
        board.panel.clear_pixel_log();
        lcd_draw_frame_diagonal(40, 40, 20, 10, 0x07E0);
        EXPECT_EQ(board.panel.stored(40, 40), light);
        EXPECT_EQ(board.panel.stored(59, 51), dark);
        auto p = points();
        Points diagonal(p.end() - 19, p.end());
        EXPECT_EQ(diagonal.front(), std::make_pair(41, 41));
        EXPECT_EQ(diagonal.back(), std::make_pair(59, 49));
        for (auto [x, y] : diagonal)
            EXPECT_EQ(board.panel.stored(x, y), 0x07E0);
        EXPECT_EQ(board.panel.stored(50, 41), 0) << "the interior stays";
    }
}

TEST_F(Panel, TwoLineBoxes)
{
    auto &p = board.panel;
    lcd_draw_sunken_box(10, 10, 30, 20);
    EXPECT_EQ(p.stored(20, 10), LCD_DARKGREY);
    EXPECT_EQ(p.stored(10, 15), LCD_DARKGREY);
    EXPECT_EQ(p.stored(10, 10), LCD_DARKGREY);
    EXPECT_EQ(p.stored(11, 11), LCD_GREY);
    EXPECT_EQ(p.stored(20, 11), LCD_GREY);
    EXPECT_EQ(p.stored(11, 15), LCD_GREY);
    EXPECT_EQ(p.stored(10, 20), LCD_WHITE) << "the bottom is drawn over the left";
    EXPECT_EQ(p.stored(30, 10), LCD_WHITE) << "the right is drawn over the top";
    EXPECT_EQ(p.stored(30, 20), LCD_WHITE);
    EXPECT_EQ(p.stored(20, 15), 0);

    lcd_draw_raised_box(50, 10, 70, 20);
    EXPECT_EQ(p.stored(50, 10), LCD_WHITE);
    EXPECT_EQ(p.stored(50, 15), LCD_WHITE);
    EXPECT_EQ(p.stored(60, 19), LCD_GREY);
    EXPECT_EQ(p.stored(69, 15), LCD_GREY);
    EXPECT_EQ(p.stored(69, 20), LCD_GREY) << "the inner right is drawn over the bottom";
    EXPECT_EQ(p.stored(60, 20), LCD_DARKGREY);
    EXPECT_EQ(p.stored(70, 10), LCD_DARKGREY);
    EXPECT_EQ(p.stored(50, 20), LCD_DARKGREY);
    EXPECT_EQ(p.stored(60, 15), 0);
}
