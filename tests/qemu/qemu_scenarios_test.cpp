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

#include <linux/input.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <algorithm>
#include <cctype>
#include <thread>

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
    void boot(const std::function<void(sim::Board &)> &plug = {})
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
        ASSERT_TRUE(guest.start(bridge->port(), {}));
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

} // namespace
