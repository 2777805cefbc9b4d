#include "histogram_png.h"

#include "lcd_font.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#ifdef HIDBRIDGE_BENCH_PNG
#include <png.h>
#endif

namespace bench {
namespace {

constexpr int kPanelW = 840, kPanelH = 200, kLeft = 60, kRight = 20, kTop = 24, kBottom = 40;
constexpr int kPlotW = kPanelW - kLeft - kRight, kPlotH = kPanelH - kTop - kBottom;

struct Image {
    int w, h;
    std::vector<uint8_t> px; // RGB
    void set(int x, int y, uint32_t c)
    {
        if (x < 0 || y < 0 || x >= w || y >= h)
            return;
        uint8_t *p = &px[size_t(y * w + x) * 3];
        p[0] = uint8_t(c >> 16), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c);
    }
    void rect(int x0, int y0, int x1, int y1, uint32_t c)
    {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                set(x, y, c);
    }
    void text(int x, int y, const std::string &s, uint32_t c)
    {
        for (char ch : s) {
            unsigned i = uint8_t(ch) >= 0x20 && uint8_t(ch) < 0x7F ? uint8_t(ch) - 0x20u : 0u;
            for (int r = 0; r < 16; ++r)
                for (int b = 0; b < 8; ++b)
                    if (lcd_font_8x16[i][r] & (0x80 >> b))
                        set(x + b, y + r, c);
            x += 8;
        }
    }
};

double quantile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

void panel(Image &img, int y0, const Series &s, double max_us)
{
    const int bins = kPlotW / 4;
    std::vector<unsigned> count(bins + 1);
    for (double v : s.us)
        count[std::min<size_t>(bins, size_t(std::max(0.0, v) / max_us * bins))]++;
    unsigned peak = std::max(1u, *std::max_element(count.begin(), count.end()));
    const int base = y0 + kTop + kPlotH;
    img.text(kLeft, y0 + 4, s.title, 0x000000);
    for (int b = 0; b <= bins; ++b) {
        int hgt = int(double(count[b]) / peak * kPlotH);
        if (count[b] && hgt == 0)
            hgt = 1;
        uint32_t c = b == bins ? 0xC03030 : 0x3060C0; // the last bin holds everything beyond
        img.rect(kLeft + b * 4, base - hgt, kLeft + b * 4 + 3, base, c);
    }
    img.rect(kLeft, base, kLeft + kPlotW + 4, base + 1, 0x000000);
    for (int ms = 0; ms <= int(max_us / 1000); ++ms) {
        int x = kLeft + int(ms * 1000 / max_us * bins) * 4;
        img.rect(x, base, x + 1, base + 5, 0x000000);
        img.text(x - 4, base + 7, std::to_string(ms) + (ms == 0 ? " ms" : ""), 0x000000);
    }
    img.text(4, y0 + kTop, std::to_string(peak), 0x606060);
    const double med = quantile(s.us, 0.5), p99 = quantile(s.us, 0.99);
    for (auto [v, c] : {std::pair{med, 0x20A020u}, std::pair{p99, 0xE08000u}}) {
        int x = kLeft + int(std::min(v, max_us) / max_us * bins) * 4 + 1;
        img.rect(x, y0 + kTop, x + 1, base, c);
    }
    char legend[96];
    std::snprintf(legend, sizeof legend, "median %.0f us   p99 %.0f us   n %zu", med, p99, s.us.size());
    img.text(kLeft + kPlotW - 8 * int(std::string(legend).size()), y0 + 4, legend, 0x404040);
}

} // namespace

bool write_histograms(const std::string &path, const std::vector<Series> &series, double max_us)
{
#ifdef HIDBRIDGE_BENCH_PNG
    Image img{kPanelW, kPanelH * int(series.size()), {}};
    img.px.assign(size_t(img.w * img.h) * 3, 0xFF);
    for (size_t i = 0; i < series.size(); ++i)
        panel(img, int(i) * kPanelH, series[i], max_us);

    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, img.w, img.h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < img.h; ++y)
        png_write_row(png, &img.px[size_t(y * img.w) * 3]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
#else
    (void)path, (void)series, (void)max_us;
    return false;
#endif
}

} // namespace bench
