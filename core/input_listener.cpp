// The input thread: reads the keyboards and mice behind the board's hub as event devices
// 0 .. 4, records their input in the core's state and has the reports composed after each
// batch; reopens the whole set whenever a device comes or goes.
#include "core_state.h"
#include "report_stats.h"
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
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// New devices are looked for only after this long without input from the open ones.
constexpr int kQuietRescanMs = 500;
// The host's LEDs reach the keyboards within this (the wait for input is cut into such steps).
constexpr int kLedCheckMs = 20;
constexpr uint8_t kLedsShown = 0x07; // Num, Caps and Scroll Lock; the evdev codes of bits 0..2
// The wait for the host's configuration looks at configok this often.
constexpr useconds_t kConfigPollUs = 10000;
// One read takes up to a kernel client buffer's worth of records; a device gets a few reads
// per cycle, so a mouse at 8,000 packets a second cannot keep the others waiting.
constexpr size_t kReadEvents = 64;
constexpr int kReadsPerCycle = 4;
// EVIOCGKEY's answer: one bit per key and button code.
constexpr size_t kKeyBits = KEY_MAX / 8 + 1;

// Input thread only. One entry per port; a free entry (fd -1) takes no part in the wait.
pollfd input_fds[Maxport] = {{-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
// Input thread only: the host's LEDs as last written to the open devices.
uint8_t leds_shown;

// Guarded by control_mutex. What the port's current packet changed: buttons and keys are
// composed at the packet's end, motion alone once a batch has been applied.
struct PacketChanges {
    bool buttons;
    bool keys;
};
PacketChanges packet_changes[Maxport];
bool motion_pending;
// After SYN_DROPPED a port's events are discarded up to the next SYN_REPORT; its key and
// button state is then read back from the device.
bool dropping[Maxport];
// Key codes each port holds, so that a read-back changes only that port's keys.
uint8_t port_keys[Maxport][KEY_STATES];

// The earliest kernel time stamp (monotonic µs) of the input not yet composed, per endpoint;
// 0: none. Guarded by control_mutex.
uint64_t mouse_since, keyboard_since;
// Event devices stamp with the wall clock; the figures run on the monotonic one. Asking each
// device for monotonic stamps (EVIOCSCLOCKID) would make the kernel throw away what it queued
// since the open, so the stamps are moved by the clocks' distance, read at each batch.
// Input thread only.
int64_t wall_ahead_us;

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

// The three buttons that reach the host, by report bit.
constexpr uint16_t button_codes[3] = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};

// One event into the core's state. control_mutex held.
void apply_event(int port, uint16_t type, uint16_t code, int32_t value)
{
    switch (type) {
    case EV_KEY:
        if (code == BTN_LEFT || code == BTN_RIGHT || code == BTN_MIDDLE) {
            set_button(port, 1 << (code - BTN_LEFT), code, value);
            packet_changes[port].buttons = true;
        } else if (code >= 256) {
            printf("unknow code [port=%d] code=%d  updown=%d\n", port, code, value);
        } else if (code < KEY_STATES) {
            set_key_state(code, static_cast<uint8_t>(value));
            port_keys[port][code] = value != 0;
            packet_changes[port].keys = true;
        }
        break;
    case EV_REL:
        // Every frame's motion counts: frames read together are summed, never replaced.
        if (code == REL_X)
            port_mouse[port].x = clamp32(int64_t{port_mouse[port].x} + value);
        else if (code == REL_Y)
            port_mouse[port].y = clamp32(int64_t{port_mouse[port].y} + value);
        else if (code == REL_WHEEL)
            port_mouse[port].wheel = clamp32(int64_t{port_mouse[port].wheel} + value);
        else
            break;
        motion_pending = true;
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
}

int64_t clock_us(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

// An event that reaches a report: its time stamp on the monotonic clock.
void stamp(const input_event &ev)
{
    const bool mouse = (ev.type == EV_REL && (ev.code == REL_X || ev.code == REL_Y || ev.code == REL_WHEEL)) ||
                       (ev.type == EV_KEY && ev.code >= BTN_LEFT && ev.code <= BTN_MIDDLE);
    const bool key = ev.type == EV_KEY && ev.code < 255;
    const int64_t wall = int64_t{ev.input_event_sec} * 1000000 + ev.input_event_usec;
    const uint64_t t = static_cast<uint64_t>(wall - wall_ahead_us);
    if ((!mouse && !key) || wall == 0 || wall <= wall_ahead_us)
        return;
    uint64_t &since = mouse ? mouse_since : keyboard_since;
    since = report_stats::earlier(since, t);
}

// The compositions of physical input: each report carries the time stamp of the earliest
// input it holds. control_mutex held.
void compose_mouse_input()
{
    report_stats::set_input(report_stats::kMouse, mouse_since);
    compose_mouse_report(1);
    report_stats::set_input(report_stats::kMouse, 0);
    mouse_since = 0;
}
void compose_keyboard_input()
{
    report_stats::set_input(report_stats::kKeyboard, keyboard_since);
    compose_keyboard_report(0);
    report_stats::set_input(report_stats::kKeyboard, 0);
    keyboard_since = 0;
}

// A packet ended: one report for each change of buttons or keys, so a press and its release
// read together still reach the host as two reports. Motion waits for the end of the batch
// (or the next change of buttons): frames read together go out as one report. control_mutex
// held.
void end_packet(int port)
{
    PacketChanges &c = packet_changes[port];
    if (c.buttons) {
        compose_mouse_input();
        motion_pending = false;
    }
    if (c.keys)
        compose_keyboard_input();
    c = {};
}

bool bit_set(const uint8_t *bits, unsigned code) { return bits[code / 8] >> (code % 8) & 1; }

// After an overflow: the keys and buttons the port's device holds now, as the kernel tells.
// The packet is then composed against what was composed last, not against the port's state:
// changes applied before the overflow (a release that ended the previous read) may never
// have been. False when the device did not answer. control_mutex held.
bool read_back_keys(int port)
{
    uint8_t bits[kKeyBits] = {};
    if (sys_ioctl(input_fds[port].fd, EVIOCGKEY(sizeof bits), bits) < 0)
        return false; // a device that went away is rescanned anyway
    for (int code = 0; code < KEY_STATES; ++code) {
        bool down = bit_set(bits, static_cast<unsigned>(code));
        if (down != (port_keys[port][code] != 0)) {
            set_key_state(code, down);
            port_keys[port][code] = down;
        }
    }
    int32_t buttons = 0;
    for (int b = 0; b < 3; ++b)
        if (bit_set(bits, button_codes[b]))
            buttons |= 1 << b;
    port_mouse[port].button = buttons;

    int32_t held = 0;
    for (const port_mouse_t &p : port_mouse)
        held |= p.button;
    packet_changes[port].buttons = held != phys_mouse.button;
    packet_changes[port].keys = true; // sent only if the report differs from the last one
    return true;
}

// A batch of records from one port, read whole. control_mutex held.
void apply_batch(int port, const input_event *ev, size_t n)
{
    // The batch was read before the state was read back: its key records are older than that
    // state (and the newer ones left the queue with the read-back), so none of them applies.
    bool read_back = false;
    for (size_t i = 0; i < n; ++i) {
        if (ev[i].type == EV_SYN && ev[i].code == SYN_DROPPED) {
            // The kernel threw the port's queue away: what was not yet a whole packet is
            // worthless, and releases may be among what was lost.
            if (!dropping[port])
                report_stats::resync(port);
            dropping[port] = true;
            packet_changes[port] = {};
            continue;
        }
        if (dropping[port]) {
            if (ev[i].type == EV_SYN && ev[i].code == SYN_REPORT) {
                dropping[port] = false;
                read_back = read_back_keys(port);
                end_packet(port);
            }
            continue;
        }
        if (read_back && ev[i].type == EV_KEY)
            continue;
        stamp(ev[i]);
        apply_event(port, ev[i].type, ev[i].code, ev[i].value);
        if (ev[i].type == EV_SYN)
            end_packet(port);
    }
}

// Reads what the port has, a few batches at most. False when the device is gone or broken.
bool read_port(int port)
{
    input_event ev[kReadEvents];
    for (int r = 0; r < kReadsPerCycle; ++r) {
        ssize_t got = sys_read(input_fds[port].fd, ev, sizeof ev);
        if (got < 0)
            return errno == EAGAIN || errno == EINTR;
        // evdev hands out whole records only: anything else is a broken device.
        if (got == 0 || got % static_cast<ssize_t>(sizeof(input_event)) != 0)
            return false;
        size_t n = static_cast<size_t>(got) / sizeof(input_event);
        report_stats::records(port, static_cast<unsigned>(n));
        wall_ahead_us = clock_us(CLOCK_REALTIME) - clock_us(CLOCK_MONOTONIC);
        pthread_mutex_lock(&control_mutex);
        apply_batch(port, ev, n);
        if (motion_pending) {
            compose_mouse_input();
            motion_pending = false;
        }
        pthread_mutex_unlock(&control_mutex);
        if (n < kReadEvents)
            break;
    }
    return true;
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
        // Written to as well, for the host's LEDs; a device only readable still gives input.
        input_fds[port].fd = sys_open(path, O_RDWR | O_NONBLOCK);
        if (input_fds[port].fd < 0)
            input_fds[port].fd = sys_open(path, O_RDONLY | O_NONBLOCK);
        input_fds[port].events = POLLIN;
        ++total;
        printf("listen port %d ...[total=%d]\n", port, total);
    }
    return total;
}

namespace {

// Every open device gets the host's Num, Caps and Scroll Lock (evdev passes them to the
// keyboard's driver; a device without LEDs ignores them).
void write_leds(uint8_t leds)
{
    input_event ev[4] = {};
    for (uint16_t code = 0; code < 3; ++code) {
        ev[code].type = EV_LED;
        ev[code].code = code; // LED_NUML, LED_CAPSL, LED_SCROLLL: the host's bits 0..2
        ev[code].value = (leds >> code) & 1;
    }
    ev[3].type = EV_SYN;
    ev[3].code = SYN_REPORT;
    for (const pollfd &e : input_fds)
        if (e.fd >= 0)
            (void)sys_write(e.fd, ev, sizeof ev);
    leds_shown = leds;
}

// At each change of the host's LEDs, and for devices just opened.
void show_host_leds(bool always)
{
    const uint8_t leds = USB_GetHostLeds() & kLedsShown;
    if (always || leds != leds_shown)
        write_leds(leds);
}

} // namespace

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
    input_event ev{};
    ev.type = type;
    ev.code = code;
    ev.value = value;
    apply_batch(port, &ev, 1);
    pthread_mutex_unlock(&control_mutex);
}

extern "C" void reset_control_state(void)
{
    pthread_mutex_lock(&control_mutex);
    // Everything but configok, which the device thread writes without the lock. The cells
    // other threads read or write without the lock are cleared the way they are accessed.
    auto *bytes = reinterpret_cast<uint8_t *>(&km);
    constexpr size_t ok = offsetof(km_control_t, configok);
    zero_bytes(bytes, offsetof(km_control_t, softKeyboard) + sizeof km.softKeyboard);
    std::memset(bytes + offsetof(km_control_t, lock_ml), 0, ok - offsetof(km_control_t, lock_ml));
    for (int16_t *pair : {&km.ptx, &km.pty, &km.limit_x, &km.limit_y})
        std::atomic_ref<int16_t>(*pair).store(0, std::memory_order_relaxed);
    phys_mouse = {};
    std::memset(phys_keyboard_report, 0, sizeof phys_keyboard_report);
    for (port_mouse_t &p : port_mouse)
        p = {};
    zero_bytes(key_state, sizeof key_state);
    std::memset(port_keys, 0, sizeof port_keys);
    std::memset(packet_changes, 0, sizeof packet_changes);
    motion_pending = false;
    mouse_since = keyboard_since = 0;
    std::memset(dropping, 0, sizeof dropping);
    configok().store(1);
    compose_mouse_report(1);
    compose_keyboard_report(1);
    std::atomic_ref<unsigned>(control_state_resets).fetch_add(1, std::memory_order_release);
    pthread_mutex_unlock(&control_mutex);
}

extern "C" void *input_listener_thread(void *)
{
    pthread_setname_np(pthread_self(), "hb-input");
    Hub_poweron();
    for (;;) {
        while (!configok().load())
            usleep(kConfigPollUs);
        reset_control_state();
        int opened = open_input_devices();
        show_host_leds(true);
        puts("Start listen keyboard and mouse!");
        int quiet_ms = 0;

        // Reports are only queued here, never waited for: a host that is slow to poll, or does
        // not poll an endpoint at all, never holds up the reading of input. What a reset or
        // a new configuration kept from the host goes out once it is back (the queue keeps it).
        for (;;) {
            int ready = sys_poll(input_fds, Maxport, kLedCheckMs);
            int err = errno;
            if (ready < 0) {
                // A signal handler anywhere in the process interrupts poll: not a failure.
                if (err == EINTR)
                    continue;
                printf("poll error! ret=%d\n", ready);
                return reinterpret_cast<void *>(static_cast<intptr_t>(-1));
            }
            show_host_leds(false);
            if (ready == 0) {
                if ((quiet_ms += kLedCheckMs) < kQuietRescanMs)
                    continue;
                quiet_ms = 0;
                int present = count_input_devices();
                if (present == opened)
                    continue;
                printf("device hpd! now %d ,last %d ", present, opened);
                printf("closed %d\n", close_input_devices());
                report_stats::rescan();
                break;
            }

            quiet_ms = 0;
            bool lost = false;
            for (int port = 0; port < Maxport; ++port) {
                short revents = input_fds[port].revents;
                // A pulled device hangs up; its read fails even while data is still queued.
                if (revents & (POLLHUP | POLLERR | POLLNVAL))
                    lost = true;
                else if ((revents & POLLIN) && !read_port(port))
                    lost = true;
            }
            if (lost) {
                close_input_devices();
                report_stats::rescan();
                break;
            }
        }
    }
}
