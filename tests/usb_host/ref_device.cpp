#include "ref_device.h"

#include "kernel.h"

#include <algorithm>
#include <mutex>

namespace reftest {

using sim::Handshake;
using sim::InPacket;

const std::vector<uint8_t> kDevice = {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08, 0x43,
                                      0x48, 0x20, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};

const std::vector<uint8_t> kConfig = {
    0x09, 0x02, 0x42, 0x00, 0x02, 0x01, 0x00, 0xC0, 0xC8,             // configuration
    0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, 0x02, 0x00,             // interface 0: mouse
    0x09, 0x21, 0x10, 0x01, 0x00, 0x01, 0x22, 0x3C, 0x00,             // HID, 60-byte report
    0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x01,                         // 0x81 interrupt, 8
    0x09, 0x04, 0x01, 0x00, 0x02, 0x03, 0x01, 0x01, 0x00,             // interface 1: keyboard
    0x09, 0x21, 0x10, 0x01, 0x00, 0x01, 0x22, 0x6C, 0x00,             // HID, 108-byte report
    0x07, 0x05, 0x82, 0x03, 0x10, 0x00, 0x01,                         // 0x82 interrupt, 16
    0x07, 0x05, 0x02, 0x03, 0x10, 0x00, 0x0A,                         // 0x02 interrupt, 16
};

const std::vector<uint8_t> kLang = {0x04, 0x03, 0x09, 0x04};
const std::vector<uint8_t> kManufacturer = {0x0E, 0x03, 't', 0, 'a', 0, 'r', 0, 'v', 0, '0', 0, ' ', 0};
const std::vector<uint8_t> kProduct = {0x0C, 0x03, 'R', 0, 'e', 0, 'v', 0, ' ', 0, '7', 0};

const std::vector<uint8_t> kMouseReport = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29,
    0x08, 0x15, 0x00, 0x25, 0x01, 0x95, 0x08, 0x75, 0x01, 0x81, 0x02, 0x05, 0x01, 0x09, 0x30,
    0x09, 0x31, 0x16, 0x01, 0x80, 0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x02, 0x81, 0x06, 0x05,
    0x01, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x01, 0x81, 0x06, 0xC0, 0xC0,
};

const std::vector<uint8_t> kKeyboardReport = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
    0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x03, 0x75, 0x01, 0x05, 0x08,
    0x19, 0x01, 0x29, 0x03, 0x91, 0x02, 0x95, 0x01, 0x75, 0x05, 0x91, 0x03, 0x95, 0x0A, 0x75,
    0x08, 0x15, 0x00, 0x26, 0xC8, 0x00, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x09, 0xEA, 0x09, 0xE9, 0x09, 0xE2, 0x09,
    0xCD, 0x0A, 0x23, 0x02, 0x15, 0x00, 0x25, 0x01, 0x95, 0x05, 0x75, 0x01, 0x81, 0x02, 0x05,
    0x01, 0x09, 0x82, 0x09, 0x81, 0x75, 0x01, 0x95, 0x02, 0x81, 0x02, 0x95, 0x01, 0x75, 0x01,
    0x81, 0x03, 0xC0,
};

namespace {
std::recursive_mutex &km() { return sim::Kernel::instance().mutex(); }
constexpr size_t kEp0Size = 8;
} // namespace

void RefDevice::set_attached(bool on)
{
    std::lock_guard l(km());
    attached_ = on;
    if (!on) {
        address_ = 0;
        config_ = 0;
        reset_endpoints();
    }
}

void RefDevice::set_faults(const Faults &f)
{
    std::lock_guard l(km());
    faults_ = f;
}

void RefDevice::queue_report(uint8_t ep, std::vector<uint8_t> bytes)
{
    std::lock_guard l(km());
    queue_[ep & 3].push_back(std::move(bytes));
}

void RefDevice::resend_last(uint8_t ep)
{
    std::lock_guard l(km());
    resend_[ep & 3] = true;
}

void RefDevice::halt(uint8_t ep)
{
    std::lock_guard l(km());
    if (ep & 0x80)
        halted_in_[ep & 3] = true;
    else
        halted_out2_ = true;
}

std::vector<RefDevice::Request> RefDevice::requests() const
{
    std::lock_guard l(km());
    return requests_;
}

std::vector<std::vector<uint8_t>> RefDevice::outputs() const
{
    std::lock_guard l(km());
    return outputs_;
}

unsigned RefDevice::resets() const { std::lock_guard l(km()); return resets_; }
unsigned RefDevice::suspends() const { std::lock_guard l(km()); return suspends_; }
unsigned RefDevice::resumes() const { std::lock_guard l(km()); return resumes_; }
bool RefDevice::suspended() const { std::lock_guard l(km()); return suspended_; }
uint8_t RefDevice::address() const { std::lock_guard l(km()); return address_; }
uint8_t RefDevice::configuration() const { std::lock_guard l(km()); return config_; }
unsigned RefDevice::ins(uint8_t ep) const { std::lock_guard l(km()); return ins_[ep & 3]; }
size_t RefDevice::queued(uint8_t ep) const { std::lock_guard l(km()); return queue_[ep & 3].size(); }
unsigned RefDevice::out_toggle_errors() const { std::lock_guard l(km()); return out_tog_errors_; }
std::vector<uint8_t> RefDevice::vendor_data() const { std::lock_guard l(km()); return vendor_data_; }

