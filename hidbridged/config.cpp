#include "config.h"

#include "global.h"
#include "ini.h"
#include "usbfunc.h"

#include <cerrno>
#include <cstdlib>
#include <grp.h>
#include <unistd.h>

namespace hidbridged {

namespace {

constexpr size_t kIniValue = 1024; // ini_get_string's value buffer

struct Reader {
    const char *path;
    FILE *msgs;
    int bad = 0;

    // The value with surrounding blanks and a CR dropped; false when the key is absent.
    bool get(const char *section, const char *key, std::string &out)
    {
        char value[kIniValue];
        if (ini_get_string(section, key, path, value) != 0)
            return false;
        std::string v = value;
        size_t e = v.find_last_not_of(" \t\r\n");
        v.erase(e == std::string::npos ? 0 : e + 1);
        out = v;
        return true;
    }

    void complain(const char *section, const char *key, const std::string &value, const char *why)
    {
        fprintf(msgs, "hidbridged: %s: [%s] %s = \"%s\": %s; using the default\n", path, section, key,
                value.c_str(), why);
        ++bad;
    }

    void id(const char *key, uint16_t &out)
    {
        std::string v;
        if (!get("usb", key, v))
            return;
        char *end = nullptr;
        errno = 0;
        unsigned long n = strtoul(v.c_str(), &end, 0);
        if (v.empty() || *end != '\0' || errno != 0 || n == 0 || n > 0xFFFF || v[0] == '-')
            complain("usb", key, v, "not a number in 0x0001..0xffff");
        else
            out = static_cast<uint16_t>(n);
    }
};

} // namespace

int load_config(const char *path, Config &cfg, FILE *msgs)
{
    // The library's reader prints an error for a missing file; no file simply means defaults.
    if (access(path, F_OK) != 0) {
        fprintf(msgs, "hidbridged: %s: no such file; using the defaults\n", path);
        return 0;
    }
    Reader r{path, msgs};
    r.id("vid", cfg.vid);
    r.id("pid", cfg.pid);

    std::string v;
    if (r.get("control", "socket", v)) {
        if (v.empty() || v[0] != '/')
            r.complain("control", "socket", v, "not an absolute path");
        else if (v.size() >= 108) // sun_path
            r.complain("control", "socket", v, "longer than a socket path may be (107 bytes)");
        else
            cfg.socket = v;
    }
    if (r.get("control", "group", v)) {
        if (v.empty())
            r.complain("control", "group", v, "empty");
        else if (!getgrnam(v.c_str()))
            r.complain("control", "group", v, "no such group");
        else
            cfg.group = v;
    }
    if (r.get("panel", "status", v)) {
        if (v == "on")
            cfg.panel = true;
        else if (v == "off")
            cfg.panel = false;
        else
            r.complain("panel", "status", v, "neither on nor off");
    }
    if (r.get("keyboard", "layout", v)) {
        if (const Layout *l = layout_by_name(v))
            cfg.layout = l;
        else
            r.complain("keyboard", "layout", v, "not one of us, gb, de");
    }
    return r.bad;
}

void identity_override(uint16_t vid, uint16_t pid)
{
    // km_config.vid's high byte goes to descriptor byte 8, which the host reads as the low one.
    auto stored = [](uint16_t host_value, int at) {
        return host_value ? static_cast<uint16_t>((host_value & 0xFF) << 8 | host_value >> 8)
                          : static_cast<uint16_t>(MyDevDescr[at] << 8 | MyDevDescr[at + 1]);
    };
    km_config.vid = stored(vid, 8);
    km_config.pid = stored(pid, 10);
    km_config.kid = ReportDescriptor_keyboard[5]; // the collection byte stays as it is
    km_config.exist = 1;
}

} // namespace hidbridged
