// hidbridged's command parser and keyboard layouts on arbitrary bytes: each line of the input
// as a client would send it.
// Beyond memory safety it checks what the service relies on: a refusal has a reason that
// fits on one reply line; a parsed command's numbers are inside the ranges the control
// interface takes; a text one layout types comes back as the same text from what the host
// makes of the strokes, and a refused one types nothing.
#include "command.h"
#include "fuzz_check.h"
#include "layout.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check_line(std::string_view line)
{
    using namespace hidbridged;
    Command c;
    std::string error;
    if (!parse_command(line, c, error)) {
        FUZZ_CHECK(!error.empty(), "a refusal without a reason");
        for (char ch : error)
            FUZZ_CHECK(ch >= 0x20 && ch < 0x7F, "reason '%s' holds byte 0x%02x", error.c_str(), ch & 0xFF);
        return;
    }
    switch (c.op) {
    case Op::KeyDown:
    case Op::KeyUp:
    case Op::KeyPress:
    case Op::KeyQuery:
    case Op::KeyMask:
        FUZZ_CHECK(c.code >= 0 && c.code <= 254, "key code %d", c.code);
        FUZZ_CHECK(c.value == 0 || c.value == 1, "mask value %d", c.value);
        break;
    case Op::ButtonDown:
    case Op::ButtonUp:
    case Op::ButtonClick:
    case Op::ButtonQuery:
        FUZZ_CHECK(c.code >= 0 && c.code < 8, "button %d", c.code);
        break;
    case Op::Move:
        FUZZ_CHECK(c.x >= -32767 && c.x <= 32767 && c.y >= -32767 && c.y <= 32767, "move %d %d", c.x, c.y);
        break;
    case Op::Wheel:
        FUZZ_CHECK(c.value >= -127 && c.value <= 127, "wheel %d", c.value);
        break;
    case Op::Type:
        FUZZ_CHECK(!c.text.empty() && c.text.data() >= line.data() &&
                       c.text.data() + c.text.size() <= line.data() + line.size(),
                   "text outside the line");
        for (const char *name : {"us", "gb", "de", "fr"})
            for (bool caps : {false, true}) {
                std::string refused;
                auto l = find_layout({name, ""}, refused);
                FUZZ_CHECK(l != nullptr, "%s: %s", name, refused.c_str());
                std::vector<Stroke> strokes;
                if (!l->plan(c.text, caps, strokes, refused)) {
                    FUZZ_CHECK(strokes.empty() && !refused.empty(), "%s: refused yet strokes left", name);
                    continue;
                }
                TextDecoder d(*l, caps);
                for (Stroke s : strokes)
                    d.stroke(s);
                FUZZ_CHECK(d.text() == std::string(c.text) && d.caps() == caps, "%s: typed '%s' for '%s'", name,
                           d.text().c_str(), std::string(c.text).c_str());
            }
        break;
    case Op::Layout:
        FUZZ_CHECK(!c.text.empty(), "layout without a name");
        break;
    case Op::Release:
    case Op::Status:
    case Op::Help:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view in(reinterpret_cast<const char *>(data), size);
    while (!in.empty()) {
        size_t nl = in.find('\n');
        std::string_view line = in.substr(0, nl);
        if (line.size() <= hidbridged::kMaxLine)
            check_line(line);
        in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
    }
    return 0;
}
