// The input merging core on the virtual board: keyboards and mice plugged into the board's
// event devices, the device thread and the input thread running, checked from the host
// computer's side. Requests are written into km the way the control operations do: under
// control_mutex, followed by a forced composition.
#include "board.h"
#include "core_state.h"
#include "hidbridge.h"
#include "usb_host.h"
#include "usbfunc.h"

#include <linux/input.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <csignal>
#include <dirent.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using sim::KeyboardReport;
using sim::MouseReport;

constexpr uint8_t kMouseEp = 0x81, kKeyboardEp = 0x82;

unsigned resets() { return std::atomic_ref<unsigned>(control_state_resets).load(); }

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 3s)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        usleep(1000);
    }
    return pred();
}

// Runs f with control_mutex held, as a control operation does.
template <class F>
auto locked(F f)
{
    pthread_mutex_lock(&control_mutex);
    auto r = f();
    pthread_mutex_unlock(&control_mutex);
    return r;
}

// Standard output from now on; shown when the test fails, since gtest's own failure
// messages land in it too.
class Stdout {
public:
    Stdout() { testing::internal::CaptureStdout(); }
    ~Stdout()
    {
        take();
        if (testing::Test::HasFailure())
            fprintf(stderr, "%s", text_.c_str());
    }
    const std::string &take()
    {
        if (!done_)
            text_ = testing::internal::GetCapturedStdout();
        done_ = true;
        return text_;
    }

private:
    bool done_ = false;
    std::string text_;
};

// The input thread's own lines: the device thread's messages of an enumeration still going on
// may come between them.
std::string listener_lines(const std::string &text)
{
    std::string out, line;
    std::istringstream in(text);
    while (std::getline(in, line))
        if (line.starts_with("listen port ") || line.starts_with("Start listen") || line.starts_with("device hpd"))
            out += line + "\n";
    return out;
}

// The board with the library's two threads; lives as long as the process, like they do.
class Rig {
public:
    // plug(board) runs before the threads start.
    // Present devices are waited for until opened, but those in `unopenable`.
    explicit Rig(const std::function<void(sim::Board &)> &plug, unsigned unopenable = 0)
        : board(*new sim::Board), host(board.host)
    {
        plug(board);
        host.start();
        pthread_t dev, in;
        pthread_create(&dev, nullptr, thread_device_listen, nullptr);
        pthread_create(&in, nullptr, input_listener_thread, nullptr);
        EXPECT_TRUE(host.wait_configured(3s));
        EXPECT_TRUE(eventually([] { return resets() >= 1; }));
        for (int n = 0; n < sim::EventDevices::kCount; ++n) {
            if (board.events.present(n) && !(unopenable >> n & 1)) {
                EXPECT_TRUE(board.events.wait_open(n, 1, 3s)) << "event" << n;
            }
        }
        // The reset's two empty reports.
        EXPECT_TRUE(host.wait_reports(kMouseEp, 1, 1s));
        EXPECT_TRUE(host.wait_reports(kKeyboardEp, 1, 1s));
        cursor = host.report_seq();
    }

    // The next report the host accepts on ep; reports on the other endpoint are skipped
    // (and kept in `skipped` for tests that want none).
    std::optional<sim::Report> next(uint8_t ep, std::chrono::milliseconds timeout = 1s)
    {
        for (;;) {
            auto r = host.next_report(cursor, timeout);
            if (!r || r->ep == ep)
                return r;
            skipped.push_back(*r);
        }
    }
    MouseReport mouse()
    {
        auto r = next(kMouseEp);
        EXPECT_TRUE(r) << "no mouse report" << dump();
        return r ? sim::decode_mouse(r->bytes).value_or(MouseReport{}) : MouseReport{};
    }
    KeyboardReport keyboard()
    {
        auto r = next(kKeyboardEp);
        EXPECT_TRUE(r) << "no keyboard report";
        return r ? sim::decode_keyboard(r->bytes).value_or(KeyboardReport{}) : KeyboardReport{};
    }
    std::string dump() const
    {
        std::string s;
        for (auto &r : host.reports()) {
            s += "\n" + std::to_string(r.seq) + " ep " + std::to_string(r.ep) + ":";
            for (uint8_t b : r.bytes)
                s += " " + std::to_string(b);
        }
        return s + "\ncursor " + std::to_string(cursor);
    }
    // Collects what arrived so far and starts afresh.
    void catch_up()
    {
        host.idle(5ms);
        cursor = host.report_seq();
        skipped.clear();
    }

    sim::Board &board;
    sim::UsbHost &host;
    sim::EventDevices &ev = board.events;
    uint64_t cursor = 0;
    std::vector<sim::Report> skipped;
};

std::vector<uint8_t> slots(const KeyboardReport &k)
{
    std::vector<uint8_t> v;
    for (uint8_t u : k.keys)
        if (u)
            v.push_back(u);
    return v;
}

void press(sim::EventDevices &ev, int n, uint16_t code, int value = 1)
{
    ev.key(n, code, value);
    ev.syn(n);
}

