// What the host chooses of the HID class: boot or report protocol per interface, its LEDs by
// SET_REPORT, the idle rate, GET_REPORT; and a host away that must still converge on both
// states the keyboard endpoint carries.
#include "scripted_host.h"

#include "global.h"
#include "report_queue.h"
#include "tarvo.h"
#include "usbfunc.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace usbtest;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kMouseIf = 0, kKeyboardIf = 1;
const uint8_t kNoKeys[11] = {};

Packet set_protocol(uint8_t iface, uint8_t proto) { return request(0x21, 0x0B, proto, iface, 0); }
Packet get_protocol(uint8_t iface) { return request(0xA1, 0x03, 0, iface, 1); }
Packet set_idle(uint8_t iface, uint8_t quarter_ms) { return request(0x21, 0x0A, uint16_t(quarter_ms << 8), iface, 0); }
Packet get_idle(uint8_t iface) { return request(0xA1, 0x02, 0, iface, 1); }
Packet get_input_report(uint8_t iface, uint8_t id, uint16_t len) { return request(0xA1, 0x01, uint16_t(0x0100 | id), iface, len); }
Packet set_leds(uint8_t iface, uint8_t id, uint16_t len) { return request(0x21, 0x09, uint16_t(0x0200 | id), iface, len); }

class HostProtocols : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(start_device_thread());
        ASSERT_TRUE(host.configure(3));
        poller.start(1ms);
    }

    std::vector<Bytes> on(uint8_t ep) const
    {
        std::vector<Bytes> r;
        for (auto &p : poller.reports())
            if (p.ep == ep)
                r.push_back(p.data);
        return r;
    }
    bool settles_with(uint8_t ep, size_t n)
    {
        return wait_for([&] { return on(ep).size() >= n; }, 1s) && (std::this_thread::sleep_for(10ms), on(ep).size() == n);
    }
    void protocol(uint8_t iface, uint8_t proto)
    {
        ASSERT_EQ(host.control_nodata(set_protocol(iface, proto)), Handshake::Ack);
        EXPECT_EQ(host.control_in(get_protocol(iface)).data, Bytes{proto});
    }

    ScriptedHost host{await_service};
    Poller poller{3};
};

