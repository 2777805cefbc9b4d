// hidbridged through its socket on the virtual board, checked by what the host computer saw.
// Every case is its own process.
#include "service_board.h"

#include "hidbridge.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <linux/input-event-codes.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <set>
#include <sys/wait.h>
#include <grp.h>
#include <sys/stat.h>
#include <thread>

using namespace hbtest;

namespace {

sim::HostView view() { return board().host.view(); }

bool host_sees(const std::function<bool(const sim::HostView &)> &pred) { return board().host.wait_view(pred, 1s); }

// The chip takes the host's LED report before the device thread hands it to the library.
bool host_leds(uint8_t v)
{
    if (!board().host.set_leds(v))
        return false;
    for (int i = 0; i < 100 && km_query_leds() != v; ++i)
        std::this_thread::sleep_for(10ms);
    return km_query_leds() == v;
}

constexpr uint8_t kA = 0x04, kLeftShift = 0xE1;

} // namespace

TEST(ServiceCommands, EveryCommandAndItsReply)
{
    start_service();
    Client c;
    ASSERT_TRUE(c.connected());

    EXPECT_EQ(c.ask("key down a"), "ok");
    EXPECT_TRUE(host_sees([](auto &v) { return v.key_held(kA); }));
    EXPECT_EQ(c.ask("key query a"), "ok 2") << "requested by the application, not the keyboard";
    EXPECT_EQ(c.ask("key down leftshift"), "ok");
    EXPECT_TRUE(host_sees([](auto &v) { return v.modifiers == 0x02; }));
    EXPECT_EQ(c.ask("key up 225"), "ok");
    EXPECT_EQ(c.ask("key up 0x04"), "ok");
    EXPECT_TRUE(host_sees([](auto &v) { return !v.key_held(kA) && v.modifiers == 0; }));

    unsigned enters = view().presses(0x28);
    EXPECT_EQ(c.ask("key press enter"), "ok");
    EXPECT_TRUE(host_sees([&](auto &v) { return v.presses(0x28) == enters + 1 && !v.key_held(0x28); }));

    // A masked key of the physical keyboard does not reach the host; unmasked it does.
    EXPECT_EQ(c.ask("key mask x on"), "ok");
    board().events.key(0, KEY_X, 1);
    board().events.key(0, KEY_Y, 1);
    board().events.syn(0);
    EXPECT_TRUE(host_sees([](auto &v) { return v.key_held(0x1C); }));
    EXPECT_FALSE(view().key_held(0x1B));
    EXPECT_EQ(c.ask("key query x"), "ok 1") << "the keyboard holds it";
    board().events.key(0, KEY_X, 0);
    board().events.key(0, KEY_Y, 0);
    board().events.syn(0);
    EXPECT_EQ(c.ask("key mask x off"), "ok");

    EXPECT_EQ(c.ask("button down left"), "ok");
    EXPECT_TRUE(host_sees([](auto &v) { return v.button_held(1); }));
    EXPECT_EQ(c.ask("button query left"), "ok 2");
    EXPECT_EQ(c.ask("button up left"), "ok");
    EXPECT_TRUE(host_sees([](auto &v) { return !v.button_held(1); }));
    for (int b = 0; b < 8; ++b) {
        unsigned before = view().button_presses[b];
        EXPECT_EQ(c.ask(std::string("button click ") + hidbridged::kButtonNames[b]), "ok");
        EXPECT_TRUE(host_sees([&](auto &v) { return v.button_presses[b] == before + 1 && !v.button_held(b + 1); }))
            << hidbridged::kButtonNames[b];
    }
    EXPECT_EQ(c.ask("button query side5"), "ok 0");

    auto x = view().x, y = view().y, w = view().wheel;
    EXPECT_EQ(c.ask("move 12 -7"), "ok");
    EXPECT_TRUE(host_sees([&](auto &v) { return v.x == x + 12 && v.y == y - 7; }));
    EXPECT_EQ(c.ask("wheel -2"), "ok");
    EXPECT_TRUE(host_sees([&](auto &v) { return v.wheel == w - 2; }));

    EXPECT_EQ(c.ask("type hi"), "ok");
    EXPECT_EQ(c.ask("status"), "ok version=1.0.0 host=configured inputs=2 layout=us clients=1 leds=none");
    ASSERT_TRUE(host_leds(0x03));
    EXPECT_EQ(c.ask("status"), "ok version=1.0.0 host=configured inputs=2 layout=us clients=1 leds=num,caps");
    ASSERT_TRUE(host_leds(0x00));
    EXPECT_EQ(c.ask("key down b"), "ok");
    EXPECT_EQ(c.ask("button down right"), "ok");
    EXPECT_EQ(c.ask("release"), "ok");
    EXPECT_TRUE(host_sees([](auto &v) { return v.keys.empty() && v.buttons == 0; }));

    EXPECT_EQ(c.ask("key press nosuchkey"), "err unknown key 'nosuchkey'");
    EXPECT_EQ(c.ask("fly"), "err unknown command 'fly'");
    EXPECT_EQ(c.ask(""), "err empty line");
}

