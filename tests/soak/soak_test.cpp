// Fault soak on the virtual board: while a physical keyboard and mouse and an application
// thread produce input, the host resets the bus, stops polling, suspends and resumes,
// clears endpoint halts and configures the device again while reports wait in the chip,
// ignores the mouse endpoint as a Linux console does or skips the keyboard's for a few frames,
// configures the device again without an LED report while a key goes up, sleeps while the
// application types, the event devices overflow (a release ending a read among them), and
// the cable is pulled and put back. After every fault, and at the
// end, the host's side is checked: once every source has let go nothing is held, input
// still reaches the host, no operation hung, and a reset was followed by a new enumeration.
// Seeded (HIDBRIDGE_SOAK_SEED), and bounded by a time budget (HIDBRIDGE_SOAK_SECONDS, 45 s)
// so that it also finishes under ThreadSanitizer.
#include "hidbridge.h"

#include "board.h"
#include "core_state.h"

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

sim::Board &board()
{
    static sim::Board &b = *new sim::Board;
    return b;
}

uint8_t configok() { return std::atomic_ref<uint8_t>(km.configok).load(); }

unsigned env_or(const char *name, unsigned fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? unsigned(std::strtoul(v, nullptr, 0)) : fallback;
}

// A call waits at most 100 ms from its start for the host (the control lock is held only
// while composing); this much more is room for a loaded machine or a sanitizer.
constexpr auto kBound = 100ms + 100ms;
// Beyond this a call is taken as hung.
constexpr auto kHung = 5s;

// Something that produces input and can be told to let go of everything and stay quiet.
class Source {
public:
    virtual ~Source() = default;
    void start(unsigned seed)
    {
        rng_.seed(seed);
        thread_ = std::thread([this] { run(); });
    }
    // Releases what it holds and stays quiet until resumed.
    void pause()
    {
        pause_ = true;
        while (!quiet_)
            std::this_thread::sleep_for(1ms);
    }
    // Returns once the source runs again: a pause right after must see it let go anew.
    void resume()
    {
        pause_ = false;
        while (quiet_ && !stop_)
            std::this_thread::sleep_for(1ms);
    }
    void stop()
    {
        stop_ = true;
        pause_ = false;
        thread_.join();
    }
    uint64_t actions() const { return actions_; }

protected:
    virtual void step() = 0;
    virtual void release_all() = 0;
    int rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    std::mt19937 rng_;
    std::atomic<uint64_t> actions_{0};

private:
    void run()
    {
        while (!stop_) {
            if (pause_) {
                release_all();
                quiet_ = true;
                while (pause_ && !stop_)
                    std::this_thread::sleep_for(1ms);
                quiet_ = false;
                continue;
            }
            step();
            actions_++;
        }
        release_all();
    }
    std::thread thread_;
    std::atomic<bool> pause_{false}, quiet_{false}, stop_{false};
};

// A keyboard on port 0: presses and releases among a few keys and a modifier.
class Keyboard : public Source {
    static constexpr uint16_t keys[] = {KEY_A, KEY_S, KEY_D, KEY_F, KEY_J, KEY_LEFTSHIFT};
    std::set<uint16_t> held_;
    void event(uint16_t code, int value)
    {
        board().events.key(0, code, value);
        board().events.syn(0);
    }
    void step() override
    {
        uint16_t k = keys[rand(0, 5)];
        bool down = !held_.count(k);
        event(k, down);
        down ? (void)held_.insert(k) : (void)held_.erase(k);
        std::this_thread::sleep_for(std::chrono::microseconds(rand(500, 8000)));
    }
    void release_all() override
    {
        for (uint16_t k : held_)
            event(k, 0);
        held_.clear();
        board().events.wait_drained(0, 2s);
    }
};

// A mouse on port 1: motion frames, left and right button.
class Mouse : public Source {
    std::set<uint16_t> held_;
    void step() override
    {
        if (rand(0, 9) == 0) {
            uint16_t b = rand(0, 1) ? BTN_LEFT : BTN_RIGHT;
            bool down = !held_.count(b);
            board().events.button(1, b, down);
            down ? (void)held_.insert(b) : (void)held_.erase(b);
        } else {
            board().events.rel(1, REL_X, rand(-5, 5));
            board().events.rel(1, REL_Y, rand(-5, 5));
        }
        board().events.syn(1);
        std::this_thread::sleep_for(std::chrono::microseconds(rand(500, 3000)));
    }
    void release_all() override
    {
        for (uint16_t b : held_)
            board().events.button(1, b, false);
        held_.clear();
        board().events.syn(1);
        board().events.wait_drained(1, 2s);
    }
};

