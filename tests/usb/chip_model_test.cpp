// The CH374 model's USB side on its own: registers written over SPI, transactions from the
// host's side. Values are the chip's documented ones, written out here on purpose.
#include "scripted_host.h"

#include "chipio.h"

#include <gtest/gtest.h>

using namespace usbtest;
using sim::Ch374Model;

namespace {

constexpr uint8_t kSetup = 0x06, kInterEn = 0x07, kAddr = 0x08, kFlags = 0x09, kStatus = 0x0A, kLength = 0x0B;
constexpr uint8_t kEp0 = 0x0C, kEp1 = 0x0D, kEp2 = 0x0E, kSysCtrl = 0x05;

class ChipModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        board();
        ASSERT_EQ(CH374U_SPI_init(), 0);
        Dev_Write374Byte(kEp0, 0x0E);
        Dev_Write374Byte(kEp1, 0x0E);
        Dev_Write374Byte(kEp2, 0x02);
        Dev_Write374Byte(kInterEn, 0x07);
        Dev_Write374Byte(kSetup, 0x03);
    }
    static InPacket in(uint8_t ep, uint8_t addr = 0)
    {
        return ScriptedHost::locked([&](auto &c) { return c.in(addr, ep); });
    }
    static Handshake out(uint8_t ep, uint8_t tog, Bytes d, uint8_t addr = 0)
    {
        return ScriptedHost::locked([&](auto &c) { return c.out(addr, ep, tog, d.data(), uint8_t(d.size())); });
    }
    static Handshake setup(const Packet &p, uint8_t addr = 0)
    {
        return ScriptedHost::locked([&](auto &c) { return c.setup(addr, p.data()); });
    }
    static void clear_all() { Dev_Write374Byte(kFlags, 0x1F); }
    static int irq() { return board().gpio.level(Ch374Model::kIrqLine); }
};

TEST_F(ChipModel, AnswersOnlyWhenAttachedPoweredAndAddressed)
{
    Dev_Write374Byte(kEp1, 0x02);
    struct Case {
        uint8_t setup;
        bool attached;
        bool answers;
    };
    for (Case c : {Case{0x00, false, false}, Case{0x01, false, false}, Case{0x02, true, false},
                   Case{0x03, true, true}, Case{0x07, false, false}, Case{0x83, false, false}}) {
        SCOPED_TRACE(int(c.setup));
        Dev_Write374Byte(kSetup, c.setup);
        EXPECT_EQ(ScriptedHost::locked([](auto &m) { return m.attached(); }), c.attached);
        EXPECT_EQ(in(1).hs, c.answers ? Handshake::Ack : Handshake::Timeout);
        clear_all();
    }
    Dev_Write374Byte(kSetup, 0x03);

    Dev_Write374Byte(kAddr, 0x85); // seven address bits
    EXPECT_EQ(in(1, 0).hs, Handshake::Timeout);
    EXPECT_EQ(in(1, 5).hs, Handshake::Ack);
    clear_all();
    Dev_Write374Byte(kAddr, 0);

    Dev_Write374Byte(kSysCtrl, 0x41);
    EXPECT_EQ(in(1).hs, Handshake::Timeout) << "oscillator off";
    ScriptedHost::locked([](auto &m) { m.bus_reset(); return 0; });
    EXPECT_EQ(Dev_Read374Byte(kSysCtrl), 0x40) << "a reset starts it again";
    clear_all();
    EXPECT_EQ(in(1).hs, Handshake::Ack);
    clear_all();

    ScriptedHost::locked([](auto &m) { m.suspend(); return 0; });
    EXPECT_EQ(in(1).hs, Handshake::Timeout) << "a suspended device sees no tokens";
    ScriptedHost::locked([](auto &m) { m.resume(); return 0; });
    EXPECT_EQ(Dev_Read374Byte(kFlags) & 0x0C, 0x0C);
    clear_all();
    EXPECT_EQ(in(1).hs, Handshake::Ack);
}

