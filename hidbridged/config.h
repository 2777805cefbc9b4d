// The service's settings, read from an INI file with the library's INI functions.
//   [usb]      vid, pid   the vendor and product ids the host reads (0x0001 .. 0xffff; default:
//                         the library's)
//   [control]  socket     the control socket's path (default /run/hidbridge/control.sock); a
//                         leading $XDG_RUNTIME_DIR is the user's runtime folder
//              group      the group that may use it (default: the service's own)
//   [panel]    status     on | off: the status screen (default on)
//   [keyboard] layout     the host's keyboard layout as xkb-data names it, for `type` (default us)
//              variant    its variant (default none), model: the keyboard (default pc105)
#pragma once

#include "layout.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace hidbridged {

constexpr const char *kDefaultConfig = "/etc/hidbridge/hidbridge.ini";
constexpr const char *kDefaultSocket = "/run/hidbridge/control.sock";
constexpr const char *kRuntimeDir = "$XDG_RUNTIME_DIR";

struct Config {
    uint16_t vid = 0, pid = 0; // 0: keep the library's
    std::string socket = kDefaultSocket;
    std::string group;         // empty: the service's own group
    bool panel = true;
    LayoutName keyboard;
    // Null when xkb-data has no such layout: `type` is refused with layout_error until the
    // settings are mended, never typed in another layout.
    std::shared_ptr<const Layout> layout;
    std::string layout_error;
    Config() { layout = find_layout(keyboard, layout_error); }
};

// Reads path into cfg. A missing file leaves the defaults; a bad value is named on `msgs`
// ("FILE: [usb] vid = \"zz\": ...; using the default") and its default kept, but for a layout
// xkb-data does not know, which leaves none; so is a section,
// key or line no setting reads ("FILE: line 3: [usb] unknown key \"vdi\"; ignored"). The
// number of bad values and names (0: the file is valid).
int load_config(const char *path, Config &cfg, FILE *msgs);

// Fills km_config so that setconfig() makes the host read vid and pid (0: keep the
// descriptor's). The library stores the ids high byte first, the host reads them low byte
// first: the override is given byte-swapped.
void identity_override(uint16_t vid, uint16_t pid);

} // namespace hidbridged
