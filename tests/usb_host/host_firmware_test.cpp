// A PC's firmware as the host of the whole library on the virtual board: the conformance
// run's firmware style, keys typed by the application, buttons and motion from the mouse
// plugged into the board. Every case is its own process: the library's threads never stop.
#include "board.h"
#include "hidbridge.h"
#include "usb_conformance.h"

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

using namespace std::chrono_literals;

TEST(FirmwareHost, EveryKeyAndButtonThroughTheBootReports)
{
    sim::Board &board = *new sim::Board; // outlives the library's threads
    board.plug_keyboard(0).plug_mouse(1);
    board.host.set_style(sim::EnumStyle::Firmware);
    board.host.start();
    ASSERT_EQ(km_init(), Success);
    EXPECT_TRUE(board.host.wait_configured(2s)) << board.host.snapshot().last_error; // the run tells why not

    sim::ConformanceOptions o;
    o.input.key = [](uint8_t usage, bool down) { down ? km_keydown(usage) : km_keyup(usage); };
    auto mouse_frame = [&board] {
        board.events.syn(1);
        ASSERT_TRUE(board.events.wait_drained(1, 1s));
    };
    o.input.button = [&](int n, bool down) {
        static constexpr uint16_t kCodes[] = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};
        board.events.button(1, kCodes[n - 1], down);
        mouse_frame();
    };
    o.input.move = [&](int dx, int dy) {
        board.events.rel(1, REL_X, dx);
        board.events.rel(1, REL_Y, dy);
        mouse_frame();
    };
    auto t = sim::run_conformance(board.host, sim::EnumStyle::Firmware, o);
    std::fputs(t.text().c_str(), stderr);
    EXPECT_TRUE(t.passed()) << t.text();
    EXPECT_TRUE(t.find("every key through the boot report")) << t.text();
    // The LEDs firmware sends by SET_REPORT reach the application.
    ASSERT_TRUE(board.host.set_leds(0x02));
    EXPECT_EQ(km_query_leds(), 0x02);
}
