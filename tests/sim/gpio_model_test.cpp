// The sysfs GPIO model behaves as the kernel's: what the library's device thread and panel
// driver rely on (edges on a polled value file, "0\n"/"1\n" after a rewind).
#include "board.h"
#include "sysio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <thread>

namespace {

int open_attr(const char *path, int flags) { return sys_open(path, flags); }
void put(const char *path, const char *text)
{
    int fd = open_attr(path, O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    sys_write(fd, text, strlen(text) + 1);
    sys_close(fd);
}

} // namespace

TEST(GpioModel, LinesAppearOnlyWhileExported)
{
    sim::Board board;
    EXPECT_NE(sys_access("/sys/class/gpio/gpio12/value", F_OK), 0);
    EXPECT_LT(open_attr("/sys/class/gpio/gpio12/value", O_RDONLY), 0);
    EXPECT_LT(open_attr("/sys/class/gpio/export", O_RDONLY), 0) << "export is write-only";
    put("/sys/class/gpio/export", "12");
    EXPECT_EQ(sys_access("/sys/class/gpio/gpio12/value", F_OK), 0);
    put("/sys/class/gpio/unexport", "12");
    EXPECT_NE(sys_access("/sys/class/gpio/gpio12/value", F_OK), 0);
    EXPECT_NE(sys_access("/sys/class/gpio/gpio99/value", F_OK), 0);
}

TEST(GpioModel, EdgesWakeAPollerUntilTheValueIsRead)
{
    sim::Board board;
    put("/sys/class/gpio/export", "12");
    put("/sys/class/gpio/gpio12/edge", "falling");
    int fd = open_attr("/sys/class/gpio/gpio12/value", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLPRI, 0};
    EXPECT_EQ(sys_poll(&p, 1, 0), 0);

    board.gpio.drive(12, 1); // no change from the idle level
    board.gpio.drive(12, 0);
    EXPECT_EQ(sys_poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLPRI);
    EXPECT_EQ(sys_poll(&p, 1, 0), 1) << "still pending until read";
    char buf[10] = {};
    sys_lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(sys_read(fd, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "0\n");
    EXPECT_EQ(sys_poll(&p, 1, 0), 0);

    board.gpio.drive(12, 1); // a rising edge does not count for "falling"
    EXPECT_EQ(sys_poll(&p, 1, 0), 0);

    // A poller blocked in the kernel is woken by the edge.
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        board.gpio.drive(12, 0);
    });
    EXPECT_EQ(sys_poll(&p, 1, 2000), 1);
    t.join();
    sys_lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(sys_read(fd, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "0\n");
    sys_close(fd);
}

TEST(GpioModel, OutputsNotifyListenersAndRefuseWritesWhileInputs)
{
    sim::Board board;
    std::vector<std::pair<int, int>> seen;
    board.gpio.on_output(47, [&](int line, int level) { seen.push_back({line, level}); });
    put("/sys/class/gpio/export", "47");
    int fd = open_attr("/sys/class/gpio/gpio47/value", O_WRONLY);
    EXPECT_LT(sys_write(fd, "1", 2), 0) << "an input line takes no value";
    put("/sys/class/gpio/gpio47/direction", "out");
    EXPECT_EQ(sys_write(fd, "1", 2), 2);
    sys_close(fd);
    EXPECT_EQ(board.gpio.level(47), 1);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{47, 0}, {47, 1}})) << "a new output starts low";
}
