#include "usbip_bridge.h"

#include "kernel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Wire format (all fields big-endian).
constexpr uint16_t kVersion = 0x0111;
constexpr uint16_t kOpReqDevlist = 0x8005, kOpRepDevlist = 0x0005;
constexpr uint16_t kOpReqImport = 0x8003, kOpRepImport = 0x0003;
constexpr uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr size_t kHeader = 48;         // every CMD_/RET_ header
constexpr size_t kDeviceRecord = 312;  // path, busid, busnum, devnum, speed, ids, classes
constexpr uint32_t kDirIn = 1;
constexpr uint32_t kUsbSpeedFull = 2;  // enum usb_device_speed
constexpr uint32_t kShortNotOk = 0x0001, kZeroPacket = 0x0040; // URB transfer_flags
constexpr uint32_t kMaxTransfer = 4096; // far above anything an HID device is asked for
constexpr uint32_t kStNa = 1, kStDevBusy = 2; // import refused: no such device / held by another
// Connections that have not yet said what they want, at most; the oldest goes for a new one.
// They may wait long: QEMU's guestfwd connects when QEMU starts and the guest asks once booted.
constexpr size_t kMaxAskers = 8;

// A full-speed frame; control transactions the device NAKs are retried much sooner, as a
// host controller fills the rest of the frame with retries.
constexpr auto kFrame = 1ms;
constexpr auto kNakRetry = 50us;
constexpr auto kResetTime = 10ms, kResetRecovery = 10ms, kSetAddressRecovery = 2ms;
constexpr int kStrikes = 3; // no handshake three times in a row ends a transfer
constexpr auto kIdleLook = 10ms; // with nothing on the bus, how often the cable is looked at

enum Stage : uint8_t { StSetup, StDataIn, StDataOut, StStatusIn, StStatusOut };

uint32_t get32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint16_t get16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
void put32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

std::array<uint8_t, 8> setup_packet(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length)
{
    return {type, req, uint8_t(value), uint8_t(value >> 8), uint8_t(index), uint8_t(index >> 8), uint8_t(length),
            uint8_t(length >> 8)};
}

uint16_t setup_length(const std::array<uint8_t, 8> &s) { return uint16_t(s[6] | s[7] << 8); }

} // namespace

UsbipBridge::UsbipBridge(UsbDevicePort &dev, UsbipBridgeOptions opts) : dev_(dev), opts_(std::move(opts)) {}

UsbipBridge::~UsbipBridge() { stop(); }

bool UsbipBridge::start()
{
    if (thread_.joinable())
        return true;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(opts_.port);
    if (::inet_pton(AF_INET, opts_.listen_address.c_str(), &sa.sin_addr) != 1) {
        ::close(fd);
        errno = EINVAL;
        return false;
    }
    socklen_t len = sizeof sa;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || ::listen(fd, 4) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return false;
    }
    listen_fd_ = fd;
    port_ = ntohs(sa.sin_port);
    t0_ = Clock::now();
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void UsbipBridge::stop()
{
    if (!thread_.joinable())
        return;
    stop_ = true;
    char c = 0;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
    thread_.join();
    for (Asker &a : askers_)
        ::close(a.fd);
    askers_.clear();
    for (int *fd : {&client_fd_, &listen_fd_, &wake_[0], &wake_[1]})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

UsbipBridge::Stats UsbipBridge::stats() const
{
    std::lock_guard lock(mu_);
    return stats_;
}

std::vector<UsbipBridge::UrbRecord> UsbipBridge::urbs() const
{
    std::lock_guard lock(mu_);
    return log_;
}

std::vector<UsbipBridge::UrbRecord> UsbipBridge::urbs_from(uint64_t &cursor) const
{
    std::lock_guard lock(mu_);
    size_t from = cursor > log_base_ ? size_t(cursor - log_base_) : 0;
    std::vector<UrbRecord> r(log_.begin() + long(std::min(from, log_.size())), log_.end());
    cursor = log_base_ + log_.size();
    return r;
}

void UsbipBridge::log(UrbRecord r)
{
    log_.push_back(std::move(r));
    // Dropped in halves, so that a long run does not move the whole log at every URB.
    if (opts_.log_limit && log_.size() >= 2 * opts_.log_limit) {
        size_t drop = log_.size() - opts_.log_limit;
        log_.erase(log_.begin(), log_.begin() + long(drop));
        log_base_ += drop;
    }
}

bool UsbipBridge::wait(const Pred &pred, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return pred(stats_, log_); });
}

