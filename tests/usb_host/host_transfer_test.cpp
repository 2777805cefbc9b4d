#include "host_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace reftest;
using namespace std::chrono_literals;
using sim::ControlOptions;
using sim::EnumStyle;
using sim::Handshake;
using sim::Setup;
using sim::TokenKind;
using sim::XferStatus;

namespace {

struct Ready : Rig {
    explicit Ready(sim::HostOptions o = quick()) : Rig(o)
    {
        host.start();
        ready = host.wait_configured(2s);
    }
    bool ready = false;
};

const Setup kGetDevice = Setup::get_descriptor(sim::usb::DescDevice, 0, 18);

} // namespace

TEST(ControlTransfer, DataStagesAndHandshakes)
{
    Ready rig;
    ASSERT_TRUE(rig.ready);
    auto &h = rig.host;

    // Reads cut by wLength and ended by a short packet.
    EXPECT_EQ(h.control(Setup::get_descriptor(sim::usb::DescConfig, 0, 9)).data,
              std::vector<uint8_t>(kConfig.begin(), kConfig.begin() + 9));
    EXPECT_EQ(h.control(Setup::get_descriptor(sim::usb::DescConfig, 0, 16)).data,
              std::vector<uint8_t>(kConfig.begin(), kConfig.begin() + 16));
    EXPECT_EQ(h.control(Setup::get_descriptor(sim::usb::DescConfig, 0, 0x400)).data, kConfig);
    auto zero = h.control(Setup::get_descriptor(sim::usb::DescDevice, 0, 0));
    EXPECT_TRUE(zero.ok());
    EXPECT_TRUE(zero.data.empty());

    // An OUT data stage goes in packets of the endpoint's size, DATA1 first, then an IN status.
    h.clear_logs();
    std::vector<uint8_t> out(20);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint8_t(i + 1);
    EXPECT_TRUE(h.control(Setup::std(0x40, 0x01, 0, 0, 20), out).ok());
    EXPECT_EQ(rig.dev.vendor_data(), out);
    std::vector<std::pair<int, int>> outs; // (length, toggle)
    TokenKind last = TokenKind::Setup;
    for (auto &t : h.transactions())
        if (t.ep == 0 && t.kind == TokenKind::Out) {
            outs.emplace_back(t.len, t.toggle);
        } else if (t.ep == 0x80 && t.kind == TokenKind::In && t.hs == Handshake::Ack) {
            last = TokenKind::In;
            EXPECT_EQ(t.len, 0);
            EXPECT_EQ(t.toggle, 1);
        }
    EXPECT_EQ(outs, (std::vector<std::pair<int, int>>{{8, 1}, {8, 0}, {4, 1}}));
    EXPECT_EQ(last, TokenKind::In);

    // NAKs are retried within the transfer's budget...
    RefDevice::Faults f;
    f.nak_ep0 = 5;
    rig.dev.set_faults(f);
    auto r = h.control(kGetDevice);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.data, kDevice);
    // ...and a device that never stops NAKing ends the transfer, not the host.
    f = {};
    f.nak_ep0_forever = true;
    rig.dev.set_faults(f);
    EXPECT_EQ(h.control(kGetDevice).status, XferStatus::NakTimeout);
    rig.dev.set_faults({});
    EXPECT_EQ(h.control(kGetDevice).data, kDevice);

    // A stall ends the transfer; the next SETUP clears it on a sound device.
    r = h.control(Setup::get_descriptor(sim::usb::DescQualifier, 0, 10));
    EXPECT_EQ(r.status, XferStatus::Stall);
    EXPECT_EQ(h.control(kGetDevice).data, kDevice);
    // On a device where it sticks the host sees the next transfer stalled too.
    f = {};
    f.stall_sticks = true;
    rig.dev.set_faults(f);
    EXPECT_TRUE(h.control(Setup::get_descriptor(sim::usb::DescQualifier, 0, 10)).stalled());
    EXPECT_TRUE(h.control(kGetDevice).stalled());
    rig.dev.set_faults({});

    // Too long a packet, or more than asked for, are errors.
    f = {};
    f.babble_ep0 = true;
    rig.dev.set_faults(f);
    EXPECT_EQ(h.control(kGetDevice).status, XferStatus::Babble);
    rig.dev.set_faults({});
    ControlOptions big;
    big.max_packet = 64;
    EXPECT_EQ(h.control(Setup::get_descriptor(sim::usb::DescConfig, 0, 9), {}, big).data.size(), 8u)
        << "with a 64-byte packet size the first 8-byte packet is short and ends the stage";

    // A data packet with the toggle the host does not expect is taken for a repeat and dropped.
    f = {};
    f.ep0_wrong_first_toggle = true;
    rig.dev.set_faults(f);
    h.clear_logs();
    r = h.control(kGetDevice);
    EXPECT_EQ(r.data, std::vector<uint8_t>(kDevice.begin() + 8, kDevice.end()));
    auto log = h.transactions();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](auto &t) { return t.dropped; }), 1);
    rig.dev.set_faults({});

    // Every transfer is in the control log with its result.
    auto cl = h.control_log();
    ASSERT_FALSE(cl.empty());
    EXPECT_EQ(cl.back().setup.request, sim::usb::GetDescriptor);
    EXPECT_EQ(cl.back().address, 2);
    EXPECT_EQ(cl.back().result.data, r.data);
}

