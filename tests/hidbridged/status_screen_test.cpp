// The service's status screen on the panel model: what it shows, and that it draws only the
// cells that changed.
#include "status_screen.h"

#include "lcd.h"

#include "board.h"

#include <gtest/gtest.h>

using hidbridged::StatusInfo;
using hidbridged::StatusScreen;

namespace {

std::string row(const StatusScreen::Grid &g, int r)
{
    std::string s;
    for (auto &c : g[r])
        s += c.ch;
    return s;
}

// Pixels of cell (col, row) the glass shows lit.
int lit(const sim::Board &b, int col, int r)
{
    int n = 0;
    for (int y = r * 16; y < r * 16 + 16; ++y)
        for (int x = col * 8; x < col * 8 + 8; ++x)
            n += b.panel.shown(x, y) != 0;
    return n;
}

} // namespace

TEST(ServiceStatusScreen, ShowsTheStateAndDrawsOnlyWhatChanged)
{
    sim::Board board;
    board.gpio.set_logging(false);
    lcd_init();
    StatusInfo info{"1.0.0", true, 2, true, "192.168.1.20", "255.255.255.0", "192.168.1.1", "00:1A:2B:3C:4D:5E", true, ""};
    auto g = StatusScreen::compose(info);
    EXPECT_EQ(row(g, 0), "1.0.0  host:ok in:2 ");
    EXPECT_EQ(row(g, 1), "ip 192.168.1.20     ");
    EXPECT_EQ(row(g, 2), "nm 255.255.255.0    ");
    EXPECT_EQ(row(g, 3), "gw 192.168.1.1      ");
    EXPECT_EQ(row(g, 4), "00:1A:2B:3C:4D:5E up");
    StatusInfo none;
    none.version = "1.0.0";
    EXPECT_EQ(row(StatusScreen::compose(none), 0), "1.0.0  host:-- in:0 ");
    EXPECT_EQ(row(StatusScreen::compose(none), 1), "ip -                ");
    EXPECT_EQ(row(StatusScreen::compose(none), 4), "eth0 -            dn");
    none.layout_problem = "no layout fr(xx)";
    EXPECT_EQ(row(StatusScreen::compose(none), 4), "no layout fr(xx)    ");

    StatusScreen screen;
    screen.begin();
    int blanks = 0;
    for (auto &r : g)
        for (auto &c : r)
            blanks += c.ch == ' ';
    EXPECT_EQ(screen.update(info), 100 - blanks) << "a cleared panel needs no blank drawn";
    EXPECT_GT(lit(board, 18, 0), 0) << "the 2 of in:2";
    EXPECT_EQ(lit(board, 19, 0), 0);

    // Each cell as the library's own text drawing would leave it.
    std::vector<uint16_t> drawn;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 160; ++x)
            drawn.push_back(board.panel.stored(x, y));
    for (int c = 0; c < 20; ++c)
        if (g[0][c].ch != ' ')
            lcd_show_string(static_cast<uint16_t>(c * 8), 0, g[0][c].fg, 0x0000, std::string(1, g[0][c].ch).c_str());
    for (int y = 0, i = 0; y < 16; ++y)
        for (int x = 0; x < 160; ++x, ++i)
            ASSERT_EQ(board.panel.stored(x, y), drawn[i]) << x << "," << y;

    board.panel.set_pixel_log(true);
    EXPECT_EQ(screen.update(info), 0);
    EXPECT_TRUE(board.panel.pixel_log().empty()) << "nothing changed, nothing drawn";

    info.inputs = 3;
    board.gpio.clear_log();
    board.gpio.set_logging(true);
    EXPECT_EQ(screen.update(info), 1);
    board.gpio.set_logging(false);
    EXPECT_EQ(board.panel.pixel_log().size(), 128u) << "one 8 x 16 cell";
    EXPECT_LT(board.gpio.log().size(), 128u * 324 / 5) << "a window, not a point at a time";
    board.panel.clear_pixel_log();

    info.configured = false; // ok -> --, green -> red
    info.ip = "192.168.1.21";
    EXPECT_EQ(screen.update(info), 3);
    info.eth0 = false;
    EXPECT_EQ(screen.update(info), 12 + 13 + 11 + 17) << "ip, netmask, gateway and MAC cells";
    EXPECT_EQ(lit(board, 10, 4), 0) << "cells left blank are cleared";
}
