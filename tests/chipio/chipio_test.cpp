// The SPI link and GPIO helpers against the virtual board's spidev and sysfs models, plus a
// few failure paths that need a scripted seam.
#include "chipio.h"
#include "sysio.h"

#include "board.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <vector>

using sim::GpioModel;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> l) { return {l.begin(), l.end()}; }

struct Chip : testing::Test {
    sim::Board board;
    void TearDown() override { SPI_Close(); }
};

} // namespace

TEST_F(Chip, OpenConfiguresTheLinkOnceAndReportsIt)
{
    CaptureStdout();
    EXPECT_EQ(SPI_Open(), 0);
    EXPECT_EQ(GetCapturedStdout(), "spi mode: 0\nbits per word: 8\nmax speed: 32000 KHz (32 MHz)\n");
    EXPECT_EQ(board.chip.mode(), 0);
    EXPECT_EQ(board.chip.bits(), 8);
    EXPECT_EQ(board.chip.speed(), 32000000u);

    CaptureStdout();
    EXPECT_EQ(SPI_Open(), 1) << "already open: nothing is reconfigured";
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(board.chip.open_count(), 1);
}

TEST_F(Chip, EachFailingStepLeavesTheLinkOpenAndInitRecovers)
{
    const char *messages[] = {"can't set spi mode", "can't get spi mode", "can't set bits per word",
                              "can't get bits per word", "can't set max speed hz", "can't get max speed hz"};
    for (int step = 1; step <= 6; ++step) {
        SCOPED_TRACE(step);
        board.chip.fail_ioctl_step(step);
        CaptureStdout();
        EXPECT_EQ(CH374U_SPI_init(), -1);
        EXPECT_EQ(GetCapturedStdout(), std::string(messages[step - 1]) + "\nopen spi dev err!\n");
        int opens = board.chip.open_count();
        EXPECT_EQ(SPI_Open(), 1) << "the descriptor stays recorded after a partial failure";
        EXPECT_EQ(board.chip.open_count(), opens);

        board.chip.fail_ioctl_step(0);
        CaptureStdout();
        EXPECT_EQ(CH374U_SPI_init(), 0);
        GetCapturedStdout();
        EXPECT_EQ(board.chip.open_count(), opens + 1) << "init closes before it opens again";
    }
}

TEST_F(Chip, MissingNodeIsReported)
{
    board.chip.fail_open(true);
    CaptureStdout();
    EXPECT_EQ(SPI_Open(), -1);
    EXPECT_EQ(CH374U_SPI_init(), -1);
    EXPECT_EQ(GetCapturedStdout(), "can't open device\ncan't open device\nopen spi dev err!\n");
}

TEST_F(Chip, FramesAndTransferDescriptor)
{
    CaptureStdout();
    ASSERT_EQ(CH374U_SPI_init(), 0);
    GetCapturedStdout();
    board.chip.clear_transfers();

    Dev_Write374Byte(0x0C, 0x5A);
    board.chip.poke(0x0B, 0x77);
    EXPECT_EQ(Dev_Read374Byte(0x0B), 0x77);
    const uint8_t src[5] = {1, 2, 3, 4, 5};
    Dev_Write374Block(0x30, 5, src);
    uint8_t dst[5] = {};
    Dev_Read374Block(0x30, 5, dst);
    Dev_Write374Block(0x40, 0, src);

    auto t = board.chip.transfers();
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].tx, bytes({0x0C, 0x80, 0x5A}));
    EXPECT_EQ(t[1].tx, bytes({0x0B, 0xC0, 0x00}));
    EXPECT_EQ(t[2].tx, bytes({0x30, 0x80, 1, 2, 3, 4, 5}));
    EXPECT_EQ(t[3].tx.size(), 7u);
    EXPECT_EQ(std::vector<uint8_t>(t[3].tx.begin(), t[3].tx.begin() + 2), bytes({0x30, 0xC0}));
    EXPECT_EQ(t[4].tx, bytes({0x40, 0x80})) << "a block of length 0 is address and command only";
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 5), bytes({1, 2, 3, 4, 5}));
    EXPECT_EQ(board.chip.peek(0x0C), 0x5A);

    for (auto &tr : t) {
        EXPECT_EQ(tr.desc.len, tr.tx.size());
        EXPECT_EQ(tr.desc.speed_hz, 32000000u);
        EXPECT_EQ(tr.desc.bits_per_word, 8);
        EXPECT_EQ(tr.desc.delay_usecs, 0);
        EXPECT_EQ(tr.desc.cs_change, 0);
        EXPECT_EQ(tr.desc.tx_nbits, 0);
        EXPECT_EQ(tr.desc.rx_nbits, 0);
        EXPECT_NE(tr.desc.rx_buf, 0u);
    }
}

TEST_F(Chip, FailedTransfersReadAsNothingPending)
{
    CaptureStdout();
    ASSERT_EQ(CH374U_SPI_init(), 0);
    GetCapturedStdout();
    board.chip.poke(0x09, 0x0F);
    board.chip.fail_transfers(true);
    CaptureStdout();
    EXPECT_EQ(Dev_Read374Byte(0x09), 0);
    uint8_t dst[4] = {9, 9, 9, 9};
    Dev_Read374Block(0x09, 4, dst);
    Dev_Write374Byte(0x09, 1);
    EXPECT_EQ(GetCapturedStdout(), "can't send spi message\ncan't send spi message\ncan't send spi message\n");
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 4), bytes({0, 0, 0, 0}));
}

