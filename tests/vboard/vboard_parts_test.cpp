// The parts of hidbridge-vboard that decide what it prints and plays: the host's typed text,
// the escaping of the summary line, the evemu-record reader and the option parser.
#include "evemu_recording.h"
#include "hid_decode.h"
#include "vboard_options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

constexpr uint8_t kLShift = 0x02, kRShift = 0x20, kLCtrl = 0x01, kLAlt = 0x04, kLGui = 0x08;

// Applies keyboard reports (modifiers, keys held) in order and returns the typed text.
struct Keys {
    uint8_t mods;
    std::vector<uint8_t> keys;
};
std::string typed(const std::vector<Keys> &reports)
{
    sim::HostView v;
    for (auto &r : reports) {
        std::vector<uint8_t> bytes(sim::kKeyboardReportLen, 0);
        bytes[0] = sim::kKeyboardReportId;
        bytes[1] = r.mods;
        for (size_t i = 0; i < r.keys.size(); ++i)
            bytes[2 + i] = r.keys[i];
        EXPECT_TRUE(v.apply(sim::ReportKind::Keyboard, bytes));
    }
    return v.typed;
}

TEST(HostTypedText, UsLayoutFromThePressesInOrder)
{
    // h, e, l, l, o with releases between; a key still held in the next report types once.
    EXPECT_EQ(typed({{0, {0x0B}}, {0, {}}, {0, {0x08}}, {0, {0x08}}, {0, {}}, {0, {0x0F}}, {0, {}}, {0, {0x0F}},
                     {0, {0x12}}, {0, {}}}),
              "hello");
    // Rollover: the second key goes down while the first is held.
    EXPECT_EQ(typed({{0, {0x04}}, {0, {0x04, 0x05}}, {0, {0x05}}, {0, {}}}), "ab");
    // Either Shift: capitals and the shifted row; digits and punctuation unshifted.
    EXPECT_EQ(typed({{kLShift, {0x0B}}, {0, {}}, {kRShift, {0x1E}}, {0, {}}, {0, {0x27}}, {0, {0x2D}},
                     {kLShift, {0x34}}, {0, {0x38}}, {0, {}}, {kLShift, {0x38}}, {0, {0x31}}, {0, {}},
                     {kLShift, {0x31}}}),
              "H!0-\"/?\\|");
    // Enter, Tab, Backspace, Escape and space stay themselves.
    EXPECT_EQ(typed({{0, {0x28}}, {0, {0x2B}}, {0, {0x2A}}, {0, {0x29}}, {0, {0x2C}}, {0, {}}}), "\n\t\b\x1b ");
    // Caps Lock turns letters only, and Shift turns them back; pressed again it is off.
    EXPECT_EQ(typed({{0, {0x39}}, {0, {}}, {0, {0x04}}, {kLShift, {0x05}}, {0, {0x1E}}, {0, {0x39}}, {0, {0x06}}}),
              "Ab1c");
    // Ctrl+letter is its control character; Alt or GUI chords are shortcuts that type nothing.
    EXPECT_EQ(typed({{kLCtrl, {0x06}}, {0, {}}, {kLAlt, {0x2B}}, {kLGui, {0x15}}, {0, {0x07}}}), "\x03"
                                                                                             "d");
    // Keypad digits follow Num Lock; its operators and Enter do not.
    EXPECT_EQ(typed({{0, {0x59}}, {0, {0x57}}, {0, {0x53}}, {0, {0x59}}, {0, {0x63}}, {0, {0x58}}}), "+1.\n");
    // Modifiers alone, F1 and arrows type nothing.
    EXPECT_EQ(typed({{kLShift, {}}, {0, {0x3A}}, {0, {0x4F}}, {0, {}}}), "");
}

TEST(HostTypedText, ErrorRollOverKeepsTheText)
{
    // A keyboard that lost track sends ErrorRollOver in every slot: nothing new is typed,
    // and the key held before and after is not typed twice.
    EXPECT_EQ(typed({{0, {0x04}}, {0, std::vector<uint8_t>(10, 0x01)}, {0, {0x04}}, {0, {}}}), "a");
}

TEST(HostTypedText, SummaryLineEscapes)
{
    EXPECT_EQ(sim::c_escaped("hello world"), "hello world");
    EXPECT_EQ(sim::c_escaped("a\nb\tc\bd\re"), "a\\nb\\tc\\bd\\re");
    EXPECT_EQ(sim::c_escaped("say \"\\\""), "say \\\"\\\\\\\"");
    // Octal takes three digits, so a digit after it cannot join it.
    EXPECT_EQ(sim::c_escaped("\x1b"
                             "1\x03\x7f"),
              "\\0331\\003\\177");
}

TEST(EvemuRecording, ReadsEventsAndSkipsTheRest)
{
    std::istringstream in("# EVEMU 1.3\n"
                          "N: USB Keyboard\n"
                          "I: 0003 1c4f 0002 0110\n"
                          "B: 01 fe ff ff ff ff ff ff ff\n"
                          "################################\n"
                          "E: 0.000000 0004 0004 458763\t# EV_MSC / MSC_SCAN             458763\n"
                          "E: 0.000000 0001 0023 0001\t# EV_KEY / KEY_H                1\n"
                          "E: 12.081222 0002 0000 -5\n"
                          "E: 12.081222 0000 0000 0000\t# ------------ SYN_REPORT (0) ---------- +81ms\r\n");
    auto r = vboard::parse_evemu(in);
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.events.size(), 4u);
    EXPECT_EQ(r.events[0].type, 4);
    EXPECT_EQ(r.events[0].value, 458763);
    EXPECT_EQ(r.events[1].code, 0x23);
    EXPECT_EQ(r.events[2].time_us, 12081222);
    EXPECT_EQ(r.events[2].type, 2);
    EXPECT_EQ(r.events[2].value, -5);
    EXPECT_EQ(r.events[3].time_us, 12081222);
}

