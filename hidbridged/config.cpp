#include "config.h"
#include "command.h"

#include "global.h"
#include "ini.h"
#include "usbfunc.h"

#include <cstdlib>
#include <cstring>
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
        fprintf(msgs, "hidbridged: %s: [%s] %s = \"%s\": %s; using the default\n", escaped(path).c_str(), section,
                key, escaped(value).c_str(), why);
        ++bad;
    }

    void id(const char *key, uint16_t &out)
    {
        std::string v;
        if (!get("usb", key, v))
            return;
        long n;
        if (v.empty() || v[0] == '-' || v[0] == '+' || !parse_number(v, 1, 0xFFFF, n))
            complain("usb", key, v, "not a number in 0x0001..0xffff");
        else
            out = static_cast<uint16_t>(n);
    }
};

// The names load_config reads; anything else in a file is a misspelling to point out.
struct Known {
    const char *section;
    const char *keys[3];
};
constexpr Known kKnown[] = {
    {"usb", {"vid", "pid"}},
    {"control", {"socket", "group"}},
    {"panel", {"status"}},
    {"keyboard", {"layout", "variant", "model"}},
};

std::string trimmed(std::string s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Names every section, key and line that no setting reads, with its line number. The count.
int unknown_names(const char *path, FILE *msgs)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return 0;
    int bad = 0, number = 0;
    const Known *section = nullptr;
    bool in_unknown = false;
    char buf[kIniValue];
    std::string line;
    auto say = [&](const std::string &what) {
        fprintf(msgs, "hidbridged: %s: line %d: %s; ignored\n", escaped(path).c_str(), number, what.c_str());
        ++bad;
    };
    while (fgets(buf, sizeof buf, f)) {
        line += buf;
        if (line.back() != '\n' && !feof(f))
            continue;
        ++number;
        std::string l = trimmed(line);
        line.clear();
        if (l.empty() || l[0] == '#' || l[0] == ';' || l.rfind("//", 0) == 0)
            continue;
        if (l[0] == '[') {
            std::string name = l.substr(1, l.find(']') == std::string::npos ? std::string::npos : l.find(']') - 1);
            section = nullptr;
            for (const Known &k : kKnown)
                if (name == k.section)
                    section = &k;
            in_unknown = !section;
            if (in_unknown)
                say("unknown section [" + escaped(name) + "]");
            continue;
        }
        size_t eq = l.find('=');
        if (eq == std::string::npos) {
            say("\"" + escaped(l) + "\" is no key = value");
            continue;
        }
        if (in_unknown)
            continue; // named once, at its header
        std::string key = trimmed(l.substr(0, eq));
        bool known = false;
        if (section)
            for (const char *k : section->keys)
                known = known || (k && key == k);
        if (!known)
            say(section ? "[" + std::string(section->section) + "] unknown key \"" + escaped(key) + "\""
                        : "key \"" + escaped(key) + "\" outside a section");
    }
    fclose(f);
    return bad;
}

} // namespace

int load_config(const char *path, Config &cfg, FILE *msgs)
{
    // The library's reader prints an error for a missing file; no file simply means defaults.
    if (access(path, F_OK) != 0) {
        fprintf(msgs, "hidbridged: %s: no such file; using the defaults\n", path);
        return 0;
    }
    Reader r{path, msgs};
    r.bad += unknown_names(path, msgs);
    r.id("vid", cfg.vid);
    r.id("pid", cfg.pid);

    std::string v;
    if (r.get("control", "socket", v)) {
        const char *runtime = getenv("XDG_RUNTIME_DIR");
        bool in_runtime = v.rfind(kRuntimeDir, 0) == 0;
        if (in_runtime && runtime && runtime[0] == '/')
            v = runtime + v.substr(strlen(kRuntimeDir));
        if (in_runtime && v.rfind(kRuntimeDir, 0) == 0)
            r.complain("control", "socket", v, "XDG_RUNTIME_DIR is not set");
        else if (v.empty() || v[0] != '/')
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
    LayoutName kb = cfg.keyboard;
    bool layout_set = r.get("keyboard", "layout", kb.layout);
    layout_set = r.get("keyboard", "variant", kb.variant) || layout_set;
    if (r.get("keyboard", "model", v)) {
        std::string why;
        if (find_layout({"us", "", v}, why))
            kb.model = v;
        else
            r.complain("keyboard", "model", v, why.c_str());
    }
    if (layout_set || kb.model != cfg.keyboard.model) {
        std::string why;
        const char *which = "layout";
        cfg.keyboard = kb;
        cfg.layout = find_layout(kb, why, &which);
        if (!cfg.layout) {
            const std::string &value = std::string(which) == "variant" ? kb.variant : kb.layout;
            cfg.layout_error = escaped(path) + ": [keyboard] " + which + " = \"" + escaped(value) + "\": " + why;
            fprintf(msgs, "hidbridged: %s; type is refused until it is mended\n", cfg.layout_error.c_str());
            ++r.bad;
        }
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