TEST(ControlTransfer, AbandonedTransfers)
{
    Ready rig;
    ASSERT_TRUE(rig.ready);
    using A = ControlOptions::Abandon;
    for (A a : {A::AfterSetup, A::AfterData, A::BeforeStatus}) {
        ControlOptions o;
        o.abandon = a;
        auto r = rig.host.control(Setup::get_descriptor(sim::usb::DescConfig, 0, 66), {}, o);
        EXPECT_EQ(r.status, XferStatus::Abandoned);
        EXPECT_EQ(r.data.size(), a == A::AfterSetup ? 0u : a == A::AfterData ? 8u : 66u);
        EXPECT_EQ(rig.host.control(kGetDevice).data, kDevice) << int(a);
    }
}

TEST(InterruptIn, TogglesRetransmissionsAndOrder)
{
    Ready rig;
    ASSERT_TRUE(rig.ready);
    auto &h = rig.host;
    uint64_t cursor = h.report_seq();

    rig.dev.queue_report(0x81, mouse(0x01, 10, -5, 1));
    rig.dev.queue_report(0x81, mouse(0x00, 10, -5, 1));
    rig.dev.queue_report(0x82, keyboard(0x00, {0x04}));
    ASSERT_TRUE(h.wait_reports(0x81, 2, 1s));
    ASSERT_TRUE(h.wait_reports(0x82, 1, 1s));
    auto mice = h.reports(0x81);
    ASSERT_EQ(mice.size(), 2u);
    EXPECT_EQ(mice[0].toggle, 0);
    EXPECT_EQ(mice[1].toggle, 1);
    EXPECT_EQ(mice[0].bytes, mouse(0x01, 10, -5, 1));

    // Collected in arrival order across both endpoints.
    std::vector<uint8_t> eps;
    while (auto r = h.next_report(cursor, 100ms))
        eps.push_back(r->ep);
    EXPECT_EQ(eps.size(), 3u);
    EXPECT_EQ(std::count(eps.begin(), eps.end(), 0x81), 2);
    EXPECT_EQ(cursor, h.report_seq());

    // The device sends the last packet again with the same toggle: ACKed, then dropped.
    rig.dev.resend_last(0x81);
    rig.dev.queue_report(0x81, mouse(0x00, 1, 1, 0));
    ASSERT_TRUE(h.wait_reports(0x81, 3, 1s));
    std::this_thread::sleep_for(10ms);
    auto s = h.snapshot();
    EXPECT_EQ(s.reports[0x81], 3u);
    EXPECT_EQ(s.retransmissions, 1u);
    EXPECT_EQ(h.reports(0x81).back().bytes, mouse(0x00, 1, 1, 0));
    EXPECT_EQ(h.reports(0x81).back().toggle, 0);
    EXPECT_EQ(s.view.x, 21);
    EXPECT_EQ(s.view.y, -9);
    EXPECT_EQ(s.view.button_presses[0], 1u);

    // A report longer than the endpoint's maximum is not taken.
    rig.dev.queue_report(0x81, std::vector<uint8_t>(9, 0x01));
    ASSERT_TRUE(eventually([&] { return h.snapshot().in_errors > 0; }));
    EXPECT_EQ(h.snapshot().reports[0x81], 3u);
}

