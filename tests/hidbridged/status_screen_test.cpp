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
    info.kbd_p99_us = 1234;
    info.mouse_p99_us = 45000;
    auto g = StatusScreen::compose(info);
    EXPECT_EQ(row(g, 0), "1.0.0  host:ok in:2 ");
    EXPECT_EQ(row(g, 1), "ip 192.168.1.20/24  ");
    EXPECT_EQ(row(g, 2), "p99 k 1.2  m 45   ms");
    EXPECT_EQ(row(g, 3), "gw 192.168.1.1      ");
    EXPECT_EQ(row(g, 4), "00:1A:2B:3C:4D:5E up");
    StatusInfo none;
    none.version = "1.0.0";
    EXPECT_EQ(row(StatusScreen::compose(none), 0), "1.0.0  host:-- in:0 ");
    EXPECT_EQ(row(StatusScreen::compose(none), 1), "ip -                ");
    EXPECT_EQ(row(StatusScreen::compose(none), 2), "p99 k -    m -    ms") << "nothing timed";
    StatusInfo wide = info;
    wide.ip = "192.168.100.200";
    wide.netmask = "255.255.0.255"; // not a prefix: the address alone
    EXPECT_EQ(row(StatusScreen::compose(wide), 1), "ip 192.168.100.200  ");
    wide.netmask = "255.255.255.0";
    wide.mouse_p99_us = 2000000;
    EXPECT_EQ(row(StatusScreen::compose(wide), 1), "192.168.100.200/24  ") << "the label gives way";
    EXPECT_EQ(row(StatusScreen::compose(wide), 2), "p99 k 1.2  m >1s  ms");
    EXPECT_EQ(row(StatusScreen::compose(none), 4), "eth0 -            dn");
    none.layout_problem = "no layout fr(xx)";
    EXPECT_EQ(row(StatusScreen::compose(none), 4), "no layout fr(xx)    ");

    lcd_fill(0); // whatever the panel showed before the service
    ASSERT_GT(lit(board, 19, 0), 0);
    StatusScreen screen;
    screen.begin();
    std::atomic<bool> stop{true};
    EXPECT_EQ(screen.update(info, &stop), 0) << "no cell drawn once the service stops";
    EXPECT_EQ(screen.update(info), 100) << "an unknown panel: every cell, blanks too";
    EXPECT_GT(lit(board, 18, 0), 0) << "the 2 of in:2";
    EXPECT_EQ(lit(board, 19, 0), 0) << "a blank cell drawn over what was there";

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
    EXPECT_EQ(screen.update(info), 15 + 11 + 17) << "ip, gateway and MAC cells";
    EXPECT_EQ(lit(board, 10, 4), 0) << "cells left blank are cleared";
}
