// Report transmission with the device thread running: what the host receives, the data
// toggles it checks, and the completion handshake with a host that polls normally, slowly
// or not at all.
#include "scripted_host.h"

#include "chipio.h"
#include "global.h"
#include "hidbridge.h"
#include "report_queue.h"
#include "tarvo.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <random>
#include <set>

using namespace usbtest;
using namespace std::chrono_literals;
using sim::Ch374Model;

namespace {

const uint8_t kNoKeys[11] = {};

Bytes mouse_bytes(uint8_t b, int16_t x, int16_t y, int8_t w)
{
    return {b, uint8_t(x & 0xFF), uint8_t(uint16_t(x) >> 8), uint8_t(y & 0xFF), uint8_t(uint16_t(y) >> 8), uint8_t(w)};
}

int send_mouse(int16_t x) { return MouseSendReport(0, static_cast<uint16_t>(x), 0, 0); }

class Reports : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(start_device_thread());
        ASSERT_TRUE(host.configure(3));
        ASSERT_EQ(configok(), 1);
        poller.start(1ms);
    }

    // The x values of the mouse reports the host accepted, in order.
    std::vector<int> host_xs() const
    {
        std::vector<int> xs;
        for (auto &r : poller.reports())
            if (r.ep == 1)
                xs.push_back(int16_t(r.data[1] | r.data[2] << 8));
        return xs;
    }

    ScriptedHost host{await_service};
    Poller poller{3};
};

TEST(ReportsUnconfigured, RefusedWithoutTouchingTheChip)
{
    board();
    ASSERT_EQ(configok(), 0);
    board().chip.clear_transfers();
    EXPECT_EQ(MouseSendReport(1, 2, 3, 4), err_DeviceDisconnected);
    EXPECT_EQ(KeyboardSendReport(0, kNoKeys), err_DeviceDisconnected);
    EXPECT_EQ(KeyboardSendReport(3, kNoKeys), err_DeviceDisconnected);
    EXPECT_TRUE(board().chip.transfers().empty());
}

TEST_F(Reports, HostReceivesEachFormat)
{
    EXPECT_EQ(MouseSendReport(0x05, 0xFFFF, 1, 0xFE), 0);
    const uint8_t keys[11] = {0x02, 0x04, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x27};
    EXPECT_EQ(KeyboardSendReport(0, keys), 0);
    struct Media {
        uint8_t media, bits;
    };
    const Media media[] = {{1, 0x01}, {3, 0x04}, {7, 0x40}, {8, 0x80}, {9, 0x00}, {0x80, 0x00}};
    for (auto m : media)
        EXPECT_EQ(KeyboardSendReport(m.media, kNoKeys), 0) << int(m.media);

    auto got = poller.reports();
    ASSERT_EQ(got.size(), 2 + std::size(media));
    EXPECT_EQ(got[0].ep, 1);
    EXPECT_EQ(got[0].data, mouse_bytes(0x05, -1, 1, -2));
    EXPECT_EQ(got[1].ep, 2);
    EXPECT_EQ(got[1].data, (Bytes{0x01, 0x02, 0x04, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x27}));
    for (size_t i = 0; i < std::size(media); ++i)
        EXPECT_EQ(got[2 + i].data, (Bytes{0x02, media[i].bits})) << int(media[i].media);
    EXPECT_EQ(poller.repeats(), 0);
}

TEST_F(Reports, TogglesStartAtData0AfterResetConfigurationAndClearedHalt)
{
    auto toggles = [&](uint8_t ep) {
        std::vector<uint8_t> t;
        for (auto &r : poller.reports())
            if (r.ep == ep)
                t.push_back(r.toggle);
        return t;
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(send_mouse(i), 0);
        ASSERT_EQ(KeyboardSendReport(i % 2 ? 0 : 2, kNoKeys), 0);
    }
    EXPECT_EQ(toggles(1), (std::vector<uint8_t>{0, 1, 0}));
    EXPECT_EQ(toggles(2), (std::vector<uint8_t>{0, 1, 0}));

    // Each of these restarts both sides of a pipe at DATA0; a device that carries on
    // with its own toggle has every other report dropped by the host.
    const std::function<void()> restarts[] = {
        [&] { ASSERT_TRUE(host.configure(3)); },
        [&] {
            ASSERT_EQ(host.control_nodata(request(0x00, 0x09, 1, 0, 0)), Handshake::Ack);
            ASSERT_EQ(host.out(2, 1, {0x01, 0x00}), Handshake::Ack);
        },
        [&] {
            ASSERT_EQ(host.control_nodata(request(0x02, 0x01, 0, 0x81, 0)), Handshake::Ack);
            ASSERT_EQ(host.control_nodata(request(0x02, 0x01, 0, 0x82, 0)), Handshake::Ack);
            ASSERT_EQ(host.out(2, 1, {0x01, 0x00}), Handshake::Ack);
        },
    };
    uint8_t armed = 0;
    for (auto &restart : restarts) {
        // A change of buttons waiting in the chip when the pipe restarts is not lost: it
        // goes out first, as DATA0 (kept with its old toggle the host would drop it as a
        // repeat).
        poller.set_polling(false);
        size_t before = toggles(1).size();
        armed = static_cast<uint8_t>(armed % 7 + 1);
        ASSERT_EQ(MouseSendReport(armed, 0, 0, 0), 1);
        restart();
        poller.reset_toggles();
        poller.set_polling(true);
        // An odd number of reports each time, so a device that did not restart would
        // begin the next round with DATA1.
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(send_mouse(int16_t(10 + i)), 0);
        ASSERT_EQ(KeyboardSendReport(0, kNoKeys), 0);
        auto t1 = toggles(1);
        ASSERT_EQ(t1.size(), before + 3);
        EXPECT_EQ(std::vector<uint8_t>(t1.begin() + before, t1.end()), (std::vector<uint8_t>{0, 1, 0}));
        size_t i = 0;
        for (auto &r : poller.reports()) {
            if (r.ep == 1 && i++ == before) {
                EXPECT_EQ(r.data[0], armed);
            }
        }
        EXPECT_EQ(toggles(2).back(), 0);
    }
    EXPECT_EQ(poller.repeats(), 0);
}

