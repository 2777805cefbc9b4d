// What a host computer makes of a device's bytes: the standard descriptors, the HID report
// descriptor's report sizes, and the three report formats of this device decoded into what
// the computer would see (keys held, buttons, pointer position, wheel, consumer keys).
// Constants are the USB and HID standards' own, written here for the host side.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

namespace usb {
// Standard requests.
enum : uint8_t {
    GetStatus = 0x00,
    ClearFeature = 0x01,
    SetFeature = 0x03,
    SetAddress = 0x05,
    GetDescriptor = 0x06,
    SetDescriptor = 0x07,
    GetConfiguration = 0x08,
    SetConfiguration = 0x09,
    GetInterface = 0x0A,
    SetInterface = 0x0B,
    SynchFrame = 0x0C,
};
// Descriptor types.
enum : uint8_t {
    DescDevice = 0x01,
    DescConfig = 0x02,
    DescString = 0x03,
    DescInterface = 0x04,
    DescEndpoint = 0x05,
    DescQualifier = 0x06,
    DescOtherSpeed = 0x07,
    DescHid = 0x21,
    DescReport = 0x22,
};
// HID class requests.
enum : uint8_t {
    HidGetReport = 0x01,
    HidGetIdle = 0x02,
    HidGetProtocol = 0x03,
    HidSetReport = 0x09,
    HidSetIdle = 0x0A,
    HidSetProtocol = 0x0B,
};
// Feature selectors.
enum : uint16_t { EndpointHalt = 0, RemoteWakeup = 1 };
// bmRequestType: direction, type, recipient.
enum : uint8_t {
    DirIn = 0x80,
    TypeClass = 0x20,
    RecipDevice = 0x00,
    RecipInterface = 0x01,
    RecipEndpoint = 0x02,
};
} // namespace usb

struct DeviceInfo {
    bool ok = false;
    std::string error;
    uint16_t bcd_usb = 0, vid = 0, pid = 0, bcd_device = 0;
    uint8_t cls = 0, max_packet0 = 0, num_configs = 0;
    uint8_t i_manufacturer = 0, i_product = 0, i_serial = 0;
};
// Checks an 18-byte device descriptor as a host does before it uses it.
DeviceInfo parse_device_descriptor(std::span<const uint8_t> d);

struct EndpointInfo {
    uint8_t address = 0, attributes = 0, interval = 0;
    uint16_t max_packet = 0;
    bool in() const { return address & 0x80; }
    bool interrupt() const { return (attributes & 0x03) == 0x03; }
};
struct InterfaceInfo {
    uint8_t number = 0, alternate = 0, cls = 0, subclass = 0, protocol = 0;
    bool has_hid = false;           // a HID descriptor follows the interface
    uint16_t report_length = 0;     // its report descriptor's length
    std::vector<EndpointInfo> endpoints;
};
struct ConfigInfo {
    bool ok = false;
    std::string error;
    uint16_t total_length = 0;
    uint8_t value = 0, num_interfaces = 0, attributes = 0, max_power = 0;
    std::vector<InterfaceInfo> interfaces;
    const EndpointInfo *endpoint(uint8_t address) const;
    const InterfaceInfo *interface_of(uint8_t ep_address) const;
};
// Walks a whole configuration descriptor set (wTotalLength bytes) and checks its structure.
ConfigInfo parse_config_descriptor(std::span<const uint8_t> d);

// A string descriptor's text (characters outside ASCII become '?'); nullopt when malformed.
std::optional<std::string> parse_string_descriptor(std::span<const uint8_t> d);

// Report sizes in bits per report id (id 0 when the descriptor uses no report ids).
struct ReportSizes {
    unsigned input_bits = 0, output_bits = 0, feature_bits = 0;
};
struct ReportLayout {
    bool ok = false;
    std::string error;
    bool uses_ids = false;
    unsigned application_collections = 0;
    std::map<uint8_t, ReportSizes> reports;
    // Bytes on the bus, the id byte included; 0 when the report is not declared.
    unsigned input_bytes(uint8_t id) const;
    unsigned output_bytes(uint8_t id) const;
};
// Parses HID short items (long items are refused): collections must balance.
ReportLayout parse_report_descriptor(std::span<const uint8_t> d);

