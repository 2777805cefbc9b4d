// hidbridged's command parser, keyboard layouts and settings, without a board.
#include "command.h"
#include "config.h"
#include "layout.h"
#include "service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <grp.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace hidbridged;

namespace {

std::string error_of(std::string_view line)
{
    Command c;
    std::string e;
    EXPECT_FALSE(parse_command(line, c, e)) << line;
    return e;
}

Command parsed(std::string_view line)
{
    Command c;
    std::string e;
    EXPECT_TRUE(parse_command(line, c, e)) << line << ": " << e;
    return c;
}

std::shared_ptr<const Layout> layout(const char *name, const char *variant = "")
{
    std::string error;
    auto l = find_layout({name, variant}, error);
    EXPECT_TRUE(l) << name << ": " << error;
    return l;
}

std::vector<Stroke> plan(const Layout &l, std::string_view text, bool caps = false)
{
    std::vector<Stroke> s;
    std::string refused;
    EXPECT_TRUE(l.plan(text, caps, s, refused)) << text << ": " << refused;
    return s;
}

bool same(const std::vector<Stroke> &a, const std::vector<Stroke> &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](Stroke x, Stroke y) {
               return x.usage == y.usage && x.mods == y.mods;
           });
}

// Loads the settings at `path` into `c`: the count of bad values and what was said.
struct Loaded {
    int bad;
    std::string said;
};
Loaded load(const std::string &path, Config &c)
{
    char *msgs = nullptr;
    size_t len = 0;
    FILE *m = open_memstream(&msgs, &len);
    int bad = load_config(path.c_str(), c, m);
    fclose(m);
    Loaded r{bad, msgs ? msgs : ""};
    free(msgs);
    return r;
}

} // namespace

TEST(ServiceParser, CommandsKeysAndButtons)
{
    Command c = parsed("key down leftshift");
    EXPECT_EQ(c.op, Op::KeyDown);
    EXPECT_EQ(c.code, 0xE1);
    EXPECT_EQ(parsed("key up 0x28").code, 0x28);
    EXPECT_EQ(parsed("  key   press\tenter \r").code, 0x28) << "blanks and a CR around the words";
    EXPECT_EQ(parsed("key press 4").code, 4) << "a number is a usage";
    EXPECT_EQ(parsed("key query f5").code, 0x3E);
    c = parsed("key mask x on");
    EXPECT_EQ(c.op, Op::KeyMask);
    EXPECT_EQ(c.code, 0x1B);
    EXPECT_EQ(c.value, 1);
    EXPECT_EQ(parsed("key mask 27 off").value, 0);
    EXPECT_EQ(parsed("key press rightmeta").code, 0xE7);
    EXPECT_EQ(parsed("key press 102nd").code, 0x64);
    EXPECT_EQ(parsed("key press 254").code, 254);

    c = parsed("button click side5");
    EXPECT_EQ(c.op, Op::ButtonClick);
    EXPECT_EQ(c.code, 7);
    EXPECT_EQ(parsed("button down middle").code, 2);
    EXPECT_EQ(parsed("button query right").op, Op::ButtonQuery);

    c = parsed("move -32767 32767");
    EXPECT_EQ(c.x, -32767);
    EXPECT_EQ(c.y, 32767);
    EXPECT_EQ(parsed("wheel -127").value, -127);
    EXPECT_EQ(parsed("release").op, Op::Release);
    EXPECT_EQ(parsed("status").op, Op::Status);

    c = parsed("type  two  blanks ");
    EXPECT_EQ(c.op, Op::Type);
    EXPECT_EQ(c.text, " two  blanks ") << "everything after one separator";
}

