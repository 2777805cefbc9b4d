/* hidbridge control interface: start-up, keys, buttons, pointer and wheel.
 *
 * Call km_init() once per process before any other km_ operation. The operations that send
 * a report (key down/up/press, buttons, move, wheel) block until the host collects it, up to
 * 100 ms per report (200 ms for km_keypress); they may be called from any thread. Their
 * result is 0 when the host collected the report, 1 when it did not within 100 ms, and
 * err_DeviceDisconnected (-2) while the host has not configured the device (nothing sent).
 * The lock fields and media of `km` (global.h) have no operation: write them directly. */
#ifndef HIDBRIDGE_H
#define HIDBRIDGE_H

#include <stddef.h>
#include <stdint.h>

#include "global.h"
#include "tarvo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the panel, the device thread and the input thread, and returns 0 once the host
 * uses the device and the input thread has cleared the control state for the first time
 * (so a mask or key set right after the return stays). Never returns without a host. */
int km_init(void);
/* Releases every key and button the host holds and takes the device off the USB bus, so
 * the host drops whatever it still holds; for a process about to end. Waits at most about
 * 100 ms per endpoint for the host to take the released state. Also works in a process that
 * never called km_init: then it opens the chip itself and only takes it off the bus. Later
 * operations that send return err_DeviceDisconnected. 0, or err_DeviceDisconnected (-2) when
 * the chip cannot be reached. */
int km_detach(void);
/* Writes the 40-character banner and its terminator into buf (41 bytes at least). 0. */
int km_version(char *buf);
/* Sleeps ms milliseconds; an interrupting signal ends it early. */
void delay_ms(int ms);

/* Keys by HID keyboard usage, 0 .. 254 (224 .. 231 are the modifiers); any other code
 * gives err_parament (-3) and changes nothing. */
int km_keydown(int code);
int km_keyup(int code);
/* Down, then up: two reports. The result is the second one's. */
int km_keypress(int code);
/* value's low byte non-zero hides the physical key from the host from the next report on;
 * sends nothing. 0. */
int km_mask_key(int code, int value);
/* Bit 0: a physical keyboard holds the key; bit 1: the application's request is not idle
 * (DOWN, or an UP the keyboard report has not consumed yet). Takes no lock. */
int km_query_key(int code);
/* Does nothing. 0. */
int km_key_reserved(int reserved);
/* The host's keyboard LEDs as its last output report set them: bit 0 Num Lock, 1 Caps Lock,
 * 2 Scroll Lock, 3 Compose, 4 Kana; 0 before the host sent any. Takes no lock. */
int km_query_leds(void);

/* Buttons: down non-zero presses, 0 releases; one report each. */
int km_left(int down);
int km_right(int down);
int km_middle(int down);
int km_side1(int down);
int km_side2(int down);
int km_side3(int down);
int km_side4(int down);
int km_side5(int down);
/* Bit 0: a physical mouse holds the button (before locks); bit 1: requested down. */
int km_query_left(void);
int km_query_right(void);
int km_query_middle(void);
int km_query_side1(void);
int km_query_side2(void);
int km_query_side3(void);
int km_query_side4(void);
int km_query_side5(void);
/* One report carrying this relative motion (plus pending physical motion). */
int km_move(int16_t x, int16_t y);
/* One report with this wheel step, as a two's-complement byte: 255 is one notch down. */
int km_wheel(uint8_t w);
/* Stored in km for the application; nothing is sent. 0. */
int km_set_limit(int16_t x, int16_t y);
int km_set_point(int16_t x, int16_t y);

/* What the board measures about itself. Latencies run from the kernel's time stamp of an
 * input event on a board's keyboard or mouse to the host's collection of the first report
 * carrying it, in microseconds; the application's own requests have no such stamp and are not
 * counted. "minute" figures cover the last 60 to 70 s, "total" ones the time since start or
 * the last km_reset_stats. A percentile or maximum without samples is 0. */
struct km_ep_stats {
    uint32_t handed_over;   /* reports queued for the host */
    uint32_t collected;     /* reports the host took */
    uint32_t merged;        /* motion added to a report still waiting, instead of a new one */
    uint32_t timeouts;      /* waits for the host's collection that gave up */
    uint32_t collapsed;     /* waiting reports folded into the current state, host away */
    uint32_t deepest;       /* the most reports waiting at once */
    uint32_t minute_count, minute_p50_us, minute_p99_us, minute_max_us;
    uint32_t total_count, total_p50_us, total_p99_us, total_max_us;
    /* Collections per second while reports waited (the host's real polling), last minute
     * and total; 0 when reports never waited. */
    uint32_t minute_polls_per_s, total_polls_per_s;
};
struct km_port_stats {
    uint32_t records;       /* input event records read from /dev/input/event<port> */
    uint32_t resyncs;       /* overflows of its kernel buffer (SYN_DROPPED), each read back once */
};
struct km_stats {
    struct km_ep_stats mouse;    /* EP1 IN */
    struct km_ep_stats keyboard; /* EP2 IN: keyboard and consumer reports */
    struct km_port_stats port[Maxport];
    uint32_t rescans;            /* the input devices closed and opened again (plug, unplug) */
    int32_t rt_priority;         /* SCHED_FIFO priority of the input and device threads; 0: none */
};

/* Copies the figures into out, at most size bytes of them (pass sizeof *out: a newer library
 * with a longer record fills only what the caller knows). Takes the device module's lock for
 * a few microseconds; any thread, also before km_init. The number of bytes written, or
 * err_parament (-3) when out is NULL. */
int km_get_stats(struct km_stats *out, size_t size);
/* Zeroes the counters and latency figures (not the scheduling field). 0. */
int km_reset_stats(void);
/* The SCHED_FIFO priority km_init gives the input thread and the device thread, 1 .. 99, or
 * 0 for the ordinary policy; 40 unless set (below the kernel's interrupt threads, which the
 * SPI transfers need). Where the process may not (no RLIMIT_RTPRIO, no CAP_SYS_NICE) km_init
 * says so in one line and the threads run ordinarily. Nothing else changes policy. Call before
 * km_init: 0; err_parament (-3) for a value out of range or after km_init. */
int km_set_rt_priority(int priority);

#ifdef __cplusplus
}
#endif

#endif
