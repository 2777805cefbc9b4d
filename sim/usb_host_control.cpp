// The host's stack for endpoint 0: single transactions as the controller makes them, control
// transfers with their retries and stages, and the standard and HID class requests a host
// stack sends on behalf of its drivers.
#include "usb_host.h"

#include "kernel.h"

#include <algorithm>
#include <cerrno>

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {

XferStatus from_handshake(Handshake h)
{
    switch (h) {
    case Handshake::Stall: return XferStatus::Stall;
    case Handshake::Nak: return XferStatus::NakTimeout;
    default: return XferStatus::NoResponse;
    }
}

int32_t urb_status(XferStatus s)
{
    switch (s) {
    case XferStatus::Ok: return 0;
    case XferStatus::Stall: return -EPIPE;
    case XferStatus::NakTimeout: return -ENOENT; // killed by the caller's time-out
    case XferStatus::NoResponse: return -EPROTO;
    case XferStatus::Babble:
    case XferStatus::Overflow: return -EOVERFLOW;
    case XferStatus::Abandoned: return -ECONNRESET;
    }
    return -EPROTO;
}

} // namespace

const char *to_string(XferStatus s)
{
    switch (s) {
    case XferStatus::Ok: return "ok";
    case XferStatus::Stall: return "stall";
    case XferStatus::NakTimeout: return "nak time-out";
    case XferStatus::NoResponse: return "no response";
    case XferStatus::Babble: return "babble";
    case XferStatus::Overflow: return "overflow";
    case XferStatus::Abandoned: return "abandoned";
    }
    return "?";
}

std::array<uint8_t, 8> Setup::bytes() const
{
    return {request_type, request, uint8_t(value), uint8_t(value >> 8),
            uint8_t(index), uint8_t(index >> 8), uint8_t(length), uint8_t(length >> 8)};
}

Setup Setup::get_descriptor(uint8_t type, uint8_t idx, uint16_t length, uint16_t windex)
{
    return {usb::DirIn, usb::GetDescriptor, uint16_t(type << 8 | idx), windex, length};
}

Setup Setup::get_report_descriptor(uint8_t itf, uint16_t length)
{
    return {usb::DirIn | usb::RecipInterface, usb::GetDescriptor, uint16_t(usb::DescReport << 8), itf, length};
}

Setup Setup::std(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length)
{
    return {type, req, value, index, length};
}

Setup Setup::hid(uint8_t req, uint16_t value, uint8_t itf, uint16_t length)
{
    const bool get = req == usb::HidGetReport || req == usb::HidGetIdle || req == usb::HidGetProtocol;
    return {uint8_t((get ? usb::DirIn : 0) | usb::TypeClass | usb::RecipInterface), req, value, itf, length};
}

Handshake UsbHost::do_setup(uint8_t addr, const Setup &s)
{
    auto b = s.bytes();
    Handshake h;
    {
        std::lock_guard k(Kernel::instance().mutex());
        h = port_.setup(addr, b.data());
        Kernel::instance().notify();
    }
    record(TokenKind::Setup, addr, 0, 0, h, b);
    return h;
}

InPacket UsbHost::do_in(uint8_t addr, uint8_t ep)
{
    InPacket p;
    {
        std::lock_guard k(Kernel::instance().mutex());
        p = port_.in(addr, ep);
        Kernel::instance().notify();
    }
    if (p.len > sizeof p.data)
        p.len = sizeof p.data;
    const bool ack = p.hs == Handshake::Ack;
    record(TokenKind::In, addr, ep | 0x80, ack ? p.toggle : 0, p.hs,
           std::span<const uint8_t>(p.data, ack ? p.len : 0));
    return p;
}

Handshake UsbHost::do_out(uint8_t addr, uint8_t ep, uint8_t tog, std::span<const uint8_t> d)
{
    Handshake h;
    {
        std::lock_guard k(Kernel::instance().mutex());
        h = port_.out(addr, ep, tog, d.data(), uint8_t(d.size()));
        Kernel::instance().notify();
    }
    record(TokenKind::Out, addr, ep, tog, h, d);
    return h;
}

Handshake UsbHost::raw_setup(uint8_t address, const Setup &s)
{
    std::lock_guard bus(bus_mu_);
    return do_setup(address, s);
}

InPacket UsbHost::raw_in(uint8_t address, uint8_t ep)
{
    std::lock_guard bus(bus_mu_);
    return do_in(address, ep & 0x0F);
}

