#include "layout.h"

#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <mutex>

namespace hidbridged {

namespace {

// The kernel's table from HID usages to its key codes (hid-input.c), for the keys up to Caps
// Lock; both keys left of Enter (0x31 and the ISO 0x32) are KEY_BACKSLASH.
constexpr uint8_t kKernelKeys[0x3A] = {
    0,  0,  0,  0,  30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50, 49, 24, 25,
    16, 19, 31, 20, 22, 47, 17, 45, 21, 44, 2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
    28, 1,  14, 15, 57, 12, 13, 26, 27, 43, 43, 39, 40, 41, 51, 52, 53, 58,
};
// The modifier byte's bits, in order: left Ctrl, Shift, Alt, GUI, then the right ones.
constexpr uint8_t kKernelModifiers[8] = {29, 42, 56, 125, 97, 54, 100, 126};
constexpr uint8_t kUsageIso = 0x64, kUsageBackslash = 0x31, kUsageIsoHash = 0x32;
// xkb's key codes are the kernel's plus 8.
constexpr xkb_keycode_t kXkbOffset = 8;

// The kernel's key code for a usage; 0 when the table has none.
unsigned kernel_key(uint8_t usage)
{
    if (usage < sizeof kKernelKeys)
        return kKernelKeys[usage];
    switch (usage) {
    case kUsageIso:
        return 86;  // KEY_102ND
    case 0x87:
        return 89;  // KEY_RO
    case 0x89:
        return 124; // KEY_YEN
    default:
        return 0;
    }
}

xkb_keycode_t xkb_key(uint8_t usage) { return kernel_key(usage) + kXkbOffset; }
xkb_keycode_t modifier_key(int bit) { return kKernelModifiers[bit] + kXkbOffset; }

// The keys that type text. Enter, Escape and Backspace type no text.
constexpr uint8_t kTextKeys[] = {
    0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13,
    0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23,
    0x24, 0x25, 0x26, 0x27, 0x2C, 0x2B, 0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x33, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x87, 0x89, kUsageIso,
};
// The plainest first: the ISO key after the others' Shift, as a US keyboard has none (on
// `us` it repeats < and >), before their AltGr (gb's \ is on both).
struct Level {
    bool iso;
    uint8_t mods;
};
constexpr Level kLevels[] = {{false, 0},         {false, kModShift}, {true, 0},
                             {true, kModShift},  {false, kModAltGr}, {false, kModShift | kModAltGr},
                             {true, kModAltGr},  {true, kModShift | kModAltGr}};

// The system's compose table, the one a desktop with a UTF-8 locale reads when the user has
// none of their own.
constexpr const char *kComposeFile = "/usr/share/X11/locale/en_US.UTF-8/Compose";

// Compiled layouts kept when no client uses them: a keymap and its tables are some 200 kB.
constexpr size_t kKeptLayouts = 8;

// libxkbcommon's context and the compose table: built once, used under the registry's lock.
struct Xkb {
    xkb_context *context = nullptr;
    xkb_compose_table *compose = nullptr;
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const Layout>> layouts;

