// HID keyboard usages and Linux key codes: the boot keyboard's usage table and its reverse.
#include "core_state.h"

#include <array>
#include <cstdint>

extern "C" {

// By usage 0x00 .. 0xFE; 0 where the usage has no key code. Usage 0xFF is cut off.
constexpr uint8_t hid_to_linux_keycode[KEY_STATES] = {
    0,   0,   0,   0,   30,  48,  46,  32,  18,  33,  34,  35,  23,  36,  37,  38,  // 0x00
    50,  49,  24,  25,  16,  19,  31,  20,  22,  47,  17,  45,  21,  44,  2,   3,   // 0x10
    4,   5,   6,   7,   8,   9,   10,  11,  28,  1,   14,  15,  57,  12,  13,  26,  // 0x20
    27,  43,  43,  39,  40,  41,  51,  52,  53,  58,  59,  60,  61,  62,  63,  64,  // 0x30
    65,  66,  67,  68,  87,  88,  99,  70,  119, 110, 102, 104, 111, 107, 109, 106, // 0x40
    105, 108, 103, 69,  98,  55,  74,  78,  96,  79,  80,  81,  75,  76,  77,  71,  // 0x50
    72,  73,  82,  83,  86,  127, 116, 117, 183, 184, 185, 186, 187, 188, 189, 190, // 0x60
    191, 192, 193, 194, 134, 138, 130, 132, 128, 129, 131, 137, 133, 135, 136, 113, // 0x70
    115, 114, 0,   0,   0,   121, 0,   89,  93,  124, 92,  94,  95,  0,   0,   0,   // 0x80
    122, 123, 90,  91,  85,  0,   0,   0,   0,   0,   0,   0,   111, 0,   0,   0,   // 0x90
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   // 0xA0
    0,   0,   0,   0,   0,   0,   179, 180, 0,   0,   0,   0,   0,   0,   0,   0,   // 0xB0
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   // 0xC0
    0,   0,   0,   0,   0,   0,   0,   0,   111, 0,   0,   0,   0,   0,   0,   0,   // 0xD0
    29,  42,  56,  125, 97,  54,  100, 126, 164, 166, 165, 163, 161, 115, 114, 113, // 0xE0
    150, 158, 159, 128, 136, 177, 178, 176, 142, 152, 173, 140, 0,   0,   0,        // 0xF0
};

} // extern "C"

namespace {

// Key code to the lowest usage that carries it, built from the table above: the composition
// looks up every held key, so the linear search is done once, at compile time.
constexpr std::array<uint8_t, 256> reverse_table()
{
    std::array<uint8_t, 256> rev{};
    for (int usage = KEY_STATES - 1; usage >= 4; --usage)
        if (uint8_t code = hid_to_linux_keycode[usage])
            rev[code] = static_cast<uint8_t>(usage);
    return rev;
}

constexpr std::array<uint8_t, 256> usage_of_keycode = reverse_table();

static_assert(usage_of_keycode[30] == 0x04, "KEY_A is usage 4");
static_assert(usage_of_keycode[43] == 0x31, "the lowest of a key's usages wins");
static_assert(usage_of_keycode[0] == 0, "code 0 has no usage");

} // namespace

extern "C" int hid_usage_from_keycode(int code)
{
    if (code <= 0 || code >= static_cast<int>(usage_of_keycode.size()))
        return 0;
    return usage_of_keycode[static_cast<unsigned>(code)];
}
