// Report transmission with its completion handshake, and the board's hub power and LED lines.
#include "usbfunc.h"

#include "CH374INC.H"
#include "chipio.h"
#include "global.h"
#include "sysio.h"
#include "tarvo.h"
#include "usbdev_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/time.h>

namespace {

// A host polls both IN endpoints every 1 ms; 100 ms without a poll means it is not there.
constexpr long kTxWaitMs = 100;
// While a completion is still waiting for the device thread, look again this often.
constexpr long kServiceWaitMs = 1;
constexpr unsigned kHubPowerGpio = 47;
constexpr unsigned long kHubSwitchUs = 1000000;

struct InEndpoint {
    uint8_t ctrl;      // endpoint control register
    uint8_t ram;       // transmit buffer
    sem_t *sem;
    char *tx_ok;
    uint8_t *tog;
    usbdev::TxSeq *seq;
    const char *timeout_msg;
};

const InEndpoint ep1 = {REG_USB_ENDP1, RAM_ENDP1_TRAN, &sem_ep1, &ep1_tx_ok, &ep1_tx_tog, &usbdev::ep1_seq,
                        "mouse tx timeout"};
const InEndpoint ep2 = {REG_USB_ENDP2, RAM_ENDP2_TRAN, &sem_ep2, &ep2_tx_ok, &ep2_tx_tog, &usbdev::ep2_seq,
                        "keyboard tx timeout"};

// Endpoint 1 carries its transmit length in the control register, endpoint 2 in
// REG_USB_LENGTH.
uint8_t tx_nak(const InEndpoint &ep, uint8_t r)
{
    return &ep == &ep1 ? (r & ~M_EP_TX_LEN_MASK) | M_EP_TX_NAK : (r & ~M_EP2_TX_MASK) | M_EP2_TX_NAK;
}

uint8_t tx_arm(const InEndpoint &ep, uint8_t r, uint8_t len)
{
    return &ep == &ep1 ? (r & ~M_EP_TX_LEN_MASK) | len : (r & ~M_EP2_TX_MASK) | M_EP2_TX_ACK;
}

void write_report(const InEndpoint &ep, const uint8_t *report, uint8_t len)
{
    Dev_Write374Block(ep.ram, len, report);
    if (&ep == &ep2)
        Dev_Write374Byte(REG_USB_LENGTH, len);
}

bool past(const timespec &deadline)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

bool collected(const InEndpoint &ep, uint32_t seq)
{
    pthread_mutex_lock(&mutex);
    bool done = ep.seq->collected == seq;
    pthread_mutex_unlock(&mutex);
    return done;
}

int timed_out(const InEndpoint &ep)
{
    puts(ep.timeout_msg);
    sem_post(ep.sem); // harmless: the next send drains it before arming
    return 1;
}

// Hands one report to the chip and waits until the host has collected that very report.
// Returns 0 when it was collected, 1 when not within 100 ms.
int send_report(const InEndpoint &ep, const uint8_t *report, uint8_t len)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec deadline = usbdev::deadline_after(now, kTxWaitMs);

    pthread_mutex_lock(&mutex);
    uint8_t r;
    for (;;) {
        *ep.tx_ok = 0;
        // Counts from earlier reports, the start-up count and time-outs must not satisfy
        // this wait. The device thread posts under `mutex`, so none is lost here.
        while (sem_trywait(ep.sem) == 0) {
        }
        if (ep.seq->armed == ep.seq->collected) {
            write_report(ep, report, len);
            r = Dev_Read374Byte(ep.ctrl);
            r ^= BIT_EP_TX_TOG; // the opposite of the last report the host took
            break;
        }
        // The previous report was never collected. Take it back first, so the host cannot
        // take it while it is being replaced; if it took it just before, let the device
        // thread account for that completion before this report is armed.
        r = Dev_Read374Byte(ep.ctrl);
        Dev_Write374Byte(ep.ctrl, tx_nak(ep, r));
        if (!(Dev_Read374Byte(REG_INTER_FLAG) & BIT_IF_TRANSFER)) {
            write_report(ep, report, len);
            break; // same toggle: the replaced report never went out
        }
        pthread_mutex_unlock(&mutex);
        sem_timedwait_millsecs(ep.sem, kServiceWaitMs);
        if (past(deadline))
            return timed_out(ep);
        pthread_mutex_lock(&mutex);
    }
    if (!*ep.tog)
        r &= ~BIT_EP_TX_TOG; // first report since a reset: DATA0
    Dev_Write374Byte(ep.ctrl, tx_arm(ep, r, len));
    *ep.tog = 1;
    const uint32_t mine = ++ep.seq->armed;
    pthread_mutex_unlock(&mutex);

    for (;;) {
        int rc = sem_timedwait(ep.sem, &deadline);
        int err = errno;
        if (collected(ep, mine))
            return 0;
        if (rc != 0 && err != EINTR)
            return timed_out(ep);
    }
}

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

int MouseSendReport(uint8_t button, uint16_t x, uint16_t y, uint8_t wheel)
{
    if (!usbdev::configok_load())
        return err_DeviceDisconnected;
    const uint8_t report[6] = {button,
                               static_cast<uint8_t>(x & 0xFF),
                               static_cast<uint8_t>(x >> 8),
                               static_cast<uint8_t>(y & 0xFF),
                               static_cast<uint8_t>(y >> 8),
                               wheel};
    return send_report(ep1, report, sizeof report);
}

int KeyboardSendReport(uint8_t media, const uint8_t *buff)
{
    if (!usbdev::configok_load())
        return err_DeviceDisconnected;
    if (media) {
        // Consumer keys 1..8 are one bit each; anything above releases them all.
        const uint8_t report[2] = {0x02, static_cast<uint8_t>(media <= 8 ? 1u << (media - 1) : 0)};
        return send_report(ep2, report, sizeof report);
    }
    uint8_t report[12] = {0x01};
    memcpy(report + 1, buff, 11);
    return send_report(ep2, report, sizeof report);
}

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
