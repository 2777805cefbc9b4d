// The host computer at the other end of the USB cable: a full-speed host controller and the
// part of its USB stack that enumerates this device, polls its interrupt endpoints and turns
// the reports into what the computer sees.
//
//   sim::UsbHost host(port);                  // board.host on the virtual board
//   host.start();                             // 1 ms frames on its own thread
//   ASSERT_TRUE(host.wait_configured(2s));    // enumerated, LED report sent, polling
//   ... the device sends reports ...
//   ASSERT_TRUE(host.wait_reports(0x81, 1, 1s));
//   sim::HostView v = host.view();            // v.x, v.buttons, v.key_held(0x04), v.consumer,
//                                             // v.presses(0x04) (taps between two looks)
//   auto raw = host.reports(0x82);            // raw reports of one endpoint, in order
//   uint64_t cur = host.report_seq();         // collect what arrives from now on:
//   auto r = host.next_report(cur, 1s);       //   one by one, in order (cur advances)
//   host.snapshot();                          // state, address, descriptors read, the steps
//                                             // of the last enumeration, counters, timings
//   host.transactions(); host.control_log();  // every token (with time and frame), every
//                                             // control transfer with its result
//
// Polling as Linux's usbhid does, only while something holds the input device open:
// HostOptions::poll_only_open or set_poll_only_open(true), then open_input(0x81) /
// close_input(0x81); an endpoint that is not open gets no IN tokens (off by default).
// Faults: stop_polling()/resume_polling(), suspend()/resume(), bus_reset(), clear_halt(ep),
// unplug()/replug() (the cable; the device's own detach is seen through attached()).
// Any request: control(Setup), e.g. control(Setup::get_descriptor(usb::DescConfig, 0, 9));
// ControlOptions abandon a transfer on purpose or address another device address;
// raw_setup/raw_in/raw_out are single transactions with no retry and no toggle check.
// Other enumerations: HostOptions::style, set_style(), or enumerate(EnumStyle::Windows); what
// each style does is its row, host_style(). A firmware host (EnumStyle::Firmware) sets boot
// protocol and reads the boot reports; set_protocol()/get_protocol(), set_idle()/get_idle(),
// get_report()/set_report() ask the HID class requests directly, set_idle_rate() changes the
// idle rate the enumerations ask for.
// A conformance table: run_conformance() in usb_conformance.h.
// A capture for Wireshark: HostOptions::capture_path, capture(path), or the environment
// variable HIDBRIDGE_USBMON=/tmp/usb-%p.pcap (%p = process id) for any host in the process.
//
// Like a real host it drops an interrupt IN packet whose toggle repeats the previous one on
// that endpoint (ACKed, counted in snapshot().retransmissions), restarts both toggles at
// DATA0 after a reset, SET_CONFIGURATION and a successful CLEAR_FEATURE(ENDPOINT_HALT), and
// answers a stalled interrupt endpoint with CLEAR_FEATURE as usbhid does.
//
// Threads: bus operations (control, enumerate, faults) may be called from any thread; they
// are serialised with the host's own frames and run on the caller's thread. Waits and
// snapshots never block the bus. Every call into the device is made with the kernel mutex
// held, one transaction at a time, so the device's own threads run between transactions.
#pragma once

#include "hid_decode.h"
#include "usb_port.h"
#include "usbmon_pcap.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace sim {

using namespace std::chrono_literals;

// How the host walks through enumeration: each style is one row of kHostStyles.
//  Linux:      device descriptor wLength 64 (first packet only), reset, SET_ADDRESS,
//              device 18, configuration 9 then whole, SET_CONFIGURATION, per HID interface
//              SET_IDLE and the report descriptor, the keyboard LED output report.
//  Windows:    device 64 (first packet), reset, SET_ADDRESS, device 18, configuration 255,
//              strings 0xEE, 0, 1, 2, SET_CONFIGURATION, GET_STATUS, HID set-up with the
//              report descriptor asked for with 64 bytes to spare, LED report.
//  MacOS:      every descriptor read by its header first: device 8, reset, SET_ADDRESS,
//              device 18, configuration 9 then whole, strings the device names (2 then whole).
//  Compliance: device 64 to learn the packet size, reset, all 18 bytes at address 0, then
//              as Linux.
//  Firmware:   a PC's set-up screen or boot loader: device 8, reset, SET_ADDRESS, device 18,
//              configuration 9 then whole, SET_CONFIGURATION, per boot interface
//              SET_PROTOCOL(boot) and SET_IDLE, the LEDs by SET_REPORT; no strings, no report
//              descriptors; the endpoints' reports read in their boot formats.
enum class EnumStyle : uint8_t { Linux, Windows, MacOS, Compliance, Firmware };
const char *to_string(EnumStyle s);

