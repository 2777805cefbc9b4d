#include "status_screen.h"

#include "global.h"
#include "hidbridge.h"
#include "lcd.h"
#include "lcd_font.h"
#include "netinfo.h"

#include <atomic>
#include <cstring>

namespace hidbridged {

namespace {

constexpr uint16_t kBlack = 0x0000, kGreen = 0x07E0, kRed = LCD_RED, kGrey = 0x8410, kWhite = LCD_WHITE;
constexpr uint16_t kFillBlack = 0xFFFF; // the panel stores a fill's complement
constexpr int kCellW = 8, kCellH = 16;

// One cell through one window: 128 pixel writes of 48 line writes each. lcd_show_string draws
// every pixel as a point with a window of its own, some 324 line writes a pixel.
void draw_cell(int col, int row, StatusScreen::Cell c)
{
    auto x = static_cast<uint16_t>(col * kCellW), y = static_cast<uint16_t>(row * kCellH);
    lcd_set_window(x, y, static_cast<uint16_t>(x + kCellW - 1), static_cast<uint16_t>(y + kCellH - 1));
    unsigned glyph = c.ch >= 0x20 && c.ch <= 0x7E ? static_cast<unsigned>(c.ch - 0x20) : 0;
    for (int r = 0; r < kCellH; ++r)
        for (int b = 0; b < kCellW; ++b)
            lcd_write_data16(lcd_font_8x16[glyph][r] >> (7 - b) & 1 ? c.fg : kBlack);
}

void put(StatusScreen::Grid &g, int row, int col, std::string_view text, uint16_t fg, size_t width)
{
    for (size_t i = 0; i < width && col + static_cast<int>(i) < StatusScreen::kCols; ++i)
    {
        char ch = i < text.size() ? text[i] : ' ';
        g[row][col + i] = {ch, ch == ' ' ? kWhite : fg}; // a blank looks the same in any colour
    }
}

} // namespace

std::string library_version()
{
    char banner[64];
    km_version(banner); // "tarvo Rev7:\t1.0.0 <date> <time>\r\n"
    const char *v = strchr(banner, '\t');
    return v ? std::string(v + 1, strcspn(v + 1, " \r\n")) : "?";
}

StatusInfo read_status(int inputs)
{
    StatusInfo s;
    s.version = library_version();
    s.configured = std::atomic_ref<uint8_t>(km.configok).load() == 1;
    s.inputs = inputs;
    if_info_t info{};
    strcpy(info.name, "eth0");
    s.eth0 = get_if_info(&info) == 0;
    if (s.eth0) {
        s.ip = info.ip;
        s.netmask = info.netmask;
        s.gateway = info.gateway;
        s.mac = info.mac;
        int link = 0;
        s.link = get_if_link("eth0", &link) == 0 && link == 1;
    }
    return s;
}

StatusScreen::Grid StatusScreen::compose(const StatusInfo &s)
{
    Grid g{};
    auto value = [](const std::string &t) { return t.empty() ? std::string("-") : t; };
    put(g, 0, 0, s.version, kWhite, 6);
    put(g, 0, 7, "host:", kGrey, 5);
    put(g, 0, 12, s.configured ? "ok" : "--", s.configured ? kGreen : kRed, 2);
    put(g, 0, 15, "in:", kGrey, 3);
    put(g, 0, 18, std::to_string(s.inputs), kWhite, 2);
    const char *labels[3] = {"ip", "nm", "gw"};
    const std::string *values[3] = {&s.ip, &s.netmask, &s.gateway};
    for (int i = 0; i < 3; ++i) {
        put(g, 1 + i, 0, labels[i], kGrey, 2);
        put(g, 1 + i, 3, s.eth0 ? value(*values[i]) : "-", kWhite, 17);
    }
    if (!s.layout_problem.empty()) {
        put(g, 4, 0, s.layout_problem, kRed, kCols);
        return g;
    }
    put(g, 4, 0, s.eth0 ? value(s.mac) : "eth0 -", kWhite, 17);
    put(g, 4, 18, s.link ? "up" : "dn", s.link ? kGreen : kRed, 2);
    return g;
}

void StatusScreen::begin()
{
    lcd_fill(kFillBlack);
    for (auto &r : shown_)
        r.fill({' ', kWhite});
}

int StatusScreen::update(const StatusInfo &s)
{
    Grid want = compose(s);
    int drawn = 0;
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            if (want[r][c] == shown_[r][c])
                continue;
            draw_cell(c, r, want[r][c]);
            shown_[r][c] = want[r][c];
            ++drawn;
        }
    return drawn;
}

} // namespace hidbridged
