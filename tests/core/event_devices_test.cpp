// The event devices of the virtual board, reached through the seam as the library reaches them.
#include "board.h"
#include "chipio.h"
#include "sysio.h"

#include <linux/input.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

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
    board.events.syn(2);
    ASSERT_EQ(sys_read(m, ev, sizeof ev), static_cast<ssize_t>(2 * sizeof(input_event)));
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
    board.events.syn(0);
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
    board.events.syn(0);
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

// Records as type, code, value.
using Records = std::vector<std::array<int, 3>>;

// What one read of the file returns.
Records read_all(int fd)
{
    input_event ev[16];
    Records v;
    ssize_t r = sys_read(fd, ev, sizeof ev);
    for (ssize_t i = 0; i < r / static_cast<ssize_t>(sizeof ev[0]); ++i)
        v.push_back({ev[i].type, ev[i].code, ev[i].value});
    return v;
}

constexpr std::array<int, 3> kReport = {EV_SYN, SYN_REPORT, 0};
constexpr std::array<int, 3> kDropped = {EV_SYN, SYN_DROPPED, 0};

TEST(EventDevices, OnlyWholePacketsAreReadable)
{
    sim::Board board;
    board.plug_mouse(0);
    int fd = open_event(0);
    ASSERT_GE(fd, 0);
    input_event ev[4];

    // Half a packet: queued, but neither polled nor read.
    board.events.rel(0, REL_X, 1);
    EXPECT_EQ(board.events.pending(0), 1u);
    EXPECT_EQ(board.events.readable(0), 0u);
    EXPECT_EQ(revents(fd), 0);
    errno = 0;
    EXPECT_EQ(sys_read(fd, ev, sizeof ev), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(board.events.wait_drained(0, 0ms));

    // The SYN_REPORT completes it; a read stops at the last whole packet.
    board.events.syn(0);
    board.events.rel(0, REL_Y, 2);
    EXPECT_EQ(revents(fd), POLLIN);
    EXPECT_EQ(board.events.readable(0), 2u);
    EXPECT_EQ(read_all(fd), (Records{{EV_REL, REL_X, 1}, kReport}));
    EXPECT_EQ(revents(fd), 0);
    EXPECT_EQ(board.events.pending(0), 1u);

    // A length for one record reads one; packet() queues a whole packet at once.
    board.events.packet(0, {{EV_REL, REL_WHEEL, -1}, {EV_KEY, BTN_LEFT, 1}});
    ASSERT_EQ(sys_read(fd, ev, sizeof ev[0]), static_cast<ssize_t>(sizeof ev[0]));
    EXPECT_EQ(ev[0].code, REL_Y);
    EXPECT_EQ(read_all(fd), (Records{{EV_REL, REL_WHEEL, -1}, {EV_KEY, BTN_LEFT, 1}, kReport}));
    EXPECT_TRUE(board.events.wait_drained(0, 0ms));
}

TEST(EventDevices, OverflowLeavesSynDroppedAndTheNewest)
{
    sim::Board board;
    board.plug_mouse(1);
    board.events.set_buffer_size(1, 8);
    int slow = open_event(1), quick = open_event(1);
    ASSERT_GE(slow, 0);

    // Eight records into a ring of eight: the eighth finds it full.
    for (int i = 0; i < 3; ++i) {
        board.events.packet(1, {{EV_REL, REL_X, i}});
        EXPECT_EQ(read_all(quick).size(), 2u);
    }
    EXPECT_EQ(board.events.dropped(1), 0u);
    board.events.rel(1, REL_X, 10);
    board.events.rel(1, REL_Y, 20);
    EXPECT_EQ(board.events.dropped(1), 1u);
    EXPECT_EQ(revents(slow), 0) << "nothing readable until the next SYN_REPORT";
    errno = 0;
    EXPECT_EQ(read_all(slow), Records{});
    EXPECT_EQ(errno, EAGAIN);

    // The rest of that packet follows the newest record; the file that kept up lost nothing.
    board.events.rel(1, REL_WHEEL, 1);
    board.events.syn(1);
    EXPECT_EQ(read_all(slow), (Records{kDropped, {EV_REL, REL_Y, 20}, {EV_REL, REL_WHEEL, 1}, kReport}));
    EXPECT_EQ(read_all(quick), (Records{{EV_REL, REL_X, 10}, {EV_REL, REL_Y, 20}, {EV_REL, REL_WHEEL, 1}, kReport}));

    // A SYN_REPORT that overflows the ring makes SYN_DROPPED readable at once.
    board.events.set_buffer_size(1, 3); // rounded up to 4
    board.events.packet(1, {{EV_KEY, BTN_LEFT, 1}});
    board.events.packet(1, {{EV_KEY, BTN_LEFT, 0}});
    EXPECT_EQ(board.events.dropped(1), 3u) << "one more on each file";
    EXPECT_EQ(read_all(slow), (Records{kDropped, kReport}));
    EXPECT_EQ(read_all(quick), (Records{kDropped, kReport}));
    EXPECT_FALSE(board.events.key_down(1, BTN_LEFT));

    // Records queued when the ring is resized stay, when they fit.
    board.events.packet(1, {{EV_REL, REL_X, 7}});
    board.events.set_buffer_size(1, 64);
    EXPECT_EQ(read_all(slow), (Records{{EV_REL, REL_X, 7}, kReport}));
    EXPECT_EQ(board.events.dropped(1), 3u);
}

TEST(EventDevices, KeyStateThroughEviocgkey)
{
    sim::Board board;
    board.plug_keyboard(0);
    int fd = open_event(0);
    ASSERT_GE(fd, 0);
    board.events.packet(0, {{EV_KEY, KEY_A, 1}, {EV_KEY, KEY_LEFTSHIFT, 1}});
    board.events.packet(0, {{EV_KEY, KEY_A, 0}, {EV_KEY, KEY_LEFTSHIFT, 2}});
    board.events.packet(0, {{EV_REL, REL_X, 5}});
    board.events.packet(0, {{EV_KEY, BTN_LEFT, 1}});
    board.events.key(0, KEY_Z, 1); // half a packet: already in the key state
    EXPECT_TRUE(board.events.key_down(0, KEY_LEFTSHIFT));
    EXPECT_FALSE(board.events.key_down(0, KEY_A));

    // The whole bitmap; bit `code` of byte code / 8.
    uint8_t bits[128];
    std::memset(bits, 0xEE, sizeof bits);
    ASSERT_EQ(sys_ioctl(fd, EVIOCGKEY(sizeof bits), bits), KEY_MAX / 8 + 1);
    for (int code = 0; code <= KEY_MAX; ++code) {
        bool down = code == KEY_LEFTSHIFT || code == BTN_LEFT || code == KEY_Z;
        EXPECT_EQ((bits[code / 8] >> (code % 8) & 1) != 0, down) << "code " << code;
    }
    EXPECT_EQ(bits[KEY_MAX / 8 + 1], 0xEE) << "no byte past the bitmap";

    // The key records left the queue with it (the bitmap holds them), and so did the
    // packets they emptied but the first; the rest stays in order.
    EXPECT_EQ(read_all(fd), (Records{kReport, {EV_REL, REL_X, 5}, kReport}));
    EXPECT_EQ(board.events.pending(0), 0u);

    // A short length gets that many bytes.
    std::memset(bits, 0xEE, sizeof bits);
    EXPECT_EQ(sys_ioctl(fd, EVIOCGKEY(KEY_LEFTSHIFT / 8 + 1), bits), KEY_LEFTSHIFT / 8 + 1);
    static_assert(KEY_LEFTSHIFT / 8 == KEY_Z / 8);
    EXPECT_EQ(bits[KEY_LEFTSHIFT / 8], 1 << (KEY_LEFTSHIFT % 8) | 1 << (KEY_Z % 8));
    EXPECT_EQ(bits[KEY_LEFTSHIFT / 8 + 1], 0xEE);

    // Requests evdev does not know, and a hung-up file.
    errno = 0;
    EXPECT_EQ(sys_ioctl(fd, _IOR('X', 0x18, int), bits), -1);
    EXPECT_EQ(errno, EINVAL);
    board.events.unplug(0);
    errno = 0;
    EXPECT_EQ(sys_ioctl(fd, EVIOCGKEY(sizeof bits), bits), -1);
    EXPECT_EQ(errno, ENODEV);

    // Plugged again it is a new device with nothing held.
    board.plug_keyboard(0);
    int fd2 = open_event(0);
    EXPECT_FALSE(board.events.key_down(0, KEY_LEFTSHIFT));
    ASSERT_EQ(sys_ioctl(fd2, EVIOCGKEY(sizeof bits), bits), KEY_MAX / 8 + 1);
    EXPECT_EQ(std::count(bits, bits + KEY_MAX / 8 + 1, 0), KEY_MAX / 8 + 1);
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