TEST(ServiceCommands, StatsAnswersTheBoardsOwnFigures)
{
    start_service();
    Client c;
    board().events.packet(0, {{EV_KEY, KEY_A, 1}});
    ASSERT_TRUE(host_sees([](auto &v) { return v.key_held(kA); }));
    board().events.packet(0, {{EV_KEY, KEY_A, 0}});
    ASSERT_TRUE(host_sees([](auto &v) { return !v.key_held(kA); }));
    // The figures follow the host's collection by a moment.
    std::string r;
    for (int i = 0; i < 200 && (r = c.ask("stats")).find(" kbd_p99_us=0 ") != std::string::npos; ++i)
        std::this_thread::sleep_for(5ms);
    std::map<std::string, long long> kv;
    std::istringstream in(r);
    std::string word;
    in >> word;
    ASSERT_EQ(word, "ok") << r;
    while (in >> word)
        kv[word.substr(0, word.find('='))] = std::stoll(word.substr(word.find('=') + 1));
    for (const char *k : {"kbd_p50_us", "kbd_p99_us", "mouse_p99_us", "mouse_polls_per_s", "resyncs", "timeouts"})
        EXPECT_EQ(kv.count(k), 1u) << k << " in " << r;
    EXPECT_GT(kv["kbd_p50_us"], 0) << "the two key changes were timed: " << r;
    EXPECT_GE(kv["kbd_p99_us"], kv["kbd_p50_us"]);
    EXPECT_EQ(kv["resyncs"], 0);
    EXPECT_GE(kv["records"], 4) << "two packets of two records";

    std::string out = socket_path() + ".out";
    int st = system((HIDBRIDGECTL " --socket " + socket_path() + " stats >" + out + " 2>&1").c_str());
    std::ifstream f(out);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("ok kbd_p50_us=", 0), 0u) << text;
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 0);
}

TEST(ServiceCommands, TheLibrarysFailuresAreErrors)
{
    start_service();
    Client c;
    board().host.stop_polling();
    EXPECT_EQ(c.ask("key press a"), "err host did not collect the report within 100 ms");
    EXPECT_EQ(c.ask("type ab"), "err host did not collect the report within 100 ms (typing stopped after 0 of 2 "
                                "key strokes)");
    board().host.resume_polling();
    board().host.bus_reset(false); // reset, not enumerated again: the device is unconfigured
    for (int i = 0; i < 100 && std::atomic_ref<uint8_t>(km.configok).load(); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(c.ask("button click left"), "err host has not configured the device");
    EXPECT_NE(c.ask("status").find(" host=unconfigured "), std::string::npos);
}

TEST(ServiceCommands, ClientsAndTheirLimits)
{
    start_service();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < hidbridged::kMaxClients; ++i) {
        clients.push_back(std::make_unique<Client>());
        EXPECT_EQ(clients.back()->ask("status").find("ok "), 0u);
    }
    // Four idle clients lock nobody out: the one idle longest makes room.
    auto fifth = std::make_unique<Client>();
    EXPECT_EQ(fifth->ask("status").find("ok "), 0u);
    EXPECT_EQ(clients[0]->reply(), "<closed>");
    clients[0] = std::move(fifth);

    // Clients that hold something are not dropped: then a newcomer is refused, and told so.
    const char *keys[] = {"b", "c", "d"};
    for (int i = 1; i < hidbridged::kMaxClients; ++i)
        EXPECT_EQ(clients[i]->ask(std::string("key down ") + keys[i - 1]), "ok");
    EXPECT_EQ(clients[0]->ask("key mask x on"), "ok");
    Client extra;
    EXPECT_EQ(extra.reply(), "err too many clients (4)");
    EXPECT_EQ(extra.reply(), "<closed>");
    std::string out = socket_path() + ".out";
    int st = system((HIDBRIDGECTL " --socket " + socket_path() + " status >" + out + " 2>&1").c_str());
    std::ifstream f(out);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "err too many clients (4)\n");
    EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 1);
    EXPECT_NE(clients[0]->ask("status").find("clients=4"), std::string::npos);

    // Lines sent at once are answered in order.
    clients[1]->send_raw("key press a\nfly\nstatus\n");
    EXPECT_EQ(clients[1]->reply(), "ok");
    EXPECT_EQ(clients[1]->reply(), "err unknown command 'fly'");
    EXPECT_EQ(clients[1]->reply().find("ok version="), 0u);
}

