// The control interface through its C functions, on the virtual board, checked from the
// host computer's side. Every case is its own process: the library's threads never stop.
#include "hidbridge.h"

#include "board.h"

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <atomic>
#include <cstring>
#include <cctype>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr uint8_t kA = 0x04, kB = 0x05, kLeftCtrl = 0xE0;

// One board for the process, plugged and started before km_init so that no rescan follows.
sim::Board &board()
{
    static sim::Board &b = *new sim::Board;
    return b;
}

void start()
{
    board().plug_keyboard(0).plug_mouse(1);
    board().host.start();
    ASSERT_EQ(km_init(), Success);
    ASSERT_TRUE(board().host.wait_configured(2s));
    // The first clearing's all-released reports are queued by the time km_init returns;
    // wait until the host has them, so that they are not taken for a test's own.
    ASSERT_TRUE(board().host.wait_reports(0x81, 1, 2s));
    ASSERT_TRUE(board().host.wait_reports(0x82, 1, 2s));
}

sim::HostView view() { return board().host.view(); }
uint64_t seq() { return board().host.report_seq(); }

// Runs an operation that sends n reports and waits until the host has taken them in: the
// library returns once the host collected the packet, and the host decodes it just after.
int sends(const std::function<int()> &op, int n = 1)
{
    uint64_t before = seq();
    int r = op();
    if (r == Success) {
        EXPECT_TRUE(board().host.wait_reports(0, before + n, 1s));
    }
    return r;
}

// The physical keyboard (port 0) and mouse (port 1), each event followed by a sync.
void phys_key(uint16_t code, int value)
{
    board().events.key(0, code, value);
    board().events.syn(0);
    ASSERT_TRUE(board().events.wait_drained(0, 1s));
}

void phys_button(uint16_t code, bool down)
{
    board().events.button(1, code, down);
    board().events.syn(1);
    ASSERT_TRUE(board().events.wait_drained(1, 1s));
}