TEST_F(Reports, EachSendReturnsOnceTheHostHasThatReport)
{
    // Normal polling: every report arrives, once, in order.
    std::vector<int> sent;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(send_mouse(int16_t(i)), 0);
        sent.push_back(i);
        ASSERT_EQ(host_xs(), sent) << "returned 0 before the host had report " << i;
    }

    // Slow polling, well inside the 100 ms: the sender waits for each poll. Counts from
    // start-up or from earlier reports must not let a send return early.
    poller.set_period(25ms);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(send_mouse(int16_t(1000 + i)), 0);
        sent.push_back(1000 + i);
        ASSERT_EQ(host_xs(), sent);
        ASSERT_EQ(KeyboardSendReport(uint8_t(1 + i % 2), kNoKeys), 0);
        ASSERT_EQ(poller.reports().back().data, (Bytes{0x02, uint8_t(1 << (i % 2))}));
    }
    EXPECT_EQ(poller.repeats(), 0);
}

TEST_F(Reports, TimeOutWhileTheHostDoesNotPollAndRecoveryAfter)
{
    ASSERT_EQ(send_mouse(1), 0);
    ASSERT_EQ(KeyboardSendReport(0, kNoKeys), 0);
    poller.set_polling(false);
    testing::internal::CaptureStdout();
    // A time-out must not leave a count behind that makes the next send "succeed".
    EXPECT_EQ(send_mouse(2), 1);
    EXPECT_EQ(send_mouse(3), 1);
    EXPECT_EQ(KeyboardSendReport(4, kNoKeys), 1);
    EXPECT_EQ(KeyboardSendReport(5, kNoKeys), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "mouse tx timeout\nkeyboard tx timeout\n") << "one message per endpoint while the host is away";

    // Once the host polls again the reports in the chip go out, each with the next toggle,
    // and behind them only the current state: the keyboard's newest report; the mouse's
    // motion its caller was told was not collected is not played back.
    poller.set_polling(true);
    auto until = std::chrono::steady_clock::now() + 1s;
    while (poller.reports().size() < 5 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    auto got = poller.reports();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(host_xs(), (std::vector<int>{1, 2}));
    std::vector<Bytes> keyboard;
    for (auto &r : got)
        if (r.ep == 2)
            keyboard.push_back(r.data);
    EXPECT_EQ(keyboard, (std::vector<Bytes>{{0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0x02, 0x08}, {0x02, 0x10}}));
    EXPECT_EQ(send_mouse(4), 0);
    EXPECT_EQ(KeyboardSendReport(1, kNoKeys), 0);
    EXPECT_EQ(host_xs(), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(poller.reports().back().data, (Bytes{0x02, 0x01}));
    EXPECT_EQ(poller.repeats(), 0);
}

TEST_F(Reports, PollingAroundTheTimeOutNeverLosesAReportCalledCollected)
{
    // The host polls at about the 100 ms limit, so reports are collected just before, just
    // after, or while the next one is being armed. A report the sender was told about must
    // be with the host; nothing may arrive twice or be dropped as a repeat.
    poller.set_period(97ms);
    std::mt19937 rng(7);
    std::vector<int> told_collected;
    for (int i = 0; i < 24; ++i) {
        poller.set_period(std::chrono::microseconds(90000 + rng() % 20000));
        int r = send_mouse(int16_t(100 + i));
        ASSERT_TRUE(r == 0 || r == 1);
        if (r == 0)
            told_collected.push_back(100 + i);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    }
    poller.set_period(1ms);
    std::this_thread::sleep_for(20ms);
    auto xs = host_xs();
    for (int x : told_collected)
        EXPECT_NE(std::find(xs.begin(), xs.end(), x), xs.end()) << x << " reported collected, never arrived";
    for (size_t i = 1; i < xs.size(); ++i)
        EXPECT_LT(xs[i - 1], xs[i]) << "out of order or twice";
    EXPECT_EQ(poller.repeats(), 0);
    EXPECT_FALSE(told_collected.empty());
}

// No device thread: the test decides when the chip's events are served.
class ReportsServedByTheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        board();
        ASSERT_EQ(CH374U_SPI_init(), 0);
        Init374Device(1);
        ASSERT_TRUE(host.configure(3));
    }
    static InPacket take() { return ScriptedHost::locked([](auto &c) { return c.in(3, 1); }); }
    ScriptedHost host{serve_now};
};

