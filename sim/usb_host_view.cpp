// What tests see of the host: the transaction log, control records, the usbmon capture, the
// published snapshot and the waits on it. Everything here is under mu_ or pcap_mu_, never the
// bus, so a test can look while the frames run.
#include "usb_host.h"

#include <algorithm>

#include <sys/time.h>

namespace sim {

namespace {

// usbmon's transfer flag for IN URBs.
constexpr uint32_t kUrbDirIn = 0x200;

} // namespace

void UsbHost::event(TokenKind k) { record(k, address_, 0, 0, Handshake::Timeout, {}); }

void UsbHost::record(TokenKind k, uint8_t addr, uint8_t ep, uint8_t toggle, Handshake hs,
                     std::span<const uint8_t> data)
{
    Transaction t;
    t.t_us = now_us();
    t.frame = frame_now();
    t.kind = k;
    t.address = addr;
    t.ep = ep;
    t.toggle = toggle;
    t.hs = hs;
    t.len = uint8_t(std::min(data.size(), t.data.size()));
    std::copy(data.begin(), data.begin() + t.len, t.data.begin());
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

uint64_t UsbHost::new_urb() { return 0xffff888000000000ull + (++urb_count_) * 0x40; }

void UsbHost::capture_urb(char type, uint64_t urb, uint8_t xfer, uint8_t ep, int32_t status, uint32_t length,
                          std::span<const uint8_t> data, const Setup *setup, int address)
{
    std::lock_guard l(pcap_mu_);
    if (!pcap_.is_open())
        return;
    const bool in = ep & 0x80;
    UsbmonPcap::Event e;
    e.id = urb;
    e.type = type;
    e.xfer = xfer;
    e.epnum = ep;
    e.devnum = address >= 0 ? uint8_t(address) : address_;
    e.busnum = opts_.bus;
    e.xfer_flags = in ? kUrbDirIn : 0;
    if (xfer == UsbmonPcap::Interrupt) {
        const EndpointInfo *info = config_.endpoint(ep);
        e.interval = info ? info->interval : 1;
    }
    if (setup) {
        const auto b = setup->bytes();
        e.has_setup = true;
        std::copy(b.begin(), b.end(), e.setup);
    }
    e.status = status;
    e.length = length;
    e.data = data;
    // usbmon marks an IN submission and an OUT completion as carrying no data.
    e.no_data_flag = type == 'S' ? (in ? '<' : 0) : (in ? 0 : '>');
    gettimeofday(&e.ts, nullptr);
    pcap_.write(e);
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
