#include "command.h"

#include <array>
#include <cctype>

namespace hidbridged {

namespace {

struct KeyName {
    uint8_t usage;
    const char *name;
};

// Linux's names for the keys of the HID keyboard page, as its HID driver maps them. The
// digit keys are left out: a number is a usage (30..39 are 1..9, 0).
constexpr KeyName kKeyNames[] = {
    {0x04, "a"}, {0x05, "b"}, {0x06, "c"}, {0x07, "d"}, {0x08, "e"}, {0x09, "f"}, {0x0A, "g"},
    {0x0B, "h"}, {0x0C, "i"}, {0x0D, "j"}, {0x0E, "k"}, {0x0F, "l"}, {0x10, "m"}, {0x11, "n"},
    {0x12, "o"}, {0x13, "p"}, {0x14, "q"}, {0x15, "r"}, {0x16, "s"}, {0x17, "t"}, {0x18, "u"},
    {0x19, "v"}, {0x1A, "w"}, {0x1B, "x"}, {0x1C, "y"}, {0x1D, "z"},
    {0x28, "enter"}, {0x29, "esc"}, {0x2A, "backspace"}, {0x2B, "tab"}, {0x2C, "space"},
    {0x2D, "minus"}, {0x2E, "equal"}, {0x2F, "leftbrace"}, {0x30, "rightbrace"},
    {0x31, "backslash"}, {0x33, "semicolon"}, {0x34, "apostrophe"}, {0x35, "grave"},
    {0x36, "comma"}, {0x37, "dot"}, {0x38, "slash"}, {0x39, "capslock"},
    {0x3A, "f1"}, {0x3B, "f2"}, {0x3C, "f3"}, {0x3D, "f4"}, {0x3E, "f5"}, {0x3F, "f6"},
    {0x40, "f7"}, {0x41, "f8"}, {0x42, "f9"}, {0x43, "f10"}, {0x44, "f11"}, {0x45, "f12"},
    {0x46, "sysrq"}, {0x47, "scrolllock"}, {0x48, "pause"}, {0x49, "insert"}, {0x4A, "home"},
    {0x4B, "pageup"}, {0x4C, "delete"}, {0x4D, "end"}, {0x4E, "pagedown"}, {0x4F, "right"},
    {0x50, "left"}, {0x51, "down"}, {0x52, "up"}, {0x53, "numlock"}, {0x54, "kpslash"},
    {0x55, "kpasterisk"}, {0x56, "kpminus"}, {0x57, "kpplus"}, {0x58, "kpenter"},
    {0x59, "kp1"}, {0x5A, "kp2"}, {0x5B, "kp3"}, {0x5C, "kp4"}, {0x5D, "kp5"}, {0x5E, "kp6"},
    {0x5F, "kp7"}, {0x60, "kp8"}, {0x61, "kp9"}, {0x62, "kp0"}, {0x63, "kpdot"},
    {0x64, "102nd"}, {0x65, "compose"}, {0x66, "power"}, {0x67, "kpequal"},
    {0x68, "f13"}, {0x69, "f14"}, {0x6A, "f15"}, {0x6B, "f16"}, {0x6C, "f17"}, {0x6D, "f18"},
    {0x6E, "f19"}, {0x6F, "f20"}, {0x70, "f21"}, {0x71, "f22"}, {0x72, "f23"}, {0x73, "f24"},
    {0x74, "open"}, {0x75, "help"}, {0x76, "props"}, {0x77, "front"}, {0x78, "stop"},
    {0x79, "again"}, {0x7A, "undo"}, {0x7B, "cut"}, {0x7C, "copy"}, {0x7D, "paste"},
    {0x7E, "find"}, {0x7F, "mute"}, {0x80, "volumeup"}, {0x81, "volumedown"},
    {0x85, "kpcomma"}, {0x87, "ro"}, {0x88, "katakanahiragana"}, {0x89, "yen"},
    {0x8A, "henkan"}, {0x8B, "muhenkan"}, {0x8C, "kpjpcomma"}, {0x90, "hangeul"},
    {0x91, "hanja"}, {0x92, "katakana"}, {0x93, "hiragana"}, {0x94, "zenkakuhankaku"},
    {0xB6, "kpleftparen"}, {0xB7, "kprightparen"},
    {0xE0, "leftctrl"}, {0xE1, "leftshift"}, {0xE2, "leftalt"}, {0xE3, "leftmeta"},
    {0xE4, "rightctrl"}, {0xE5, "rightshift"}, {0xE6, "rightalt"}, {0xE7, "rightmeta"},
};

constexpr int kMaxUsage = 254; // the library's range of key codes
constexpr int kMaxMove = 32767, kMaxWheel = 127;

bool blank(char c) { return c == ' ' || c == '\t'; }

// Splits off the next word; empty at the end of the line.
std::string_view next_word(std::string_view &rest)
{
    size_t b = 0;
    while (b < rest.size() && blank(rest[b]))
        ++b;
    size_t e = b;
    while (e < rest.size() && !blank(rest[e]))
        ++e;
    std::string_view w = rest.substr(b, e - b);
    rest = rest.substr(e);
    return w;
}

} // namespace

std::string quoted(std::string_view w)
{
    std::string s = "'";
    for (size_t i = 0; i < w.size() && i < 32; ++i) {
        auto c = static_cast<unsigned char>(w[i]);
        s += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return s + (w.size() > 32 ? "...'" : "'");
}

namespace {

bool fail(std::string &error, std::string why)
{
    error = std::move(why);
    return false;
}

bool parse_key(std::string_view w, int &usage, std::string &error)
{
    if (w.empty())
        return fail(error, "missing key");
    usage = key_usage_by_name(w); // first: "102nd" is a name
    if (usage >= 0)
        return true;
    if (isdigit(static_cast<unsigned char>(w[0])) || w[0] == '-' || w[0] == '+') {
        long v;
        if (!parse_number(w, 0, kMaxUsage, v))
            return fail(error, "key code " + quoted(w) + " not in 0..254");
        usage = static_cast<int>(v);
        return true;
    }
    return fail(error, "unknown key " + quoted(w));
}

bool parse_button(std::string_view w, int &bit, std::string &error)
{
    for (int i = 0; i < 8; ++i)
        if (w == kButtonNames[i]) {
            bit = i;
            return true;
        }
    return fail(error, w.empty() ? "missing button" : "unknown button " + quoted(w));
}

bool parse_range(std::string_view w, int lo, int hi, int &out, const char *what, std::string &error)
{
    if (w.empty())
        return fail(error, std::string("missing ") + what);
    long v;
    if (!parse_number(w, lo, hi, v))
        return fail(error, std::string(what) + " " + quoted(w) + " not in " + std::to_string(lo) + ".." +
                               std::to_string(hi));
    out = static_cast<int>(v);
    return true;
}

bool at_end(std::string_view rest, std::string &error)
{
    std::string_view extra = next_word(rest);
    return extra.empty() || fail(error, "unexpected " + quoted(extra));
}

} // namespace

int key_usage_by_name(std::string_view name)
{
    for (const KeyName &k : kKeyNames)
        if (name == k.name)
            return k.usage;
    return -1;
}

const char *key_name(int usage)
{
    for (const KeyName &k : kKeyNames)
        if (k.usage == usage)
            return k.name;
    return nullptr;
}

namespace {

// A command's second word, looked up in its verb's table.
struct SubVerb {
    std::string_view word;
    Op op;
};
constexpr SubVerb kKeyOps[] = {{"down", Op::KeyDown}, {"up", Op::KeyUp}, {"press", Op::KeyPress},
                               {"query", Op::KeyQuery}, {"mask", Op::KeyMask}};
constexpr SubVerb kButtonOps[] = {{"down", Op::ButtonDown}, {"up", Op::ButtonUp}, {"click", Op::ButtonClick},
                                  {"query", Op::ButtonQuery}};

template <size_t N>
bool sub_verb(std::string_view what, const SubVerb (&table)[N], Op &op)
{
    for (const SubVerb &v : table)
        if (v.word == what) {
            op = v.op;
            return true;
        }
    return false;
}

bool parse_key_command(std::string_view rest, Command &cmd, std::string &error)
{
    if (!sub_verb(next_word(rest), kKeyOps, cmd.op))
        return fail(error, "key needs down, up, press, mask or query");
    if (!parse_key(next_word(rest), cmd.code, error))
        return false;
    if (cmd.op == Op::KeyMask) {
        std::string_view v = next_word(rest);
        if (v == "on" || v == "1")
            cmd.value = 1;
        else if (v == "off" || v == "0")
            cmd.value = 0;
        else
            return fail(error, "mask needs on or off");
    }
    return at_end(rest, error);
}

bool parse_button_command(std::string_view rest, Command &cmd, std::string &error)
{
    if (!sub_verb(next_word(rest), kButtonOps, cmd.op))
        return fail(error, "button needs down, up, click or query");
    return parse_button(next_word(rest), cmd.code, error) && at_end(rest, error);
}

bool parse_move(std::string_view rest, Command &cmd, std::string &error)
{
    cmd.op = Op::Move;
    return parse_range(next_word(rest), -kMaxMove, kMaxMove, cmd.x, "x", error) &&
           parse_range(next_word(rest), -kMaxMove, kMaxMove, cmd.y, "y", error) && at_end(rest, error);
}

bool parse_wheel(std::string_view rest, Command &cmd, std::string &error)
{
    cmd.op = Op::Wheel;
    return parse_range(next_word(rest), -kMaxWheel, kMaxWheel, cmd.value, "wheel step", error) && at_end(rest, error);
}

// The text is the rest of the line after one separator, blanks and all.
bool parse_type(std::string_view rest, Command &cmd, std::string &error)
{
    cmd.op = Op::Type;
    if (rest.size() < 2)
        return fail(error, "missing text");
    cmd.text = rest.substr(1);
    return true;
}

bool parse_layout(std::string_view rest, Command &cmd, std::string &error)
{
    cmd.op = Op::Layout;
    cmd.text = next_word(rest);
    cmd.variant = next_word(rest);
    return (!cmd.text.empty() || fail(error, "missing layout")) && at_end(rest, error);
}

template <Op op> bool parse_bare(std::string_view rest, Command &cmd, std::string &error)
{
    cmd.op = op;
    return at_end(rest, error);
}

} // namespace

constexpr Verb kVerbs[9] = {
    {"key", parse_key_command, "key down|up|press|query KEY, key mask KEY on|off"},
    {"button", parse_button_command, "button down|up|click|query BUTTON"},
    {"move", parse_move, "move X Y"},
    {"wheel", parse_wheel, "wheel N"},
    {"type", parse_type, "type TEXT"},
    {"release", parse_bare<Op::Release>, "release"},
    {"layout", parse_layout, "layout NAME [VARIANT]"},
    {"status", parse_bare<Op::Status>, "status"},
    {"help", parse_bare<Op::Help>, "help"},
};

std::string help_reply()
{
    std::string r = "ok";
    for (const Verb &v : kVerbs)
        r += std::string(&v == kVerbs ? " " : "; ") + v.usage;
    return r;
}

bool parse_number(std::string_view w, long lo, long hi, long &out)
{
    bool neg = false;
    size_t i = 0;
    if (!w.empty() && (w[0] == '-' || w[0] == '+')) {
        neg = w[0] == '-';
        i = 1;
    }
    int base = 10;
    if (w.size() > i + 1 && w[i] == '0' && (w[i + 1] == 'x' || w[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == w.size())
        return false;
    // The magnitude stays within lo..hi's, far from long's end: checked after every digit.
    long limit = neg ? -lo : hi;
    if (limit < 0)
        return false;
    long v = 0;
    for (; i < w.size(); ++i) {
        auto c = static_cast<unsigned char>(w[i]);
        int d = isdigit(c) ? c - '0' : base == 16 && isxdigit(c) ? (tolower(c) - 'a' + 10) : -1;
        if (d < 0)
            return false;
        v = v * base + d;
        if (v > limit)
            return false;
    }
    out = neg ? -v : v;
    return out >= lo && out <= hi;
}

std::string escaped(std::string_view s)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool parse_command(std::string_view line, Command &cmd, std::string &error)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    cmd = Command{};
    std::string_view rest = line;
    std::string_view verb = next_word(rest);
    for (const Verb &v : kVerbs)
        if (verb == v.name)
            return v.parse(rest, cmd, error);
    if (verb.empty())
        return fail(error, "empty line");
    return fail(error, "unknown command " + quoted(verb));
}

} // namespace hidbridged
