// The board's figures about itself: fixed arrays written where the report path already holds
// its lock, so measuring costs a few additions per report and never an allocation.
#include "report_stats.h"

#include "usbdev_state.h"
#include "usbfunc.h"

#include <atomic>
#include <cstdint>
#include <ctime>

namespace report_stats {
namespace {

using usbdev::now_us;
using usbdev::reached;

// Latency bins: 0.1 ms to 10 ms, 1 ms to 100 ms, 10 ms to 1 s, then one for anything later.
constexpr unsigned kFine = 100, kMid = 90, kCoarse = 90;
constexpr unsigned kBins = kFine + kMid + kCoarse + 1;

unsigned bin_of(uint64_t us)
{
    if (us < 10000)
        return static_cast<unsigned>(us / 100);
    if (us < 100000)
        return kFine + static_cast<unsigned>((us - 10000) / 1000);
    if (us < 1000000)
        return kFine + kMid + static_cast<unsigned>((us - 100000) / 10000);
    return kBins - 1;
}

uint64_t bin_low(unsigned b)
{
    if (b < kFine)
        return b * 100u;
    if (b < kFine + kMid)
        return 10000u + (b - kFine) * 1000u;
    return 100000u + (b - kFine - kMid) * 10000u;
}

// The minute is seven slices of ten seconds: the current one and the six before it.
constexpr uint64_t kSliceUs = 10000000;
constexpr unsigned kSlices = 7;

struct Histogram {
    uint64_t count = 0;
    uint32_t max_us = 0;
    uint64_t polls = 0, poll_us = 0; // collections while reports waited, their distances
    uint32_t bins[kBins] = {};

    void add(uint32_t us)
    {
        ++bins[bin_of(us)];
        ++count;
        if (us > max_us)
            max_us = us;
    }
    void add(const Histogram &h)
    {
        for (unsigned b = 0; b < kBins; ++b)
            bins[b] += h.bins[b];
        count += h.count;
        max_us = h.max_us > max_us ? h.max_us : max_us;
        polls += h.polls;
        poll_us += h.poll_us;
    }
    // The q-quantile, placed linearly inside its bin and never past the largest sample.
    uint32_t quantile(double q) const
    {
        if (count == 0)
            return 0;
        uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(count) + 0.999999);
        rank = rank < 1 ? 1 : rank;
        uint64_t below = 0;
        for (unsigned b = 0; b < kBins; ++b) {
            if (below + bins[b] < rank) {
                below += bins[b];
                continue;
            }
            const uint64_t lo = bin_low(b), hi = b + 1 < kBins ? bin_low(b + 1) : max_us;
            const uint64_t v = lo + (hi - lo) * (rank - below) / bins[b];
            return static_cast<uint32_t>(v < max_us ? v : max_us);
        }
        return max_us;
    }
    uint32_t polls_per_s() const { return poll_us ? static_cast<uint32_t>(polls * 1000000 / poll_us) : 0; }
};

struct Slice {
    uint64_t id = 0; // now / kSliceUs when it was begun
    Histogram h;
};

// Input waiting for the host: each stamped composition, with the ticket of the report that
// carries it, in the order of the tickets. 8,000 compositions a second fill it only when the
// host stays away for a tenth of a second; then the newest entries coalesce (the earliest
// stamp stays).
constexpr unsigned kWaiting = 1024;
struct Waiting {
    uint32_t seq;
    uint64_t input_us;
};


// Guarded by `mutex`.
struct Endpoint {
    uint32_t handed_over, collected, merged, timeouts, collapsed, deepest;
    Histogram total;
    Slice minute[kSlices];
    uint64_t last_collect_us;
    bool backlog;
    Waiting waiting[kWaiting];
    unsigned first, count;

