// The host's enumeration sequences, one per EnumStyle.
#include "usb_host.h"

namespace sim {

using Clock = std::chrono::steady_clock;

bool UsbHost::run_enumeration(EnumStyle style, uint8_t address)
{
    const HostTiming &t = opts_.timing;
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

    // First look: the host does not know the packet size yet. Linux and Windows ask for 64
    // bytes and take the first packet; macOS asks for the 8 bytes that hold the size.
    ControlResult r;
    if (style == EnumStyle::MacOS)
        r = step("device descriptor (8)", true, Setup::get_descriptor(usb::DescDevice, 0, 8), at0(8));
    else
        r = step("device descriptor (64, first packet)", true,
                 Setup::get_descriptor(usb::DescDevice, 0, 64), at0(64));
    if (!check(r.ok() && r.data.size() >= 8 && r.data[1] == usb::DescDevice,
               "first device descriptor read failed"))
        return false;
    const uint8_t mps = r.data[7];
    if (!check(mps == 8 || mps == 16 || mps == 32 || mps == 64, "bMaxPacketSize0 " + std::to_string(mps)))
        return false;
    mps0_ = mps;
    const std::vector<uint8_t> first = r.data;

    if (style == EnumStyle::Compliance) {
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
    if (!pause(t.set_address_recovery))
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
    if (style == EnumStyle::Windows) {
        r = step("configuration (255)", true, Setup::get_descriptor(usb::DescConfig, 0, 255));
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
        if (style == EnumStyle::MacOS) {
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
    if (style == EnumStyle::Windows) {
        // The vendor's OS descriptor; most devices refuse it.
        step("string 0xEE", false, Setup::get_descriptor(usb::DescString, 0xEE, 0x12, 0));
        read_string(0, 0);
        read_string(1, 0x0409);
        read_string(2, 0x0409);
    } else if (dev.i_manufacturer || dev.i_product || dev.i_serial) {
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

    if (style == EnumStyle::Windows) {
        r = step("GET_STATUS", true, Setup::std(usb::DirIn, usb::GetStatus, 0, 0, 2));
        if (!check(r.ok() && r.data.size() == 2, "GET_STATUS"))
            return false;
    }

    for (const InterfaceInfo &itf : ci.interfaces) {
        if (itf.cls != 0x03 || !itf.has_hid)
            continue;
        const std::string n = std::to_string(itf.number);
        // Hosts set the idle rate to 0 (report only on change) and carry on if refused.
        step("SET_IDLE interface " + n, false,
             Setup::std(usb::TypeClass | usb::RecipInterface, usb::HidSetIdle, 0, itf.number, 0));
        // Windows asks for more than the HID descriptor says, to see the whole of it.
        uint16_t len = uint16_t(itf.report_length + (style == EnumStyle::Windows ? 0x40 : 0));
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
    for (const InterfaceInfo &itf : ci.interfaces) {
        if (itf.cls != 0x03 || itf.protocol != 1)
            continue;
        for (const EndpointInfo &ep : itf.endpoints) {
            if (ep.in() || !ep.interrupt())
                continue;
            const uint8_t leds[2] = {kKeyboardReportId, 0x00};
            uint64_t id = queue_output(ep.address, leds);
            auto until = Clock::now() + t.output_timeout;
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
            EnumStep s{"LED output report", false, output_results_[id], {}};
            s.result.status = s.ok ? XferStatus::Ok : done ? XferStatus::Stall : XferStatus::NakTimeout;
            pub_.last_enumeration.push_back(s);
        }
    }

    start_polling_urbs();
    return true;
}

} // namespace sim