    Xkb()
    {
        context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
        if (!context)
            return;
        xkb_context_set_log_level(context, XKB_LOG_LEVEL_CRITICAL);
        if (FILE *f = fopen(kComposeFile, "r")) {
            compose = xkb_compose_table_new_from_file(context, f, "en_US.UTF-8", XKB_COMPOSE_FORMAT_TEXT_V1,
                                                      XKB_COMPOSE_COMPILE_NO_FLAGS);
            fclose(f);
        }
    }
};

Xkb &xkb()
{
    static Xkb &x = *new Xkb; // keymaps and decoders may outlive static destruction
    return x;
}

xkb_mod_mask_t mod_mask(xkb_keymap *k, const char *name)
{
    xkb_mod_index_t i = xkb_keymap_mod_get_index(k, name);
    return i == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t{1} << i;
}

// The host's Caps Lock: the Lock modifier locked, the rest as it is.
void lock_caps(xkb_state *s)
{
    xkb_keymap *k = xkb_state_get_keymap(s);
    xkb_state_update_mask(s, xkb_state_serialize_mods(s, XKB_STATE_MODS_DEPRESSED),
                          xkb_state_serialize_mods(s, XKB_STATE_MODS_LATCHED),
                          xkb_state_serialize_mods(s, XKB_STATE_MODS_LOCKED) | mod_mask(k, XKB_MOD_NAME_CAPS), 0, 0,
                          xkb_state_serialize_layout(s, XKB_STATE_LAYOUT_EFFECTIVE));
}

// A host state with the stroke's modifier keys down.
xkb_state *state_with(xkb_keymap *k, uint8_t mods, bool caps)
{
    xkb_state *s = xkb_state_new(k);
    for (int bit = 0; bit < 8; ++bit)
        if (mods >> bit & 1)
            xkb_state_update_key(s, modifier_key(bit), XKB_KEY_DOWN);
    if (caps)
        lock_caps(s);
    return s;
}

// Names are xkb-data's file and section names; anything else never reaches a file lookup.
bool valid_name(const std::string &n, bool empty_ok)
{
    if (n.empty())
        return empty_ok;
    return n.size() <= 64 && std::all_of(n.begin(), n.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                      c == '-';
           });
}

xkb_keymap *compile(const LayoutName &n, const std::string &variant)
{
    xkb_rule_names names{"evdev", n.model.c_str(), n.layout.c_str(), variant.c_str(), ""};
    return xkb_keymap_new_from_names(xkb().context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
}

// Decodes one code point at text[i], advancing i; false on a malformed or overlong sequence.
bool next_utf8(std::string_view text, size_t &i, char32_t &c)
{
    auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || text.size() - i <= static_cast<size_t>(extra))
        return false;
    c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        auto cb = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
        if ((cb & 0xC0) != 0x80)
            return false;
        c = c << 6 | (cb & 0x3F);
    }
    constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    i += static_cast<size_t>(extra) + 1;
    return true;
}

// The single code point of a UTF-8 string; 0 when it holds none or more.
char32_t single_code_point(const char *s)
{
    std::string_view v(s);
    size_t i = 0;
    char32_t c = 0;
    return !v.empty() && next_utf8(v, i, c) && i == v.size() ? c : 0;
}

std::string name_char(std::string_view bytes, char32_t c, bool valid)
{
    char buf[48];
    if (!valid) {
        snprintf(buf, sizeof buf, "byte \\x%02x (no UTF-8)", static_cast<unsigned char>(bytes[0]));
        return buf;
    }
    std::string shown;
    if (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0))
        shown = "'" + std::string(bytes) + "' ";
    snprintf(buf, sizeof buf, "(U+%04X)", static_cast<unsigned>(c));
    return shown + buf;
}

// Text, not a control character: Tab is the one typed.
bool typeable(char32_t c) { return c == U'\t' || (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)); }

struct KeyStroke {
    Stroke stroke;
    xkb_keysym_t sym;
    char32_t c;
};

// What each key types with each usable modifier set, the plainest first. A set is usable when
// the host sees no Ctrl, Alt or GUI in it (on `us` right Alt is Alt, not AltGr).
std::vector<KeyStroke> key_strokes(xkb_keymap *k, bool caps)
{
    const xkb_mod_mask_t shortcut =
        mod_mask(k, XKB_MOD_NAME_CTRL) | mod_mask(k, XKB_MOD_NAME_ALT) | mod_mask(k, XKB_MOD_NAME_LOGO);
    std::vector<KeyStroke> out;
    for (Level lv : kLevels) {
        xkb_state *s = state_with(k, lv.mods, caps);
        if (!(xkb_state_serialize_mods(s, XKB_STATE_MODS_EFFECTIVE) & shortcut))
            for (uint8_t u : kTextKeys)
                if ((u == kUsageIso) == lv.iso)
                    out.push_back({{u, lv.mods}, xkb_state_key_get_one_sym(s, xkb_key(u)),
                                   xkb_state_key_get_utf32(s, xkb_key(u))});
        xkb_state_unref(s);
    }
    return out;
}

} // namespace

// Only the registry lets go of the last reference, under its lock.
Layout::~Layout() { xkb_keymap_unref(keymap_); }