void UsbipBridge::note(const std::function<void(Stats &)> &f)
{
    {
        std::lock_guard lock(mu_);
        f(stats_);
    }
    changed_.notify_all();
}

uint64_t UsbipBridge::now_us() const
{
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0_).count());
}

// ---- The thread: socket, enumeration and frames ----

void UsbipBridge::run()
{
    auto next_frame = Clock::now() + kFrame;
    while (!stop_) {
        bool attached;
        {
            std::lock_guard lock(Kernel::instance().mutex());
            attached = dev_.attached();
        }
        if (!attached && enumerated_) {
            enumerated_ = false;
            note([](Stats &s) { s.enumerated = false; });
            if (imported_)
                close_client("the device detached");
        }
        if (attached && (!enumerated_ || plug_pending_)) {
            plug_pending_ = false;
            enumerate();
        }
        if (import_pending_ && (enumerated_ || Clock::now() > import_deadline_))
            reply_import();

        bool control_busy = false, interrupt_busy = false;
        for (const Urb &u : urbs_)
            (u.control ? control_busy : interrupt_busy) = true;
        auto now = Clock::now();
        auto until = now + kIdleLook;
        if (interrupt_busy)
            until = next_frame;
        if (control_busy)
            until = std::min(until, now + kNakRetry);
        auto wait = std::max<Clock::duration>(until - now, 0us);
        timespec ts{time_t(wait / 1s), long((wait % 1s) / 1ns)};

        // The wake pipe, the listening socket, the importer (or -1), then the askers.
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}, {client_fd_, POLLIN, 0}};
        for (const Asker &a : askers_)
            fds.push_back({a.fd, POLLIN, 0});
        if (::ppoll(fds.data(), fds.size(), &ts, nullptr) < 0 && errno != EINTR) {
            note([](Stats &s) { s.last_error = std::string("poll: ") + std::strerror(errno); });
            break;
        }
        if (fds[2].revents && client_fd_ >= 0 && read_client())
            parse_client();
        for (size_t i = askers_.size(); i-- > 0;)
            if (fds[3 + i].revents && serve_asker(askers_[i]))
                askers_.erase(askers_.begin() + long(i));
        if (fds[1].revents)
            accept_client();
        now = Clock::now();
        bool new_frame = now >= next_frame;
        if (new_frame) {
            frame_++;
            next_frame += kFrame;
            if (next_frame < now) // fell behind (a loaded machine): no burst of frames
                next_frame = now + kFrame;
        }
        if (imported_ && enumerated_)
            schedule(new_frame);
    }
}

void UsbipBridge::accept_client()
{
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (askers_.size() >= kMaxAskers) {
        ::close(askers_.front().fd);
        askers_.erase(askers_.begin());
    }
    askers_.push_back({fd, {}});
    note([](Stats &s) { s.connections++; });
}

bool UsbipBridge::serve_asker(Asker &a)
{
    auto answer = [&](const std::vector<uint8_t> &rep) {
        for (size_t at = 0; at < rep.size();) {
            ssize_t n = ::send(a.fd, rep.data() + at, rep.size() - at, MSG_NOSIGNAL);
            if (n > 0) {
                at += size_t(n);
                continue;
            }
            pollfd f{a.fd, POLLOUT, 0};
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || ::poll(&f, 1, 1000) <= 0)
                break;
        }
        ::close(a.fd);
        return true;
    };
    uint8_t buf[512];
    for (;;) {
        ssize_t n = ::recv(a.fd, buf, sizeof buf, 0);
        if (n > 0) {
            a.rx.insert(a.rx.end(), buf, buf + n);
            if (a.rx.size() <= 4096)
                continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        ::close(a.fd); // closed, failed, or talking far past any request
        return true;
    }
    uint16_t code = a.rx.size() >= 8 ? get16(a.rx.data() + 2) : 0;
    size_t need = code == kOpReqImport ? 40 : 8;
    if (a.rx.size() < need)
        return false;
    if (code == kOpReqDevlist)
        return answer(device_list());
    if (code != kOpReqImport)
        return answer({});
    std::string busid(reinterpret_cast<const char *>(a.rx.data() + 8), strnlen(reinterpret_cast<const char *>(a.rx.data() + 8), 32));
    uint32_t refusal = busid != opts_.busid ? kStNa : client_fd_ >= 0 ? kStDevBusy : 0;
    if (refusal) {
        if (refusal == kStDevBusy)
            note([](Stats &s) { s.busy++; });
        std::vector<uint8_t> rep(8);
        put16(rep.data(), kVersion);
        put16(rep.data() + 2, kOpRepImport);
        put32(rep.data() + 4, refusal);
        return answer(rep);
    }
    // This connection imports: a plug, answered once the device is enumerated again.
    client_fd_ = a.fd;
    rx_.assign(a.rx.begin() + 40, a.rx.end());
    import_pending_ = true;
    plug_pending_ = true;
    import_deadline_ = Clock::now() + opts_.import_wait;
    return true;
}

