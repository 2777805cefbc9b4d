// The whole library on the virtual board, on a PC with no hardware: a keyboard and a mouse
// plugged into the board, a host computer on its USB cable, and a short scripted session.
// Prints what the host computer sees as it happens; leaves the panel as a PNG and the bus
// traffic as a usbmon capture in the output folder.
//   hidbridge_demo [output-dir]
#include "hidbridge.h"
#include "lcd.h"
#include "status_screen_draw.h"

#include "board.h"

#include <linux/input-event-codes.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

sim::Board *board;
constexpr int kKeyboard = 0, kMouse = 1; // event device numbers
constexpr int kSteps = 7;

std::atomic<bool> watching{true};

void watch_host()
{
    std::string last;
    while (watching) {
        std::string now = sim::describe(board->host.view());
        if (now != last) {
            printf("    %s\n", now.c_str());
            fflush(stdout);
            last = now;
        }
        std::this_thread::sleep_for(1ms);
    }
}

void step(int n, const char *what)
{
    std::this_thread::sleep_for(30ms); // let the watcher print the previous step's last line
    printf("[%d/%d] %s\n", n, kSteps, what);
    fflush(stdout);
}

void phys(int dev, uint16_t type, uint16_t code, int32_t value)
{
    board->events.emit(dev, type, code, value);
    board->events.emit(dev, EV_SYN, SYN_REPORT, 0);
    board->events.wait_drained(dev, 1s);
    std::this_thread::sleep_for(15ms);
}

void phys_tap(uint16_t code)
{
    phys(kKeyboard, EV_KEY, code, 1);
    phys(kKeyboard, EV_KEY, code, 0);
}

} // namespace

int main(int argc, char **argv)
{
    std::string out = argc > 1 ? argv[1] : ".";
    std::string png = out + "/panel.png", pcap = out + "/bus.pcap";

    board = new sim::Board; // lives as long as the library's threads: to the end of the process
    board->gpio.set_logging(false);
    board->plug_keyboard(kKeyboard).plug_mouse(kMouse);
    board->host.capture(pcap);
    board->host.start();
    puts("virtual board: CH374 on /dev/spidev0.0, keyboard on event0, mouse on event1, host on the cable");

    step(1, "km_init: panel, device thread, input thread; the host enumerates the board");
    km_init();
    char banner[64];
    km_version(banner);
    printf("    %s", banner);
    auto snap = board->host.snapshot();
    printf("    enumerated as %02x%02x:%02x%02x in %.1f ms\n", snap.device_descriptor[9],
           snap.device_descriptor[8], snap.device_descriptor[11], snap.device_descriptor[10],
           snap.enumeration_us / 1000.0);
    draw_status_screen();
    std::thread watcher(watch_host);

    step(2, "the physical keyboard types \"Hi\" with Shift");
    phys(kKeyboard, EV_KEY, KEY_LEFTSHIFT, 1);
    phys_tap(KEY_H);
    phys(kKeyboard, EV_KEY, KEY_LEFTSHIFT, 0);
    phys_tap(KEY_I);

    step(3, "the application types \"hello\" with km_keypress");
    for (char c : std::string("hello")) {
        km_keypress(0x04 + c - 'a');
        std::this_thread::sleep_for(15ms);
    }

    step(4, "the application moves the pointer in a square with km_move");
    const int16_t dx[] = {10, 0, -10, 0}, dy[] = {0, 10, 0, -10};
    for (int side = 0; side < 4; ++side)
        for (int i = 0; i < 5; ++i) {
            km_move(dx[side], dy[side]);
            std::this_thread::sleep_for(5ms);
        }

    step(5, "the application clicks the left button");
    km_left(1);
    std::this_thread::sleep_for(15ms);
    km_left(0);

    step(6, "the application masks X; the physical keyboard then presses X (hidden) and Y");
    km_mask_key(0x1B, 1);
    phys_tap(KEY_X);
    phys_tap(KEY_Y);
    km_mask_key(0x1B, 0);

    step(7, "the application locks the physical left button; the mouse clicks (hidden) and moves");
    km.lock_ml = 1;
    phys(kMouse, EV_KEY, BTN_LEFT, 1);
    phys(kMouse, EV_REL, REL_X, 7);
    phys(kMouse, EV_KEY, BTN_LEFT, 0);
    km.lock_ml = 0;

    std::this_thread::sleep_for(50ms);
    watching = false;
    watcher.join();
    auto v = board->host.view();
    printf("done: the host saw %u keyboard and %u mouse reports; 'x' pressed %u times, left button %u times\n",
           v.keyboard_reports, v.mouse_reports, v.presses(0x1B), v.button_presses[0]);

    board->host.stop_capture();
    bool png_ok = board->panel.write_png(png, 3);
    printf("panel:   %s\n", png_ok ? png.c_str() : "(not written: built without libpng)");
    printf("capture: %s\n", pcap.c_str());
    fflush(stdout);
    _exit(0); // the library's threads have no stop: end the process here
}
