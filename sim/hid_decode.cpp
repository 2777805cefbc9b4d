#include "hid_decode.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

uint16_t le16(std::span<const uint8_t> d, size_t at) { return uint16_t(d[at] | d[at + 1] << 8); }

std::string hex(unsigned v)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "0x";
    s += digits[(v >> 4) & 0xF];
    s += digits[v & 0xF];
    return s;
}

} // namespace

DeviceInfo parse_device_descriptor(std::span<const uint8_t> d)
{
    DeviceInfo i;
    if (d.size() < 18) {
        i.error = "device descriptor has " + std::to_string(d.size()) + " bytes, not 18";
        return i;
    }
    if (d[0] != 18 || d[1] != usb::DescDevice) {
        i.error = "device descriptor header " + hex(d[0]) + " " + hex(d[1]);
        return i;
    }
    i.bcd_usb = le16(d, 2);
    i.cls = d[4];
    i.max_packet0 = d[7];
    i.vid = le16(d, 8);
    i.pid = le16(d, 10);
    i.bcd_device = le16(d, 12);
    i.i_manufacturer = d[14];
    i.i_product = d[15];
    i.i_serial = d[16];
    i.num_configs = d[17];
    if (i.max_packet0 != 8 && i.max_packet0 != 16 && i.max_packet0 != 32 && i.max_packet0 != 64) {
        i.error = "bMaxPacketSize0 " + std::to_string(i.max_packet0);
        return i;
    }
    if (i.num_configs == 0) {
        i.error = "no configuration";
        return i;
    }
    i.ok = true;
    return i;
}

const EndpointInfo *ConfigInfo::endpoint(uint8_t address) const
{
    for (auto &itf : interfaces)
        for (auto &ep : itf.endpoints)
            if (ep.address == address)
                return &ep;
    return nullptr;
}

const InterfaceInfo *ConfigInfo::interface_of(uint8_t ep_address) const
{
    for (auto &itf : interfaces)
        for (auto &ep : itf.endpoints)
            if (ep.address == ep_address)
                return &itf;
    return nullptr;
}

ConfigInfo parse_config_descriptor(std::span<const uint8_t> d)
{
    ConfigInfo c;
    if (d.size() < 9 || d[0] != 9 || d[1] != usb::DescConfig) {
        c.error = "configuration descriptor header malformed";
        return c;
    }
    c.total_length = le16(d, 2);
    c.num_interfaces = d[4];
    c.value = d[5];
    c.attributes = d[7];
    c.max_power = d[8];
    if (c.total_length != d.size()) {
        c.error = "wTotalLength " + std::to_string(c.total_length) + " but " +
                  std::to_string(d.size()) + " bytes";
        return c;
    }
    if (!(c.attributes & 0x80)) {
        c.error = "bmAttributes bit 7 not set";
        return c;
    }
    InterfaceInfo *cur = nullptr;
    size_t expected_eps = 0;
    for (size_t at = 9; at < d.size();) {
        uint8_t len = d[at];
        if (len < 2 || at + len > d.size()) {
            c.error = "descriptor at offset " + std::to_string(at) + " runs past the end";
            return c;
        }
        auto item = d.subspan(at, len);
        switch (item[1]) {
        case usb::DescInterface:
            if (len < 9) {
                c.error = "short interface descriptor";
                return c;
            }
            if (cur && cur->endpoints.size() != expected_eps) {
                c.error = "interface " + std::to_string(cur->number) + " lists the wrong number of endpoints";
                return c;
            }
            c.interfaces.push_back({});
            cur = &c.interfaces.back();
            cur->number = item[2];
            cur->alternate = item[3];
            expected_eps = item[4];
            cur->cls = item[5];
            cur->subclass = item[6];
            cur->protocol = item[7];
            break;
        case usb::DescHid:
            if (!cur || len < 9) {
                c.error = "HID descriptor outside an interface";
                return c;
            }
            for (size_t k = 0; k < item[5] && 6 + 3 * k + 2 < len; ++k)
                if (item[6 + 3 * k] == usb::DescReport) {
                    cur->has_hid = true;
                    cur->report_length = le16(item, 7 + 3 * k);
                }
            break;
        case usb::DescEndpoint: {
            if (!cur || len < 7) {
                c.error = "endpoint descriptor outside an interface";
                return c;
            }
            EndpointInfo ep{item[2], item[3], item[6], le16(item, 4)};
            if ((ep.address & 0x0F) == 0 || ep.max_packet == 0 || ep.max_packet > 64) {
                c.error = "endpoint " + hex(ep.address) + " malformed";
                return c;
            }
            if (c.endpoint(ep.address)) {
                c.error = "endpoint " + hex(ep.address) + " declared twice";
                return c;
            }
            if (ep.interrupt() && ep.interval == 0) {
                c.error = "interrupt endpoint " + hex(ep.address) + " with bInterval 0";
                return c;
            }
            cur->endpoints.push_back(ep);
            break;
        }
        default:
            break; // class or vendor descriptors a host skips
        }
        at += len;
    }
    if (cur && cur->endpoints.size() != expected_eps) {
        c.error = "interface " + std::to_string(cur->number) + " lists the wrong number of endpoints";
        return c;
    }
    if (c.interfaces.size() != c.num_interfaces) {
        c.error = "bNumInterfaces " + std::to_string(c.num_interfaces) + " but " +
                  std::to_string(c.interfaces.size()) + " interfaces";
        return c;
    }
    c.ok = true;
    return c;
}

