// The service's status screen on the 160 x 80 panel: five lines of twenty 8 x 16 cells.
//   1.0.0  host:ok in:2
//   ip 192.168.1.20/24
//   p99 k 1.2  m 0.9  ms      the host's collection of a board keyboard's and mouse's input, last minute
//   gw 192.168.1.1
//   00:1A:2B:3C:4D:5E up
// Only cells whose character or colour changed are drawn again, each through one window: a
// cell is some 6,000 GPIO line writes, the whole panel more than 600,000.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace hidbridged {

struct StatusInfo {
    std::string version;   // "1.0.0"
    bool configured = false;
    int inputs = 0;        // keyboards and mice plugged into the board
    bool eth0 = false;     // the interface could be read
    std::string ip, netmask, gateway, mac;
    bool link = false;
    std::string layout_problem; // "no layout fr(xx)": shown in place of the MAC line
    uint32_t kbd_p99_us = 0, mouse_p99_us = 0; // 0: no input timed in the last minute
};

// The library's version from its banner ("1.0.0").
std::string library_version();
// What the library and the system say now: version, km.configok, latency, eth0. `inputs` is
// left to the caller.
StatusInfo read_status(int inputs);

class StatusScreen {
public:
    static constexpr int kCols = 20, kRows = 5;

    // Forgets what the panel shows, so that the next update draws every cell; lcd_init must
    // have run. Draws nothing yet.
    void begin();
    // Draws the cells that differ from what the panel shows; the number drawn. Once *stop is
    // set it draws no further cell.
    int update(const StatusInfo &s, const std::atomic<bool> *stop = nullptr);

    struct Cell {
        char ch = ' ';
        uint16_t fg = 0xFFFF; // blanks are white, so that equal blanks compare equal
        bool operator==(const Cell &) const = default;
    };
    using Grid = std::array<std::array<Cell, kCols>, kRows>;
    // The cells for a status, as update() would draw them.
    static Grid compose(const StatusInfo &s);

private:
    Grid shown_{};
};

} // namespace hidbridged
