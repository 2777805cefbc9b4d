// Keyboard report composition: the physical keys of all ports as one report, then the
// application's masks and requested keys merged over it.
#include "core_state.h"
#include "report_queue.h"
#include "tarvo.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kModifierUsage = 224; // usages 224 .. 231 are the modifier bits 0 .. 7
constexpr int kLastRequestUsage = 223;
constexpr int kFirstKeyUsage = 4;

// Linux key codes of the modifier bits 0x01 .. 0x80.
constexpr uint8_t modifier_codes[8] = {29, 42, 56, 125, 97, 54, 100, 126};

constexpr std::array<bool, KEY_STATES> modifier_table()
{
    std::array<bool, KEY_STATES> t{};
    for (uint8_t m : modifier_codes)
        t[m] = true;
    return t;
}
constexpr std::array<bool, KEY_STATES> is_modifier = modifier_table();

// The key query reads softKeyboard without the lock: write its cells whole.
void set_request(uint8_t &cell, uint8_t value) { std::atomic_ref<uint8_t>(cell).store(value, std::memory_order_relaxed); }

} // namespace

extern "C" int compose_keyboard_report(int force)
{
    uint8_t report[KEYBOARD_REPORT_SIZE] = {};
    for (int bit = 0; bit < 8; ++bit)
        if (key_state[modifier_codes[bit]])
            report[0] |= static_cast<uint8_t>(1 << bit);

    // With more than ten keys held the lowest codes drop out: the ten highest remain, in
    // ascending order. A key without a usage still takes a slot.
    int slots = 0;
    for (int code = 0; code < KEY_STATES; ++code) {
        if (!key_state[code] || is_modifier[static_cast<unsigned>(code)])
            continue;
        uint8_t usage = static_cast<uint8_t>(hid_usage_from_keycode(code));
        if (slots < ReportLength) {
            report[1 + slots++] = usage;
        } else {
            std::memmove(&report[1], &report[2], ReportLength - 1);
            report[ReportLength] = usage;
        }
    }
    std::memcpy(phys_keyboard_report, report, sizeof report);
    return merge_keyboard_requests(force);
}

extern "C" int merge_keyboard_requests(int force)
{
    uint8_t report[KEYBOARD_REPORT_SIZE] = {};
    uint8_t mods = phys_keyboard_report[0];
    for (int bit = 0; bit < 8; ++bit)
        if (km.iskeyboardmask[kModifierUsage + bit])
            mods &= static_cast<uint8_t>(~(1 << bit));
    for (int bit = 0; bit < 8; ++bit) {
        uint8_t req = km.softKeyboard[kModifierUsage + bit];
        if (req == DOWN)
            mods |= static_cast<uint8_t>(1 << bit);
        else if (req == UP)
            mods &= static_cast<uint8_t>(~(1 << bit));
    }
    report[0] = mods;

    int slots = 0;
    for (int usage = kFirstKeyUsage; usage <= kLastRequestUsage && slots < ReportLength; ++usage)
        if (km.softKeyboard[usage] == DOWN)
            report[1 + slots++] = static_cast<uint8_t>(usage);
    for (int i = 1; i <= ReportLength && slots < ReportLength; ++i) {
        uint8_t usage = phys_keyboard_report[i];
        if (km.iskeyboardmask[usage] || km.softKeyboard[usage] != IDEL)
            continue;
        report[1 + slots++] = usage;
    }
    // An UP forces its key released in this one report, held or not: left for a later one it
    // would hide the key's next physical press.
    for (uint8_t &req : km.softKeyboard)
        if (req == UP)
            set_request(req, IDEL);
    std::memcpy(composed_keyboard_report, report, sizeof report);

    keyboard_ticket = 0;
    if (!force && std::memcmp(composed_keyboard_report, last_keyboard_report, sizeof report) == 0)
        return 0;
    std::memcpy(last_keyboard_report, composed_keyboard_report, sizeof report);
    keyboard_ticket = KeyboardQueueReport(km.media, last_keyboard_report);
    return keyboard_ticket ? 0 : err_DeviceDisconnected;
}