TEST(ServiceParser, RefusesWithAReason)
{
    EXPECT_EQ(error_of(""), "empty line");
    EXPECT_EQ(error_of("jump"), "unknown command 'jump'");
    EXPECT_EQ(error_of("KEY press a"), "unknown command 'KEY'");
    EXPECT_EQ(error_of("key press"), "missing key");
    EXPECT_EQ(error_of("key press kpfoo"), "unknown key 'kpfoo'");
    EXPECT_EQ(error_of("key press 255"), "key code '255' not in 0..254");
    EXPECT_EQ(error_of("key press -1"), "key code '-1' not in 0..254");
    EXPECT_EQ(error_of("key press 0x"), "key code '0x' not in 0..254");
    EXPECT_EQ(error_of("key press 99999999999"), "key code '99999999999' not in 0..254");
    EXPECT_EQ(error_of("key hold a"), "key needs down, up, press, mask or query");
    EXPECT_EQ(error_of("key mask a maybe"), "mask needs on or off");
    EXPECT_EQ(error_of("key press a b"), "unexpected 'b'");
    EXPECT_EQ(error_of("button click side6"), "unknown button 'side6'");
    EXPECT_EQ(error_of("button press left"), "button needs down, up, click or query");
    EXPECT_EQ(error_of("move 1"), "missing y");
    EXPECT_EQ(error_of("move 1 32768"), "y '32768' not in -32767..32767");
    EXPECT_EQ(error_of("move 1x 2"), "x '1x' not in -32767..32767");
    EXPECT_EQ(error_of("wheel 128"), "wheel step '128' not in -127..127");
    EXPECT_EQ(error_of("type"), "missing text");
    EXPECT_EQ(error_of("type "), "missing text");
    EXPECT_EQ(error_of("status now"), "unexpected 'now'");
    EXPECT_EQ(error_of(std::string_view("key\0press a", 11)), "unknown command 'key?press'");
    EXPECT_EQ(error_of("\xff\xfe"), "unknown command '?" "?'");
    // Numbers past 32 bits do not wrap into the range.
    EXPECT_EQ(error_of("wheel 0xffffffff"), "wheel step '0xffffffff' not in -127..127");
    EXPECT_EQ(error_of("move 0xffff8001 0"), "x '0xffff8001' not in -32767..32767");
    EXPECT_EQ(error_of("key press -0xffffff04"), "key code '-0xffffff04' not in 0..254");
    EXPECT_EQ(error_of("wheel 00000000000000000000128"), "wheel step '00000000000000000000128' not in -127..127");
    EXPECT_EQ(parsed("wheel -0x7f").value, -127);
    EXPECT_EQ(parsed("key press 010").code, 10) << "decimal, not octal";
    Command c = parsed("layout ch fr");
    EXPECT_EQ(c.op, Op::Layout);
    EXPECT_EQ(c.text, "ch");
    EXPECT_EQ(c.variant, "fr");
    EXPECT_EQ(parsed("layout de").variant, "");
    EXPECT_EQ(error_of("layout"), "missing layout");
    EXPECT_EQ(error_of("layout us intl x"), "unexpected 'x'");
}

TEST(ServiceParser, HelpAndReadmeListEveryVerb)
{
    EXPECT_EQ(parsed("help").op, Op::Help);
    std::string help = help_reply();
    std::set<std::string> usages;
    for (const Verb &v : kVerbs) {
        EXPECT_NE(help.find(v.usage), std::string::npos) << v.usage;
        usages.insert(v.usage);
        Command c;
        std::string e;
        parse_command(v.name, c, e);
        EXPECT_EQ(e.find("unknown command"), std::string::npos) << v.name;
    }
    // README's command table of the service, one row per verb, its first column the usage.
    std::ifstream f(HIDBRIDGE_SOURCE_DIR "/README.md");
    std::string line;
    bool in_section = false;
    std::set<std::string> rows;
    while (std::getline(f, line)) {
        if (line.rfind("## ", 0) == 0)
            in_section = line == "## The service: hidbridged";
        if (!in_section || line.rfind("| `", 0) != 0)
            continue;
        std::string cell = line.substr(3, line.find("` |") - 3);
        for (size_t at; (at = cell.find("\\|")) != std::string::npos;)
            cell.erase(at, 1);
        rows.insert(cell);
    }
    EXPECT_EQ(rows, usages);
}

TEST(ServiceLayouts, KeysWhereTheLayoutsPutThem)
{
    using S = std::vector<Stroke>;
    constexpr uint8_t kShiftAltGr = kModShift | kModAltGr;
    auto us = layout("us"), gb = layout("gb"), de = layout("de"), fr = layout("fr");
    ASSERT_TRUE(us && gb && de && fr);
    EXPECT_TRUE(same(plan(*us, "aA@\"\\<"), S{{0x04, 0}, {0x04, kModShift}, {0x1F, kModShift}, {0x34, kModShift},
                                               {0x31, 0}, {0x36, kModShift}}))
        << "no ISO key on a US keyboard";
    // The ISO keyboard: 0x32 left of Enter, 0x64 right of left Shift, before AltGr (\ and |
    // are AltGr on other gb keys too).
    EXPECT_TRUE(same(plan(*gb, "#~\\|£€"), S{{0x32, 0}, {0x32, kModShift}, {0x64, 0}, {0x64, kModShift},
                                           {0x20, kModShift}, {0x21, kModAltGr}}));
    // German: Y and Z exchanged, AltGr for @, Shift+AltGr for the guillemets' neighbours; ^ is a
    // dead key that Space turns into the accent.
    EXPECT_TRUE(same(plan(*de, "yz@»^"), S{{0x1D, 0}, {0x1C, 0}, {0x14, kModAltGr}, {0x1D, kModAltGr},
                                          {0x35, 0}, {0x2C, 0}}));
    EXPECT_TRUE(same(plan(*de, "¡"), S{{0x1E, kShiftAltGr}}));
    // French: A where Q is, ê by the dead circumflex and e.
    EXPECT_TRUE(same(plan(*fr, "aê"), S{{0x14, 0}, {0x2F, 0}, {0x08, 0}}));
    // Under Caps Lock Shift gives the small letter; digits and the rest as before.
    EXPECT_TRUE(same(plan(*us, "aA1!", true), S{{0x04, kModShift}, {0x04, 0}, {0x1E, 0}, {0x1E, kModShift}}));
    EXPECT_TRUE(same(plan(*de, "äÄ", true), S{{0x34, kModShift}, {0x34, 0}}));
}

