// A USB/IP server (on 127.0.0.1 unless told another address) that exports the device end of
// the cable as one full-speed device, so that a real Linux kernel (vhci-hcd: a QEMU guest, or
// the PC's own desktop through `usbip attach`) is the host.
// The bridge plays the exporting machine's host controller: it turns every submitted URB
// into transactions on the UsbDevicePort (SETUP, data and status stages; one interrupt
// transaction per 1 ms frame and interval; NAKed transactions retried), keeps the data
// toggles, and answers UNLINK.
//
//   sim::UsbipBridge bridge(board.chip);
//   bridge.start();                        // listening; bridge.port() is the TCP port
//   ... the guest imports bus id "1-1" ...
//   bridge.wait([](const sim::UsbipBridge::Stats &s, auto &) { return s.imported; }, 10s);
//   auto urbs = bridge.urbs();             // every finished URB, in order
//
// Reset and address: vhci-hcd resets its own virtual port and completes the client's
// SET_ADDRESS itself, so neither ever reaches a server. As on a real exporting host, the
// device's resets and address are the bridge's: when the device attaches (to learn what to
// list) and at each import, it resets the bus, reads the device descriptor at address 0,
// resets again, gives the device its address and reads the device and configuration
// descriptors, which also say what each endpoint is (a URB carries no transfer type). The
// configuration is left to the client. A SET_ADDRESS that does arrive is completed without
// reaching the device.
//
// One importer at a time, and the cable follows it: every import is a plug (reset, address,
// descriptors, then the answer), and while nobody holds the device (before the first import,
// after a detach or a dropped connection) its bus is idle, as for an unplugged cable: the
// device is suspended. Other connections meanwhile get the device list, or a busy answer to
// an import.
//
// Threads: one thread of its own serves the socket and the bus. Each call into the device
// port is made with the kernel mutex held, one transaction at a time.
#pragma once

#include "usb_port.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct UsbipBridgeOptions {
    std::string listen_address = "127.0.0.1"; // IPv4
    uint16_t port = 0;         // 0: any free port
    std::string busid = "1-1";
    uint32_t busnum = 1;
    uint8_t address = 2;       // address 1 is taken by the exporting host's root hub
    // How long an import waits for the device to attach and be addressed.
    std::chrono::milliseconds import_wait{10000};
    // URBs kept for urbs() and urbs_from(), the oldest going first; 0: all of them.
    size_t log_limit = 0;
};

class UsbipBridge {
public:
    // One URB as it ended.
    struct UrbRecord {
        uint32_t seqnum = 0;
        uint8_t ep = 0;
        bool in = false;
        bool control = false;
        std::array<uint8_t, 8> setup{};
        int32_t status = 0;         // 0 or a negative errno, as the client sees it
        bool unlinked = false;      // removed by CMD_UNLINK before it ended
        bool local = false;         // answered without the device (SET_ADDRESS)
        std::vector<uint8_t> data;  // OUT: what the device accepted; IN: what it sent
        uint64_t t_us = 0;          // since start()
    };
    struct Stats {
        bool enumerated = false;    // reset, addressed, descriptors read
        bool imported = false;      // a client holds the device now
        bool idle = false;          // nobody holds it: its bus is idle (suspended)
        unsigned enumerations = 0, imports = 0, connections = 0;
        unsigned busy = 0;          // imports refused because another client held the device
        uint64_t submits = 0, completions = 0, unlinks = 0, unlink_hits = 0;
        uint64_t retransmissions = 0; // IN packets dropped for a repeated toggle
        std::vector<uint8_t> device_descriptor, config_descriptor;
        std::string last_error;
    };
    using Pred = std::function<bool(const Stats &, const std::vector<UrbRecord> &)>;

    explicit UsbipBridge(UsbDevicePort &dev, UsbipBridgeOptions opts = {});
    ~UsbipBridge();
    UsbipBridge(const UsbipBridge &) = delete;
    UsbipBridge &operator=(const UsbipBridge &) = delete;

