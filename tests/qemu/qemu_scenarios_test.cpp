// A host nobody here wrote: a stock Debian kernel in QEMU imports the virtual board through
// the USB/IP bridge, and its usbcore, usbhid and hid-generic drivers enumerate it. The whole
// library runs on the board side, started by km_init, and what the guest's evdev delivers
// is compared with what the application and the physical devices did: every event, in order,
// nothing more. Each case is one QEMU run; they skip where QEMU cannot be installed.
#include "board.h"
#include "hidbridge.h"
#include "qemu_guest.h"
#include "usbfunc.h"
#include "usbip_bridge.h"

#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <algorithm>
#include <cctype>
#include <thread>

// For gtest's messages: "type code value" instead of the bytes.
void PrintTo(const GuestEvent &e, std::ostream *os) { *os << e.type << ' ' << e.code << ' ' << e.value; }

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Urbs = std::vector<sim::UsbipBridge::UrbRecord>;

constexpr auto kBootTimeout = 90s; // QEMU start to the reader's "ready", emulated CPU

GuestEvent key(unsigned code, int value) { return {0, EV_KEY, code, value}; }
GuestEvent rel(unsigned code, int value) { return {0, EV_REL, code, value}; }
GuestEvent syn() { return {0, EV_SYN, SYN_REPORT, 0}; }
// One wheel notch as hid-input reports it: the classic axis and the high-resolution one
// (120 per notch).
std::vector<GuestEvent> wheel(int notches)
{
    return {rel(REL_WHEEL, notches), rel(REL_WHEEL_HI_RES, notches * 120), syn()};
}