// The application: taps, holds and releases keys and the middle button, moves, turns the
// wheel. Every call is timed.
class Application : public Source {
public:
    std::atomic<uint64_t> calls{0}, hung{0}, over_documented{0};
    std::atomic<int64_t> longest_us{0};

private:
    std::set<int> keys_held_;
    bool middle_ = false;
    template <class F>
    int timed(F f)
    {
        auto t0 = Clock::now();
        int r = f();
        auto d = Clock::now() - t0;
        calls++;
        int64_t u = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
        if (u > longest_us)
            longest_us = u;
        if (d > kBound)
            over_documented++;
        if (d > kHung)
            hung++;
        return r;
    }
    void step() override
    {
        switch (rand(0, 6)) {
        case 0:
            timed([&] { return km_keypress(0x1D + rand(0, 2)); }); // z, 1, 2
            break;
        case 1: {
            int k = 0x10 + rand(0, 2); // m, n, o
            bool down = !keys_held_.count(k);
            timed([&] { return down ? km_keydown(k) : km_keyup(k); });
            down ? (void)keys_held_.insert(k) : (void)keys_held_.erase(k);
            break;
        }
        case 2:
            middle_ = !middle_;
            timed([&] { return km_middle(middle_); });
            break;
        case 3:
            timed([&] { return km_wheel(rand(0, 1) ? 1 : 255); });
            break;
        default:
            timed([&] { return km_move(int16_t(rand(-3, 3)), int16_t(rand(-3, 3))); });
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rand(500, 10000)));
    }
    void release_all() override
    {
        // Releases are retried: one sent while the host has the device unconfigured is
        // refused (-2) and the application would send it again.
        for (int k : keys_held_)
            release([&] { return km_keyup(k); });
        keys_held_.clear();
        if (middle_)
            release([&] { return km_middle(0); });
        middle_ = false;
    }
    template <class F>
    void release(F f)
    {
        for (int i = 0; i < 50 && timed(f) != Success; ++i)
            std::this_thread::sleep_for(20ms);
    }
};

struct Counts {
    std::map<std::string, unsigned> faults;
    unsigned checks = 0, enumerations = 0;
};

// The host holds nothing, buttons included, within `within`.
::testing::AssertionResult nothing_held(std::chrono::milliseconds within)
{
    if (board().host.wait_view([](const sim::HostView &v) { return v.keys.empty() && !v.modifiers && !v.buttons; },
                               within))
        return ::testing::AssertionSuccess();
    sim::HostView v = board().host.view();
    std::string keys;
    for (uint8_t k : v.keys)
        keys += " " + std::to_string(k);
    return ::testing::AssertionFailure() << "held after every source let go: keys [" << keys << " ], modifiers "
                                         << int(v.modifiers) << ", buttons " << int(v.buttons);
}

