// The panel driver against the virtual board: the exact line streams where the stream is
// the contract, and otherwise what the panel model decodes and shows.
#include "panel_test.h"

#include <algorithm>

using paneltest::Panel;
using paneltest::SeamSpy;
using sim::GpioModel;
using Cmd = sim::PanelModel::Command;

namespace {

std::vector<std::pair<int, std::string>> value_writes(const std::vector<GpioModel::Write> &log)
{
    std::vector<std::pair<int, std::string>> out;
    for (auto &w : log)
        if (w.file == GpioModel::File::Value)
            out.emplace_back(w.line, w.bytes);
    return out;
}

// D/CX, then for each bit MSB first: SDA, SCL low, SCL high.
std::vector<std::pair<int, std::string>> byte_stream(int dcx, uint8_t b)
{
    std::vector<std::pair<int, std::string>> s;
    if (dcx >= 0)
        s.emplace_back(7, dcx ? "1" : "0");
    for (int i = 7; i >= 0; --i) {
        s.emplace_back(1, (b >> i) & 1 ? "1" : "0");
        s.emplace_back(0, "0");
        s.emplace_back(0, "1");
    }
    return s;
}

bool same_command(const Cmd &c, uint8_t cmd, std::vector<uint8_t> params, size_t pixel_bytes = 0)
{
    return c.cmd == cmd && c.params == params && c.pixel_bytes == pixel_bytes;
}

} // namespace

TEST_F(Panel, ByteStreamsAreOneOneByteWritePerLevel)
{
    board.gpio.set_logging(true);
    {
        SCOPED_TRACE("command byte 0x36: D/CX low, then 0 0 1 1 0 1 1 0");
        board.gpio.clear_log();
        lcd_write_cmd(0x36);
        auto got = value_writes(board.gpio.log());
        EXPECT_EQ(got.size(), 25u);
        EXPECT_EQ(got, byte_stream(0, 0x36));
    }
    {
        SCOPED_TRACE("16-bit datum: D/CX high once, high byte first");
        board.gpio.clear_log();
        lcd_write_data16(0xF800);
        auto want = byte_stream(1, 0xF8);
        auto low = byte_stream(-1, 0x00);
        want.insert(want.end(), low.begin(), low.end());
        EXPECT_EQ(value_writes(board.gpio.log()), want);
    }
    {
        SCOPED_TRACE("D/CX is written again although it is already high");
        board.gpio.clear_log();
        lcd_write_data8(0xA5);
        lcd_write_data8(0x5A);
        auto got = value_writes(board.gpio.log());
        ASSERT_EQ(got.size(), 50u);
        EXPECT_EQ(got[0], std::make_pair(7, std::string("1")));
        EXPECT_EQ(got[25], std::make_pair(7, std::string("1")));
    }
    {
        SCOPED_TRACE("nothing but value writes, and never on the spare line 48");
        for (auto &w : board.gpio.log()) {
            EXPECT_EQ(w.file, GpioModel::File::Value);
            EXPECT_EQ(w.bytes.size(), 1u);
            EXPECT_NE(w.line, 48);
        }
    }
    auto cmds = board.panel.commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_TRUE(same_command(cmds[0], 0x36, {0xF8, 0x00, 0xA5, 0x5A}));
}

