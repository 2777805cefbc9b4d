// The keyboards and mice behind the board's hub, as the kernel's evdev presents them:
// /dev/input/event0 .. event4. Each open file has its own queue of native struct input_event
// records, like an evdev client; poll reports POLLIN while it holds one. Pulling a device
// (or switching the hub off, GPIO 47 low) hangs its open files up: poll reports POLLHUP |
// POLLERR and reads fail with ENODEV, queued records or not. Files are non-blocking only.
#pragma once

#include "gpio_model.h"
#include "kernel.h"

#include <linux/input.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

class EventDevices : public Device {
public:
    static constexpr int kCount = 5;
    static constexpr int kHubPowerLine = 47;

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
    // Queued on every live open file of device n; lost when none is open, as on a kernel.
    void emit(int n, uint16_t type, uint16_t code, int32_t value);
    void key(int n, uint16_t code, int32_t value) { emit(n, EV_KEY, code, value); }
    void button(int n, uint16_t code, bool down) { emit(n, EV_KEY, code, down ? 1 : 0); }
    void rel(int n, uint16_t axis, int32_t value) { emit(n, EV_REL, axis, value); }
    void syn(int n) { emit(n, EV_SYN, SYN_REPORT, 0); }
    // Records queued on the live files of device n and not yet read.
    size_t pending(int n) const;
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

    struct Node {
        bool plugged = false;
        bool fail_open = false;
        std::vector<File *> files; // live open files
    };
    std::array<Node, kCount> nodes_;
    std::vector<File *> all_files_; // hung up or not, until closed
    bool hub_on_ = true; // the hub is powered until the library switches it
};

} // namespace sim