TEST(CoreOnBoard, PortsMerge)
{
    Rig rig([](sim::Board &b) { b.plug_mouse(0).plug_mouse(1).plug_mouse(3); });
    auto &ev = rig.ev;

    // Held buttons of all ports are OR-ed; a release on one port leaves the others.
    ev.button(0, BTN_LEFT, true);
    ev.syn(0);
    EXPECT_EQ(rig.mouse().buttons, 0x01);
    ev.button(1, BTN_RIGHT, true);
    ev.syn(1);
    EXPECT_EQ(rig.mouse().buttons, 0x03);
    ev.button(3, BTN_MIDDLE, true);
    ev.syn(3);
    EXPECT_EQ(rig.mouse().buttons, 0x07);
    ev.button(0, BTN_LEFT, false);
    ev.syn(0);
    EXPECT_EQ(rig.mouse().buttons, 0x06);

    // Motion of two ports adds up and is consumed: the host's pointer moves by the sum, once.
    auto x0 = rig.host.view().x;
    ev.rel(1, REL_X, 5);
    ev.syn(1);
    ev.rel(3, REL_X, 5);
    ev.syn(3);
    ASSERT_TRUE(rig.host.wait_view([&](const sim::HostView &v) { return v.x == x0 + 10; }, 1s));
    ev.button(3, BTN_MIDDLE, false);
    ev.syn(3);
    MouseReport m;
    do
        m = rig.mouse();
    while (m.buttons != 0x02 && !testing::Test::HasFailure());
    EXPECT_EQ(m.x, 0) << "motion is consumed by the composition";
    EXPECT_EQ(rig.host.view().x, x0 + 10);
    EXPECT_EQ(locked([] { return port_mouse[1].x | port_mouse[3].x; }), 0);

    // Within a port every event of an axis counts: a packet's motion adds up.
    ev.rel(1, REL_X, 3);
    ev.rel(1, REL_X, 4);
    ev.rel(1, REL_WHEEL, -1);
    ev.rel(1, REL_HWHEEL, 7); // not reported
    ev.syn(1);
    m = rig.mouse();
    EXPECT_EQ(m.x, 7);
    EXPECT_EQ(m.wheel, -1);
    EXPECT_TRUE(rig.skipped.empty()) << "mouse input alone sends no keyboard report";
}

TEST(CoreOnBoard, LocksAndMouseRequests)
{
    Rig rig([](sim::Board &b) { b.plug_mouse(0); });
    auto &ev = rig.ev;

    // A lock hides the physical button; a request overrides the lock.
    locked([] { return km.lock_ml = 1; });
    ev.button(0, BTN_LEFT, true);
    ev.syn(0);
    EXPECT_EQ(rig.mouse().buttons, 0x00);
    EXPECT_EQ(locked([] { return phys_mouse.button; }), 0x01) << "the query still sees it";
    locked([] { km.left = DOWN; km.side5 = DOWN; return compose_mouse_report(1); });
    EXPECT_EQ(rig.mouse().buttons, 0x81);
    ev.rel(0, REL_X, 1);
    ev.syn(0);
    EXPECT_EQ(rig.mouse().buttons, 0x81) << "DOWN lasts";

    // UP releases for one composition, then the physical state passes again.
    locked([] { km.lock_ml = 0; km.left = UP; km.side5 = UP; return compose_mouse_report(1); });
    EXPECT_EQ(rig.mouse().buttons, 0x00);
    EXPECT_EQ(locked([] { return km.left; }), IDEL);
    EXPECT_EQ(locked([] { return km.side5; }), IDEL);
    ev.rel(0, REL_X, 1);
    ev.syn(0);
    EXPECT_EQ(rig.mouse().buttons, 0x01);

    // Locked axes: the physical motion is gone for good, requests still pass.
    locked([] { return km.lock_mx = km.lock_my = km.lock_mw = 1; });
    ev.rel(0, REL_X, 7);
    ev.rel(0, REL_Y, 8);
    ev.rel(0, REL_WHEEL, 2);
    ev.syn(0);
    MouseReport m = rig.mouse();
    EXPECT_EQ(m.x, 0);
    EXPECT_EQ(m.y, 0);
    EXPECT_EQ(m.wheel, 0);
    locked([] {
        km.x = 3;
        km.y = -4;
        km.wheel = 255; // one notch down
        return compose_mouse_report(1);
    });
    m = rig.mouse();
    EXPECT_EQ(m.x, 3);
    EXPECT_EQ(m.y, -4);
    EXPECT_EQ(m.wheel, -1);
    EXPECT_EQ(locked([] { return km.x; }), 0);
    EXPECT_EQ(locked([] { return km.wheel; }), 0);
    locked([] { return km.lock_mx = km.lock_my = km.lock_mw = 0; });

    // Unlocked, a request and physical motion applied but not yet composed add up.
    handle_input_event(0, EV_REL, REL_X, 7); // no end of packet yet
    locked([] {
        km.x = -10;
        return compose_mouse_report(1);
    });
    EXPECT_EQ(rig.mouse().x, -3);
}