TEST_F(ChipModel, PausesAfterEachTransactionUntilTheFirmwareClearsIt)
{
    Dev_Write374Byte(kEp1, 0x46);
    EXPECT_EQ(irq(), 1);
    ASSERT_EQ(in(1).hs, Handshake::Ack);
    EXPECT_EQ(Dev_Read374Byte(kFlags) & 0x1F, 0x11);
    EXPECT_EQ(Dev_Read374Byte(kStatus) & 0x0F, 0x09);
    EXPECT_EQ(irq(), 0);

    EXPECT_EQ(in(1).hs, Handshake::Nak);
    EXPECT_EQ(setup(get_descriptor(1, 0, 0, 18)), Handshake::Nak);
    EXPECT_EQ(out(2, 0, {1, 0}), Handshake::Nak);
    Dev_Write374Byte(kFlags, 0x01); // the event, not the pause
    EXPECT_EQ(irq(), 1);
    EXPECT_EQ(in(1).hs, Handshake::Nak);
    Dev_Write374Byte(kFlags, 0x10);
    EXPECT_EQ(in(1).hs, Handshake::Ack);

    Dev_Write374Byte(kInterEn, 0x00);
    EXPECT_EQ(irq(), 1) << "a flag without its enable leaves the line alone";
    Dev_Write374Byte(kInterEn, 0x01);
    EXPECT_EQ(irq(), 0);
    Dev_Write374Byte(kFlags, 0x11);
    EXPECT_EQ(irq(), 1);
}