TEST_F(ReportsServedByTheTest, AReportHandedOverWhileOneWaitsInTheChipFollowsIt)
{

    ASSERT_EQ(send_mouse(1), 1) << "nobody serves, nobody polls";
    // The next report waits behind the one in the chip; it neither replaces it nor is lost.
    auto b = std::async(std::launch::async, [] { return send_mouse(2); });
    std::this_thread::sleep_for(10ms);
    InPacket a = take();
    ASSERT_EQ(a.hs, Handshake::Ack);
    EXPECT_EQ(a.toggle, 0);
    EXPECT_EQ(a.data[1], 1);
    EXPECT_EQ(take().hs, Handshake::Nak) << "nothing new before the completion is served";
    serve_now();

    InPacket p = take();
    ASSERT_EQ(p.hs, Handshake::Ack) << "the waiting report was not armed by the completion";
    EXPECT_EQ(p.toggle, 1);
    EXPECT_EQ(p.data[1], 2);
    serve_now();
    EXPECT_EQ(b.get(), 0);
}

} // namespace

// Restarts, pauses and absences of the host: it ends up with the current state, never gets a
// report twice and is never played old input.

const uint8_t kKeyA[11] = {0, 0x04};

Bytes keyboard_bytes(const uint8_t *keys)
{
    Bytes b(12, 0x01);
    std::copy(keys, keys + 11, b.begin() + 1);
    return b;
}

class HostAway : public Reports {
protected:
    bool host_ends_with(const Bytes &keys, std::chrono::milliseconds timeout = 1s)
    {
        return wait_for(
            [&] {
                auto r = poller.reports();
                for (auto it = r.rbegin(); it != r.rend(); ++it)
                    if (it->ep == 2)
                        return it->data == keys;
                return false;
            },
            timeout);
    }
    size_t keyboard_reports() const
    {
        auto r = poller.reports();
        return static_cast<size_t>(std::count_if(r.begin(), r.end(), [](auto &x) { return x.ep == 2; }));
    }
};

TEST_F(HostAway, AReleaseAfterReconfigurationReachesTheHostWithOrWithoutItsLedReport)
{
    ASSERT_EQ(KeyboardSendReport(0, kKeyA), 0);
    // The host keeps its input device across a reset (reset-resume) and configures again;
    // the key is let go before its LED report, which may come late or never.
    poller.set_polling(false);
    host.bus_reset();
    ASSERT_EQ(host.control_nodata(request(0x00, 0x05, 3, 0, 0)), Handshake::Ack);
    host.addr = 3;
    ASSERT_EQ(host.control_nodata(request(0x00, 0x09, 1, 0, 0)), Handshake::Ack);
    EXPECT_NE(KeyboardQueueReport(0, kNoKeys), 0u);
    poller.reset_toggles();
    poller.set_polling(true);
    EXPECT_TRUE(host_ends_with(keyboard_bytes(kNoKeys))) << "the host still holds A";
    EXPECT_EQ(KeyboardSendReport(0, kKeyA), 0) << "mute until the LED report";
    EXPECT_EQ(poller.repeats(), 0);
}

TEST_F(Reports, TheHostsLedsAsItsLastOutputReportSetThem)
{
    EXPECT_EQ(km_query_leds(), 0) << "configure() sent {0x01, 0x00}";
    uint8_t toggle = 1;
    for (uint8_t leds : {0x02, 0x03, 0x00, 0x1F}) {
        ASSERT_EQ(host.out(2, toggle, {0x01, leds}), Handshake::Ack);
        toggle ^= 1;
        EXPECT_EQ(km_query_leds(), leds);
    }
    // A report of the wrong shape changes nothing.
    ASSERT_EQ(host.out(2, toggle, {0x02, 0x04}), Handshake::Ack);
    EXPECT_EQ(km_query_leds(), 0x1F);
}