TEST(CoreOnBoard, MotionBeyondTheReportRangeCarriesOver)
{
    Rig rig([](sim::Board &b) { b.plug_mouse(2); });
    auto &ev = rig.ev;
    // Nothing is cut and nothing turns into a move the other way: what a report cannot
    // hold goes out in the reports after it.
    auto moved = [&](int64_t dx, int64_t dy, int64_t dw) {
        auto v0 = rig.host.view();
        return rig.host.wait_view([&](const sim::HostView &v) {
            return v.x == v0.x + dx && v.y == v0.y + dy && v.wheel == v0.wheel + dw;
        }, 1s);
    };
    auto v0 = rig.host.view();
    handle_input_event(2, EV_REL, REL_X, 10);
    handle_input_event(2, EV_REL, REL_Y, -10);
    locked([] {
        km.x = 32767;
        km.y = INT16_MIN;
        return compose_mouse_report(1);
    });
    ASSERT_TRUE(rig.host.wait_view([&](const sim::HostView &v) {
        return v.x == v0.x + 32777 && v.y == v0.y - 32778;
    }, 1s));
    EXPECT_TRUE(moved(0, 0, 0));
    ev.packet(2, {{EV_REL, REL_X, 100000}, {EV_REL, REL_WHEEL, 130}});
    EXPECT_TRUE(moved(100000, 0, 130));
    // Sums of extreme values saturate: none wraps round into a move the other way (or none).
    // The host gets as much as the report queue holds.
    v0 = rig.host.view();
    ev.packet(2, {{EV_REL, REL_X, INT32_MAX}, {EV_REL, REL_X, INT32_MAX}, {EV_REL, REL_Y, INT32_MIN},
                  {EV_REL, REL_Y, -1}, {EV_REL, REL_WHEEL, INT32_MIN}, {EV_REL, REL_WHEEL, INT32_MIN}});
    EXPECT_TRUE(rig.host.wait_view([&](const sim::HostView &v) {
        return v.x - v0.x > 100 * 32767 && v0.y - v.y > 100 * 32767 && v0.wheel - v.wheel > 100 * 127;
    }, 5s)) << sim::describe(rig.host.view());
    for (auto &r : rig.host.reports(kMouseEp)) {
        MouseReport m = sim::decode_mouse(r.bytes).value_or(MouseReport{});
        EXPECT_GE(m.x, -32767);
        EXPECT_GE(m.y, -32767);
        EXPECT_GE(m.wheel, -127);
    }
}

TEST(CoreOnBoard, ModifiersAndKeyRequests)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0); });
    auto &ev = rig.ev;

    ev.emit(0, EV_MSC, MSC_SCAN, 0x700e1); // scan codes are ignored
    ev.key(0, KEY_LEFTSHIFT, 1);
    press(ev, 0, KEY_A);
    KeyboardReport k = rig.keyboard();
    EXPECT_EQ(k.modifiers, 0x02);
    EXPECT_EQ(slots(k), (std::vector<uint8_t>{0x04}));
    EXPECT_TRUE(rig.skipped.empty()) << "keys alone send no mouse report";

    // A requested modifier UP releases it in one report only.
    locked([] { km.softKeyboard[0xE1] = UP; return compose_keyboard_report(1); });
    EXPECT_EQ(rig.keyboard().modifiers, 0x00);
    EXPECT_EQ(locked([] { return km.softKeyboard[0xE1]; }), IDEL);
    press(ev, 0, KEY_RIGHTMETA);
    EXPECT_EQ(rig.keyboard().modifiers, 0x82);

    // Masks hide physical keys and modifier bits; requests override masks.
    locked([] { km.iskeyboardmask[0xE1] = 1; km.iskeyboardmask[0x04] = 1; return 0; });
    press(ev, 0, KEY_B);
    k = rig.keyboard();
    EXPECT_EQ(k.modifiers, 0x80);
    EXPECT_EQ(slots(k), (std::vector<uint8_t>{0x05}));
    locked([] { km.softKeyboard[0xE1] = DOWN; km.softKeyboard[0x04] = DOWN; return compose_keyboard_report(1); });
    k = rig.keyboard();
    EXPECT_EQ(k.modifiers, 0x82);
    EXPECT_EQ(slots(k), (std::vector<uint8_t>{0x04, 0x05})) << "requested keys come first";
    locked([] { km.softKeyboard[0x06] = DOWN; km.iskeyboardmask[0x05] = 1; return compose_keyboard_report(1); });
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x04, 0x06}));

    // An ordinary key's UP is consumed by the report that carries it, held or not.
    locked([] {
        std::memset(km.softKeyboard, 0, sizeof km.softKeyboard);
        std::memset(km.iskeyboardmask, 0, sizeof km.iskeyboardmask);
        km.softKeyboard[0x07] = UP; // KEY_D, not held
        return compose_keyboard_report(1);
    });
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x04, 0x05}));
    EXPECT_EQ(locked([] { return km.softKeyboard[0x07]; }), IDEL);
    press(ev, 0, KEY_D);
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x04, 0x07, 0x05}));
    press(ev, 0, KEY_C);
    // The next keyboard report; slots follow the key codes: A 30, D 32, C 46, B 48.
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x04, 0x07, 0x06, 0x05}));
}

