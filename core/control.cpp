// The control interface: start-up and the operations the application calls. Each operation
// stores its request in km and composes the report under control_mutex, then lets go of it
// before waiting for the host: physical input and other callers never wait behind the bus.
#include "hidbridge.h"

#include "core_state.h"
#include "lcd.h"
#include "report_queue.h"
#include "report_stats.h"
#include "usbfunc.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

constexpr useconds_t kConfigPollUs = 100000; // start-up tests configok every 100 ms
constexpr useconds_t kResetPollUs = 1000;    // and then the input thread's first clearing

std::atomic<bool> started; // km_init has started the library's threads

// An 8,000 frames/s mouse fills its 128-record event buffer in 16 ms: the input thread and the
// device thread must not wait behind whatever else the board runs. Below the kernel's
// interrupt threads (50), which the SPI transfers need.
constexpr int kDefaultRtPriority = 40;
std::atomic<int> rt_priority{kDefaultRtPriority}; // asked for; set before km_init
std::atomic<int> rt_granted{0};                   // what the threads got

// A library thread on SCHED_FIFO at `priority` when the process may; otherwise, or with 0, on
// the policy the process has. True when it got the real-time policy.
bool start_thread(void *(*body)(void *), int priority)
{
    pthread_t t;
    if (priority > 0) {
        pthread_attr_t a;
        pthread_attr_init(&a);
        sched_param p{};
        p.sched_priority = priority;
        pthread_attr_setinheritsched(&a, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&a, SCHED_FIFO);
        pthread_attr_setschedparam(&a, &p);
        const int r = pthread_create(&t, &a, body, nullptr);
        pthread_attr_destroy(&a);
        if (r == 0)
            return true;
    }
    pthread_create(&t, nullptr, body, nullptr);
    return false;
}

uint8_t load(const uint8_t &cell) { return std::atomic_ref<const uint8_t>(cell).load(std::memory_order_relaxed); }
void store(uint8_t &cell, uint8_t v) { std::atomic_ref<uint8_t>(cell).store(v, std::memory_order_relaxed); }

bool valid_key(int code) { return code >= 0 && code <= 254; }

void lock() { pthread_mutex_lock(&control_mutex); }
int unlock(int result)
{
    pthread_mutex_unlock(&control_mutex);
    return result;
}

// After a composition: lets go of control_mutex, then waits for the queued report.
int unlock_and_wait(int composed, uint32_t ticket, int (*wait)(uint32_t))
{
    pthread_mutex_unlock(&control_mutex);
    if (composed != Success)
        return composed;
    return ticket ? wait(ticket) : Success;
}
int mouse_sent(int composed) { return unlock_and_wait(composed, mouse_ticket, MouseWaitReport); }
int keyboard_sent(int composed) { return unlock_and_wait(composed, keyboard_ticket, KeyboardWaitReport); }

int set_key(int code, uint8_t state)
{
    if (!valid_key(code))
        return err_parament;
    lock();
    store(km.softKeyboard[code], state);
    return keyboard_sent(compose_keyboard_report(1));
}

// The eight buttons: report bit and requested-state field, in report-bit order.
uint8_t km_control_t::*const button_field[8] = {
    &km_control_t::left,  &km_control_t::right, &km_control_t::middle, &km_control_t::side1,
    &km_control_t::side2, &km_control_t::side3, &km_control_t::side4,  &km_control_t::side5,
};

int set_button(int bit, int down)
{
    lock();
    uint8_t mask = static_cast<uint8_t>(1u << bit);
    if (down) {
        km.*button_field[bit] = DOWN;
        km.button |= mask;
    } else {
        km.*button_field[bit] = UP;
        km.button &= static_cast<uint8_t>(~mask);
    }
    return mouse_sent(compose_mouse_report(1));
}

int query_button(int bit)
{
    lock();
    int physical = (phys_mouse.button >> bit) & 1;
    int requested = km.*button_field[bit] == DOWN;
    return unlock(physical + 2 * requested);
}

} // namespace