void RefDevice::reset_endpoints()
{
    in_tog_ = {};
    resend_ = {};
    halted_in_ = {};
    halted_out2_ = false;
    out_tog_ = 0;
    ep0_ = Ep0::Idle;
    pending_address_ = -1;
}

void RefDevice::bus_reset()
{
    ++resets_;
    suspended_ = false;
    address_ = 0;
    config_ = 0;
    protocol_ = {1, 1};
    reset_endpoints();
}

void RefDevice::set_boot(bool on)
{
    std::lock_guard k(sim::Kernel::instance().mutex());
    boot_ = on;
}

uint8_t RefDevice::protocol(uint8_t itf) const
{
    std::lock_guard k(sim::Kernel::instance().mutex());
    return protocol_[itf & 1];
}

uint8_t RefDevice::idle(uint8_t itf) const
{
    std::lock_guard k(sim::Kernel::instance().mutex());
    return idle_[itf & 1];
}

void RefDevice::suspend()
{
    ++suspends_;
    suspended_ = true;
}

void RefDevice::resume()
{
    ++resumes_;
    suspended_ = false;
}

bool RefDevice::nak_now()
{
    if (faults_.nak_ep0_forever)
        return true;
    if (naks_left_) {
        --naks_left_;
        return true;
    }
    naks_left_ = faults_.nak_ep0;
    return false;
}

Handshake RefDevice::setup(uint8_t addr, const uint8_t packet[8])
{
    if (!here(addr))
        return Handshake::Timeout;
    std::array<uint8_t, 8> s;
    std::copy(packet, packet + 8, s.begin());
    requests_.push_back({addr, s});
    // A SETUP always clears a stall (unless the device is broken that way).
    if (!(faults_.stall_sticks && ep0_ == Ep0::Stalled))
        answer(s);
    naks_left_ = faults_.nak_ep0;
    return Handshake::Ack;
}

void RefDevice::answer(const std::array<uint8_t, 8> &s)
{
    const uint8_t type = s[0], req = s[1], vl = s[2], vh = s[3], il = s[4];
    const uint16_t wlen = uint16_t(s[6] | s[7] << 8);
    const bool dev_in = type & 0x80;
    std::vector<uint8_t> data;
    bool ok = false;
    pending_address_ = -1;
    vendor_out_ = report_out_ = false;
    if (type == 0x40 && req == 0x01) {
        ok = true; // a vendor request with an OUT data stage, kept for the host's tests
        vendor_out_ = true;
        vendor_data_.clear();
    } else if ((type & 0x60) == 0x20 && boot_ && il <= 1) {
        ok = (type == 0x21) != dev_in;
        switch (req) {
        case 0x01: data = std::vector<uint8_t>(protocol_[il] ? 0 : il ? 8 : 3); break; // GET_REPORT, boot
        case 0x02: data = {idle_[il]}; break;
        case 0x03: data = {protocol_[il]}; break;
        case 0x09: report_out_ = true, report_data_.clear(); break;
        case 0x0A: idle_[il] = vh; break;
        case 0x0B: ok = ok && vl <= 1, protocol_[il] = ok ? vl : protocol_[il]; break;
        default: ok = false;
        }
    } else if ((type & 0x60) == 0x20) {
        ok = type == 0x21 && req == 0x0A; // SET_IDLE only
    } else if ((type & 0x60) == 0) {
        switch (req) {
        case 0x00: // GET_STATUS
            ok = dev_in;
            data = {0, 0};
            break;
        case 0x01: // CLEAR_FEATURE
            if ((type & 0x1F) == 2 && vl == 0 && (il == 0x81 || il == 0x82 || il == 0x02)) {
                ok = true;
                if (il & 0x80) {
                    halted_in_[il & 3] = false;
                    in_tog_[il & 3] = 0;
                } else {
                    halted_out2_ = false;
                    out_tog_ = 0;
                }
            }
            break;
        case 0x05: // SET_ADDRESS
            ok = vl < 128 && !dev_in;
            if (ok) {
                if (faults_.address_at_setup)
                    address_ = vl;
                else
                    pending_address_ = vl;
            }
            break;
        case 0x06: // GET_DESCRIPTOR
            ok = true;
            if (vh == 0x01)
                data = kDevice;
            else if (vh == 0x02)
                data = kConfig;
            else if (vh == 0x03 && vl == 0)
                data = kLang;
            else if (vh == 0x03 && vl == 1)
                data = kManufacturer;
            else if (vh == 0x03 && vl == 2)
                data = kProduct;
            else if (vh == 0x22)
                data = il == 0 ? kMouseReport : kKeyboardReport;
            else
                ok = false;
            break;
        case 0x08: // GET_CONFIGURATION
            ok = dev_in;
            data = {uint8_t(faults_.config_value_garbage ? 0xA5 : config_)};
            break;
        case 0x09: // SET_CONFIGURATION
            ok = vl <= 1;
            if (ok) {
                config_ = vl;
                protocol_ = {1, 1};
                in_tog_ = {};
                out_tog_ = 0;
            }
            break;
        case 0x0A: // GET_INTERFACE
            ok = dev_in;
            data = {0};
            break;
        default:
            break;
        }
    }
    if (!ok) {
        ep0_ = Ep0::Stalled;
        return;
    }
    if (data.size() > wlen)
        data.resize(wlen);
    ep0_data_ = data;
    ep0_pos_ = 0;
    ep0_tog_ = faults_.ep0_wrong_first_toggle ? 0 : 1;
    if (wlen && dev_in) {
        ep0_ = Ep0::DataIn;
    } else if (wlen) {
        ep0_ = Ep0::DataOut;
        ep0_out_left_ = wlen;
    } else {
        ep0_ = Ep0::StatusIn;
    }
}

