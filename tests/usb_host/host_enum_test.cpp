#include "host_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

using namespace reftest;
using namespace std::chrono_literals;
using sim::EnumStyle;
using sim::Handshake;
using sim::TokenKind;

namespace {

// The transactions of the control transfer whose SETUP carries `setup`, up to the next SETUP.
std::vector<sim::Transaction> transfer_of(const std::vector<sim::Transaction> &log, const std::vector<uint8_t> &setup)
{
    std::vector<sim::Transaction> out;
    bool in = false;
    for (auto &t : log) {
        if (t.kind == TokenKind::Setup) {
            if (in)
                break;
            in = t.hs == Handshake::Ack && std::equal(setup.begin(), setup.end(), t.data.begin());
        }
        if (in && t.kind <= TokenKind::Out && t.ep == (t.kind == TokenKind::In ? 0x80 : 0) && t.hs != Handshake::Nak)
            out.push_back(t);
    }
    return out;
}

} // namespace

TEST(HostEnumeration, LinuxSequence)
{
    Rig rig;
    rig.host.start();
    ASSERT_TRUE(rig.host.wait_configured(2s)) << rig.host.snapshot().last_error;

    EXPECT_EQ(describe(rig.dev.requests()), (std::vector<std::string>{
                                                "@0 GET_DESCRIPTOR 0x0100 i0 l64",
                                                "@0 SET_ADDRESS 0x0002 i0 l0",
                                                "@2 GET_DESCRIPTOR 0x0100 i0 l18",
                                                "@2 GET_DESCRIPTOR 0x0200 i0 l9",
                                                "@2 GET_DESCRIPTOR 0x0200 i0 l66",
                                                "@2 SET_CONFIGURATION 0x0001 i0 l0",
                                                "@2 SET_IDLE 0x0000 i0 l0",
                                                "@2 GET_DESCRIPTOR 0x2200 i0 l60",
                                                "@2 SET_IDLE 0x0000 i1 l0",
                                                "@2 GET_DESCRIPTOR 0x2200 i1 l108",
                                            }));
    EXPECT_EQ(rig.dev.outputs(), (std::vector<std::vector<uint8_t>>{{0x01, 0x00}}));
    EXPECT_EQ(rig.dev.resets(), 2u);
    EXPECT_EQ(rig.dev.address(), 2);
    EXPECT_EQ(rig.dev.configuration(), 1);

    auto log = rig.host.transactions();
    // A reset before the first request and one between it and SET_ADDRESS.
    std::vector<TokenKind> head;
    for (auto &t : log)
        if (t.kind == TokenKind::Reset || t.kind == TokenKind::Setup)
            head.push_back(t.kind);
    head.resize(4);
    EXPECT_EQ(head, (std::vector<TokenKind>{TokenKind::Reset, TokenKind::Setup, TokenKind::Reset, TokenKind::Setup}));

    // wLength 64 with the packet size not known yet: one 8-byte DATA1 packet ends the data
    // stage, then the status stage (a zero-length DATA1 OUT).
    auto first = transfer_of(log, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00});
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[1].kind, TokenKind::In);
    EXPECT_EQ(first[1].len, 8);
    EXPECT_EQ(first[1].toggle, 1);
    EXPECT_EQ(first[2].kind, TokenKind::Out);
    EXPECT_EQ(first[2].len, 0);
    EXPECT_EQ(first[2].toggle, 1);

    // The whole configuration: 8 x 8 + 2 bytes, toggles from DATA1 alternating.
    auto cfg = transfer_of(log, {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x42, 0x00});
    ASSERT_EQ(cfg.size(), 1u + 9u + 1u);
    for (size_t i = 1; i <= 9; ++i) {
        EXPECT_EQ(cfg[i].toggle, i % 2) << i;
        EXPECT_EQ(cfg[i].len, i < 9 ? 8 : 2) << i;
    }

    // Nothing goes to the new address before SET_ADDRESS's status stage (an IN at 0) is done.
    auto set_addr = std::find_if(log.begin(), log.end(), [](auto &t) {
        return t.kind == TokenKind::Setup && t.data[1] == 0x05;
    });
    ASSERT_NE(set_addr, log.end());
    auto status = std::find_if(set_addr, log.end(), [](auto &t) {
        return t.kind == TokenKind::In && t.hs == Handshake::Ack;
    });
    ASSERT_NE(status, log.end());
    EXPECT_EQ(status->address, 0);
    EXPECT_EQ(status->len, 0);
    EXPECT_TRUE(std::none_of(log.begin(), status, [](auto &t) { return t.address == 2 && t.kind <= TokenKind::Out; }));

    auto s = rig.host.snapshot();
    EXPECT_EQ(s.state, sim::HostState::Configured);
    EXPECT_EQ(s.address, 2);
    EXPECT_EQ(s.enumerations, 1u);
    EXPECT_EQ(s.device_descriptor, kDevice);
    EXPECT_EQ(s.config_descriptor, kConfig);
    EXPECT_EQ(s.report_descriptors[0], kMouseReport);
    EXPECT_EQ(s.report_descriptors[1], kKeyboardReport);
    EXPECT_TRUE(s.strings.empty()); // the device names no string
    for (auto &st : s.last_enumeration)
        EXPECT_TRUE(st.ok) << st.name;
}