// The choices one style makes while it enumerates.
struct HostStyle {
    enum class Strings : uint8_t { None, Referenced, Windows }; // Windows: 0xEE, 0, 1, 2
    enum class Leds : uint8_t { InterruptOut, SetReport };
    EnumStyle style;
    const char *name;
    uint16_t first_device_length;  // the first device descriptor read at address 0
    bool device_at_address0;       // then all 18 bytes at address 0 after a second reset
    uint16_t config_length;        // 0: the 9-byte header, then wTotalLength; else one read
    Strings strings;
    bool string_header_first;      // each string read by its 2-byte header first
    bool get_status;               // GET_STATUS of the device after SET_CONFIGURATION
    bool boot_protocol;            // SET_PROTOCOL(boot) on each boot interface; gives up if refused
    bool set_idle;                 // SET_IDLE on each HID interface; carries on if refused
    uint8_t idle;                  // its duration, 4 ms units (0: reports only on change)
    bool report_descriptors;       // reads each report descriptor and needs it whole
    uint16_t report_descriptor_extra; // asked for beyond the HID descriptor's length
    Leds leds;                     // how the keyboard's LED state goes out
    bool tester;                   // a compliance tester: the conformance run also checks the
                                   // default and addressed states and enumerates repeatedly
};
const HostStyle &host_style(EnumStyle s);

struct Setup {
    uint8_t request_type = 0, request = 0;
    uint16_t value = 0, index = 0, length = 0;

    std::array<uint8_t, 8> bytes() const;
    bool in() const { return request_type & usb::DirIn; }
    static Setup get_descriptor(uint8_t type, uint8_t idx, uint16_t length, uint16_t windex = 0);
    static Setup get_report_descriptor(uint8_t itf, uint16_t length);
    static Setup std(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length);
    // A HID class request to interface `itf`; the GET requests are IN.
    static Setup hid(uint8_t req, uint16_t value, uint8_t itf, uint16_t length);
};

enum class XferStatus : uint8_t {
    Ok,
    Stall,       // the device stalled the data or status stage
    NakTimeout,  // NAKed beyond the transfer's time budget
    NoResponse,  // no handshake three times in a row (or the device is gone)
    Babble,      // a packet longer than the endpoint's maximum
    Overflow,    // more data than wLength
    Abandoned,   // the host left the transfer on purpose (ControlOptions::abandon)
};
const char *to_string(XferStatus s);

struct ControlOptions {
    enum class Abandon : uint8_t { No, AfterSetup, AfterData, BeforeStatus };
    Abandon abandon = Abandon::No;
    unsigned packets = 1;  // AfterData: data packets taken before leaving
    int max_packet = 0;    // 0: the endpoint 0 size the host knows
    int address = -1;      // -1: the address the host gave the device
};

struct ControlResult {
    XferStatus status = XferStatus::NoResponse;
    std::vector<uint8_t> data; // the IN data stage as received
    bool ok() const { return status == XferStatus::Ok; }
    bool stalled() const { return status == XferStatus::Stall; }
};

// One control transfer as the host's stack saw it.
struct ControlRecord {
    uint64_t t_us = 0, end_us = 0;
    uint8_t address = 0;
    Setup setup;
    std::vector<uint8_t> out;
    ControlResult result;
};

enum class TokenKind : uint8_t { Setup, In, Out, Reset, Suspend, Resume, Attach, Detach };

// One transaction on the bus (or a bus event), in the order they happened.
struct Transaction {
    uint64_t t_us = 0;  // since the host was made
    uint32_t frame = 0; // 1 ms frame number
    TokenKind kind = TokenKind::In;
    uint8_t address = 0, ep = 0, toggle = 0;
    Handshake hs = Handshake::Timeout;
    bool dropped = false; // accepted by the handshake but dropped by the toggle check
    uint8_t len = 0;
    std::array<uint8_t, 64> data{};
    std::span<const uint8_t> bytes() const { return {data.data(), len}; }
};

// One report the host accepted from an interrupt IN endpoint.
struct Report {
    uint64_t seq = 0; // 0, 1, ... over all endpoints
    uint64_t t_us = 0;
    uint8_t ep = 0;   // 0x81, 0x82
    uint8_t toggle = 0;
    std::vector<uint8_t> bytes;
};

enum class HostState : uint8_t { Detached, Attached, Default, Addressed, Configured, Failed };
const char *to_string(HostState s);

// One step of the last enumeration.
struct EnumStep {
    std::string name;
    bool required = true; // the enumeration fails when a required step fails
    bool ok = false;
    ControlResult result;
};