Handshake RefDevice::out(uint8_t addr, uint8_t ep, uint8_t toggle, const uint8_t *data, uint8_t len)
{
    if (!here(addr))
        return Handshake::Timeout;
    if (ep == 0) {
        if (ep0_ == Ep0::Stalled)
            return Handshake::Stall;
        if (nak_now())
            return Handshake::Nak;
        if (ep0_ == Ep0::DataOut) {
            if (vendor_out_)
                vendor_data_.insert(vendor_data_.end(), data, data + len);
            if (report_out_)
                report_data_.insert(report_data_.end(), data, data + len);
            ep0_out_left_ -= std::min<size_t>(len, ep0_out_left_);
            if (!ep0_out_left_) {
                ep0_ = Ep0::StatusIn;
                if (report_out_)
                    outputs_.push_back(report_data_);
            }
        } else {
            ep0_ = Ep0::Idle; // the status stage, also one that ends an IN data stage early
        }
        return Handshake::Ack;
    }
    if (ep != 2 || !config_)
        return Handshake::Timeout;
    if (halted_out2_)
        return Handshake::Stall;
    if (toggle != out_tog_)
        ++out_tog_errors_; // a retransmission: ACK it and drop it
    else {
        out_tog_ ^= 1;
        outputs_.emplace_back(data, data + len);
    }
    return Handshake::Ack;
}

InPacket RefDevice::in(uint8_t addr, uint8_t ep)
{
    InPacket p;
    if (!here(addr) || ep > 2)
        return p;
    ++ins_[ep];
    if (ep == 0) {
        if (ep0_ == Ep0::Stalled) {
            p.hs = Handshake::Stall;
            return p;
        }
        if (ep0_ != Ep0::DataIn && ep0_ != Ep0::StatusIn) {
            p.hs = Handshake::Nak;
            return p;
        }
        if (nak_now()) {
            p.hs = Handshake::Nak;
            return p;
        }
        p.hs = Handshake::Ack;
        if (ep0_ == Ep0::StatusIn) {
            p.toggle = 1;
            p.len = 0;
            ep0_ = Ep0::Idle;
            if (pending_address_ >= 0)
                address_ = uint8_t(pending_address_);
            pending_address_ = -1;
            return p;
        }
        size_t n = std::min(kEp0Size, ep0_data_.size() - ep0_pos_);
        if (faults_.babble_ep0 && n == kEp0Size)
            n = kEp0Size + 1;
        p.toggle = ep0_tog_;
        p.len = uint8_t(n);
        for (size_t i = 0; i < n; ++i)
            p.data[i] = ep0_pos_ + i < ep0_data_.size() ? ep0_data_[ep0_pos_ + i] : 0;
        ep0_pos_ = std::min(ep0_pos_ + n, ep0_data_.size());
        ep0_tog_ ^= 1;
        return p;
    }
    if (!config_) {
        p.hs = Handshake::Timeout; // endpoints are not there before configuration
        return p;
    }
    if (halted_in_[ep]) {
        p.hs = Handshake::Stall;
        return p;
    }
    if (resend_[ep] && !last_[ep].empty()) {
        resend_[ep] = false;
        p.hs = Handshake::Ack;
        p.toggle = last_tog_[ep];
        p.len = uint8_t(last_[ep].size());
        std::copy(last_[ep].begin(), last_[ep].end(), p.data);
        return p;
    }
    if (queue_[ep].empty() && faults_.repeat_reports && !last_[ep].empty())
        queue_[ep].push_back(last_[ep]);
    if (queue_[ep].empty()) {
        p.hs = Handshake::Nak;
        return p;
    }
    last_[ep] = std::move(queue_[ep].front());
    queue_[ep].pop_front();
    last_tog_[ep] = in_tog_[ep];
    in_tog_[ep] ^= 1;
    p.hs = Handshake::Ack;
    p.toggle = last_tog_[ep];
    p.len = uint8_t(std::min<size_t>(last_[ep].size(), sizeof p.data));
    std::copy(last_[ep].begin(), last_[ep].begin() + p.len, p.data);
    return p;
}

} // namespace reftest