// Absolute deadlines: a late wake-up does not push every later event back.
void sleep_until(Clock::time_point t)
{
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string describe(const std::vector<GuestEvent> &ev)
{
    std::string s;
    for (auto &e : ev) {
        const char *t = e.type == EV_SYN ? "SYN" : e.type == EV_KEY ? "KEY" : e.type == EV_REL ? "REL" : "?";
        s += std::string("  ") + t + " " + std::to_string(e.code) + " " + std::to_string(e.value) + "\n";
    }
    return s;
}

// Completed interrupt IN URBs of one endpoint (number) that carried a report.
size_t reports_on(const Urbs &urbs, uint8_t ep)
{
    return size_t(std::count_if(urbs.begin(), urbs.end(), [ep](auto &u) {
        return !u.control && u.in && u.ep == ep && u.status == 0 && !u.data.empty();
    }));
}

class RealHost : public ::testing::Test {
protected:
    // Boots the guest and starts the library; plug runs before that (physical devices).
    void boot(const std::function<void(sim::Board &)> &plug = {}, const GuestOptions &opts = {})
    {
        std::string why = QemuGuest::prepare();
        if (!why.empty())
            GTEST_SKIP() << "QEMU scenarios skipped: " << why;
        t0 = Clock::now();
        // The board and the library live as long as the process, as the library's threads do.
        board = new sim::Board;
        if (plug)
            plug(*board);
        bridge = new sim::UsbipBridge(board->chip);
        ASSERT_TRUE(bridge->start());
        ASSERT_TRUE(guest.start(bridge->port(), opts));
        std::thread([this] {
            km_init();
            initialised = true;
        }).detach();
        // The kernel's console keyboard handler opens the keyboard at probe, so reports flow
        // before the reader is there: scripted input starts only once it has said so.
        ASSERT_FALSE(guest.wait_line("HB-READY", kBootTimeout).empty())
            << "the guest's reader never got ready:\n" << guest.transcript();
        auto end = Clock::now() + 10s;
        while (!initialised && Clock::now() < end)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(initialised) << "km_init did not return:\n" << guest.transcript();
        for (auto &[n, d] : guest.devices()) {
            if (d.caps.find("rel") != std::string::npos)
                mouse = n;
            else if (d.caps.find("led") != std::string::npos)
                keyboard = n;
        }
        // Left closed by the reader: the one without LEDs is the mouse.
        if (auto closed = guest.skipped(); opts.keyboards_only && closed.size() == 1)
            mouse = closed[0];
        ASSERT_GE(mouse, 0) << guest.transcript();
        ASSERT_GE(keyboard, 0) << guest.transcript();
        ready_at = Clock::now();
    }

    // Ends the guest's reader, lets the guest print its kernel log and power off.
    void end_guest()
    {
        guest.send("END");
        EXPECT_FALSE(guest.wait_line("HB-DONE", 30s).empty()) << guest.transcript();
        EXPECT_TRUE(guest.finish(10s)) << "QEMU had to be killed";
        using secs = std::chrono::duration<double>;
        std::printf("QEMU run: %.1f s (boot to ready %.1f s)\n", secs(Clock::now() - t0).count(),
                    secs(ready_at - t0).count());
    }

    void TearDown() override
    {
        guest.finish(0ms);
        delete bridge; // the library's threads go on with the board, not with the bridge
    }

    // The events of one guest device, without the scan codes hid-input sends before keys
    // and buttons and without the echo of the reader's own auto-repeat setting.
    std::vector<GuestEvent> events_of(int dev) const
    {
        std::vector<GuestEvent> out;
        for (auto e : guest.events())
            if (e.dev == dev && e.type != EV_MSC && e.type != EV_REP) {
                e.dev = 0;
                out.push_back(e);
            }
        return out;
    }

    void expect_events(int dev, const std::vector<GuestEvent> &want, const char *what) const
    {
        auto got = events_of(dev);
        EXPECT_EQ(got, want) << what << ": the guest saw\n"
                             << describe(got) << "expected\n"
                             << describe(want) << guest.transcript();
    }

    // Waits until the bridge has handed the guest `n` more reports on ep than `before`.
    bool reports_after(uint8_t ep, size_t before, size_t n = 1)
    {
        return bridge->wait([&](auto &, const Urbs &u) { return reports_on(u, ep) >= before + n; }, 3s);
    }

    QemuGuest guest;
    sim::Board *board = nullptr;
    sim::UsbipBridge *bridge = nullptr;
    std::atomic<bool> initialised{false};
    int mouse = -1, keyboard = -1;
    Clock::time_point t0, ready_at;
};

TEST_F(RealHost, EnumeratesAsFullSpeedKeyboardAndMouse)
{
    boot();
    if (IsSkipped() || HasFatalFailure())
        return;
    end_guest();
    auto klog = guest.kernel_log();
    auto has = [&](std::initializer_list<const char *> parts) {
        return std::any_of(klog.begin(), klog.end(), [&](const std::string &l) {
            return std::all_of(parts.begin(), parts.end(), [&](const char *p) { return l.find(p) != l.npos; });
        });
    };
    EXPECT_TRUE(has({"usb 1-1: new full-speed USB device number ", " using vhci_hcd"})) << guest.transcript();
    EXPECT_TRUE(has({"usb 1-1: New USB device found, idVendor=4843, idProduct=0120, bcdDevice= 1.00"}));
    // hid-generic binds both interfaces; which HID device is which interface it says here:
    // "hid-generic 0003:4843:0120.0001: input,hidraw0: USB HID v1.10 Mouse [HID 4843:0120]
    // on usb-vhci_hcd.0-1/input0".
    std::map<int, std::string> hid_of_interface;
    for (const std::string &l : klog) {
        size_t at = l.find("hid-generic 0003:4843:0120.");
        if (at == l.npos)
            continue;
        std::string id = l.substr(at + 12, l.find(": ", at) - at - 12);
        for (int itf : {0, 1}) {
            std::string kind = itf == 0 ? "Mouse" : "Keyboard";
            std::string tail = " USB HID v1.10 " + kind + " [HID 4843:0120] on usb-vhci_hcd.0-1/input" + std::to_string(itf);
            if (l.find(": input,hidraw") != l.npos && l.ends_with(tail))
                hid_of_interface[itf] = id;
        }
    }
    ASSERT_EQ(hid_of_interface.size(), 2u) << guest.transcript();
    // Nothing went wrong on the way: no driver complained about the device.
    for (std::string l : klog) {
        std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        bool ours = l.find("1-1") != l.npos || l.find("hid") != l.npos || l.find("input") != l.npos;
        bool complaint = false;
        for (const char *w : {"error", "fail", "timeout", "unable", "can't", "cannot", "not accept"})
            complaint = complaint || l.find(w) != l.npos;
        size_t dash = l.rfind(" -");
        complaint = complaint || (dash != l.npos && dash + 2 < l.size() &&
                                  l.find_first_not_of("0123456789", dash + 2) == l.npos); // "... -71"
        EXPECT_FALSE(ours && complaint) << l;
    }

    // The kernel read both report descriptors byte for byte as the library holds them.
    auto rdesc = guest.report_descriptors();
    EXPECT_EQ(rdesc[hid_of_interface[0]], std::vector<uint8_t>(std::begin(ReportDescriptor_mouse),
                                                               std::end(ReportDescriptor_mouse)));
    EXPECT_EQ(rdesc[hid_of_interface[1]], std::vector<uint8_t>(std::begin(ReportDescriptor_keyboard),
                                                               std::end(ReportDescriptor_keyboard)));
    // Every URB of the enumeration succeeded (an unlink at the end is the guest closing).
    for (auto &u : bridge->urbs())
        EXPECT_TRUE(u.unlinked || u.status == 0) << "URB " << u.seqnum << " ep " << int(u.ep) << ": " << u.status;
}

TEST_F(RealHost, SeesWhatTheApplicationTypesAndClicks)
{
    boot();
    if (IsSkipped() || HasFatalFailure())
        return;
    // Each operation returns once the guest's host controller has collected its report.
    EXPECT_EQ(km_keypress(0x04), 0); // a
    EXPECT_EQ(km_keydown(0xE1), 0);  // left shift held over a tap of c
    EXPECT_EQ(km_keypress(0x06), 0);
    EXPECT_EQ(km_keyup(0xE1), 0);
    km.media = 2; // volume up, sent by the next keyboard composition
    EXPECT_EQ(km_keydown(0), 0);
    km.media = 9; // every consumer key released
    EXPECT_EQ(km_keyup(0), 0);
    km.media = 0;
    EXPECT_EQ(km_move(10, -5), 0);
    EXPECT_EQ(km_wheel(1), 0);
    EXPECT_EQ(km_wheel(255), 0);
    EXPECT_EQ(km_left(1), 0);
    EXPECT_EQ(km_left(0), 0);
    EXPECT_EQ(km_side1(1), 0);
    EXPECT_EQ(km_side1(0), 0);
    std::this_thread::sleep_for(300ms); // the guest prints what it got
    end_guest();

    expect_events(keyboard,
                  {key(KEY_A, 1), syn(), key(KEY_A, 0), syn(), key(KEY_LEFTSHIFT, 1), syn(), key(KEY_C, 1), syn(),
                   key(KEY_C, 0), syn(), key(KEY_LEFTSHIFT, 0), syn(), key(KEY_VOLUMEUP, 1), syn(),
                   key(KEY_VOLUMEUP, 0), syn()},
                  "keyboard");
    std::vector<GuestEvent> want = {rel(REL_X, 10), rel(REL_Y, -5), syn()};
    for (int n : {1, -1})
        for (auto &e : wheel(n))
            want.push_back(e);
    for (unsigned b : {BTN_LEFT, BTN_SIDE})
        for (auto &e : {key(b, 1), syn(), key(b, 0), syn()})
            want.push_back(e);
    expect_events(mouse, want, "mouse");
}

TEST_F(RealHost, SeesThePhysicalKeyboardAndMouseOnTheBoard)
{
    boot([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); });
    if (IsSkipped() || HasFatalFailure())
        return;
    sim::EventDevices &ev = board->events;
    ASSERT_TRUE(ev.wait_open(0, 1, 3s) && ev.wait_open(1, 1, 3s));
    // One batch per physical report; the next one goes only after the guest has the report
    // this one caused, so the input thread cannot merge two of them.
    auto batch = [&](int port, uint8_t ep, std::initializer_list<std::array<int, 3>> events) {
        size_t before = reports_on(bridge->urbs(), ep);
        for (auto &e : events)
            ev.emit(port, uint16_t(e[0]), uint16_t(e[1]), e[2]);
        ev.syn(port);
        EXPECT_TRUE(reports_after(ep, before)) << "no report after a batch on event" << port;
    };
    batch(0, 2, {{EV_KEY, KEY_B, 1}});
    batch(0, 2, {{EV_KEY, KEY_B, 0}});
    batch(0, 2, {{EV_KEY, KEY_LEFTCTRL, 1}});
    batch(0, 2, {{EV_KEY, KEY_D, 1}});
    batch(0, 2, {{EV_KEY, KEY_D, 0}});
    batch(0, 2, {{EV_KEY, KEY_LEFTCTRL, 0}});
    batch(1, 1, {{EV_REL, REL_X, 7}, {EV_REL, REL_Y, -3}});
    batch(1, 1, {{EV_KEY, BTN_RIGHT, 1}});
    batch(1, 1, {{EV_REL, REL_X, -300}});
    batch(1, 1, {{EV_KEY, BTN_RIGHT, 0}});
    batch(1, 1, {{EV_REL, REL_WHEEL, -1}});
    std::this_thread::sleep_for(300ms);
    end_guest();

    expect_events(keyboard,
                  {key(KEY_B, 1), syn(), key(KEY_B, 0), syn(), key(KEY_LEFTCTRL, 1), syn(), key(KEY_D, 1), syn(),
                   key(KEY_D, 0), syn(), key(KEY_LEFTCTRL, 0), syn()},
                  "keyboard");
    std::vector<GuestEvent> want = {rel(REL_X, 7),       rel(REL_Y, -3),        syn(), key(BTN_RIGHT, 1), syn(),
                                    rel(REL_X, -300),    syn(),                 key(BTN_RIGHT, 0), syn()};
    for (auto &e : wheel(-1))
        want.push_back(e);
    expect_events(mouse, want, "mouse");
}

