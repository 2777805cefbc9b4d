// A conformance run against the device behind a UsbHost: the enumeration of one style, the
// standard and HID requests a host or a compliance tester sends, the requests this device
// refuses by design (each must leave it answering the next SETUP), and abandoned transfers.
//
//   auto t = sim::run_conformance(board.host, sim::EnumStyle::Windows);
//   EXPECT_TRUE(t.passed()) << t.text();
//
// The run holds the host's bus throughout and leaves the device enumerated again.
#pragma once

#include "usb_host.h"

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

struct ConformanceOptions {
    unsigned repeat = 100; // compliance style: enumerations in a row
};

ConformanceTable run_conformance(UsbHost &host, EnumStyle style, const ConformanceOptions &opts = {});

} // namespace sim