TEST(HostEnumeration, PollsBothInEndpointsOncePerFrame)
{
    Rig rig;
    rig.host.start();
    ASSERT_TRUE(rig.host.wait_configured(2s));
    rig.host.clear_logs();
    unsigned ep1 = rig.dev.ins(1), ep2 = rig.dev.ins(2);
    std::this_thread::sleep_for(60ms);
    // At least a few polls happened (a loaded machine may skip frames)...
    EXPECT_GE(rig.dev.ins(1) - ep1, 5u);
    EXPECT_GE(rig.dev.ins(2) - ep2, 5u);
    // ...and never two on one endpoint in the same frame.
    std::map<std::pair<uint32_t, uint8_t>, int> per_frame;
    for (auto &t : rig.host.transactions())
        if (t.kind == TokenKind::In) {
            EXPECT_EQ(++per_frame[std::make_pair(t.frame, t.ep)], 1) << "frame " << t.frame;
        }
}

TEST(HostEnumeration, OtherStyles)
{
    struct Case {
        EnumStyle style;
        unsigned resets;
        std::vector<std::string> requests;
    };
    const std::vector<std::string> hid = {"@2 SET_IDLE 0x0000 i0 l0", "@2 GET_DESCRIPTOR 0x2200 i0 l60",
                                          "@2 SET_IDLE 0x0000 i1 l0", "@2 GET_DESCRIPTOR 0x2200 i1 l108"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {EnumStyle::Windows, 2,
         {"@0 GET_DESCRIPTOR 0x0100 i0 l64", "@0 SET_ADDRESS 0x0002 i0 l0", "@2 GET_DESCRIPTOR 0x0100 i0 l18",
          "@2 GET_DESCRIPTOR 0x0200 i0 l255", "@2 GET_DESCRIPTOR 0x03EE i0 l18", "@2 GET_DESCRIPTOR 0x0300 i0 l255",
          "@2 GET_DESCRIPTOR 0x0301 i1033 l255", "@2 GET_DESCRIPTOR 0x0302 i1033 l255",
          "@2 SET_CONFIGURATION 0x0001 i0 l0", "@2 GET_STATUS 0x0000 i0 l2", "@2 SET_IDLE 0x0000 i0 l0",
          "@2 GET_DESCRIPTOR 0x2200 i0 l124", "@2 SET_IDLE 0x0000 i1 l0", "@2 GET_DESCRIPTOR 0x2200 i1 l172"}},
        {EnumStyle::MacOS, 2,
         with({"@0 GET_DESCRIPTOR 0x0100 i0 l8", "@0 SET_ADDRESS 0x0002 i0 l0", "@2 GET_DESCRIPTOR 0x0100 i0 l18",
               "@2 GET_DESCRIPTOR 0x0200 i0 l9", "@2 GET_DESCRIPTOR 0x0200 i0 l66", "@2 SET_CONFIGURATION 0x0001 i0 l0"},
              hid)},
        {EnumStyle::Compliance, 3,
         with({"@0 GET_DESCRIPTOR 0x0100 i0 l64", "@0 GET_DESCRIPTOR 0x0100 i0 l18", "@0 SET_ADDRESS 0x0002 i0 l0",
               "@2 GET_DESCRIPTOR 0x0100 i0 l18", "@2 GET_DESCRIPTOR 0x0200 i0 l9", "@2 GET_DESCRIPTOR 0x0200 i0 l66",
               "@2 SET_CONFIGURATION 0x0001 i0 l0"},
              hid)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(sim::to_string(c.style));
        Rig rig(quick(c.style));
        rig.host.start();
        ASSERT_TRUE(rig.host.wait_configured(2s)) << rig.host.snapshot().last_error;
        EXPECT_EQ(describe(rig.dev.requests()), c.requests);
        EXPECT_EQ(rig.dev.resets(), c.resets);
        EXPECT_EQ(rig.dev.outputs().size(), 1u);
        auto s = rig.host.snapshot();
        EXPECT_EQ(s.config_descriptor, kConfig);
        EXPECT_EQ(s.report_descriptors[1], kKeyboardReport);
        if (c.style == EnumStyle::Windows) {
            // The OS descriptor is refused; the enumeration goes on and reads the strings.
            EXPECT_EQ(s.strings[0], kLang);
            EXPECT_EQ(s.strings[1], kManufacturer);
            EXPECT_EQ(s.strings[2], kProduct);
            auto ee = std::find_if(s.last_enumeration.begin(), s.last_enumeration.end(),
                                   [](auto &st) { return st.name == "string 0xEE"; });
            ASSERT_NE(ee, s.last_enumeration.end());
            EXPECT_TRUE(ee->result.stalled());
        }
    }
}

// A PC's firmware: boot protocol on both interfaces, no report descriptors, LEDs by
// SET_REPORT, the endpoints read in the boot formats; it gives up on a device that refuses
// boot protocol.
TEST(HostEnumeration, Firmware)
{
    {
        Rig rig(quick(EnumStyle::Firmware));
        rig.dev.set_boot(true);
        rig.host.set_idle_rate(8);
        rig.host.start();
        ASSERT_TRUE(rig.host.wait_configured(2s)) << rig.host.snapshot().last_error;
        EXPECT_EQ(describe(rig.dev.requests()),
                  (std::vector<std::string>{"@0 GET_DESCRIPTOR 0x0100 i0 l8", "@0 SET_ADDRESS 0x0002 i0 l0",
                                            "@2 GET_DESCRIPTOR 0x0100 i0 l18", "@2 GET_DESCRIPTOR 0x0200 i0 l9",
                                            "@2 GET_DESCRIPTOR 0x0200 i0 l66", "@2 SET_CONFIGURATION 0x0001 i0 l0",
                                            "@2 SET_PROTOCOL 0x0000 i0 l0", "@2 SET_IDLE 0x0800 i0 l0",
                                            "@2 SET_PROTOCOL 0x0000 i1 l0", "@2 SET_IDLE 0x0800 i1 l0",
                                            "@2 SET_REPORT 0x0200 i1 l1"}));
        EXPECT_EQ(rig.dev.outputs(), (std::vector<std::vector<uint8_t>>{{0x00}}));
        auto s = rig.host.snapshot();
        EXPECT_TRUE(s.report_descriptors.empty());
        EXPECT_EQ(s.protocol, (std::map<uint8_t, uint8_t>{{0, 0}, {1, 0}}));

        rig.dev.queue_report(0x82, {0x02, 0x00, 0x04, 0x05, 0, 0, 0, 0});
        rig.dev.queue_report(0x81, {0x01, 0x80, 0x7F});
        ASSERT_TRUE(rig.host.wait_reports(0, 2, 1s));
        auto v = rig.host.view();
        EXPECT_TRUE(v.key_held(0xE1) && v.key_held(0x04) && v.key_held(0x05) && v.button_held(1) && v.x == -128);
        EXPECT_EQ(v.malformed, 0u);

        // Back to report protocol: the host reads the report formats again.
        ASSERT_TRUE(rig.host.set_protocol(1, 1).ok());
        EXPECT_EQ(rig.dev.protocol(1), 1);
        rig.dev.queue_report(0x82, keyboard(0, {0x06}));
        ASSERT_TRUE(rig.host.wait_reports(0x82, 2, 1s));
        EXPECT_EQ(rig.host.view().keys, std::vector<uint8_t>{0x06});
        EXPECT_EQ(rig.host.get_protocol(1).data, std::vector<uint8_t>{1});
        EXPECT_EQ(rig.host.get_idle(0).data, std::vector<uint8_t>{8});
    }
    {
        Rig rig(quick(EnumStyle::Firmware)); // a device that refuses boot protocol
        rig.host.start();
        ASSERT_TRUE(rig.host.wait_state(sim::HostState::Failed, 3s));
        EXPECT_NE(rig.host.snapshot().last_error.find("SET_PROTOCOL (boot) interface 0: stall"), std::string::npos)
            << rig.host.snapshot().last_error;
    }
}

TEST(HostEnumeration, AttachDetachAndFailure)
{
    {
        Rig rig;
        rig.dev.set_attached(false);
        rig.host.start();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(rig.host.state(), sim::HostState::Detached);
        EXPECT_TRUE(rig.dev.requests().empty());

        rig.dev.set_attached(true);
        ASSERT_TRUE(rig.host.wait_configured(2s));
        EXPECT_EQ(rig.host.snapshot().address, 2);

        // A key held when the device leaves is released for the computer.
        rig.dev.queue_report(0x82, keyboard(0x02, {0x04}));
        ASSERT_TRUE(rig.host.wait_reports(0x82, 1, 1s));
        EXPECT_TRUE(rig.host.view().key_held(0x04));
        rig.dev.set_attached(false);
        ASSERT_TRUE(rig.host.wait_state(sim::HostState::Detached, 1s));
        EXPECT_FALSE(rig.host.view().key_held(0x04));
        EXPECT_FALSE(rig.host.view().key_held(0xE1));

        // Back again: a new enumeration with the next address, as a host numbers devices.
        rig.dev.set_attached(true);
        ASSERT_TRUE(rig.host.wait_configured(2s));
        EXPECT_EQ(rig.host.snapshot().address, 3);
        EXPECT_EQ(rig.host.snapshot().enumerations, 2u);
    }
    {
        // A device that NAKs every data stage: the enumeration is retried, then given up.
        Rig rig;
        RefDevice::Faults f;
        f.nak_ep0_forever = true;
        rig.dev.set_faults(f);
        rig.host.start();
        ASSERT_TRUE(rig.host.wait_state(sim::HostState::Failed, 3s));
        auto s = rig.host.snapshot();
        EXPECT_FALSE(s.ready);
        EXPECT_EQ(s.enumeration_failures, 1u);
        EXPECT_EQ(rig.dev.resets(), 3u); // three attempts, each from a reset
        EXPECT_NE(s.last_error.find("device descriptor"), std::string::npos) << s.last_error;
        ASSERT_FALSE(s.last_enumeration.empty());
        EXPECT_EQ(s.last_enumeration[0].result.status, sim::XferStatus::NakTimeout);

        // It stays failed until told to try again.
        rig.dev.set_faults({});
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(rig.host.state(), sim::HostState::Failed);
        EXPECT_TRUE(rig.host.enumerate(EnumStyle::Linux));
        EXPECT_TRUE(rig.host.wait_configured(1s));
    }
}