TEST_F(RealHost, KeyboardLedReportReachesTheDevice)
{
    boot();
    if (IsSkipped() || HasFatalFailure())
        return;
    auto out_reports = [](const Urbs &urbs) {
        std::vector<std::vector<uint8_t>> r;
        for (auto &u : urbs)
            if (!u.control && !u.in && u.ep == 2 && u.status == 0)
                r.push_back(u.data);
        return r;
    };
    // usbhid sends the LED state when it binds a boot keyboard; that transfer is what
    // makes the device usable: nothing was collected from it before.
    Urbs urbs = bridge->urbs();
    auto first_out = std::find_if(urbs.begin(), urbs.end(), [](auto &u) { return !u.control && !u.in; });
    auto first_in = std::find_if(urbs.begin(), urbs.end(), [](auto &u) { return !u.control && u.in; });
    ASSERT_NE(first_out, urbs.end());
    EXPECT_EQ(first_out->data, (std::vector<uint8_t>{0x01, 0x00}));
    EXPECT_LT(first_out - urbs.begin(), first_in - urbs.begin());
    EXPECT_EQ(std::atomic_ref<uint8_t>(km.configok).load(), 1);

    // Caps Lock on, then Num Lock with it, then both off, set from the guest's side; each
    // report lands in the chip's endpoint 2 receive buffer, where the library reads it.
    size_t before = out_reports(urbs).size();
    const std::pair<const char *, uint8_t> steps[] = {{"LED 1 1", 0x02}, {"LED 0 1", 0x03}, {"LED 1 0", 0x01},
                                                      {"LED 0 0", 0x00}};
    for (auto [cmd, leds] : steps) {
        size_t n = out_reports(bridge->urbs()).size();
        guest.send(cmd);
        EXPECT_TRUE(bridge->wait([&](auto &, const Urbs &u) { return out_reports(u).size() > n; }, 5s)) << cmd;
        EXPECT_EQ(board->chip.peek(sim::Ch374Model::Ep2Rx), 0x01) << cmd;
        EXPECT_EQ(board->chip.peek(sim::Ch374Model::Ep2Rx + 1), leds) << cmd;
    }
    auto outs = out_reports(bridge->urbs());
    outs.erase(outs.begin(), outs.begin() + long(before));
    EXPECT_EQ(outs, (std::vector<std::vector<uint8_t>>{{1, 0x02}, {1, 0x03}, {1, 0x01}, {1, 0x00}}));
    EXPECT_EQ(std::atomic_ref<uint8_t>(km.configok).load(), 1);
    end_guest();
}