TEST(ServiceLayouts, UnknownNamesAndRefusedCharacters)
{
    std::string why;
    const char *which = nullptr;
    EXPECT_FALSE(find_layout({"xx", ""}, why, &which));
    EXPECT_EQ(why, "xkb-data has no layout 'xx'");
    EXPECT_STREQ(which, "layout");
    EXPECT_FALSE(find_layout({"us,de", ""}, why)) << "one layout, not a group of them";
    ASSERT_TRUE(layout("ch", "fr"));
    EXPECT_EQ(layout("ch", "fr")->name(), "ch(fr)");
    EXPECT_EQ(layout("ch", "fr"), layout("ch", "fr")) << "compiled once";

    auto us = layout("us");
    ASSERT_TRUE(us);
    std::vector<Stroke> s;
    EXPECT_FALSE(us->plan("ab€c", false, s, why));
    EXPECT_EQ(why, "'€' (U+20AC)");
    EXPECT_TRUE(s.empty());
    EXPECT_FALSE(us->plan("ä", true, s, why)) << "no dead keys on us";
    EXPECT_FALSE(us->plan("¦", false, s, why)) << "level 4 of the ISO key: right Alt is no AltGr on us";
    EXPECT_FALSE(us->plan("a\x01", false, s, why));
    EXPECT_EQ(why, "(U+0001)");
    EXPECT_FALSE(us->plan("\xe2\x82", false, s, why)) << "a cut sequence";
    EXPECT_EQ(why, "byte \\xe2 (no UTF-8)");
    EXPECT_FALSE(us->plan("\xc0\xaf", false, s, why)) << "an overlong '/'";
    EXPECT_FALSE(us->plan("\xed\xa0\x80", false, s, why)) << "a surrogate";
}

TEST(ServiceSettings, ValuesDefaultsAndBadValues)
{
    char dir[] = "/tmp/hidbridged-ini-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string path = std::string(dir) + "/hidbridge.ini";
    const group *g = getgrgid(getegid());
    ASSERT_TRUE(g);
    std::string group_name = g->gr_name;
    {
        std::ofstream f(path);
        f << "# the service\n[usb]\nvid = 0x1d6b\npid=260\n[control]\nsocket = /tmp/x.sock \r\ngroup = "
          << group_name << "\n[panel]\nstatus = off\n[keyboard]\nlayout = de\n";
    }
    Config c;
    Loaded l = load(path, c);
    EXPECT_EQ(l.bad, 0);
    EXPECT_EQ(l.said, "");
    EXPECT_EQ(c.vid, 0x1d6b);
    EXPECT_EQ(c.pid, 260);
    EXPECT_EQ(c.socket, "/tmp/x.sock");
    EXPECT_EQ(c.group, group_name);
    EXPECT_FALSE(c.panel);
    ASSERT_TRUE(c.layout);
    EXPECT_EQ(c.layout->name(), "de");

    {
        std::ofstream f(path);
        f << "[usb]\nvid = zz\npid = 0x10000\n[control]\nsocket = relative.sock\ngroup = no-such-group-here\n"
             "[panel]\nstatus = maybe\n[keyboard]\nlayout = fr\nvariant = nosuch\n";
    }
    Config d;
    l = load(path, d);
    EXPECT_EQ(l.bad, 6);
    const std::string &text = l.said;
    EXPECT_NE(text.find(path + ": [usb] vid = \"zz\": not a number in 0x0001..0xffff; using the default\n"),
              std::string::npos)
        << text;
    for (const char *named : {"[usb] pid = \"0x10000\"", "[control] socket = \"relative.sock\"",
                              "[control] group = \"no-such-group-here\": no such group", "[panel] status = \"maybe\"",
                              "[keyboard] variant = \"nosuch\": xkb-data has no variant 'nosuch' of layout 'fr'; "
                              "type is refused until it is mended"})
        EXPECT_NE(text.find(named), std::string::npos) << named << " in\n" << text;
    EXPECT_EQ(d.vid, 0);
    EXPECT_EQ(d.socket, kDefaultSocket);
    EXPECT_TRUE(d.group.empty());
    EXPECT_TRUE(d.panel);
    EXPECT_FALSE(d.layout) << "never another layout than the one configured";
    EXPECT_EQ(d.layout_error, path + ": [keyboard] variant = \"nosuch\": xkb-data has no variant 'nosuch' of layout 'fr'");

    unlink(path.c_str());
    Config e;
    EXPECT_EQ(load(path, e).bad, 0) << "no file: the defaults";
    EXPECT_EQ(e.socket, kDefaultSocket);
    rmdir(dir);
}