struct HostSnapshot {
    HostState state = HostState::Detached;
    bool ready = false;     // enumerated and polling: what wait_configured() waits for
    bool polling = true;
    bool suspended = false;
    bool cable = true;
    uint8_t address = 0;
    EnumStyle style = EnumStyle::Linux;
    unsigned enumerations = 0, enumeration_failures = 0;
    uint64_t enumeration_us = 0; // attach (or reset) to ready, for the last enumeration
    std::vector<uint8_t> device_descriptor, config_descriptor;
    std::map<uint8_t, std::vector<uint8_t>> report_descriptors; // by interface
    std::map<uint8_t, std::vector<uint8_t>> strings;            // by index, those read
    std::map<uint8_t, uint8_t> protocol; // by interface, what the device took: 0 boot, 1 report
    std::vector<EnumStep> last_enumeration;
    HostView view;
    std::map<uint8_t, uint64_t> reports;  // accepted, by endpoint
    uint64_t retransmissions = 0;         // IN packets dropped by the toggle check
    uint64_t in_stalls = 0, in_errors = 0, out_errors = 0, outputs_sent = 0;
    std::string last_error;
};

struct HostTiming {
    // A real hub waits 100 ms for the connection to settle and resets for 10..50 ms; the
    // model keeps the order of things with shorter waits so tests stay quick.
    std::chrono::microseconds debounce = 10ms;
    std::chrono::microseconds reset = 10ms;
    std::chrono::microseconds reset_recovery = 10ms;
    std::chrono::microseconds set_address_recovery = 2ms;
    std::chrono::microseconds resume_recovery = 10ms;
    // NAK budget of one control transfer (Linux allows 5 s).
    std::chrono::microseconds control_timeout = 500ms;
    // How long the host keeps offering the LED output report during enumeration.
    std::chrono::microseconds output_timeout = 200ms;
    // Pause between retries of a NAKed transaction within a frame.
    std::chrono::microseconds nak_retry = 50us;
};

struct HostOptions {
    EnumStyle style = EnumStyle::Linux;
    HostTiming timing;
    bool auto_enumerate = true;   // enumerate whenever a device attaches
    bool poll = true;             // poll the interrupt IN endpoints once configured
    bool poll_only_open = false;  // only those open_input() opened, as usbhid does
    bool auto_clear_halt = true;  // a stalled interrupt endpoint gets CLEAR_FEATURE, as usbhid does
    bool reset_toggle_on_clear_halt = true; // the host restarts at DATA0, as the standard says
    unsigned enumeration_attempts = 3;
    std::optional<uint8_t> idle; // SET_IDLE's duration in place of the style's (4 ms units)
    bool lock_leds = false;      // a Caps, Num or Scroll Lock press sends the LED report, as a
                                 // computer does (set_leds() stays the test's own say)
    uint16_t bus = 1;
    uint8_t first_address = 2;    // address 1 is the root hub's
    size_t log_limit = 200000;    // transactions kept (the oldest go first)
    std::string capture_path;     // usbmon pcap; empty: $HIDBRIDGE_USBMON if set
};

class UsbHost {
public:
    explicit UsbHost(UsbDevicePort &port, HostOptions opts = {});
    ~UsbHost();
    UsbHost(const UsbHost &) = delete;
    UsbHost &operator=(const UsbHost &) = delete;

    // The host's frame thread. stop() waits for it; start() again continues.
    void start();
    void stop();
    bool running() const { return run_; }

    // ---- Waits (timeouts in real time) and views ----
    bool wait_configured(std::chrono::milliseconds timeout);
    bool wait_state(HostState s, std::chrono::milliseconds timeout);
    // Until `n` reports have been accepted on `ep` (0: on any endpoint) in total.
    bool wait_reports(uint8_t ep, size_t n, std::chrono::milliseconds timeout);
    bool wait_view(const std::function<bool(const HostView &)> &pred, std::chrono::milliseconds timeout);
    HostSnapshot snapshot() const;
    HostView view() const;
    HostState state() const;
    std::vector<Report> reports(uint8_t ep = 0) const;
    // The seq the next accepted report will get.
    uint64_t report_seq() const;
    // The report numbered `cursor` (waiting for it), then cursor + 1; nullopt on time-out.
    std::optional<Report> next_report(uint64_t &cursor, std::chrono::milliseconds timeout);
    std::vector<Transaction> transactions() const;
    std::vector<ControlRecord> control_log() const;
    void clear_logs(); // transactions and control records; reports and the view stay