TEST_F(Panel, WindowAndPointStreams)
{
    SeamSpy spy;
    lcd_set_window(0, 0, 159, 79);
    auto cmds = board.panel.commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_TRUE(same_command(cmds[0], 0x2A, {0x00, 0x01, 0x00, 0xA0}));
    EXPECT_TRUE(same_command(cmds[1], 0x2B, {0x00, 0x1A, 0x00, 0x69}));
    EXPECT_TRUE(same_command(cmds[2], 0x2C, {}));
    EXPECT_EQ(spy.writes(), 11u * 25);

    board.panel.clear_commands();
    spy.reset();
    lcd_draw_point(10, 20, 0x1234);
    EXPECT_EQ(spy.writes(), 324u) << "5 + 5 + 1 bytes of window, 2 of colour, one D/CX each item";
    EXPECT_EQ(spy.wide_writes(), 0u);
    EXPECT_EQ(spy.opens(), 0u) << "on the descriptors opened at set-up";
    cmds = board.panel.commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_TRUE(same_command(cmds[0], 0x2A, {0x00, 0x0B, 0x00, 0x0C})) << "a 2 x 2 window";
    EXPECT_TRUE(same_command(cmds[1], 0x2B, {0x00, 0x2E, 0x00, 0x2F}));
    EXPECT_TRUE(same_command(cmds[2], 0x2C, {}, 2));
    EXPECT_EQ(board.panel.stored(10, 20), 0x1234);
    EXPECT_EQ(board.panel.stored(11, 20), 0) << "only the first pixel of the window";
    EXPECT_EQ(board.panel.stored(10, 21), 0);

    for (uint16_t x : {255, 65535}) {
        SCOPED_TRACE(x);
        board.panel.clear_commands();
        lcd_set_cursor(x, 230);
        cmds = board.panel.commands();
        ASSERT_EQ(cmds.size(), 3u);
        EXPECT_EQ(cmds[0].params[1], 0x00) << "(x + 1) mod 256, unclipped";
        EXPECT_EQ(cmds[1].params, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00})) << "230 + 26 wraps";
    }
}

TEST(PanelInit, ClaimsLinesResetsAndSendsTheSequence)
{
    sim::Board board;
    SeamSpy spy;
    testing::internal::CaptureStdout();
    lcd_init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "lcd: st7735 init\n");

    auto log = board.gpio.log();
    std::vector<std::string> exported, directions;
    for (auto &w : log) {
        if (w.file == GpioModel::File::Export)
            exported.push_back(w.bytes.substr(0, w.bytes.find_first_of(std::string("\0\n", 2))));
        if (w.file == GpioModel::File::Direction)
            directions.push_back(std::to_string(w.line) + ":" + w.bytes.c_str());
    }
    EXPECT_EQ(exported, (std::vector<std::string>{"0", "1", "48", "7", "6"}));
    EXPECT_EQ(directions, (std::vector<std::string>{"0:out", "1:out", "48:out", "7:out", "6:out"}));
    for (int line : {0, 1, 48, 7, 6})
        EXPECT_EQ(board.gpio.direction(line), "out");
    EXPECT_EQ(board.gpio.level(48), 0) << "claimed, never driven";

    // Reset pulse: RESX low, 100 ms, high, 100 ms; then SLPOUT and 120 ms.
    auto values = value_writes(log);
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values[0], std::make_pair(6, std::string("0")));
    EXPECT_EQ(values[1], std::make_pair(6, std::string("1")));
    ASSERT_EQ(spy.sleeps().size(), 3u);
    const size_t claims = spy.sleeps()[0].writes_before - 1;
    EXPECT_EQ(claims, 10u) << "one export and one direction write per line";
    EXPECT_EQ(spy.sleeps()[0].usec, 100000u);
    EXPECT_EQ(spy.sleeps()[1].usec, 100000u);
    EXPECT_EQ(spy.sleeps()[1].writes_before, claims + 2);
    EXPECT_EQ(spy.sleeps()[2].usec, 120000u);
    EXPECT_EQ(spy.sleeps()[2].writes_before, claims + 2 + 25) << "straight after SLPOUT";
    EXPECT_EQ(board.panel.resets(), 1u);

    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> want = {
        {0x11, {}},
        {0x21, {}},
        {0x21, {}},
        {0xB1, {0x05, 0x3A, 0x3A}},
        {0xB2, {0x05, 0x3A, 0x3A}},
        {0xB3, {0x05, 0x3A, 0x3A, 0x05, 0x3A, 0x3A}},
        {0xB4, {0x03}},
        {0xC0, {0x62, 0x02, 0x04}},
        {0xC1, {0xC0}},
        {0xC2, {0x0D, 0x00}},
        {0xC3, {0x8D, 0x6A}},
        {0xC4, {0x8D, 0xEE}},
        {0xC5, {0x0E}},
        {0xE0, {0x10, 0x0E, 0x02, 0x03, 0x0E, 0x07, 0x02, 0x07, 0x0A, 0x12, 0x27, 0x37, 0x00, 0x0D, 0x0E, 0x10}},
        {0xE1, {0x10, 0x0E, 0x03, 0x03, 0x0F, 0x06, 0x02, 0x08, 0x0A, 0x13, 0x26, 0x36, 0x00, 0x0D, 0x0E, 0x10}},
        {0x3A, {0x05}},
        {0x36, {0xA8}},
        {0x29, {}},
    };
    auto cmds = board.panel.commands();
    ASSERT_EQ(cmds.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(same_command(cmds[i], want[i].first, want[i].second)) << "step " << i;
    EXPECT_TRUE(board.panel.awake());
    EXPECT_TRUE(board.panel.display_on());
    EXPECT_TRUE(board.panel.inverted()) << "INVON twice is still on";
    EXPECT_EQ(board.panel.colmod(), 0x05);
    EXPECT_EQ(board.panel.madctl(), 0xA8);
}

