// The usbhid side of the host: the frame's interrupt polling with its toggle check, the
// reports it takes in, the interrupt OUT pipe, and which endpoints are open and polled.
#include "usb_host.h"

#include "kernel.h"

#include <cerrno>

namespace sim {

using Clock = std::chrono::steady_clock;

void UsbHost::service_frame()
{
    uint32_t f = frame_now();
    if (f == last_frame_)
        return;
    last_frame_ = f;
    if (!cable_ || suspended_ || now_us() < quiet_until_us_ || state_ != HostState::Configured)
        return;
    service_output();
    if (polling_ && !switching_protocol_)
        for (auto &kv : kinds_)
            if (!halted_.count(kv.first) && input_open(kv.first) && state_ == HostState::Configured)
                poll_in(kv.first);
}

void UsbHost::poll_in(uint8_t ep)
{
    // The packet is taken in before the device can act on having sent it: whoever learns
    // from the device that a report was collected finds it in the view already.
    std::lock_guard k(Kernel::instance().mutex());
    InPacket p = do_in(address_, ep & 0x0F);
    uint8_t &tog = toggles_[tog_index(ep)];
    switch (p.hs) {
    case Handshake::Ack: {
        const EndpointInfo *info = config_.endpoint(ep);
        if (info && p.len > info->max_packet) {
            mark_dropped();
            fail("babble on endpoint " + std::to_string(ep & 0x0F));
            std::lock_guard l(mu_);
            ++pub_.in_errors;
            return;
        }
        if (p.toggle != tog) {
            // Our ACK was lost as far as the device knows: it sent the same packet again.
            mark_dropped();
            std::lock_guard l(mu_);
            ++pub_.retransmissions;
            cv_.notify_all();
            return;
        }
        tog ^= 1;
        Report r{0, now_us(), ep, p.toggle, std::vector<uint8_t>(p.data, p.data + p.len)};
        uint64_t urb = in_urbs_[ep];
        capture_urb('C', urb, UsbmonPcap::Interrupt, ep, 0, p.len, r.bytes);
        in_urbs_.erase(ep);
        start_polling_urbs();
        std::lock_guard l(mu_);
        r.seq = reports_.size();
        ++pub_.reports[ep];
        pub_.view.apply(kinds_[ep], r.bytes);
        if (lock_leds_on_ && pub_.view.lock_leds() != lock_leds_) {
            lock_leds_ = pub_.view.lock_leds();
            lock_leds_due_ = true;
        }
        reports_.push_back(std::move(r));
        cv_.notify_all();
        return;
    }
    case Handshake::Stall: {
        halted_.insert(ep);
        auto it = in_urbs_.find(ep);
        if (it != in_urbs_.end()) {
            capture_urb('C', it->second, UsbmonPcap::Interrupt, ep, -EPIPE, 0);
            in_urbs_.erase(it);
        }
        if (opts_.auto_clear_halt)
            clear_pending_.insert(ep);
        std::lock_guard l(mu_);
        ++pub_.in_stalls;
        return;
    }
    case Handshake::Timeout: {
        std::lock_guard l(mu_);
        ++pub_.in_errors;
        return;
    }
    case Handshake::Nak:
        return;
    }
}

uint64_t UsbHost::queue_output(uint8_t ep, std::span<const uint8_t> data)
{
    OutRequest r{++out_ids_, ep, std::vector<uint8_t>(data.begin(), data.end()), new_urb()};
    capture_urb('S', r.urb, UsbmonPcap::Interrupt, ep, -EINPROGRESS, uint32_t(r.data.size()), r.data);
    out_queue_.push_back(std::move(r));
    return out_ids_;
}

void UsbHost::finish_output(bool ok, int32_t status)
{
    OutRequest r = std::move(out_queue_.front());
    out_queue_.pop_front();
    capture_urb('C', r.urb, UsbmonPcap::Interrupt, r.ep, status, ok ? uint32_t(r.data.size()) : 0);
    std::lock_guard l(mu_);
    output_results_[r.id] = ok;
    if (ok)
        ++pub_.outputs_sent;
    else
        ++pub_.out_errors;
    cv_.notify_all();
}

void UsbHost::fail_outputs(int32_t status)
{
    while (!out_queue_.empty())
        finish_output(false, status);
}

void UsbHost::service_output()
{
    if (out_queue_.empty())
        return;
    OutRequest &r = out_queue_.front();
    if (halted_.count(r.ep)) {
        finish_output(false, -EPIPE);
        return;
    }
    uint8_t &tog = toggles_[tog_index(r.ep)];
    switch (do_out(address_, r.ep & 0x0F, tog, r.data)) {
    case Handshake::Ack:
        tog ^= 1;
        finish_output(true, 0);
        return;
    case Handshake::Nak:
        return; // offered again next frame
    case Handshake::Stall:
        halted_.insert(r.ep);
        if (opts_.auto_clear_halt)
            clear_pending_.insert(r.ep);
        finish_output(false, -EPIPE);
        return;
    case Handshake::Timeout:
        if (++r.errors >= kMaxErrors)
            finish_output(false, -EPROTO);
        return;
    }
}

bool UsbHost::send_output(uint8_t ep, std::span<const uint8_t> data, std::chrono::milliseconds timeout)
{
    uint64_t id;
    {
        std::lock_guard bus(bus_mu_);
        if (state_ != HostState::Configured || suspended_ || !cable_)
            return false;
        id = queue_output(ep, data);
    }
    // Whoever holds the bus runs the frames; this may be the caller itself.
    auto deadline = Clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard l(mu_);
            auto it = output_results_.find(id);
            if (it != output_results_.end())
                return it->second;
        }
        if (Clock::now() >= deadline)
            return false;
        idle(1ms);
    }
}