TEST(CoreOnBoard, TenSlots)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(1); });
    auto &ev = rig.ev;
    // Eleven keys: the lowest code (KEY_1) drops out, the rest in ascending code order.
    for (uint16_t code : {KEY_P, KEY_1, KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y, KEY_U, KEY_I, KEY_O})
        ev.key(1, code, 1);
    ev.syn(1);
    const std::vector<uint8_t> q_to_p = {0x14, 0x1A, 0x08, 0x15, 0x17, 0x1C, 0x18, 0x0C, 0x12, 0x13};
    EXPECT_EQ(slots(rig.keyboard()), q_to_p);

    // A key without a usage takes a slot all the same (as 0): now KEY_Q drops out as well.
    press(ev, 1, KEY_HOMEPAGE);
    auto raw = rig.next(kKeyboardEp);
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->bytes.size(), 12u);
    EXPECT_EQ(raw->bytes[11], 0);
    EXPECT_EQ(slots(*sim::decode_keyboard(raw->bytes)), std::vector<uint8_t>(q_to_p.begin() + 1, q_to_p.end()));

    // Ten requested keys leave no slot for physical ones.
    locked([] {
        for (int u = 0x2A; u < 0x2A + 10; ++u)
            km.softKeyboard[u] = DOWN;
        km.softKeyboard[0xE8] = DOWN; // beyond the modifiers: never placed
        return compose_keyboard_report(1);
    });
    std::vector<uint8_t> want;
    for (int u = 0x2A; u < 0x2A + 10; ++u)
        want.push_back(static_cast<uint8_t>(u));
    EXPECT_EQ(slots(rig.keyboard()), want);
}

TEST(CoreOnBoard, KeyboardReportSentOnlyWhenChanged)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); });
    auto &ev = rig.ev;
    press(ev, 0, KEY_A);
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x04}));
    rig.catch_up();

    auto keyboards = rig.host.view().keyboard_reports;
    for (int i = 0; i < 3; ++i) {
        ev.rel(1, REL_X, 1);
        ev.syn(1);
        EXPECT_EQ(rig.mouse().x, 1);
    }
    press(ev, 0, KEY_A, 2); // auto-repeat: same report
    ev.rel(1, REL_X, 1);
    ev.syn(1);
    rig.mouse();
    EXPECT_TRUE(rig.skipped.empty());
    EXPECT_EQ(rig.host.view().keyboard_reports, keyboards);
    // A forced composition sends the same content again.
    locked([] { return compose_keyboard_report(1); });
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x04}));

    // media switches the keyboard endpoint to the consumer report.
    locked([] { return km.media = 3; });
    press(ev, 0, KEY_B);
    auto r = rig.next(kKeyboardEp);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->bytes, (std::vector<uint8_t>{0x02, 0x04}));
    EXPECT_EQ(rig.host.view().consumer, 0x04);
    EXPECT_FALSE(rig.host.view().key_held(0x05));
    locked([] { return km.media = 0; });
    press(ev, 0, KEY_C);
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x04, 0x06, 0x05}));
}

TEST(CoreOnBoard, EventMessages)
{
    Rig rig([](sim::Board &b) { b.plug_mouse(0); });
    auto &ev = rig.ev;
    Stdout out;
    ev.button(0, BTN_SIDE, true);
    ev.emit(0, EV_KEY, BTN_LEFT, 2);
    ev.emit(0, EV_LED, LED_CAPSL, 1);
    ev.emit(0, EV_SND, SND_BELL, 1);
    ev.emit(0, EV_REP, REP_DELAY, 250);
    ev.emit(0, EV_FF, 0x50, -1);
    ev.emit(0, EV_ABS, ABS_X, 5);
    ev.emit(0, EV_KEY, 255, 1);
    ev.syn(0);
    EXPECT_EQ(rig.mouse().buttons, 0x00);
    // On a slow machine (ThreadSanitizer) the listener may still be announcing its ports and
    // itself when capture starts.
    std::string text = out.take();
    while ((text.starts_with("listen port ") || text.starts_with("Start listen keyboard and mouse!")) &&
           text.find('\n') != std::string::npos)
        text.erase(0, text.find('\n') + 1);
    EXPECT_EQ(text,
              "unknow code [port=0] code=275  updown=1\n"
              "unknow code [port=0] code=272  updown=2\n"
              "port=0 EV_LED=00000011 code=00000001 value=00000001\n"
              "port=0 EV_SND=00000012 code=00000001 value=00000001\n"
              "port=0 EV_REP=00000014 code=00000000 value=000000fa\n"
              "port=0 EV_FF=00000015 code=00000050 value=ffffffff\n");
    EXPECT_TRUE(rig.skipped.empty()) << "none of these changes the keyboard report";
}

