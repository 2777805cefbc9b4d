// Shared by the display tests: a board with an initialised panel, a spy in the seam that
// counts the writes and records the sleeps, and cell comparisons on the panel's frame.
#pragma once

#include "lcd.h"
#include "lcd_font.h"
#include "sysio.h"

#include "board.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace paneltest {

// Wraps the installed backend: counts opens, write calls and their sizes, records sleeps without
// sleeping. Uninstalls itself (back to the board's backend) when it goes.
class SeamSpy {
public:
    struct Sleep {
        unsigned long usec;
        size_t writes_before; // the write calls made before this sleep
    };
    SeamSpy()
    {
        prev_ = sysio_current();
        ops_ = *prev_;
        ops_.write = [](int fd, const void *buf, size_t len) {
            ++writes_;
            if (len != 1)
                ++wide_writes_;
            return prev_->write(fd, buf, len);
        };
        ops_.open = [](const char *path, int flags, mode_t mode) {
            ++opens_;
            return prev_->open(path, flags, mode);
        };
        ops_.sleep_us = [](unsigned long usec) { sleeps_.push_back({usec, writes_}); };
        writes_ = wide_writes_ = opens_ = 0;
        sleeps_.clear();
        sysio_install(&ops_);
    }
    ~SeamSpy() { sysio_install(prev_); }
    size_t writes() const { return writes_; }
    size_t wide_writes() const { return wide_writes_; }
    size_t opens() const { return opens_; }
    const std::vector<Sleep> &sleeps() const { return sleeps_; }
    void reset() { writes_ = wide_writes_ = opens_ = 0; sleeps_.clear(); }

private:
    static inline const sysio_ops *prev_;
    static inline sysio_ops ops_;
    static inline size_t writes_, wide_writes_, opens_;
    static inline std::vector<Sleep> sleeps_;
};

// The panel initialised, the logs emptied and the GPIO log off (text is many thousands of
// writes); tests that read the line log turn it back on.
struct Panel : testing::Test {
    sim::Board board;
    void SetUp() override
    {
        testing::internal::CaptureStdout();
        lcd_init();
        testing::internal::GetCapturedStdout();
        board.gpio.set_logging(false);
        board.gpio.clear_log();
        board.panel.clear_commands();
        board.panel.set_pixel_log(true);
        board.panel.clear_pixel_log();
    }
    // Screen point of a logged pixel write (the panel's address offsets 1 and 26).
    static std::pair<int, int> screen(const sim::PanelModel::PixelWrite &w) { return {w.col - 1, w.row - 26}; }
    std::vector<std::pair<int, int>> points() const
    {
        std::vector<std::pair<int, int>> out;
        for (auto &w : board.panel.pixel_log())
            out.push_back(screen(w));
        return out;
    }
};

// The w x h cell at (x, y) holds bits (rows from the top, bit 7 leftmost) in fg, and the
// clear bits bg; a clear bit with bg < 0 must be untouched (still 0, as after power-on).
// Returns the number of pixels that differ.
inline int cell_diff(const sim::PanelModel &p, int x, int y, const uint8_t *bits, int w, int h,
                     uint16_t fg, int bg)
{
    int diff = 0;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            bool set = bits[r * (w / 8) + c / 8] & (0x80 >> (c % 8));
            int want = set ? fg : (bg < 0 ? 0 : bg);
            diff += p.stored(x + c, y + r) != want;
        }
    return diff;
}

// All clear, for cells up to 32 x 32.
inline constexpr uint8_t kBlank[128] = {};

inline const uint8_t *glyph(char ch) { return lcd_font_8x16[ch - 0x20]; }

inline int set_bits(const uint8_t *bits, int n)
{
    int count = 0;
    for (int i = 0; i < n; ++i)
        count += __builtin_popcount(bits[i]);
    return count;
}

} // namespace paneltest
