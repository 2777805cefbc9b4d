// The descriptors as the host model read them from the running device, field by field against
// the reference device's own statement of them (tests/usb_host/ref_device.cpp): a wrong
// bInterval, bMaxPower, usage or logical range shows up by name.
#include "scripted_host.h"

#include "../usb_host/ref_device.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace usbtest;
using namespace std::chrono_literals;

namespace {

using Fields = std::vector<std::pair<std::string, long>>;

// Field names and widths in bytes of the standard descriptors, by type.
struct FieldDef {
    const char *name;
    int width;
};
const std::vector<FieldDef> &layout(uint8_t type)
{
    static const std::vector<FieldDef> device = {
        {"bLength", 1}, {"bDescriptorType", 1}, {"bcdUSB", 2}, {"bDeviceClass", 1},
        {"bDeviceSubClass", 1}, {"bDeviceProtocol", 1}, {"bMaxPacketSize0", 1}, {"idVendor", 2},
        {"idProduct", 2}, {"bcdDevice", 2}, {"iManufacturer", 1}, {"iProduct", 1},
        {"iSerialNumber", 1}, {"bNumConfigurations", 1}};
    static const std::vector<FieldDef> config = {
        {"bLength", 1}, {"bDescriptorType", 1}, {"wTotalLength", 2}, {"bNumInterfaces", 1},
        {"bConfigurationValue", 1}, {"iConfiguration", 1}, {"bmAttributes", 1}, {"bMaxPower", 1}};
    static const std::vector<FieldDef> interface = {
        {"bLength", 1}, {"bDescriptorType", 1}, {"bInterfaceNumber", 1}, {"bAlternateSetting", 1},
        {"bNumEndpoints", 1}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", 1},
        {"bInterfaceProtocol", 1}, {"iInterface", 1}};
    static const std::vector<FieldDef> hid = {
        {"bLength", 1}, {"bDescriptorType", 1}, {"bcdHID", 2}, {"bCountryCode", 1},
        {"bNumDescriptors", 1}, {"bClassDescriptorType", 1}, {"wDescriptorLength", 2}};
    static const std::vector<FieldDef> endpoint = {
        {"bLength", 1}, {"bDescriptorType", 1}, {"bEndpointAddress", 1}, {"bmAttributes", 1},
        {"wMaxPacketSize", 2}, {"bInterval", 1}};
    static const std::vector<FieldDef> none;
    switch (type) {
    case 0x01: return device;
    case 0x02: return config;
    case 0x04: return interface;
    case 0x21: return hid;
    case 0x05: return endpoint;
    default: return none;
    }
}

// A descriptor set (one descriptor or a configuration's chain) as named fields; bytes no
// layout covers are listed one by one, so nothing goes unchecked.
Fields standard_fields(const Bytes &d)
{
    Fields out;
    size_t at = 0;
    for (int n = 0; at + 1 < d.size() && d[at] >= 2; n++) {
        const size_t end = std::min(d.size(), at + d[at]);
        const std::string where = "descriptor " + std::to_string(n) + " (type " + std::to_string(d[at + 1]) + ") ";
        size_t p = at;
        for (const FieldDef &f : layout(d[at + 1])) {
            if (p + f.width > end)
                break;
            out.push_back({where + f.name, f.width == 2 ? d[p] | d[p + 1] << 8 : d[p]});
            p += f.width;
        }
        for (; p < end; p++)
            out.push_back({where + "byte " + std::to_string(p - at), d[p]});
        at = end;
    }
    for (; at < d.size(); at++)
        out.push_back({"trailing byte " + std::to_string(at), d[at]});
    return out;
}

// A report descriptor as its items: name and value, minimum and maximum sign-extended.
Fields report_fields(const Bytes &d)
{
    auto name = [](uint8_t tag) -> std::string {
        switch (tag) {
        case 0x04: return "Usage Page";
        case 0x08: return "Usage";
        case 0x14: return "Logical Minimum";
        case 0x24: return "Logical Maximum";
        case 0x34: return "Physical Minimum";
        case 0x44: return "Physical Maximum";
        case 0x74: return "Report Size";
        case 0x84: return "Report ID";
        case 0x94: return "Report Count";
        case 0x18: return "Usage Minimum";
        case 0x28: return "Usage Maximum";
        case 0x80: return "Input";
        case 0x90: return "Output";
        case 0xB0: return "Feature";
        case 0xA0: return "Collection";
        case 0xC0: return "End Collection";
        default: return "tag " + std::to_string(tag);
        }
    };
    Fields out;
    size_t at = 0;
    for (int n = 0; at < d.size(); n++) {
        const uint8_t prefix = d[at];
        const size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
        long v = 0;
        for (size_t i = 0; i < len && at + 1 + i < d.size(); i++)
            v |= long(d[at + 1 + i]) << (8 * i);
        const uint8_t tag = prefix & 0xFC;
        const bool is_signed = tag == 0x14 || tag == 0x24 || tag == 0x34 || tag == 0x44;
        if (is_signed && len > 0 && len < 4 && (v >> (8 * len - 1)) & 1)
            v -= 1L << (8 * len);
        const std::string item = "item " + std::to_string(n) + " " + name(tag);
        out.push_back({item, v});
        out.push_back({item + " size", long(len)});
        at += 1 + len;
    }
    return out;
}

void expect_fields(const std::string &what, const Fields &seen, const Fields &reference)
{
    for (size_t i = 0; i < std::max(seen.size(), reference.size()); i++) {
        if (i >= seen.size()) {
            ADD_FAILURE() << what << ": the host did not read " << reference[i].first;
        } else if (i >= reference.size()) {
            ADD_FAILURE() << what << ": the host read more: " << seen[i].first;
        } else if (seen[i] != reference[i]) {
            ADD_FAILURE() << what << ": " << reference[i].first << " is " << reference[i].second
                          << ", the host read " << seen[i].first << " = " << seen[i].second;
        }
    }
}

} // namespace

TEST(DescriptorsSeen, HostReadsTheReferenceDescriptorsFieldByField)
{
    sim::UsbHost &host = board().host;
    host.set_style(sim::EnumStyle::Linux);
    ASSERT_TRUE(start_device_thread());
    host.start();
    ASSERT_TRUE(host.wait_configured(5s)) << host.snapshot().last_error;

    auto s = host.snapshot();
    expect_fields("device", standard_fields(s.device_descriptor), standard_fields(reftest::kDevice));
    expect_fields("configuration", standard_fields(s.config_descriptor), standard_fields(reftest::kConfig));
    expect_fields("mouse report", report_fields(s.report_descriptors[0]), report_fields(reftest::kMouseReport));
    expect_fields("keyboard report", report_fields(s.report_descriptors[1]),
                  report_fields(reftest::kKeyboardReport));

    // The strings, as a host that asks for them reads them.
    ASSERT_TRUE(host.enumerate(sim::EnumStyle::Windows)) << host.snapshot().last_error;
    s = host.snapshot();
    EXPECT_EQ(s.strings[0], reftest::kLang);
    EXPECT_EQ(s.strings[1], reftest::kManufacturer);
    EXPECT_EQ(s.strings[2], reftest::kProduct);
}