TEST(CoreOnBoard, PlugInNoticedAfterQuietRescan)
{
    Stdout out;
    Rig rig([](sim::Board &b) { b.plug_mouse(1); });
    auto &ev = rig.ev;
    locked([] { km.iskeyboardmask[4] = 1; km.lock_ml = 1; km.left = DOWN; return compose_mouse_report(1); });
    EXPECT_EQ(rig.mouse().buttons, 0x01);

    // While the mouse keeps moving the new keyboard is not looked for.
    rig.board.plug_keyboard(0);
    for (int i = 0; i < 12; ++i) {
        ev.rel(1, REL_X, 1);
        ev.syn(1);
        usleep(100000);
    }
    EXPECT_EQ(ev.open_files(0), 0);
    EXPECT_EQ(resets(), 1u);
    ASSERT_TRUE(ev.wait_open(0, 1, 2s));
    ASSERT_TRUE(eventually([] { return resets() == 2; }));
    ASSERT_TRUE(ev.wait_open(1, 1, 1s));
    // The rescan cleared the application's state and released everything on the host.
    EXPECT_EQ(locked([] { return km.iskeyboardmask[4]; }), 0);
    EXPECT_EQ(locked([] { return km.lock_ml; }), 0);
    EXPECT_EQ(locked([] { return km.left; }), IDEL);
    EXPECT_EQ(std::atomic_ref<uint8_t>(km.configok).load(), 1); // the device thread writes it without the lock
    EXPECT_TRUE(rig.host.wait_view([](const sim::HostView &v) { return v.buttons == 0; }, 1s));
    // Input arrives only once the thread listens, so its messages are all out by then.
    press(ev, 0, KEY_A);
    EXPECT_TRUE(rig.host.wait_view([](const sim::HostView &v) { return v.key_held(0x04); }, 1s));
    const std::string text = listener_lines(out.take());
    EXPECT_NE(text.find("listen port 1 ...[total=1]\nStart listen keyboard and mouse!\n"), std::string::npos);
    EXPECT_NE(text.find("device hpd! now 2 ,last 1 closed 1\n"
                        "listen port 0 ...[total=1]\nlisten port 1 ...[total=2]\n"
                        "Start listen keyboard and mouse!\n"),
              std::string::npos);
}

// Nothing the listener does after opening a device may throw away what the device queued
// since (evdev empties the queue at a change of clock, for one).
TEST(CoreOnBoard, AKeyPressedAsTheDeviceIsOpenedArrives)
{
    Rig rig([](sim::Board &b) { b.plug_mouse(1); });
    rig.ev.packet_at_open(0, {{EV_KEY, KEY_B, 1}});
    rig.board.plug_keyboard(0);
    ASSERT_TRUE(rig.ev.wait_open(0, 1, 3s));
    EXPECT_TRUE(rig.host.wait_view([](const sim::HostView &v) { return v.key_held(0x05); }, 1s));
}

TEST(CoreOnBoard, TheHostsLedsReachEveryKeyboardAtEachChangeAndAtPlugIn)
{
    Rig rig([](sim::Board &b) {
        b.plug_keyboard(0);
        b.plug_mouse(1);
    });
    auto &ev = rig.ev;
    const auto shows = [&](int n, uint32_t leds) { return eventually([&] { return ev.leds(n) == leds; }, 1s); };
    ASSERT_TRUE(rig.host.set_leds(0x02));
    EXPECT_TRUE(shows(0, 1u << LED_CAPSL));
    ASSERT_TRUE(rig.host.set_leds(0x1D)); // and Compose, Kana: no such keyboard LEDs here
    EXPECT_TRUE(shows(0, 1u << LED_NUML | 1u << LED_SCROLLL));
    ASSERT_TRUE(rig.host.set_leds(0x03));
    EXPECT_TRUE(shows(0, 1u << LED_NUML | 1u << LED_CAPSL));
    EXPECT_EQ(km_query_leds(), 0x03);

    // A keyboard plugged in later shows the host's state once it is opened.
    rig.board.plug_keyboard(2);
    ASSERT_TRUE(ev.wait_open(2, 1, 3s));
    EXPECT_TRUE(shows(2, 1u << LED_NUML | 1u << LED_CAPSL));
    ASSERT_TRUE(rig.host.set_leds(0x00));
    EXPECT_TRUE(shows(0, 0));
    EXPECT_TRUE(shows(2, 0));
}