TEST(InterruptIn, HaltedEndpoint)
{
    {
        // Like usbhid: a stall is answered with CLEAR_FEATURE, both sides restart at DATA0.
        Ready rig;
        ASSERT_TRUE(rig.ready);
        rig.dev.queue_report(0x82, keyboard(0, {0x05}));
        ASSERT_TRUE(rig.host.wait_reports(0x82, 1, 1s));
        rig.dev.halt(0x82);
        ASSERT_TRUE(eventually([&] {
            auto rs = rig.dev.requests();
            return std::any_of(rs.begin(), rs.end(), [](auto &r) { return r.request() == 0x01 && r.index() == 0x82; });
        }));
        rig.dev.queue_report(0x82, keyboard(0, {}));
        ASSERT_TRUE(rig.host.wait_reports(0x82, 2, 1s));
        EXPECT_EQ(rig.host.reports(0x82).back().toggle, 0);
        EXPECT_GE(rig.host.snapshot().in_stalls, 1u);
        EXPECT_FALSE(rig.host.view().key_held(0x05));
    }
    {
        // Without it the endpoint stays halted, the other one is still polled.
        auto o = quick();
        o.auto_clear_halt = false;
        Ready rig(o);
        ASSERT_TRUE(rig.ready);
        rig.dev.halt(0x81);
        std::this_thread::sleep_for(10ms);
        unsigned ep1 = rig.dev.ins(1), ep2 = rig.dev.ins(2);
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(rig.dev.ins(1), ep1);
        EXPECT_GT(rig.dev.ins(2), ep2);
        EXPECT_TRUE(rig.host.clear_halt(0x81).ok());
        rig.dev.queue_report(0x81, mouse(0, 3, 0, 0));
        ASSERT_TRUE(rig.host.wait_reports(0x81, 1, 1s));
        EXPECT_EQ(rig.host.view().x, 3);
    }
}

TEST(InterruptOut, OutputReports)
{
    Rig cold;
    const uint8_t leds[2] = {0x01, 0x02};
    EXPECT_FALSE(cold.host.send_output(0x02, leds, 20ms)) << "nothing to send to before configuration";

    Ready rig;
    ASSERT_TRUE(rig.ready);
    EXPECT_TRUE(rig.host.set_leds(0x02));
    EXPECT_TRUE(rig.host.set_leds(0x03));
    EXPECT_EQ(rig.dev.outputs(), (std::vector<std::vector<uint8_t>>{{0x01, 0x00}, {0x01, 0x02}, {0x01, 0x03}}));
    EXPECT_EQ(rig.dev.out_toggle_errors(), 0u);

    // After a reset the enumeration's LED report starts at DATA0 again.
    rig.host.bus_reset();
    ASSERT_TRUE(rig.host.wait_configured(1s));
    EXPECT_EQ(rig.dev.outputs().size(), 4u);
    EXPECT_EQ(rig.dev.out_toggle_errors(), 0u);

    rig.dev.halt(0x02);
    EXPECT_FALSE(rig.host.set_leds(0x01));
    EXPECT_EQ(rig.host.snapshot().out_errors, 1u);
}

