#include "layout.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>

namespace hidbridged {

namespace {

// One key: what it types on each level (0: nothing), and which of them are dead keys.
struct KeyRow {
    uint8_t usage;
    char32_t level[4]; // plain, Shift, AltGr, Shift+AltGr
    uint8_t dead = 0;  // bit n: level n is a dead key (typed as the key, then Space)
};
constexpr uint8_t kDeadPlain = 1, kDeadShift = 2;

} // namespace

struct Layout {
    const char *name;
    // What usages 0x04..0x1D type without AltGr, lower case; Shift gives the capital.
    const char *letters;
    std::span<const KeyRow> rows;
};

namespace {

// Keys every layout shares: Space and Tab.
#define HB_COMMON_ROWS {0x2C, {U' ', U' ', 0, 0}}, {0x2B, {U'\t', U'\t', 0, 0}}

constexpr KeyRow kUs[] = {
    HB_COMMON_ROWS,
    {0x1E, {U'1', U'!'}}, {0x1F, {U'2', U'@'}}, {0x20, {U'3', U'#'}}, {0x21, {U'4', U'$'}},
    {0x22, {U'5', U'%'}}, {0x23, {U'6', U'^'}}, {0x24, {U'7', U'&'}}, {0x25, {U'8', U'*'}},
    {0x26, {U'9', U'('}}, {0x27, {U'0', U')'}}, {0x2D, {U'-', U'_'}}, {0x2E, {U'=', U'+'}},
    {0x2F, {U'[', U'{'}}, {0x30, {U']', U'}'}}, {0x31, {U'\\', U'|'}}, {0x33, {U';', U':'}},
    {0x34, {U'\'', U'"'}}, {0x35, {U'`', U'~'}}, {0x36, {U',', U'<'}}, {0x37, {U'.', U'>'}},
    {0x38, {U'/', U'?'}},
};

// The ISO keyboard: 0x32 is the key left of Enter, 0x64 the one right of left Shift.
constexpr KeyRow kGb[] = {
    HB_COMMON_ROWS,
    {0x1E, {U'1', U'!'}}, {0x1F, {U'2', U'"'}}, {0x20, {U'3', U'£'}}, {0x21, {U'4', U'$', U'€'}},
    {0x22, {U'5', U'%'}}, {0x23, {U'6', U'^'}}, {0x24, {U'7', U'&'}}, {0x25, {U'8', U'*'}},
    {0x26, {U'9', U'('}}, {0x27, {U'0', U')'}}, {0x2D, {U'-', U'_'}}, {0x2E, {U'=', U'+'}},
    {0x2F, {U'[', U'{'}}, {0x30, {U']', U'}'}}, {0x32, {U'#', U'~'}}, {0x33, {U';', U':'}},
    {0x34, {U'\'', U'@'}}, {0x35, {U'`', U'¬', U'|'}}, {0x36, {U',', U'<'}}, {0x37, {U'.', U'>'}},
    {0x38, {U'/', U'?'}}, {0x64, {U'\\', U'|'}},
};

// German with its dead keys: ^ and ` are typed as the dead key and a Space. The acute accent
// is left out: hosts disagree on what dead acute and Space give.
constexpr KeyRow kDe[] = {
    HB_COMMON_ROWS,
    {0x08, {0, 0, U'€'}}, {0x14, {0, 0, U'@'}}, {0x10, {0, 0, U'µ'}},
    {0x1E, {U'1', U'!'}}, {0x1F, {U'2', U'"', U'²'}}, {0x20, {U'3', U'§', U'³'}}, {0x21, {U'4', U'$'}},
    {0x22, {U'5', U'%'}}, {0x23, {U'6', U'&'}}, {0x24, {U'7', U'/', U'{'}}, {0x25, {U'8', U'(', U'['}},
    {0x26, {U'9', U')', U']'}}, {0x27, {U'0', U'=', U'}'}}, {0x2D, {U'ß', U'?', U'\\'}},
    {0x2E, {0, U'`'}, kDeadShift}, {0x2F, {U'ü', U'Ü'}}, {0x30, {U'+', U'*', U'~'}},
    {0x32, {U'#', U'\''}}, {0x33, {U'ö', U'Ö'}}, {0x34, {U'ä', U'Ä'}}, {0x35, {U'^', U'°'}, kDeadPlain},
    {0x36, {U',', U';'}}, {0x37, {U'.', U':'}}, {0x38, {U'-', U'_'}}, {0x64, {U'<', U'>', U'|'}},
};
#undef HB_COMMON_ROWS

constexpr Layout kLayouts[] = {
    {"us", "abcdefghijklmnopqrstuvwxyz", kUs},
    {"gb", "abcdefghijklmnopqrstuvwxyz", kGb},
    {"de", "abcdefghijklmnopqrstuvwxzy", kDe},
};

constexpr uint8_t kFirstLetter = 0x04, kLetters = 26;
constexpr uint8_t kLevelMods[4] = {0, kModShift, kModAltGr, kModShift | kModAltGr};

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

// The stroke for c; dead set when a Space must follow.
bool find_stroke(const Layout &l, char32_t c, Stroke &s, bool &dead)
{
    dead = false;
    for (int i = 0; i < kLetters; ++i) {
        char32_t lower = static_cast<unsigned char>(l.letters[i]);
        if (c == lower || c == lower - 0x20) {
            s = {static_cast<uint8_t>(kFirstLetter + i), c == lower ? uint8_t{0} : kModShift};
            return true;
        }
    }
    // The plainest way first: | is Shift on one gb key and AltGr on another.
    for (int lv = 0; lv < 4; ++lv)
        for (const KeyRow &r : l.rows)
            if (r.level[lv] != 0 && r.level[lv] == c) {
                s = {r.usage, kLevelMods[lv]};
                dead = r.dead >> lv & 1;
                return true;
            }
    return false;
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

} // namespace

const Layout *layout_by_name(std::string_view name)
{
    for (const Layout &l : kLayouts)
        if (name == l.name)
            return &l;
    return nullptr;
}

const char *layout_name(const Layout *l) { return l->name; }
const char *layout_names() { return "us, gb, de"; }

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

bool plan_text(const Layout *l, std::string_view text, std::vector<Stroke> &out, std::string &refused)
{
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t at = i;
        char32_t c = 0;
        bool valid = next_utf8(text, i, c);
        Stroke s{};
        bool dead = false;
        if (!valid || !find_stroke(*l, c, s, dead)) {
            refused = name_char(valid ? text.substr(at, i - at) : text.substr(at, 1), c, valid);
            out.clear();
            return false;
        }
        out.push_back(s);
        if (dead)
            out.push_back({kUsageSpace, 0});
    }
    return true;
}

void TextDecoder::report(uint8_t mods, std::span<const uint8_t> slots, bool type)
{
    std::vector<uint8_t> now;
    for (uint8_t u : slots)
        if (u)
            now.push_back(u);
    if (type)
        for (uint8_t u : now)
            if (std::find(held_.begin(), held_.end(), u) == held_.end())
                stroke({u, mods});
    held_ = std::move(now);
}

void TextDecoder::stroke(Stroke s)
{
    bool shift = s.mods & (kModShift | kModShift << 4); // either Shift
    bool altgr = s.mods & kModAltGr;
    bool other = s.mods & ~(kModShift | kModShift << 4 | kModAltGr);
    int lv = (shift ? 1 : 0) + (altgr ? 2 : 0);
    char32_t c = 0xFFFD;
    bool dead = false;
    if (!other && !altgr && s.usage >= kFirstLetter && s.usage < kFirstLetter + kLetters) {
        char32_t lower = static_cast<unsigned char>(layout_->letters[s.usage - kFirstLetter]);
        c = shift ? lower - 0x20 : lower;
    } else if (!other) {
        for (const KeyRow &r : layout_->rows)
            if (r.usage == s.usage && r.level[lv] != 0) {
                c = r.level[lv];
                dead = r.dead >> lv & 1;
                break;
            }
    }
    if (dead_ != 0) {
        // Dead key and Space give the accent itself; anything else is not typed by us.
        append_utf8(text_, c == U' ' ? dead_ : 0xFFFD);
        dead_ = 0;
        return;
    }
    if (dead)
        dead_ = c;
    else
        append_utf8(text_, c);
}

} // namespace hidbridged