TEST(ServiceCommands, AnIdleClientThatHoldsNothingIsDropped)
{
    service_options().idle_limit = 200ms;
    start_service();
    Client holder, masker, idle;
    EXPECT_EQ(holder.ask("key down a"), "ok");
    EXPECT_EQ(masker.ask("key mask x on"), "ok");
    EXPECT_EQ(idle.ask("status").find("ok "), 0u);
    EXPECT_EQ(idle.reply(), "<closed>");
    EXPECT_NE(holder.ask("status").find("clients=2"), std::string::npos);
    EXPECT_EQ(masker.ask("key mask x off"), "ok");
    EXPECT_EQ(masker.reply(), "<closed>") << "holding nothing any more";
    EXPECT_TRUE(view().key_held(kA));
}

TEST(ServiceCommands, OneClientDoesNotHoldTheOthersUp)
{
    start_service();
    Client slow, quick;
    // A long text: the others' commands go between its strokes.
    slow.send_raw("type " + std::string(250, 'k') + "\n");
    ASSERT_TRUE(host_sees([](auto &v) { return v.presses(0x0E) > 2; }));
    EXPECT_EQ(quick.ask("status").find("ok "), 0u);
    EXPECT_EQ(quick.ask("key press a"), "ok");
    EXPECT_TRUE(slow.waiting()) << "the status and the key waited for the whole text";
    EXPECT_EQ(slow.reply(), "ok");

    // Ten keys released from a host that does not poll: a second each.
    for (const char *k : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"})
        EXPECT_EQ(slow.ask(std::string("key down ") + k), "ok");
    board().host.stop_polling();
    slow.send_raw("release\n");
    EXPECT_EQ(quick.ask("status").find("ok "), 0u);
    EXPECT_EQ(quick.ask("help"), hidbridged::help_reply());
    EXPECT_TRUE(slow.waiting()) << "the status waited for the release";
    EXPECT_EQ(slow.reply(), "err host did not collect the report within 100 ms");
    board().host.resume_polling();
    EXPECT_TRUE(host_sees([](auto &v) { return v.keys.empty(); }));
}

TEST(ServiceCommands, TheSocketAnswersBeforeTheHostConfigures)
{
    start_service("", false);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.ask("status"), "ok version=1.0.0 host=unconfigured inputs=2 layout=us clients=1 leds=none");
    EXPECT_EQ(c.ask("key press a"), "err host has not configured the device");
    EXPECT_EQ(c.ask("key query a"), "err host has not configured the device");
    EXPECT_EQ(c.ask("help"), hidbridged::help_reply());
    board().host.start();
    std::string s;
    for (int i = 0; i < 500 && (s = c.ask("status")).find("host=configured") == std::string::npos; ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(s.find("host=configured"), std::string::npos) << s;
    unsigned presses = view().presses(kA);
    EXPECT_EQ(c.ask("key press a"), "ok");
    EXPECT_TRUE(host_sees([&](auto &v) { return v.presses(kA) == presses + 1; }));
}

TEST(ServiceType, EveryPrintableAsciiCharacterWithTheUsLayout)
{
    start_service();
    Client c;
    std::string ascii;
    for (char ch = ' '; ch <= '~'; ++ch)
        ascii += ch;
    size_t from = keyboard_reports();
    EXPECT_EQ(c.ask("type " + ascii), "ok");
    EXPECT_EQ(host_typed("us", from), ascii);
    EXPECT_TRUE(view().keys.empty());
    EXPECT_EQ(view().modifiers, 0) << "no Shift left behind";
}

TEST(ServiceType, GermanSample)
{
    start_service("[keyboard]\nlayout = de\n");
    Client c;
    const std::string text = "Zyx @ 3 € & {[]} \\ | ~ ^ ` ÄÖÜäöüß °§ <> \"Grüße\"";
    size_t from = keyboard_reports();
    EXPECT_EQ(c.ask("type " + text), "ok");
    EXPECT_EQ(host_typed("de", from), text);
    EXPECT_EQ(view().modifiers, 0);
    // The host of a German keyboard presses the key right of T for a z.
    size_t z = keyboard_reports();
    EXPECT_EQ(c.ask("type z"), "ok");
    EXPECT_EQ(host_typed("us", z), "y");
}

TEST(ServiceType, BritishSample)
{
    start_service("[keyboard]\nlayout = gb\n");
    Client c;
    const std::string text = "£5 @home #1 ~/x \\ | \"q\" ` ¬ €";
    size_t from = keyboard_reports();
    EXPECT_EQ(c.ask("type " + text), "ok");
    EXPECT_EQ(host_typed("gb", from), text);
    EXPECT_EQ(c.ask("status").find("layout=gb"), std::string("ok version=1.0.0 host=configured inputs=2 ").size());
}

// Every character the keymap puts on the main block's keys with at most Shift and, where
// right Alt is AltGr, AltGr: read from the keymap's levels, not from the service's plan.
std::string keymap_characters(const char *layout)
{
    std::string error;
    auto l = hidbridged::find_layout({layout, ""}, error);
    EXPECT_TRUE(l) << error;
    if (!l)
        return "";
    xkb_keymap *k = l->keymap();
    const xkb_keysym_t *syms;
    bool altgr = xkb_keymap_key_get_syms_by_level(k, xkb_keymap_key_by_name(k, "RALT"), 0, 0, &syms) == 1 &&
                 syms[0] == XKB_KEY_ISO_Level3_Shift;
    std::set<char32_t> chars;
    for (xkb_keycode_t kc = xkb_keymap_min_keycode(k); kc <= xkb_keymap_max_keycode(k); ++kc) {
        const char *name = xkb_keymap_key_get_name(k, kc);
        std::string_view n = name ? name : "";
        bool main_block = (n.size() == 4 && n[0] == 'A' && std::string_view("EDCB").find(n[1]) != n.npos) ||
                          n == "TLDE" || n == "BKSL" || n == "LSGT" || n == "SPCE";
        if (!main_block)
            continue;
        int levels = std::min<int>(xkb_keymap_num_levels_for_key(k, kc, 0), altgr ? 4 : 2);
        for (int lv = 0; lv < levels; ++lv)
            for (int i = 0, n_syms = xkb_keymap_key_get_syms_by_level(k, kc, 0, lv, &syms); i < n_syms; ++i)
                if (char32_t c = xkb_keysym_to_utf32(syms[i]); c >= 0x20 && c != 0x7F)
                    chars.insert(c);
    }
    std::string text;
    for (char32_t c : chars)
        hidbridged::append_utf8(text, c);
    return text;
}

// Types text in lines the service takes, cut between characters.
void type_all(Client &c, const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.size(), at + 200);
        while (end < text.size() && (text[end] & 0xC0) == 0x80)
            --end;
        ASSERT_EQ(c.ask("type " + text.substr(at, end - at)), "ok") << text.substr(at, end - at);
        at = end;
    }
}