std::shared_ptr<const Layout> find_layout(const LayoutName &n, std::string &error, const char **which)
{
    const char *unused;
    const char *&part = which ? *which : unused;
    part = "layout";
    if (!valid_name(n.layout, false))
        return error = "no layout name", nullptr;
    if (!valid_name(n.variant, true))
        return part = "variant", error = "no variant name", nullptr;
    if (!valid_name(n.model, false))
        return part = "model", error = "no model name", nullptr;
    Xkb &x = xkb();
    std::lock_guard lk(x.mutex);
    std::string key = n.model + "/" + n.layout + "(" + n.variant + ")";
    if (auto it = x.layouts.find(key); it != x.layouts.end())
        return it->second;
    if (!x.context)
        return error = "libxkbcommon cannot start", nullptr;
    xkb_keymap *k = compile(n, n.variant);
    if (!k) {
        xkb_keymap *plain = n.variant.empty() ? nullptr : compile(n, "");
        part = plain ? "variant" : "layout";
        error = plain ? "xkb-data has no variant '" + n.variant + "' of layout '" + n.layout + "'"
                      : "xkb-data has no layout '" + n.layout + "'";
        xkb_keymap_unref(plain);
        return nullptr; // not kept: xkb-data may be mended while the service runs
    }
    auto l = std::make_shared<Layout>();
    l->name_ = n.layout + (n.variant.empty() ? "" : "(" + n.variant + ")");
    l->keymap_ = k;
    xkb_state *toggled = xkb_state_new(k);
    xkb_state_update_key(toggled, xkb_key(kUsageCapsLock), XKB_KEY_DOWN);
    xkb_state_update_key(toggled, xkb_key(kUsageCapsLock), XKB_KEY_UP);
    l->caps_key_ = xkb_state_mod_name_is_active(toggled, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) == 1;
    xkb_state_unref(toggled);
    bool iso = false;
    for (bool caps : {false, true}) {
        auto &plans = l->plans_[caps];
        std::vector<KeyStroke> keys = key_strokes(k, caps);
        std::vector<KeyStroke> dead; // strokes that start a compose sequence
        xkb_compose_state *cs = x.compose ? xkb_compose_state_new(x.compose, XKB_COMPOSE_STATE_NO_FLAGS) : nullptr;
        for (const KeyStroke &ks : keys) {
            if (cs) {
                xkb_compose_state_reset(cs);
                if (xkb_compose_state_feed(cs, ks.sym) == XKB_COMPOSE_FEED_ACCEPTED &&
                    xkb_compose_state_get_status(cs) == XKB_COMPOSE_COMPOSING) {
                    dead.push_back(ks);
                    continue;
                }
            }
            if (typeable(ks.c) && plans.try_emplace(ks.c, Layout::Sequence{{ks.stroke}, 1}).second)
                iso = iso || ks.stroke.usage == kUsageIso;
        }
        // What the rest gives after a dead key, as the compose table says.
        for (const KeyStroke &d : dead)
            for (const KeyStroke &ks : keys) {
                xkb_compose_state_reset(cs);
                xkb_compose_state_feed(cs, d.sym);
                xkb_compose_state_feed(cs, ks.sym);
                if (xkb_compose_state_get_status(cs) != XKB_COMPOSE_COMPOSED)
                    continue;
                char utf8[16];
                xkb_compose_state_get_utf8(cs, utf8, sizeof utf8);
                char32_t c = single_code_point(utf8);
                if (typeable(c) && plans.try_emplace(c, Layout::Sequence{{d.stroke, ks.stroke}, 2}).second)
                    iso = iso || d.stroke.usage == kUsageIso || ks.stroke.usage == kUsageIso;
            }
        xkb_compose_state_unref(cs);
    }
    // A layout that needs the ISO key is one for ISO keyboards: their key left of Enter sends
    // 0x32 to hosts that tell the two apart.
    if (iso)
        for (auto &plans : l->plans_)
            for (auto &[c, seq] : plans)
                for (Stroke &s : seq.strokes)
                    if (s.usage == kUsageBackslash)
                        s.usage = kUsageIsoHash;
    // A client may ask for one layout after another: those nobody uses go beyond a few.
    for (auto it = x.layouts.begin(); it != x.layouts.end() && x.layouts.size() >= kKeptLayouts;)
        it = it->second.use_count() == 1 ? x.layouts.erase(it) : std::next(it);
    x.layouts.emplace(key, l);
    return l;
}

