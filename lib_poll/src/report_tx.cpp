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
bool bus_suspended;
TxEndpoint ep1_tx{REG_USB_ENDP1, RAM_ENDP1_TRAN, "mouse tx timeout", &ep1_tx_ok, &ep1_tx_tog, {}};
TxEndpoint ep2_tx{REG_USB_ENDP2, RAM_ENDP2_TRAN, "keyboard tx timeout", &ep2_tx_ok, &ep2_tx_tog, {}};
} // namespace usbdev

namespace {

using usbdev::ep1_tx;
using usbdev::ep2_tx;
using usbdev::TxEndpoint;
using usbdev::TxReport;
using usbdev::now_us;
using usbdev::reached;

// A host polls both IN endpoints every 1 ms; 100 ms without a poll means it is not there.
constexpr long kTxWaitMs = 100;
// Past the same bound what waits for an absent host (suspended, not polling, not configured)
// is no longer news: it collapses into the current state, so nothing old is played back
// later to whatever has the focus by then.
constexpr uint64_t kStaleUs = kTxWaitMs * 1000;
// A host that still has the bus up and the device configured but takes no keyboard report
// may only be busy (a loaded PC, a virtual machine catching up): what was typed meanwhile is
// still wanted there, so its keys collapse only after a pause no busy host makes.
constexpr uint64_t kKeysStaleUs = 1000000;
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
// A host polls a full-speed interrupt endpoint once a frame. While it takes a mouse report
// every frame, the next one is armed shortly before the host's next poll rather than right
// after the collection, so that the motion of the rest of the frame goes with it and not a
// frame later. The device thread sees a collection a little after it happened: the earliest
// sight, carried on frame by frame, is the estimate of the host's poll, allowed to creep
// later by a little each frame so that a host clock slower than ours cannot leave it behind.
// An arming that ends after the poll costs that report a frame: each held-back report the
// host did not take in the next frame moves the arming kLeadStepUs earlier, each one it did
// take 1 µs back towards kArmAheadUs ahead, so a slower board or a busier thread finds its own
// lead, where at most about one held-back report in a hundred misses its frame. A collection
// more than kFrameSlackUs off the next frame ends the pacing until two collections a frame
// apart start it again.
constexpr uint64_t kFrameUs = 1000;
constexpr uint64_t kFrameSlackUs = 250;
constexpr uint64_t kArmAheadUs = 250;
constexpr uint64_t kLeadStepUs = 100;
constexpr uint64_t kPhaseCreepUs = 2;
// The report descriptor's logical ranges; the boot mouse's axes are single bytes.
constexpr int32_t kAxisMax = 32767;
constexpr int32_t kWheelMax = 127;
constexpr int32_t kBootAxisMax = 127;
// Report identifiers of the keyboard endpoint; the boot keyboard's "too many keys".
constexpr uint8_t kKeysId = 0x01;
constexpr uint8_t kConsumerId = 0x02;
constexpr uint8_t kErrorRollOver = 0x01;
constexpr unsigned kBootKeys = 6;
constexpr unsigned kIdleStepUs = 4000;

// Broadcast under `mutex` whenever an endpoint's `collected`, lost tickets or sessions move.
pthread_cond_t tx_collected_cond = PTHREAD_COND_INITIALIZER;


TxEndpoint &other(TxEndpoint &ep) { return &ep == &ep1_tx ? ep2_tx : ep1_tx; }
bool is_mouse(const TxEndpoint &ep) { return &ep == &ep1_tx; }
report_stats::Ep figures(const TxEndpoint &ep) { return is_mouse(ep) ? report_stats::kMouse : report_stats::kKeyboard; }


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

// The head leaves the line (the host took it, or it was set aside).
void pop_head(TxEndpoint &ep)
{
    ep.head = static_cast<uint16_t>((ep.head + 1) % usbdev::kTxQueueLen);
    --ep.count;
}

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

// Takes the waiting report of this kind (report identifier) out of the line, if one is not in
// the chip yet; its caller learns it was lost.
void drop_open(TxEndpoint &ep, uint8_t id)
{
    const unsigned first = ep.armed ? 1u : 0u;
    for (unsigned i = ep.count; i-- > first;) {
        if (at(ep, i).bytes[0] != id)
            continue;
        absorb(ep, at(ep, i).seq, at(ep, i).seq);
        report_stats::collapsed(figures(ep), 1);
        for (unsigned j = i; j + 1 < ep.count; ++j)
            at(ep, j) = at(ep, j + 1);
        --ep.count;
        return;
    }
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
        // The keyboard endpoint carries two states, keys and consumer keys: the newest
        // report of each survives, or a key let go meanwhile would stay held at the host.
        const TxReport newest = at(ep, ep.count - 1u);
        absorb(ep, at(ep, first).seq, at(ep, ep.count - 2u).seq);
        unsigned n = first;
        for (unsigned i = ep.count - 1u; !is_mouse(ep) && i-- > first;)
            if (at(ep, i).bytes[0] != newest.bytes[0]) {
                at(ep, n++) = at(ep, i);
                break;
            }
        at(ep, n++) = newest;
        report_stats::collapsed(figures(ep), ep.count - n);
        ep.count = static_cast<uint16_t>(n);
    }
    TxReport &tail = at(ep, ep.count - 1u);
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

int16_t axis(const uint8_t *field) { return static_cast<int16_t>(field[0] | field[1] << 8); }
int8_t boot_axis(const uint8_t *field) { return static_cast<int8_t>(std::clamp<int>(axis(field), -kBootAxisMax, kBootAxisMax)); }

// What the host gets for `r` in the endpoint's protocol. The boot keyboard has six key slots
// and no report identifier; the boot mouse three buttons and byte axes (the rest of a larger
// motion goes in the next report, see carry_over) and no wheel.
uint8_t wire(const TxEndpoint &ep, const TxReport &r, uint8_t *out)
{
    if (!ep.boot) {
        std::memcpy(out, r.bytes, r.len);
        return r.len;
    }
    if (is_mouse(ep)) {
        out[0] = r.bytes[0] & 0x07;
        out[1] = static_cast<uint8_t>(boot_axis(&r.bytes[1]));
        out[2] = static_cast<uint8_t>(boot_axis(&r.bytes[3]));
        return 3;
    }
    out[0] = r.bytes[1];
    out[1] = 0;
    unsigned n = 0;
    for (unsigned i = 2; i < usbdev::kTxReportMax; ++i)
        if (r.bytes[i] && n++ < kBootKeys)
            out[1 + n] = r.bytes[i];
    if (n > kBootKeys)
        std::memset(out + 2, kErrorRollOver, kBootKeys);
    else
        std::memset(out + 2 + n, 0, kBootKeys - n);
    return 2 + kBootKeys;
}

// The boot mouse took at most 127 of each axis of the head: what is left stays first in line
// with the same buttons. False when the head went out whole.
bool carry_over(TxEndpoint &ep)
{
    if (!ep.boot || !is_mouse(ep))
        return false;
    TxReport &r = ep.queue[ep.head];
    const int x = axis(&r.bytes[1]) - boot_axis(&r.bytes[1]);
    const int y = axis(&r.bytes[3]) - boot_axis(&r.bytes[3]);
    if (!x && !y)
        return false;
    const uint8_t rest[6] = {r.bytes[0], uint8_t(x & 0xFF), uint8_t((x >> 8) & 0xFF), uint8_t(y & 0xFF), uint8_t((y >> 8) & 0xFF), 0};
    std::memcpy(r.bytes, rest, sizeof rest);
    return true;
}

// Puts the head, in the endpoint's protocol, in the chip's buffer; its length. Endpoint 1
// carries its transmit length in the control register, endpoint 2 in REG_USB_LENGTH.
uint8_t load_head(TxEndpoint &ep)
{
    uint8_t b[usbdev::kTxReportMax];
    const uint8_t len = wire(ep, ep.queue[ep.head], b);
    Dev_Write374Block(ep.ram, len, b);
    if (&ep == &ep2_tx)
        Dev_Write374Byte(REG_USB_LENGTH, len);
    return len;
}

uint8_t tx_bits(const TxEndpoint &ep) { return BIT_EP_TX_TOG | (&ep == &ep1_tx ? M_EP_TX_LEN_MASK : M_EP2_TX_MASK); }

void arm_head(TxEndpoint &ep)
{
    const uint8_t len = load_head(ep);
    uint8_t c = Dev_Read374Byte(ep.ctrl);
    ep.undo_tx = c & tx_bits(ep);
    ep.undo_tog = *ep.tog;
    // The register still holds the toggle of the report the host took last.
    c = *ep.tog ? c ^ BIT_EP_TX_TOG : c & ~BIT_EP_TX_TOG;
    c = &ep == &ep1_tx ? (c & ~M_EP_TX_LEN_MASK) | len : (c & ~M_EP2_TX_MASK) | M_EP2_TX_ACK;
    Dev_Write374Byte(ep.ctrl, c);
    *ep.tog = 1;
    *ep.tx_ok = 0;
    ep.armed = true;
}

// Takes back the armed report: the host has not taken it (the chip holds every token while a
// transfer is being served) and must not get it in this form.
void disarm(TxEndpoint &ep)
{
    const uint8_t c = Dev_Read374Byte(ep.ctrl);
    Dev_Write374Byte(ep.ctrl, static_cast<uint8_t>((c & ~tx_bits(ep)) | ep.undo_tx));
    *ep.tog = ep.undo_tog;
    ep.armed = false;
}

bool is_consumer(const TxReport &r) { return r.bytes[0] == kConsumerId; }

// In boot protocol consumer reports leave the line for the aside slot, newest kept; their
// callers are told they were not collected. Back in report protocol the slot goes last in line.
void sort_consumer(TxEndpoint &ep)
{
    if (is_mouse(ep))
        return;
    while (ep.boot && !ep.armed && ep.count && is_consumer(ep.queue[ep.head])) {
        TxReport &r = ep.queue[ep.head];
        ep.aside = r;
        ep.has_aside = true;
        absorb(ep, r.seq, r.seq);
        pop_head(ep);
        ep.head_since = now_us();
    }
    if (!ep.boot && ep.has_aside && push(ep, ep.aside.bytes, ep.aside.len))
        ep.has_aside = false;
}

// The keyboard's report 1 as last handed over, in report format.
uint8_t current_keys(const TxEndpoint &ep, uint8_t *out)
{
    std::memcpy(out, ep.latest, usbdev::kTxReportMax);
    out[0] = kKeysId;
    return usbdev::kTxReportMax;
}

// A report waits to be armed: not in the chip, not held for the other endpoint.
bool arm_waits(const TxEndpoint &ep) { return !ep.armed && !ep.held && ep.count; }

void arm_if_idle(TxEndpoint &ep)
{
    sort_consumer(ep);
    if (!arm_waits(ep) || (ep.arm_at && now_us() < ep.arm_at))
        return;
    ep.held_back = ep.arm_at && ep.queue[ep.head].since < ep.arm_at;
    arm_head(ep);
}

// The mouse at a collection: whether the host takes a report every frame, and if so when the
// next one is to be armed.
void pace(TxEndpoint &ep, uint64_t now)
{
    const uint64_t gap = now - ep.taken_at;
    const bool next_frame = ep.taken_at && gap + kFrameSlackUs >= kFrameUs && gap <= kFrameUs + kFrameSlackUs;
    if (ep.held_back && next_frame)
        ep.extra_lead_us -= ep.extra_lead_us ? 1 : 0;
    else if (ep.held_back)
        ep.extra_lead_us = std::min(kFrameUs - kArmAheadUs, ep.extra_lead_us + kLeadStepUs);
    ep.held_back = false;
    if (!next_frame)
        ep.poll_at = 0;
    else
        ep.poll_at = ep.poll_at ? std::min(now, ep.poll_at + kFrameUs + kPhaseCreepUs) : now;
    ep.taken_at = now;
    ep.arm_at = ep.poll_at ? ep.poll_at + kFrameUs - kArmAheadUs - ep.extra_lead_us : 0;
}

void unpace(TxEndpoint &ep)
{
    ep.taken_at = ep.poll_at = ep.arm_at = 0;
    ep.held_back = false;
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
    const uint32_t took = ep.queue[ep.head].seq;
    if (!carry_over(ep)) {
        ep.collected = took;
        pop_head(ep);
    }
    report_stats::collected(figures(ep), now, took, ep.count > 0);
    ep.head_since = now; // with nothing queued: when the host last took a report
    ep.armed = false;
    ep.stale = false;
    ep.quiet = false;
    ep.unpolled = false;
    *ep.tx_ok = 1;
    pthread_cond_broadcast(&tx_collected_cond);
    if (!arm_next)
        return;
    if (is_mouse(ep))
        pace(ep, now);
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
        if (ep->arm_at && now >= ep->arm_at)
            arm_if_idle(*ep);
        if (ep->held && now >= ep->held_until) {
            ep->held = false;
            TxEndpoint &o = other(*ep);
            if (o.armed) // not taken in the free frame; one taken meanwhile has cleared this
                mark_unpolled(o, now);
            arm_if_idle(*ep);
        }
        const bool away = is_mouse(*ep) || usbdev::bus_suspended || !usbdev::configok_load();
        if (ep->count && now - ep->head_since > (away ? kStaleUs : kKeysStaleUs))
            ep->stale = true;
        if (ep->stale)
            collapse(*ep, now);
    }
    // A keyboard idle rate: the unchanged keys again once the host has had none for that long.
    if (ep2_tx.idle && !ep2_tx.count && usbdev::configok_load() &&
        now - ep2_tx.head_since >= uint64_t{ep2_tx.idle} * kIdleStepUs) {
        uint8_t keys[usbdev::kTxReportMax];
        push(ep2_tx, keys, current_keys(ep2_tx, keys));
        arm_if_idle(ep2_tx);
    }
    pthread_mutex_unlock(&mutex);
}