extern "C" {

int km_init(void)
{
    started.store(true, std::memory_order_release);
    lcd_init();
    memset(&km_config, 0, sizeof km_config);
    pthread_mutex_init(&control_mutex, nullptr);
    std::atomic_ref<unsigned> resets(control_state_resets);
    unsigned resets_before = resets.load(std::memory_order_acquire);
    const int priority = rt_priority.load();
    bool rt = start_thread(thread_device_listen, priority);
    rt = start_thread(input_listener_thread, rt ? priority : 0) && rt;
    if (priority && !rt)
        puts("input and device threads on the ordinary policy: SCHED_FIFO needs RLIMIT_RTPRIO or CAP_SYS_NICE");
    rt_granted.store(rt ? priority : 0);
    // Also wait for the input thread's first clearing of the control state, which follows
    // configuration: otherwise whatever the caller sets right after we return is wiped.
    // Once configok reads 1 that clearing is at most a hub power cycle away: look often.
    for (;;) {
        bool configured = std::atomic_ref<uint8_t>(km.configok).load() == 1;
        if (configured && resets.load(std::memory_order_acquire) != resets_before)
            break;
        usleep(configured ? kResetPollUs : kConfigPollUs);
    }
    return Success;
}

int km_detach(void)
{
    if (!started.load(std::memory_order_acquire))
        return USB_DeviceDetach();
    // control_mutex stays held to the end, so no composition re-presses anything meanwhile.
    pthread_mutex_lock(&control_mutex);
    static const uint8_t none[KEYBOARD_REPORT_SIZE] = {};
    const uint32_t keys = KeyboardQueueReport(0, none);
    const uint32_t media = KeyboardQueueReport(9, none); // 9: every consumer key up
    const uint32_t buttons = MouseQueueReport(0, 0, 0, 0);
    if (keys && media && buttons) {
        KeyboardWaitReport(media);
        MouseWaitReport(buttons);
    }
    int r = USB_DeviceDetach();
    pthread_mutex_unlock(&control_mutex);
    return r;
}

int km_query_leds(void) { return USB_GetHostLeds(); }

int km_get_stats(struct km_stats *out, size_t size)
{
    if (!out)
        return err_parament;
    km_stats s{};
    report_stats::read(s);
    s.rt_priority = rt_granted.load();
    const size_t n = size < sizeof s ? size : sizeof s;
    memcpy(out, &s, n);
    return static_cast<int>(n);
}

int km_reset_stats(void)
{
    report_stats::reset();
    return Success;
}

int km_set_rt_priority(int priority)
{
    if (priority < 0 || priority > 99 || started.load(std::memory_order_acquire))
        return err_parament;
    rt_priority.store(priority);
    return Success;
}

int km_version(char *buf)
{
    sprintf(buf, "tarvo Rev7:\t%s %s %s\r\n", TARVO_VER, __DATE__, __TIME__);
    return Success;
}

void delay_ms(int ms)
{
    // The whole delay goes in the microseconds field; Linux accepts more than a second there.
    timeval tv{0, static_cast<suseconds_t>(ms) * 1000};
    select(0, nullptr, nullptr, nullptr, &tv);
}

int km_keydown(int code) { return set_key(code, DOWN); }
int km_keyup(int code) { return set_key(code, UP); }

int km_keypress(int code)
{
    if (!valid_key(code))
        return err_parament;
    lock();
    store(km.softKeyboard[code], DOWN);
    compose_keyboard_report(1);
    store(km.softKeyboard[code], UP);
    return keyboard_sent(compose_keyboard_report(1)); // the release follows the press
}

int km_mask_key(int code, int value)
{
    if (!valid_key(code))
        return err_parament;
    lock();
    km.iskeyboardmask[code] = static_cast<uint8_t>(value);
    return unlock(Success);
}

int km_query_key(int code)
{
    if (!valid_key(code))
        return err_parament;
    int physical = load(key_state[hid_to_linux_keycode[code]]) != 0;
    int requested = load(km.softKeyboard[code]) != IDEL;
    return physical + 2 * requested;
}

int km_key_reserved(int) { return Success; }

int km_left(int down) { return set_button(0, down); }
int km_right(int down) { return set_button(1, down); }
int km_middle(int down) { return set_button(2, down); }
int km_side1(int down) { return set_button(3, down); }
int km_side2(int down) { return set_button(4, down); }
int km_side3(int down) { return set_button(5, down); }
int km_side4(int down) { return set_button(6, down); }
int km_side5(int down) { return set_button(7, down); }

int km_query_left(void) { return query_button(0); }
int km_query_right(void) { return query_button(1); }
int km_query_middle(void) { return query_button(2); }
int km_query_side1(void) { return query_button(3); }
int km_query_side2(void) { return query_button(4); }
int km_query_side3(void) { return query_button(5); }
int km_query_side4(void) { return query_button(6); }
int km_query_side5(void) { return query_button(7); }

int km_move(int16_t x, int16_t y)
{
    lock();
    km.x = x;
    km.y = y;
    return mouse_sent(compose_mouse_report(1));
}

int km_wheel(uint8_t w)
{
    lock();
    km.wheel = w; // zero-extended: the report's low byte makes 255 one notch down
    return mouse_sent(compose_mouse_report(1));
}

// Whole 16-bit stores without the lock: nothing in the library reads these.
int km_set_limit(int16_t x, int16_t y)
{
    std::atomic_ref<int16_t>(km.limit_x).store(x, std::memory_order_relaxed);
    std::atomic_ref<int16_t>(km.limit_y).store(y, std::memory_order_relaxed);
    return Success;
}

int km_set_point(int16_t x, int16_t y)
{
    std::atomic_ref<int16_t>(km.ptx).store(x, std::memory_order_relaxed);
    std::atomic_ref<int16_t>(km.pty).store(y, std::memory_order_relaxed);
    return Success;
}

} // extern "C"
