// Report transmission: each IN endpoint's queue of reports, arming them in the chip one per
// poll, and the wait for the host's collection where a caller wants the result.
#include "report_queue.h"
#include "usbfunc.h"

#include "CH374INC.H"
#include "chipio.h"
#include "global.h"
#include "report_stats.h"
#include "tarvo.h"
#include "usbdev_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace usbdev {
TxEndpoint ep1_tx{REG_USB_ENDP1, RAM_ENDP1_TRAN, "mouse tx timeout", &ep1_tx_ok, &ep1_tx_tog, {}};
TxEndpoint ep2_tx{REG_USB_ENDP2, RAM_ENDP2_TRAN, "keyboard tx timeout", &ep2_tx_ok, &ep2_tx_tog, {}};
} // namespace usbdev

namespace {

using usbdev::ep1_tx;
using usbdev::ep2_tx;
using usbdev::TxEndpoint;
using usbdev::TxReport;

// A host polls both IN endpoints every 1 ms; 100 ms without a poll means it is not there.
constexpr long kTxWaitMs = 100;
// Past the same bound what waits for an absent host (suspended, not polling, not configured)
// is no longer news: it collapses into the current state, so nothing old is played back
// later to whatever has the focus by then.
constexpr uint64_t kStaleUs = kTxWaitMs * 1000;
// The chip answers every token with NAK until a completion is served, so a host that polls
// endpoint 1 and then endpoint 2 in each frame would never get endpoint 2's report while
// endpoint 1 has one in every frame. After a collection the next report of that endpoint
// therefore waits while the other endpoint's report waits, for one frame and a margin. An
// endpoint that is not taken in that free frame is not polled (Linux polls only the
// endpoints of open input devices), and nothing waits for it again until it is taken.
constexpr uint64_t kHoldUs = 2000;
// ... or until the next try: a host that only paused (a suspend, a cleared halt, a late
// frame) must not have the mark starve that endpoint. Each confirmation doubles the distance,
// up to a third of the wait bound, so a host that never polls it costs the other endpoint
// one held report every 32 ms at most and a wrong mark never outlasts a caller's wait.
constexpr uint32_t kRetryMinUs = 4000;
constexpr uint32_t kRetryMaxUs = 32000;
// The report descriptor's logical ranges.
constexpr int32_t kAxisMax = 32767;
constexpr int32_t kWheelMax = 127;

// Broadcast under `mutex` whenever an endpoint's `collected`, lost tickets or sessions move.
pthread_cond_t tx_collected_cond = PTHREAD_COND_INITIALIZER;

uint64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

TxEndpoint &other(TxEndpoint &ep) { return &ep == &ep1_tx ? ep2_tx : ep1_tx; }
bool is_mouse(const TxEndpoint &ep) { return &ep == &ep1_tx; }
report_stats::Ep figures(const TxEndpoint &ep) { return is_mouse(ep) ? report_stats::kMouse : report_stats::kKeyboard; }

bool reached(uint32_t collected, uint32_t ticket) { return static_cast<int32_t>(collected - ticket) >= 0; }

// 0 answers "not configured", so the count skips it when it wraps.
uint32_t next_ticket(TxEndpoint &ep)
{
    if (++ep.queued == 0)
        ++ep.queued;
    return ep.queued;
}

bool lost(const TxEndpoint &ep, uint32_t ticket)
{
    return ep.lost_lo && reached(ticket, ep.lost_lo) && reached(ep.lost_hi, ticket);
}

// Tickets lo..hi were absorbed by a newer report: their callers are told so at once. Lost
// tickets always lie just below a report still queued, so a new run either continues the
// last one or starts after a report the host took.
void absorb(TxEndpoint &ep, uint32_t lo, uint32_t hi)
{
    if (ep.lost_lo && reached(lo, ep.lost_lo) && !reached(lo, ep.lost_hi + 2u))
        ep.lost_hi = reached(hi, ep.lost_hi) ? hi : ep.lost_hi;
    else
        ep.lost_lo = lo, ep.lost_hi = hi;
    pthread_cond_broadcast(&tx_collected_cond);
}

TxReport &at(TxEndpoint &ep, unsigned i) { return ep.queue[(ep.head + i) % usbdev::kTxQueueLen]; }

// The newest report, if it is not in the chip yet: the one that may still change.
TxReport *open_tail(TxEndpoint &ep)
{
    if (ep.count == 0 || (ep.count == 1 && ep.armed))
        return nullptr;
    return &at(ep, ep.count - 1u);
}

// A new report at the end of the line with the next ticket, or nullptr when it is full.
TxReport *push(TxEndpoint &ep, const uint8_t *bytes, uint8_t len)
{
    if (ep.count == usbdev::kTxQueueLen)
        return nullptr;
    if (ep.count == 0)
        ep.head_since = now_us();
    TxReport &r = at(ep, ep.count++);
    std::memcpy(r.bytes, bytes, len);
    r.len = len;
    r.seq = next_ticket(ep);
    r.since = now_us();
    report_stats::handed_over(figures(ep), ep.count);
    return &r;
}

// The open tail becomes a newer state under a new ticket; its old caller learns it was lost.
void replace_tail(TxEndpoint &ep, TxReport &tail, const uint8_t *bytes, uint8_t len)
{
    absorb(ep, tail.seq, tail.seq);
    std::memmove(tail.bytes, bytes, len);
    tail.len = len;
    tail.seq = next_ticket(ep);
    tail.since = now_us();
}

// While the host is away only the newest state waits behind the report in the chip, and a
// mouse report keeps its motion no longer than its callers wait for it: once they have been
// told it was not collected, it must not move the pointer later.
void collapse(TxEndpoint &ep, uint64_t now)
{
    const unsigned first = ep.armed ? 1u : 0u;
    if (ep.count <= first)
        return;
    if (ep.count - first > 1) {
        absorb(ep, at(ep, first).seq, at(ep, ep.count - 2u).seq);
        report_stats::collapsed(figures(ep), ep.count - first - 1u);
        at(ep, first) = at(ep, ep.count - 1u);
        ep.count = static_cast<uint16_t>(first + 1);
    }
    TxReport &tail = at(ep, first);
    if (!is_mouse(ep) || now - tail.since <= kStaleUs)
        return;
    const bool moves = std::any_of(tail.bytes + 1, tail.bytes + tail.len, [](uint8_t b) { return b != 0; });
    const bool same_buttons = first && tail.bytes[0] == ep.queue[ep.head].bytes[0];
    if (!moves && !same_buttons)
        return;
    absorb(ep, tail.seq, tail.seq);
    if (same_buttons) {
        report_stats::collapsed(figures(ep), 1);
        ep.count = static_cast<uint16_t>(first); // nothing left to tell the host
        return;
    }
    std::memset(tail.bytes + 1, 0, tail.len - 1u);
    tail.seq = next_ticket(ep);
    tail.since = now;
}

// Endpoint 1 carries its transmit length in the control register, endpoint 2 in
// REG_USB_LENGTH.
void arm_head(TxEndpoint &ep)
{
    const TxReport &r = ep.queue[ep.head];
    Dev_Write374Block(ep.ram, r.len, r.bytes);
    if (&ep == &ep2_tx)
        Dev_Write374Byte(REG_USB_LENGTH, r.len);
    uint8_t c = Dev_Read374Byte(ep.ctrl);
    // The register still holds the toggle of the report the host took last.
    c = *ep.tog ? c ^ BIT_EP_TX_TOG : c & ~BIT_EP_TX_TOG;
    c = &ep == &ep1_tx ? (c & ~M_EP_TX_LEN_MASK) | r.len : (c & ~M_EP2_TX_MASK) | M_EP2_TX_ACK;
    Dev_Write374Byte(ep.ctrl, c);
    *ep.tog = 1;
    *ep.tx_ok = 0;
    ep.armed = true;
}

void arm_if_idle(TxEndpoint &ep)
{
    if (!ep.armed && !ep.held && ep.count)
        arm_head(ep);
}

// The other endpoint's report is waiting and the host polls that endpoint, or may again.
bool other_waits(TxEndpoint &ep, uint64_t now)
{
    const TxEndpoint &o = other(ep);
    return o.armed && (!o.unpolled || now >= o.retry_at);
}

// The host let a free frame pass without taking o's armed report.
void mark_unpolled(TxEndpoint &o, uint64_t now)
{
    o.retry_us = o.unpolled ? std::min(o.retry_us * 2, kRetryMaxUs) : kRetryMinUs;
    o.unpolled = true;
    o.retry_at = now + o.retry_us;
}

// Adds as much of `v` to the little-endian field as its range takes; `v` keeps the rest.
void take_motion(uint8_t *field, int bytes, int32_t &v, int32_t max)
{
    int32_t cur = bytes == 2 ? static_cast<int16_t>(field[0] | field[1] << 8) : static_cast<int8_t>(field[0]);
    int64_t sum = int64_t{cur} + v;
    int32_t put = static_cast<int32_t>(sum > max ? max : sum < -max ? -max : sum);
    v = static_cast<int32_t>(sum - put);
    field[0] = static_cast<uint8_t>(put & 0xFF);
    if (bytes == 2)
        field[1] = static_cast<uint8_t>((put >> 8) & 0xFF);
}

struct Motion {
    int32_t x, y, wheel;
    bool any() const { return x || y || wheel; }
};

void take_motion(TxReport &r, Motion &m)
{
    take_motion(&r.bytes[1], 2, m.x, kAxisMax);
    take_motion(&r.bytes[3], 2, m.y, kAxisMax);
    take_motion(&r.bytes[5], 1, m.wheel, kWheelMax);
}

int wait_collected(TxEndpoint &ep, uint32_t ticket)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline = usbdev::deadline_after(deadline, kTxWaitMs);
    int result = 0;
    bool tell = false;
    pthread_mutex_lock(&mutex);
    const uint32_t session = ep.sessions;
    for (;;) {
        if (lost(ep, ticket)) {
            result = 1;
            break;
        }
        if (reached(ep.collected, ticket))
            break;
        if (ep.sessions != session || !usbdev::configok_load()) {
            result = err_DeviceDisconnected;
            break;
        }
        // The keyboard's host has been away past the bound already: its report is the current
        // state and goes out whenever the host is back, so waiting for it again would only
        // hold the caller up (a client releasing its keys, an application typing). Motion is
        // another matter: it goes out only if collected in time.
        bool given_up = ep.stale && !is_mouse(ep);
        if (!given_up)
            given_up = pthread_cond_clockwait(&tx_collected_cond, &mutex, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT &&
                       !reached(ep.collected, ticket) && !lost(ep, ticket);
        if (given_up) {
            result = 1;
            report_stats::timed_out(figures(ep));
            // Once per stretch without polls: a host that ignores an endpoint is no news
            // for every report.
            tell = !ep.quiet;
            ep.quiet = true;
            break;
        }
    }
    pthread_mutex_unlock(&mutex);
    if (tell)
        puts(ep.timeout_msg);
    return result;
}

} // namespace