long tx_wait_us(long limit_us)
{
    pthread_mutex_lock(&mutex);
    const uint64_t now = now_us();
    long wait = limit_us;
    // Also with nothing queued yet: a report handed over before then waits for this wake-up.
    if (!ep1_tx.armed && ep1_tx.arm_at > now)
        wait = static_cast<long>(std::min<uint64_t>(ep1_tx.arm_at - now, static_cast<uint64_t>(limit_us)));
    pthread_mutex_unlock(&mutex);
    return wait;
}

void tx_restart(TxEndpoint &ep, bool arm)
{
    unpace(ep);
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

void tx_set_protocol(TxEndpoint &ep, bool boot)
{
    if (ep.boot == boot)
        return;
    ep.boot = boot;
    if (ep.armed && boot && !is_mouse(ep) && is_consumer(ep.queue[ep.head]))
        disarm(ep);
    else if (ep.armed && &ep == &ep1_tx)
        Dev_Write374Byte(ep.ctrl, static_cast<uint8_t>((Dev_Read374Byte(ep.ctrl) & ~M_EP_TX_LEN_MASK) | load_head(ep)));
    else if (ep.armed)
        load_head(ep);
    if (usbdev::configok_load())
        arm_if_idle(ep);
    else
        sort_consumer(ep);
}

uint8_t tx_current_report(TxEndpoint &ep, uint8_t id, uint8_t *out)
{
    TxReport r{};
    if (is_mouse(ep)) {
        r.bytes[0] = ep.latest[0]; // motion is news only once; it went with its report
        r.len = 6;
    } else if (id == kConsumerId) {
        if (ep.boot)
            return 0;
        r.bytes[0] = kConsumerId;
        r.bytes[1] = ep.latest_consumer;
        r.len = 2;
    } else {
        r.len = current_keys(ep, r.bytes);
    }
    return wire(ep, r, out);
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
    ep.latest[0] = button;
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
    uint8_t report[12] = {kKeysId};
    uint8_t len = sizeof report;
    if (media) {
        // Consumer keys 1..8 are one bit each; anything above releases them all.
        report[0] = kConsumerId;
        report[1] = static_cast<uint8_t>(media <= 8 ? 1u << (media - 1) : 0);
        len = 2;
    } else {
        std::memcpy(report + 1, buff, 11);
    }
    pthread_mutex_lock(&mutex);
    const bool ok = usbdev::configok_load();
    TxEndpoint &ep = ep2_tx;
    if (media)
        ep.latest_consumer = report[1];
    else
        std::memcpy(ep.latest, report, len);
    TxReport *tail = open_tail(ep);
    if (!(tail && tail->len == len && std::memcmp(tail->bytes, report, len) == 0)) {
        // While the host is away only the newest report of each kind waits: the one of this
        // kind gives way. When the line is full the newest report gives way to the newer state.
        if (tail && ep.stale)
            drop_open(ep, report[0]);
        if (!push(ep, report, len))
            replace_tail(ep, *open_tail(ep), report, len);
        report_stats::carried(report_stats::kKeyboard, ep.queued); // the report just made
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
