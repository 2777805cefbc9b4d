// What the board measures about itself: per IN endpoint the reports handed over, collected,
// merged, timed out and collapsed, the deepest queue, the latency from an input event's
// kernel time stamp to the host's collection of the first report carrying it, the host's
// polling while reports wait; per port the records read and the resyncs. Internal to the
// library (not installed); applications read the figures through km_get_stats.
//
// No lock of its own and no allocation: the endpoint figures are written and read under the
// device module's `mutex` (the senders and the device thread hold it anyway); the input
// thread's figures are single-writer atomics.
#pragma once

#include "hidbridge.h"

#include <cstdint>

namespace report_stats {

enum Ep : uint8_t { kMouse = 0, kKeyboard = 1 };

// Input thread, before a composition for `ep`: the earliest kernel time stamp (monotonic µs)
// of the input it carries; 0 after it, or for input without a usable time stamp.
void set_input(Ep ep, uint64_t since_us);
// Sender, `mutex` held: the report of ticket `seq` carries the input set before, if any (the
// first report to carry it takes it). Its latency is measured when the host collects that
// report, or the newer one that took its place.
void carried(Ep ep, uint32_t seq);
inline uint64_t earlier(uint64_t a, uint64_t b) { return a && (!b || a < b) ? a : b; }

// `mutex` held.
void handed_over(Ep ep, unsigned depth);
void merged(Ep ep);
void collapsed(Ep ep, unsigned reports);
void timed_out(Ep ep);
// The host took the report of ticket `seq`; `backlog`: another report waited behind it, so
// the next collection's distance is the host's polling.
void collected(Ep ep, uint64_t now_us, uint32_t seq, bool backlog);

// Input thread only.
void records(int port, unsigned n);
void resync(int port);
void rescan();

// Takes `mutex`. Everything but the scheduling field.
void read(km_stats &out);
void reset();

} // namespace report_stats