TEST_F(HostAway, WaitersAreToldAtOnceWhenTheHostStopsUsingTheDevice)
{
    const std::function<void()> endings[] = {
        [&] { ASSERT_EQ(host.control_nodata(request(0x00, 0x09, 0, 0, 0)), Handshake::Ack); },
        [&] { host.bus_reset(); },
    };
    for (auto &end : endings) {
        poller.set_polling(false);
        auto waiting = std::async(std::launch::async, [] { return send_mouse(7); });
        std::this_thread::sleep_for(10ms);
        end();
        EXPECT_EQ(waiting.get(), err_DeviceDisconnected);
        EXPECT_EQ(configok(), 0);
        ASSERT_TRUE(host.configure(3));
        poller.reset_toggles();
        poller.set_polling(true);
    }
}

TEST_F(HostAway, AKeyboardTheHostSkippedForAFewFramesIsServedWhileTheMouseStreams)
{
    poller.stop();
    // A host polls both endpoints microseconds apart within a frame: the device cannot serve
    // the mouse's completion before the keyboard's token, which the chip NAKs meanwhile.
    int keyboard_taken = 0;
    auto frame = [&](bool keyboard) {
        MouseQueueReport(0, 1, 0, 0);
        ScriptedHost::locked([&](auto &c) {
            c.in(3, 1);
            if (keyboard && c.in(3, 2).hs == Handshake::Ack)
                ++keyboard_taken;
            return 0;
        });
        std::this_thread::sleep_for(1ms);
    };
    KeyboardQueueReport(0, kKeyA);
    for (int i = 0; i < 5; ++i)
        frame(false); // skipped while both endpoints have a report waiting
    for (int i = 0; i < 200 && !keyboard_taken; ++i)
        frame(true);
    EXPECT_EQ(keyboard_taken, 1) << "no key report while the mouse moves";
}

TEST_F(HostAway, NothingOldIsPlayedBackAndADisplacedCallerIsToldSo)
{
    // 200 taps while the host sleeps: it wakes to the press already in the chip and the
    // current state, not to a stream of old presses into whatever has the focus by then.
    const auto taps = [&](int n, std::chrono::milliseconds gap) {
        for (int i = 0; i < n; ++i) {
            KeyboardQueueReport(0, kKeyA);
            KeyboardQueueReport(0, kNoKeys);
            std::this_thread::sleep_for(gap);
        }
    };
    size_t before = keyboard_reports();
    ScriptedHost::locked([](auto &c) { c.suspend(); return 0; });
    taps(200, 1ms);
    ScriptedHost::locked([](auto &c) { c.resume(); return 0; });
    ASSERT_TRUE(host_ends_with(keyboard_bytes(kNoKeys)));
    std::this_thread::sleep_for(20ms);
    EXPECT_LE(keyboard_reports() - before, 2u);

    // A host that only stopped polling for a few hundred milliseconds (busy, a virtual machine
    // catching up) still gets every tap.
    before = keyboard_reports();
    poller.set_polling(false);
    taps(100, 3ms); // 300 ms and more
    poller.set_polling(true);
    ASSERT_TRUE(wait_for([&] { return keyboard_reports() - before >= 200; }, 2s)) << keyboard_reports() - before;

    // More changes than the queue holds, the host away for a moment only: a caller whose
    // report gave way to a newer one is told 1; 0 only for a report the host has.
    poller.set_polling(false);
    std::vector<std::pair<uint32_t, Bytes>> sent;
    for (int i = 0; i < 300; ++i) {
        const uint8_t keys[11] = {0, uint8_t(4 + i % 26), uint8_t(4 + i / 26)};
        sent.emplace_back(KeyboardQueueReport(0, keys), keyboard_bytes(keys));
    }
    poller.set_polling(true);
    ASSERT_TRUE(host_ends_with(sent.back().second, 2s));
    std::set<Bytes> got;
    for (auto &r : poller.reports())
        got.insert(r.data);
    int displaced = 0;
    for (auto &[ticket, bytes] : sent) {
        int r = KeyboardWaitReport(ticket);
        if (r == 0) {
            EXPECT_TRUE(got.count(bytes)) << "told 0 for a report the host never had";
        }
        displaced += r == 1;
    }
    EXPECT_GT(displaced, 0);
}

TEST_F(ReportsServedByTheTest, AReportTakenJustBeforeABusResetIsNotSentAgain)
{
    auto sent = std::async(std::launch::async, [] { return send_mouse(1); });
    ASSERT_TRUE(wait_for([] { return take().hs == Handshake::Ack; }, 1s));
    // The host resets the bus before the device has served that completion: both events
    // wait in the chip together.
    host.bus_reset();
    ASSERT_TRUE(host.configure(3));
    EXPECT_EQ(take().hs, Handshake::Nak) << "the report the host already had went out again";
    sent.get();
}
