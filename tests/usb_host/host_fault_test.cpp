#include "host_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace reftest;
using namespace std::chrono_literals;
using sim::HostState;
using sim::TokenKind;

namespace {

struct Ready : Rig {
    Ready()
    {
        host.start();
        ready = host.wait_configured(2s);
    }
    bool ready = false;
};

size_t tokens_after(const std::vector<sim::Transaction> &log, TokenKind event)
{
    auto it = std::find_if(log.begin(), log.end(), [&](auto &t) { return t.kind == event; });
    return size_t(std::count_if(it, log.end(), [](auto &t) { return t.kind <= TokenKind::Out; }));
}

} // namespace

TEST(HostFaults, StopAndResumePolling)
{
    Ready rig;
    ASSERT_TRUE(rig.ready);
    rig.host.stop_polling();
    std::this_thread::sleep_for(5ms);
    unsigned ep1 = rig.dev.ins(1);
    rig.dev.queue_report(0x81, mouse(0, 4, 0, 0));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(rig.dev.ins(1), ep1);
    EXPECT_EQ(rig.dev.queued(0x81), 1u) << "the report waits in the device";
    EXPECT_FALSE(rig.host.snapshot().polling);

    rig.host.resume_polling();
    ASSERT_TRUE(rig.host.wait_reports(0x81, 1, 1s));
    EXPECT_EQ(rig.host.view().x, 4);
}

TEST(HostFaults, SuspendAndResume)
{
    Ready rig;
    ASSERT_TRUE(rig.ready);
    rig.host.suspend();
    EXPECT_TRUE(rig.dev.suspended());
    rig.dev.queue_report(0x81, mouse(0, 1, 0, 0));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(tokens_after(rig.host.transactions(), TokenKind::Suspend), 0u) << "no traffic on a suspended bus";
    EXPECT_TRUE(rig.host.snapshot().suspended);
    EXPECT_EQ(rig.host.state(), HostState::Configured) << "the device stays configured";

    rig.host.resume();
    EXPECT_EQ(rig.dev.resumes(), 1u);
    EXPECT_FALSE(rig.dev.suspended());
    ASSERT_TRUE(rig.host.wait_reports(0x81, 1, 1s));
    // Traffic started again only after the recovery time.
    auto log = rig.host.transactions();
    auto resume = std::find_if(log.begin(), log.end(), [](auto &t) { return t.kind == TokenKind::Resume; });
    auto first = std::find_if(resume, log.end(), [](auto &t) { return t.kind == TokenKind::In; });
    ASSERT_NE(first, log.end());
    EXPECT_GE(first->t_us - resume->t_us, 2000u);
    EXPECT_EQ(rig.dev.resets(), 2u) << "a resume is no reset";
}

TEST(HostFaults, BusReset)
{
    Ready rig;
    ASSERT_TRUE(rig.ready);
    rig.dev.queue_report(0x82, keyboard(0x01, {0x06}));
    ASSERT_TRUE(rig.host.wait_reports(0x82, 1, 1s));

    // A reset the host follows with enumeration, keeping the device's address.
    rig.host.bus_reset();
    ASSERT_TRUE(rig.host.wait_configured(1s));
    EXPECT_EQ(rig.dev.resets(), 4u);
    EXPECT_EQ(rig.dev.address(), 2);
    EXPECT_EQ(rig.host.snapshot().enumerations, 2u);
    EXPECT_EQ(rig.dev.outputs().size(), 2u);
    rig.dev.queue_report(0x82, keyboard(0x00, {}));
    ASSERT_TRUE(rig.host.wait_reports(0x82, 2, 1s));
    EXPECT_EQ(rig.host.reports(0x82).back().toggle, 0) << "both sides start again at DATA0";

    // A bare reset leaves the device in the default state until the host enumerates it.
    rig.host.bus_reset(false);
    auto s = rig.host.snapshot();
    EXPECT_EQ(s.state, HostState::Default);
    EXPECT_EQ(s.address, 0);
    EXPECT_FALSE(s.ready);
    unsigned ins = rig.dev.ins(1);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rig.dev.ins(1), ins);
    EXPECT_EQ(rig.dev.configuration(), 0);
    EXPECT_TRUE(rig.host.enumerate(sim::EnumStyle::Linux));
    EXPECT_EQ(rig.dev.address(), 3);
}

TEST(HostFaults, CableOutAndBack)
{
    Ready rig;
    ASSERT_TRUE(rig.ready);
    rig.dev.queue_report(0x81, mouse(0x02, 0, 0, 0));
    ASSERT_TRUE(rig.host.wait_reports(0x81, 1, 1s));
    EXPECT_TRUE(rig.host.view().button_held(2));

    rig.host.unplug();
    EXPECT_EQ(rig.host.state(), HostState::Detached);
    EXPECT_TRUE(rig.dev.suspended()) << "the device sees its bus go idle";
    EXPECT_FALSE(rig.host.view().button_held(2));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rig.host.state(), HostState::Detached) << "the pull-up is on but the cable is out";

    rig.host.replug();
    ASSERT_TRUE(rig.host.wait_configured(1s));
    EXPECT_FALSE(rig.dev.suspended());
    EXPECT_EQ(rig.dev.address(), 3);
    auto kinds = rig.host.transactions();
    std::vector<TokenKind> events;
    for (auto &t : kinds)
        if (t.kind > TokenKind::Out)
            events.push_back(t.kind);
    EXPECT_EQ(events, (std::vector<TokenKind>{TokenKind::Attach, TokenKind::Reset, TokenKind::Reset, TokenKind::Detach,
                                              TokenKind::Attach, TokenKind::Reset, TokenKind::Reset}));
}

TEST(HostFaults, StopAndStartTheHost)
{
    Rig rig;
    rig.host.start();
    ASSERT_TRUE(rig.host.wait_configured(2s));
    rig.host.stop();
    EXPECT_FALSE(rig.host.running());
    unsigned ins = rig.dev.ins(1);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(rig.dev.ins(1), ins);
    rig.host.start();
    rig.dev.queue_report(0x81, mouse(0, 0, 2, 0));
    ASSERT_TRUE(rig.host.wait_reports(0x81, 1, 1s));
    EXPECT_EQ(rig.host.view().y, 2);
}