TEST(ServiceSettings, MisspeltNamesOctalLookingNumbersAndControlCharacters)
{
    char dir[] = "/tmp/hidbridged-ini-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string path = std::string(dir) + "/hidbridge.ini";
    {
        std::ofstream f(path);
        f << "[usb]\npid = 0104\nvdi = 0x1234\n[contrl]\nsocket = /x.sock\n[control]\n"
             "socket = $XDG_RUNTIME_DIR/hidbridge.sock\ngroup = \x1b[2Jgone\n";
    }
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    Config c;
    Loaded l = load(path, c);
    EXPECT_EQ(l.bad, 3);
    const std::string &text = l.said;
    EXPECT_EQ(c.pid, 104) << "0104 is decimal";
    EXPECT_EQ(c.socket, "/run/user/4242/hidbridge.sock");
    for (const char *named : {": line 3: [usb] unknown key \"vdi\"; ignored\n", ": line 4: unknown section [contrl]; ignored\n",
                              "[control] group = \"\\x1b[2Jgone\": no such group"})
        EXPECT_NE(text.find(named), std::string::npos) << named << " in\n" << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << "a control character reached the log";
    unlink(path.c_str());
    rmdir(dir);
}

namespace {

// open_socket's result and what it said.
std::pair<bool, std::string> open_at(const std::string &path)
{
    ServiceOptions o;
    o.config.socket = path;
    Service s(o);
    testing::internal::CaptureStderr();
    bool ok = s.open_socket();
    return {ok, testing::internal::GetCapturedStderr()};
}

// A socket bound at path (listening with backlog when that is not negative), or a datagram one.
int bound(const std::string &path, int backlog, int type = SOCK_STREAM)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, path.c_str());
    int fd = socket(AF_UNIX, type, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << path;
    EXPECT_TRUE(backlog < 0 || listen(fd, backlog) == 0);
    return fd;
}

} // namespace

TEST(ServiceSocket, OnlyAStaleSocketIsReplacedInAFolderOfItsOwn)
{
    char tmp[] = "/tmp/hidbridged-sock-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmp));
    std::string dir = tmp;
    auto refused = [&](const std::string &path, const char *why) {
        auto [ok, said] = open_at(dir + path);
        EXPECT_FALSE(ok) << path;
        EXPECT_NE(said.find(why), std::string::npos) << said;
    };
    std::ofstream(dir + "/file.sock") << "keep";
    refused("/file.sock", "exists and is not a socket");
    std::ifstream kept(dir + "/file.sock");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()), "keep");
    mkdir((dir + "/folder.sock").c_str(), 0700);
    refused("/folder.sock", "exists and is not a socket");
    mkdir((dir + "/open").c_str(), 0700);
    chmod((dir + "/open").c_str(), 01777);
    refused("/open/control.sock", "a folder others may write to");
    if (geteuid() == 0) {
        mkdir((dir + "/theirs").c_str(), 0755);
        ASSERT_EQ(chown((dir + "/theirs").c_str(), 65534, 65534), 0);
        refused("/theirs/control.sock", "not owned by the service's user");
    }

    // A live service whose backlog is full: the probe does not wait for it.
    int live = bound(dir + "/busy.sock", 0);
    std::vector<int> queued;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, (dir + "/busy.sock").c_str());
    do
        queued.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
    while (queued.size() < 64 && connect(queued.back(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
    auto probe = std::async(std::launch::async, [&] { refused("/busy.sock", "another service answers"); });
    EXPECT_EQ(probe.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the probe blocked";
    for (int fd : queued)
        close(fd);
    close(live);

    // Nobody answers on it: left over from a service that died, and replaced.
    close(bound(dir + "/stale.sock", -1));
    EXPECT_TRUE(open_at(dir + "/stale.sock").first);
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

TEST(ServiceSocket, TellsSystemdWhenReady)
{
    std::string path = "/tmp/hidbridged-notify-" + std::to_string(getpid());
    int fd = bound(path, -1, SOCK_DGRAM);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    EXPECT_TRUE(notify_ready());
    char buf[64] = {};
    EXPECT_EQ(recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT), 7);
    EXPECT_STREQ(buf, "READY=1");
    close(fd);
    unlink(path.c_str());
}