TEST_F(HostProtocols, BootReportsCarryEveryChangeAndASwitchNeitherLosesNorRepeatsOne)
{
    protocol(kKeyboardIf, 0);
    protocol(kMouseIf, 0);
    const uint8_t shift_a[11] = {0x02, 0x04};
    const uint8_t seven[11] = {0x01, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(KeyboardSendReport(0, shift_a), 0);
    ASSERT_EQ(KeyboardSendReport(0, seven), 0);
    EXPECT_EQ(KeyboardSendReport(1, kNoKeys), 1) << "consumer keys have no boot form: not collected";
    ASSERT_EQ(KeyboardSendReport(0, kNoKeys), 0);
    EXPECT_EQ(on(2), (std::vector<Bytes>{{0x02, 0, 0x04, 0, 0, 0, 0, 0}, {0x01, 0, 1, 1, 1, 1, 1, 1}, Bytes(8, 0)}));

    // Motion past a byte's range carries over; the caller is told once all of it went out.
    ASSERT_EQ(MouseSendReport(0x01, 300, static_cast<uint16_t>(-200), 5), 0);
    auto mouse = on(1);
    int x = 0, y = 0;
    for (auto &m : mouse) {
        ASSERT_EQ(m.size(), 3u);
        EXPECT_EQ(m[0], 0x01);
        x += int8_t(m[1]), y += int8_t(m[2]);
    }
    EXPECT_EQ(x, 300);
    EXPECT_EQ(y, -200);

    // A report waiting in the chip when the protocol changes goes out in the new format, and
    // the consumer key pressed in boot protocol follows it into report protocol.
    const uint8_t b[11] = {0, 0x05};
    poller.set_polling(false);
    ASSERT_NE(KeyboardQueueReport(0, b), 0u);
    protocol(kKeyboardIf, 1);
    poller.set_polling(true);
    ASSERT_TRUE(settles_with(2, 5));
    EXPECT_EQ(on(2)[3], (Bytes{0x01, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(on(2)[4], (Bytes{0x02, 0x01}));
    poller.set_polling(false);
    ASSERT_NE(KeyboardQueueReport(0, kNoKeys), 0u);
    ASSERT_NE(KeyboardQueueReport(9, kNoKeys), 0u); // consumer keys up, behind it
    protocol(kKeyboardIf, 0);
    poller.set_polling(true);
    ASSERT_TRUE(settles_with(2, 6));
    EXPECT_EQ(on(2)[5], Bytes(8, 0));
    protocol(kKeyboardIf, 1);
    ASSERT_TRUE(settles_with(2, 7));
    EXPECT_EQ(on(2)[6], (Bytes{0x02, 0x00}));

    // The mouse's report in the chip, made again: a firmware would read 16-bit axes as Y.
    poller.set_polling(false);
    ASSERT_NE(MouseQueueReport(0x02, 3, 0, 0), 0u);
    protocol(kMouseIf, 1);
    poller.set_polling(true);
    ASSERT_TRUE(settles_with(1, mouse.size() + 1));
    EXPECT_EQ(on(1).back(), (Bytes{0x02, 3, 0, 0, 0, 0}));
    EXPECT_EQ(poller.repeats(), 0);

    // A reset or a configuration returns both interfaces to report protocol.
    poller.set_polling(false);
    protocol(kKeyboardIf, 0);
    ASSERT_TRUE(host.configure(3));
    for (uint8_t i : {kMouseIf, kKeyboardIf})
        EXPECT_EQ(host.control_in(get_protocol(i)).data, Bytes{1});
}

TEST_F(HostProtocols, LedsBySetReportIdleRateAndTheCurrentReport)
{
    poller.set_polling(false);
    ASSERT_EQ(host.control_out(set_leds(kKeyboardIf, 0, 1), {0x02}), Handshake::Ack);
    EXPECT_EQ(USB_GetHostLeds(), 0x02) << "boot form: the bare byte";
    ASSERT_EQ(host.control_out(set_leds(kKeyboardIf, 1, 2), {0x01, 0x05}), Handshake::Ack);
    EXPECT_EQ(USB_GetHostLeds(), 0x05);
    EXPECT_EQ(host.setup(set_leds(kMouseIf, 0, 1)), Handshake::Ack);
    EXPECT_EQ(host.in(0).hs, Handshake::Stall) << "the mouse has no output report";
    EXPECT_EQ(USB_GetHostLeds(), 0x05);

    const uint8_t a[11] = {0x04, 0x04};
    ASSERT_NE(KeyboardQueueReport(0, a), 0u);
    ASSERT_NE(MouseQueueReport(0x03, 40, 0, 0), 0u);
    EXPECT_EQ(host.control_in(get_input_report(kKeyboardIf, 1, 64)).data, (Bytes{0x01, 0x04, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host.control_in(get_input_report(kMouseIf, 0, 64)).data, (Bytes{0x03, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host.control_in(get_input_report(kKeyboardIf, 2, 64)).data, (Bytes{0x02, 0}));
    ASSERT_EQ(host.control_nodata(set_protocol(kKeyboardIf, 0)), Handshake::Ack);
    EXPECT_EQ(host.control_in(get_input_report(kKeyboardIf, 0, 8)).data, (Bytes{0x04, 0, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host.control_in(get_idle(kKeyboardIf)).data, Bytes{0});

    // A non-zero idle rate repeats the unchanged report; 0 stops it.
    ASSERT_EQ(host.control_nodata(set_idle(kKeyboardIf, 3)), Handshake::Ack);
    EXPECT_EQ(host.control_in(get_idle(kKeyboardIf)).data, Bytes{3});
    poller.set_polling(true);
    ASSERT_TRUE(wait_for([&] { return on(2).size() >= 5; }, 1s));
    for (auto &r : on(2))
        EXPECT_EQ(r, (Bytes{0x04, 0, 0x04, 0, 0, 0, 0, 0}));
    poller.set_polling(false);
    ASSERT_EQ(host.control_nodata(set_idle(kKeyboardIf, 0)), Handshake::Ack);
    poller.set_polling(true);
    std::this_thread::sleep_for(20ms); // the repeat armed before SET_IDLE goes out
    const size_t n = on(2).size();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(on(2).size(), n);
    EXPECT_EQ(poller.repeats(), 0);
}

// While the host is away the keyboard endpoint keeps the newest report of each of its two
// states: collapsing them into one would leave a consumer key or a key held at the host.
TEST_F(HostProtocols, AnAbsentHostGetsBothKeysAndConsumerKeysCurrent)
{
    const uint8_t a[11] = {0, 0x04}, b[11] = {0, 0x05};
    ASSERT_EQ(KeyboardSendReport(1, kNoKeys), 0);
    ASSERT_EQ(KeyboardSendReport(0, a), 0);
    poller.set_polling(false);
    ASSERT_NE(KeyboardQueueReport(0, kNoKeys), 0u); // in the chip
    ScriptedHost::locked([](auto &c) { c.suspend(); return 0; });
    ASSERT_NE(KeyboardQueueReport(9, kNoKeys), 0u);
    ASSERT_NE(KeyboardQueueReport(0, b), 0u);
    std::this_thread::sleep_for(150ms); // past the bound: what waits collapses
    ASSERT_NE(KeyboardQueueReport(0, kNoKeys), 0u);
    ASSERT_NE(KeyboardQueueReport(2, kNoKeys), 0u);
    ASSERT_NE(KeyboardQueueReport(0, a), 0u);
    ScriptedHost::locked([](auto &c) { c.resume(); return 0; });
    poller.set_polling(true);
    ASSERT_TRUE(wait_for([&] { return on(2).size() >= 5; }, 1s));
    std::this_thread::sleep_for(20ms);
    Bytes keys, consumer;
    for (auto &r : on(2))
        (r[0] == 0x02 ? consumer : keys) = r;
    EXPECT_EQ(consumer, (Bytes{0x02, 0x02}));
    EXPECT_EQ(keys, (Bytes{0x01, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_LE(on(2).size(), 5u) << "nothing old played back";
}

} // namespace
