#include "usb_host.h"

#include "kernel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace sim {

using Clock = std::chrono::steady_clock;

namespace {

// A host controller gives up on a transaction after three errors in a row.
constexpr int kMaxErrors = 3;
// usbmon's transfer flag for IN URBs.
constexpr uint32_t kUrbDirIn = 0x200;

size_t tog_index(uint8_t ep) { return (ep & 0x0F) | ((ep & 0x80) ? 16 : 0); }

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

std::string expand_pid(std::string path)
{
    auto at = path.find("%p");
    if (at != std::string::npos)
        path.replace(at, 2, std::to_string(getpid()));
    return path;
}

} // namespace

const char *to_string(EnumStyle s)
{
    switch (s) {
    case EnumStyle::Linux: return "linux";
    case EnumStyle::Windows: return "windows";
    case EnumStyle::MacOS: return "macos";
    case EnumStyle::Compliance: return "compliance";
    }
    return "?";
}

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

const char *to_string(HostState s)
{
    switch (s) {
    case HostState::Detached: return "detached";
    case HostState::Attached: return "attached";
    case HostState::Default: return "default";
    case HostState::Addressed: return "addressed";
    case HostState::Configured: return "configured";
    case HostState::Failed: return "failed";
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

UsbHost::UsbHost(UsbDevicePort &port, HostOptions opts)
    : port_(port), opts_(std::move(opts)), t0_(Clock::now()), polling_(opts_.poll),
      next_address_(opts_.first_address), style_(opts_.style), poll_only_open_(opts_.poll_only_open)
{
    pub_.style = style_;
    pub_.polling = opts_.poll;
    std::string path = opts_.capture_path;
    if (path.empty())
        if (const char *env = std::getenv("HIDBRIDGE_USBMON"))
            path = env;
    if (!path.empty())
        capture(expand_pid(path));
}

UsbHost::~UsbHost() { stop(); }

void UsbHost::start()
{
    if (run_.exchange(true))
        return;
    thread_ = std::thread(&UsbHost::thread_main, this);
}

void UsbHost::stop()
{
    if (!run_)
        return;
    stopping_ = true;
    run_ = false;
    if (thread_.joinable())
        thread_.join();
    stopping_ = false;
}

uint64_t UsbHost::now_us() const
{
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0_).count());
}

uint32_t UsbHost::frame_now() const { return uint32_t(now_us() / 1000); }

void UsbHost::thread_main()
{
    // The host is another computer: the library's real-time threads (SCHED_FIFO 40 by
    // default) must not hold its frames up. Where the process may; otherwise as it is.
    sched_param rt{};
    rt.sched_priority = 60;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt);
    while (run_) {
        {
            std::lock_guard bus(bus_mu_);
            tick();
        }
        std::this_thread::sleep_until(t0_ + std::chrono::milliseconds(frame_now() + 1));
    }
}

void UsbHost::tick()
{
    check_connection();
    service_frame();
    while (!clear_pending_.empty() && state_ == HostState::Configured && !suspended_) {
        uint8_t ep = *clear_pending_.begin();
        clear_pending_.erase(clear_pending_.begin());
        clear_halt(ep);
    }
}

bool UsbHost::device_present()
{
    if (!cable_)
        return false;
    std::lock_guard k(Kernel::instance().mutex());
    return port_.attached();
}

void UsbHost::check_connection()
{
    if (!device_present()) {
        if (state_ != HostState::Detached)
            disconnect();
        return;
    }
    if (state_ == HostState::Detached) {
        state_ = HostState::Attached;
        attach_us_ = now_us();
        event(TokenKind::Attach);
        std::lock_guard l(mu_);
        pub_.state = state_;
        cv_.notify_all();
        return;
    }
    if (state_ == HostState::Attached && opts_.auto_enumerate &&
        now_us() - attach_us_ >= uint64_t(opts_.timing.debounce.count()))
        enumerate_locked(style_, false);
}

