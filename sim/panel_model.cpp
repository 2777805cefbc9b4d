#include "panel_model.h"

#include <cstdio>
#include <mutex>

#ifdef HIDBRIDGE_SIM_PNG
#include <png.h>
#endif

namespace sim {
namespace {

// Board wiring of the panel.
constexpr int kSclLine = 0, kSdaLine = 1, kResxLine = 6, kDcxLine = 7;

// ST7735S commands the model acts on.
enum : uint8_t {
    SWRESET = 0x01,
    SLPIN = 0x10,
    SLPOUT = 0x11,
    INVOFF = 0x20,
    INVON = 0x21,
    DISPOFF = 0x28,
    DISPON = 0x29,
    CASET = 0x2A,
    RASET = 0x2B,
    RAMWR = 0x2C,
    MADCTL = 0x36,
    COLMOD = 0x3A,
};
constexpr uint8_t kMadMY = 0x80, kMadMX = 0x40, kMadMV = 0x20, kMadBGR = 0x08;
constexpr uint32_t kAll18 = 0x3FFFF;

constexpr uint32_t pack666(unsigned f1, unsigned g, unsigned f3) { return f1 << 12 | g << 6 | f3; }
constexpr unsigned widen5(unsigned v) { return v << 1 | v >> 4; }
constexpr unsigned widen4(unsigned v) { return v << 2 | v >> 2; }
constexpr unsigned to8(unsigned v6) { return v6 << 2 | v6 >> 4; }

std::unique_lock<std::recursive_mutex> locked() { return std::unique_lock(Kernel::instance().mutex()); }

} // namespace

PanelModel::PanelModel(GpioModel &gpio) : mem_(kMemRows * kMemCols, 0)
{
    for (int line : {kSclLine, kSdaLine, kResxLine, kDcxLine})
        gpio.on_output(line, [this](int l, int level) { on_line(l, level); });
}

void PanelModel::on_line(int line, int level)
{
    switch (line) {
    case kResxLine:
        if (!level && resx_)
            hardware_reset();
        resx_ = level;
        return;
    case kDcxLine:
        dcx_ = level;
        return;
    case kSdaLine:
        sda_ = level;
        return;
    case kSclLine:
        break;
    default:
        return;
    }
    const bool rising = level && !scl_;
    scl_ = level;
    if (!rising || !resx_)
        return;
    shift_ = static_cast<uint8_t>(shift_ << 1 | sda_);
    if (++bits_ == 8) {
        bits_ = 0;
        byte(shift_, dcx_); // D/CX is sampled with the eighth bit
    }
}

void PanelModel::hardware_reset()
{
    ++resets_;
    shift_ = 0;
    bits_ = 0;
    software_reset();
}

void PanelModel::software_reset()
{
    awake_ = display_on_ = inverted_ = false;
    madctl_ = 0;
    colmod_ = 0x06;
    xs_ = 0;
    xe_ = kMemCols - 1;
    ys_ = 0;
    ye_ = kMemRows - 1;
    cmd_ = 0;
    writing_ = false;
    pix_n_ = 0;
}

void PanelModel::byte(uint8_t b, bool data)
{
    if (!data)
        command(b);
    else if (writing_)
        pixel_byte(b);
    else
        parameter(b);
}

void PanelModel::command(uint8_t cmd)
{
    if (commands_.size() >= kMaxCommands) // a long run on the board: keep the recent half
        commands_.erase(commands_.begin(), commands_.begin() + kMaxCommands / 2);
    commands_.push_back({cmd, {}, 0});
    cmd_ = cmd;
    params_.clear();
    writing_ = false;
    switch (cmd) {
    case SWRESET:
        software_reset();
        break;
    case SLPIN:
        awake_ = false;
        break;
    case SLPOUT:
        awake_ = true;
        break;
    case INVOFF:
        inverted_ = false;
        break;
    case INVON:
        inverted_ = true; // a level, not a toggle: sending it twice changes nothing
        break;
    case DISPOFF:
        display_on_ = false;
        break;
    case DISPON:
        display_on_ = true;
        break;
    case RAMWR:
        writing_ = true;
        col_ = xs_;
        row_ = ys_;
        pix_n_ = 0;
        break;
    default:
        break;
    }
}

void PanelModel::parameter(uint8_t b)
{
    if (!commands_.empty())
        commands_.back().params.push_back(b);
    params_.push_back(b);
    const auto word = [this](int i) { return static_cast<uint16_t>(params_[i] << 8 | params_[i + 1]); };
    switch (cmd_) {
    case CASET:
        if (params_.size() == 4) {
            xs_ = word(0);
            xe_ = word(2);
        }
        break;
    case RASET:
        if (params_.size() == 4) {
            ys_ = word(0);
            ye_ = word(2);
        }
        break;
    case MADCTL:
        if (params_.size() == 1)
            madctl_ = b;
        break;
    case COLMOD:
        if (params_.size() == 1)
            colmod_ = b & 0x07;
        break;
    default:
        break;
    }
}

void PanelModel::pixel_byte(uint8_t b)
{
    commands_.back().pixel_bytes++;
    pix_[pix_n_++] = b;
    switch (colmod_) {
    case 0x03: // 12 bits: two pixels in three bytes
        if (pix_n_ == 2) {
            store(pack666(widen4(pix_[0] >> 4), widen4(pix_[0] & 0xF), widen4(pix_[1] >> 4)));
        } else if (pix_n_ == 3) {
            store(pack666(widen4(pix_[1] & 0xF), widen4(pix_[2] >> 4), widen4(pix_[2] & 0xF)));
            pix_n_ = 0;
        }
        break;
    case 0x05: // 16 bits, high byte first
        if (pix_n_ == 2) {
            unsigned v = pix_[0] << 8 | pix_[1];
            store(pack666(widen5(v >> 11), (v >> 5) & 0x3F, widen5(v & 0x1F)));
            pix_n_ = 0;
        }
        break;
    default: // 18 bits, each field in the top six bits of a byte
        if (pix_n_ == 3) {
            store(pack666(pix_[0] >> 2, pix_[1] >> 2, pix_[2] >> 2));
            pix_n_ = 0;
        }
        break;
    }
}

void PanelModel::store(uint32_t v)
{
    if (log_pixels_) {
        unsigned f1 = v >> 12, g = (v >> 6) & 0x3F, f3 = v & 0x3F;
        pixel_log_.push_back({col_, row_, static_cast<uint16_t>((f1 >> 1) << 11 | g << 5 | f3 >> 1)});
    }
    int r = (madctl_ & kMadMV) ? col_ : row_;
    int c = (madctl_ & kMadMV) ? row_ : col_;
    if (r < kMemRows && c < kMemCols) {
        if (madctl_ & kMadMY)
            r = kMemRows - 1 - r;
        if (madctl_ & kMadMX)
            c = kMemCols - 1 - c;
        mem_[r * kMemCols + c] = v;
    }
    // Along the column, then the next row, then back to the window's start.
    if (col_ >= xe_) {
        col_ = xs_;
        row_ = row_ >= ye_ ? ys_ : static_cast<uint16_t>(row_ + 1);
    } else {
        ++col_;
    }
}

uint32_t PanelModel::at_screen(int x, int y) const
{
    if (x < 0 || x >= kWidth || y < 0 || y >= kHeight)
        return 0;
    int r = kGlassRow0 + (kWidth - 1 - x), c = kGlassCol0 + y;
    return mem_[r * kMemCols + c];
}

uint16_t PanelModel::stored(int x, int y) const
{
    auto lock = locked();
    uint32_t v = at_screen(x, y);
    unsigned f1 = v >> 12, g = (v >> 6) & 0x3F, f3 = v & 0x3F;
    return static_cast<uint16_t>((f1 >> 1) << 11 | g << 5 | f3 >> 1);
}

uint32_t PanelModel::shown(int x, int y) const
{
    auto lock = locked();
    if (!awake_ || !display_on_)
        return 0;
    uint32_t v = at_screen(x, y);
    if (!inverted_)
        v ^= kAll18;
    unsigned f1 = v >> 12, g = (v >> 6) & 0x3F, f3 = v & 0x3F;
    unsigned red = (madctl_ & kMadBGR) ? f1 : f3, blue = (madctl_ & kMadBGR) ? f3 : f1;
    return to8(red) << 16 | to8(g) << 8 | to8(blue);
}

std::vector<uint8_t> PanelModel::frame_rgb() const
{
    auto lock = locked();
    std::vector<uint8_t> out;
    out.reserve(kWidth * kHeight * 3);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            uint32_t c = shown(x, y);
            out.push_back(static_cast<uint8_t>(c >> 16));
            out.push_back(static_cast<uint8_t>(c >> 8));
            out.push_back(static_cast<uint8_t>(c));
        }
    return out;
}