// Linux polls an interrupt endpoint only while its input device is open. A guest with nothing
// but a text console opens the keyboard alone, so the mouse's endpoint is never polled; keys
// typed on the board's keyboard must not wait for it.
TEST_F(RealHost, TypingArrivesWhileTheMouseEndpointIsNotPolled)
{
    GuestOptions opts;
    opts.keyboards_only = true;
    opts.run_s = 120; // a listener that waits on the mouse takes about 40 s for these keys
    boot([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); }, opts);
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_EQ(guest.skipped().size(), 1u) << guest.transcript();
    sim::EventDevices &ev = board->events;
    ASSERT_TRUE(ev.wait_open(0, 1, 3s) && ev.wait_open(1, 1, 3s));

    // 200 keys at 20 a second, each held 25 ms: the letters in turn, Enter last.
    constexpr int kKeys = 200;
    constexpr auto kEvery = 50ms, kHeld = 25ms;
    const unsigned letters[] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
                                KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
                                KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};
    std::vector<unsigned> codes;
    for (int i = 0; i + 1 < kKeys; i++)
        codes.push_back(letters[i % 26]);
    codes.push_back(KEY_ENTER);
    std::vector<Clock::time_point> typed(kKeys);
    const size_t first_line = guest.line_count();
    const auto start = Clock::now() + 10ms;
    Clock::time_point last_typed;
    for (int i = 0; i < kKeys; i++) {
        sleep_until(start + i * kEvery);
        typed[i] = Clock::now();
        ev.key(0, uint16_t(codes[size_t(i)]), 1);
        ev.syn(0);
        sleep_until(start + i * kEvery + kHeld);
        last_typed = Clock::now();
        ev.key(0, uint16_t(codes[size_t(i)]), 0);
        ev.syn(0);
    }
    const std::string enter_up = "HB-EV " + std::to_string(keyboard) + " 1 " + std::to_string(KEY_ENTER) + " 0";
    const bool arrived = !guest.wait_line(enter_up, 80s, first_line).empty();

    // When each press reached the PC's end of the guest's console, against when it was typed.
    auto lines = guest.lines();
    auto at = guest.arrivals();
    const std::string press_of = "HB-EV " + std::to_string(keyboard) + " 1 ";
    // A press seen is the next key typed with its code (a listener may lose some).
    std::vector<double> delay;
    double last_delay = -1;
    size_t next = 0;
    for (size_t l = first_line; l < lines.size(); l++) {
        unsigned code;
        int value;
        if (lines[l].rfind(press_of, 0) != 0 ||
            std::sscanf(lines[l].c_str() + press_of.size(), "%u %d", &code, &value) != 2)
            continue;
        if (value == 1) {
            size_t k = next;
            while (k < codes.size() && codes[k] != code)
                k++;
            if (k < codes.size()) {
                delay.push_back(ms(at[l] - typed[k]));
                next = k + 1;
            }
        }
        if (code == KEY_ENTER && value == 0)
            last_delay = ms(at[l] - last_typed);
    }
    std::vector<double> sorted = delay;
    std::sort(sorted.begin(), sorted.end());
    if (!sorted.empty())
        std::printf("typing with the mouse endpoint not polled: %zu of %d presses seen, typed -> guest median %.0f ms, "
                    "max %.0f ms; the last key's release %.0f ms after it was typed\n",
                    sorted.size(), kKeys, sorted[sorted.size() / 2], sorted.back(), last_delay);
    end_guest();

    // The guest's usbhid never asked for a mouse report: the case is what it says.
    for (auto &u : bridge->urbs())
        EXPECT_FALSE(!u.control && u.in && u.ep == 1) << "the guest polled the mouse endpoint";
    std::vector<GuestEvent> want;
    for (unsigned c : codes)
        for (auto &e : {key(c, 1), syn(), key(c, 0), syn()})
            want.push_back(e);
    expect_events(keyboard, want, "typing");
    ASSERT_TRUE(arrived) << "the last key never arrived";
    EXPECT_GE(last_delay, 0);
    EXPECT_LT(last_delay, 1000) << "the last key arrived " << last_delay << " ms after it was typed";
}

