#include "hid_decode.h"
#include "host_test_util.h"

#include <gtest/gtest.h>

using namespace reftest;
using sim::ReportKind;

TEST(HostDescriptors, ThisDeviceParses)
{
    auto d = sim::parse_device_descriptor(kDevice);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.vid, 0x4843); // stored high byte first: a host reads it swapped
    EXPECT_EQ(d.pid, 0x0120);
    EXPECT_EQ(d.bcd_usb, 0x0110);
    EXPECT_EQ(d.max_packet0, 8);

    auto c = sim::parse_config_descriptor(kConfig);
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_EQ(c.interfaces.size(), 2u);
    EXPECT_EQ(c.interfaces[0].protocol, 2);
    EXPECT_EQ(c.interfaces[0].report_length, 60);
    EXPECT_EQ(c.interfaces[1].report_length, 108);
    ASSERT_NE(c.endpoint(0x82), nullptr);
    EXPECT_EQ(c.endpoint(0x82)->max_packet, 16);
    EXPECT_EQ(c.endpoint(0x02)->interval, 10);
    EXPECT_EQ(c.interface_of(0x02)->number, 1);

    auto m = sim::parse_report_descriptor(kMouseReport);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_FALSE(m.uses_ids);
    EXPECT_EQ(m.input_bytes(0), 6u);
    auto k = sim::parse_report_descriptor(kKeyboardReport);
    ASSERT_TRUE(k.ok) << k.error;
    EXPECT_EQ(k.application_collections, 2u);
    EXPECT_EQ(k.input_bytes(1), 12u);
    EXPECT_EQ(k.output_bytes(1), 2u);
    EXPECT_EQ(k.input_bytes(2), 2u);
    EXPECT_EQ(k.input_bytes(3), 0u);

    EXPECT_EQ(sim::parse_string_descriptor(kManufacturer), "tarv0 ");
    EXPECT_EQ(sim::parse_string_descriptor(kProduct), "Rev 7");
}

TEST(HostDescriptors, MalformedAreRejected)
{
    auto bad_config = [](auto edit) {
        std::vector<uint8_t> c = kConfig;
        edit(c);
        return sim::parse_config_descriptor(c);
    };
    EXPECT_FALSE(bad_config([](auto &c) { c[2] = 0x41; }).ok) << "wTotalLength off by one";
    EXPECT_FALSE(bad_config([](auto &c) { c[4] = 3; }).ok) << "bNumInterfaces";
    EXPECT_FALSE(bad_config([](auto &c) { c[38] = 1; }).ok) << "keyboard lists one endpoint, has two";
    EXPECT_FALSE(bad_config([](auto &c) { c[59] = 0x20; }).ok) << "descriptor runs past the end";
    EXPECT_FALSE(bad_config([](auto &c) { c[61] = 0x82; }).ok) << "endpoint declared twice";
    EXPECT_FALSE(bad_config([](auto &c) { c[33] = 0; }).ok) << "interrupt endpoint with bInterval 0";
    EXPECT_FALSE(bad_config([](auto &c) { c.resize(60); }).ok) << "cut short";

    std::vector<uint8_t> dev = kDevice;
    dev[7] = 9;
    EXPECT_FALSE(sim::parse_device_descriptor(dev).ok);
    EXPECT_FALSE(sim::parse_device_descriptor(std::vector<uint8_t>(kDevice.begin(), kDevice.begin() + 8)).ok);

    auto bad_report = [](std::vector<uint8_t> r) { return sim::parse_report_descriptor(r); };
    EXPECT_FALSE(bad_report(std::vector<uint8_t>(kMouseReport.begin(), kMouseReport.end() - 1)).ok) << "collection left open";
    EXPECT_FALSE(bad_report({0xC0}).ok) << "end without collection";
    EXPECT_FALSE(bad_report({0x26, 0xFF}).ok) << "item cut off";
    EXPECT_FALSE(bad_report({0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01}).ok) << "report before the first id";
    EXPECT_FALSE(bad_report({0x85, 0x00}).ok) << "report id 0";
    EXPECT_FALSE(bad_report({0xFE, 0x00, 0x00}).ok) << "long item";

    EXPECT_FALSE(sim::parse_string_descriptor(std::vector<uint8_t>{0x05, 0x03, 'a', 0, 'b'}).has_value());
    EXPECT_FALSE(sim::parse_string_descriptor(std::vector<uint8_t>{0x06, 0x03, 'a', 0}).has_value());
}

