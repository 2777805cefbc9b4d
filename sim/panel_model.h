// The board's 0.96" 160 x 80 IPS panel with its ST7735S controller, on the serial lines
// GPIO 0 (SCL), 1 (SDA), 7 (D/CX) and 6 (RESX); chip select is tied active.
//
// The controller, as its data sheet describes it:
// - bits are latched on each rising SCL edge, most significant first; D/CX at the eighth
//   bit tells a command from a parameter or pixel byte; RESX low holds it in reset;
// - memory is 132 columns x 162 rows of 18-bit pixels; CASET/RASET set the column and row
//   window (inclusive), RAMWR starts a write at the window's first pixel that runs along
//   the column, then to the next row, and back to the start after the last one;
// - MADCTL: MV exchanges the column and row address, MX mirrors the memory columns, MY
//   the memory rows; its RGB bit (0x08) selects BGR order on the source outputs;
// - COLMOD 3, 5 or 6: 12, 16 or 18 bits per pixel; after reset 18 bits, MADCTL 0,
//   sleeping, display off, inversion off; the memory keeps its content over a reset;
// - SLPIN/SLPOUT, INVOFF/INVON, DISPOFF/DISPON and SWRESET act; every other command
//   (frame rate, power, gamma) is only recorded with its parameters.
//
// The module around it:
// - the glass shows memory rows 1..160 and columns 26..105; viewed the right way up,
//   memory row r is screen column 160 - r and memory column c is screen row c - 26;
// - the IPS glass shows the complement of what the controller drives: with INVON a stored
//   value shows as it is, without it complemented;
// - its colour filter is BGR: with the RGB bit set, the first field of a 16-bit pixel
//   (bits 15..11) shows in red, without it in blue;
// - asleep or with the display off, the panel is black.
#pragma once

#include "gpio_model.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class PanelModel {
public:
    static constexpr int kWidth = 160, kHeight = 80;

    explicit PanelModel(GpioModel &gpio);
    PanelModel(const PanelModel &) = delete;
    PanelModel &operator=(const PanelModel &) = delete;

    // Test side; each takes the kernel mutex.

    // The stored value behind screen pixel (x, y), as 16-bit RGB565 (5/6/5 fields in the
    // order received); 0 off the screen.
    uint16_t stored(int x, int y) const;
    // The colour the glass shows at (x, y), 0xRRGGBB.
    uint32_t shown(int x, int y) const;
    // Row by row from the top, three bytes (R, G, B) a pixel.
    std::vector<uint8_t> frame_rgb() const;
    // The shown frame, each pixel a scale x scale block. False when the file cannot be
    // written or the board was built without libpng.
    bool write_png(const std::string &path, int scale = 1) const;
    static bool png_supported();

    // Every command with the parameter bytes it received; pixel data is only counted. A
    // long run keeps the most recent commands only (at least half of kMaxCommands).
    struct Command {
        uint8_t cmd;
        std::vector<uint8_t> params;
        size_t pixel_bytes = 0;
    };
    std::vector<Command> commands() const;
    void clear_commands();

    // Every pixel written, at its column and row address as sent (before MADCTL), also
    // those that fall outside the memory. Off by default: a fill is 12800 entries.
    struct PixelWrite {
        uint16_t col, row;
        uint16_t value; // RGB565
    };
    void set_pixel_log(bool on);
    std::vector<PixelWrite> pixel_log() const;
    void clear_pixel_log();

    bool awake() const;
    bool display_on() const;
    bool inverted() const;
    uint8_t madctl() const;
    uint8_t colmod() const;
    unsigned resets() const; // hardware resets seen (RESX pulled low)

private:
    static constexpr int kMemCols = 132, kMemRows = 162;
    static constexpr int kGlassRow0 = 1, kGlassCol0 = 26;
    static constexpr size_t kMaxCommands = size_t(1) << 20;

    void on_line(int line, int level);
    void hardware_reset();
    void software_reset();
    void byte(uint8_t b, bool data);
    void command(uint8_t cmd);
    void parameter(uint8_t b);
    void pixel_byte(uint8_t b);
    void store(uint32_t rgb666);
    uint32_t at_screen(int x, int y) const;

    // Serial input
    int scl_ = 0, sda_ = 0, dcx_ = 0, resx_ = 1;
    uint8_t shift_ = 0;
    int bits_ = 0;

    // Controller registers
    bool awake_ = false, display_on_ = false, inverted_ = false;
    uint8_t madctl_ = 0, colmod_ = 0x06;
    uint16_t xs_ = 0, xe_ = kMemCols - 1, ys_ = 0, ye_ = kMemRows - 1;
    uint8_t cmd_ = 0;
    std::vector<uint8_t> params_;
    bool writing_ = false;
    uint16_t col_ = 0, row_ = 0;
    uint8_t pix_[3] = {};
    int pix_n_ = 0;

    std::vector<uint32_t> mem_; // 0x00RRGGBB with 6-bit fields, kMemRows x kMemCols
    std::vector<Command> commands_;
    bool log_pixels_ = false;
    std::vector<PixelWrite> pixel_log_;
    unsigned resets_ = 0;
};

} // namespace sim