TEST_F(ChipModel, EndpointResponsesAndToggles)
{
    const uint8_t bytes8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Dev_Write374Block(0x30, 8, bytes8);
    struct In01 {
        uint8_t ctrl;
        Handshake hs;
        uint8_t len, tog;
    };
    for (In01 c : {In01{0x00, Handshake::Ack, 0, 0}, In01{0x48, Handshake::Ack, 8, 1}, In01{0x05, Handshake::Ack, 5, 0},
                   In01{0x4E, Handshake::Nak, 0, 0}, In01{0x0F, Handshake::Stall, 0, 0},
                   In01{0x09, Handshake::Timeout, 0, 0}}) {
        SCOPED_TRACE(int(c.ctrl));
        Dev_Write374Byte(kEp1, c.ctrl);
        InPacket p = in(1);
        EXPECT_EQ(p.hs, c.hs);
        if (p.hs == Handshake::Ack) {
            EXPECT_EQ(p.len, c.len);
            EXPECT_EQ(p.toggle, c.tog);
            EXPECT_EQ(Bytes(p.data, p.data + p.len), Bytes(bytes8, bytes8 + c.len));
        }
        clear_all();
    }

    // Endpoint 2 sends the length written to the length register, whatever arrived since.
    const uint8_t report[12] = {1, 0, 4};
    Dev_Write374Block(0x40, 12, report);
    Dev_Write374Byte(kLength, 12);
    ASSERT_EQ(out(2, 0, {0x01, 0x02}), Handshake::Ack);
    EXPECT_EQ(Dev_Read374Byte(kLength), 2);
    EXPECT_EQ(Dev_Read374Byte(kStatus), 0x12) << "EP2 OUT, toggle matched";
    clear_all();
    struct In2 {
        uint8_t ctrl;
        Handshake hs;
    };
    for (In2 c : {In2{0x40, Handshake::Ack}, In2{0x02, Handshake::Nak}, In2{0x03, Handshake::Stall},
                  In2{0x01, Handshake::Timeout}}) {
        SCOPED_TRACE(int(c.ctrl));
        Dev_Write374Byte(kEp2, c.ctrl);
        InPacket p = in(2);
        EXPECT_EQ(p.hs, c.hs);
        if (p.hs == Handshake::Ack) {
            EXPECT_EQ(Bytes(p.data, p.data + p.len), Bytes(report, report + 12));
            EXPECT_EQ(p.toggle, 1);
            EXPECT_EQ(Dev_Read374Byte(kStatus) & 0x0F, 0x0A);
        }
        clear_all();
    }

    // Receiving: a toggle mismatch is ACKed and delivered, flagged in the status.
    Dev_Write374Byte(kEp2, 0x82);
    ASSERT_EQ(out(2, 0, {0x01, 0x07}), Handshake::Ack);
    EXPECT_EQ(Dev_Read374Byte(kStatus), 0x02);
    uint8_t got[2];
    Dev_Read374Block(0xC0, 2, got);
    EXPECT_EQ(got[1], 0x07);
    clear_all();
    for (auto [ctrl, hs] : {std::pair{0xA2, Handshake::Nak}, std::pair{0xB2, Handshake::Stall},
                            std::pair{0x92, Handshake::Timeout}}) {
        Dev_Write374Byte(kEp2, uint8_t(ctrl));
        EXPECT_EQ(out(2, 1, {0x01, 0x00}), hs) << ctrl;
    }
    Dev_Write374Byte(kEp0, 0x0E);
    EXPECT_EQ(out(0, 1, Bytes(9, 0)), Handshake::Timeout) << "longer than the buffer";
    EXPECT_EQ(out(0, 1, {}), Handshake::Ack);
    EXPECT_EQ(Dev_Read374Byte(kStatus) & 0x0F, 0x00);
    clear_all();
    EXPECT_EQ(out(3, 0, {}), Handshake::Timeout) << "no endpoint 3";

    // SETUP is taken even on a stalled endpoint 0.
    Dev_Write374Byte(kEp0, 0x3F);
    EXPECT_EQ(in(0).hs, Handshake::Stall);
    const Packet p = get_descriptor(2, 0, 0, 9);
    ASSERT_EQ(setup(p), Handshake::Ack);
    EXPECT_EQ(Dev_Read374Byte(kStatus) & 0x0F, 0x0C);
    EXPECT_EQ(Dev_Read374Byte(kLength), 8);
    uint8_t rx[8];
    Dev_Read374Block(0x28, 8, rx);
    EXPECT_EQ(Bytes(rx, rx + 8), Bytes(p.begin(), p.end()));
}

TEST_F(ChipModel, BusEventsRaiseTheirFlags)
{
    Dev_Write374Byte(kAddr, 9);
    ScriptedHost::locked([](auto &m) { m.bus_reset(); return 0; });
    EXPECT_EQ(Dev_Read374Byte(kFlags) & 0x1F, 0x02) << "no pause after a reset";
    EXPECT_EQ(Dev_Read374Byte(kAddr), 9) << "the firmware resets the address, not the chip";
    EXPECT_EQ(irq(), 0);
    Dev_Write374Byte(kFlags, 0x12);
    EXPECT_EQ(irq(), 1);

    ScriptedHost::locked([](auto &m) { m.suspend(); return 0; });
    EXPECT_EQ(Dev_Read374Byte(kFlags) & 0x1F, 0x04);
    EXPECT_EQ(irq(), 0);
    Dev_Write374Byte(kFlags, 0x14);
    ScriptedHost::locked([](auto &m) { m.resume(); return 0; });
    EXPECT_EQ(Dev_Read374Byte(kFlags) & 0x1F, 0x08);
    EXPECT_EQ(irq(), 0) << "wake-up rides on the suspend enable";
    Dev_Write374Byte(kInterEn, 0x03);
    EXPECT_EQ(irq(), 1);
    ScriptedHost::locked([](auto &m) { m.resume(); return 0; });
    Dev_Write374Byte(kFlags, 0x08);
    EXPECT_EQ(Dev_Read374Byte(kFlags) & 0x1F, 0x00) << "resume without suspend is no event";
}

} // namespace