bool Layout::plan(std::string_view text, bool caps, std::vector<Stroke> &out, std::string &refused) const
{
    out.clear();
    bool lock = caps;
    size_t i = 0;
    while (i < text.size()) {
        size_t at = i;
        char32_t c = 0;
        bool valid = next_utf8(text, i, c);
        auto it = valid ? plans_[lock].find(c) : plans_[lock].end();
        if (valid && it == plans_[lock].end() && caps_key_ && (it = plans_[!lock].find(c)) != plans_[!lock].end()) {
            out.push_back({kUsageCapsLock, 0});
            lock = !lock;
        }
        if (!valid || it == plans_[lock].end()) {
            refused = name_char(valid ? text.substr(at, i - at) : text.substr(at, 1), c, valid);
            out.clear();
            return false;
        }
        out.insert(out.end(), it->second.strokes, it->second.strokes + it->second.count);
    }
    if (lock != caps)
        out.push_back({kUsageCapsLock, 0});
    return true;
}

void append_utf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

struct TextDecoder::State {
    xkb_state *state = nullptr;
    xkb_compose_state *compose = nullptr;
};

TextDecoder::TextDecoder(const Layout &l, bool caps) : state_(std::make_unique<State>())
{
    // The keymap's and the table's counts of users are no atomics.
    std::lock_guard lk(xkb().mutex);
    state_->state = state_with(l.keymap(), 0, caps);
    if (xkb().compose)
        state_->compose = xkb_compose_state_new(xkb().compose, XKB_COMPOSE_STATE_NO_FLAGS);
}

TextDecoder::~TextDecoder()
{
    std::lock_guard lk(xkb().mutex);
    xkb_compose_state_unref(state_->compose);
    xkb_state_unref(state_->state);
}

// As the kernel reports a keyboard report: the modifiers, then the keys let go, then the
// keys pressed.
void TextDecoder::report(uint8_t mods, std::span<const uint8_t> slots, bool type)
{
    xkb_state *s = state_->state;
    for (int bit = 0; bit < 8; ++bit)
        if ((mods ^ mods_) >> bit & 1)
            xkb_state_update_key(s, modifier_key(bit), mods >> bit & 1 ? XKB_KEY_DOWN : XKB_KEY_UP);
    mods_ = mods;
    std::vector<uint8_t> now;
    for (uint8_t u : slots)
        if (u && kernel_key(u))
            now.push_back(u);
    for (uint8_t u : held_)
        if (std::find(now.begin(), now.end(), u) == now.end())
            xkb_state_update_key(s, xkb_key(u), XKB_KEY_UP);
    for (uint8_t u : now) {
        if (std::find(held_.begin(), held_.end(), u) != held_.end())
            continue;
        xkb_keycode_t kc = xkb_key(u);
        xkb_keysym_t sym = xkb_state_key_get_one_sym(s, kc);
        char32_t c = xkb_state_key_get_utf32(s, kc);
        xkb_state_update_key(s, kc, XKB_KEY_DOWN);
        if (!type)
            continue;
        xkb_compose_state *cs = state_->compose;
        if (cs && xkb_compose_state_feed(cs, sym) == XKB_COMPOSE_FEED_ACCEPTED) {
            switch (xkb_compose_state_get_status(cs)) {
            case XKB_COMPOSE_COMPOSING:
                continue;
            case XKB_COMPOSE_COMPOSED: {
                char utf8[64];
                xkb_compose_state_get_utf8(cs, utf8, sizeof utf8);
                text_ += utf8;
                xkb_compose_state_reset(cs);
                continue;
            }
            case XKB_COMPOSE_CANCELLED:
                xkb_compose_state_reset(cs);
                text_ += "\xEF\xBF\xBD";
                continue;
            case XKB_COMPOSE_NOTHING:
                break;
            }
        }
        if (c == 0 && sym == XKB_KEY_Caps_Lock)
            continue;
        append_utf8(text_, c ? c : 0xFFFD);
    }
    held_ = std::move(now);
}

bool TextDecoder::caps() const
{
    return xkb_state_mod_name_is_active(state_->state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) == 1;
}

void TextDecoder::stroke(Stroke s)
{
    report(s.mods, std::span<const uint8_t>(&s.usage, 1));
    report(s.mods, {});
}

} // namespace hidbridged