namespace usbdev {

void tx_collected(TxEndpoint &ep, bool arm_next)
{
    if (!ep.armed)
        return; // nothing of ours was in the chip
    const uint64_t now = now_us();
    if (ep.stale) // what waits behind it is as old as the tick would find it
        collapse(ep, now);
    report_stats::collected(figures(ep), now, ep.queue[ep.head].seq, ep.count > 1);
    ep.collected = ep.queue[ep.head].seq;
    ep.head = static_cast<uint16_t>((ep.head + 1) % kTxQueueLen);
    --ep.count;
    ep.head_since = now;
    ep.armed = false;
    ep.stale = false;
    ep.quiet = false;
    ep.unpolled = false;
    *ep.tx_ok = 1;
    pthread_cond_broadcast(&tx_collected_cond);
    if (!arm_next)
        return;
    TxEndpoint &o = other(ep);
    if (o.held) { // its turn now
        o.held = false;
        arm_if_idle(o);
    }
    // Also with nothing queued yet: a report handed over within the frame must wait too.
    if (other_waits(ep, now)) {
        ep.held = true;
        ep.held_until = now + kHoldUs;
    } else {
        arm_if_idle(ep);
    }
}

void tx_tick()
{
    pthread_mutex_lock(&mutex);
    const uint64_t now = now_us();
    for (TxEndpoint *ep : {&ep1_tx, &ep2_tx}) {
        if (ep->held && now >= ep->held_until) {
            ep->held = false;
            TxEndpoint &o = other(*ep);
            if (o.armed) // not taken in the free frame; one taken meanwhile has cleared this
                mark_unpolled(o, now);
            arm_if_idle(*ep);
        }
        if (ep->count && now - ep->head_since > kStaleUs)
            ep->stale = true;
        if (ep->stale)
            collapse(*ep, now);
    }
    pthread_mutex_unlock(&mutex);
}

void tx_restart(TxEndpoint &ep, bool arm)
{
    ep.armed = false;
    ep.held = false;
    ep.unpolled = false;
    if (arm) { // the host is back and about to poll: the bound runs afresh
        ep.stale = false;
        ep.head_since = now_us();
    }
    *ep.tog = 0;
    if (arm)
        arm_if_idle(ep);
}

void tx_session_end()
{
    ++ep1_tx.sessions;
    ++ep2_tx.sessions;
    pthread_cond_broadcast(&tx_collected_cond);
}

} // namespace usbdev

