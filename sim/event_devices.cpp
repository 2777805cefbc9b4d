#include "event_devices.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace sim {
namespace {
constexpr std::string_view kPrefix = "/dev/input/event";

input_event stamped(uint16_t type, uint16_t code, int32_t value, const timespec &t)
{
    input_event ev{};
    ev.input_event_sec = t.tv_sec;
    ev.input_event_usec = t.tv_nsec / 1000;
    ev.type = type;
    ev.code = code;
    ev.value = value;
    return ev;
}

timespec now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}
} // namespace

class EventDevices::File : public VFile {
public:
    File(EventDevices &devs, int n, size_t size, int flags)
        : devs_(&devs), n_(n), writable_((flags & O_ACCMODE) != O_RDONLY), ring_(size)
    {
    }
    ~File() override
    {
        // Kernel::do_close destroys the file after it has let go of the mutex; files still
        // open at exit go with the kernel, perhaps after the devices.
        std::lock_guard lock(Kernel::instance().mutex());
        if (devs_) {
            std::erase(devs_->nodes_[n_].files, this);
            std::erase(devs_->all_files_, this);
        }
        Kernel::instance().notify();
    }

    ssize_t read(void *buf, size_t len) override
    {
        // evdev's order of checks; a zero length only checks.
        if (len != 0 && len < sizeof(input_event)) {
            errno = EINVAL; // evdev never splits a record
            return -1;
        }
        if (gone_) {
            errno = ENODEV;
            return -1;
        }
        if (packet_head_ == tail_) {
            errno = EAGAIN;
            return -1;
        }
        size_t n = 0;
        auto *out = static_cast<input_event *>(buf);
        while (packet_head_ != tail_ && (n + 1) * sizeof(input_event) <= len) {
            std::memcpy(&out[n++], &ring_[tail_], sizeof(input_event));
            tail_ = (tail_ + 1) & mask();
        }
        Kernel::instance().notify();
        return static_cast<ssize_t>(n * sizeof(input_event));
    }

    ssize_t write(const void *buf, size_t len) override
    {
        if (!writable_) {
            errno = EBADF;
            return -1;
        }
        if (gone_) {
            errno = ENODEV;
            return -1;
        }
        if (len < sizeof(input_event)) {
            errno = EINVAL;
            return -1;
        }
        const size_t n = len / sizeof(input_event);
        for (size_t i = 0; i < n; ++i) {
            input_event ev;
            std::memcpy(&ev, static_cast<const uint8_t *>(buf) + i * sizeof ev, sizeof ev);
            if (ev.type == EV_LED && ev.code < 32) {
                uint32_t &leds = devs_->nodes_[n_].leds;
                leds = ev.value ? leds | 1u << ev.code : leds & ~(1u << ev.code);
            }
        }
        Kernel::instance().notify();
        return static_cast<ssize_t>(n * sizeof(input_event));
    }

    int ioctl(unsigned long request, void *arg) override
    {
        if (gone_) {
            errno = ENODEV;
            return -1;
        }
        if (request == static_cast<unsigned long>(EVIOCSCLOCKID))
            return set_clock(arg);
        if ((request & ~(static_cast<unsigned long>(_IOC_SIZEMASK) << _IOC_SIZESHIFT)) ==
            static_cast<unsigned long>(EVIOCGKEY(0))) {
            // evdev copies whole longs of the KEY_MAX bitmap, clamped to what was asked for.
            size_t len = std::min<size_t>(_IOC_SIZE(request), kKeyBits / 8);
            if (len && !arg) {
                errno = EFAULT;
                return -1;
            }
            auto *out = static_cast<uint8_t *>(arg);
            const auto &keys = devs_->nodes_[n_].keys;
            for (size_t i = 0; i < len; ++i) {
                out[i] = 0;
                for (size_t b = 0; b < 8; ++b)
                    if (keys[i * 8 + b])
                        out[i] |= uint8_t(1u << b);
            }
            flush(EV_KEY);
            Kernel::instance().notify();
            return static_cast<int>(len);
        }
        errno = EINVAL; // what evdev answers to a request it does not know
        return -1;
    }

    short poll_events(short events) const override
    {
        short r = packet_head_ == tail_ ? 0 : (events & (POLLIN | POLLRDNORM));
        if (gone_)
            r |= POLLHUP | POLLERR;
        return r;
    }

    size_t queued() const { return (head_ - tail_) & mask(); }
    size_t readable() const { return (packet_head_ - tail_) & mask(); }