Handshake UsbHost::raw_out(uint8_t address, uint8_t ep, uint8_t toggle, std::span<const uint8_t> data)
{
    std::lock_guard bus(bus_mu_);
    return do_out(address, ep & 0x0F, toggle, data.first(std::min<size_t>(data.size(), 64)));
}

static Handshake handshake_of(Handshake h) { return h; }
static Handshake handshake_of(const InPacket &p) { return p.hs; }

// NAKs are retried until the transfer's deadline; no answer at all three times.
template <class F>
auto UsbHost::retry(F attempt, Clock::time_point deadline)
{
    for (int errors = 0;;) {
        auto r = attempt();
        Handshake h = handshake_of(r);
        if (h == Handshake::Nak && Clock::now() < deadline) {
            wait_step();
            continue;
        }
        if (h == Handshake::Timeout && ++errors < kMaxErrors) {
            wait_step();
            continue;
        }
        return r;
    }
}

ControlResult UsbHost::control(const Setup &s, std::span<const uint8_t> out, ControlOptions o)
{
    std::lock_guard bus(bus_mu_);
    service_frame();
    return control_locked(s, out, o);
}

ControlResult UsbHost::control_locked(const Setup &s, std::span<const uint8_t> out, const ControlOptions &o)
{
    const uint8_t addr = o.address >= 0 ? uint8_t(o.address) : address_;
    const size_t mps = o.max_packet > 0 ? size_t(o.max_packet) : mps0_;
    std::vector<uint8_t> out_data;
    if (!s.in()) {
        out_data.assign(out.begin(), out.begin() + std::min<size_t>(out.size(), s.length));
        out_data.resize(s.length);
    }
    ControlRecord rec;
    rec.t_us = now_us();
    rec.address = addr;
    rec.setup = s;
    rec.out = out_data;

    const uint64_t urb = new_urb();
    const uint8_t ep0 = s.in() ? 0x80 : 0x00;
    capture_urb('S', urb, UsbmonPcap::Control, ep0, -EINPROGRESS, s.length, out_data, &s, addr);

    ControlResult r;
    auto finish = [&](XferStatus st) {
        r.status = st;
        if (s.in())
            capture_urb('C', urb, UsbmonPcap::Control, ep0, urb_status(st), uint32_t(r.data.size()), r.data, nullptr, addr);
        else
            capture_urb('C', urb, UsbmonPcap::Control, ep0, urb_status(st), st == XferStatus::Ok ? s.length : 0, {},
                        nullptr, addr);
        rec.end_us = now_us();
        rec.result = r;
        std::lock_guard l(mu_);
        control_log_.push_back(rec);
        return r;
    };

    const auto deadline = Clock::now() + opts_.timing.control_timeout;
    Handshake h = retry([&] { return do_setup(addr, s); }, deadline);
    if (h != Handshake::Ack)
        return finish(from_handshake(h));
    if (o.abandon == ControlOptions::Abandon::AfterSetup)
        return finish(XferStatus::Abandoned);

    unsigned packets = 0;
    if (s.length && s.in()) {
        for (uint8_t tog = 1;;) {
            InPacket p = retry([&] { return do_in(addr, 0); }, deadline);
            if (p.hs != Handshake::Ack)
                return finish(from_handshake(p.hs));
            if (p.toggle != tog) {
                mark_dropped(); // a packet the device sends again: we have it already
                if (Clock::now() >= deadline)
                    return finish(XferStatus::NakTimeout);
                wait_step();
                continue;
            }
            tog ^= 1;
            if (p.len > mps)
                return finish(XferStatus::Babble);
            if (r.data.size() + p.len > s.length)
                return finish(XferStatus::Overflow);
            r.data.insert(r.data.end(), p.data, p.data + p.len);
            if (o.abandon == ControlOptions::Abandon::AfterData && ++packets >= o.packets)
                return finish(XferStatus::Abandoned);
            if (p.len < mps || r.data.size() == s.length)
                break;
        }
    } else if (s.length) {
        uint8_t tog = 1;
        for (size_t at = 0; at < out_data.size(); at += mps) {
            auto chunk = std::span<const uint8_t>(out_data).subspan(at, std::min(mps, out_data.size() - at));
            h = retry([&] { return do_out(addr, 0, tog, chunk); }, deadline);
            if (h != Handshake::Ack)
                return finish(from_handshake(h));
            tog ^= 1;
            if (o.abandon == ControlOptions::Abandon::AfterData && ++packets >= o.packets)
                return finish(XferStatus::Abandoned);
        }
    }
    if (o.abandon == ControlOptions::Abandon::BeforeStatus)
        return finish(XferStatus::Abandoned);

    if (s.length && s.in()) {
        h = retry([&] { return do_out(addr, 0, 1, {}); }, deadline);
        if (h != Handshake::Ack)
            return finish(from_handshake(h));
    } else {
        for (;;) {
            InPacket p = retry([&] { return do_in(addr, 0); }, deadline);
            if (p.hs != Handshake::Ack)
                return finish(from_handshake(p.hs));
            if (p.toggle != 1) {
                mark_dropped();
                if (Clock::now() >= deadline)
                    return finish(XferStatus::NakTimeout);
                wait_step();
                continue;
            }
            if (p.len != 0)
                return finish(XferStatus::Babble);
            break;
        }
    }
    return finish(XferStatus::Ok);
}