// The three report formats of this device.
struct MouseReport {
    uint8_t buttons = 0;
    int16_t x = 0, y = 0;
    int8_t wheel = 0;
};
struct KeyboardReport {
    uint8_t modifiers = 0;
    std::array<uint8_t, 10> keys{};
    uint8_t slots = 10; // key slots the format has (the boot report: 6)
};
constexpr uint8_t kKeyboardReportId = 1;
constexpr uint8_t kConsumerReportId = 2;
constexpr size_t kMouseReportLen = 6;
constexpr size_t kKeyboardReportLen = 12;
constexpr size_t kConsumerReportLen = 2;
// The boot formats every boot keyboard and mouse share: modifiers, a reserved byte and six key
// slots; buttons 1-3 in bits 0-2, X and Y as signed bytes.
constexpr size_t kBootKeyboardReportLen = 8;
constexpr size_t kBootMouseReportLen = 3;

std::optional<MouseReport> decode_mouse(std::span<const uint8_t> r);
std::optional<KeyboardReport> decode_keyboard(std::span<const uint8_t> r);
std::optional<uint8_t> decode_consumer(std::span<const uint8_t> r);
// Boot reports read as firmware reads them: the format's first bytes, whatever the length
// (a longer report is still taken so; see HostView::apply).
std::optional<MouseReport> decode_boot_mouse(std::span<const uint8_t> r);
std::optional<KeyboardReport> decode_boot_keyboard(std::span<const uint8_t> r);

// Consumer report bits 0..6 as (usage page, usage); bit 7 is padding.
struct PageUsage {
    uint16_t page, usage;
};
constexpr std::array<PageUsage, 7> kConsumerBits = {{
    {0x0C, 0xEA},  // Volume Decrement
    {0x0C, 0xE9},  // Volume Increment
    {0x0C, 0xE2},  // Mute
    {0x0C, 0xCD},  // Play/Pause
    {0x0C, 0x223}, // AC Home
    {0x01, 0x82},  // System Sleep
    {0x01, 0x81},  // System Power Down
}};

// Which format an interrupt IN endpoint carries, from its interface's boot protocol number and
// the protocol (report or boot) the device was set to.
enum class ReportKind : uint8_t { Unknown, Mouse, Keyboard, BootMouse, BootKeyboard };

// What the host computer sees of the reports it accepted.
struct HostView {
    // Held now.
    uint8_t buttons = 0;                 // bit n = button n + 1
    uint8_t modifiers = 0;               // usages 0xE0..0xE7
    std::vector<uint8_t> keys;           // usages in slot order, no empty/error slots
    uint8_t consumer = 0;                // bits 0..6 of the consumer report (padding ignored)
    // Sums of relative motion since the host started.
    int64_t x = 0, y = 0, wheel = 0;
    // Presses seen (a change from released to held), so a tap between two looks still shows.
    std::map<uint8_t, unsigned> key_presses; // by usage, modifiers as 0xE0..0xE7
    std::array<unsigned, 8> button_presses{};
    std::array<unsigned, 8> consumer_presses{};
    // What a computer with a US layout typed from the presses, in order. Control characters
    // stay themselves (Enter '\n', Tab '\t', Backspace '\b', Escape '\x1b', Ctrl+A '\x01');
    // presses with Alt or GUI held are shortcuts and type nothing.
    std::string typed;
    bool caps_lock = false, num_lock = false, scroll_lock = false; // the computer's, off at the start
    unsigned mouse_reports = 0, keyboard_reports = 0, consumer_reports = 0, malformed = 0;

    bool key_held(uint8_t usage) const;   // also 0xE0..0xE7 for the modifiers
    bool button_held(int n) const { return n >= 1 && n <= 8 && (buttons >> (n - 1) & 1); }
    unsigned presses(uint8_t usage) const;
    // The lock states as the keyboard's LED report carries them: bit 0 Num, 1 Caps, 2 Scroll.
    uint8_t lock_leds() const { return uint8_t(num_lock | caps_lock << 1 | scroll_lock << 2); }
    // Applies one accepted report; false (and counted as malformed) if it fits no format. A
    // boot report of the wrong length is counted as malformed but, if long enough, applied
    // as firmware takes it (a report-protocol keyboard report gives Left Ctrl held).
    bool apply(ReportKind kind, std::span<const uint8_t> r);
    // The device went away: the computer releases everything it held.
    void release_all();

private:
    void apply_mouse(const MouseReport &m);
    void apply_keyboard(const KeyboardReport &k);
    void type_key(uint8_t usage, uint8_t mods);
};

// The character a US layout gives for a keyboard usage, or 0 when it gives none.
char us_layout_char(uint8_t usage, bool shift, bool num_lock);

// One line of what the host sees: "host sees: keys [LShift h]  buttons L--  pointer (3, -2)
// wheel 0".
std::string describe(const HostView &v);

// Text as a C string literal's body: \n, \t, \b, \r, \\, \" and three octal digits for
// other control bytes (\033), which no following character can extend.
std::string c_escaped(std::string_view text);

} // namespace sim
