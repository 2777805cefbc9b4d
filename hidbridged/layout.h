// Text to key strokes for the host's keyboard layout, and back (what a host with that layout
// makes of the strokes). Tables cover the base layouts as Linux's xkb defines them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hidbridged {

// Modifier bits of a stroke, as in the keyboard report's modifier byte.
constexpr uint8_t kModShift = 0x02; // left Shift, usage 0xE1
constexpr uint8_t kModAltGr = 0x40; // right Alt, usage 0xE6
constexpr uint8_t kUsageSpace = 0x2C;

struct Stroke {
    uint8_t usage;
    uint8_t mods; // kModShift | kModAltGr
};

struct Layout;
// The layout by name ("us", "gb", "de"); null when unknown.
const Layout *layout_by_name(std::string_view name);
const char *layout_name(const Layout *l);
// "us, gb, de" for messages.
const char *layout_names();

// The strokes that type text (UTF-8): a dead key is followed by a space stroke. On a
// character the layout cannot type (or a byte that is no UTF-8), false with `refused` naming
// it ("'\xe2\x82\xac' (U+20AC)") and `out` cleared.
bool plan_text(const Layout *l, std::string_view text, std::vector<Stroke> &out, std::string &refused);

// What the host types for a sequence of strokes (each a newly pressed key with the modifiers
// held): a dead key waits for the next stroke; unknown strokes give U+FFFD.
class TextDecoder {
public:
    explicit TextDecoder(const Layout *l) : layout_(l) {}
    void stroke(Stroke s);
    // One keyboard report's modifier byte and key slots: each key not in the report before
    // is a stroke; with `type` false only the keys held are noted (reports before the text).
    void report(uint8_t mods, std::span<const uint8_t> slots, bool type = true);
    const std::string &text() const { return text_; }

private:
    const Layout *layout_;
    std::vector<uint8_t> held_; // key slots of the last report
    char32_t dead_ = 0;
    std::string text_;
};

// Appends the code point as UTF-8.
void append_utf8(std::string &out, char32_t c);

} // namespace hidbridged