TEST(ServiceType, EveryCharacterOfFourLayoutsAndDeadKeysWithCapsLockOffAndOn)
{
    start_service();
    Client c;
    for (const char *layout : {"us", "gb", "de", "fr"}) {
        std::string text = keymap_characters(layout);
        EXPECT_GT(text.size(), 90u) << layout;
        ASSERT_EQ(c.ask(std::string("layout ") + layout), "ok");
        for (bool caps : {false, true}) {
            ASSERT_TRUE(host_leds(caps ? 0x02 : 0x00));
            size_t from = keyboard_reports();
            type_all(c, text);
            bool caps_after = !caps;
            EXPECT_EQ(host_typed(layout, from, caps, &caps_after), text) << layout << (caps ? " with Caps Lock" : "");
            EXPECT_EQ(caps_after, caps) << layout << ": Caps Lock left as it was";
        }
    }
    // Dead keys, as the compose table combines them, also under Caps Lock.
    for (auto [layout, variant, text] : {std::tuple{"fr", "", "fête ^ ¨ Ëô Î"}, {"us", "intl", "é ã ' \" Ç ñ"}}) {
        ASSERT_EQ(c.ask(std::string("layout ") + layout + " " + variant), "ok");
        std::string name = std::string(layout) + (*variant ? std::string("(") + variant + ")" : "");
        for (bool caps : {false, true}) {
            ASSERT_TRUE(host_leds(caps ? 0x02 : 0x00));
            size_t from = keyboard_reports();
            EXPECT_EQ(c.ask(std::string("type ") + text), "ok");
            EXPECT_EQ(host_typed(name.c_str(), from, caps), text) << name << (caps ? " with Caps Lock" : "");
        }
    }
    EXPECT_NE(c.ask("status").find(" layout=us(intl) "), std::string::npos);

    // µ needs Caps Lock off on de: stopped between the two Caps Lock strokes, the typing still
    // leaves it on.
    Client other;
    ASSERT_EQ(other.ask("key down k"), "ok");
    ASSERT_EQ(c.ask("layout de"), "ok");
    ASSERT_TRUE(host_leds(0x02));
    size_t from = keyboard_reports();
    EXPECT_EQ(c.ask("type µk"), "err cannot type while k is held (typing stopped after 2 of 4 key strokes)");
    bool caps_after = false;
    EXPECT_EQ(host_typed("de", from, true, &caps_after), "µ");
    EXPECT_TRUE(caps_after);
}