std::optional<std::string> parse_string_descriptor(std::span<const uint8_t> d)
{
    if (d.size() < 2 || d[0] != d.size() || d[1] != usb::DescString || d.size() % 2)
        return std::nullopt;
    std::string s;
    for (size_t i = 2; i + 1 < d.size(); i += 2) {
        uint16_t ch = le16(d, i);
        s += (ch >= 0x20 && ch < 0x7F) ? char(ch) : '?';
    }
    return s;
}

unsigned ReportLayout::input_bytes(uint8_t id) const
{
    auto it = reports.find(id);
    if (it == reports.end() || !it->second.input_bits)
        return 0;
    return (it->second.input_bits + 7) / 8 + (uses_ids ? 1 : 0);
}

unsigned ReportLayout::output_bytes(uint8_t id) const
{
    auto it = reports.find(id);
    if (it == reports.end() || !it->second.output_bits)
        return 0;
    return (it->second.output_bits + 7) / 8 + (uses_ids ? 1 : 0);
}

ReportLayout parse_report_descriptor(std::span<const uint8_t> d)
{
    ReportLayout l;
    struct Globals {
        unsigned size = 0, count = 0;
        uint8_t id = 0;
    } g;
    std::vector<Globals> stack;
    int depth = 0;
    bool main_before_id = false;
    for (size_t at = 0; at < d.size();) {
        uint8_t prefix = d[at];
        if (prefix == 0xFE) {
            l.error = "long item at offset " + std::to_string(at);
            return l;
        }
        size_t n = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (at + 1 + n > d.size()) {
            l.error = "item at offset " + std::to_string(at) + " is cut off";
            return l;
        }
        uint32_t v = 0;
        for (size_t k = 0; k < n; ++k)
            v |= uint32_t(d[at + 1 + k]) << (8 * k);
        uint8_t type = (prefix >> 2) & 3, tag = prefix >> 4;
        if (type == 0) { // main
            switch (tag) {
            case 0x8:
            case 0x9:
            case 0xB: {
                if (!l.uses_ids)
                    main_before_id = true;
                auto &r = l.reports[g.id];
                unsigned bits = g.size * g.count;
                (tag == 0x8 ? r.input_bits : tag == 0x9 ? r.output_bits : r.feature_bits) += bits;
                break;
            }
            case 0xA:
                if (depth == 0 && v == 1)
                    ++l.application_collections;
                ++depth;
                break;
            case 0xC:
                if (--depth < 0) {
                    l.error = "End Collection without Collection at offset " + std::to_string(at);
                    return l;
                }
                break;
            default:
                l.error = "unknown main item " + hex(prefix);
                return l;
            }
        } else if (type == 1) { // global
            switch (tag) {
            case 0x7: g.size = v; break;
            case 0x8:
                if (v == 0 || v > 0xFF) {
                    l.error = "Report ID " + std::to_string(v);
                    return l;
                }
                if (main_before_id) {
                    l.error = "reports declared before the first Report ID";
                    return l;
                }
                l.uses_ids = true;
                g.id = uint8_t(v);
                break;
            case 0x9: g.count = v; break;
            case 0xA: stack.push_back(g); break;
            case 0xB:
                if (stack.empty()) {
                    l.error = "Pop without Push";
                    return l;
                }
                g = stack.back();
                stack.pop_back();
                break;
            default: break;
            }
        }
        at += 1 + n;
    }
    if (depth != 0) {
        l.error = std::to_string(depth) + " collection(s) left open";
        return l;
    }
    l.ok = true;
    return l;
}