    // Binds the address and starts the thread; false (errno set) when the socket cannot be had.
    bool start();
    // Ends the thread and closes every socket.
    void stop();
    uint16_t port() const { return port_; }

    Stats stats() const;
    std::vector<UrbRecord> urbs() const;
    // The URBs ended since `cursor` (0 at first), which moves past them; those the log
    // limit dropped meanwhile are skipped.
    std::vector<UrbRecord> urbs_from(uint64_t &cursor) const;
    // Until pred(stats, urbs) holds; false on time-out.
    bool wait(const Pred &pred, std::chrono::milliseconds timeout) const;

private:
    // A submitted URB and how far the bus has got with it.
    struct Urb {
        uint32_t seqnum = 0;
        uint8_t ep = 0;
        bool in = false;
        bool control = false;
        uint32_t flags = 0;
        uint32_t length = 0;
        uint32_t interval = 1;
        std::array<uint8_t, 8> setup{};
        std::vector<uint8_t> data; // OUT: the payload; IN: what has arrived
        uint32_t done = 0;         // OUT bytes accepted so far
        uint8_t stage = 0;
        uint8_t toggle = 0;
        uint8_t strikes = 0;       // transactions in a row without a handshake
        uint64_t due_frame = 0;
        int32_t status = 0;        // once finished
        bool local = false;
        unsigned retransmissions = 0;
    };
    struct EpInfo {
        uint8_t type = 0; // 0 none, 2 bulk, 3 interrupt (as bmAttributes)
        uint16_t mps = 0;
        uint8_t interface = 0;
    };
    enum class Step : uint8_t { Progress, Wait, Finished };

    void run();
    // A connection that has not imported: it asks for the list or for an import.
    struct Asker {
        int fd = -1;
        std::vector<uint8_t> rx;
    };

    // Socket side.
    void accept_client();
    bool serve_asker(Asker &a); // true when the connection is done with (closed or imported)
    bool read_client();
    void parse_client();
    std::vector<uint8_t> device_list() const;
    void reply_import();
    void submit(const uint8_t *hdr, const uint8_t *payload);
    void unlink(const uint8_t *hdr);
    void send_all(const void *buf, size_t len);
    void close_client(const char *why);
    void log(UrbRecord r); // mu_ held
    // Bus side.
    void enumerate();
    void go_idle();
    void schedule(bool new_frame);
    Step control_step(Urb &u);
    Step no_ack(Urb &u, Handshake hs);
    Step interrupt_step(Urb &u);
    void finish(Urb &u, int32_t status);
    void after_control(const Urb &u);
    void reset_toggles();
    bool parse_config();
    // A control transfer of the bridge's own, run to its end (or a second's worth of NAKs).
    int control_sync(uint8_t addr, const std::array<uint8_t, 8> &setup, std::vector<uint8_t> &in);
    void fill_device_record(uint8_t *rec) const;
    uint64_t now_us() const;
    void note(const std::function<void(Stats &)> &f);

    UsbDevicePort &dev_;
    UsbipBridgeOptions opts_;
    uint16_t port_ = 0;
    int listen_fd_ = -1, client_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::chrono::steady_clock::time_point t0_;

    // Bridge thread only.
    std::vector<uint8_t> rx_;
    std::vector<Asker> askers_;
    bool imported_ = false;
    bool import_pending_ = false;
    bool plug_pending_ = false; // an import asked for: reset and enumerate before the answer
    bool idle_ = false;
    std::chrono::steady_clock::time_point import_deadline_;
    bool enumerated_ = false;
    uint8_t addr_ = 0;
    uint8_t mps0_ = 8;
    std::array<EpInfo, 16> in_eps_{}, out_eps_{};
    std::array<uint8_t, 16> in_tog_{}, out_tog_{};
    std::vector<uint8_t> dev_desc_, cfg_desc_;
    std::deque<Urb> urbs_; // submitted and not yet ended, in order
    uint64_t frame_ = 0;

    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    Stats stats_;
    std::vector<UrbRecord> log_;
    uint64_t log_base_ = 0; // URBs dropped from the front of log_ by the limit
};

} // namespace sim
