// Shared by the host model's tests: a host wired to the reference device, and requests
// written the way a bus analyser lists them.
#pragma once

#include "ref_device.h"
#include "usb_host.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace reftest {

// "@2 GET_DESCRIPTOR 0x0200 i0 l66": address, request, wValue, wIndex, wLength.
inline std::string describe(uint8_t address, const std::array<uint8_t, 8> &s)
{
    static const char *std_names[] = {"GET_STATUS", "CLEAR_FEATURE", "req2", "SET_FEATURE", "req4",
                                      "SET_ADDRESS", "GET_DESCRIPTOR", "SET_DESCRIPTOR",
                                      "GET_CONFIGURATION", "SET_CONFIGURATION", "GET_INTERFACE",
                                      "SET_INTERFACE", "SYNCH_FRAME"};
    std::string name;
    if ((s[0] & 0x60) == 0 && s[1] < 13)
        name = std_names[s[1]];
    else if ((s[0] & 0x60) == 0x20 && s[1] == 0x0A)
        name = "SET_IDLE";
    else if ((s[0] & 0x60) == 0x20 && s[1] == 0x0B)
        name = "SET_PROTOCOL";
    else if ((s[0] & 0x60) == 0x20 && s[1] == 0x09)
        name = "SET_REPORT";
    else
        name = "req" + std::to_string(s[1]);
    char buf[96];
    std::snprintf(buf, sizeof buf, "@%u %s 0x%04X i%u l%u", address, name.c_str(), s[2] | s[3] << 8,
                  s[4] | s[5] << 8, s[6] | s[7] << 8);
    return buf;
}

inline std::vector<std::string> describe(const std::vector<RefDevice::Request> &rs)
{
    std::vector<std::string> v;
    for (auto &r : rs)
        v.push_back(describe(r.address, r.setup));
    return v;
}

// Quick bus timing: the reference device answers at once.
inline sim::HostOptions quick(sim::EnumStyle style = sim::EnumStyle::Linux)
{
    sim::HostOptions o;
    o.style = style;
    o.timing.debounce = std::chrono::milliseconds(2);
    o.timing.reset = std::chrono::milliseconds(1);
    o.timing.reset_recovery = std::chrono::milliseconds(1);
    o.timing.resume_recovery = std::chrono::milliseconds(2);
    o.timing.control_timeout = std::chrono::milliseconds(50);
    return o;
}

// Polls pred every millisecond until it holds or the time is up.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000))
{
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Rig {
    explicit Rig(sim::HostOptions o = quick()) : host(dev, o) {}
    RefDevice dev;
    sim::UsbHost host;
};

inline std::vector<uint8_t> mouse(uint8_t buttons, int16_t x, int16_t y, int8_t wheel)
{
    return {buttons, uint8_t(x), uint8_t(uint16_t(x) >> 8), uint8_t(y), uint8_t(uint16_t(y) >> 8), uint8_t(wheel)};
}

inline std::vector<uint8_t> keyboard(uint8_t mods, std::vector<uint8_t> keys)
{
    std::vector<uint8_t> r = {0x01, mods};
    keys.resize(10);
    r.insert(r.end(), keys.begin(), keys.end());
    return r;
}

} // namespace reftest