ControlResult UsbHost::set_address(uint8_t address)
{
    std::lock_guard bus(bus_mu_);
    ControlResult r = control_locked(Setup::std(0, usb::SetAddress, address, 0, 0), {}, {});
    if (r.ok()) {
        address_ = address;
        state_ = address ? HostState::Addressed : HostState::Default;
        {
            std::lock_guard l(mu_);
            pub_.address = address;
            pub_.state = state_;
            cv_.notify_all();
        }
        pause(opts_.timing.set_address_recovery);
    }
    return r;
}

ControlResult UsbHost::set_configuration(uint8_t value)
{
    std::lock_guard bus(bus_mu_);
    ControlResult r = control_locked(Setup::std(0, usb::SetConfiguration, value, 0, 0), {}, {});
    if (!r.ok())
        return r;
    if (value == 0) {
        end_polling_urbs(-ENOENT);
        kinds_.clear();
        protocol_.clear();
        state_ = HostState::Addressed;
        std::lock_guard l(mu_);
        pub_.state = state_;
        cv_.notify_all();
        return r;
    }
    std::vector<uint8_t> cfg;
    {
        std::lock_guard l(mu_);
        cfg = pub_.config_descriptor;
    }
    configured(parse_config_descriptor(cfg));
    start_polling_urbs();
    // Configured by hand (as a stack that keeps the device across a reset does): polling.
    std::lock_guard l(mu_);
    pub_.ready = true;
    cv_.notify_all();
    return r;
}

ControlResult UsbHost::clear_halt(uint8_t ep)
{
    std::lock_guard bus(bus_mu_);
    ControlResult r = control_locked(
        Setup::std(usb::RecipEndpoint, usb::ClearFeature, usb::EndpointHalt, ep, 0), {}, {});
    if (r.ok()) {
        halted_.erase(ep);
        if (opts_.reset_toggle_on_clear_halt)
            toggles_[tog_index(ep)] = 0;
        if (state_ == HostState::Configured)
            start_polling_urbs();
    }
    return r;
}

// ---- HID class requests ----

// The interrupt pipes wait while the protocol changes: a report taken during the transfer
// could be in either format.
ControlResult UsbHost::set_protocol(uint8_t itf, uint8_t protocol)
{
    std::lock_guard bus(bus_mu_);
    switching_protocol_ = true;
    ControlResult r = control_locked(Setup::hid(usb::HidSetProtocol, protocol, itf, 0), {}, {});
    switching_protocol_ = false;
    if (r.ok())
        took_protocol(itf, protocol);
    return r;
}

ControlResult UsbHost::get_protocol(uint8_t itf) { return control(Setup::hid(usb::HidGetProtocol, 0, itf, 1)); }

ControlResult UsbHost::set_idle(uint8_t itf, uint8_t duration, uint8_t report_id)
{
    return control(Setup::hid(usb::HidSetIdle, uint16_t(duration << 8 | report_id), itf, 0));
}

ControlResult UsbHost::get_idle(uint8_t itf, uint8_t report_id)
{
    return control(Setup::hid(usb::HidGetIdle, report_id, itf, 1));
}

// Report type in wValue's high byte: 1 input, 2 output.
ControlResult UsbHost::get_report(uint8_t itf, uint8_t report_id, uint16_t length)
{
    return control(Setup::hid(usb::HidGetReport, uint16_t(0x0100 | report_id), itf, length));
}

ControlResult UsbHost::set_report(uint8_t itf, uint8_t report_id, std::span<const uint8_t> data)
{
    return control(Setup::hid(usb::HidSetReport, uint16_t(0x0200 | report_id), itf, uint16_t(data.size())), data);
}

} // namespace sim