TEST(ServiceType, AnUnknownLayoutIsNamedAndNothingIsTypedUntilOneIsGiven)
{
    start_service("[keyboard]\nlayout = xx\n");
    Client c;
    EXPECT_EQ(c.ask("status"), "ok version=1.0.0 host=configured inputs=2 layout=none clients=1 leds=none");
    size_t from = keyboard_reports();
    EXPECT_EQ(c.ask("type hello"), "err no layout: " + config_path() + ": [keyboard] layout = \"xx\": xkb-data has no layout 'xx'");
    EXPECT_EQ(keyboard_reports(), from) << "not typed in another layout";
    EXPECT_EQ(c.ask("key press a"), "ok") << "the rest goes on";
    EXPECT_EQ(c.ask("layout de nosuch"), "err variant 'nosuch': xkb-data has no variant 'nosuch' of layout 'de'");
    EXPECT_EQ(c.ask("layout ../x"), "err layout '../x': no layout name");
    EXPECT_EQ(c.ask("layout de"), "ok");
    from = keyboard_reports();
    EXPECT_EQ(c.ask("type zß"), "ok");
    EXPECT_EQ(host_typed("de", from), "zß");
    EXPECT_NE(c.ask("status").find(" layout=de "), std::string::npos);
    Client other;
    EXPECT_NE(other.ask("status").find(" layout=none "), std::string::npos) << "the layout is the client's own";
}

TEST(ServiceType, ARefusedCharacterTypesNothing)
{
    start_service();
    Client c;
    size_t from = keyboard_reports();
    EXPECT_EQ(c.ask("type price: 5€"), "err cannot type '€' (U+20AC) with layout us");
    EXPECT_EQ(c.ask("type tab\there, bell\x07"), "err cannot type (U+0007) with layout us");
    EXPECT_EQ(c.ask("type \xff"), "err cannot type byte \\xff (no UTF-8) with layout us");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(keyboard_reports(), from) << "not one report";
}

