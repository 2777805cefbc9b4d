// The two compositions with 0, 6 and 11 physical keys held. The device is left unconfigured,
// so the senders refuse at once and what is measured is the merge itself.
#include "core_state.h"

#include <linux/input-event-codes.h>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

// Eleven ordinary keys and a modifier among them, as a busy typist might hold.
constexpr int kHeld[] = {KEY_LEFTSHIFT, KEY_1, KEY_Q, KEY_W, KEY_E, KEY_A, KEY_S,
                         KEY_D,         KEY_SPACE, KEY_F5, KEY_KP1, KEY_RIGHT};

void hold_keys(int n)
{
    std::memset(&km, 0, sizeof km);
    std::memset(key_state, 0, sizeof key_state);
    for (int i = 0; i < n; ++i)
        key_state[kHeld[i + 1]] = 1;
    if (n)
        key_state[kHeld[0]] = 1;
}

void BM_compose_keyboard(benchmark::State &state)
{
    hold_keys(static_cast<int>(state.range(0)));
    km.softKeyboard[0x28] = DOWN; // one requested key merged in front
    for (auto _ : state)
        benchmark::DoNotOptimize(compose_keyboard_report(1));
    benchmark::DoNotOptimize(last_keyboard_report);
}

void BM_compose_mouse(benchmark::State &state)
{
    hold_keys(static_cast<int>(state.range(0)));
    km.left = DOWN;
    km.lock_mr = 1;
    for (auto _ : state) {
        port_mouse[1].x = 3;
        port_mouse[3].y = -2;
        port_mouse[0].button = 0x02;
        benchmark::DoNotOptimize(compose_mouse_report(1));
    }
    benchmark::DoNotOptimize(composed_mouse);
}

} // namespace

BENCHMARK(BM_compose_keyboard)->Arg(0)->Arg(6)->Arg(11);
BENCHMARK(BM_compose_mouse)->Arg(0)->Arg(6)->Arg(11);
