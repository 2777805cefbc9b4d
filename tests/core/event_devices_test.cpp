// The event devices of the virtual board, reached through the seam as the library reaches them.
#include "board.h"
#include "chipio.h"
#include "sysio.h"

#include <linux/input.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

int open_event(int n)
{
    char path[32];
    snprintf(path, sizeof path, "/dev/input/event%d", n);
    return sys_open(path, O_RDONLY | O_NONBLOCK);
}

bool exists(const char *path) { return sys_access(path, F_OK) == 0; }

short revents(int fd)
{
    pollfd p{fd, POLLIN, 0};
    sys_poll(&p, 1, 0);
    return p.revents;
}

TEST(EventDevices, PlugOpenAndRead)
{
    sim::Board board;
    EXPECT_FALSE(exists("/dev/input/event0"));
    board.plug_keyboard(0).plug_mouse(2);
    EXPECT_TRUE(exists("/dev/input/event0"));
    EXPECT_FALSE(exists("/dev/input/event1"));
    EXPECT_TRUE(exists("/dev/input/event2"));
    EXPECT_FALSE(exists("/dev/input/event5"));
    EXPECT_FALSE(exists("/dev/input/event00"));
    errno = 0;
    EXPECT_LT(open_event(1), 0);
    EXPECT_EQ(errno, ENOENT);

    int a = open_event(0), b = open_event(0);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(board.events.open_files(0), 2);
    EXPECT_EQ(revents(a), 0);
    errno = 0;
    input_event ev[3];
    EXPECT_EQ(sys_read(a, ev, sizeof ev), -1);
    EXPECT_EQ(errno, EAGAIN);

    board.events.key(0, KEY_A, 1);
    board.events.syn(0);
    board.events.rel(2, REL_X, 5); // no file open on event2: lost
    EXPECT_EQ(revents(a), POLLIN);

    // Whole native records only; each open file has its own queue.
    errno = 0;
    EXPECT_EQ(sys_read(a, ev, sizeof ev[0] - 1), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(sys_read(a, ev, sizeof ev), static_cast<ssize_t>(2 * sizeof(input_event)));
    EXPECT_EQ(ev[0].type, EV_KEY);
    EXPECT_EQ(ev[0].code, KEY_A);
    EXPECT_EQ(ev[0].value, 1);
    EXPECT_EQ(ev[1].type, EV_SYN);
    EXPECT_EQ(ev[1].code, SYN_REPORT);
    EXPECT_EQ(revents(a), 0);
    EXPECT_EQ(board.events.pending(0), 2u);
    ASSERT_EQ(sys_read(b, ev, sizeof ev[0]), static_cast<ssize_t>(sizeof(input_event)));
    EXPECT_EQ(ev[0].code, KEY_A);
    EXPECT_EQ(board.events.pending(0), 1u);

    int m = open_event(2);
    EXPECT_EQ(board.events.pending(2), 0u);
    board.events.button(2, BTN_LEFT, true);
    ASSERT_EQ(sys_read(m, ev, sizeof ev), static_cast<ssize_t>(sizeof(input_event)));
    EXPECT_EQ(ev[0].code, BTN_LEFT);
    sys_close(b);
    EXPECT_EQ(board.events.open_files(0), 1);
    EXPECT_TRUE(board.events.wait_drained(0, 0ms));
}

TEST(EventDevices, UnplugHangsUp)
{
    sim::Board board;
    board.plug_keyboard(0).plug_mouse(1);
    int k = open_event(0), m = open_event(1);
    board.events.key(0, KEY_B, 1);
    board.events.unplug(0);

    // Queued data shows, but the read fails: the device is gone.
    EXPECT_EQ(revents(k), POLLIN | POLLHUP | POLLERR);
    input_event ev;
    errno = 0;
    EXPECT_EQ(sys_read(k, &ev, sizeof ev), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_FALSE(exists("/dev/input/event0"));
    EXPECT_EQ(board.events.open_files(0), 0);
    EXPECT_EQ(revents(m), 0);

    // Plugged again, it is a new device: the old file stays hung up.
    board.plug_keyboard(0);
    int k2 = open_event(0);
    board.events.key(0, KEY_C, 1);
    EXPECT_EQ(revents(k), POLLIN | POLLHUP | POLLERR);
    EXPECT_EQ(sys_read(k2, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    EXPECT_EQ(ev.code, KEY_C);
    EXPECT_EQ(sys_close(k), 0);
}

TEST(EventDevices, GoneWhileTheHubIsOff)
{
    sim::Board board;
    board.plug_keyboard(3);
    int k = open_event(3);
    ASSERT_GE(k, 0);

    // sysfs drives a new output low: the hub goes off with the direction write.
    gpio_export(47);
    gpio_set_direction(47, "out");
    EXPECT_FALSE(board.events.hub_powered());
    EXPECT_FALSE(exists("/dev/input/event3"));
    EXPECT_EQ(revents(k) & POLLHUP, POLLHUP);
    EXPECT_LT(open_event(3), 0);
    board.plug_mouse(4); // plugged while off: appears with the power
    EXPECT_FALSE(board.events.present(4));

    gpio_set_value(47, 1);
    EXPECT_TRUE(exists("/dev/input/event3"));
    EXPECT_TRUE(exists("/dev/input/event4"));
    EXPECT_EQ(revents(k) & POLLHUP, POLLHUP);
    EXPECT_GE(open_event(3), 0);
}

TEST(EventDevices, ExistsButDoesNotOpen)
{
    sim::Board board;
    board.plug_keyboard(1);
    board.events.fail_open(1, true);
    EXPECT_TRUE(exists("/dev/input/event1"));
    errno = 0;
    EXPECT_LT(open_event(1), 0);
    EXPECT_EQ(errno, EACCES);
    board.events.fail_open(1, false);
    EXPECT_GE(open_event(1), 0);
}

} // namespace
