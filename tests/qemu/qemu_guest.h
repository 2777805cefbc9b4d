// A QEMU guest running a stock Debian kernel whose vhci-hcd imports the bridge's device, and
// what it printed on its serial console (tools/qemu/ builds it; lines for us start "HB-").
//
//   std::string why = QemuGuest::prepare();   // non-empty: cannot run here, skip
//   QemuGuest guest;
//   guest.start(bridge.port(), {.devices = 3});
//   guest.wait_line("HB-READY", 60s);         // the guest reads every event device now
//   ... input ...
//   guest.send("END");
//   guest.finish(30s);                        // powered off, or killed by its process id
//   auto ev = guest.events();
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A child process whose standard output and error are read line by line as they come.
class ChildLines {
public:
    ChildLines() = default;
    ~ChildLines();
    ChildLines(const ChildLines &) = delete;
    ChildLines &operator=(const ChildLines &) = delete;

    // Starts args[0] (looked up in PATH); false when it cannot be started.
    bool start(const std::vector<std::string> &args);
    // Until a line starting with `prefix` arrives (after the `from`-th line); the line, or "".
    std::string wait_line(const std::string &prefix, std::chrono::milliseconds timeout, size_t from = 0);
    // One line to its standard input.
    void send(const std::string &line);
    void signal(int sig);
    // Waits for it to end; at the deadline it is killed by its process id. True when it
    // ended by itself; *status (if given) is its wait status.
    bool finish(std::chrono::milliseconds timeout, int *status = nullptr);

    std::vector<std::string> lines() const;
    // When each line reached us, in the same order.
    std::vector<std::chrono::steady_clock::time_point> arrivals() const;
    size_t line_count() const;

private:
    void reader();

    pid_t pid_ = -1;
    int in_fd_ = -1, out_fd_ = -1;
    std::thread reader_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::vector<std::chrono::steady_clock::time_point> arrivals_;
    bool eof_ = false;
};

struct GuestOptions {
    int devices = 2;  // USB event devices the reader waits for before it is ready
    int run_s = 40;   // the reader's own limit after it is ready
    // Open only the devices with LEDs, as a text console does: usbhid polls no other
    // endpoint. The others are named in skipped().
    bool keyboards_only = false;
    // No line per event: totals per device, asked for with send("SUMS") and printed at the end.
    bool sums = false;
};

// What the reader counted on one device in sums mode.
struct GuestSums {
    long long x = 0, y = 0, press = 0, release = 0, dropped = 0, events = 0;
};

// One input event as the guest's evdev delivered it.
struct GuestEvent {
    int dev = 0;
    unsigned type = 0, code = 0;
    int value = 0;
    bool operator==(const GuestEvent &) const = default;
};

class QemuGuest : public ChildLines {
public:
    // Makes sure QEMU is installed and the kernel and initramfs are built (cached outside the
    // repository). Returns why the guest cannot run here, or "" when it can.
    static std::string prepare();

    // Boots the guest; its network reaches only the bridge's port on 127.0.0.1.
    bool start(uint16_t bridge_port, const GuestOptions &opts);
    // The console's lines, send() and finish() (the guest powers off) are ChildLines'.

    // Decoded from the console.
    std::vector<GuestEvent> events() const;
    struct Device {
        std::string caps; // "key+rel", "key+led": what the device reports
        std::string name;
    };
    std::map<int, Device> devices() const; // by event device number, those opened
    std::vector<int> skipped() const;      // event devices left closed (keyboards_only)
    // The last totals printed for each device (sums mode); from the `from`-th line on.
    std::map<int, GuestSums> sums(size_t from = 0) const;
    std::vector<std::string> kernel_log() const;
    std::map<std::string, std::vector<uint8_t>> report_descriptors() const; // by HID device
    // Everything the console showed, for a failure message.
    std::string transcript() const;

    static std::string kernel, initrd;
};
