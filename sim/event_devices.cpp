#include "event_devices.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <poll.h>

namespace sim {
namespace {
constexpr std::string_view kPrefix = "/dev/input/event";
} // namespace

class EventDevices::File : public VFile {
public:
    File(EventDevices &devs, int n) : devs_(&devs), n_(n) {}
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
        if (gone_) {
            errno = ENODEV;
            return -1;
        }
        if (len < sizeof(input_event)) {
            errno = EINVAL; // evdev never splits a record
            return -1;
        }
        if (queue_.empty()) {
            errno = EAGAIN;
            return -1;
        }
        size_t n = 0;
        auto *out = static_cast<input_event *>(buf);
        while (!queue_.empty() && (n + 1) * sizeof(input_event) <= len) {
            std::memcpy(&out[n++], &queue_.front(), sizeof(input_event));
            queue_.pop_front();
        }
        Kernel::instance().notify();
        return static_cast<ssize_t>(n * sizeof(input_event));
    }

    short poll_events(short events) const override
    {
        short r = queue_.empty() ? 0 : (events & (POLLIN | POLLRDNORM));
        if (gone_)
            r |= POLLHUP | POLLERR;
        return r;
    }

    std::deque<input_event> queue_;
    bool gone_ = false;

    EventDevices *devs_;

private:
    int n_;
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

std::unique_ptr<VFile> EventDevices::open(std::string_view path, int, int *err)
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
    auto f = std::make_unique<File>(*this, n);
    nodes_[n].files.push_back(f.get());
    all_files_.push_back(f.get());
    Kernel::instance().notify();
    return f;
}

void EventDevices::hang_up(int n)
{
    for (File *f : nodes_[n].files)
        f->gone_ = true;
    nodes_[n].files.clear();
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

void EventDevices::emit(int n, uint16_t type, uint16_t code, int32_t value)
{
    input_event ev{};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    ev.input_event_sec = now.tv_sec;
    ev.input_event_usec = now.tv_nsec / 1000;
    ev.type = type;
    ev.code = code;
    ev.value = value;
    std::lock_guard lock(Kernel::instance().mutex());
    for (File *f : nodes_[n].files)
        f->queue_.push_back(ev);
    Kernel::instance().notify();
}

size_t EventDevices::pending(int n) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    size_t total = 0;
    for (const File *f : nodes_[n].files)
        total += f->queue_.size();
    return total;
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
            if (!f->queue_.empty())
                return false;
        return true;
    });
}

} // namespace sim
