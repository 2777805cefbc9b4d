// The control protocol's commands: one line in, one Command out. No library calls, so the
// fuzz target and the tests run it without a board or a socket.
//
//   key down|up|press|query KEY      KEY: a Linux key name without KEY_ (a, enter, leftshift,
//   key mask KEY on|off                   f5) or a HID usage number (4, 0x28)
//   button down|up|click|query BUTTON     left right middle side1 .. side5
//   move X Y                         -32767 .. 32767 each
//   wheel N                          -127 .. 127 (negative: down)
//   type TEXT                        the rest of the line, as the host's layout types it
//   layout NAME [VARIANT]            this client's layout for type, as xkb-data names it
//   release                          everything this client holds
//   status
//   help                             these lines, from kVerbs
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hidbridged {

// Longest line taken, newline not counted; a longer one is refused whole.
constexpr size_t kMaxLine = 256;

enum class Op : uint8_t {
    KeyDown,
    KeyUp,
    KeyPress,
    KeyMask,
    KeyQuery,
    ButtonDown,
    ButtonUp,
    ButtonClick,
    ButtonQuery,
    Move,
    Wheel,
    Type,
    Release,
    Layout,
    Status,
    Help,
};

struct Command {
    Op op = Op::Status;
    int code = 0;          // key usage 0..254, or button 0..7 (left, right, middle, side1..)
    int value = 0;         // mask: 1 on, 0 off; wheel: the step
    int x = 0, y = 0;      // move
    std::string_view text; // type: points into the parsed line; layout: the name
    std::string_view variant; // layout: empty for none
};

// The protocol's verbs: the parser looks each one up here, `help` prints the usages.
struct Verb {
    const char *name;
    bool (*parse)(std::string_view rest, Command &cmd, std::string &error);
    const char *usage;
};
extern const Verb kVerbs[9];
// "ok " and every verb's usage, separated by "; ": one reply line.
std::string help_reply();

// A number as clients and settings write it: an optional sign, then 0x and hex digits or
// decimal digits (a leading 0 is no octal). False as soon as it leaves lo..hi, so nothing
// wraps, or on anything else.
bool parse_number(std::string_view w, long lo, long hi, long &out);

// Quotes a word from the client for a reply: printable ASCII only, cut short.
std::string quoted(std::string_view w);

// Bytes outside printable ASCII (and the backslash) as \xNN, for the log.
std::string escaped(std::string_view s);

// Parses one line without its newline (a trailing CR is ignored). False with `error` set to
// the reason for the client ("unknown key 'foo'").
bool parse_command(std::string_view line, Command &cmd, std::string &error);

// HID usage of a Linux key name (lower case, no KEY_ prefix); -1 when unknown.
int key_usage_by_name(std::string_view name);
// The name of a usage, or null when it has none.
const char *key_name(int usage);
// Button names in report-bit order.
constexpr const char *kButtonNames[8] = {"left", "right", "middle", "side1", "side2", "side3", "side4", "side5"};

} // namespace hidbridged
