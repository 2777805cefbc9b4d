// The device thread's bring-up and its ways of noticing the chip, and the board's hub, LED
// and clock helpers.
#include "scripted_host.h"

#include "global.h"
#include "usbdev_state.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/time.h>

using namespace usbtest;
using namespace std::chrono_literals;
using sim::GpioModel;

namespace {

// Enumerates and has one mouse report collected: the device is being served.
void expect_device_served()
{
    ScriptedHost host{await_service};
    ASSERT_TRUE(host.configure(4));
    Poller poller{4};
    poller.start(1ms);
    EXPECT_EQ(MouseSendReport(1, 0, 0, 0), 0);
    poller.stop();
    ASSERT_EQ(poller.reports().size(), 1u);
    EXPECT_EQ(poller.reports()[0].data[0], 1);
}

TEST(DeviceThread, BringUpFailuresEndTheThreadWithTheirMessage)
{
    board().chip.fail_open(true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(thread_device_listen(nullptr), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("can't open device\nopen spi dev err!\nspi error you kernel maybe not fix your board!\n"),
              std::string::npos)
        << out;
    board().chip.fail_open(false);

    board().chip.set_absent(true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(thread_device_listen(nullptr), nullptr);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("communicate wit ch374u error !please check your hardware\n"), std::string::npos) << out;
    EXPECT_FALSE(chip_attached());
}

TEST(DeviceThread, BringUpDetachesProgramsAndAttaches)
{
    board();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(start_device_thread());
    std::this_thread::sleep_for(5ms);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Set interrupt pin ok\n"), std::string::npos);
    EXPECT_NE(out.find("Init374Device 0\nInit374Device 1\nwait host enum device...\n"), std::string::npos) << out;
    EXPECT_EQ(board().gpio.edge(sim::Ch374Model::kIrqLine), "falling");
    EXPECT_EQ(board().chip.peek(sim::Ch374Model::InterEn), 0x07);
    EXPECT_EQ(board().chip.peek(sim::Ch374Model::SysCtrl), 0x40);
    expect_device_served();
}

TEST(DeviceThread, WithoutTheInterruptLineFileTheChipIsPolled)
{
    board().gpio.fail_value_open(sim::Ch374Model::kIrqLine, true);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(start_device_thread());
    expect_device_served();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("interrupt line not available, testing the chip every 1 ms\n"), std::string::npos) << out;
}

TEST(DeviceThread, MissedEdgesAreServedByTheLevelTest)
{
    board();
    ASSERT_TRUE(start_device_thread());
    {
        std::lock_guard lock(sim::Kernel::instance().mutex());
        board().gpio.line(sim::Ch374Model::kIrqLine).edge = "none"; // no edge is ever reported
    }
    expect_device_served();
}

TEST(BoardLines, HubPowerCycleAndLeds)
{
    board().gpio.clear_log();
    Hub_poweron();
    using F = GpioModel::File;
    const std::vector<std::tuple<F, int, std::string>> want = {
        {F::Unexport, -1, "47"}, {F::Export, -1, "47"},     {F::Direction, 47, std::string("out\0", 4)},
        {F::Value, 47, std::string("0\0", 2)}, {F::Value, 47, std::string("1\0", 2)},
    };
    auto log = board().gpio.log();
    ASSERT_EQ(log.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(log[i].file, std::get<0>(want[i]));
        EXPECT_EQ(log[i].line, std::get<1>(want[i]));
        EXPECT_EQ(log[i].bytes, std::get<2>(want[i]));
    }
    EXPECT_EQ(board().gpio.level(47), 1);

    KmLed(1, 1);
    KmLed(0, 1);
    EXPECT_EQ(board().gpio.level(13), 1);
    EXPECT_EQ(board().gpio.level(14), 1);
    KmLed(0, 0);
    EXPECT_EQ(board().gpio.level(14), 0);
    EXPECT_EQ(board().gpio.level(13), 1);
}

TEST(Clock, DeadlinesAndTheWrappedMillisecondClock)
{
    struct Case {
        timespec now;
        long ms;
        timespec want;
    };
    for (Case c : {Case{{5, 950000000}, 100, {6, 50000000}}, Case{{5, 0}, 1500, {6, 500000000}},
                   Case{{5, 999999999}, 1, {6, 999999}}, Case{{5, 10}, 0, {5, 10}},
                   Case{{5, 100}, -1, {4, 999000100}}}) {
        timespec d = usbdev::deadline_after(c.now, c.ms);
        EXPECT_EQ(d.tv_sec, c.want.tv_sec) << c.ms;
        EXPECT_EQ(d.tv_nsec, c.want.tv_nsec) << c.ms;
    }

    sem_t s;
    sem_init(&s, 0, 1);
    EXPECT_EQ(sem_timedwait_millsecs(&s, 100), 0);
    EXPECT_EQ(sem_timedwait_millsecs(&s, 5), -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    // Seconds x 1000 wraps in 32 bits, on a 64-bit build too.
    timeval tv;
    gettimeofday(&tv, nullptr);
    long got = GetUnixTime();
    uint32_t want = uint32_t(uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000);
    EXPECT_GE(got, INT32_MIN);
    EXPECT_LE(got, INT32_MAX);
    EXPECT_LT(uint32_t(got) - want, 1000u);
}

} // namespace
