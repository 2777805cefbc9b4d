// The host's life: its frame thread, the cable and the connection, bus resets, suspend and
// resume, the faults a test asks for, and the states they leave the host in.
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

std::string expand_pid(std::string path)
{
    auto at = path.find("%p");
    if (at != std::string::npos)
        path.replace(at, 2, std::to_string(getpid()));
    return path;
}

} // namespace

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

UsbHost::UsbHost(UsbDevicePort &port, HostOptions opts)
    : port_(port), opts_(std::move(opts)), t0_(Clock::now()), polling_(opts_.poll),
      next_address_(opts_.first_address), style_(opts_.style), used_style_(opts_.style), idle_(opts_.idle),
      poll_only_open_(opts_.poll_only_open), lock_leds_on_(opts_.lock_leds)
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
    if (lock_leds_due_ && state_ == HostState::Configured && !suspended_)
        send_lock_leds();
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
    protocol_.clear();
    halted_.clear();
    clear_pending_.clear();
    suspended_ = false;
    state_ = HostState::Detached;
    std::lock_guard l(mu_);
    pub_.state = state_;
    pub_.ready = false;
    pub_.address = 0;
    pub_.protocol.clear();
    pub_.suspended = false;
    pub_.view.release_all();
    cv_.notify_all();
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

void UsbHost::reset_bus_state()
{
    end_polling_urbs(-ENOENT);
    fail_outputs(-ENOENT);
    address_ = 0;
    config_ = {};
    kinds_.clear();
    protocol_.clear();
    halted_.clear();
    clear_pending_.clear();
    reset_toggles();
    suspended_ = false;
    state_ = HostState::Default;
    std::lock_guard l(mu_);
    pub_.state = state_;
    pub_.ready = false;
    pub_.address = 0;
    pub_.protocol.clear();
    pub_.suspended = false;
    cv_.notify_all();
}

void UsbHost::reset_toggles() { toggles_.fill(0); }

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

} // namespace sim