void UsbHost::disconnect()
{
    event(TokenKind::Detach);
    end_polling_urbs(-ESHUTDOWN);
    fail_outputs(-ESHUTDOWN);
    address_ = 0;
    config_ = {};
    kinds_.clear();
    halted_.clear();
    clear_pending_.clear();
    suspended_ = false;
    state_ = HostState::Detached;
    std::lock_guard l(mu_);
    pub_.state = state_;
    pub_.ready = false;
    pub_.address = 0;
    pub_.suspended = false;
    pub_.view.release_all();
    cv_.notify_all();
}

void UsbHost::service_frame()
{
    uint32_t f = frame_now();
    if (f == last_frame_)
        return;
    last_frame_ = f;
    if (!cable_ || suspended_ || now_us() < quiet_until_us_ || state_ != HostState::Configured)
        return;
    service_output();
    if (polling_)
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
        UsbmonPcap::Event c = urb_event(urb, 'C', UsbmonPcap::Interrupt, ep);
        c.length = p.len;
        c.data = r.bytes;
        pcap_write(c);
        in_urbs_.erase(ep);
        start_polling_urbs();
        std::lock_guard l(mu_);
        r.seq = reports_.size();
        ++pub_.reports[ep];
        pub_.view.apply(kinds_[ep], r.bytes);
        reports_.push_back(std::move(r));
        cv_.notify_all();
        return;
    }
    case Handshake::Stall: {
        halted_.insert(ep);
        auto it = in_urbs_.find(ep);
        if (it != in_urbs_.end()) {
            UsbmonPcap::Event c = urb_event(it->second, 'C', UsbmonPcap::Interrupt, ep);
            c.status = -EPIPE;
            pcap_write(c);
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
    UsbmonPcap::Event s = urb_event(r.urb, 'S', UsbmonPcap::Interrupt, ep);
    s.status = -EINPROGRESS;
    s.length = uint32_t(r.data.size());
    s.data = r.data;
    pcap_write(s);
    out_queue_.push_back(std::move(r));
    return out_ids_;
}

void UsbHost::finish_output(bool ok, int32_t status)
{
    OutRequest r = std::move(out_queue_.front());
    out_queue_.pop_front();
    UsbmonPcap::Event c = urb_event(r.urb, 'C', UsbmonPcap::Interrupt, r.ep);
    c.status = status;
    c.length = ok ? uint32_t(r.data.size()) : 0;
    c.no_data_flag = '>';
    pcap_write(c);
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

void UsbHost::wait_step()
{
    std::this_thread::sleep_for(opts_.timing.nak_retry);
    service_frame();
}

bool UsbHost::pause(std::chrono::microseconds d)
{
    auto end = Clock::now() + d;
    while (Clock::now() < end) {
        if (stopping_)
            return false;
        std::this_thread::sleep_until(std::min(end, t0_ + std::chrono::milliseconds(frame_now() + 1)));
        service_frame();
        if (!device_present())
            return false;
    }
    return true;
}

void UsbHost::idle(std::chrono::microseconds d)
{
    std::lock_guard bus(bus_mu_);
    pause(d);
}

void UsbHost::reset_toggles() { toggles_.fill(0); }

void UsbHost::event(TokenKind k)
{
    Transaction t;
    t.t_us = now_us();
    t.frame = frame_now();
    t.kind = k;
    t.address = address_;
    record(t);
}

void UsbHost::record(const Transaction &t)
{
    std::lock_guard l(mu_);
    log_.push_back(t);
    while (log_.size() > opts_.log_limit)
        log_.pop_front();
}

void UsbHost::mark_dropped()
{
    std::lock_guard l(mu_);
    if (!log_.empty())
        log_.back().dropped = true;
}

void UsbHost::fail(const std::string &why)
{
    std::lock_guard l(mu_);
    pub_.last_error = why;
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
    Transaction t;
    t.t_us = now_us();
    t.frame = frame_now();
    t.kind = TokenKind::Setup;
    t.address = addr;
    t.hs = h;
    t.len = 8;
    std::copy(b.begin(), b.end(), t.data.begin());
    record(t);
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
    Transaction t;
    t.t_us = now_us();
    t.frame = frame_now();
    t.kind = TokenKind::In;
    t.address = addr;
    t.ep = ep | 0x80;
    t.hs = p.hs;
    if (p.hs == Handshake::Ack) {
        t.toggle = p.toggle;
        t.len = p.len;
        std::copy(p.data, p.data + p.len, t.data.begin());
    }
    record(t);
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
    Transaction t;
    t.t_us = now_us();
    t.frame = frame_now();
    t.kind = TokenKind::Out;
    t.address = addr;
    t.ep = ep;
    t.toggle = tog;
    t.hs = h;
    t.len = uint8_t(std::min<size_t>(d.size(), t.data.size()));
    std::copy(d.begin(), d.begin() + t.len, t.data.begin());
    record(t);
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
    const auto setup_bytes = s.bytes();
    UsbmonPcap::Event ev = urb_event(urb, 'S', UsbmonPcap::Control, s.in() ? 0x80 : 0x00);
    ev.devnum = addr;
    ev.has_setup = true;
    std::copy(setup_bytes.begin(), setup_bytes.end(), ev.setup);
    ev.status = -EINPROGRESS;
    ev.length = s.length;
    ev.data = out_data;
    ev.no_data_flag = s.in() ? '<' : 0;
    pcap_write(ev);

    ControlResult r;
    auto finish = [&](XferStatus st) {
        r.status = st;
        UsbmonPcap::Event c = ev;
        c.type = 'C';
        c.has_setup = false;
        c.status = urb_status(st);
        c.length = s.in() ? uint32_t(r.data.size()) : (st == XferStatus::Ok ? s.length : 0);
        c.data = s.in() ? std::span<const uint8_t>(r.data) : std::span<const uint8_t>();
        c.no_data_flag = s.in() ? 0 : '>';
        pcap_write(c);
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

void UsbHost::configured(const ConfigInfo &ci)
{
    end_polling_urbs(-ENOENT);
    config_ = ci;
    kinds_.clear();
    for (auto &itf : ci.interfaces)
        for (auto &ep : itf.endpoints)
            if (ep.in() && ep.interrupt())
                kinds_[ep.address] = itf.protocol == 2 ? ReportKind::Mouse
                                     : itf.protocol == 1 ? ReportKind::Keyboard
                                                         : ReportKind::Unknown;
    reset_toggles();
    halted_.clear();
    clear_pending_.clear();
    state_ = HostState::Configured;
    std::lock_guard l(mu_);
    pub_.state = state_;
    cv_.notify_all();
}

void UsbHost::start_polling_urbs()
{
    for (auto &kv : kinds_) {
        uint8_t ep = kv.first;
        if (in_urbs_.count(ep) || halted_.count(ep) || !input_open(ep))
            continue;
        const EndpointInfo *info = config_.endpoint(ep);
        UsbmonPcap::Event s = urb_event(in_urbs_[ep] = new_urb(), 'S', UsbmonPcap::Interrupt, ep);
        s.status = -EINPROGRESS;
        s.length = info ? info->max_packet : 64;
        s.no_data_flag = '<';
        pcap_write(s);
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
    UsbmonPcap::Event c = urb_event(it->second, 'C', UsbmonPcap::Interrupt, ep);
    c.status = -ENOENT;
    pcap_write(c);
    in_urbs_.erase(it);
}

void UsbHost::end_polling_urbs(int32_t status)
{
    for (auto &kv : in_urbs_) {
        UsbmonPcap::Event c = urb_event(kv.second, 'C', UsbmonPcap::Interrupt, kv.first);
        c.status = status;
        pcap_write(c);
    }
    in_urbs_.clear();
}

void UsbHost::reset_bus_state()
{
    end_polling_urbs(-ENOENT);
    fail_outputs(-ENOENT);
    address_ = 0;
    config_ = {};
    kinds_.clear();
    halted_.clear();
    clear_pending_.clear();
    reset_toggles();
    suspended_ = false;
    state_ = HostState::Default;
    std::lock_guard l(mu_);
    pub_.state = state_;
    pub_.ready = false;
    pub_.address = 0;
    pub_.suspended = false;
    cv_.notify_all();
}

bool UsbHost::reset_bus()
{
    reset_bus_state();
    {
        std::lock_guard k(Kernel::instance().mutex());
        // A reset wakes a device whose bus we left idle.
        if (device_suspended_)
            port_.resume();
        device_suspended_ = false;
        port_.bus_reset();
        Kernel::instance().notify();
    }
    event(TokenKind::Reset);
    return pause(opts_.timing.reset + opts_.timing.reset_recovery);
}

bool UsbHost::enumerate_locked(EnumStyle style, bool keep_address)
{
    const uint64_t start = state_ == HostState::Attached ? attach_us_ : now_us();
    uint8_t addr = address_;
    if (!keep_address || !addr) {
        addr = next_address_;
        next_address_ = next_address_ >= 127 ? opts_.first_address : uint8_t(next_address_ + 1);
    }
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

ControlResult UsbHost::step(const std::string &name, bool required, const Setup &s, ControlOptions o)
{
    ControlResult r = control_locked(s, {}, o);
    std::lock_guard l(mu_);
    pub_.last_enumeration.push_back({name, required, r.ok(), r});
    if (!r.ok() && required)
        pub_.last_error = name + ": " + to_string(r.status);
    return r;
}

void UsbHost::bus_reset(bool reenumerate)
{
    std::lock_guard bus(bus_mu_);
    if (!device_present())
        return;
    if (reenumerate)
        enumerate_locked(style_, true);
    else
        reset_bus();
}

void UsbHost::suspend()
{
    std::lock_guard bus(bus_mu_);
    if (suspended_ || !cable_)
        return;
    suspended_ = true;
    {
        std::lock_guard k(Kernel::instance().mutex());
        port_.suspend();
        device_suspended_ = true;
        Kernel::instance().notify();
    }
    event(TokenKind::Suspend);
    std::lock_guard l(mu_);
    pub_.suspended = true;
    cv_.notify_all();
}

void UsbHost::resume()
{
    std::lock_guard bus(bus_mu_);
    if (!suspended_)
        return;
    {
        std::lock_guard k(Kernel::instance().mutex());
        port_.resume();
        device_suspended_ = false;
        Kernel::instance().notify();
    }
    event(TokenKind::Resume);
    suspended_ = false;
    quiet_until_us_ = now_us() + uint64_t(opts_.timing.resume_recovery.count());
    std::lock_guard l(mu_);
    pub_.suspended = false;
    cv_.notify_all();
}

void UsbHost::stop_polling()
{
    polling_ = false;
    std::lock_guard l(mu_);
    pub_.polling = false;
}

void UsbHost::resume_polling()
{
    polling_ = true;
    std::lock_guard l(mu_);
    pub_.polling = true;
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

void UsbHost::unplug()
{
    std::lock_guard bus(bus_mu_);
    if (!cable_)
        return;
    cable_ = false;
    {
        std::lock_guard k(Kernel::instance().mutex());
        if (!device_suspended_)
            port_.suspend(); // no frames reach the device any more
        device_suspended_ = true;
        Kernel::instance().notify();
    }
    if (state_ != HostState::Detached)
        disconnect();
    std::lock_guard l(mu_);
    pub_.cable = false;
    cv_.notify_all();
}

void UsbHost::replug()
{
    std::lock_guard bus(bus_mu_);
    cable_ = true;
    std::lock_guard l(mu_);
    pub_.cable = true;
    cv_.notify_all();
}

uint64_t UsbHost::new_urb() { return 0xffff888000000000ull + (++urb_count_) * 0x40; }

UsbmonPcap::Event UsbHost::urb_event(uint64_t id, char type, uint8_t xfer, uint8_t ep) const
{
    UsbmonPcap::Event e;
    e.id = id;
    e.type = type;
    e.xfer = xfer;
    e.epnum = ep;
    e.devnum = address_;
    e.busnum = opts_.bus;
    e.xfer_flags = (ep & 0x80) ? kUrbDirIn : 0;
    if (xfer == UsbmonPcap::Interrupt) {
        const EndpointInfo *info = config_.endpoint(ep);
        e.interval = info ? info->interval : 1;
    }
    return e;
}

bool UsbHost::capture(const std::string &path)
{
    std::lock_guard l(pcap_mu_);
    return pcap_.open(path);
}

void UsbHost::stop_capture()
{
    std::lock_guard l(pcap_mu_);
    pcap_.close();
}

void UsbHost::pcap_write(const UsbmonPcap::Event &e)
{
    std::lock_guard l(pcap_mu_);
    if (!pcap_.is_open())
        return;
    UsbmonPcap::Event t = e;
    gettimeofday(&t.ts, nullptr);
    pcap_.write(t);
}

// ---- Views ----

bool UsbHost::wait_configured(std::chrono::milliseconds timeout)
{
    std::unique_lock l(mu_);
    return cv_.wait_for(l, timeout, [&] { return pub_.ready && pub_.state == HostState::Configured; });
}

bool UsbHost::wait_state(HostState s, std::chrono::milliseconds timeout)
{
    std::unique_lock l(mu_);
    return cv_.wait_for(l, timeout, [&] { return pub_.state == s; });
}

bool UsbHost::wait_reports(uint8_t ep, size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock l(mu_);
    return cv_.wait_for(l, timeout, [&] {
        if (ep == 0)
            return reports_.size() >= n;
        auto it = pub_.reports.find(ep);
        return it != pub_.reports.end() && it->second >= n;
    });
}

bool UsbHost::wait_view(const std::function<bool(const HostView &)> &pred, std::chrono::milliseconds timeout)
{
    std::unique_lock l(mu_);
    return cv_.wait_for(l, timeout, [&] { return pred(pub_.view); });
}

HostSnapshot UsbHost::snapshot() const
{
    std::lock_guard l(mu_);
    return pub_;
}

HostView UsbHost::view() const
{
    std::lock_guard l(mu_);
    return pub_.view;
}

HostState UsbHost::state() const
{
    std::lock_guard l(mu_);
    return pub_.state;
}

std::vector<Report> UsbHost::reports(uint8_t ep) const
{
    std::lock_guard l(mu_);
    std::vector<Report> v;
    for (auto &r : reports_)
        if (ep == 0 || r.ep == ep)
            v.push_back(r);
    return v;
}

uint64_t UsbHost::report_seq() const
{
    std::lock_guard l(mu_);
    return reports_.size();
}

std::optional<Report> UsbHost::next_report(uint64_t &cursor, std::chrono::milliseconds timeout)
{
    std::unique_lock l(mu_);
    if (!cv_.wait_for(l, timeout, [&] { return reports_.size() > cursor; }))
        return std::nullopt;
    return reports_[cursor++];
}

std::vector<Transaction> UsbHost::transactions() const
{
    std::lock_guard l(mu_);
    return {log_.begin(), log_.end()};
}

std::vector<ControlRecord> UsbHost::control_log() const
{
    std::lock_guard l(mu_);
    return control_log_;
}

void UsbHost::clear_logs()
{
    std::lock_guard l(mu_);
    log_.clear();
    control_log_.clear();
}

} // namespace sim