TEST(CoreOnBoard, UnplugOneOfTwoResetsAndKeepsTheOther)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); });
    auto &ev = rig.ev;
    press(ev, 0, KEY_A);
    ev.button(1, BTN_LEFT, true);
    ev.syn(1);
    ASSERT_TRUE(rig.host.wait_view([](const sim::HostView &v) { return v.key_held(0x04) && v.buttons == 1; }, 1s));
    locked([] {
        km.iskeyboardmask[7] = 1;
        km.softKeyboard[8] = DOWN;
        km.lock_mx = 1;
        km.right = DOWN;
        km.media = 2;
        km.ptx = 5;
        km.limit_y = 7;
        return 0;
    });

    Stdout out;
    ev.unplug(0);
    ASSERT_TRUE(eventually([] { return resets() == 2; }));
    ASSERT_TRUE(ev.wait_open(1, 1, 2s));
    // Empty reports on the host: the keyboard's key and the mouse's held button alike.
    EXPECT_TRUE(rig.host.wait_view([](const sim::HostView &v) { return v.keys.empty() && v.buttons == 0; }, 1s));
    // All of km but configok, which the device thread writes without the lock.
    km_control_t cleared;
    std::memset(&cleared, 0, sizeof cleared);
    constexpr size_t ok = offsetof(km_control_t, configok);
    auto *bytes = reinterpret_cast<const char *>(&km), *zero = reinterpret_cast<const char *>(&cleared);
    EXPECT_EQ(locked([&] { return std::memcmp(bytes, zero, ok); }), 0);
    EXPECT_EQ(locked([&] { return std::memcmp(bytes + ok + 1, zero + ok + 1, sizeof km - ok - 1); }), 0);
    EXPECT_EQ(std::atomic_ref<uint8_t>(km.configok).load(), 1);
    EXPECT_EQ(locked([] { return port_mouse[1].button; }), 0);
    EXPECT_EQ(locked([] { return key_state[KEY_A]; }), 0);

    rig.catch_up();
    ev.rel(1, REL_X, 5);
    ev.syn(1);
    EXPECT_EQ(rig.mouse().x, 5);
    EXPECT_EQ(out.take(),
              "listen port 1 ...[total=1]\nStart listen keyboard and mouse!\n");
}

TEST(CoreOnBoard, DevicesAtZeroAndTwo)
{
    Stdout out;
    // event4 exists but does not open: announced and counted all the same.
    Rig rig([](sim::Board &b) {
        b.plug_keyboard(0).plug_mouse(2).plug_mouse(4);
        b.events.fail_open(4, true);
    }, 1u << 4);
    auto &ev = rig.ev;
    press(ev, 0, KEY_Z);
    EXPECT_EQ(slots(rig.keyboard()), (std::vector<uint8_t>{0x1D}));
    ev.rel(2, REL_Y, 9);
    ev.syn(2);
    EXPECT_EQ(rig.mouse().y, 9);
    usleep(700000); // a quiet rescan finds as many as are open: nothing happens
    EXPECT_EQ(resets(), 1u);
    const std::string text = listener_lines(out.take());
    EXPECT_NE(text.find("listen port 0 ...[total=1]\nlisten port 2 ...[total=2]\n"
                        "listen port 4 ...[total=3]\nStart listen keyboard and mouse!\n"),
              std::string::npos);
    EXPECT_EQ(text.find("device hpd"), std::string::npos);
}

// Lost devices the listener must not spin on: it rescans instead.
TEST(CoreOnBoard, LostDevicesRescan)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0).plug_keyboard(1).plug_mouse(2).plug_mouse(3); });
    auto &ev = rig.ev;

    // Two hang-ups in one cycle.
    {
        std::lock_guard all(sim::Kernel::instance().mutex());
        ev.unplug(0);
        ev.unplug(1);
    }
    ASSERT_TRUE(eventually([] { return resets() == 2; }));
    ASSERT_TRUE(ev.wait_open(2, 1, 2s));
    ASSERT_TRUE(ev.wait_open(3, 1, 2s));

    // A hang-up with data still queued: the read fails.
    {
        std::lock_guard all(sim::Kernel::instance().mutex());
        ev.rel(3, REL_X, 1);
        ev.syn(3);
        ev.unplug(3);
    }
    ASSERT_TRUE(eventually([] { return resets() == 3; }));
    ASSERT_TRUE(ev.wait_open(2, 1, 2s));
    rig.catch_up();
    ev.rel(2, REL_X, -6);
    ev.syn(2);
    EXPECT_EQ(rig.mouse().x, -6);
    EXPECT_EQ(resets(), 3u);
}

} // namespace

namespace {

// The library's own threads by name, as /proc shows them.
std::vector<pid_t> threads_named(const std::string &name)
{
    std::vector<pid_t> ids;
    DIR *d = opendir("/proc/self/task");
    while (dirent *e = d ? readdir(d) : nullptr) {
        FILE *f = fopen(("/proc/self/task/" + std::string(e->d_name) + "/comm").c_str(), "r");
        if (!f)
            continue;
        char comm[32] = {};
        if (fgets(comm, sizeof comm, f) && std::string(comm) == name + "\n")
            ids.push_back(static_cast<pid_t>(std::stoi(e->d_name)));
        fclose(f);
    }
    if (d)
        closedir(d);
    return ids;
}

// Keyboard reports from `from` on, as the slots the host accepted.
std::vector<std::vector<uint8_t>> key_reports(sim::UsbHost &host, size_t from)
{
    std::vector<std::vector<uint8_t>> out;
    auto rs = host.reports(kKeyboardEp);
    for (size_t i = from; i < rs.size(); ++i)
        out.push_back(slots(sim::decode_keyboard(rs[i].bytes).value_or(KeyboardReport{})));
    return out;
}

} // namespace

