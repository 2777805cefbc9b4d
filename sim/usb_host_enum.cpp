// How the host enumerates a device: the styles' choices, one row each, and the one walk
// through enumeration that follows a row.
#include "usb_host.h"

#include <algorithm>
#include <cerrno>

namespace sim {

using Clock = std::chrono::steady_clock;
using Strings = HostStyle::Strings;
using Leds = HostStyle::Leds;

namespace {

// style, name, first device read, 18 at address 0, configuration read, strings, strings by
// header, GET_STATUS, SET_PROTOCOL(boot), SET_IDLE, idle, report descriptors (+extra), LEDs,
// compliance tester
constexpr HostStyle kHostStyles[] = {
    {EnumStyle::Linux, "linux", 64, false, 0, Strings::Referenced, false, false, false, true, 0, true, 0,
     Leds::InterruptOut, false},
    // Windows asks for more of the report descriptor than the HID descriptor says, to see the
    // whole of it.
    {EnumStyle::Windows, "windows", 64, false, 255, Strings::Windows, false, true, false, true, 0, true, 0x40,
     Leds::InterruptOut, false},
    {EnumStyle::MacOS, "macos", 8, false, 0, Strings::Referenced, true, false, false, true, 0, true, 0,
     Leds::InterruptOut, false},
    {EnumStyle::Compliance, "compliance", 64, true, 0, Strings::Referenced, false, false, false, true, 0, true, 0,
     Leds::InterruptOut, true},
    {EnumStyle::Firmware, "firmware", 8, false, 0, Strings::None, false, false, true, true, 0, false, 0,
     Leds::SetReport, false},
};

constexpr bool rows_in_order()
{
    for (size_t i = 0; i < std::size(kHostStyles); ++i)
        if (kHostStyles[i].style != EnumStyle(i))
            return false;
    return true;
}
static_assert(rows_in_order(), "one row per EnumStyle, in its order");

} // namespace

const HostStyle &host_style(EnumStyle s)
{
    return size_t(s) < std::size(kHostStyles) ? kHostStyles[size_t(s)] : kHostStyles[0];
}

const char *to_string(EnumStyle s) { return host_style(s).name; }

bool UsbHost::enumerate_locked(EnumStyle style, bool keep_address)
{
    const uint64_t start = state_ == HostState::Attached ? attach_us_ : now_us();
    uint8_t addr = address_;
    if (!keep_address || !addr) {
        addr = next_address_;
        next_address_ = next_address_ >= 127 ? opts_.first_address : uint8_t(next_address_ + 1);
    }
    used_style_ = style;
    {
        std::lock_guard l(mu_);
        pub_.style = style;
        pub_.ready = false;
    }
    bool ok = false;
    for (unsigned attempt = 0; attempt < std::max(1u, opts_.enumeration_attempts) && !ok; ++attempt) {
        {
            std::lock_guard l(mu_);
            pub_.last_enumeration.clear();
        }
        ok = run_enumeration(style, addr);
        if (stopping_ || !device_present())
            break;
    }
    std::lock_guard l(mu_);
    if (ok) {
        pub_.ready = true;
        ++pub_.enumerations;
        pub_.enumeration_us = now_us() - start;
    } else if (stopping_ && cable_) {
        state_ = HostState::Attached; // try again once the host runs again
        pub_.state = state_;
    } else {
        if (state_ != HostState::Detached)
            state_ = HostState::Failed;
        pub_.state = state_;
        ++pub_.enumeration_failures;
    }
    cv_.notify_all();
    return ok;
}

bool UsbHost::enumerate(EnumStyle style)
{
    std::lock_guard bus(bus_mu_);
    if (!device_present())
        return false;
    return enumerate_locked(style, false);
}

void UsbHost::set_style(EnumStyle style)
{
    std::lock_guard bus(bus_mu_);
    style_ = style;
}

void UsbHost::set_idle_rate(std::optional<uint8_t> duration)
{
    std::lock_guard bus(bus_mu_);
    idle_ = duration;
}

void UsbHost::set_lock_leds(bool on)
{
    std::lock_guard bus(bus_mu_);
    lock_leds_on_ = on;
}

ControlResult UsbHost::step(const std::string &name, bool required, const Setup &s, ControlOptions o,
                            std::span<const uint8_t> out)
{
    ControlResult r = control_locked(s, out, o);
    std::lock_guard l(mu_);
    pub_.last_enumeration.push_back({name, required, r.ok(), r});
    if (!r.ok() && required)
        pub_.last_error = name + ": " + to_string(r.status);
    return r;
}

bool UsbHost::run_enumeration(EnumStyle style, uint8_t address)
{
    const HostStyle &hs = host_style(style);
    auto check = [&](bool cond, const std::string &why) {
        if (!cond) {
            std::lock_guard l(mu_);
            if (!pub_.last_enumeration.empty())
                pub_.last_enumeration.back().ok = false;
            pub_.last_error = why;
        }
        return cond;
    };
    auto at0 = [](int mps) {
        ControlOptions o;
        o.address = 0;
        o.max_packet = mps;
        return o;
    };

    if (!reset_bus())
        return false;

    // First look: the host does not know the packet size yet. It asks for 64 bytes and takes
    // the first packet, or for the 8 bytes that hold the size.
    const uint16_t first_len = hs.first_device_length;
    ControlResult r = step(first_len == 8 ? "device descriptor (8)" : "device descriptor (64, first packet)", true,
                           Setup::get_descriptor(usb::DescDevice, 0, first_len), at0(first_len));
    if (!check(r.ok() && r.data.size() >= 8 && r.data[1] == usb::DescDevice,
               "first device descriptor read failed"))
        return false;
    const uint8_t mps = r.data[7];
    if (!check(mps == 8 || mps == 16 || mps == 32 || mps == 64, "bMaxPacketSize0 " + std::to_string(mps)))
        return false;
    mps0_ = mps;
    const std::vector<uint8_t> first = r.data;

    if (hs.device_at_address0) {
        if (!reset_bus())
            return false;
        r = step("device descriptor (18) at address 0", true,
                 Setup::get_descriptor(usb::DescDevice, 0, 18), at0(mps));
        if (!check(r.ok() && r.data.size() == 18 && std::equal(first.begin(), first.end(), r.data.begin()),
                   "device descriptor at address 0"))
            return false;
    }
    if (!reset_bus())
        return false;

    r = step("SET_ADDRESS " + std::to_string(address), true,
             Setup::std(0, usb::SetAddress, address, 0, 0), at0(mps));
    if (!r.ok())
        return false;
    address_ = address;
    state_ = HostState::Addressed;
    {
        std::lock_guard l(mu_);
        pub_.address = address;
        pub_.state = state_;
        cv_.notify_all();
    }
    if (!pause(opts_.timing.set_address_recovery))
        return false;

    r = step("device descriptor (18)", true, Setup::get_descriptor(usb::DescDevice, 0, 18));
    DeviceInfo dev = parse_device_descriptor(r.data);
    if (!check(r.ok() && dev.ok, "device descriptor: " + (r.ok() ? dev.error : to_string(r.status))))
        return false;
    {
        std::lock_guard l(mu_);
        pub_.device_descriptor = r.data;
    }

    std::vector<uint8_t> cfg;
    if (hs.config_length) {
        r = step("configuration (" + std::to_string(hs.config_length) + ")", true,
                 Setup::get_descriptor(usb::DescConfig, 0, hs.config_length));
        cfg = r.data;
    } else {
        r = step("configuration (9)", true, Setup::get_descriptor(usb::DescConfig, 0, 9));
        if (!check(r.ok() && r.data.size() == 9 && r.data[1] == usb::DescConfig, "configuration header"))
            return false;
        uint16_t total = uint16_t(r.data[2] | r.data[3] << 8);
        r = step("configuration (" + std::to_string(total) + ")", true,
                 Setup::get_descriptor(usb::DescConfig, 0, total));
        if (!check(r.ok() && r.data.size() == total, "configuration shorter than wTotalLength"))
            return false;
        cfg = r.data;
    }
    ConfigInfo ci = parse_config_descriptor(cfg);
    if (!check(r.ok() && ci.ok, "configuration: " + (r.ok() ? ci.error : to_string(r.status))))
        return false;
    {
        std::lock_guard l(mu_);
        pub_.config_descriptor = cfg;
    }

    auto read_string = [&](uint8_t idx, uint16_t lang) {
        const std::string name = "string " + std::to_string(idx);
        if (hs.string_header_first) {
            r = step(name + " (2)", false, Setup::get_descriptor(usb::DescString, idx, 2, lang));
            if (!r.ok() || r.data.size() < 2)
                return;
            r = step(name + " (" + std::to_string(r.data[0]) + ")", false,
                     Setup::get_descriptor(usb::DescString, idx, r.data[0], lang));
        } else {
            r = step(name, false, Setup::get_descriptor(usb::DescString, idx, 255, lang));
        }
        if (r.ok() && check(parse_string_descriptor(r.data).has_value(), name + " malformed")) {
            std::lock_guard l(mu_);
            pub_.strings[idx] = r.data;
        }
    };
    if (hs.strings == HostStyle::Strings::Windows) {
        // The vendor's OS descriptor; most devices refuse it.
        step("string 0xEE", false, Setup::get_descriptor(usb::DescString, 0xEE, 0x12, 0));
        read_string(0, 0);
        read_string(1, 0x0409);
        read_string(2, 0x0409);
    } else if (hs.strings == HostStyle::Strings::Referenced && (dev.i_manufacturer || dev.i_product || dev.i_serial)) {
        read_string(0, 0);
        uint16_t lang = 0x0409;
        {
            std::lock_guard l(mu_);
            auto it = pub_.strings.find(0);
            if (it != pub_.strings.end() && it->second.size() >= 4)
                lang = uint16_t(it->second[2] | it->second[3] << 8);
        }
        for (uint8_t idx : {dev.i_manufacturer, dev.i_product, dev.i_serial})
            if (idx)
                read_string(idx, lang);
    }

    r = step("SET_CONFIGURATION " + std::to_string(ci.value), true,
             Setup::std(0, usb::SetConfiguration, ci.value, 0, 0));
    if (!r.ok())
        return false;
    configured(ci);

    if (hs.get_status) {
        r = step("GET_STATUS", true, Setup::std(usb::DirIn, usb::GetStatus, 0, 0, 2));
        if (!check(r.ok() && r.data.size() == 2, "GET_STATUS"))
            return false;
    }

    const uint8_t idle = idle_.value_or(hs.idle);
    for (const InterfaceInfo &itf : ci.interfaces) {
        if (itf.cls != 0x03 || !itf.has_hid)
            continue;
        const std::string n = std::to_string(itf.number);
        // Firmware drives only boot interfaces, and only in boot protocol.
        if (hs.boot_protocol && itf.subclass == 1) {
            switching_protocol_ = true;
            r = step("SET_PROTOCOL (boot) interface " + n, true, Setup::hid(usb::HidSetProtocol, 0, itf.number, 0));
            switching_protocol_ = false;
            if (!r.ok())
                return false;
            took_protocol(itf.number, 0);
        }
        // Hosts set the idle rate (0: report only on change) and carry on if refused.
        if (hs.set_idle)
            step("SET_IDLE interface " + n, false, Setup::hid(usb::HidSetIdle, uint16_t(idle << 8), itf.number, 0));
        if (!hs.report_descriptors)
            continue;
        uint16_t len = uint16_t(itf.report_length + hs.report_descriptor_extra);
        r = step("report descriptor interface " + n, true, Setup::get_report_descriptor(itf.number, len));
        if (!check(r.ok() && r.data.size() == itf.report_length,
                   "report descriptor of interface " + n + ": " + to_string(r.status) + ", " +
                       std::to_string(r.data.size()) + " bytes"))
            return false;
        ReportLayout layout = parse_report_descriptor(r.data);
        if (!check(layout.ok, "report descriptor of interface " + n + ": " + layout.error))
            return false;
        std::lock_guard l(mu_);
        pub_.report_descriptors[itf.number] = r.data;
    }

    // The keyboard's LED state, sent as soon as the keyboard is bound.
    if (!send_led_report())
        return false;

    start_polling_urbs();
    return true;
}


// The enumeration's LED report, recorded as a step that may fail; false only when the device
// went away meanwhile.
bool UsbHost::send_led_report()
{
    // A host that follows its lock keys tells a new device their state; otherwise all off.
    const LedReport r = led_report(lock_leds_on_ ? lock_leds_ : 0x00);
    if (!r.keyboard || (!r.setup && !r.out_ep))
        return true;
    if (r.setup) {
        step("LED report (SET_REPORT)", false, *r.setup, {}, r.bytes);
        return true;
    }
    uint64_t id = queue_output(r.ep, r.bytes);
    auto until = Clock::now() + opts_.timing.output_timeout;
    bool done = false;
    while (!done && Clock::now() < until) {
        if (!pause(1ms))
            return false;
        std::lock_guard l(mu_);
        done = output_results_.count(id) != 0;
    }
    if (!done)
        fail_outputs(-ENOENT);
    std::lock_guard l(mu_);
    EnumStep st{"LED output report", false, output_results_[id], {}};
    st.result.status = st.ok ? XferStatus::Ok : done ? XferStatus::Stall : XferStatus::NakTimeout;
    pub_.last_enumeration.push_back(st);
    return true;
}

} // namespace sim