// The input thread applies an event after it read it: physical state settles a moment later.
bool eventually(const std::function<bool()> &pred)
{
    for (int i = 0; i < 200; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

// The input thread composes after it read the events; wait until the host has it.
bool host_sees(const std::function<bool(const sim::HostView &)> &pred)
{
    return board().host.wait_view(pred, 1s);
}

} // namespace

TEST(Start, ReturnsOnlyWithAHostAndAfterTheFirstClearing)
{
    km_config = {0x1111, 0x2222, 3, 1};
    board().plug_keyboard(0);
    std::atomic<bool> returned{false};
    std::thread t([&] {
        EXPECT_EQ(km_init(), Success);
        returned = true;
    });
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(returned) << "no host on the cable: km_init keeps waiting";

    board().host.start();
    for (int i = 0; i < 300 && !returned; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(returned);
    t.join();
    // Read once km_init has returned: it clears the record on its own thread.
    EXPECT_EQ(km_config.exist, 0) << "start-up clears the identity override";
    EXPECT_EQ(std::atomic_ref<uint8_t>(km.configok).load(), 1);

    // Set right after the return, a mask must survive: the clearing is already behind us.
    EXPECT_EQ(km_mask_key(kA, 1), Success);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(km.iskeyboardmask[kA], 1);
    phys_key(KEY_A, 1);
    phys_key(KEY_B, 1);
    EXPECT_TRUE(host_sees([](auto &v) { return v.key_held(kB); }));
    EXPECT_FALSE(view().key_held(kA));
}

TEST(Start, VersionBannerAndDelay)
{
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(km_version(buf), 0);
    EXPECT_EQ(strlen(buf), 40u);
    // "tarvo Rev7:\t1.0.0 Mmm dd yyyy hh:mm:ss\r\n", the day padded with a blank
    std::string b(buf);
    EXPECT_EQ(b.substr(0, 18), "tarvo Rev7:\t1.0.0 ") << b;
    EXPECT_TRUE(isupper(b[18]) && islower(b[19]) && islower(b[20]) && b[21] == ' ') << b;
    EXPECT_TRUE((b[22] == ' ' || isdigit(b[22])) && isdigit(b[23]) && b[24] == ' ') << b;
    EXPECT_TRUE(isdigit(b[25]) && isdigit(b[28]) && b[29] == ' ') << b;
    EXPECT_TRUE(b[32] == ':' && b[35] == ':' && isdigit(b[36]) && isdigit(b[37])) << b;
    EXPECT_EQ(b.substr(38), "\r\n");
    EXPECT_EQ(buf[41], 'x') << "41 bytes written, terminator included";
    delay_ms(0);
}

TEST(Keys, DownUpPressAndInvalidCodes)
{
    start();
    EXPECT_EQ(sends([] { return km_keydown(kA); }), Success);
    EXPECT_TRUE(view().key_held(kA));
    EXPECT_EQ(sends([] { return km_keydown(kLeftCtrl); }), Success);
    EXPECT_EQ(view().modifiers, 0x01);
    EXPECT_EQ(sends([] { return km_keyup(kLeftCtrl); }), Success);
    EXPECT_EQ(view().modifiers, 0x00);
    EXPECT_EQ(sends([] { return km_keyup(kA); }), Success);
    EXPECT_FALSE(view().key_held(kA));

    unsigned presses = view().presses(kB);
    uint64_t before = seq();
    EXPECT_EQ(sends([] { return km_keypress(kB); }, 2), Success) << "down and up, two reports";
    EXPECT_EQ(view().presses(kB), presses + 1);
    EXPECT_FALSE(view().key_held(kB));

    before = seq();
    for (int bad : {255, -1, 300, -5}) {
        EXPECT_EQ(km_keydown(bad), err_parament);
        EXPECT_EQ(km_keyup(bad), err_parament);
        EXPECT_EQ(km_keypress(bad), err_parament);
        EXPECT_EQ(km_mask_key(bad, 1), err_parament);
        EXPECT_EQ(km_query_key(bad), err_parament);
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(seq(), before) << "an invalid code sends nothing";

    // Usages outside the report's range are stored and still force a report.
    EXPECT_EQ(sends([] { return km_keydown(254); }), Success);
    EXPECT_EQ(sends([] { return km_keydown(0); }), Success);
    EXPECT_TRUE(view().keys.empty());
    EXPECT_EQ(km_key_reserved(12345), 0);
}

TEST(Keys, QueryCombinesPhysicalAndRequested)
{
    start();
    EXPECT_EQ(km_query_key(kA), 0);
    sends([] { return km_keydown(kA); });
    EXPECT_EQ(km_query_key(kA), 2);
    phys_key(KEY_A, 1);
    EXPECT_TRUE(eventually([] { return km_query_key(kA) == 3; }));
    km_keyup(kA);
    EXPECT_EQ(km_query_key(kA), 1) << "the UP of a key the keyboard holds is consumed";
    phys_key(KEY_A, 0);
    EXPECT_TRUE(eventually([] { return km_query_key(kA) == 0; }));

    km_keydown(kB);
    km_keyup(kB);
    EXPECT_EQ(km_query_key(kB), 0) << "an ordinary key's UP is consumed by its report, held or not";
    km_keydown(kLeftCtrl);
    km_keyup(kLeftCtrl);
    EXPECT_EQ(km_query_key(kLeftCtrl), 0) << "a modifier's UP is consumed by every report";
}

TEST(Keys, MaskHidesThePhysicalKeyFromTheNextReport)
{
    start();
    uint64_t before = seq();
    EXPECT_EQ(km_mask_key(kA, 7), Success);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(seq(), before) << "masking sends nothing";
    phys_key(KEY_A, 1);
    phys_key(KEY_B, 1);
    ASSERT_TRUE(host_sees([](auto &v) { return v.key_held(kB); }));
    EXPECT_FALSE(view().key_held(kA));
    EXPECT_TRUE(eventually([] { return km_query_key(kA) == 1; })) << "the query still sees the physical key";

    EXPECT_EQ(km_mask_key(kA, 0x100), Success) << "only the low byte counts: unmasked";
    EXPECT_EQ(km.iskeyboardmask[kA], 0);
    phys_key(KEY_B, 0);
    EXPECT_TRUE(host_sees([](auto &v) { return v.key_held(kA) && !v.key_held(kB); }));
}

TEST(Buttons, PressReleaseQueryAndLocks)
{
    start();
    EXPECT_EQ(km_query_left(), 0);
    EXPECT_EQ(sends([] { return km_left(7); }), Success);
    EXPECT_TRUE(view().button_held(1));
    EXPECT_EQ(km.button, 0x01);
    EXPECT_EQ(km_query_left(), 2);
    EXPECT_EQ(sends([] { return km_left(0); }), Success);
    EXPECT_FALSE(view().button_held(1));
    EXPECT_EQ(km_query_left(), 0);

    int (*ops[])(int) = {km_left, km_right, km_middle, km_side1, km_side2, km_side3, km_side4, km_side5};
    int (*queries[])() = {km_query_left, km_query_right, km_query_middle, km_query_side1,
                          km_query_side2, km_query_side3, km_query_side4, km_query_side5};
    for (int b = 0; b < 8; ++b) {
        SCOPED_TRACE(b);
        EXPECT_EQ(sends([&] { return ops[b](1); }), Success);
        EXPECT_EQ(view().buttons, 1 << b);
        EXPECT_EQ(km.button, 1 << b);
        EXPECT_EQ(queries[b](), 2);
        EXPECT_EQ(sends([&] { return ops[b](0); }), Success);
        EXPECT_EQ(view().buttons, 0);
    }
    sends([] { return km_side1(1); });
    sends([] { return km_side5(1); });
    sends([] { return km_side5(0); });
    EXPECT_EQ(km.button, 0x08) << "releasing one button leaves the others";
    km_side1(0);

    km.lock_ml = 1;
    phys_button(BTN_LEFT, true);
    EXPECT_TRUE(eventually([] { return km_query_left() == 1; })) << "a locked physical press still shows in the query";
    EXPECT_FALSE(view().button_held(1));
    sends([] { return km_left(1); });
    EXPECT_TRUE(view().button_held(1)) << "the application's request overrides the lock";
    EXPECT_EQ(km_query_left(), 3);
}

TEST(Pointer, MoveWheelAndStoredPairs)
{
    start();
    auto v0 = view();
    EXPECT_EQ(sends([] { return km_move(10, -3); }), Success);
    EXPECT_EQ(view().x, v0.x + 10);
    EXPECT_EQ(view().y, v0.y - 3);
    EXPECT_EQ(km.x, 0);
    EXPECT_EQ(km.y, 0);

    EXPECT_EQ(sends([] { return km_move(0, 0); }), Success) << "a zero move still sends a report";
    sends([] { return km_move(5, 0); });
    sends([] { return km_move(5, 0); });
    auto r = board().host.reports(0x81);
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[r.size() - 1].bytes[1], 5);
    EXPECT_EQ(r[r.size() - 2].bytes[1], 5) << "two reports of 5, not one of 10";

    auto w = view().wheel;
    EXPECT_EQ(sends([] { return km_wheel(255); }), Success);
    EXPECT_EQ(view().wheel, w - 1) << "255 is one notch down";
    EXPECT_EQ(sends([] { return km_wheel(1); }), Success);
    EXPECT_EQ(view().wheel, w);

    uint64_t before = seq();
    EXPECT_EQ(km_set_limit(1920, 1080), 0);
    EXPECT_EQ(km_set_point(10, 20), 0);
    EXPECT_EQ(km.limit_x, 1920);
    EXPECT_EQ(km.limit_y, 1080);
    EXPECT_EQ(km.ptx, 10);
    EXPECT_EQ(km.pty, 20);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(seq(), before);
}

TEST(Unconfigured, RequestsKeptMotionLost)
{
    start();
    board().host.bus_reset(false); // the host resets the device and leaves it unconfigured
    for (int i = 0; i < 100 && std::atomic_ref<uint8_t>(km.configok).load(); ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(std::atomic_ref<uint8_t>(km.configok).load(), 0);

    EXPECT_EQ(km_left(1), err_DeviceDisconnected);
    EXPECT_EQ(km_query_left(), 2);
    EXPECT_EQ(km_keydown(kA), err_DeviceDisconnected);
    EXPECT_EQ(km_query_key(kA), 2);
    EXPECT_EQ(km_move(100, 0), err_DeviceDisconnected);
    EXPECT_EQ(km_set_point(1, 2), 0) << "stored pairs work unconfigured";

    auto x = view().x;
    ASSERT_TRUE(board().host.enumerate(sim::EnumStyle::Linux));
    for (int i = 0; i < 100 && !std::atomic_ref<uint8_t>(km.configok).load(); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(sends([] { return km_move(1, 0); }), Success);
    EXPECT_TRUE(view().button_held(1)) << "the requested button is in the next report";
    EXPECT_EQ(sends([] { return km_keydown(kB); }), Success);
    EXPECT_TRUE(view().key_held(kA)) << "so is the requested key";
    EXPECT_EQ(view().x, x + 1) << "the move made while unconfigured is lost";
}

namespace {

// The tapped key's state in each keyboard report the host accepted, from `from` on.
std::vector<bool> key_trace(uint8_t usage, size_t from)
{
    std::vector<bool> out;
    auto reports = board().host.reports(0x82);
    for (size_t i = from; i < reports.size(); ++i) {
        auto &b = reports[i].bytes;
        if (b.size() != 12 || b[0] != 1)
            continue;
        out.push_back(std::find(b.begin() + 2, b.end(), usage) != b.end());
    }
    return out;
}

void expect_taps(uint8_t usage, size_t from, int n)
{
    auto trace = key_trace(usage, from);
    int presses = 0, releases = 0;
    bool held = false;
    for (bool h : trace) {
        if (h && !held)
            ++presses;
        if (!h && held)
            ++releases;
        held = h;
    }
    EXPECT_EQ(presses, n);
    EXPECT_EQ(releases, n);
    EXPECT_FALSE(held);
}

} // namespace

TEST(Taps, NoneLost)
{
    start();
    size_t from = board().host.reports(0x82).size();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(km_keypress(kB), Success) << i;
    expect_taps(kB, from, 1000);
}

TEST(Taps, NoneLostWhileTheMouseMovesAndTheKeyboardTypes)
{
    start();
    size_t from = board().host.reports(0x82).size();
    auto x0 = view().x;
    std::atomic<bool> done{false};
    std::thread mover([&] {
        for (int i = 0; i < 500; ++i)
            EXPECT_EQ(sends([] { return km_move(1, 0); }), Success);
    });
    // The physical keyboard is never held up by the bus, so its reports queue at whatever
    // rate it types: 250 changes a second (beyond any person) leaves the keyboard endpoint,
    // which shares the frames with the busy mouse endpoint, room for the taps' reports.
    std::thread typist([&] {
        for (int i = 0; i < 100 && !done; ++i) {
            phys_key(KEY_A, 1);
            std::this_thread::sleep_for(4ms);
            phys_key(KEY_A, 0);
            std::this_thread::sleep_for(4ms);
        }
    });
    int failed = 0;
    for (int i = 0; i < 1000; ++i)
        failed += km_keypress(kB) != Success;
    EXPECT_EQ(failed, 0);
    done = true;
    mover.join();
    typist.join();
    expect_taps(kB, from, 1000);
    EXPECT_EQ(board().host.snapshot().retransmissions, 0u);
    EXPECT_TRUE(host_sees([&](auto &v) { return v.x >= x0 + 500; })) << "no move lost either";
    EXPECT_TRUE(host_sees([](auto &v) { return !v.key_held(kA) && !v.key_held(kB); }));
}