std::optional<MouseReport> decode_mouse(std::span<const uint8_t> r)
{
    if (r.size() != kMouseReportLen)
        return std::nullopt;
    MouseReport m;
    m.buttons = r[0];
    m.x = int16_t(le16(r, 1));
    m.y = int16_t(le16(r, 3));
    m.wheel = int8_t(r[5]);
    return m;
}

std::optional<KeyboardReport> decode_keyboard(std::span<const uint8_t> r)
{
    if (r.size() != kKeyboardReportLen || r[0] != kKeyboardReportId)
        return std::nullopt;
    KeyboardReport k;
    k.modifiers = r[1];
    std::copy(r.begin() + 2, r.end(), k.keys.begin());
    return k;
}

std::optional<uint8_t> decode_consumer(std::span<const uint8_t> r)
{
    if (r.size() != kConsumerReportLen || r[0] != kConsumerReportId)
        return std::nullopt;
    return r[1];
}

std::optional<MouseReport> decode_boot_mouse(std::span<const uint8_t> r)
{
    if (r.size() < kBootMouseReportLen)
        return std::nullopt;
    MouseReport m;
    m.buttons = r[0] & 0x07; // the rest of the byte is padding in the boot format
    m.x = int8_t(r[1]);
    m.y = int8_t(r[2]);
    return m;
}

std::optional<KeyboardReport> decode_boot_keyboard(std::span<const uint8_t> r)
{
    if (r.size() < kBootKeyboardReportLen)
        return std::nullopt;
    KeyboardReport k;
    k.modifiers = r[0];
    std::copy(r.begin() + 2, r.begin() + kBootKeyboardReportLen, k.keys.begin());
    k.slots = kBootKeyboardReportLen - 2;
    return k;
}

bool HostView::key_held(uint8_t usage) const
{
    if (usage >= 0xE0 && usage <= 0xE7)
        return modifiers >> (usage - 0xE0) & 1;
    return std::find(keys.begin(), keys.end(), usage) != keys.end();
}

unsigned HostView::presses(uint8_t usage) const
{
    auto it = key_presses.find(usage);
    return it == key_presses.end() ? 0 : it->second;
}

void HostView::apply_mouse(const MouseReport &m)
{
    for (int b = 0; b < 8; ++b)
        if ((m.buttons >> b & 1) && !(buttons >> b & 1))
            ++button_presses[b];
    buttons = m.buttons;
    x += m.x;
    y += m.y;
    wheel += m.wheel;
    ++mouse_reports;
}

void HostView::apply_keyboard(const KeyboardReport &k)
{
    ++keyboard_reports;
    // All slots ErrorRollOver (usage 1): the keyboard lost track; the state stays.
    if (std::all_of(k.keys.begin(), k.keys.begin() + k.slots, [](uint8_t u) { return u == 1; }))
        return;
    for (int b = 0; b < 8; ++b)
        if ((k.modifiers >> b & 1) && !(modifiers >> b & 1))
            ++key_presses[uint8_t(0xE0 + b)];
    std::vector<uint8_t> now;
    for (uint8_t u : std::span(k.keys).first(k.slots))
        if (u > 3 && std::find(now.begin(), now.end(), u) == now.end())
            now.push_back(u);
    for (uint8_t u : now)
        if (std::find(keys.begin(), keys.end(), u) == keys.end()) {
            ++key_presses[u];
            type_key(u, k.modifiers);
        }
    keys = std::move(now);
    modifiers = k.modifiers;
}

bool HostView::apply(ReportKind kind, std::span<const uint8_t> r)
{
    switch (kind) {
    case ReportKind::Mouse:
        if (auto m = decode_mouse(r)) {
            apply_mouse(*m);
            return true;
        }
        break;
    case ReportKind::Keyboard:
        if (auto k = decode_keyboard(r)) {
            apply_keyboard(*k);
            return true;
        }
        if (auto c = decode_consumer(r)) {
            uint8_t bits = *c & 0x7F;
            for (int b = 0; b < 7; ++b)
                if ((bits >> b & 1) && !(consumer >> b & 1))
                    ++consumer_presses[b];
            consumer = bits;
            ++consumer_reports;
            return true;
        }
        break;
    case ReportKind::BootMouse:
        if (auto m = decode_boot_mouse(r)) {
            apply_mouse(*m);
            if (r.size() == kBootMouseReportLen)
                return true;
        }
        break;
    case ReportKind::BootKeyboard:
        if (auto k = decode_boot_keyboard(r)) {
            apply_keyboard(*k);
            if (r.size() == kBootKeyboardReportLen)
                return true;
        }
        break;
    case ReportKind::Unknown:
        break;
    }
    ++malformed;
    return false;
}

