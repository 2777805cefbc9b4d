// Mouse report composition: the ports' input merged, then the application's locks, requested
// buttons and requested motion applied over it.
#include "core_state.h"
#include "report_queue.h"
#include "tarvo.h"

#include <cstdint>

namespace {

// Report bits 0x01 .. 0x80 in order: left, right, middle, side 1 to 5.
constexpr uint8_t km_control_t::*lock_fields[8] = {
    &km_control_t::lock_ml, &km_control_t::lock_mr, &km_control_t::lock_mm, &km_control_t::lock_s1,
    &km_control_t::lock_s2, &km_control_t::lock_s3, &km_control_t::lock_s4, &km_control_t::lock_s5,
};
constexpr uint8_t km_control_t::*request_fields[8] = {
    &km_control_t::left,  &km_control_t::right, &km_control_t::middle, &km_control_t::side1,
    &km_control_t::side2, &km_control_t::side3, &km_control_t::side4,  &km_control_t::side5,
};

} // namespace

extern "C" int compose_mouse_report(int force)
{
    int32_t buttons = 0;
    // Totals are kept in 32 bits; five ports of extreme event values must not overflow. What
    // exceeds the report's range is carried into the following reports by the queue.
    int64_t x = 0, y = 0, wheel = 0;
    for (port_mouse_t &p : port_mouse) {
        buttons |= p.button; // held state: stays with the port
        x += p.x;
        y += p.y;
        wheel += p.wheel;
        p.x = p.y = p.wheel = 0; // motion lives for one composition
    }
    phys_mouse = {buttons, clamp32(x), clamp32(y), clamp32(wheel)};
    return merge_mouse_requests(force);
}

extern "C" int merge_mouse_requests(int force)
{
    int32_t buttons = phys_mouse.button;
    for (int bit = 0; bit < 8; ++bit)
        if (km.*lock_fields[bit])
            buttons &= ~(1 << bit);
    for (int bit = 0; bit < 8; ++bit) {
        uint8_t &req = km.*request_fields[bit];
        if (req == DOWN) {
            buttons |= 1 << bit;
        } else if (req == UP) {
            buttons &= ~(1 << bit);
            req = IDEL;
        }
    }
    composed_mouse.button = buttons;
    composed_mouse.x = clamp32(km.x + (km.lock_mx ? 0 : int64_t{phys_mouse.x}));
    composed_mouse.y = clamp32(km.y + (km.lock_my ? 0 : int64_t{phys_mouse.y}));
    // The requested wheel is a report byte: 255 means one notch down.
    int8_t wheel_request = static_cast<int8_t>(km.wheel & 0xFF);
    composed_mouse.wheel = clamp32(wheel_request + (km.lock_mw ? 0 : int64_t{phys_mouse.wheel}));

    int result = 0;
    mouse_ticket = 0;
    if (phys_mouse.button || phys_mouse.x || phys_mouse.y || phys_mouse.wheel || force) {
        mouse_ticket = MouseQueueReport(static_cast<uint8_t>(composed_mouse.button), composed_mouse.x,
                                        composed_mouse.y, composed_mouse.wheel);
        result = mouse_ticket ? 0 : err_DeviceDisconnected;
    }
    km.x = km.y = km.wheel = 0;
    return result;
}