// A mouse reporting 1,000 times a second: what the bus cannot carry frame by frame is summed,
// so afterwards the guest has moved exactly as far as the mouse did and seen every click.
// The guest's reader only adds up (printing every event would be slower than the mouse).
TEST_F(RealHost, FastMouseMotionAddsUpInTheGuest)
{
    GuestOptions opts;
    opts.sums = true;
    opts.run_s = 120;
    boot([](sim::Board &b) { b.plug_keyboard(0).plug_mouse(1); }, opts);
    if (IsSkipped() || HasFatalFailure())
        return;
    sim::EventDevices &ev = board->events;
    ASSERT_TRUE(ev.wait_open(0, 1, 3s) && ev.wait_open(1, 1, 3s));

    // One frame: X, Y, now and then the left button, SYN. Ten clicks a second, each released
    // three frames after its press.
    constexpr int kRate = 1000, kSeconds = 5, kFrames = kRate * kSeconds, kClickEvery = kRate / 10;
    const auto period = std::chrono::nanoseconds(std::chrono::seconds(1)) / kRate;
    long long want_x = 0, want_y = 0, clicks = 0;
    const size_t reports_before = reports_on(bridge->urbs(), 1);
    const auto start = Clock::now() + 10ms;
    for (int i = 0; i < kFrames; i++) {
        sleep_until(start + i * period);
        const int x = 1 + i % 5, y = -(1 + i % 3);
        ev.rel(1, REL_X, x);
        ev.rel(1, REL_Y, y);
        want_x += x;
        want_y += y;
        if (i % kClickEvery == 0) {
            ev.button(1, BTN_LEFT, true);
            clicks++;
        } else if (i % kClickEvery == 3) {
            ev.button(1, BTN_LEFT, false);
        }
        ev.syn(1);
    }
    const auto injected = Clock::now();

    // Until the guest's totals are what was injected, or have not changed for 2 s.
    GuestSums got;
    auto settled = Clock::now(), changed = Clock::now();
    for (auto end = injected + 40s; Clock::now() < end && Clock::now() - changed < 2s;
         std::this_thread::sleep_for(250ms)) {
        size_t from = guest.line_count();
        guest.send("SUMS");
        if (guest.wait_line("HB-SUM " + std::to_string(mouse) + " ", 5s, from).empty())
            continue;
        GuestSums now = guest.sums(from)[mouse];
        if (now.events != got.events) {
            got = now;
            settled = changed = Clock::now();
        }
        if (got.x == want_x && got.y == want_y && got.press == clicks && got.release == clicks)
            break;
    }
    const size_t reports = reports_on(bridge->urbs(), 1) - reports_before;
    std::printf("mouse at %d frames/s for %d s (%.0f frames/s achieved): %zu reports collected by the guest; "
                "guest sums x %lld of %lld, y %lld of %lld, presses %lld and releases %lld of %lld clicks, "
                "%lld SYN_DROPPED; totals last seen changing %.0f ms after the last frame (read every 250 ms)\n",
                kRate, kSeconds, kFrames / (ms(injected - start) / 1000), reports, got.x, want_x, got.y, want_y,
                got.press, got.release, clicks, got.dropped, ms(settled - injected));
    end_guest();

    GuestSums final = guest.sums()[mouse];
    EXPECT_EQ(final.dropped, 0) << "the guest's own evdev buffer overflowed: it did not keep up";
    EXPECT_EQ(final.x, want_x);
    EXPECT_EQ(final.y, want_y);
    EXPECT_EQ(final.press, clicks);
    EXPECT_EQ(final.release, clicks);
}

