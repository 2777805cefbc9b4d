// Recordings of evemu-record (Debian's evemu-tools): a header describing the device, then one
// line per event, "E: <sec>.<usec> <type> <code> <value>" with type and code in hex and the
// value in decimal. Only the events matter here; the header and comments are skipped.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace vboard {

struct RecordedEvent {
    int64_t time_us = 0; // as recorded (evemu counts from the first event)
    uint16_t type = 0, code = 0;
    int32_t value = 0;
};

struct Recording {
    std::vector<RecordedEvent> events;
    std::string error; // "line N: why" when a line could not be read; events is then empty
};

Recording parse_evemu(std::istream &in);
Recording load_evemu(const std::string &path);

} // namespace vboard
