// The input thread: reads the keyboards and mice behind the board's hub as event devices
// 0 .. 4, records their input in the core's state and has the reports composed after each
// batch; reopens the whole set whenever a device comes or goes.
#include "core_state.h"
#include "sysio.h"
#include "tarvo.h"
#include "usbfunc.h"

#include <linux/input.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// New devices are looked for only after this long without input from the open ones.
constexpr int kQuietRescanMs = 500;
// The wait for the host's configuration looks at configok this often.
constexpr useconds_t kConfigPollUs = 10000;
// After a batch the host refused (it had the device unconfigured: a bus reset, a replug),
// configok is looked at this often, so the state it missed follows it once it is back.
constexpr int kResendPollMs = 10;

// Input thread only. One entry per port; a free entry (fd -1) takes no part in the wait.
pollfd input_fds[Maxport] = {{-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
uint8_t syn_pending;

// configok is written by the device thread without a lock: every test is a fresh load.
std::atomic_ref<uint8_t> configok() { return std::atomic_ref<uint8_t>(km.configok); }

void free_entry(pollfd &e)
{
    e.fd = -1;
    e.events = 0;
    e.revents = 0;
}

// The key query reads key_state without the lock: write its cells whole.
void set_key_state(int code, uint8_t value)
{
    std::atomic_ref<uint8_t>(key_state[code]).store(value, std::memory_order_relaxed);
}

void zero_bytes(uint8_t *cells, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        std::atomic_ref<uint8_t>(cells[i]).store(0, std::memory_order_relaxed);
}

void set_button(int port, int32_t bit, uint16_t code, int32_t value)
{
    if (value == 1)
        port_mouse[port].button |= bit;
    else if (value == 0)
        port_mouse[port].button &= ~bit;
    else
        printf("unknow code [port=%d] code=%d  updown=%d\n", port, code, value);
}

} // namespace

extern "C" int input_device_exists(int port)
{
    char path[32];
    snprintf(path, sizeof path, "/dev/input/event%d", port);
    return sys_access(path, F_OK) == 0;
}

extern "C" int count_input_devices(void)
{
    int n = 0;
    for (int port = 0; port < Maxport; ++port)
        n += input_device_exists(port) ? 1 : 0;
    return n;
}

extern "C" int open_input_devices(void)
{
    for (pollfd &e : input_fds)
        free_entry(e);
    int total = 0;
    for (int port = 0; port < Maxport; ++port) {
        if (!input_device_exists(port))
            continue;
        char path[32];
        snprintf(path, sizeof path, "/dev/input/event%d", port);
        // A device that exists but does not open is counted all the same: it keeps the
        // count equal to what is present, and its entry (fd -1) is skipped by poll.
        input_fds[port].fd = sys_open(path, O_RDONLY | O_NONBLOCK);
        input_fds[port].events = POLLIN;
        ++total;
        printf("listen port %d ...[total=%d]\n", port, total);
    }
    return total;
}

extern "C" int close_input_devices(void)
{
    int closed = 0;
    for (pollfd &e : input_fds) {
        if (e.fd >= 0) {
            sys_close(e.fd);
            ++closed;
        }
        free_entry(e);
    }
    return closed;
}

extern "C" void handle_input_event(int port, uint16_t type, uint16_t code, int32_t value)
{
    pthread_mutex_lock(&control_mutex);
    switch (type) {
    case EV_SYN:
        syn_pending = 1;
        break;
    case EV_KEY:
        if (code == BTN_LEFT)
            set_button(port, 0x01, code, value);
        else if (code == BTN_RIGHT)
            set_button(port, 0x02, code, value);
        else if (code == BTN_MIDDLE)
            set_button(port, 0x04, code, value);
        else if (code >= 256)
            printf("unknow code [port=%d] code=%d  updown=%d\n", port, code, value);
        else if (code < KEY_STATES)
            set_key_state(code, static_cast<uint8_t>(value));
        break;
    case EV_REL:
        // The last event of an axis replaces the one before: the kernel has summed already.
        if (code == REL_X)
            port_mouse[port].x = value;
        else if (code == REL_Y)
            port_mouse[port].y = value;
        else if (code == REL_WHEEL)
            port_mouse[port].wheel = value;
        break;
    case EV_LED:
        printf("port=%d EV_LED=%08x code=%08x value=%08x\n", port, type, code, value);
        break;
    case EV_SND:
        printf("port=%d EV_SND=%08x code=%08x value=%08x\n", port, type, code, value);
        break;
    case EV_REP:
        printf("port=%d EV_REP=%08x code=%08x value=%08x\n", port, type, code, value);
        break;
    case EV_FF:
        printf("port=%d EV_FF=%08x code=%08x value=%08x\n", port, type, code, value);
        break;
    default:
        break;
    }
    pthread_mutex_unlock(&control_mutex);
}

extern "C" void reset_control_state(void)
{
    pthread_mutex_lock(&control_mutex);
    // Everything but configok, which the device thread writes without the lock.
    auto *bytes = reinterpret_cast<uint8_t *>(&km);
    constexpr size_t ok = offsetof(km_control_t, configok);
    zero_bytes(bytes, offsetof(km_control_t, softKeyboard) + sizeof km.softKeyboard);
    std::memset(bytes + offsetof(km_control_t, lock_ml), 0, ok - offsetof(km_control_t, lock_ml));
    std::memset(bytes + ok + 1, 0, sizeof km - ok - 1);
    phys_mouse = {};
    std::memset(phys_keyboard_report, 0, sizeof phys_keyboard_report);
    for (port_mouse_t &p : port_mouse)
        p = {};
    zero_bytes(key_state, sizeof key_state);
    configok().store(1);
    compose_mouse_report(1);
    compose_keyboard_report(1);
    std::atomic_ref<unsigned>(control_state_resets).fetch_add(1, std::memory_order_release);
    pthread_mutex_unlock(&control_mutex);
}

extern "C" void *input_listener_thread(void *)
{
    Hub_poweron();
    for (;;) {
        while (!configok().load())
            usleep(kConfigPollUs);
        reset_control_state();
        int opened = open_input_devices();
        puts("Start listen keyboard and mouse!");

        // A refused batch (a release among it) must still reach the host: with nothing typed
        // afterwards the host would hold the key for ever.
        bool resend = false;
        for (;;) {
            int ready = sys_poll(input_fds, Maxport, resend ? kResendPollMs : kQuietRescanMs);
            if (resend && configok().load()) {
                pthread_mutex_lock(&control_mutex);
                resend = compose_mouse_report(1) == err_DeviceDisconnected ||
                         compose_keyboard_report(1) == err_DeviceDisconnected;
                pthread_mutex_unlock(&control_mutex);
            }
            if (ready < 0) {
                // A signal handler anywhere in the process interrupts poll: not a failure.
                if (errno == EINTR)
                    continue;
                printf("poll error! ret=%d\n", ready);
                return reinterpret_cast<void *>(static_cast<intptr_t>(-1));
            }
            if (ready == 0) {
                int present = count_input_devices();
                if (present == opened)
                    continue;
                printf("device hpd! now %d ,last %d ", present, opened);
                printf("closed %d\n", close_input_devices());
                break;
            }

            syn_pending = 0;
            bool lost = false;
            for (int port = 0; port < Maxport; ++port) {
                short revents = input_fds[port].revents;
                // A pulled device hangs up; its read fails even while data is still queued.
                if (revents & (POLLHUP | POLLERR | POLLNVAL))
                    lost = true;
                if (!(revents & POLLIN))
                    continue;
                input_event ev;
                ssize_t n = sys_read(input_fds[port].fd, &ev, sizeof ev);
                if (n == static_cast<ssize_t>(sizeof ev))
                    handle_input_event(port, ev.type, ev.code, ev.value);
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    lost = true;
            }
            if (syn_pending) {
                pthread_mutex_lock(&control_mutex);
                int m = compose_mouse_report(1);
                int k = compose_keyboard_report(0);
                if (m == err_DeviceDisconnected || k == err_DeviceDisconnected)
                    resend = true;
                syn_pending = 0;
                pthread_mutex_unlock(&control_mutex);
            }
            if (lost) {
                close_input_devices();
                break;
            }
        }
    }
}
