#include "status_screen.h"

#include "global.h"
#include "hidbridge.h"
#include "lcd.h"
#include "netinfo.h"

#include <atomic>
#include <cstring>

namespace hidbridged {

namespace {

constexpr uint16_t kBlack = 0x0000, kGreen = 0x07E0, kRed = LCD_RED, kGrey = 0x8410, kWhite = LCD_WHITE;
constexpr uint16_t kFillBlack = 0xFFFF; // the panel stores a fill's complement
constexpr int kCellW = 8, kCellH = 16;

void put(StatusScreen::Grid &g, int row, int col, std::string_view text, uint16_t fg, size_t width)
{
    for (size_t i = 0; i < width && col + static_cast<int>(i) < StatusScreen::kCols; ++i)
    {
        char ch = i < text.size() ? text[i] : ' ';
        // A blank looks the same in any colour; its colour differs from the background, or
        // lcd_show_string would leave the old pixels (fg == bg draws set pixels only).
        g[row][col + i] = {ch, ch == ' ' ? kWhite : fg};
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
            const char text[2] = {want[r][c].ch, '\0'};
            lcd_show_string(static_cast<uint16_t>(c * kCellW), static_cast<uint16_t>(r * kCellH), want[r][c].fg,
                            kBlack, text);
            shown_[r][c] = want[r][c];
            ++drawn;
        }
    return drawn;
}

} // namespace hidbridged
