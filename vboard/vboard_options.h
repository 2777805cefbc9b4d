// The options of hidbridge-vboard. The launcher checks them and hands them, as given, to the
// board in the application's process, which reads them with the same parser.
#pragma once

#include <string>
#include <vector>

namespace vboard {

constexpr int kPorts = 5; // the board's event devices /dev/input/event0..4

struct PortSource {
    int port = 0;
    std::string path;
};

struct Options {
    std::vector<int> keyboards, mice;  // plugged, fed by nothing
    std::vector<PortSource> replays;   // evemu-record recordings, in their timing
    std::vector<PortSource> forwards;  // live event devices of the PC
    std::string panel_png;             // written at the end when set
    std::string pcap;                  // usbmon capture of the whole run when set
    bool quit_after_replay = false;    // end once every recording played and the host settled
    unsigned time_limit_ms = 0;        // end after this long; 0: when the application ends
    bool quiet = false;                // no "host sees" lines, only the end
    bool real_time_bring_up = false;   // the board's bring-up sleeps at their real length
    // --usbip: the board's USB device is served over USB/IP at this address and TCP port
    // (0: a free one) instead of to the modelled host; off when the address is empty.
    std::string usbip_address;
    unsigned usbip_port = 0;
};

struct Parsed {
    Options options;
    std::string error;  // empty when the options are good
    bool help = false;
    size_t app = 0;     // index of APP in the arguments (after "--"); 0 when absent
};

// Parses hidbridge-vboard's arguments (without the program name): options, then "--" and the
// application. With require_app false the list may end without "--" (the board's side).
Parsed parse_options(const std::vector<std::string> &args, bool require_app);

// The options as one string for the environment (fields split by '\x1f'), and back.
std::string join_args(const std::vector<std::string> &args);
std::vector<std::string> split_args(const std::string &joined);

extern const char kUsage[];

} // namespace vboard