TEST(ServiceType, RefusesWhatTheHostWouldNotTakeAsText)
{
    start_service();
    Client typist, other;
    unsigned h = view().presses(0x0B);
    EXPECT_EQ(other.ask("key down leftctrl"), "ok");
    EXPECT_EQ(typist.ask("type hi"), "err cannot type while leftctrl is held");
    EXPECT_EQ(other.ask("key up leftctrl"), "ok");

    // A physical key counts too; under Shift the host would type HI.
    struct Held {
        uint16_t code;
        uint8_t bit;
        const char *name;
    };
    for (const Held held : {Held{KEY_LEFTALT, 0x04, "leftalt"}, Held{KEY_RIGHTSHIFT, 0x20, "rightshift"}}) {
        board().events.key(0, held.code, 1);
        board().events.syn(0);
        ASSERT_TRUE(host_sees([&](auto &v) { return v.modifiers == held.bit; }));
        EXPECT_EQ(typist.ask("type hi"), std::string("err cannot type while ") + held.name + " is held");
        board().events.key(0, held.code, 0);
        board().events.syn(0);
        ASSERT_TRUE(host_sees([](auto &v) { return v.modifiers == 0; }));
    }

    for (const char *k : {"a", "b", "c", "d", "e", "f", "g", "j", "k", "l"})
        EXPECT_EQ(other.ask(std::string("key down ") + k), "ok");
    EXPECT_EQ(typist.ask("type z"), "err cannot type while 10 keys are held (no free key slot)");
    EXPECT_EQ(other.ask("key up l"), "ok");
    EXPECT_EQ(typist.ask("type zk"), "err cannot type while k is held (typing stopped after 1 of 2 key strokes)");
    EXPECT_EQ(view().presses(0x0B), h) << "no h reached the host";
    EXPECT_EQ(other.ask("release"), "ok");
    size_t from = keyboard_reports();
    EXPECT_EQ(typist.ask("type hi"), "ok");
    EXPECT_EQ(host_typed("us", from), "hi");
}

TEST(ServiceType, PhysicalInputGoesOnWhileAClientTypes)
{
    start_service();
    Client c;
    std::string text(250, 'k');
    std::atomic<bool> typing{true};
    std::thread t([&] {
        EXPECT_EQ(c.ask("type " + text), "ok");
        typing = false;
    });
    // Let typing begin, then the physical keyboard taps Q: the host must have it before
    // the typing ends.
    ASSERT_TRUE(host_sees([](auto &v) { return v.presses(0x0E) > 5; }));
    board().events.key(0, KEY_Q, 1);
    board().events.syn(0);
    bool seen = host_sees([](auto &v) { return v.key_held(0x14); });
    bool still_typing = typing;
    board().events.key(0, KEY_Q, 0);
    board().events.syn(0);
    t.join();
    EXPECT_TRUE(seen);
    EXPECT_TRUE(still_typing) << "the physical key waited for the whole text";
}

TEST(ServiceSafety, LongLinesGarbageAndCutLinesLeaveTheServiceAnswering)
{
    start_service();
    Client c;
    EXPECT_EQ(c.ask(std::string(10 * 1024, 'a')), "err line longer than 256 bytes");
    EXPECT_EQ(c.ask("type " + std::string(252, 'b')), "err line longer than 256 bytes") << "257 bytes";
    size_t from = keyboard_reports();
    EXPECT_EQ(c.ask("type " + std::string(250, 'c') + "d"), "ok") << "256 bytes";
    EXPECT_EQ(host_typed("us", from), std::string(250, 'c') + "d");

    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919) & 0xFF);
    c.send_raw(garbage + "\n");
    for (std::string r = c.reply(); r.find("err") == 0; r = c.reply())
        if (c.ask("status").find("ok ") == 0)
            break;
    EXPECT_EQ(c.ask("status").find("ok "), 0u);

    {
        Client cut;
        cut.send_raw("key down a"); // no newline, then gone
    }
    {
        Client cut;
        cut.send_raw(std::string(1000, 'z')); // gone inside a too-long line
    }
    Client d;
    EXPECT_EQ(d.ask("status").find("ok "), 0u);
    EXPECT_FALSE(view().key_held(kA)) << "a cut line is not run";
}

TEST(ServiceSafety, AClientThatGoesAwayLeavesNothingHeld)
{
    start_service();
    {
        Client c;
        EXPECT_EQ(c.ask("key down a"), "ok");
        EXPECT_EQ(c.ask("key down leftshift"), "ok");
        EXPECT_EQ(c.ask("button down left"), "ok");
        EXPECT_TRUE(host_sees([](auto &v) { return v.key_held(kA) && v.button_held(1) && v.modifiers == 0x02; }));
    }
    EXPECT_TRUE(host_sees([](auto &v) { return v.keys.empty() && v.modifiers == 0 && v.buttons == 0; }));

    // A key two clients hold stays down until the second one goes.
    Client one, two;
    EXPECT_EQ(one.ask("key down a"), "ok");
    EXPECT_EQ(two.ask("key down a"), "ok");
    one.close();
    // The service may read two's request before it notices one's end: ask until it has.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = two.ask("status").find(" clients=1 ") != std::string::npos;
        if (!gone)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone);
    EXPECT_TRUE(view().key_held(kA));
    two.close();
    EXPECT_TRUE(host_sees([](auto &v) { return v.keys.empty(); }));
}