    // ---- Bus operations (any thread) ----
    // Holds the bus across several operations (a test sequence the frames must not split).
    std::unique_lock<std::recursive_mutex> lock_bus() { return std::unique_lock(bus_mu_); }
    ControlResult control(const Setup &s, std::span<const uint8_t> out = {}, ControlOptions o = {});
    // Resets the bus and enumerates now; true once ready. The address is a new one.
    bool enumerate(EnumStyle style);
    void set_style(EnumStyle style); // for the enumerations that follow
    void set_idle_rate(std::optional<uint8_t> duration); // as HostOptions::idle, from now on
    void set_lock_leds(bool on);                         // as HostOptions::lock_leds, from now on
    // As a host stack does to the enumerated device: the host learns the result. A device
    // configured this way is polled (ready) without the enumeration's LED report.
    ControlResult set_address(uint8_t address);
    ControlResult set_configuration(uint8_t value);
    // One output report on an interrupt OUT endpoint; true once the device ACKed it.
    bool send_output(uint8_t ep, std::span<const uint8_t> data, std::chrono::milliseconds timeout = 200ms);
    // The keyboard's LED report as this host sends it: by EP2 OUT or SET_REPORT, with the
    // report id or, in boot protocol, without.
    bool set_leds(uint8_t leds);
    // HID class requests to interface `itf`. A SET_PROTOCOL the device took changes how the
    // host reads that interface's reports (and what set_leds sends).
    ControlResult set_protocol(uint8_t itf, uint8_t protocol); // 0 boot, 1 report
    ControlResult get_protocol(uint8_t itf);                   // data: one byte
    ControlResult set_idle(uint8_t itf, uint8_t duration, uint8_t report_id = 0); // 4 ms units
    ControlResult get_idle(uint8_t itf, uint8_t report_id = 0);  // data: one byte
    ControlResult get_report(uint8_t itf, uint8_t report_id, uint16_t length); // an input report
    ControlResult set_report(uint8_t itf, uint8_t report_id, std::span<const uint8_t> data); // output
    // Single transactions, recorded like all others (no retries, no toggle check).
    Handshake raw_setup(uint8_t address, const Setup &s);
    InPacket raw_in(uint8_t address, uint8_t ep);
    Handshake raw_out(uint8_t address, uint8_t ep, uint8_t toggle, std::span<const uint8_t> data);
    // Frames pass for `d` with the host servicing them (bus held by the caller or not).
    void idle(std::chrono::microseconds d);

    // The computer's side opens and closes the input device behind an interrupt IN
    // endpoint (0x81, 0x82); with poll_only_open, usbhid submits its URB only while it is
    // open. Opened endpoints stay open across enumerations. Any thread.
    void set_poll_only_open(bool on);
    void open_input(uint8_t ep);
    void close_input(uint8_t ep);

    // ---- Faults ----
    // Bus reset; then the same enumeration again at the same address (as a host resets a
    // device it keeps), or, with reenumerate false, the device stays in the default state.
    void bus_reset(bool reenumerate = true);
    void suspend();  // no more frames: the device sees an idle bus
    void resume();   // resume signalling, recovery, then frames again
    void stop_polling();
    void resume_polling();
    ControlResult clear_halt(uint8_t ep); // CLEAR_FEATURE(ENDPOINT_HALT)
    void unplug();   // the cable is pulled: the device is gone for the host, its bus idle
    void replug();   // the cable is back: attach, debounce, enumeration

    // ---- Capture ----
    bool capture(const std::string &path); // from now on (start it before the enumeration)
    void stop_capture();

private:
    struct OutRequest {
        uint64_t id;
        uint8_t ep;
        std::vector<uint8_t> data;
        uint64_t urb;
        int errors = 0;
    };

    void thread_main();
    void tick();
    void check_connection();
    void service_frame();
    void poll_in(uint8_t ep);
    uint64_t queue_output(uint8_t ep, std::span<const uint8_t> data);
    void service_output();
    void finish_output(bool ok, int32_t status);
    void fail_outputs(int32_t status);
    void wait_step(); // one NAK-retry pause, servicing frames
    bool pause(std::chrono::microseconds d); // false when the device went or the host stops
    bool device_present();
    uint64_t now_us() const;
    uint32_t frame_now() const;