extern "C" {

uint32_t MouseQueueReport(uint8_t button, int32_t x, int32_t y, int32_t wheel)
{
    pthread_mutex_lock(&mutex);
    const bool ok = usbdev::configok_load();
    TxEndpoint &ep = ep1_tx;
    Motion m = ok ? Motion{x, y, wheel} : Motion{};
    TxReport *tail = open_tail(ep);
    const uint8_t fresh[6] = {button, 0, 0, 0, 0, 0};
    bool placed = false;
    // The input's time stamp goes with the first report that carries it.
    auto carry = [](const TxReport &r) { report_stats::carried(report_stats::kMouse, r.seq); };
    if (tail && tail->bytes[0] == button) {
        if (m.any())
            report_stats::merged(report_stats::kMouse);
        take_motion(*tail, m);
        carry(*tail);
        placed = true;
    } else if (tail && ep.stale) {
        // The host is away: the new buttons replace the waiting ones, with this call's motion.
        replace_tail(ep, *tail, fresh, sizeof fresh);
        take_motion(*tail, m);
        carry(*tail);
        placed = true;
    }
    while (!placed || m.any()) {
        TxReport *r = push(ep, fresh, sizeof fresh);
        if (!r) {
            // Full: the host has not polled for a long while. The newest report takes the
            // new buttons and whatever motion still fits.
            r = open_tail(ep);
            uint8_t merged[6];
            std::memcpy(merged, r->bytes, sizeof merged);
            merged[0] = button;
            replace_tail(ep, *r, merged, sizeof merged);
            take_motion(*r, m);
            carry(*r);
            break;
        }
        take_motion(*r, m);
        carry(*r);
        placed = true;
    }
    const uint32_t ticket = ep.queued;
    if (ok)
        arm_if_idle(ep);
    pthread_mutex_unlock(&mutex);
    return ok ? ticket : 0;
}

uint32_t KeyboardQueueReport(uint8_t media, const uint8_t *buff)
{
    uint8_t report[12] = {0x01};
    uint8_t len = sizeof report;
    if (media) {
        // Consumer keys 1..8 are one bit each; anything above releases them all.
        report[0] = 0x02;
        report[1] = static_cast<uint8_t>(media <= 8 ? 1u << (media - 1) : 0);
        len = 2;
    } else {
        std::memcpy(report + 1, buff, 11);
    }
    pthread_mutex_lock(&mutex);
    const bool ok = usbdev::configok_load();
    TxEndpoint &ep = ep2_tx;
    TxReport *tail = open_tail(ep);
    if (!(tail && tail->len == len && std::memcmp(tail->bytes, report, len) == 0)) {
        // While the host is away, or when the line is full, the newest report gives way to
        // the newer state.
        TxReport *r = (tail && ep.stale) ? nullptr : push(ep, report, len);
        if (!r) {
            replace_tail(ep, *tail, report, len);
            r = tail;
        }
        report_stats::carried(report_stats::kKeyboard, r->seq);
    }
    const uint32_t ticket = ep.queued;
    if (ok)
        arm_if_idle(ep);
    pthread_mutex_unlock(&mutex);
    return ok ? ticket : 0;
}

int MouseWaitReport(uint32_t ticket) { return wait_collected(ep1_tx, ticket); }
int KeyboardWaitReport(uint32_t ticket) { return wait_collected(ep2_tx, ticket); }

int MouseSendReport(uint8_t button, uint16_t x, uint16_t y, uint8_t wheel)
{
    if (!usbdev::configok_load())
        return err_DeviceDisconnected;
    uint32_t t = MouseQueueReport(button, static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int8_t>(wheel));
    return t ? MouseWaitReport(t) : err_DeviceDisconnected;
}

int KeyboardSendReport(uint8_t media, const uint8_t *buff)
{
    if (!usbdev::configok_load())
        return err_DeviceDisconnected;
    uint32_t t = KeyboardQueueReport(media, buff);
    return t ? KeyboardWaitReport(t) : err_DeviceDisconnected;
}

} // extern "C"
