// Mouse report composition: the ports' input merged, then the application's locks, requested
// buttons and requested motion applied over it.
#include "core_state.h"
#include "usbfunc.h"

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

// The report's logical range for X and Y; the 16-bit field would turn anything beyond it
// into a move the other way.
constexpr int64_t kAxisMax = 32767;

int32_t saturate_axis(int64_t v)
{
    return static_cast<int32_t>(v > kAxisMax ? kAxisMax : v < -kAxisMax ? -kAxisMax : v);
}

// Physical totals are kept in 32 bits; five ports of extreme event values must not overflow.
int32_t clamp32(int64_t v)
{
    return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

// The wheel goes out as its low 8 bits (255 requested means one notch down).
int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

} // namespace

extern "C" int compose_mouse_report(int force)
{
    int32_t buttons = 0;
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
    composed_mouse.x = saturate_axis(km.x + (km.lock_mx ? 0 : int64_t{phys_mouse.x}));
    composed_mouse.y = saturate_axis(km.y + (km.lock_my ? 0 : int64_t{phys_mouse.y}));
    composed_mouse.wheel = wrap32(km.wheel + (km.lock_mw ? 0 : int64_t{phys_mouse.wheel}));

    int result = 0;
    if (phys_mouse.button || phys_mouse.x || phys_mouse.y || phys_mouse.wheel || force)
        result = MouseSendReport(static_cast<uint8_t>(composed_mouse.button),
                                 static_cast<uint16_t>(composed_mouse.x),
                                 static_cast<uint16_t>(composed_mouse.y),
                                 static_cast<uint8_t>(composed_mouse.wheel));
    km.x = km.y = km.wheel = 0;
    return result;
}