TEST(PanelInit, UnclaimableLinesStillRunToTheEnd)
{
    sim::Board board;
    for (int line : {0, 1, 48, 7, 6})
        board.gpio.fail_value_open(line, true);
    SeamSpy spy;
    testing::internal::CaptureStdout();
    lcd_init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "lcd: st7735 init\n");
    unsigned long slept = 0;
    for (auto &s : spy.sleeps())
        slept += s.usec;
    EXPECT_EQ(slept, 320000u);
    EXPECT_TRUE(board.panel.commands().empty());
    EXPECT_FALSE(board.panel.display_on());
}

namespace {
// The descriptors each write went to, through the board's backend.
std::vector<int> *written_fds;
const sysio_ops *board_ops;
} // namespace

TEST(PanelInit, CallsBeforeInitWriteToNoDescriptor)
{
    sim::Board board;
    std::vector<int> fds;
    written_fds = &fds;
    board_ops = sysio_current();
    sysio_ops ops = *board_ops;
    ops.write = [](int fd, const void *buf, size_t len) {
        written_fds->push_back(fd);
        return board_ops->write(fd, buf, len);
    };
    sysio_install(&ops);
    lcd_draw_point(3, 4, 0x1234);
    lcd_show_char(0, 0, 'A');
    sysio_install(board_ops);
    ASSERT_FALSE(fds.empty());
    for (int fd : fds)
        ASSERT_LT(fd, 0) << "a level written to descriptor " << fd;
    EXPECT_TRUE(board.panel.commands().empty());
}

TEST_F(Panel, FillStoresTheComplementOverTheWholeScreen)
{
    SeamSpy spy;
    lcd_draw_point(40, 40, 0x1234);
    lcd_set_window(100, 50, 101, 51); // the fill must not start in a stale window
    spy.reset();
    lcd_fill(0x0000);
    EXPECT_EQ(spy.writes(), 300u + 12800u * 49u);
    int wrong = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 160; ++x)
            wrong += board.panel.stored(x, y) != 0xFFFF;
    EXPECT_EQ(wrong, 0);
    auto cmds = board.panel.commands();
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.back().cmd, 0x2C);
    EXPECT_EQ(cmds.back().pixel_bytes, 25600u);

    lcd_fill(0xF800);
    EXPECT_EQ(board.panel.stored(0, 0), 0x07FF);
    EXPECT_EQ(board.panel.stored(159, 79), 0x07FF);

    // A fill looks like points drawn with the complement of its colour.
    lcd_fill(0xFFFF);
    lcd_draw_point(5, 5, 0x0000);
    lcd_draw_point(6, 5, 0xFFFF);
    EXPECT_EQ(board.panel.shown(0, 0), board.panel.shown(5, 5));
    EXPECT_NE(board.panel.shown(0, 0), board.panel.shown(6, 5));
}

