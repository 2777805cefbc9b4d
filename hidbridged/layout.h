// Text to key strokes for the host's keyboard layout, and back (what a host with that layout
// makes of the strokes). Layouts are the system's keyboard data (xkb-data), compiled with
// libxkbcommon as a Linux host does; dead keys follow the system's compose table.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct xkb_keymap;

namespace hidbridged {

// Modifier bits of a stroke, as in the keyboard report's modifier byte.
constexpr uint8_t kModShift = 0x02; // left Shift, usage 0xE1
constexpr uint8_t kModAltGr = 0x40; // right Alt, usage 0xE6
constexpr uint8_t kUsageCapsLock = 0x39;

struct Stroke {
    uint8_t usage;
    uint8_t mods; // kModShift | kModAltGr
};

// What names a layout: xkb's model, layout and variant ("pc105", "ch", "fr").
struct LayoutName {
    std::string layout = "us";
    std::string variant;
    std::string model = "pc105";
};

class Layout {
public:
    ~Layout();
    // "de", "us(intl)".
    const std::string &name() const { return name_; }
    // The strokes that type text (UTF-8) on a host whose Caps Lock is on or off. A character
    // that only the other state gives (µ under Caps Lock) is typed between two Caps Lock
    // strokes, so the host's state ends as it was. On a character the layout cannot type (or
    // a byte that is no UTF-8), false with `refused` naming it ("'\xe2\x82\xac' (U+20AC)")
    // and `out` cleared.
    bool plan(std::string_view text, bool caps, std::vector<Stroke> &out, std::string &refused) const;
    xkb_keymap *keymap() const { return keymap_; }

    struct Sequence {
        Stroke strokes[2]; // a key, or a dead key and the key it combines with
        uint8_t count;
    };

private:
    friend std::shared_ptr<const Layout> find_layout(const LayoutName &, std::string &, const char **);
    std::string name_;
    xkb_keymap *keymap_ = nullptr;
    std::unordered_map<char32_t, Sequence> plans_[2]; // Caps Lock off, on
    bool caps_key_ = false; // the Caps Lock key locks and unlocks Lock
};

// The layout compiled from xkb-data, once per name for the life of the process (any thread).
// Null with `error` saying why ("xkb-data has no layout 'xx'") and `which` naming the part at
// fault ("layout", "variant" or "model").
std::shared_ptr<const Layout> find_layout(const LayoutName &name, std::string &error, const char **which = nullptr);

// What the host types for a sequence of keyboard reports, through libxkbcommon with the
// layout's keymap and the system's compose table, as a Linux desktop does.
class TextDecoder {
public:
    // caps: the host's Caps Lock is on before the first report.
    explicit TextDecoder(const Layout &l, bool caps = false);
    ~TextDecoder();
    TextDecoder(const TextDecoder &) = delete;
    TextDecoder &operator=(const TextDecoder &) = delete;
    // One report's modifier byte and key slots: each key not in the report before is pressed,
    // each gone is released; with `type` false only the keys held are noted (reports before
    // the text). A dead key sequence the compose table does not know gives U+FFFD.
    void report(uint8_t mods, std::span<const uint8_t> slots, bool type = true);
    // A key pressed and released with the stroke's modifiers.
    void stroke(Stroke s);
    const std::string &text() const { return text_; }
    // The host's Caps Lock now.
    bool caps() const;

private:
    struct State;
    std::unique_ptr<State> state_;
    uint8_t mods_ = 0;
    std::vector<uint8_t> held_; // key slots of the last report
    std::string text_;
};

// Appends the code point as UTF-8.
void append_utf8(std::string &out, char32_t c);

} // namespace hidbridged
