// The keyboards and mice behind the board's hub, as the kernel's evdev presents them:
// /dev/input/event0 .. event4. Each open file is an evdev client: a ring of native struct
// input_event records (64 by default, set_buffer_size() to change it) of which only whole
// packets can be read, i.e. records up to the last SYN_REPORT queued; poll reports POLLIN
// while one is readable. A record queued into a full ring throws away everything unread and
// leaves SYN_DROPPED and that record, readable once the next SYN_REPORT arrives, as evdev
// does. EVIOCGKEY returns the device's key bitmap and, like evdev, takes the EV_KEY records
// out of the file's queue (the bitmap already holds them). Records are stamped on real time
// until EVIOCSCLOCKID asks a file for the monotonic (or boot) clock. Pulling a device (or
// switching the hub off, GPIO 47 low) hangs its open files up: poll reports POLLHUP |
// POLLERR, reads and ioctls fail with ENODEV. Files are non-blocking only. Writing EV_LED records to a file opened
// for writing sets the device's LEDs, as evdev hands them to the keyboard's driver (a device
// without LEDs ignores them on a kernel; the model keeps them for every device).
//
// What the kernel's input core does before evdev is not modelled: records are not filtered
// (a repeated press or a zero motion is queued as emitted) and empty packets are queued.
#pragma once

#include "gpio_model.h"
#include "kernel.h"

#include <linux/input.h>

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace sim {

class EventDevices : public Device {
public:
    static constexpr int kCount = 5;
    static constexpr int kHubPowerLine = 47;
    // evdev's ring: 8 packets of the device's size, at least 64 records, a power of two.
    // Without capability bits the model uses the minimum.
    static constexpr size_t kDefaultBufferSize = 64;
    // A mouse with X, Y and a wheel: 8 packets of 3 axes, SYN_REPORT and 7 for keys = 88.
    static constexpr size_t kMouseBufferSize = 128;
    static constexpr size_t kKeyBits = 0x300; // KEY_MAX + 1: the bitmap EVIOCGKEY copies

    struct Ev {
        uint16_t type = 0, code = 0;
        int32_t value = 0;
    };

    explicit EventDevices(GpioModel &gpio);
    ~EventDevices() override;

    // Test side; each takes the kernel mutex.
    void plug(int n);
    void unplug(int n);
    bool plugged(int n) const;
    bool present(int n) const;       // plugged and the hub powered
    bool hub_powered() const;
    void fail_open(int n, bool fail); // the node exists but opening it fails with EACCES
    int open_files(int n) const;      // open files of the device that has not hung up
    // Ring size in records for device n, rounded up to a power of two (at least 4); for the
    // files opened from now on and for those open now (their queue is passed into the new
    // ring, overflowing it if it does not fit).
    void set_buffer_size(int n, size_t events);
    // Queued on every live open file of device n; lost when none is open, as on a kernel.
    // EV_KEY records also change the device's key state while it is present.
    void emit(int n, uint16_t type, uint16_t code, int32_t value);
    void key(int n, uint16_t code, int32_t value) { emit(n, EV_KEY, code, value); }
    void button(int n, uint16_t code, bool down) { emit(n, EV_KEY, code, down ? 1 : 0); }
    void rel(int n, uint16_t axis, int32_t value) { emit(n, EV_REL, axis, value); }
    void syn(int n) { emit(n, EV_SYN, SYN_REPORT, 0); }
    // The records and a SYN_REPORT, in one step under one time stamp, as the input core
    // hands a packet to evdev.
    void packet(int n, std::initializer_list<Ev> evs);
    // The same, sent the moment device n's next file is opened: the first thing that file
    // has queued (a key pressed just as the listener opened the device).
    void packet_at_open(int n, std::initializer_list<Ev> evs);
    // Records queued on the live files of device n and not yet read, whole packets or not.
    size_t pending(int n) const;
    // Of those, the ones a read would return now.
    size_t readable(int n) const;
    // Overflows of the files of device n so far (each left a SYN_DROPPED behind).
    size_t dropped(int n) const;
    // The device's key state as EVIOCGKEY reports it.
    bool key_down(int n, uint16_t code) const;
    // The device's LEDs, bit n = LED code n (LED_NUML 0, LED_CAPSL 1, LED_SCROLLL 2); a device
    // plugged in starts with them off.
    uint32_t leds(int n) const;
    // Wait until device n has `files` live open files / no pending records; false on time-out.
    bool wait_open(int n, int files, std::chrono::milliseconds timeout) const;
    bool wait_drained(int n, std::chrono::milliseconds timeout) const;

    bool owns(std::string_view path) const override;
    bool exists(std::string_view path) const override;
    std::unique_ptr<VFile> open(std::string_view path, int flags, int *err) override;

    class File;

private:
    friend class File;
    int parse(std::string_view path) const; // device number, or -1
    void hang_up(int n);
    void set_hub_power(int level);
    void queue(int n, const input_event &ev); // kernel mutex held
    void queue_packet(int n, std::span<const Ev> evs); // and a SYN_REPORT, one time stamp; the same

    struct Node {
        bool plugged = false;
        bool fail_open = false;
        size_t buffer_size = kDefaultBufferSize;
        size_t dropped = 0;
        std::bitset<kKeyBits> keys; // while present; a new device starts with none down
        uint32_t leds = 0;
        std::vector<Ev> at_open;    // packet_at_open's records
        std::vector<File *> files;  // live open files
    };
    std::array<Node, kCount> nodes_;
    std::vector<File *> all_files_; // hung up or not, until closed
    bool hub_on_ = true; // the hub is powered until the library switches it
};

} // namespace sim
