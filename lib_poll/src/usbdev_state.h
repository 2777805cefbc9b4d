// State shared by the device controller (usbfunc.cpp) and the senders (report_tx.cpp).
// Not part of the library's interface.
//
// Reports wait in a short queue per IN endpoint. The head is armed in the chip as soon as the
// endpoint is free; when the host collects it the device thread arms the next one within the
// same service call, except the mouse's while the host takes one every frame: that one is
// armed shortly before the next poll, so that it carries the motion of the whole frame. A
// sender never waits for the bus: only a caller that asks for the result waits, without any
// lock of the core held.
#pragma once

#include "global.h"

#include <atomic>
#include <cstdint>
#include <ctime>

namespace usbdev {

// Mouse and keyboard reports are at most 12 bytes. Motion merges, so only changes of keys
// and buttons fill the queue: 256 are a quarter of a second of the bus's reports, more than
// any typist or burst of clicks. Beyond that the newest report absorbs the one before it,
// so the host still ends up with the current state.
constexpr unsigned kTxQueueLen = 256;
constexpr unsigned kTxReportMax = 12;

struct TxReport {
    uint8_t bytes[kTxReportMax];
    uint8_t len;
    uint32_t seq;   // tickets run 1, 2, ... per endpoint and wrap past 0
    uint64_t since; // when it got that ticket (monotonic µs)
};

// Everything here is guarded by `mutex`.
struct TxEndpoint {
    const uint8_t ctrl;      // endpoint control register
    const uint8_t ram;       // transmit buffer
    const char *const timeout_msg;
    char *const tx_ok;       // usbfunc.h's ep1_tx_ok / ep2_tx_ok
    uint8_t *const tog;      // usbfunc.h's ep1_tx_tog / ep2_tx_tog: 0 until the first report
                             // after a reset, configuration or cleared halt (DATA0)
    TxReport queue[kTxQueueLen];
    uint16_t head = 0;       // oldest report
    uint16_t count = 0;      // reports waiting, the armed one included
    bool armed = false;      // queue[head] is in the chip, answering the next IN
    uint32_t queued = 0;     // ticket of the newest report handed over
    uint32_t collected = 0;  // ticket of the newest report the host took
    uint32_t lost_lo = 0;    // tickets lost_lo..lost_hi were absorbed by a newer report
    uint32_t lost_hi = 0;    // and never reach the host (0, 0: none)
    uint32_t sessions = 0;   // counts the ends of the host's use: bus reset, configuration 0
    uint64_t head_since = 0; // when queue[head] began to wait for the host (monotonic µs)
    bool stale = false;      // the head has waited past the wait bound: the host is away, and
                             // what waits behind it is only the current state
    bool quiet = false;      // its time-out message was printed; cleared by a collection
    bool held = false;       // the next report waits one poll for the other endpoint's
    uint64_t held_until = 0; // ... at most until then (monotonic µs)
    bool unpolled = false;   // the host let a free frame pass without taking the armed
                             // report: nothing waits for this endpoint until it is taken
    uint64_t retry_at = 0;   // ... or until then: a mark may outlive the pause that made it
    uint32_t retry_us = 0;   // the next retry's distance, doubled each time it is confirmed
    uint64_t taken_at = 0;   // the mouse: when the device thread saw the last collection,
    uint64_t poll_at = 0;    // when the host is thought to have polled then (0: the host does
                             // not take a report every frame),
    uint64_t arm_at = 0;     // and the next report is armed from then on (0: at once),
    uint64_t extra_lead_us = 0; // that much earlier than the usual lead after late armings;
    bool held_back = false;  // the armed report waited for that moment
    uint8_t undo_tx = 0;     // the transmit bits of the control register before the arming
    uint8_t undo_tog = 0;    // and *tog, to take back an armed report the host must not get
    // The interface's protocol and idle rate, as the host set them; report protocol and 0
    // after a bus reset or a configuration.
    bool boot = false;       // boot protocol: reports are armed in the boot format
    uint8_t idle = 0;        // SET_IDLE's duration in 4 ms steps; 0: a report only on a change
    // The newest state handed over, for GET_REPORT and the idle repeat: the mouse's buttons
    // (byte 0), the keyboard's report 1 and its consumer keys.
    uint8_t latest[kTxReportMax] = {};
    uint8_t latest_consumer = 0;
    // Consumer keys have no boot form: in boot protocol their newest report waits here for
    // the report protocol.
    TxReport aside = {};
    bool has_aside = false;
};
extern TxEndpoint ep1_tx;
extern TxEndpoint ep2_tx;
// The host has suspended the bus (guarded by `mutex`; any transfer, a wake-up or a reset ends it).
extern bool bus_suspended;

// Device thread, `mutex` held: the host took the armed report; with `arm_next` the next one
// is armed at once (not when a bus reset follows).
void tx_collected(TxEndpoint &ep, bool arm_next = true);
// Device thread, no lock held, at least once a millisecond: arms a report held back for the
// other endpoint once that one has had its chance, and collapses what waits for a host that
// has stayed away past the wait bound.
void tx_tick();
// Device thread, no lock held: how long it may wait for the chip, at most `limit_us`, before
// a report is due to be armed.
long tx_wait_us(long limit_us);
// Device thread, `mutex` held: the host restarted the pipe (bus reset, configuration, cleared
// halt). The report the chip held was not taken; it stays first in line and, with `arm`,
// goes out again at once as DATA0.
void tx_restart(TxEndpoint &ep, bool arm);
// Device thread or a detach, `mutex` held: the host no longer uses the device (bus reset,
// configuration 0, detach). Whoever waits for a report is told at once.
void tx_session_end();
// Device thread, `mutex` held: SET_PROTOCOL (boot or report). A report already armed is made
// again in the new format; consumer keys set aside in boot protocol go out after it.
void tx_set_protocol(TxEndpoint &ep, bool boot);
// Device thread, `mutex` held: GET_REPORT's answer, the current input report `id` (keyboard:
// 1 keys, 2 consumer keys) in the interface's protocol; its length, 0 when it has no such form.
uint8_t tx_current_report(TxEndpoint &ep, uint8_t id, uint8_t *out);

// km.configok is one byte read by other threads without a lock: always a whole-byte access.
inline uint8_t configok_load()
{
    return std::atomic_ref<uint8_t>(km.configok).load(std::memory_order_relaxed);
}
inline void configok_store(uint8_t v)
{
    std::atomic_ref<uint8_t>(km.configok).store(v, std::memory_order_relaxed);
}

// Monotonic microseconds: the clock of every time kept about reports.
inline uint64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

// Tickets wrap: `ticket` is reached once `collected` is not behind it.
inline bool reached(uint32_t collected, uint32_t ticket) { return static_cast<int32_t>(collected - ticket) >= 0; }

// The absolute CLOCK_REALTIME deadline msecs after `now`.
timespec deadline_after(const timespec &now, long msecs);

} // namespace usbdev
