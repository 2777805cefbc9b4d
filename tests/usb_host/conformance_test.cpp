#include "host_test_util.h"
#include "usb_conformance.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace reftest;
using namespace std::chrono_literals;
using sim::EnumStyle;
using sim::Verdict;

namespace {

// What this device refuses by design, under every style.
const std::vector<std::string> kRefused = {
    "SET_FEATURE(DEVICE_REMOTE_WAKEUP)",
    "SET_FEATURE(ENDPOINT_HALT) 0x81",
    "GET_DESCRIPTOR HID, interface 0",
    "GET_DESCRIPTOR HID, interface 1",
    "GET_DESCRIPTOR device qualifier",
    "GET_DESCRIPTOR other-speed configuration",
    "GET_DESCRIPTOR BOS",
    "GET_DESCRIPTOR string 3",
    "GET_DESCRIPTOR string 0xEE",
    "HID GET_REPORT",
    "HID SET_REPORT (LEDs)",
    "HID GET_IDLE",
    "HID SET_PROTOCOL (boot)",
    "HID GET_PROTOCOL",
    "SET_DESCRIPTOR",
    "SET_INTERFACE 0, alternate 0",
    "SYNCH_FRAME 0x81",
    "vendor request",
    "CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP)",
    "CLEAR_FEATURE(ENDPOINT_HALT) 0x83, no such endpoint",
};

sim::ConformanceTable run(Rig &rig, EnumStyle style)
{
    rig.host.start();
    EXPECT_TRUE(rig.host.wait_configured(2s));
    return sim::run_conformance(rig.host, style);
}

} // namespace

TEST(Conformance, ReferenceDevicePassesUnderEveryStyle)
{
    for (EnumStyle style : {EnumStyle::Linux, EnumStyle::Windows, EnumStyle::MacOS, EnumStyle::Compliance}) {
        SCOPED_TRACE(sim::to_string(style));
        Rig rig;
        auto t = run(rig, style);
        EXPECT_TRUE(t.passed()) << t.text();
        auto refused = t.names(Verdict::Refused);
        auto want = kRefused;
        if (style == EnumStyle::Windows)
            want.insert(want.begin(), "enumeration: string 0xEE");
        EXPECT_EQ(refused, want) << t.text();
        for (const char *name : {"GET_CONFIGURATION is 1 [configured]", "abandoned after one data packet: next request answered",
                                 "abandoned SET_ADDRESS keeps the address", "report sizes interface 1", "string 2 [configured]",
                                 "CLEAR_FEATURE(ENDPOINT_HALT) 0x02", "enumeration again"}) {
            auto *c = t.find(name);
            ASSERT_NE(c, nullptr) << name;
            EXPECT_EQ(c->verdict, Verdict::Pass) << name;
        }
        if (style == EnumStyle::Compliance) {
            for (const char *name : {"GET_CONFIGURATION is 0 [default]", "GET_CONFIGURATION is 0 [addressed]",
                                     "configuration, wLength 9 [default]", "SET_ADDRESS takes effect after the status stage",
                                     "repeated enumeration x100"})
                EXPECT_TRUE(t.find(name) && t.find(name)->verdict == Verdict::Pass) << name << "\n" << t.text();
            EXPECT_EQ(rig.host.snapshot().enumerations, 1u + 1u + 100u + 1u);
        }
        // The device is left in use: enumerated, polled, taking reports.
        rig.dev.queue_report(0x81, mouse(0, 5, 0, 0));
        EXPECT_TRUE(rig.host.wait_reports(0x81, 1, 1s));
    }
}

TEST(Conformance, FaultyDevicesFail)
{
    auto verdict = [](const sim::ConformanceTable &t, const std::string &name) {
        auto *c = t.find(name);
        return c ? c->verdict : Verdict::Pass;
    };
    {
        // Endpoint 0 that stays stalled after a refusal: the refusal is no longer clean.
        Rig rig;
        rig.host.start();
        ASSERT_TRUE(rig.host.wait_configured(2s));
        RefDevice::Faults f;
        f.stall_sticks = true;
        rig.dev.set_faults(f);
        auto t = sim::run_conformance(rig.host, EnumStyle::Linux);
        EXPECT_FALSE(t.passed());
        auto *c = t.find("GET_DESCRIPTOR device qualifier");
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->verdict, Verdict::Fail);
        EXPECT_NE(c->detail.find("next SETUP"), std::string::npos) << c->detail;
    }
    {
        RefDevice::Faults f;
        f.config_value_garbage = true;
        Rig rig;
        rig.dev.set_faults(f);
        auto t = run(rig, EnumStyle::Linux);
        auto failed = t.names(Verdict::Fail);
        EXPECT_EQ(failed, std::vector<std::string>{"GET_CONFIGURATION is 1 [configured]"}) << t.text();
    }
    {
        // Taking the new address before the status stage loses the device at enumeration.
        RefDevice::Faults f;
        f.address_at_setup = true;
        Rig rig;
        rig.dev.set_faults(f);
        auto t = sim::run_conformance(rig.host, EnumStyle::Compliance);
        EXPECT_EQ(verdict(t, "enumeration (compliance)"), Verdict::Fail);
        EXPECT_FALSE(t.passed());
    }
}

// The boot checks pass on a boot device and catch one that repeats reports with idle 0.
TEST(Conformance, FirmwareHost)
{
    for (bool repeats : {false, true}) {
        Rig rig(quick(EnumStyle::Firmware));
        rig.dev.set_boot(true);
        RefDevice::Faults f;
        f.repeat_reports = repeats;
        rig.dev.set_faults(f);
        rig.dev.queue_report(0x82, std::vector<uint8_t>(8));
        sim::ConformanceOptions o;
        o.idle = 0; // this device has no idle rate of its own
        rig.host.start();
        ASSERT_TRUE(rig.host.wait_configured(2s));
        auto t = sim::run_conformance(rig.host, EnumStyle::Firmware, o);
        if (repeats) {
            EXPECT_EQ(t.names(Verdict::Fail), std::vector<std::string>{"idle 0: no report while nothing changes"}) << t.text();
            continue;
        }
        EXPECT_TRUE(t.passed()) << t.text();
        for (const char *name : {"GET_PROTOCOL interface 0 is boot", "GET_IDLE interface 1 is 0",
                                 "GET_REPORT interface 0 in boot format", "GET_REPORT interface 1 in boot format",
                                 "LEDs by SET_REPORT", "idle 0: no report while nothing changes"})
            EXPECT_TRUE(t.find(name) && t.find(name)->verdict == Verdict::Pass) << name << "\n" << t.text();
    }
}
