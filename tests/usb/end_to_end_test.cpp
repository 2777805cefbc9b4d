// The device thread against the virtual board's host computer: enumeration as each host
// does it, the descriptors the host read, reports as the host decodes them, and the host's
// faults (not polling, reset, cleared halt, suspend).
#include "scripted_host.h"

#include "global.h"
#include "usb_conformance.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>
#include <utility>

using namespace usbtest;
using namespace std::chrono_literals;
using sim::EnumStyle;

namespace {

sim::UsbHost &host() { return board().host; }

// Device thread and host started; the host has enumerated and the device counts itself
// configured.
void bring_up(EnumStyle style = EnumStyle::Linux)
{
    host().set_style(style);
    ASSERT_TRUE(start_device_thread());
    host().start();
    ASSERT_TRUE(host().wait_configured(5s)) << host().snapshot().last_error;
    ASSERT_TRUE(wait_for([] { return configok() == 1; }, 1s));
}

Bytes bytes(const uint8_t *p, size_t n) { return Bytes(p, p + n); }

const uint8_t kNoKeys[11] = {};

// The host has accepted a mouse report moving x by `x`.
bool host_has_x(int16_t x)
{
    return wait_for([x] {
        for (auto &r : host().reports(0x81))
            if (int16_t(r.bytes[1] | r.bytes[2] << 8) == x)
                return true;
        return false;
    }, 1s);
}

TEST(EndToEnd, HostEnumeratesAndDecodesEveryReport)
{
    bring_up(); // configok follows the LED report, the first exchange on a data endpoint

    auto s = host().snapshot();
    EXPECT_EQ(s.state, sim::HostState::Configured);
    EXPECT_EQ(s.device_descriptor, bytes(MyDevDescr, 18));
    EXPECT_EQ(s.config_descriptor, bytes(MyCfgDescr, 66));
    EXPECT_EQ(s.report_descriptors[0], bytes(ReportDescriptor_mouse, 60));
    EXPECT_EQ(s.report_descriptors[1], bytes(ReportDescriptor_keyboard, 108));
    EXPECT_GE(s.outputs_sent, 1u);

    uint64_t cursor = host().report_seq();
    ASSERT_EQ(MouseSendReport(0x03, uint16_t(-5), 7, uint8_t(-1)), 0);
    const uint8_t keys[11] = {0x02, 0x04, 0x05};
    ASSERT_EQ(KeyboardSendReport(0, keys), 0);
    ASSERT_EQ(KeyboardSendReport(3, kNoKeys), 0);

    auto m = host().next_report(cursor, 1s);
    auto k = host().next_report(cursor, 1s);
    auto c = host().next_report(cursor, 1s);
    ASSERT_TRUE(m && k && c);
    EXPECT_EQ(m->ep, 0x81);
    EXPECT_EQ(m->bytes, (Bytes{0x03, 0xFB, 0xFF, 0x07, 0x00, 0xFF}));
    EXPECT_EQ(k->ep, 0x82);
    EXPECT_EQ(c->bytes, (Bytes{0x02, 0x04}));

    sim::HostView v = host().view();
    EXPECT_TRUE(v.button_held(1));
    EXPECT_TRUE(v.button_held(2));
    EXPECT_FALSE(v.button_held(3));
    EXPECT_EQ(v.x, -5);
    EXPECT_EQ(v.y, 7);
    EXPECT_EQ(v.wheel, -1);
    EXPECT_EQ(v.modifiers, 0x02);
    EXPECT_TRUE(v.key_held(0x04));
    EXPECT_TRUE(v.key_held(0x05));
    EXPECT_TRUE(v.key_held(0xE1)) << "left shift";
    EXPECT_EQ(v.consumer, 0x04) << "mute";
    EXPECT_EQ(v.malformed, 0u);
    EXPECT_EQ(host().snapshot().retransmissions, 0u);
}

TEST(EndToEnd, WindowsHostReadsTheStrings)
{
    bring_up(EnumStyle::Windows);
    auto s = host().snapshot();
    EXPECT_EQ(s.strings[0], bytes(MyLangDescr, 4));
    EXPECT_EQ(s.strings[1], bytes(MyManuInfo, 14));
    EXPECT_EQ(s.strings[2], bytes(MyProdInfo, 12));
    EXPECT_EQ(s.config_descriptor, bytes(MyCfgDescr, 66));
    EXPECT_EQ(MouseSendReport(0, 1, 0, 0), 0);
}

TEST(EndToEnd, HostFaultsAndRecovery)
{
    bring_up();
    auto sent_ok = [](int n, uint16_t x0) {
        for (int i = 0; i < n; ++i)
            if (MouseSendReport(0, uint16_t(x0 + i), 0, 0) != 0 || KeyboardSendReport(0, kNoKeys) != 0)
                return false;
        return true;
    };
    ASSERT_TRUE(sent_ok(5, 1));

    // Not polling: time-outs, one after the other; on resumption the report in the chip
    // goes out, the motion that waited behind it past the bound does not.
    host().stop_polling();
    EXPECT_EQ(MouseSendReport(0, 100, 0, 0), 1);
    EXPECT_EQ(MouseSendReport(0, 200, 0, 0), 1);
    EXPECT_EQ(KeyboardSendReport(2, kNoKeys), 1);
    host().resume_polling();
    ASSERT_TRUE(host().wait_view([](const sim::HostView &v) { return v.consumer == 0x02; }, 1s));
    ASSERT_TRUE(host_has_x(100));
    ASSERT_TRUE(sent_ok(5, 300));

    // A reset unconfigures until the host has enumerated again; toggles restart at DATA0.
    host().bus_reset();
    ASSERT_TRUE(host().wait_configured(5s));
    ASSERT_TRUE(wait_for([] { return configok() == 1; }, 1s));
    ASSERT_TRUE(sent_ok(3, 400));

    // A cleared halt: the device stays usable, the pipe restarts at DATA0.
    ASSERT_TRUE(host().clear_halt(0x81).ok());
    EXPECT_EQ(configok(), 1);
    ASSERT_TRUE(sent_ok(3, 500));

    // Suspended: nothing is collected; after the resume reports flow again.
    host().suspend();
    EXPECT_EQ(MouseSendReport(0, 600, 0, 0), 1);
    host().resume();
    ASSERT_TRUE(host_has_x(600));
    ASSERT_TRUE(sent_ok(3, 700));

    auto s = host().snapshot();
    EXPECT_EQ(s.retransmissions, 0u) << "no report went out with a repeated toggle";
    EXPECT_EQ(s.view.malformed, 0u);
    int64_t want = 0;
    for (int x0 : {1, 300, 400, 500, 700})
        for (int i = 0; i < (x0 == 1 || x0 == 300 ? 5 : 3); ++i)
            want += x0 + i;
    EXPECT_EQ(s.view.x, want + 100 + 600) << "every report collected exactly once, none played back late";
}

TEST(EndToEnd, SetconfigWhileTheHostEnumerates)
{
    // Another thread changes the identity while the host enumerates again and again: each
    // enumeration reads one whole pair (ThreadSanitizer sees a patch made outside the lock).
    bring_up();
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (unsigned i = 0; !stop.load(); ++i) {
            km_config = i % 2 ? km_config_t{0x1111, 0x2222, 1, 1} : km_config_t{0x3333, 0x4444, 1, 1};
            setconfig();
            std::this_thread::yield();
        }
    });
    std::set<std::pair<int, int>> seen;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(host().enumerate(EnumStyle::Linux)) << host().snapshot().last_error;
        const Bytes d = host().snapshot().device_descriptor;
        ASSERT_EQ(d.size(), 18u);
        seen.insert({d[8] << 8 | d[9], d[10] << 8 | d[11]});
    }
    stop = true;
    changer.join();
    for (const auto &[vid, pid] : seen)
        EXPECT_TRUE((vid == 0x1111 && pid == 0x2222) || (vid == 0x3333 && pid == 0x4444))
            << std::hex << vid << ":" << pid;
}

// One enumeration style per case: the conformance run passes every check the device is
// meant to pass; the table goes to standard output.
class Conformance : public ::testing::TestWithParam<EnumStyle> {};

TEST_P(Conformance, PassesEveryCheck)
{
    bring_up(GetParam());
    auto t = sim::run_conformance(host(), GetParam());
    std::fputs(t.text().c_str(), stderr);
    EXPECT_TRUE(t.passed()) << t.text();
    // Still a working device afterwards.
    ASSERT_TRUE(wait_for([] { return configok() == 1; }, 1s));
    EXPECT_EQ(MouseSendReport(0, 1, 0, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Styles, Conformance,
                         ::testing::Values(EnumStyle::Linux, EnumStyle::Windows, EnumStyle::MacOS,
                                           EnumStyle::Compliance, EnumStyle::Firmware),
                         [](const auto &info) { return std::string(sim::to_string(info.param)); });

} // namespace