void HostView::release_all()
{
    buttons = 0;
    modifiers = 0;
    keys.clear();
    consumer = 0;
}

namespace {

// Usages 0x1E..0x38 on a US layout: unshifted, shifted (0x32 gives what 0x31 does, as on Linux).
constexpr char kUsRow[] = "1234567890\n\x1b\b\t -=[]\\\\;'`,./";
constexpr char kUsRowShift[] = "!@#$%^&*()\n\x1b\b\t _+{}||:\"~<>?";
static_assert(sizeof kUsRow == 0x38 - 0x1E + 2 && sizeof kUsRowShift == sizeof kUsRow);
constexpr char kKeypad[] = "/*-+\n1234567890.";      // usages 0x54..0x63
constexpr uint8_t kKeypadDigits = 0x59;               // 1..9, 0 and '.' follow Num Lock
static_assert(sizeof kKeypad == 0x63 - 0x54 + 2);
constexpr uint8_t kCapsLock = 0x39, kScrollLock = 0x47, kNumLock = 0x53;
constexpr uint8_t kCtrl = 0x11, kShift = 0x22, kAltGui = 0xCC; // left | right modifier bits

} // namespace

char us_layout_char(uint8_t usage, bool shift, bool num_lock)
{
    if (usage >= 0x04 && usage <= 0x1D)
        return char((shift ? 'A' : 'a') + usage - 0x04);
    if (usage >= 0x1E && usage <= 0x38)
        return (shift ? kUsRowShift : kUsRow)[usage - 0x1E];
    if (usage >= 0x54 && usage <= 0x63)
        return usage < kKeypadDigits || num_lock ? kKeypad[usage - 0x54] : 0;
    return 0;
}

void HostView::type_key(uint8_t usage, uint8_t mods)
{
    if (usage == kCapsLock) {
        caps_lock = !caps_lock;
        return;
    }
    if (usage == kNumLock) {
        num_lock = !num_lock;
        return;
    }
    if (usage == kScrollLock) {
        scroll_lock = !scroll_lock;
        return;
    }
    if (mods & kAltGui)
        return;
    bool letter = usage >= 0x04 && usage <= 0x1D;
    if (mods & kCtrl) {
        if (letter)
            typed += char(1 + usage - 0x04);
        return;
    }
    bool shift = (mods & kShift) != 0;
    if (letter && caps_lock)
        shift = !shift;
    if (char c = us_layout_char(usage, shift, num_lock))
        typed += c;
}

std::string describe(const HostView &v)
{
    static const char *mods[] = {"LCtrl", "LShift", "LAlt", "LGui", "RCtrl", "RShift", "RAlt", "RGui"};
    std::string s = "host sees: keys [";
    for (int i = 0; i < 8; ++i)
        if (v.modifiers >> i & 1)
            s += std::string(mods[i]) + " ";
    for (uint8_t k : v.keys) {
        char c[16];
        if (k >= 0x04 && k <= 0x1D)
            snprintf(c, sizeof c, "%c ", 'a' + k - 0x04);
        else
            snprintf(c, sizeof c, "0x%02x ", k);
        s += c;
    }
    if (s.back() == ' ')
        s.pop_back();
    char tail[128];
    snprintf(tail, sizeof tail, "]  buttons %c%c%c  pointer (%lld, %lld)  wheel %lld", v.button_held(1) ? 'L' : '-',
             v.button_held(3) ? 'M' : '-', v.button_held(2) ? 'R' : '-', static_cast<long long>(v.x),
             static_cast<long long>(v.y), static_cast<long long>(v.wheel));
    return s + tail;
}

std::string c_escaped(std::string_view text)
{
    std::string s;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\n': s += "\\n"; break;
        case '\t': s += "\\t"; break;
        case '\b': s += "\\b"; break;
        case '\r': s += "\\r"; break;
        case '\\': s += "\\\\"; break;
        case '"': s += "\\\""; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char oct[8];
                snprintf(oct, sizeof oct, "\\%03o", c);
                s += oct;
            } else {
                s += ch;
            }
        }
    }
    return s;
}

} // namespace sim