TEST(EvemuRecording, RefusesWhatItCannotPlayExactly)
{
    struct Case {
        const char *text, *error;
    } cases[] = {
        {"E: 0.5 0001 001e 1\n", "line 1"},                  // the time is not sec.usec
        {"E: 0.000001 0001 001e\n", "line 1"},               // no value
        {"N: kbd\nE: 0.000001 0001 001e 1 junk\n", "line 2"}, // more than a comment after it
        {"E: 0.000001 10000 001e 1\n", "line 1"},            // type past 16 bits
        {"E: 0.000001 0001 001e 4294967296\n", "line 1"},    // value past 32 bits
        {"E: -1.000000 0001 001e 1\n", "line 1"},            // before the recording began
        {"# EVEMU 1.3\nN: kbd\n", "no events"},              // a header only
    };
    for (auto &c : cases) {
        std::istringstream in(c.text);
        auto r = vboard::parse_evemu(in);
        EXPECT_TRUE(r.events.empty()) << c.text;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << c.text << " -> " << r.error;
    }
    EXPECT_NE(vboard::load_evemu("/nonexistent/recording").error, "");
}

TEST(VboardOptions, ParsesWhatTheLauncherHandsOn)
{
    std::vector<std::string> args = {"--keyboard", "1", "--mouse", "2", "--replay", "0:rec:with:colons.evemu",
                                     "--forward", "3:/dev/input/event7", "--panel", "p.png", "--pcap", "b.pcap",
                                     "--quit-after-replay", "--time-limit", "1.5", "--quiet", "--", "app", "--keyboard"};
    auto p = vboard::parse_options(args, true);
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.app, 17u);
    auto &o = p.options;
    EXPECT_EQ(o.keyboards, std::vector<int>{1});
    EXPECT_EQ(o.mice, std::vector<int>{2});
    ASSERT_EQ(o.replays.size(), 1u);
    EXPECT_EQ(o.replays[0].port, 0);
    EXPECT_EQ(o.replays[0].path, "rec:with:colons.evemu");
    ASSERT_EQ(o.forwards.size(), 1u);
    EXPECT_EQ(o.forwards[0].path, "/dev/input/event7");
    EXPECT_EQ(o.panel_png, "p.png");
    EXPECT_EQ(o.pcap, "b.pcap");
    EXPECT_TRUE(o.quit_after_replay);
    EXPECT_EQ(o.time_limit_ms, 1500u);
    EXPECT_TRUE(o.quiet);

    // The board's side gets the options without the application, through the environment.
    std::vector<std::string> board(args.begin(), args.begin() + 16);
    EXPECT_EQ(vboard::split_args(vboard::join_args(board)), board);
    auto b = vboard::parse_options(vboard::split_args(vboard::join_args(board)), false);
    EXPECT_EQ(b.error, "");
    EXPECT_EQ(b.options.replays[0].path, o.replays[0].path);
    EXPECT_TRUE(vboard::parse_options(vboard::split_args(""), false).error.empty());
}

TEST(VboardOptions, RefusesBadOnes)
{
    std::vector<std::vector<std::string>> bad = {
        {"--keyboard", "5", "--", "app"},              // ports are 0..4
        {"--mouse", "-1", "--", "app"},
        {"--keyboard", "1", "--mouse", "1", "--", "app"}, // one device per port
        {"--replay", "0", "--", "app"},                // no file
        {"--replay", "0:", "--", "app"},
        {"--forward", "x:/dev/input/event0", "--", "app"},
        {"--time-limit", "0", "--", "app"},
        {"--time-limit", "2s", "--", "app"},
        {"--time-limit", "4294968", "--", "app"},      // its milliseconds would wrap to 0.7 s
        {"--quit-after-replay", "--", "app"},          // nothing would ever end it
        {"--panel"},                                   // a value missing
        {"--frobnicate", "--", "app"},
        {"--keyboard", "0"},                           // no application
        {"--keyboard", "0", "--"},
        {"--usbip", "65536", "--", "app"},
        {"--usbip", "localhost:3240", "--", "app"},    // an IPv4 address, not a name
        {"--usbip", "127.0.0.1:", "--", "app"},
        {"--usbip", "-1", "--", "app"},
        {"--usbip", "3240", "--pcap", "b.pcap", "--", "app"}, // no modelled host to capture
    };
    for (auto &args : bad)
        EXPECT_NE(vboard::parse_options(args, true).error, "") << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_TRUE(vboard::parse_options({"--help"}, true).help);
    // --usbip: the address defaults to this machine only.
    auto u = vboard::parse_options({"--usbip", "3240", "--", "app"}, true).options;
    EXPECT_EQ(u.usbip_address + ":" + std::to_string(u.usbip_port), "127.0.0.1:3240");
    u = vboard::parse_options({"--usbip", "0.0.0.0:0", "--", "app"}, true).options;
    EXPECT_EQ(u.usbip_address + ":" + std::to_string(u.usbip_port), "0.0.0.0:0");
    // The longest limit that fits is kept whole.
    EXPECT_EQ(vboard::parse_options({"--time-limit", "4294967", "--", "app"}, true).options.time_limit_ms, 4294967000u);
}

} // namespace