// The launcher as a user runs it: hidbridge-vboard --usbip with the forward example and a
// keyboard on port 0 fed by this test. The guest imports the board from the launcher's own
// bridge, gets what is typed on the board's keyboard, and turns Caps Lock on and off through
// its event device; the board receives each LED report and lights its keyboard's LED (the
// launcher's "host LEDs:" and "vboard: event0 LEDs:" lines).
TEST(Launcher, UsbipExportsTheBoardToARealKernelCapsLockIncluded)
{
    if (std::string why = QemuGuest::prepare(); !why.empty())
        GTEST_SKIP() << "QEMU scenarios skipped: " << why;
    char dir[] = "/tmp/hb-vboard-usbip-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/event";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildLines vboard;
    ASSERT_TRUE(vboard.start({HB_VBOARD_LAUNCHER, "--usbip", "0", "--forward", "0:" + fifo, "--", HB_FORWARD_APP}));
    const std::string started = vboard.wait_line("virtual board: ", 30s);
    unsigned port = 0;
    const size_t at = started.find("exported over USB/IP on 127.0.0.1:");
    ASSERT_TRUE(at != started.npos && std::sscanf(started.c_str() + at + 34, "%u", &port) == 1) << started;
    int ev = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC); // the board has it open: no wait
    ::unlink(fifo.c_str());
    ::rmdir(dir);
    ASSERT_GE(ev, 0);
    auto transcript = [&] { return ::testing::PrintToString(vboard.lines()); };

    QemuGuest guest;
    ASSERT_TRUE(guest.start(uint16_t(port), {}));
    ASSERT_FALSE(guest.wait_line("HB-READY", kBootTimeout).empty()) << guest.transcript() << transcript();
    int keyboard = -1;
    for (auto &[n, d] : guest.devices())
        keyboard = d.caps.find("led") != std::string::npos ? n : keyboard;
    ASSERT_GE(keyboard, 0) << guest.transcript();
    EXPECT_FALSE(vboard.wait_line("usbip: imported", 5s).empty()) << transcript();

    // h, i, Enter on the board's keyboard, each press and release a packet of its own.
    std::vector<GuestEvent> want;
    for (unsigned k : {KEY_H, KEY_I, KEY_ENTER})
        for (int value : {1, 0}) {
            input_event records[2] = {{{}, EV_KEY, uint16_t(k), value}, {{}, EV_SYN, SYN_REPORT, 0}};
            ASSERT_EQ(::write(ev, records, sizeof records), ssize_t(sizeof records));
            want.push_back(key(k, value));
            std::this_thread::sleep_for(50ms);
        }
    EXPECT_FALSE(guest.wait_line("HB-EV " + std::to_string(keyboard) + " 1 28 0", 10s).empty()) << guest.transcript();

    // Caps Lock on and off from the guest's side; each reaches the board and its keyboard.
    for (auto [cmd, names] : {std::pair{"LED 1 1", "caps"}, std::pair{"LED 1 0", "none"}}) {
        size_t from = vboard.line_count();
        guest.send(cmd);
        for (std::string line : {"host LEDs: ", "vboard: event0 LEDs: "})
            EXPECT_FALSE(vboard.wait_line(line + names, 10s, from).empty()) << cmd << "\n" << transcript();
    }

    guest.send("END");
    EXPECT_FALSE(guest.wait_line("HB-DONE", 30s).empty()) << guest.transcript();
    EXPECT_TRUE(guest.finish(10s)) << "QEMU had to be killed";
    // The guest powered off: the connection dropped, which unplugs the board's cable.
    EXPECT_FALSE(vboard.wait_line("usbip: released", 10s).empty()) << transcript();
    ::close(ev);
    vboard.signal(SIGTERM);
    EXPECT_TRUE(vboard.finish(10s)) << transcript();
    auto lines = vboard.lines();
    EXPECT_EQ(lines.empty() ? "" : lines.back(), "host typed: \"hi\\n\"") << transcript();
    std::vector<GuestEvent> got;
    for (auto e : guest.events())
        if (e.dev == keyboard && e.type == EV_KEY)
            got.push_back({0, e.type, e.code, e.value});
    EXPECT_EQ(got, want) << "the guest saw\n" << describe(got) << guest.transcript();
}

} // namespace
