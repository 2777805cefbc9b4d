#include "vboard_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vboard {

const char kUsage[] =
    "usage: hidbridge-vboard [options] -- APP [ARGS...]\n"
    "Runs APP, an application dynamically linked against libhidbridge, on the virtual board:\n"
    "the CH374 with a host computer on its cable, the panel, GPIO lines and event devices.\n"
    "\n"
    "  --keyboard PORT          plug a keyboard into port PORT (0..4, /dev/input/eventPORT)\n"
    "  --mouse PORT             plug a mouse into port PORT\n"
    "  --replay PORT:FILE       plug a device into PORT and play an evemu-record recording on it,\n"
    "                           in its timing, once the application has opened the port\n"
    "  --forward PORT:DEVICE    plug a device into PORT fed by a live event device of this PC\n"
    "  --panel FILE.png         write the panel as a PNG at the end\n"
    "  --pcap FILE.pcap         write the bus traffic as a usbmon capture (Wireshark, tshark)\n"
    "  --quit-after-replay      end the application once every recording has played and the\n"
    "                           host saw the last of it\n"
    "  --time-limit SECONDS     end the application after this long\n"
    "  --quiet                  no \"host sees\" lines, only the summary at the end\n"
    "  --real-time-bring-up     the board's bring-up sleeps at their real length (2.5 s)\n"
    "  --usbip [ADDR:]PORT      no modelled host: export the board's USB device over USB/IP on\n"
    "                           ADDR (default 127.0.0.1) and TCP PORT (0: a free one, printed),\n"
    "                           for `usbip attach` from any Linux machine; one importer at a time\n"
    "  --help                   this text\n"
    "\n"
    "While APP runs, each change of what the host sees is printed as a \"host sees: ...\" line,\n"
    "and of the host's keyboard LEDs as \"host LEDs: caps\" (num, caps, scroll, compose, kana).\n"
    "At the end (APP exits, a time limit, SIGINT or SIGTERM) the files are written and one line\n"
    "host typed: \"...\" says what a computer with a US layout would have typed. When the board\n"
    "ends the run, APP gets SIGTERM first and 3 s to end by itself.\n";

namespace {

bool parse_port(const std::string &s, int *port)
{
    if (s.size() != 1 || s[0] < '0' || s[0] >= '0' + kPorts)
        return false;
    *port = s[0] - '0';
    return true;
}

bool parse_port_source(const std::string &s, PortSource *out)
{
    auto colon = s.find(':');
    if (colon == std::string::npos || colon + 1 == s.size())
        return false;
    out->path = s.substr(colon + 1);
    return parse_port(s.substr(0, colon), &out->port);
}

// [ADDR:]PORT with an IPv4 address (127.0.0.1 when absent) and a TCP port, 0 for any.
bool parse_usbip(const std::string &s, std::string *address, unsigned *port)
{
    auto colon = s.rfind(':');
    std::string addr = colon == std::string::npos ? "127.0.0.1" : s.substr(0, colon);
    std::string digits = colon == std::string::npos ? s : s.substr(colon + 1);
    in_addr a{};
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        inet_pton(AF_INET, addr.c_str(), &a) != 1)
        return false;
    unsigned long v = strtoul(digits.c_str(), nullptr, 10);
    if (v > 65535)
        return false;
    *address = addr;
    *port = unsigned(v);
    return true;
}

// The longest time limit: its milliseconds must fit Options::time_limit_ms.
constexpr unsigned kMaxTimeLimitSeconds = UINT_MAX / 1000;

bool parse_seconds(const std::string &s, unsigned *ms)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(s.c_str(), &end);
    if (errno || *end || !(v > 0) || v > kMaxTimeLimitSeconds)
        return false;
    *ms = unsigned(v * 1000 + 0.5);
    return *ms > 0;
}

} // namespace

Parsed parse_options(const std::vector<std::string> &args, bool require_app)
{
    Parsed p;
    Options &o = p.options;
    std::vector<int> used(kPorts, 0);
    auto claim = [&](int port, const std::string &opt) {
        if (used[size_t(port)]++) {
            p.error = opt + ": port " + std::to_string(port) + " is already taken";
            return false;
        }
        return true;
    };
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--")
            break;
        if (a == "--help" || a == "-h") {
            p.help = true;
            return p;
        }
        if (a == "--quit-after-replay") {
            o.quit_after_replay = true;
            continue;
        }
        if (a == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (a == "--real-time-bring-up") {
            o.real_time_bring_up = true;
            continue;
        }
        bool takes_value = a == "--keyboard" || a == "--mouse" || a == "--replay" || a == "--forward" ||
                           a == "--panel" || a == "--pcap" || a == "--time-limit" || a == "--usbip";
        if (!takes_value) {
            p.error = "unknown option " + a;
            return p;
        }
        if (i + 1 >= args.size()) {
            p.error = a + " needs a value";
            return p;
        }
        const std::string &v = args[++i];
        if (a == "--keyboard" || a == "--mouse") {
            int port;
            if (!parse_port(v, &port)) {
                p.error = a + ": port must be 0.." + std::to_string(kPorts - 1) + ", not '" + v + "'";
                return p;
            }
            if (!claim(port, a))
                return p;
            (a == "--keyboard" ? o.keyboards : o.mice).push_back(port);
        } else if (a == "--replay" || a == "--forward") {
            PortSource s;
            if (!parse_port_source(v, &s)) {
                p.error = a + ": expected PORT:" + (a == "--replay" ? "FILE" : "DEVICE") +
                          " with PORT 0.." + std::to_string(kPorts - 1) + ", not '" + v + "'";
                return p;
            }
            if (!claim(s.port, a))
                return p;
            (a == "--replay" ? o.replays : o.forwards).push_back(s);
        } else if (a == "--panel") {
            o.panel_png = v;
        } else if (a == "--pcap") {
            o.pcap = v;
        } else if (a == "--usbip") {
            if (!parse_usbip(v, &o.usbip_address, &o.usbip_port)) {
                p.error = "--usbip: expected [ADDR:]PORT with an IPv4 address and a port 0..65535, not '" + v + "'";
                return p;
            }
        } else if (!parse_seconds(v, &o.time_limit_ms)) {
            p.error = "--time-limit: expected a number of seconds up to " + std::to_string(kMaxTimeLimitSeconds) +
                      ", not '" + v + "'";
            return p;
        }
    }
    if (o.quit_after_replay && o.replays.empty()) {
        p.error = "--quit-after-replay needs a --replay";
        return p;
    }
    // The capture is of the modelled host's bus, which a real kernel replaces.
    if (!o.usbip_address.empty() && !o.pcap.empty()) {
        p.error = "--pcap records the modelled host's bus; with --usbip, capture on the importing machine (usbmon)";
        return p;
    }
    if (i < args.size() && i + 1 < args.size())
        p.app = i + 1;
    if (require_app && !p.app)
        p.error = "no application given: hidbridge-vboard [options] -- APP [ARGS...]";
    return p;
}

std::string join_args(const std::vector<std::string> &args)
{
    std::string s;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i)
            s += '\x1f';
        s += args[i];
    }
    return s;
}

std::vector<std::string> split_args(const std::string &joined)
{
    std::vector<std::string> v;
    if (joined.empty())
        return v;
    size_t at = 0;
    for (;;) {
        auto sep = joined.find('\x1f', at);
        v.push_back(joined.substr(at, sep - at));
        if (sep == std::string::npos)
            return v;
        at = sep + 1;
    }
}

} // namespace vboard
