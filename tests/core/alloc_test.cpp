// No heap in the core: physical events flow through the input thread, the event handling
// and both compositions without a single allocation on that thread once it has started.
// The senders are refused (configok 0) so that the chip model's own bookkeeping, which
// allocates on the caller's thread, stays out of the count.
#include "alloc_counter.h"
#include "board.h"
#include "core_state.h"
#include "usbfunc.h"

#include <linux/input.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>

namespace {
thread_local bool on_listener = false;
std::atomic<bool> armed{false};
std::atomic<unsigned> allocations{0};

void note()
{
    if (on_listener && armed.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace


namespace {

using namespace std::chrono_literals;

void *listener(void *)
{
    on_listener = true;
    return input_listener_thread(nullptr);
}

bool keyboard_report_holds(uint8_t usage)
{
    pthread_mutex_lock(&control_mutex);
    bool held = std::memchr(&last_keyboard_report[1], usage, ReportLength) != nullptr;
    pthread_mutex_unlock(&control_mutex);
    return held;
}

template <class Pred>
bool eventually(Pred pred)
{
    for (int i = 0; i < 2000; ++i) {
        if (pred())
            return true;
        usleep(1000);
    }
    return pred();
}

TEST(CoreAllocations, NoneWhileEventsFlow)
{
    sim::set_alloc_hook(note);
    // The counter counts: an allocation made as the listener would be is seen.
    on_listener = true;
    armed = true;
    delete new int(1);
    armed = false;
    on_listener = false;
    ASSERT_EQ(allocations.exchange(0), 1u);

    static auto &board = *new sim::Board;
    board.plug_keyboard(0).plug_mouse(1);
    pthread_t dev, in;
    pthread_create(&dev, nullptr, thread_device_listen, nullptr);
    pthread_create(&in, nullptr, listener, nullptr);
    std::atomic_ref<uint8_t>(km.configok).store(1);
    ASSERT_TRUE(eventually([] {
        return std::atomic_ref<unsigned>(control_state_resets).load() == 1 &&
               board.events.open_files(0) == 1 && board.events.open_files(1) == 1;
    }));
    std::atomic_ref<uint8_t>(km.configok).store(0);

    // Warm up: the first batch of each kind.
    board.events.key(0, KEY_A, 1);
    board.events.syn(0);
    board.events.rel(1, REL_X, 1);
    board.events.syn(1);
    ASSERT_TRUE(eventually([] { return keyboard_report_holds(0x04); }));

    armed = true;
    int events = 0;
    while (events < 10000) {
        for (int i = 0; i < 50; ++i) {
            uint16_t code = static_cast<uint16_t>(KEY_Q + i % 10);
            board.events.emit(0, EV_MSC, MSC_SCAN, 0x70000 + code);
            board.events.key(0, code, 1);
            board.events.syn(0);
            board.events.key(0, code, 0);
            board.events.syn(0);
            board.events.rel(1, REL_X, i);
            board.events.rel(1, REL_Y, -i);
            board.events.button(1, BTN_LEFT, i % 2);
            board.events.rel(1, REL_WHEEL, 1);
            board.events.syn(1);
            events += 10;
        }
        ASSERT_TRUE(board.events.wait_drained(0, 5s));
        ASSERT_TRUE(board.events.wait_drained(1, 5s));
    }
    board.events.key(0, KEY_Z, 1);
    board.events.syn(0);
    ASSERT_TRUE(eventually([] { return keyboard_report_holds(0x1D); }));
    armed = false;

    EXPECT_EQ(allocations.load(), 0u);
    EXPECT_EQ(events, 10000);
    EXPECT_EQ(key_state[KEY_Q], 0);
    EXPECT_EQ(key_state[KEY_A], 1);
}

} // namespace