// Input still reaches the host: a tap and a move from the application, and a key of the
// physical keyboard.
::testing::AssertionResult input_flows()
{
    sim::HostView before = board().host.view();
    // A time-out (1) is no failure: on a loaded machine the host may take its report later,
    // which the wait below sees. A refusal (-2) is: the device would be mute.
    int r = km_keypress(0x2C); // space
    if (r != Success && r != 1)
        return ::testing::AssertionFailure() << "km_keypress gave " << r << " (configok " << int(configok()) << ")";
    r = km_move(1, 0);
    if (r != Success && r != 1)
        return ::testing::AssertionFailure() << "km_move gave " << r;
    board().events.key(0, KEY_Q, 1);
    board().events.syn(0);
    board().events.key(0, KEY_Q, 0);
    board().events.syn(0);
    bool seen = board().host.wait_view(
        [&](const sim::HostView &v) {
            return v.presses(0x2C) > before.presses(0x2C) && v.x > before.x && v.presses(0x14) > before.presses(0x14);
        },
        5s);
    if (!seen)
        return ::testing::AssertionFailure() << "the host did not see the tap, the move and the physical key";
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(FaultSoak, InputSurvivesBusFaults)
{
    const unsigned seed = env_or("HIDBRIDGE_SOAK_SEED", 20261208);
    const auto budget = std::chrono::seconds(env_or("HIDBRIDGE_SOAK_SECONDS", 45));
    std::printf("soak seed %u, budget %lld s\n", seed, (long long)budget.count());
    std::mt19937 rng(seed);
    auto rand = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

    board().plug_keyboard(0).plug_mouse(1);
    board().host.start();
    ASSERT_EQ(km_init(), Success);
    ASSERT_TRUE(board().host.wait_configured(5s));
    ASSERT_TRUE(board().events.wait_open(0, 1, 5s) && board().events.wait_open(1, 1, 5s));

    Keyboard keyboard;
    Mouse mouse;
    Application app;
    std::vector<Source *> sources = {&keyboard, &mouse, &app};
    keyboard.start(seed + 1);
    mouse.start(seed + 2);
    app.start(seed + 3);

    // Every source quiet, the physical keyboard holds H and the host has it.
    auto hold_h = [&] {
        for (Source *src : sources)
            src->pause();
        board().events.key(0, KEY_H, 1);
        board().events.syn(0);
        ASSERT_TRUE(board().host.wait_view([](const sim::HostView &v) { return v.key_held(0x0B); }, 5s));
    };

    Counts counts;
    const auto end = Clock::now() + budget;
    while (Clock::now() < end && !::testing::Test::HasFatalFailure()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(rand(20, 200)));
        const unsigned enum_before = board().host.snapshot().enumerations;
        bool reenumerates = false;
        std::string name;
        switch (rand(0, 15)) {
        case 0:
            name = "bus reset";
            board().host.bus_reset();
            reenumerates = true;
            break;
        case 1:
            name = "host pause";
            board().host.stop_polling();
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(20, 300)));
            board().host.resume_polling();
            break;
        case 2:
            name = "suspend/resume";
            board().host.suspend();
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(10, 200)));
            board().host.resume();
            break;
        case 3:
            name = "CLEAR_FEATURE";
            board().host.clear_halt(rand(0, 1) ? 0x81 : 0x82);
            break;
        case 4:
            name = "unplug/replug";
            board().host.unplug();
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(10, 200)));
            board().host.replug();
            reenumerates = true;
            break;
        case 5:
            name = "key let go during a reset";
            // The release reaches the library while the host has the device unconfigured;
            // nothing else is typed afterwards, so only the library can set it right.
            hold_h();
            {
                std::thread reset([] { board().host.bus_reset(); });
                for (int i = 0; i < 2000 && configok(); ++i)
                    std::this_thread::sleep_for(100us);
                board().events.key(0, KEY_H, 0);
                board().events.syn(0);
                reset.join();
            }
            reenumerates = true;
            break;
        case 6:
            name = "halt cleared while a report waits";
            board().host.stop_polling();
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(5, 50)));
            board().host.clear_halt(rand(0, 1) ? 0x81 : 0x82);
            board().host.resume_polling();
            break;
        case 7:
            name = "SET_CONFIGURATION while a report waits";
            board().host.stop_polling();
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(5, 50)));
            board().host.set_configuration(1);
            board().host.resume_polling();
            break;
        case 8:
            name = "mouse endpoint unpolled";
            board().host.set_poll_only_open(true);
            board().host.open_input(0x82);
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(20, 300)));
            board().host.open_input(0x81);
            board().host.set_poll_only_open(false);
            break;
        case 9:
            name = "event buffers overflow";
            for (int n : {0, 1})
                board().events.set_buffer_size(n, 4);
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(20, 300)));
            board().events.set_buffer_size(0, sim::EventDevices::kDefaultBufferSize);
            board().events.set_buffer_size(1, sim::EventDevices::kMouseBufferSize);
            break;
        case 10:
            name = "reconfigured, a key let go before any LED report";
            // The host keeps its input device across a reset and configures the device
            // again by hand; the key goes up in between, and no LED report ever comes.
            hold_h();
            {
                auto bus = board().host.lock_bus();
                const uint8_t address = board().host.snapshot().address;
                board().host.bus_reset(false);
                board().host.set_address(address);
                board().host.set_configuration(1);
                board().events.key(0, KEY_H, 0);
                board().events.syn(0);
                board().events.wait_drained(0, 2s);
            }
            break;
        case 11: {
            name = "suspend while typing";
            for (Source *src : sources)
                src->pause();
            const unsigned before = board().host.view().presses(0x2D);
            board().host.suspend();
            std::atomic<bool> typing{true};
            std::thread typist([&] {
                while (typing) {
                    km_keypress(0x2D); // '-'
                    std::this_thread::sleep_for(1ms);
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(150, 400)));
            typing = false;
            typist.join();
            board().host.resume();
            ASSERT_TRUE(board().host.wait_view([](const sim::HostView &v) { return !v.key_held(0x2D); }, 5s));
            std::this_thread::sleep_for(20ms);
            EXPECT_LE(board().host.view().presses(0x2D) - before, 1u) << "taps made while asleep played back";
            break;
        }
        case 12: {
            name = "keyboard endpoint gap while the mouse streams";
            board().host.set_poll_only_open(true);
            board().host.open_input(0x81);
            board().host.close_input(0x82);
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(2, 6)));
            board().host.open_input(0x82);
            board().host.set_poll_only_open(false);
            // The mouse goes on moving: a key must still come through.
            const unsigned before = board().host.view().presses(0x14);
            board().events.key(0, KEY_Q, 1);
            board().events.syn(0);
            board().events.key(0, KEY_Q, 0);
            board().events.syn(0);
            EXPECT_TRUE(board().host.wait_view([&](const sim::HostView &v) { return v.presses(0x14) > before; }, 2s))
                << "no key while the mouse streams";
            break;
        }
        case 13: {
            name = "overflow with a release ending a read";
            // The mouse (a 128-record buffer) lets go of a key or button whose SYN_REPORT
            // ends a 64-record read; the queue overflows before the next read.
            for (Source *src : sources)
                src->pause();
            // A mouse plugged back while the keyboard typed is found once input pauses.
            ASSERT_TRUE(board().events.wait_open(1, 1, 5s));
            const uint16_t code = rand(0, 1) ? BTN_MIDDLE : KEY_H;
            board().events.packet(1, {{EV_KEY, code, 1}});
            ASSERT_TRUE(board().host.wait_view(
                [&](const sim::HostView &v) { return code == KEY_H ? v.key_held(0x0B) : v.button_held(3); }, 5s))
                << sim::describe(board().host.view());
            pthread_mutex_lock(&control_mutex); // the listener reads, then waits
            {
                std::lock_guard whole(sim::Kernel::instance().mutex());
                for (int i = 0; i < 31; ++i)
                    board().events.packet(1, {{EV_MSC, MSC_SCAN, 4}});
                board().events.packet(1, {{EV_MSC, MSC_SCAN, 4}, {EV_KEY, code, 0}});
            }
            for (int i = 0; i < 1000 && board().events.pending(1) != 1; ++i)
                std::this_thread::sleep_for(1ms);
            for (int i = 0; i < 64; ++i)
                board().events.packet(1, {{EV_MSC, MSC_SCAN, 4}});
            pthread_mutex_unlock(&control_mutex);
            break;
        }
        case 14:
            name = "a reboot through the firmware";
            // The firmware reads boot reports while everything goes on; the OS then takes
            // the device back in report protocol.
            board().host.set_style(sim::EnumStyle::Firmware);
            board().host.bus_reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(50, 300)));
            board().host.set_style(sim::EnumStyle::Linux);
            board().host.bus_reset();
            reenumerates = true;
            break;
        default:
            name = "hub device replug";
            board().events.unplug(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(rand(10, 100)));
            board().events.plug(1);
            break;
        }
        counts.faults[name]++;
        SCOPED_TRACE("fault " + std::to_string(counts.checks + 1) + ": " + name);

        ASSERT_TRUE(board().host.wait_configured(10s)) << board().host.snapshot().last_error;
        if (reenumerates) {
            ASSERT_GT(board().host.snapshot().enumerations, enum_before) << "no new enumeration";
            counts.enumerations++;
        }
        for (Source *s : sources)
            s->pause();
        EXPECT_TRUE(nothing_held(3s));
        EXPECT_TRUE(input_flows());
        EXPECT_TRUE(nothing_held(3s));
        EXPECT_EQ(app.hung.load(), 0u) << "a control operation took longer than " << kHung.count() << " s";
        EXPECT_EQ(app.over_documented.load(), 0u) << "a control operation waited past its bound";
        counts.checks++;
        for (Source *s : sources)
            s->resume();
    }

    for (Source *s : sources)
        s->stop();
    EXPECT_TRUE(nothing_held(3s));
    EXPECT_TRUE(input_flows());
    counts.checks++;

    unsigned total = 0;
    for (auto &[n, c] : counts.faults)
        total += c;
    std::printf("faults survived: %u (", total);
    for (auto &[n, c] : counts.faults)
        std::printf(" %s %u", n.c_str(), c);
    std::printf(" ); re-enumerations %u; invariant checks %u\n", counts.enumerations, counts.checks);
    std::printf("inputs: keyboard %llu, mouse %llu, application %llu calls; longest call %.1f ms, "
                "%llu over the documented bound\n",
                (unsigned long long)keyboard.actions(), (unsigned long long)mouse.actions(),
                (unsigned long long)app.calls.load(), double(app.longest_us.load()) / 1000,
                (unsigned long long)app.over_documented.load());
    std::fflush(stdout);
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    std::fflush(nullptr);
    _exit(result); // the library's threads never end
}