    // The record as this file's clock stamps it: the devices stamp on the monotonic clock,
    // a file that did not ask for it gets real time, evdev's default.
    input_event on_clock(input_event ev) const
    {
        if (realtime_) {
            timespec mono{}, real{};
            clock_gettime(CLOCK_MONOTONIC, &mono);
            clock_gettime(CLOCK_REALTIME, &real);
            int64_t us = int64_t(ev.input_event_sec) * 1000000 + int64_t(ev.input_event_usec) +
                         (int64_t(real.tv_sec) - int64_t(mono.tv_sec)) * 1000000 + (real.tv_nsec - mono.tv_nsec) / 1000;
            ev.input_event_sec = us / 1000000;
            ev.input_event_usec = us % 1000000;
        }
        return ev;
    }

    // evdev's __pass_event; true when the record overflowed the ring.
    bool pass(const input_event &ev)
    {
        bool overflow = false;
        ring_[head_] = ev;
        head_ = (head_ + 1) & mask();
        if (head_ == tail_) {
            // Everything unread goes; SYN_DROPPED and the newest record stay.
            tail_ = (head_ - 2) & mask();
            input_event d{};
            d.input_event_sec = ev.input_event_sec;
            d.input_event_usec = ev.input_event_usec;
            d.type = EV_SYN;
            d.code = SYN_DROPPED;
            ring_[tail_] = d;
            packet_head_ = tail_;
            overflow = true;
        }
        if (ev.type == EV_SYN && ev.code == SYN_REPORT)
            packet_head_ = head_;
        return overflow;
    }

    // A new ring of `size` records holding what was queued; the overflows it took.
    size_t resize(size_t size)
    {
        std::vector<input_event> old;
        for (size_t i = tail_; i != head_; i = (i + 1) & mask())
            old.push_back(ring_[i]);
        ring_.assign(size, input_event{});
        head_ = tail_ = packet_head_ = 0;
        size_t overflows = 0;
        for (const input_event &ev : old)
            overflows += pass(ev);
        return overflows;
    }

    bool gone_ = false;
    EventDevices *devs_;

private:
    size_t mask() const { return ring_.size() - 1; }

    // evdev_set_clk_type: a change of clock throws away what is queued, stamped on the old one.
    int set_clock(void *arg)
    {
        int id = 0;
        if (!arg) {
            errno = EFAULT;
            return -1;
        }
        std::memcpy(&id, arg, sizeof id);
        if (id != CLOCK_REALTIME && id != CLOCK_MONOTONIC && id != CLOCK_BOOTTIME) {
            errno = EINVAL;
            return -1;
        }
        const bool realtime = id == CLOCK_REALTIME;
        const bool flush = realtime != realtime_ && head_ != tail_;
        realtime_ = realtime;
        if (flush) {
            tail_ = head_;
            ring_[head_] = on_clock(stamped(EV_SYN, SYN_DROPPED, 0, now()));
            head_ = (head_ + 1) & mask();
            packet_head_ = head_;
        }
        return 0;
    }

    bool realtime_ = true;

    // evdev's __evdev_flush_queue: the records of `type` leave the queue, and so do the
    // packets left empty by that.
    void flush(uint16_t type)
    {
        size_t out = tail_, num = 1; // a leading SYN_REPORT stays
        packet_head_ = tail_;
        for (size_t i = tail_; i != head_; i = (i + 1) & mask()) {
            const input_event ev = ring_[i];
            bool report = ev.type == EV_SYN && ev.code == SYN_REPORT;
            if (ev.type == type || (report && num == 0))
                continue;
            ring_[out] = ev;
            ++num;
            out = (out + 1) & mask();
            if (report) {
                num = 0;
                packet_head_ = out;
            }
        }
        head_ = out;
    }

    int n_;
    bool writable_; // opened for writing: evdev takes LED records from it
    std::vector<input_event> ring_; // a power of two in size
    size_t head_ = 0, tail_ = 0;
    size_t packet_head_ = 0; // records before it (from tail_) are readable
};

EventDevices::EventDevices(GpioModel &gpio)
{
    gpio.on_output(kHubPowerLine, [this](int, int level) { set_hub_power(level); });
    Kernel::instance().attach(this);
}

EventDevices::~EventDevices()
{
    std::lock_guard lock(Kernel::instance().mutex());
    for (File *f : all_files_) {
        f->gone_ = true;
        f->devs_ = nullptr;
    }
    Kernel::instance().detach(this);
}

int EventDevices::parse(std::string_view path) const
{
    if (!path.starts_with(kPrefix))
        return -1;
    path.remove_prefix(kPrefix.size());
    int n = -1;
    auto r = std::from_chars(path.data(), path.data() + path.size(), n);
    if (r.ec != std::errc() || r.ptr != path.data() + path.size() || n < 0 || n >= kCount ||
        (path.size() > 1 && path[0] == '0'))
        return -1;
    return n;
}

bool EventDevices::owns(std::string_view path) const { return path.starts_with(kPrefix); }

bool EventDevices::exists(std::string_view path) const
{
    int n = parse(path);
    return n >= 0 && nodes_[n].plugged && hub_on_;
}

