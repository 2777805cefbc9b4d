#include "status_screen.h"

#include "global.h"
#include "hidbridge.h"
#include "lcd.h"
#include "lcd_font.h"
#include "netinfo.h"

#include <arpa/inet.h>

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>

namespace hidbridged {

namespace {

constexpr uint16_t kBlack = 0x0000, kGreen = 0x07E0, kRed = LCD_RED, kGrey = 0x8410, kWhite = LCD_WHITE;
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

// "192.168.1.20/24"; the address alone when the mask is not a prefix.
std::string with_prefix(const std::string &ip, const std::string &netmask)
{
    in_addr m{};
    if (ip.empty() || inet_pton(AF_INET, netmask.c_str(), &m) != 1)
        return ip;
    const uint32_t bits = ntohl(m.s_addr);
    const int len = std::popcount(bits);
    if (len && bits != ~0u << (32 - len))
        return ip;
    return ip + "/" + std::to_string(len);
}

// A latency in at most four cells, in milliseconds.
std::string ms(uint32_t us)
{
    char b[16];
    if (us == 0)
        return "-";
    if (us < 10000)
        snprintf(b, sizeof b, "%.1f", us / 1000.0);
    else if (us < 1000000)
        snprintf(b, sizeof b, "%u", static_cast<unsigned>(us / 1000));
    else
        return ">1s";
    return b;
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
    km_stats st{};
    km_get_stats(&st, sizeof st);
    s.kbd_p99_us = st.keyboard.minute_p99_us;
    s.mouse_p99_us = st.mouse.minute_p99_us;
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
    // The longest address with its prefix takes the label's cells too.
    const std::string ip = s.eth0 ? value(with_prefix(s.ip, s.netmask)) : "-";
    if (ip.size() <= 17)
        put(g, 1, 0, "ip", kGrey, 2);
    put(g, 1, ip.size() <= 17 ? 3 : 0, ip, kWhite, ip.size() <= 17 ? 17 : 20);
    put(g, 2, 0, "p99", kGrey, 3);
    put(g, 2, 4, "k", kGrey, 1);
    put(g, 2, 6, ms(s.kbd_p99_us), kWhite, 4);
    put(g, 2, 11, "m", kGrey, 1);
    put(g, 2, 13, ms(s.mouse_p99_us), kWhite, 4);
    put(g, 2, 18, "ms", kGrey, 2);
    put(g, 3, 0, "gw", kGrey, 2);
    put(g, 3, 3, s.eth0 ? value(s.gateway) : "-", kWhite, 17);
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
    // What the panel shows is unknown: the first update draws every cell, which covers the
    // panel in about the line writes a fill would take, and a stop can come between cells.
    for (auto &r : shown_)
        r.fill({'\0', kBlack});
}

int StatusScreen::update(const StatusInfo &s, const std::atomic<bool> *stop)
{
    Grid want = compose(s);
    int drawn = 0;
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            if (want[r][c] == shown_[r][c])
                continue;
            if (stop && stop->load())
                return drawn;
            draw_cell(c, r, want[r][c]);
            shown_[r][c] = want[r][c];
            ++drawn;
        }
    return drawn;
}

} // namespace hidbridged
