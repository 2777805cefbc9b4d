#include "evemu_recording.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vboard {
namespace {

// One "E:" line's fields; false when any is missing, malformed or out of range.
bool parse_event(const std::string &line, RecordedEvent *e)
{
    const char *p = line.c_str() + 2;
    char *end = nullptr;
    errno = 0;
    long long sec = strtoll(p, &end, 10);
    if (end == p || *end != '.' || sec < 0 || errno)
        return false;
    p = end + 1;
    // evemu writes six digits of microseconds
    if (strspn(p, "0123456789") != 6)
        return false;
    long usec = strtol(p, &end, 10);
    if (sec > LLONG_MAX / 1000000 - 1)
        return false;
    e->time_us = sec * 1000000 + usec;
    p = end;
    unsigned long type = strtoul(p, &end, 16);
    if (end == p || type > 0xFFFF || errno)
        return false;
    p = end;
    unsigned long code = strtoul(p, &end, 16);
    if (end == p || code > 0xFFFF || errno)
        return false;
    p = end;
    long long value = strtoll(p, &end, 10);
    if (end == p || errno || value < INT32_MIN || value > INT32_MAX)
        return false;
    // The rest may only be a comment (evemu-record names the event after '#').
    p = end + strspn(end, " \t\r");
    if (*p && *p != '#')
        return false;
    e->type = uint16_t(type);
    e->code = uint16_t(code);
    e->value = int32_t(value);
    return true;
}

} // namespace

Recording parse_evemu(std::istream &in)
{
    Recording r;
    std::string line;
    for (unsigned n = 1; std::getline(in, line); ++n) {
        if (line.compare(0, 2, "E:") != 0)
            continue;
        RecordedEvent e;
        if (!parse_event(line, &e)) {
            r.events.clear();
            r.error = "line " + std::to_string(n) + ": not an event: " + line;
            return r;
        }
        r.events.push_back(e);
    }
    if (r.events.empty())
        r.error = "no events (E: lines) in the recording";
    return r;
}

Recording load_evemu(const std::string &path)
{
    std::ifstream in(path);
    if (!in) {
        Recording r;
        r.error = std::string("cannot open: ") + strerror(errno);
        return r;
    }
    return parse_evemu(in);
}

} // namespace vboard