void UsbHost::configured(const ConfigInfo &ci)
{
    end_polling_urbs(-ENOENT);
    config_ = ci;
    protocol_.clear(); // a new configuration starts in report protocol
    set_kinds();
    reset_toggles();
    halted_.clear();
    clear_pending_.clear();
    state_ = HostState::Configured;
    std::lock_guard l(mu_);
    pub_.state = state_;
    pub_.protocol.clear();
    cv_.notify_all();
}

// How the host reads each interrupt IN endpoint: the interface's boot protocol number says
// keyboard or mouse, the protocol the device took says which format.
void UsbHost::set_kinds()
{
    kinds_.clear();
    for (auto &itf : config_.interfaces) {
        auto p = protocol_.find(itf.number);
        const bool boot = p != protocol_.end() && p->second == 0;
        for (auto &ep : itf.endpoints)
            if (ep.in() && ep.interrupt())
                kinds_[ep.address] = itf.protocol == 2 ? (boot ? ReportKind::BootMouse : ReportKind::Mouse)
                                     : itf.protocol == 1 ? (boot ? ReportKind::BootKeyboard : ReportKind::Keyboard)
                                                         : ReportKind::Unknown;
    }
}

void UsbHost::took_protocol(uint8_t itf, uint8_t protocol)
{
    protocol_[itf] = protocol;
    if (state_ == HostState::Configured)
        set_kinds();
    std::lock_guard l(mu_);
    pub_.protocol[itf] = protocol;
}

UsbHost::LedReport UsbHost::led_report(uint8_t leds) const
{
    LedReport r;
    uint8_t itf = 1;
    for (auto &i : config_.interfaces)
        if (i.cls == 0x03 && i.protocol == 1) {
            itf = i.number;
            r.keyboard = true;
            for (auto &e : i.endpoints)
                if (!e.in() && e.interrupt())
                    r.ep = e.address, r.out_ep = true;
        }
    auto p = protocol_.find(itf);
    const bool boot = p != protocol_.end() && p->second == 0;
    r.bytes = boot ? std::vector<uint8_t>{leds} : std::vector<uint8_t>{kKeyboardReportId, leds}; // boot: no id
    if (host_style(used_style_).leds == HostStyle::Leds::SetReport)
        r.setup = Setup::hid(usb::HidSetReport, uint16_t(0x0200 | (boot ? 0 : kKeyboardReportId)), itf,
                             uint16_t(r.bytes.size()));
    return r;
}

// After the frame that brought the lock key: a control transfer cannot start inside a frame.
void UsbHost::send_lock_leds()
{
    lock_leds_due_ = false;
    const LedReport r = led_report(lock_leds_);
    if (!r.keyboard)
        return;
    if (r.setup)
        control_locked(*r.setup, r.bytes, {});
    else if (r.out_ep)
        queue_output(r.ep, r.bytes);
}

bool UsbHost::set_leds(uint8_t leds)
{
    LedReport r;
    {
        std::lock_guard bus(bus_mu_);
        r = led_report(leds);
    }
    return r.setup ? control(*r.setup, r.bytes).ok() : send_output(r.ep, r.bytes);
}

void UsbHost::start_polling_urbs()
{
    for (auto &kv : kinds_) {
        uint8_t ep = kv.first;
        if (in_urbs_.count(ep) || halted_.count(ep) || !input_open(ep))
            continue;
        const EndpointInfo *info = config_.endpoint(ep);
        capture_urb('S', in_urbs_[ep] = new_urb(), UsbmonPcap::Interrupt, ep, -EINPROGRESS,
                    info ? info->max_packet : 64);
    }
}

bool UsbHost::input_open(uint8_t ep) const { return !poll_only_open_ || open_inputs_.count(ep); }

void UsbHost::set_poll_only_open(bool on)
{
    std::lock_guard bus(bus_mu_);
    poll_only_open_ = on;
    for (auto &kv : kinds_)
        if (!input_open(kv.first))
            end_polling_urb(kv.first);
    if (state_ == HostState::Configured)
        start_polling_urbs();
}

void UsbHost::open_input(uint8_t ep)
{
    std::lock_guard bus(bus_mu_);
    open_inputs_.insert(ep);
    if (state_ == HostState::Configured)
        start_polling_urbs();
}

void UsbHost::close_input(uint8_t ep)
{
    std::lock_guard bus(bus_mu_);
    open_inputs_.erase(ep);
    if (!input_open(ep))
        end_polling_urb(ep);
}

// usb_kill_urb: the pending URB completes with -ENOENT.
void UsbHost::end_polling_urb(uint8_t ep)
{
    auto it = in_urbs_.find(ep);
    if (it == in_urbs_.end())
        return;
    capture_urb('C', it->second, UsbmonPcap::Interrupt, ep, -ENOENT, 0);
    in_urbs_.erase(it);
}

void UsbHost::end_polling_urbs(int32_t status)
{
    for (auto &kv : in_urbs_) {
        capture_urb('C', kv.second, UsbmonPcap::Interrupt, kv.first, status, 0);
    }
    in_urbs_.clear();
}

} // namespace sim