    void reset_bus_state();
    bool reset_bus();
    void disconnect();
    bool enumerate_locked(EnumStyle style, bool keep_address);
    bool run_enumeration(EnumStyle style, uint8_t address);
    ControlResult step(const std::string &name, bool required, const Setup &s, ControlOptions o = {},
                       std::span<const uint8_t> out = {});
    // The keyboard's LED report in the protocol its interface is in, and how this host sends
    // it: by SET_REPORT (`setup`) or on the interrupt OUT endpoint `ep`. Bus held.
    struct LedReport {
        std::vector<uint8_t> bytes;
        std::optional<Setup> setup;
        uint8_t ep = 0x02;
        bool keyboard = false, out_ep = false; // the configuration has them
    };
    LedReport led_report(uint8_t leds) const;
    bool send_led_report(); // the enumeration's
    void send_lock_leds();
    void took_protocol(uint8_t itf, uint8_t protocol);
    void set_kinds();
    void configured(const ConfigInfo &ci);
    void start_polling_urbs();
    bool input_open(uint8_t ep) const; // bus held
    void end_polling_urb(uint8_t ep);
    void end_polling_urbs(int32_t status);
    void reset_toggles();

    ControlResult control_locked(const Setup &s, std::span<const uint8_t> out, const ControlOptions &o);
    template <class F>
    auto retry(F attempt, std::chrono::steady_clock::time_point deadline);
    Handshake do_setup(uint8_t addr, const Setup &s);
    InPacket do_in(uint8_t addr, uint8_t ep);
    Handshake do_out(uint8_t addr, uint8_t ep, uint8_t tog, std::span<const uint8_t> d);
    void record(TokenKind k, uint8_t addr, uint8_t ep, uint8_t toggle, Handshake hs,
                std::span<const uint8_t> data);
    void mark_dropped();
    void event(TokenKind k);
    void fail(const std::string &why);

    uint64_t new_urb();
    // The capture is told of a URB where it is submitted ('S', -EINPROGRESS) or completes
    // ('C'): one usbmon record of endpoint `ep` (0x80 set for IN) at `address` (-1: ours).
    void capture_urb(char type, uint64_t urb, uint8_t xfer, uint8_t ep, int32_t status, uint32_t length,
                     std::span<const uint8_t> data = {}, const Setup *setup = nullptr, int address = -1);

    // A host controller gives up on a transaction after three errors in a row.
    static constexpr int kMaxErrors = 3;
    // Index of an endpoint's toggle in toggles_.
    static size_t tog_index(uint8_t ep) { return (ep & 0x0F) | ((ep & 0x80) ? 16 : 0); }

    UsbDevicePort &port_;
    const HostOptions opts_;
    const std::chrono::steady_clock::time_point t0_;

    std::thread thread_;
    std::atomic<bool> run_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> polling_;

    // The bus: held by whoever drives it. The fields below it are written only with it held
    // (and with mu_ where snapshot() reads them).
    std::recursive_mutex bus_mu_;
    bool cable_ = true;
    bool suspended_ = false;
    bool device_suspended_ = false; // the device was told its bus went idle
    uint64_t quiet_until_us_ = 0;
    uint64_t attach_us_ = 0;
    uint32_t last_frame_ = UINT32_MAX;
    uint8_t address_ = 0;
    uint8_t next_address_;
    uint8_t mps0_ = 8;
    EnumStyle style_;                       // for the enumerations that follow
    EnumStyle used_style_;                  // of the last enumeration: how the host goes on
    std::optional<uint8_t> idle_;
    std::map<uint8_t, uint8_t> protocol_;   // by interface, after a SET_PROTOCOL the device took
    bool switching_protocol_ = false;       // no interrupt polls during a SET_PROTOCOL
    uint8_t lock_leds_ = 0;                 // the view's lock states last sent (lock_leds)
    bool lock_leds_due_ = false;
    HostState state_ = HostState::Detached;
    ConfigInfo config_;
    std::map<uint8_t, ReportKind> kinds_;   // interrupt IN endpoints polled
    std::map<uint8_t, uint64_t> in_urbs_;   // their pending URB ids
    std::array<uint8_t, 32> toggles_{};     // expected next toggle: [ep & 0x0F | IN ? 16 : 0]
    std::set<uint8_t> halted_;
    std::set<uint8_t> clear_pending_;
    bool poll_only_open_;
    bool lock_leds_on_;                     // HostOptions::lock_leds or set_lock_leds()
    std::set<uint8_t> open_inputs_;         // endpoints whose input device is open
    std::deque<OutRequest> out_queue_;
    uint64_t out_ids_ = 0;
    uint64_t urb_count_ = 0;
    UsbmonPcap pcap_;
    std::mutex pcap_mu_;

    // What tests read, guarded by mu_.
    mutable std::mutex mu_;
    std::condition_variable cv_;
    HostSnapshot pub_;
    std::vector<Report> reports_;
    std::deque<Transaction> log_;
    std::vector<ControlRecord> control_log_;
    std::map<uint64_t, bool> output_results_;
};

} // namespace sim