TEST(CoreOnBoard, NoChangeIsMergedAway)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); });
    auto &ev = rig.ev;
    // A press and its release, read by the listener in one go, are two reports.
    size_t from = rig.host.reports(kKeyboardEp).size();
    {
        std::lock_guard whole(sim::Kernel::instance().mutex());
        ev.packet(0, {{EV_KEY, KEY_A, 1}});
        ev.packet(0, {{EV_KEY, KEY_A, 0}});
        ev.packet(1, {{EV_KEY, BTN_LEFT, 1}, {EV_REL, REL_X, 2}});
        ev.packet(1, {{EV_KEY, BTN_LEFT, 0}, {EV_REL, REL_X, 3}});
        ev.packet(1, {{EV_REL, REL_X, 4}});
    }
    MouseReport m = rig.mouse();
    EXPECT_EQ(m.buttons, 0x01);
    EXPECT_EQ(m.x, 2);
    int64_t x = 0;
    do {
        m = rig.mouse();
        x += m.x;
        EXPECT_EQ(m.buttons, 0x00);
    } while (x < 7 && !testing::Test::HasFailure());
    EXPECT_EQ(x, 7) << "the frames' motion adds up";
    ASSERT_TRUE(rig.host.wait_reports(kKeyboardEp, from + 2, 1s));
    EXPECT_EQ(key_reports(rig.host, from), (std::vector<std::vector<uint8_t>>{{0x04}, {}}));
}

TEST(CoreOnBoard, AReleaseLostInAnOverflowLeavesNothingHeld)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0); });
    auto &ev = rig.ev;
    ev.packet(0, {{EV_KEY, KEY_A, 1}, {EV_KEY, BTN_LEFT, 1}});
    ASSERT_TRUE(rig.host.wait_view([](auto &v) { return v.key_held(0x04) && v.button_held(1); }, 1s));

    // The listener is held up while the device's buffer overflows: the kernel throws the
    // queue away, releases and all.
    ev.set_buffer_size(0, 8);
    pthread_mutex_lock(&control_mutex);
    ev.packet(0, {{EV_REL, REL_X, 1}});
    EXPECT_TRUE(ev.wait_drained(0, 1s)) << "the listener took the packet and waits for the lock";
    ev.packet(0, {{EV_KEY, KEY_A, 0}, {EV_KEY, BTN_LEFT, 0}});
    for (int i = 0; i < 8; ++i)
        ev.packet(0, {{EV_REL, REL_Y, 1}});
    EXPECT_GE(ev.dropped(0), 1u);
    pthread_mutex_unlock(&control_mutex);

    EXPECT_TRUE(rig.host.wait_view([](auto &v) { return !v.key_held(0x04) && !v.button_held(1); }, 1s))
        << "the state read back after SYN_DROPPED releases what the device let go";
    // And input goes on as before.
    ev.packet(0, {{EV_KEY, KEY_B, 1}});
    EXPECT_TRUE(rig.host.wait_view([](auto &v) { return v.key_held(0x05); }, 1s));
}

TEST(CoreOnBoard, AResyncLeavesTheHostHoldingWhatTheDeviceHolds)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); });
    auto &ev = rig.ev;
    // Every case ends with the devices holding nothing.
    auto host_holds_nothing = [&] {
        return rig.host.wait_view([](const sim::HostView &v) { return !v.key_held(0x04) && !v.button_held(1); }, 1s);
    };

    // (a) The batch that ends an overflow carries a press the device lets go of while the
    // listener waits for the lock: the state read back is newer than that press.
    ev.set_buffer_size(0, 8);
    pthread_mutex_lock(&control_mutex);
    {
        std::lock_guard whole(sim::Kernel::instance().mutex());
        for (int i = 0; i < 8; ++i)
            ev.packet(0, {{EV_REL, REL_Y, 1}});
        ev.packet(0, {{EV_KEY, KEY_A, 1}, {EV_KEY, BTN_LEFT, 1}});
    }
    EXPECT_GE(ev.dropped(0), 1u);
    EXPECT_TRUE(ev.wait_drained(0, 1s)) << "the listener read the batch and waits for the lock";
    ev.packet(0, {{EV_KEY, KEY_A, 0}, {EV_KEY, BTN_LEFT, 0}});
    pthread_mutex_unlock(&control_mutex);
    // Once later motion has gone through, the listener is past the batch (a key would not
    // do: sent before the read-back it leaves the queue with the other key records).
    int64_t x0 = rig.host.view().x;
    ev.packet(0, {{EV_REL, REL_X, 1}});
    ASSERT_TRUE(rig.host.wait_view([&](const sim::HostView &v) { return v.x == x0 + 1; }, 1s));
    EXPECT_TRUE(host_holds_nothing()) << sim::describe(rig.host.view());

    // (b) A release ends a 64-record read (its SYN_REPORT is the 65th record), and the queue
    // overflows before the next read.
    for (uint16_t code : {KEY_A, BTN_LEFT}) {
        auto presses = [code](const sim::HostView &v) { return code == KEY_A ? v.presses(0x04) : v.button_presses[0]; };
        unsigned before = presses(rig.host.view());
        ev.packet(1, {{EV_KEY, code, 1}});
        ASSERT_TRUE(rig.host.wait_view([&](const sim::HostView &v) { return presses(v) == before + 1; }, 1s));
        size_t dropped = ev.dropped(1);
        pthread_mutex_lock(&control_mutex);
        {
            std::lock_guard whole(sim::Kernel::instance().mutex());
            for (int i = 0; i < 31; ++i)
                ev.packet(1, {{EV_MSC, MSC_SCAN, 4}});
            ev.packet(1, {{EV_MSC, MSC_SCAN, 4}, {EV_KEY, code, 0}});
        }
        EXPECT_TRUE(eventually([&] { return ev.pending(1) == 1; })) << "the listener read 64 records";
        for (int i = 0; i < 64; ++i)
            ev.packet(1, {{EV_MSC, MSC_SCAN, 4}});
        EXPECT_GT(ev.dropped(1), dropped);
        pthread_mutex_unlock(&control_mutex);
        EXPECT_TRUE(host_holds_nothing()) << code << ": " << sim::describe(rig.host.view());
    }
}