TEST_F(Panel, ReadPointLeavesThePixel)
{
    lcd_draw_point(5, 5, 0x1234);
    lcd_draw_point(6, 5, 0x4321);
    board.panel.clear_pixel_log();
    EXPECT_EQ(lcd_read_point(5, 5), 0);
    EXPECT_TRUE(board.panel.pixel_log().empty());
    EXPECT_EQ(board.panel.stored(5, 5), 0x1234);
    EXPECT_EQ(board.panel.stored(6, 5), 0x4321);
    lcd_draw_point(7, 5, 0x1111);
    EXPECT_EQ(board.panel.stored(5, 5), 0x1234);
}

TEST(PanelColours, SwapRedBlue)
{
    EXPECT_EQ(lcd_swap_red_blue(0xF800), 0x001F);
    EXPECT_EQ(lcd_swap_red_blue(0x001F), 0xF800);
    EXPECT_EQ(lcd_swap_red_blue(0x07E0), 0x07E0);
    EXPECT_EQ(lcd_swap_red_blue(0x1234), 0xA222);
    EXPECT_EQ(lcd_swap_red_blue(0xEF7D), 0xEF7D);
    for (unsigned c = 0; c < 0x10000; c += 97)
        EXPECT_EQ(lcd_swap_red_blue(lcd_swap_red_blue(uint16_t(c))), c);
}

// The panel model itself: it applies what the controller was told, not what the library
// means, so a wrong set-up shows.
TEST_F(Panel, ModelFollowsTheControllerSettings)
{
    lcd_draw_point(0, 0, LCD_RED);
    EXPECT_EQ(board.panel.shown(0, 0), 0xFF0000u);
    EXPECT_EQ(board.panel.shown(1, 0), 0x000000u) << "stored 0 shows black with INVON";

    lcd_write_cmd(0x20); // INVOFF: the IPS glass shows the complement
    EXPECT_EQ(board.panel.shown(0, 0), 0x00FFFFu);
    lcd_write_cmd(0x21);

    lcd_write_cmd_data(0x36, 0xA0); // RGB order on a BGR glass: red shows as blue
    EXPECT_EQ(board.panel.shown(0, 0), 0x0000FFu);

    lcd_write_cmd_data(0x36, 0x68); // MX instead of MY: the picture is mirrored
    lcd_draw_point(0, 0, 0x07E0);
    EXPECT_EQ(board.panel.stored(0, 0), LCD_RED);
    EXPECT_EQ(board.panel.stored(159, 79), 0x07E0);
    lcd_write_cmd_data(0x36, 0xA8);

    lcd_write_cmd_data(0x3A, 0x06); // 18 bits: three bytes a pixel, the point is cut short
    lcd_draw_point(20, 0, 0xFFFF);
    EXPECT_EQ(board.panel.stored(20, 0), 0);
    lcd_write_cmd_data(0x3A, 0x05);

    lcd_write_cmd(0x28);
    EXPECT_EQ(board.panel.shown(0, 0), 0u) << "display off is black";
}

TEST_F(Panel, ModelWritesThePng)
{
    if (!sim::PanelModel::png_supported())
        GTEST_SKIP() << "virtual board built without libpng";
    lcd_draw_point(3, 4, LCD_RED);
    std::string path = testing::TempDir() + "panel_test.png";
    ASSERT_TRUE(board.panel.write_png(path, 2));
    FILE *f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char head[24];
    ASSERT_EQ(fread(head, 1, sizeof head, f), sizeof head);
    fclose(f);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(head) + 1, 3), "PNG");
    auto be32 = [&](int at) { return head[at] << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
    EXPECT_EQ(be32(16), 320);
    EXPECT_EQ(be32(20), 160);
    EXPECT_FALSE(board.panel.write_png("/nonexistent-dir/x.png"));
}