    Histogram &slice(uint64_t now)
    {
        const uint64_t id = now / kSliceUs;
        Slice &s = minute[id % kSlices];
        if (s.id != id) {
            s.h = Histogram{};
            s.id = id;
        }
        return s.h;
    }
};
Endpoint endpoints[2];

std::atomic<uint64_t> pending_input[2];

// Input thread writes, anyone reads.
struct Port {
    std::atomic<uint32_t> records, resyncs;
};
Port ports[Maxport];
std::atomic<uint32_t> rescans;

void bump(std::atomic<uint32_t> &c, uint32_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }


void fill(const Endpoint &e, uint64_t now, km_ep_stats &out)
{
    out.handed_over = e.handed_over;
    out.collected = e.collected;
    out.merged = e.merged;
    out.timeouts = e.timeouts;
    out.collapsed = e.collapsed;
    out.deepest = e.deepest;
    Histogram minute;
    const uint64_t id = now / kSliceUs;
    for (const Slice &s : e.minute)
        if (s.id + kSlices > id && s.id <= id)
            minute.add(s.h);
    out.minute_count = static_cast<uint32_t>(minute.count);
    out.minute_p50_us = minute.quantile(0.5);
    out.minute_p99_us = minute.quantile(0.99);
    out.minute_max_us = minute.max_us;
    out.total_count = static_cast<uint32_t>(e.total.count);
    out.total_p50_us = e.total.quantile(0.5);
    out.total_p99_us = e.total.quantile(0.99);
    out.total_max_us = e.total.max_us;
    out.minute_polls_per_s = minute.polls_per_s();
    out.total_polls_per_s = e.total.polls_per_s();
}

} // namespace

void set_input(Ep ep, uint64_t since_us) { pending_input[ep].store(since_us, std::memory_order_relaxed); }

void carried(Ep ep, uint32_t seq)
{
    const uint64_t input = pending_input[ep].exchange(0, std::memory_order_relaxed);
    if (!input)
        return;
    Endpoint &e = endpoints[ep];
    if (e.count == kWaiting) {
        Waiting &last = e.waiting[(e.first + e.count - 1) % kWaiting];
        last.seq = seq;
        last.input_us = earlier(last.input_us, input);
        return;
    }
    e.waiting[(e.first + e.count++) % kWaiting] = {seq, input};
}

void handed_over(Ep ep, unsigned depth)
{
    Endpoint &e = endpoints[ep];
    ++e.handed_over;
    if (depth > e.deepest)
        e.deepest = depth;
}

void merged(Ep ep) { ++endpoints[ep].merged; }
void collapsed(Ep ep, unsigned reports) { endpoints[ep].collapsed += reports; }
void timed_out(Ep ep) { ++endpoints[ep].timeouts; }

void collected(Ep ep, uint64_t now, uint32_t seq, bool backlog)
{
    Endpoint &e = endpoints[ep];
    ++e.collected;
    Histogram *minute = nullptr;
    for (; e.count && reached(seq, e.waiting[e.first].seq); e.first = (e.first + 1) % kWaiting, --e.count) {
        const uint64_t input = e.waiting[e.first].input_us;
        // A stamp from the future is another clock's (a device that kept real time): no figure.
        if (input > now)
            continue;
        const uint32_t us = now - input > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(now - input);
        minute = &e.slice(now);
        minute->add(us);
        e.total.add(us);
    }
    if (e.backlog && e.last_collect_us) {
        if (!minute)
            minute = &e.slice(now);
        const uint64_t gap = now - e.last_collect_us;
        ++minute->polls;
        minute->poll_us += gap;
        ++e.total.polls;
        e.total.poll_us += gap;
    }
    e.last_collect_us = now;
    e.backlog = backlog;
}

void records(int port, unsigned n) { bump(ports[port].records, n); }
void resync(int port) { bump(ports[port].resyncs); }
void rescan() { bump(rescans); }

void read(km_stats &out)
{
    pthread_mutex_lock(&mutex);
    const uint64_t now = now_us();
    fill(endpoints[kMouse], now, out.mouse);
    fill(endpoints[kKeyboard], now, out.keyboard);
    pthread_mutex_unlock(&mutex);
    for (int p = 0; p < Maxport; ++p) {
        out.port[p].records = ports[p].records.load(std::memory_order_relaxed);
        out.port[p].resyncs = ports[p].resyncs.load(std::memory_order_relaxed);
    }
    out.rescans = rescans.load(std::memory_order_relaxed);
}

void reset()
{
    pthread_mutex_lock(&mutex);
    for (Endpoint &e : endpoints) {
        // The polling and the input on its way go on through a reset.
        e.handed_over = e.collected = e.merged = e.timeouts = e.collapsed = e.deepest = 0;
        e.total = Histogram{};
        for (Slice &s : e.minute)
            s = Slice{};
    }
    pthread_mutex_unlock(&mutex);
    for (Port &p : ports) {
        p.records.store(0, std::memory_order_relaxed);
        p.resyncs.store(0, std::memory_order_relaxed);
    }
    rescans.store(0, std::memory_order_relaxed);
}

} // namespace report_stats