TEST(CoreOnBoard, AReleaseRequestNeverHidesALaterPhysicalPress)
{
    Rig rig([](sim::Board &b) { b.plug_keyboard(0); });
    auto &ev = rig.ev;
    // The application taps i and lets go of y, which nobody holds; right after, the physical
    // keyboard types "xiyx" and Enter: every stroke reaches the host.
    EXPECT_EQ(km_keypress(0x0C), Success);
    EXPECT_EQ(km_keyup(0x1C), Success);
    for (uint16_t code : {KEY_X, KEY_I, KEY_Y, KEY_X, KEY_ENTER}) {
        ev.packet(0, {{EV_KEY, code, 1}});
        ev.packet(0, {{EV_KEY, code, 0}});
    }
    EXPECT_TRUE(rig.host.wait_view([](const sim::HostView &v) { return v.typed.ends_with('\n'); }, 1s));
    EXPECT_EQ(rig.host.view().typed, "ixiyx\n");
}

TEST(CoreOnBoard, KeysFlowWhileTheHostIgnoresTheMouseEndpoint)
{
    Stdout out;
    Rig rig([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); });
    auto &ev = rig.ev;
    // A Linux console opens the keyboard only: the mouse endpoint is never polled.
    rig.host.set_poll_only_open(true);
    rig.host.open_input(kKeyboardEp);
    size_t from = rig.host.reports(kKeyboardEp).size();
    std::vector<std::vector<uint8_t>> want;
    for (uint16_t code = KEY_Q; code <= KEY_P; ++code) { // usages 0x14 0x1A 0x08 ...
        ev.packet(1, {{EV_REL, REL_X, 1}});
        ev.packet(0, {{EV_KEY, code, 1}});
        ev.packet(1, {{EV_REL, REL_Y, 1}, {EV_KEY, BTN_RIGHT, code % 2}});
        ev.packet(0, {{EV_KEY, code, 0}});
        want.push_back({static_cast<uint8_t>(hid_usage_from_keycode(code))});
        want.push_back({});
        usleep(2000);
    }
    // Each key waited 100 ms for the mouse report before: 2 s for these twenty.
    ASSERT_TRUE(rig.host.wait_reports(kKeyboardEp, from + want.size(), 1s));
    EXPECT_EQ(key_reports(rig.host, from), want);
    EXPECT_EQ(out.take().find("tx timeout"), std::string::npos) << "the listener never waits for the host";
}

TEST(CoreOnBoard, SignalsNeverEndTheLibraryThreads)
{
    Stdout out;
    Rig rig([](sim::Board &b) { b.plug_keyboard(0); });
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr); // no SA_RESTART: every wait in the threads is cut short
    std::vector<pid_t> ids = threads_named("hb-input");
    auto dev = threads_named("hb-device");
    ASSERT_EQ(ids.size(), 1u);
    ASSERT_EQ(dev.size(), 1u);
    ids.push_back(dev[0]);

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop)
            for (pid_t t : ids) {
                syscall(SYS_tgkill, getpid(), t, SIGUSR1);
                usleep(200);
            }
    });
    for (int i = 0; i < 50; ++i) {
        rig.ev.packet(0, {{EV_KEY, KEY_A, 1}});
        ASSERT_TRUE(rig.host.wait_view([](auto &v) { return v.key_held(0x04); }, 1s)) << i;
        rig.ev.packet(0, {{EV_KEY, KEY_A, 0}});
        ASSERT_TRUE(rig.host.wait_view([](auto &v) { return !v.key_held(0x04); }, 1s)) << i;
    }
    stop = true;
    sender.join();
    EXPECT_EQ(out.take().find("poll"), std::string::npos);
}
