// The board's own lines and clocks: the input hub's power switch, the two LED lines, and the
// time helpers the device module offers.
#include "usbfunc.h"

#include "chipio.h"
#include "sysio.h"
#include "usbdev_state.h"

#include <cstdio>
#include <sys/time.h>

namespace {

constexpr unsigned kHubPowerGpio = 47;
// Off long enough for every device behind the hub to lose power, then time to come up.
constexpr unsigned long kHubSwitchUs = 1000000;

} // namespace

namespace usbdev {

timespec deadline_after(const timespec &now, long msecs)
{
    long secs = msecs / 1000;
    long rest = msecs % 1000;
    long nsec = rest * 1000000 + now.tv_nsec;
    timespec t;
    t.tv_sec = now.tv_sec + secs + nsec / 1000000000;
    t.tv_nsec = nsec % 1000000000;
    if (t.tv_nsec < 0) { // a negative wait is a deadline in the past, not an invalid one
        t.tv_nsec += 1000000000;
        t.tv_sec -= 1;
    }
    return t;
}

} // namespace usbdev

extern "C" {

int sem_timedwait_millsecs(sem_t *sem, long msecs)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec deadline = usbdev::deadline_after(now, msecs);
    return sem_timedwait(sem, &deadline);
}

void Hub_poweron(void)
{
    gpio_unexport(kHubPowerGpio);
    gpio_export(kHubPowerGpio);
    gpio_set_direction(kHubPowerGpio, "out");
    gpio_set_value(kHubPowerGpio, 0);
    puts("hub power off");
    sys_sleep_us(kHubSwitchUs);
    gpio_set_value(kHubPowerGpio, 1);
    puts("hub power on");
    sys_sleep_us(kHubSwitchUs);
}

void KmLed(char led, char onoff)
{
    unsigned pin = led ? 13 : 14;
    gpio_unexport(pin);
    gpio_export(pin);
    gpio_set_direction(pin, "out");
    gpio_set_value(pin, static_cast<unsigned char>(onoff));
}

long GetUnixTime(void)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    // 32-bit wrap on every build: unsigned arithmetic wraps, the conversion keeps the bits.
    uint32_t ms = static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
    return static_cast<int32_t>(ms);
}

} // extern "C"
