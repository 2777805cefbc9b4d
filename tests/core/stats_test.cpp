// The board's figures about itself: a scripted host that collects each report a known time
// after its input gives known percentiles and counters; an overflow of an event device's
// buffer counts as one resync, and physical input gets latency samples through the listener.
#include "scripted_host.h"

#include "chipio.h"
#include "core_state.h"
#include "hidbridge.h"
#include "report_queue.h"
#include "report_stats.h"

#include <linux/input.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <thread>

using namespace usbtest;
using namespace std::chrono_literals;

namespace {

uint64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

const uint8_t kKeyA[11] = {0, 0, 0x04}, kKeyB[11] = {0, 0, 0x05};

km_stats figures()
{
    km_stats s{};
    EXPECT_EQ(km_get_stats(&s, sizeof s), int(sizeof s));
    return s;
}

TEST(BoardFigures, KnownCollectionDelaysGiveKnownPercentiles)
{
    board();
    ASSERT_EQ(CH374U_SPI_init(), 0);
    Init374Device(1);
    ScriptedHost host{serve_now};
    ASSERT_TRUE(host.configure(3));
    ASSERT_EQ(km_reset_stats(), 0);

    // Each report's input is stamped `delay` before the report is queued, and the host takes
    // it at once: the latency is the delay plus the test's own few steps, measured as `slack`.
    // This host takes a report when the test says, not once a frame. Two collections a frame
    // apart would have the device hold the next mouse report back until just before the
    // following frame, which this host does not wait for: they come further apart.
    uint64_t slack = 0;
    auto one = [&](report_stats::Ep ep, uint64_t delay) {
        std::this_thread::sleep_for(2ms);
        const uint64_t t0 = now_us();
        report_stats::set_input(ep, t0 - delay);
        if (ep == report_stats::kMouse)
            MouseQueueReport(0, 1, 0, 0);
        else
            KeyboardQueueReport(0, delay % 2 ? kKeyA : kKeyB);
        ASSERT_EQ(host.in(ep == report_stats::kMouse ? 1 : 2).hs, Handshake::Ack);
        slack = std::max(slack, now_us() - t0);
    };
    // 50 at 1 ms, 48 at 3 ms, 2 at 40 ms: the median in the first group, p99 in the last.
    for (int i = 0; i < 100; ++i)
        one(report_stats::kMouse, i < 50 ? 1000 : i < 98 ? 3000 : 40000);
    // The keyboard's figures are its own: 10 key changes at 5 ms.
    for (int i = 0; i < 10; ++i)
        one(report_stats::kKeyboard, 5000 + i % 2);

    km_stats s = figures();
    const uint64_t bin = 100; // the histogram's resolution below 10 ms
    EXPECT_EQ(s.mouse.minute_count, 100u);
    EXPECT_EQ(s.mouse.total_count, 100u);
    EXPECT_GE(s.mouse.minute_p50_us, 1000u);
    EXPECT_LE(s.mouse.minute_p50_us, 1000 + slack + bin);
    EXPECT_GE(s.mouse.minute_p99_us, 40000u);
    EXPECT_LE(s.mouse.minute_p99_us, 40000 + slack + 1000);
    EXPECT_GE(s.mouse.total_max_us, 40000u);
    EXPECT_LE(s.mouse.total_max_us, 40000 + slack);
    EXPECT_EQ(s.mouse.total_p99_us, s.mouse.minute_p99_us);
    EXPECT_EQ(s.keyboard.total_count, 10u);
    EXPECT_GE(s.keyboard.total_p50_us, 5000u);
    EXPECT_LE(s.keyboard.total_p99_us, 5001 + slack + bin);
    EXPECT_EQ(s.mouse.handed_over, 100u);
    EXPECT_EQ(s.mouse.collected, 100u);
    EXPECT_EQ(s.keyboard.collected, 10u);

    // Motion for a report that already waits behind the armed one joins it: one merge, two
    // reports deep; each stamped input is timed to the collection of the report it joined.
    report_stats::set_input(report_stats::kMouse, now_us() - 60000);
    MouseQueueReport(0, 1, 0, 0);
    MouseQueueReport(0, 2, 0, 0);
    report_stats::set_input(report_stats::kMouse, now_us() - 2000);
    MouseQueueReport(0, 3, 0, 0);
    // And a waiting report the host never takes: the caller's wait gives up once.
    EXPECT_EQ(MouseWaitReport(MouseQueueReport(1, 0, 0, 0)), 1);
    s = figures();
    EXPECT_EQ(s.mouse.merged, 1u);
    EXPECT_EQ(s.mouse.deepest, 3u);
    EXPECT_EQ(s.mouse.timeouts, 1u);
    ASSERT_EQ(host.in(1).hs, Handshake::Ack);
    ASSERT_EQ(host.in(1).hs, Handshake::Ack);
    s = figures();
    EXPECT_EQ(s.mouse.total_count, 102u) << "one sample per stamped input, merged or not";
    EXPECT_GE(s.mouse.total_max_us, 60000u);

    ASSERT_EQ(km_reset_stats(), 0);
    s = figures();
    EXPECT_EQ(s.mouse.total_count + s.mouse.minute_count + s.mouse.handed_over + s.keyboard.collected, 0u);
    EXPECT_EQ(km_get_stats(nullptr, sizeof s), err_parament);
    EXPECT_EQ(km_get_stats(&s, 8), 8) << "an older caller's shorter record";
}

TEST(BoardFigures, AnOverflowIsOneResyncAndInputIsTimed)
{
    sim::Board &b = *new sim::Board;
    b.plug_mouse(1);
    b.host.start();
    pthread_t dev, in;
    pthread_create(&dev, nullptr, thread_device_listen, nullptr);
    pthread_create(&in, nullptr, input_listener_thread, nullptr);
    ASSERT_TRUE(b.host.wait_configured(3s));
    ASSERT_TRUE(b.events.wait_open(1, 1, 3s));
    ASSERT_TRUE(wait_for([&] { return b.host.report_seq() >= 2; }, 1s)) << "the reset's empty reports";
    km_reset_stats();

    auto &ev = b.events;
    ev.packet(1, {{EV_KEY, BTN_LEFT, 1}});
    ASSERT_TRUE(b.host.wait_view([](auto &v) { return v.button_held(1); }, 1s));
    // The listener is held up while the buffer overflows, twice over before it reads again:
    // the kernel leaves one SYN_DROPPED, and the listener resyncs once.
    ev.set_buffer_size(1, 8);
    pthread_mutex_lock(&control_mutex);
    ev.packet(1, {{EV_REL, REL_X, 1}});
    EXPECT_TRUE(ev.wait_drained(1, 1s)) << "the listener took the packet and waits for the lock";
    ev.packet(1, {{EV_KEY, BTN_LEFT, 0}});
    for (int i = 0; i < 20; ++i)
        ev.packet(1, {{EV_REL, REL_Y, 1}});
    EXPECT_GE(ev.dropped(1), 2u);
    pthread_mutex_unlock(&control_mutex);
    ASSERT_TRUE(b.host.wait_view([](auto &v) { return !v.button_held(1); }, 1s));
    ev.packet(1, {{EV_REL, REL_X, 5}});
    ASSERT_TRUE(ev.wait_drained(1, 1s));

    km_stats s{};
    ASSERT_TRUE(wait_for([&] { return (s = figures()).mouse.total_count >= 2; }, 1s))
        << "the press and the motion after the resync carry their kernel time stamps";
    EXPECT_EQ(s.port[1].resyncs, 1u);
    EXPECT_EQ(s.port[0].resyncs + s.port[0].records, 0u);
    EXPECT_GE(s.port[1].records, 6u);
    EXPECT_EQ(s.rescans, 0u);
    EXPECT_GT(s.mouse.total_p50_us, 0u);

    // A pulled device is one rescan.
    ev.unplug(1);
    EXPECT_TRUE(wait_for([] { return figures().rescans == 1; }, 2s));
}

} // namespace