TEST(ServiceSafety, MasksGoWithTheirClient)
{
    start_service();
    Client keeper;
    {
        Client c;
        EXPECT_EQ(c.ask("key mask x on"), "ok");
        EXPECT_EQ(keeper.ask("key mask x on"), "ok");
        EXPECT_EQ(c.ask("key mask y on"), "ok");
    }
    // Masks go once the service has seen their client go: a key hidden until then shows at
    // its next press. Taps the keys until the host sees `usage`; whether it saw x meanwhile.
    auto tap_until = [](std::vector<int> keys, uint8_t usage) {
        bool seen = false, x = false;
        for (int i = 0; i < 200 && !seen; ++i) {
            for (int v : {1, 0}) {
                for (int k : keys)
                    board().events.key(0, k, v);
                board().events.syn(0);
                if (v)
                    seen = board().host.wait_view([&](auto &h) { return h.key_held(usage); }, 10ms);
                x = x || view().key_held(0x1B);
            }
        }
        return std::make_pair(seen, x);
    };
    EXPECT_EQ(tap_until({KEY_X, KEY_Y}, 0x1C), std::make_pair(true, false)) << "keeper still masks x";
    keeper.close();
    EXPECT_TRUE(tap_until({KEY_X}, 0x1B).first);
}

TEST(ServiceSafety, SocketModeAndGroup)
{
    // A group other than our own where we may give one (root), else our own.
    const group *g = geteuid() == 0 ? getgrnam("daemon") : nullptr;
    if (!g)
        g = getgrgid(getegid());
    ASSERT_TRUE(g);
    gid_t gid = g->gr_gid;
    start_service("[control]\nsocket = " + socket_path() + "\ngroup = " + g->gr_name + "\n");
    struct stat st;
    ASSERT_EQ(stat(socket_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, gid);

    // A second service does not take the socket of one that answers on it.
    hidbridged::ServiceOptions again;
    again.config.socket = socket_path();
    hidbridged::Service second(again);
    EXPECT_FALSE(second.open_socket());
    Client c;
    EXPECT_EQ(c.ask("status").find("ok "), 0u);
}

TEST(ServiceCtl, OneCommandLinesOfStandardInputAndExitStatus)
{
    start_service();
    std::string out = socket_path() + ".out";
    auto ctl = [&](const std::string &args, const std::string &input = "") {
        std::string cmd = "printf '" + input + "' | " HIDBRIDGECTL " " + args + " >" + out + " 2>&1";
        int st = system(cmd.c_str());
        std::ifstream f(out);
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        return std::make_pair(WIFEXITED(st) ? WEXITSTATUS(st) : -1, text);
    };
    const std::string s = "--socket " + socket_path();
    unsigned presses = view().presses(kA);
    EXPECT_EQ(ctl(s + " key press a"), std::make_pair(0, std::string("ok\n")));
    EXPECT_TRUE(host_sees([&](auto &v) { return v.presses(kA) == presses + 1; }));
    EXPECT_EQ(ctl(s + " type two words"), std::make_pair(0, std::string("ok\n")));
    EXPECT_EQ(ctl(s + " key press nosuch"), std::make_pair(1, std::string("err unknown key 'nosuch'\n")));
    auto [code, text] = ctl("--socket /nonexistent/control.sock status");
    EXPECT_EQ(code, 2);
    EXPECT_NE(text.find("cannot connect to /nonexistent/control.sock"), std::string::npos) << text;

    auto piped = ctl(s, "key query f5\n\nfly\nmove 1 1\n");
    EXPECT_EQ(piped, std::make_pair(1, std::string("ok 0\nerr unknown command 'fly'\nok\n"))) << "blank lines skipped";
    EXPECT_EQ(ctl(s, "status\n").first, 0);
}

TEST(ServiceSettings, TheHostSeesTheConfiguredIdentity)
{
    start_service("[usb]\nvid = 0x1d6b\npid = 0x0104\n");
    auto d = sim::parse_device_descriptor(board().host.snapshot().device_descriptor);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.vid, 0x1d6b);
    EXPECT_EQ(d.pid, 0x0104);
}