bool PanelModel::png_supported()
{
#ifdef HIDBRIDGE_SIM_PNG
    return true;
#else
    return false;
#endif
}

bool PanelModel::write_png(const std::string &path, int scale) const
{
#ifdef HIDBRIDGE_SIM_PNG
    if (scale < 1)
        return false;
    const std::vector<uint8_t> rgb = frame_rgb();
    const int w = kWidth * scale, h = kHeight * scale;
    std::vector<uint8_t> image(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                image[(static_cast<size_t>(y) * w + x) * 3 + k] =
                    rgb[(static_cast<size_t>(y / scale) * kWidth + x / scale) * 3 + k];
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(w);
    png.height = static_cast<png_uint_32>(h);
    png.format = PNG_FORMAT_RGB;
    bool ok = png_image_write_to_file(&png, path.c_str(), 0, image.data(), 0, nullptr) != 0;
    png_image_free(&png);
    return ok;
#else
    (void)path;
    (void)scale;
    return false;
#endif
}

std::vector<PanelModel::Command> PanelModel::commands() const
{
    auto lock = locked();
    return commands_;
}

void PanelModel::clear_commands()
{
    auto lock = locked();
    commands_.clear();
}

void PanelModel::set_pixel_log(bool on)
{
    auto lock = locked();
    log_pixels_ = on;
}

std::vector<PanelModel::PixelWrite> PanelModel::pixel_log() const
{
    auto lock = locked();
    return pixel_log_;
}

void PanelModel::clear_pixel_log()
{
    auto lock = locked();
    pixel_log_.clear();
}

bool PanelModel::awake() const { auto lock = locked(); return awake_; }
bool PanelModel::display_on() const { auto lock = locked(); return display_on_; }
bool PanelModel::inverted() const { auto lock = locked(); return inverted_; }
uint8_t PanelModel::madctl() const { auto lock = locked(); return madctl_; }
uint8_t PanelModel::colmod() const { auto lock = locked(); return colmod_; }
unsigned PanelModel::resets() const { auto lock = locked(); return resets_; }

} // namespace sim