TEST_F(Chip, PresenceCheckAttempts)
{
    CaptureStdout();
    ASSERT_EQ(CH374U_SPI_init(), 0);
    GetCapturedStdout();

    board.chip.clear_transfers();
    EXPECT_EQ(Ch374U_DevCheck(), 0);
    auto t = board.chip.transfers();
    ASSERT_EQ(t.size(), 2u) << "a chip that answers is checked once";
    EXPECT_EQ(t[0].tx, bytes({0x40, 0x80, 0x55}));
    EXPECT_EQ(t[1].tx, bytes({0x40, 0xC0, 0x00}));

    board.chip.set_absent(true);
    board.chip.clear_transfers();
    CaptureStdout();
    EXPECT_EQ(Ch374U_DevCheck(), -1);
    EXPECT_EQ(GetCapturedStdout(), "") << "the caller reports";
    EXPECT_EQ(board.chip.transfers().size(), 22u) << "11 write/read attempts";
}

namespace {
// A chip that echoes the test byte only from its n-th read on.
class LateChip : public sim::Ch374Model {
public:
    LateChip(GpioModel &g, int n) : Ch374Model(g), n_(n) {}
    int reads = 0;

protected:
    uint8_t bus_read(uint8_t addr) override { return ++reads < n_ ? 0xAA : Ch374Model::bus_read(addr); }

private:
    int n_;
};
} // namespace

TEST(ChipCheck, SucceedsOnTheLastAttemptAndNotOneLater)
{
    for (int n : {11, 12}) {
        SCOPED_TRACE(n);
        GpioModel gpio;
        LateChip chip(gpio, n);
        sim::Kernel::instance().install();
        CaptureStdout();
        ASSERT_EQ(CH374U_SPI_init(), 0);
        GetCapturedStdout();
        EXPECT_EQ(Ch374U_DevCheck(), n <= 11 ? 0 : -1);
        EXPECT_EQ(chip.reads, 11);
        SPI_Close();
        sim::Kernel::instance().uninstall();
    }
}

TEST_F(Chip, GpioFileContents)
{
    EXPECT_EQ(gpio_export(47), 0);
    EXPECT_EQ(gpio_export(47), 0) << "exporting an exported line still succeeds";
    EXPECT_EQ(gpio_set_direction(47, "out"), 0);
    EXPECT_EQ(gpio_set_value(47, 1), 0);
    EXPECT_EQ(gpio_set_value(47, 0), 0);
    EXPECT_EQ(gpio_set_value(47, 200), 0);
    EXPECT_EQ(gpio_set_edge(47, "both"), 0);
    EXPECT_EQ(gpio_unexport(47), 0);

    auto log = board.gpio.log();
    using F = GpioModel::File;
    std::vector<std::pair<F, std::string>> want = {
        {F::Export, "47"},
        {F::Export, "47"},
        {F::Direction, std::string("out\0", 4)},
        {F::Value, std::string("1\0", 2)},
        {F::Value, std::string("0\0", 2)},
        {F::Value, std::string("1\0", 2)},
        {F::Edge, std::string("both\0", 5)},
        {F::Unexport, "47"},
    };
    ASSERT_EQ(log.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(log[i].file, want[i].first) << i;
        EXPECT_EQ(log[i].bytes, want[i].second) << i;
    }
    EXPECT_LT(gpio_set_value(47, 1), 0) << "an unexported line has no value file";
}

TEST_F(Chip, GpioReadAndInterruptPin)
{
    CaptureStdout();
    interrupt_pin_init();
    EXPECT_EQ(GetCapturedStdout(), "Set interrupt pin ok\n");
    EXPECT_TRUE(board.gpio.exported(12));
    EXPECT_EQ(board.gpio.direction(12), "in");
    EXPECT_EQ(board.gpio.edge(12), "falling");

    unsigned v = 7;
    board.gpio.drive(12, 0);
    EXPECT_EQ(gpio_get_value(12, &v), 0);
    EXPECT_EQ(v, 0u);
    board.gpio.drive(12, 1);
    EXPECT_EQ(gpio_get_value(12, &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_LT(gpio_get_value(13, &v), 0);

    CaptureStdout();
    board.gpio.clear_log();
    interrupt_pin_init(); // already set up: the writes fail, the message is printed anyway
    EXPECT_EQ(GetCapturedStdout(), "Set interrupt pin ok\n");
    EXPECT_EQ(board.gpio.log().size(), 3u);
}

// A scripted seam for what the models cannot fail on demand.
namespace {
int last_flags;
char read_char;
ssize_t read_result;
int f_open(const char *, int flags, mode_t) { last_flags = flags; return 42; }
int f_close(int) { return 0; }
ssize_t f_read(int, void *buf, size_t)
{
    if (read_result > 0)
        *static_cast<char *>(buf) = read_char;
    return read_result;
}
const sysio_ops fake = {f_open, f_close, f_read, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
} // namespace

TEST(GpioSeam, ValueReadsAndFlags)
{
    sysio_install(&fake);
    unsigned v = 9;
    read_result = -1;
    EXPECT_EQ(gpio_get_value(12, &v), 0);
    EXPECT_EQ(v, 1u) << "a failed read reads as the idle level";
    read_result = 2;
    for (auto [c, want] : {std::pair{'0', 0u}, {'1', 1u}, {'x', 1u}}) {
        read_char = c;
        gpio_get_value(12, &v);
        EXPECT_EQ(v, want) << c;
    }
    EXPECT_EQ(last_flags, O_RDONLY);
    EXPECT_EQ(gpio_fd_open(12, O_RDONLY), 42);
    EXPECT_EQ(last_flags, O_RDONLY | O_NONBLOCK);
    sysio_install(nullptr);
    EXPECT_EQ(sysio_current(), sysio_libc());
}
