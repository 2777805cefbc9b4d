// State shared by the device controller (usbfunc.cpp) and the senders (report_tx.cpp).
// Not part of the library's interface.
#pragma once

#include "global.h"

#include <atomic>
#include <cstdint>
#include <ctime>

namespace usbdev {

// Which report an IN endpoint holds and which one the host last collected. Both are
// guarded by `mutex`. A sender may only be told "collected" once `collected` reaches the
// sequence of its own report; semaphore counts are just the wake-up.
struct TxSeq {
    uint32_t armed = 0;
    uint32_t collected = 0;
};
extern TxSeq ep1_seq;
extern TxSeq ep2_seq;

// km.configok is one byte read by other threads without a lock: always a whole-byte access.
inline uint8_t configok_load()
{
    return std::atomic_ref<uint8_t>(km.configok).load(std::memory_order_relaxed);
}
inline void configok_store(uint8_t v)
{
    std::atomic_ref<uint8_t>(km.configok).store(v, std::memory_order_relaxed);
}

// The absolute CLOCK_REALTIME deadline msecs after `now`.
timespec deadline_after(const timespec &now, long msecs);

} // namespace usbdev