// A computer answers its lock keys with the LED report: on EP2 OUT, or by SET_REPORT in boot
// protocol from firmware.
TEST(InterruptOut, LedsFollowTheLockKeys)
{
    for (EnumStyle style : {EnumStyle::Linux, EnumStyle::Firmware}) {
        sim::HostOptions o = quick(style);
        o.lock_leds = true;
        Rig rig(o);
        rig.dev.set_boot(true);
        rig.host.start();
        ASSERT_TRUE(rig.host.wait_configured(2s));
        const bool boot = style == EnumStyle::Firmware;
        for (uint8_t key : {0x39, 0x00, 0x53, 0x00, 0x39, 0x00}) // Caps, Num, Caps again
            rig.dev.queue_report(0x82, boot ? std::vector<uint8_t>{0, 0, key, 0, 0, 0, 0, 0} : keyboard(0, {key}));
        auto want = [boot](uint8_t leds) { return boot ? std::vector<uint8_t>{leds} : std::vector<uint8_t>{0x01, leds}; };
        EXPECT_TRUE(eventually([&] { return rig.dev.outputs().size() == 4; })) << rig.dev.outputs().size();
        EXPECT_EQ(rig.dev.outputs(), (std::vector<std::vector<uint8_t>>{want(0), want(0x02), want(0x03), want(0x01)}));
        rig.host.bus_reset(); // the enumeration's LED report carries the state
        EXPECT_EQ(rig.dev.outputs().back(), want(0x01));
    }
}

TEST(InterruptIn, ReportIsInTheViewOnceTheDeviceSentIt)
{
    // A sender learns of the collection from the device; by then the host must show it.
    Ready rig;
    ASSERT_TRUE(rig.ready);
    for (int i = 1; i <= 500; ++i) {
        rig.dev.queue_report(0x81, mouse(0, 1, 0, 0));
        auto until = std::chrono::steady_clock::now() + 1s;
        while (rig.dev.queued(0x81) && std::chrono::steady_clock::now() < until) {
        } // spin: the moment it is gone counts
        ASSERT_EQ(rig.host.view().x, i);
    }
}

TEST(InterruptIn, PolledOnlyWhileTheInputIsOpen)
{
    sim::HostOptions o = quick();
    o.poll_only_open = true;
    Ready rig(o);
    ASSERT_TRUE(rig.ready);
    auto &h = rig.host;
    auto ins = [&](uint8_t ep) {
        auto log = h.transactions();
        return std::count_if(log.begin(), log.end(),
                             [&](auto &t) { return t.kind == TokenKind::In && t.ep == ep; });
    };

    // Nothing open: no IN tokens, and a report waits in the device.
    h.clear_logs();
    rig.dev.queue_report(0x81, mouse(0, 3, 0, 0));
    h.idle(20ms);
    EXPECT_EQ(ins(0x81), 0);
    EXPECT_EQ(ins(0x82), 0);
    EXPECT_EQ(rig.dev.queued(0x81), 1u);

    // Opened, the endpoint is polled and the waiting report collected; the other is not.
    h.open_input(0x81);
    ASSERT_TRUE(h.wait_reports(0x81, 1, 1s));
    EXPECT_EQ(h.view().x, 3);
    h.idle(20ms);
    EXPECT_GT(ins(0x81), 0);
    EXPECT_EQ(ins(0x82), 0);

    // Closed again: no more polls of it.
    h.close_input(0x81);
    h.clear_logs();
    rig.dev.queue_report(0x81, mouse(0, 5, 0, 0));
    rig.dev.queue_report(0x82, keyboard(0, {0x04}));
    h.idle(20ms);
    EXPECT_EQ(ins(0x81), 0);
    EXPECT_EQ(ins(0x82), 0);

    // Switched off at run time: every endpoint is polled, as by default.
    h.set_poll_only_open(false);
    ASSERT_TRUE(h.wait_reports(0x81, 2, 1s));
    ASSERT_TRUE(h.wait_reports(0x82, 1, 1s));
    EXPECT_EQ(h.view().x, 8);
    EXPECT_TRUE(h.view().key_held(0x04));
}
