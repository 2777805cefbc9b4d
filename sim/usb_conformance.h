// A conformance run against the device behind a UsbHost: the enumeration of one style, the
// standard and HID requests a host or a compliance tester sends, the requests this device
// refuses by design (each must leave it answering the next SETUP), and abandoned transfers.
// A style that sets boot protocol also checks the boot interfaces: the protocol and idle rate
// the device reports, its boot reports, and, given the user's input, every key and button as
// firmware reads them.
//
//   auto t = sim::run_conformance(board.host, sim::EnumStyle::Windows);
//   EXPECT_TRUE(t.passed()) << t.text();
//
// The run holds the host's bus throughout and leaves the device enumerated again.
#pragma once

#include "usb_host.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Verdict : uint8_t { Pass, Fail, Refused };
const char *to_string(Verdict v);

struct Check {
    std::string name;
    Verdict verdict = Verdict::Fail;
    std::string detail;
};

struct ConformanceTable {
    EnumStyle style = EnumStyle::Linux;
    std::vector<Check> checks;

    bool passed() const; // no check failed
    const Check *find(std::string_view name) const;
    std::vector<std::string> names(Verdict v) const;
    std::string text() const; // one line per check: verdict, name, detail
};

// The user at the device, for the styles that read boot reports: presses and releases keys
// (HID usages, the modifiers as 0xE0..0xE7) and buttons (1..3) and moves the pointer. Each
// returns once the device has taken the change in.
struct ConformanceInput {
    std::function<void(uint8_t usage, bool down)> key;
    std::function<void(int button, bool down)> button;
    std::function<void(int dx, int dy)> move;
    explicit operator bool() const { return key && button && move; }
};

struct ConformanceOptions {
    unsigned repeat = 100; // a compliance tester: enumerations in a row
    ConformanceInput input; // firmware style: every key and button through the boot reports
    uint8_t idle = 8;       // firmware style: the non-zero idle rate checked (4 ms units)
};

ConformanceTable run_conformance(UsbHost &host, EnumStyle style, const ConformanceOptions &opts = {});

} // namespace sim