bool UsbipBridge::read_client()
{
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::recv(client_fd_, buf, sizeof buf, 0);
        if (n > 0) {
            rx_.insert(rx_.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        close_client(n == 0 ? "the client closed the connection" : "receive failed");
        return false;
    }
}

void UsbipBridge::parse_client()
{
    size_t used = 0;
    while (client_fd_ >= 0 && imported_) {
        const uint8_t *p = rx_.data() + used;
        size_t avail = rx_.size() - used;
        if (avail < kHeader)
            break;
        uint32_t cmd = get32(p), len = get32(p + 24), npk = get32(p + 32);
        if (cmd == kCmdSubmit) {
            if (len > kMaxTransfer || (npk != 0 && npk != 0xFFFFFFFF && npk > 1024)) {
                close_client("malformed CMD_SUBMIT");
                break;
            }
            size_t payload = get32(p + 12) == kDirIn ? 0 : len;
            size_t iso = npk != 0 && npk != 0xFFFFFFFF ? size_t(npk) * 16 : 0;
            if (avail < kHeader + payload + iso)
                break;
            submit(p, p + kHeader);
            used += kHeader + payload + iso;
        } else if (cmd == kCmdUnlink) {
            unlink(p);
            used += kHeader;
        } else {
            close_client("unknown command");
            break;
        }
    }
    if (client_fd_ >= 0)
        rx_.erase(rx_.begin(), rx_.begin() + long(std::min(used, rx_.size())));
}

std::vector<uint8_t> UsbipBridge::device_list() const
{
    std::vector<uint8_t> rep(12);
    put16(rep.data(), kVersion);
    put16(rep.data() + 2, kOpRepDevlist);
    if (enumerated_) {
        put32(rep.data() + 8, 1);
        rep.resize(12 + kDeviceRecord);
        fill_device_record(rep.data() + 12);
        // One 4-byte record (class, subclass, protocol, padding) per interface.
        for (size_t i = 0; i + 9 <= cfg_desc_.size(); i += std::max<size_t>(cfg_desc_[i], 1))
            if (cfg_desc_[i + 1] == 4)
                rep.insert(rep.end(), {cfg_desc_[i + 5], cfg_desc_[i + 6], cfg_desc_[i + 7], 0});
    }
    return rep;
}

void UsbipBridge::reply_import()
{
    import_pending_ = false;
    uint8_t rep[8 + kDeviceRecord] = {};
    put16(rep, kVersion);
    put16(rep + 2, kOpRepImport);
    if (!enumerated_) {
        put32(rep + 4, kStNa);
        send_all(rep, 8);
        close_client("import: the device did not attach in time");
        return;
    }
    fill_device_record(rep + 8);
    send_all(rep, sizeof rep);
    if (client_fd_ < 0)
        return;
    imported_ = true;
    note([](Stats &s) {
        s.imported = true;
        s.imports++;
    });
    parse_client(); // commands that came right behind the request
}

void UsbipBridge::fill_device_record(uint8_t *rec) const
{
    std::memset(rec, 0, kDeviceRecord);
    std::snprintf(reinterpret_cast<char *>(rec), 256, "/sys/devices/virtual/hidbridge/usb%u/%s", opts_.busnum,
                  opts_.busid.c_str());
    std::snprintf(reinterpret_cast<char *>(rec + 256), 32, "%s", opts_.busid.c_str());
    put32(rec + 288, opts_.busnum);
    put32(rec + 292, opts_.address);
    put32(rec + 296, kUsbSpeedFull);
    const std::vector<uint8_t> &d = dev_desc_;
    if (d.size() >= 18) {
        put16(rec + 300, uint16_t(d[8] | d[9] << 8));
        put16(rec + 302, uint16_t(d[10] | d[11] << 8));
        put16(rec + 304, uint16_t(d[12] | d[13] << 8));
        rec[306] = d[4];
        rec[307] = d[5];
        rec[308] = d[6];
        rec[310] = d[17];
    }
    rec[309] = 0; // not configured: the client chooses the configuration
    rec[311] = cfg_desc_.size() >= 9 ? cfg_desc_[4] : 0;
}

void UsbipBridge::send_all(const void *buf, size_t len)
{
    auto p = static_cast<const uint8_t *>(buf);
    while (len && client_fd_ >= 0) {
        ssize_t n = ::send(client_fd_, p, len, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd f{client_fd_, POLLOUT, 0};
            if (::poll(&f, 1, 1000) <= 0) {
                close_client("send timed out");
                return;
            }
        } else {
            close_client("send failed");
            return;
        }
    }
}

void UsbipBridge::close_client(const char *why)
{
    if (client_fd_ < 0)
        return;
    ::close(client_fd_);
    client_fd_ = -1;
    rx_.clear();
    import_pending_ = false;
    bool was_imported = imported_;
    imported_ = false;
    urbs_.clear();
    std::string text = why;
    note([&](Stats &s) {
        s.imported = false;
        if (was_imported)
            s.last_error = text;
    });
    // The cable is pulled; the next import plugs it in again.
    go_idle();
}

void UsbipBridge::go_idle()
{
    if (idle_ || !enumerated_)
        return;
    {
        std::lock_guard lock(Kernel::instance().mutex());
        dev_.suspend();
    }
    idle_ = true;
    note([](Stats &s) { s.idle = true; });
}

void UsbipBridge::submit(const uint8_t *hdr, const uint8_t *payload)
{
    Urb u;
    u.seqnum = get32(hdr + 4);
    u.in = get32(hdr + 12) == kDirIn;
    u.ep = uint8_t(get32(hdr + 16) & 0x0F);
    u.flags = get32(hdr + 20);
    u.length = get32(hdr + 24);
    uint32_t npk = get32(hdr + 32);
    u.interval = std::max<uint32_t>(get32(hdr + 36), 1);
    std::memcpy(u.setup.data(), hdr + 40, 8);
    u.control = u.ep == 0;
    if (!u.in)
        u.data.assign(payload, payload + u.length);
    note([](Stats &s) { s.submits++; });
    u.due_frame = frame_;
    const EpInfo &info = u.in ? in_eps_[u.ep] : out_eps_[u.ep];
    if (!u.control && (info.type != 3 || (npk != 0 && npk != 0xFFFFFFFF))) {
        finish(u, -EPIPE); // only control and interrupt pipes exist on this device
        return;
    }
    if (u.control) {
        if (u.setup[0] == 0x00 && u.setup[1] == 0x05) {
            // The bridge owns the device's address; vhci-hcd does not normally send this.
            u.local = true;
            finish(u, 0);
            return;
        }
        u.length = std::min<uint32_t>(u.length, setup_length(u.setup));
    }
    urbs_.push_back(std::move(u));
}

void UsbipBridge::unlink(const uint8_t *hdr)
{
    uint32_t seq = get32(hdr + 4), victim = get32(hdr + 20);
    auto it = std::find_if(urbs_.begin(), urbs_.end(), [&](const Urb &u) { return u.seqnum == victim; });
    bool hit = it != urbs_.end();
    if (hit) {
        UrbRecord r;
        r.seqnum = it->seqnum;
        r.ep = it->ep;
        r.in = it->in;
        r.control = it->control;
        r.setup = it->setup;
        r.status = -ECONNRESET;
        r.unlinked = true;
        r.t_us = now_us();
        {
            std::lock_guard lock(mu_);
            log(std::move(r));
        }
        urbs_.erase(it);
    }
    note([&](Stats &s) {
        s.unlinks++;
        s.unlink_hits += hit;
    });
    // After a successful unlink there is no RET_SUBMIT for the URB; after a late one the
    // RET_SUBMIT has already gone and the status is 0.
    uint8_t rep[kHeader] = {};
    put32(rep, kRetUnlink);
    put32(rep + 4, seq);
    put32(rep + 20, uint32_t(hit ? -ECONNRESET : 0));
    send_all(rep, sizeof rep);
}

void UsbipBridge::finish(Urb &u, int32_t status)
{
    if (status == 0 && u.in && (u.flags & kShortNotOk) && u.data.size() < u.length)
        status = -EREMOTEIO;
    uint32_t actual = u.in ? uint32_t(u.data.size()) : u.done;
    UrbRecord r;
    r.seqnum = u.seqnum;
    r.ep = u.ep;
    r.in = u.in;
    r.control = u.control;
    r.setup = u.setup;
    r.status = status;
    r.local = u.local;
    r.data = u.in ? u.data : std::vector<uint8_t>(u.data.begin(), u.data.begin() + actual);
    r.t_us = now_us();
    {
        std::lock_guard lock(mu_);
        log(std::move(r));
        stats_.completions++;
        stats_.retransmissions += u.retransmissions;
    }
    changed_.notify_all();
    std::vector<uint8_t> rep(kHeader);
    put32(rep.data(), kRetSubmit);
    put32(rep.data() + 4, u.seqnum);
    put32(rep.data() + 20, uint32_t(status));
    put32(rep.data() + 24, actual);
    put32(rep.data() + 32, 0xFFFFFFFF);
    if (u.in)
        rep.insert(rep.end(), u.data.begin(), u.data.end());
    send_all(rep.data(), rep.size());
}

// ---- Bus side ----

void UsbipBridge::schedule(bool new_frame)
{
    // Only the oldest URB of each pipe is on the bus; endpoint 0 is one pipe both ways.
    std::set<int> busy;
    for (size_t i = 0; i < urbs_.size() && imported_;) {
        Urb &u = urbs_[i];
        int pipe = u.control ? 0 : (u.in ? 0x80 : 0) | u.ep;
        if (!busy.insert(pipe).second) {
            i++;
            continue;
        }
        Step st = Step::Wait;
        if (u.control) {
            for (int n = 0; n < 64 && (st = control_step(u)) == Step::Progress; n++)
                ;
        } else if (new_frame && frame_ >= u.due_frame) {
            st = interrupt_step(u);
            u.due_frame = frame_ + u.interval;
        }
        if (st != Step::Finished) {
            i++;
            continue;
        }
        finish(u, u.status);
        if (!imported_) // the answer could not be sent: the connection is gone
            break;
        if (u.control && u.status == 0)
            after_control(u);
        urbs_.erase(urbs_.begin() + long(i));
    }
}

// What a handshake other than ACK does to a transfer: NAK waits, STALL ends it, and no
// handshake at all ends it on the third time in a row.
UsbipBridge::Step UsbipBridge::no_ack(Urb &u, Handshake hs)
{
    if (hs == Handshake::Nak)
        return Step::Wait;
    if (hs == Handshake::Stall || ++u.strikes >= kStrikes) {
        u.status = hs == Handshake::Stall ? -EPIPE : -EPROTO;
        return Step::Finished;
    }
    return Step::Wait;
}

UsbipBridge::Step UsbipBridge::control_step(Urb &u)
{
    std::lock_guard lock(Kernel::instance().mutex());
    switch (u.stage) {
    case StSetup: {
        Handshake hs = dev_.setup(addr_, u.setup.data());
        if (hs != Handshake::Ack)
            return no_ack(u, hs);
        u.toggle = 1;
        u.stage = u.length == 0 ? StStatusIn : u.in ? StDataIn : StDataOut;
        break;
    }
    case StDataIn: {
        InPacket p = dev_.in(addr_, 0);
        if (p.hs != Handshake::Ack)
            return no_ack(u, p.hs);
        if (p.toggle != u.toggle) {
            // The device missed our ACK and sent the packet again: we already have it.
            u.retransmissions++;
            break;
        }
        u.toggle ^= 1;
        if (p.len > u.length - u.data.size()) {
            u.status = -EOVERFLOW;
            return Step::Finished;
        }
        u.data.insert(u.data.end(), p.data, p.data + p.len);
        if (p.len < mps0_ || u.data.size() == u.length)
            u.stage = StStatusOut;
        break;
    }
    case StDataOut: {
        uint8_t n = uint8_t(std::min<uint32_t>(mps0_, u.length - u.done));
        Handshake hs = dev_.out(addr_, 0, u.toggle, u.data.data() + u.done, n);
        if (hs != Handshake::Ack)
            return no_ack(u, hs);
        u.toggle ^= 1;
        u.done += n;
        if (u.done == u.length)
            u.stage = StStatusIn;
        break;
    }
    case StStatusIn: {
        InPacket p = dev_.in(addr_, 0);
        if (p.hs != Handshake::Ack)
            return no_ack(u, p.hs);
        // The status stage is a zero-length DATA1; data here is a protocol error.
        u.status = p.len == 0 ? 0 : -EPROTO;
        return Step::Finished;
    }
    default: {
        Handshake hs = dev_.out(addr_, 0, 1, nullptr, 0);
        if (hs != Handshake::Ack)
            return no_ack(u, hs);
        u.status = 0;
        return Step::Finished;
    }
    }
    u.strikes = 0;
    return Step::Progress;
}

UsbipBridge::Step UsbipBridge::interrupt_step(Urb &u)
{
    const EpInfo &info = u.in ? in_eps_[u.ep] : out_eps_[u.ep];
    std::lock_guard lock(Kernel::instance().mutex());
    if (u.in) {
        InPacket p = dev_.in(addr_, u.ep);
        if (p.hs != Handshake::Ack)
            return no_ack(u, p.hs);
        u.strikes = 0;
        if (p.toggle != in_tog_[u.ep]) {
            u.retransmissions++;
            return Step::Wait;
        }
        in_tog_[u.ep] ^= 1;
        if (p.len > u.length - u.data.size()) {
            u.status = -EOVERFLOW;
            return Step::Finished;
        }
        u.data.insert(u.data.end(), p.data, p.data + p.len);
        u.status = 0;
        return p.len < info.mps || u.data.size() == u.length ? Step::Finished : Step::Wait;
    }
    uint8_t n = uint8_t(std::min<uint32_t>(info.mps, u.length - u.done));
    Handshake hs = dev_.out(addr_, u.ep, out_tog_[u.ep], u.data.data() + u.done, n);
    if (hs != Handshake::Ack)
        return no_ack(u, hs);
    u.strikes = 0;
    out_tog_[u.ep] ^= 1;
    u.done += n;
    u.status = 0;
    if (u.done < u.length)
        return Step::Wait;
    // A transfer of whole packets ends with a zero-length one only when the client asks.
    if (n == info.mps && (u.flags & kZeroPacket) && u.stage == 0) {
        u.stage = 1;
        return Step::Wait;
    }
    return Step::Finished;
}

void UsbipBridge::after_control(const Urb &u)
{
    const auto &s = u.setup;
    uint16_t value = uint16_t(s[2] | s[3] << 8), index = uint16_t(s[4] | s[5] << 8);
    if (s[0] == 0x00 && s[1] == 0x09) { // SET_CONFIGURATION: every endpoint starts at DATA0
        reset_toggles();
    } else if (s[0] == 0x01 && s[1] == 0x0B) { // SET_INTERFACE: that interface's endpoints
        for (int ep = 1; ep < 16; ep++) {
            if (in_eps_[ep].type && in_eps_[ep].interface == index)
                in_tog_[ep] = 0;
            if (out_eps_[ep].type && out_eps_[ep].interface == index)
                out_tog_[ep] = 0;
        }
    } else if (s[0] == 0x02 && s[1] == 0x01 && value == 0) { // CLEAR_FEATURE(ENDPOINT_HALT)
        (index & 0x80 ? in_tog_ : out_tog_)[index & 0x0F] = 0;
    }
}

void UsbipBridge::reset_toggles()
{
    in_tog_.fill(0);
    out_tog_.fill(0);
}

int UsbipBridge::control_sync(uint8_t addr, const std::array<uint8_t, 8> &setup, std::vector<uint8_t> &in)
{
    Urb u;
    u.control = true;
    u.in = setup[0] & 0x80;
    u.setup = setup;
    u.length = setup_length(setup);
    uint8_t saved = addr_;
    addr_ = addr;
    Step st = Step::Wait;
    for (auto deadline = Clock::now() + 1s; st != Step::Finished && Clock::now() < deadline && !stop_;)
        if ((st = control_step(u)) == Step::Wait)
            std::this_thread::sleep_for(kNakRetry);
    addr_ = saved;
    in = u.data;
    return st == Step::Finished ? u.status : -ETIMEDOUT;
}

void UsbipBridge::enumerate()
{
    auto reset = [&] {
        {
            std::lock_guard lock(Kernel::instance().mutex());
            dev_.bus_reset();
        }
        std::this_thread::sleep_for(kResetTime + kResetRecovery);
    };
    auto fail = [&](const char *what, int status) {
        std::string text = std::string("enumeration: ") + what + ": " + std::strerror(-status);
        note([&](Stats &s) { s.last_error = text; });
        std::this_thread::sleep_for(100ms);
    };
    enumerated_ = false;
    idle_ = false; // the reset wakes a suspended device
    note([](Stats &s) {
        s.enumerated = false;
        s.idle = false;
    });
    reset_toggles();
    reset();
    // As Linux does: the first 8 bytes of the device descriptor say endpoint 0's size.
    mps0_ = 64;
    std::vector<uint8_t> d;
    int st = control_sync(0, setup_packet(0x80, 0x06, 0x0100, 0, 64), d);
    if (st < 0 || d.size() < 8 || d[1] != 1 || (d[7] != 8 && d[7] != 16 && d[7] != 32 && d[7] != 64))
        return fail("device descriptor at address 0", st < 0 ? st : -EPROTO);
    mps0_ = d[7];
    reset();
    st = control_sync(0, setup_packet(0x00, 0x05, opts_.address, 0, 0), d);
    if (st < 0)
        return fail("SET_ADDRESS", st);
    std::this_thread::sleep_for(kSetAddressRecovery);
    addr_ = opts_.address;
    st = control_sync(addr_, setup_packet(0x80, 0x06, 0x0100, 0, 18), dev_desc_);
    if (st < 0 || dev_desc_.size() != 18)
        return fail("device descriptor", st < 0 ? st : -EPROTO);
    st = control_sync(addr_, setup_packet(0x80, 0x06, 0x0200, 0, 9), cfg_desc_);
    if (st < 0 || cfg_desc_.size() != 9)
        return fail("configuration descriptor", st < 0 ? st : -EPROTO);
    uint16_t total = uint16_t(cfg_desc_[2] | cfg_desc_[3] << 8);
    st = control_sync(addr_, setup_packet(0x80, 0x06, 0x0200, 0, total), cfg_desc_);
    if (st < 0 || cfg_desc_.size() != total || !parse_config())
        return fail("configuration descriptor set", st < 0 ? st : -EPROTO);
    enumerated_ = true;
    note([&](Stats &s) {
        s.enumerated = true;
        s.enumerations++;
        s.device_descriptor = dev_desc_;
        s.config_descriptor = cfg_desc_;
    });
    if (!import_pending_ && !imported_)
        go_idle();
}

bool UsbipBridge::parse_config()
{
    in_eps_.fill({});
    out_eps_.fill({});
    uint8_t itf = 0;
    for (size_t i = 0; i + 2 <= cfg_desc_.size();) {
        uint8_t len = cfg_desc_[i], type = cfg_desc_[i + 1];
        if (len < 2 || i + len > cfg_desc_.size())
            return false;
        if (type == 4 && len >= 9)
            itf = cfg_desc_[i + 2];
        if (type == 5 && len >= 7) {
            uint8_t ep = cfg_desc_[i + 2];
            EpInfo &e = ep & 0x80 ? in_eps_[ep & 0x0F] : out_eps_[ep & 0x0F];
            e.type = cfg_desc_[i + 3] & 0x03;
            e.mps = uint16_t((cfg_desc_[i + 4] | cfg_desc_[i + 5] << 8) & 0x7FF);
            e.interface = itf;
            if (!e.mps || e.mps > 64)
                return false;
        }
        i += len;
    }
    return true;
}

} // namespace sim