TEST(HostView, DecodesWhatTheComputerSees)
{
    sim::HostView v;
    // Mouse: signed 16-bit motion summed, signed wheel, buttons held and presses counted.
    EXPECT_TRUE(v.apply(ReportKind::Mouse, mouse(0x01, -1, 1, -1)));
    EXPECT_TRUE(v.apply(ReportKind::Mouse, mouse(0x81, 30000, -32768, 127)));
    EXPECT_TRUE(v.apply(ReportKind::Mouse, mouse(0x00, 30000, -32768, 1)));
    EXPECT_EQ(v.x, 59999);
    EXPECT_EQ(v.y, -65535);
    EXPECT_EQ(v.wheel, 127);
    EXPECT_EQ(v.buttons, 0);
    EXPECT_EQ(v.button_presses[0], 1u);
    EXPECT_EQ(v.button_presses[7], 1u);

    // Keyboard: modifier bits are keys 0xE0..0xE7; empty and error slots are not keys.
    EXPECT_TRUE(v.apply(ReportKind::Keyboard, keyboard(0x22, {0x04, 0x00, 0x02, 0x05})));
    EXPECT_TRUE(v.key_held(0x04));
    EXPECT_TRUE(v.key_held(0x05));
    EXPECT_TRUE(v.key_held(0xE1));
    EXPECT_TRUE(v.key_held(0xE5));
    EXPECT_FALSE(v.key_held(0xE0));
    EXPECT_EQ(v.keys, (std::vector<uint8_t>{0x04, 0x05}));
    // All slots ErrorRollOver: the computer keeps what it had.
    EXPECT_TRUE(v.apply(ReportKind::Keyboard, keyboard(0x00, std::vector<uint8_t>(10, 0x01))));
    EXPECT_TRUE(v.key_held(0x04));
    EXPECT_TRUE(v.apply(ReportKind::Keyboard, keyboard(0x00, {0x05})));
    EXPECT_TRUE(v.apply(ReportKind::Keyboard, keyboard(0x00, {0x04, 0x05})));
    EXPECT_EQ(v.presses(0x04), 2u);
    EXPECT_EQ(v.presses(0x05), 1u);
    EXPECT_EQ(v.presses(0xE1), 1u);

    // Consumer: bits 0..6, the padding bit is no key.
    EXPECT_TRUE(v.apply(ReportKind::Keyboard, std::vector<uint8_t>{0x02, 0x84}));
    EXPECT_EQ(v.consumer, 0x04);
    EXPECT_TRUE(v.apply(ReportKind::Keyboard, std::vector<uint8_t>{0x02, 0x00}));
    EXPECT_EQ(v.consumer_presses[2], 1u);
    EXPECT_EQ(v.keyboard_reports, 4u);
    EXPECT_EQ(v.consumer_reports, 2u);

    // Anything else is counted and changes nothing.
    EXPECT_FALSE(v.apply(ReportKind::Mouse, std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_FALSE(v.apply(ReportKind::Keyboard, std::vector<uint8_t>{0x03, 0x00}));
    EXPECT_FALSE(v.apply(ReportKind::Keyboard, std::vector<uint8_t>(11, 0x01)));
    EXPECT_FALSE(v.apply(ReportKind::Unknown, mouse(1, 1, 1, 1)));
    EXPECT_EQ(v.malformed, 4u);
    EXPECT_EQ(v.x, 59999);
    EXPECT_TRUE(v.key_held(0x04));

    v.release_all();
    EXPECT_TRUE(v.keys.empty());
    EXPECT_FALSE(v.key_held(0xE1));
    EXPECT_EQ(v.x, 59999) << "the pointer stays where it went";
}

TEST(HostView, BootReportsAsFirmwareReadsThem)
{
    sim::HostView v;
    auto boot_kb = [](uint8_t mods, std::vector<uint8_t> keys) {
        keys.resize(6);
        std::vector<uint8_t> r = {mods, 0x00};
        r.insert(r.end(), keys.begin(), keys.end());
        return r;
    };
    ASSERT_TRUE(v.apply(ReportKind::BootKeyboard, boot_kb(0x02, {0x04, 0x05, 0x06, 0x07, 0x08, 0x09})));
    EXPECT_EQ(v.keys, (std::vector<uint8_t>{0x04, 0x05, 0x06, 0x07, 0x08, 0x09}));
    // Too many keys: ErrorRollOver in the six slots, the previous state stays.
    ASSERT_TRUE(v.apply(ReportKind::BootKeyboard, boot_kb(0x00, {1, 1, 1, 1, 1, 1})));
    EXPECT_EQ(v.keys.size(), 6u);
    EXPECT_EQ(v.modifiers, 0x02);
    ASSERT_TRUE(v.apply(ReportKind::BootKeyboard, boot_kb(0x00, {0x05})));
    EXPECT_EQ(v.keys, std::vector<uint8_t>{0x05});
    EXPECT_EQ(v.presses(0x05), 1u);
    // A report-protocol report reaching a firmware: its id 0x01 reads as Left Ctrl.
    EXPECT_FALSE(v.apply(ReportKind::BootKeyboard, keyboard(0x00, {0x0B})));
    EXPECT_TRUE(v.key_held(0xE0));
    EXPECT_EQ(v.malformed, 1u);

    // Mouse: buttons 1-3 only, X and Y signed bytes.
    ASSERT_TRUE(v.apply(ReportKind::BootMouse, std::vector<uint8_t>{0xFD, 0x81, 0x05}));
    EXPECT_EQ(v.buttons, 0x05);
    EXPECT_EQ(v.x, -127);
    EXPECT_EQ(v.y, 5);
    EXPECT_FALSE(v.apply(ReportKind::BootMouse, mouse(0, 300, 0, 0)));
    EXPECT_EQ(v.malformed, 2u);
}