std::unique_ptr<VFile> EventDevices::open(std::string_view path, int flags, int *err)
{
    if (!exists(path)) {
        *err = ENOENT;
        return nullptr;
    }
    int n = parse(path);
    if (nodes_[n].fail_open) {
        *err = EACCES;
        return nullptr;
    }
    auto f = std::make_unique<File>(*this, n, nodes_[n].buffer_size, flags);
    nodes_[n].files.push_back(f.get());
    all_files_.push_back(f.get());
    if (!nodes_[n].at_open.empty()) {
        queue_packet(n, nodes_[n].at_open);
        nodes_[n].at_open.clear();
    }
    Kernel::instance().notify();
    return f;
}

void EventDevices::hang_up(int n)
{
    for (File *f : nodes_[n].files)
        f->gone_ = true;
    nodes_[n].files.clear();
    nodes_[n].keys.reset();
    nodes_[n].leds = 0;
    Kernel::instance().notify();
}

void EventDevices::set_hub_power(int level)
{
    hub_on_ = level != 0;
    if (!hub_on_)
        for (int n = 0; n < kCount; ++n)
            hang_up(n);
    Kernel::instance().notify();
}

void EventDevices::plug(int n)
{
    std::lock_guard lock(Kernel::instance().mutex());
    nodes_[n].plugged = true;
    Kernel::instance().notify();
}

void EventDevices::unplug(int n)
{
    std::lock_guard lock(Kernel::instance().mutex());
    nodes_[n].plugged = false;
    hang_up(n);
}

bool EventDevices::plugged(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return nodes_[n].plugged;
}

bool EventDevices::present(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return nodes_[n].plugged && hub_on_;
}

bool EventDevices::hub_powered() const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return hub_on_;
}

void EventDevices::fail_open(int n, bool fail)
{
    std::lock_guard lock(Kernel::instance().mutex());
    nodes_[n].fail_open = fail;
}

int EventDevices::open_files(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return static_cast<int>(nodes_[n].files.size());
}

void EventDevices::set_buffer_size(int n, size_t events)
{
    size_t size = 4; // evdev's overflow keeps two records: less would leave none readable
    while (size < events)
        size <<= 1;
    std::lock_guard lock(Kernel::instance().mutex());
    nodes_[n].buffer_size = size;
    for (File *f : nodes_[n].files)
        nodes_[n].dropped += f->resize(size);
    Kernel::instance().notify();
}

void EventDevices::queue(int n, const input_event &ev)
{
    Node &node = nodes_[n];
    if (!node.plugged || !hub_on_)
        return;
    if (ev.type == EV_KEY && ev.code < kKeyBits && ev.value != 2)
        node.keys[ev.code] = ev.value != 0;
    for (File *f : node.files)
        node.dropped += f->pass(f->on_clock(ev));
}

void EventDevices::emit(int n, uint16_t type, uint16_t code, int32_t value)
{
    input_event ev = stamped(type, code, value, now());
    std::lock_guard lock(Kernel::instance().mutex());
    queue(n, ev);
    Kernel::instance().notify();
}

void EventDevices::queue_packet(int n, std::span<const Ev> evs)
{
    const timespec t = now();
    for (const Ev &e : evs)
        queue(n, stamped(e.type, e.code, e.value, t));
    queue(n, stamped(EV_SYN, SYN_REPORT, 0, t));
}

void EventDevices::packet(int n, std::initializer_list<Ev> evs)
{
    std::lock_guard lock(Kernel::instance().mutex());
    queue_packet(n, {evs.begin(), evs.size()});
    Kernel::instance().notify();
}

void EventDevices::packet_at_open(int n, std::initializer_list<Ev> evs)
{
    std::lock_guard lock(Kernel::instance().mutex());
    nodes_[n].at_open.assign(evs);
}

size_t EventDevices::pending(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    size_t total = 0;
    for (const File *f : nodes_[n].files)
        total += f->queued();
    return total;
}

size_t EventDevices::readable(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    size_t total = 0;
    for (const File *f : nodes_[n].files)
        total += f->readable();
    return total;
}

size_t EventDevices::dropped(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return nodes_[n].dropped;
}

uint32_t EventDevices::leds(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return nodes_[n].leds;
}

bool EventDevices::key_down(int n, uint16_t code) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return code < kKeyBits && nodes_[n].keys[code];
}

bool EventDevices::wait_open(int n, int files, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(Kernel::instance().mutex());
    return Kernel::instance().wait_until(lock, std::chrono::steady_clock::now() + timeout, [&] {
        return static_cast<int>(nodes_[n].files.size()) == files;
    });
}

bool EventDevices::wait_drained(int n, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(Kernel::instance().mutex());
    return Kernel::instance().wait_until(lock, std::chrono::steady_clock::now() + timeout, [&] {
        for (const File *f : nodes_[n].files)
            if (f->queued())
                return false;
        return true;
    });
}

} // namespace sim
