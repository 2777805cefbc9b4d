// The device controller against the chip model, without the device thread: the test serves
// every chip event right after each transaction, so each step is deterministic.
#include "scripted_host.h"

#include "chipio.h"
#include "global.h"
#include "sysio.h"

#include <gtest/gtest.h>

#include <linux/spi/spidev.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

using namespace usbtest;
using sim::Ch374Model;

namespace {

uint8_t configok() { return std::atomic_ref<uint8_t>(km.configok).load(); }

Bytes bytes(const uint8_t *p, size_t n) { return Bytes(p, p + n); }

class Controller : public ::testing::Test {
protected:
    void SetUp() override
    {
        board();
        ASSERT_EQ(CH374U_SPI_init(), 0);
        Init374Device(1);
        ASSERT_TRUE(ScriptedHost::locked([](auto &c) { return c.attached(); }));
        host.bus_reset();
    }

    // The host's view of one refused request: the first transaction after SETUP stalls.
    Handshake first_answer(const Packet &p)
    {
        if (host.setup(p) != Handshake::Ack)
            return Handshake::Timeout;
        return host.in(0).hs;
    }

    ScriptedHost host{serve_now};
};

TEST_F(Controller, DescriptorsAreServedWholeInPacketsOfEight)
{
    struct Case {
        Packet p;
        Bytes want;
    };
    const Case cases[] = {
        {get_descriptor(0x01, 0, 0, 64), bytes(MyDevDescr, 18)},
        {get_descriptor(0x02, 0, 0, 255), bytes(MyCfgDescr, 66)},
        {get_descriptor(0x03, 0, 0, 255), bytes(MyLangDescr, 4)},
        {get_descriptor(0x03, 1, 0x0409, 255), bytes(MyManuInfo, 14)},
        {get_descriptor(0x03, 2, 0x0409, 255), bytes(MyProdInfo, 12)},
        {get_descriptor(0x22, 0, 0, 255), bytes(ReportDescriptor_mouse, 60)},
        {get_descriptor(0x22, 0, 1, 255), bytes(ReportDescriptor_keyboard, 108)},
        {get_descriptor(0x22, 0, 7, 255), bytes(ReportDescriptor_keyboard, 108)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "wValue " << int(c.p[3]) << "/" << int(c.p[2]) << " wIndex " << int(c.p[4]));
        auto r = host.control_in(c.p);
        ASSERT_EQ(r.hs, Handshake::Ack);
        EXPECT_EQ(r.data, c.want);
        for (size_t i = 0; i < r.packet_sizes.size(); ++i) {
            EXPECT_EQ(r.toggles[i], (i + 1) % 2) << "data stage starts with DATA1 and alternates";
            if (i + 1 < r.packet_sizes.size()) {
                EXPECT_EQ(r.packet_sizes[i], 8);
            }
        }
        EXPECT_LT(r.packet_sizes.back(), 8) << "a short packet ends the transfer";
    }
}

TEST_F(Controller, LongRequestsAreCappedNotWrapped)
{
    // 0x80..0xFF must not read as negative; 0x100 and more must not lose the high byte.
    for (uint16_t wlength : {0x80, 0xFF, 0x100, 0x1FF, 0xFFFF}) {
        SCOPED_TRACE(wlength);
        EXPECT_EQ(host.control_in(get_descriptor(0x02, 0, 0, wlength)).data, bytes(MyCfgDescr, 66));
        EXPECT_EQ(host.control_in(get_descriptor(0x22, 0, 1, wlength)).data, bytes(ReportDescriptor_keyboard, 108));
        EXPECT_EQ(host.control_in(request(0x80, 0x00, 0, 0, wlength)).data, (Bytes{0, 0}));
    }
}

TEST_F(Controller, ShortAndEmptyDataStages)
{
    auto r = host.control_in(get_descriptor(0x02, 0, 0, 9));
    EXPECT_EQ(r.data, bytes(MyCfgDescr, 9));
    EXPECT_EQ(r.packet_sizes, (std::vector<uint8_t>{8, 1}));

    EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 8)).data, bytes(MyDevDescr, 8));
    EXPECT_EQ(host.control_in(get_descriptor(0x22, 0, 0, 10)).data, bytes(ReportDescriptor_mouse, 10));

    for (const Packet &p : {get_descriptor(0x01, 0, 0, 0), get_descriptor(0x04, 0, 0, 9),
                            get_descriptor(0x05, 0, 0, 7), request(0x80, 0x00, 0, 0, 0)}) {
        SCOPED_TRACE(int(p[3]));
        r = host.control_in(p);
        ASSERT_EQ(r.hs, Handshake::Ack);
        EXPECT_TRUE(r.data.empty());
        EXPECT_EQ(r.toggles, (std::vector<uint8_t>{1})) << "zero-length DATA1";
    }

    EXPECT_EQ(host.control_in(request(0x80, 0x00, 0, 0, 2)).data, (Bytes{0, 0}));
    EXPECT_EQ(host.control_in(request(0x80, 0x00, 0, 0, 1)).data, (Bytes{0}));
    EXPECT_EQ(host.control_in(request(0x82, 0x00, 0, 0x81, 2)).data, (Bytes{0, 0}));
}

TEST_F(Controller, RefusedRequestsStallAndTheNextSetupIsAnswered)
{
    const Packet refused[] = {
        get_descriptor(0x06, 0, 0, 10),       // device qualifier
        get_descriptor(0x21, 0, 0, 9),        // HID descriptor
        get_descriptor(0x07, 0, 0, 9),        // other speed configuration
        get_descriptor(0x00, 0, 0, 9),        // no such type
        get_descriptor(0x03, 3, 0x0409, 255), // string index 3
        get_descriptor(0x03, 0xEE, 0, 18),    // string index 0xEE
        request(0xA1, 0x01, 0x0300, 1, 8),    // GET_REPORT of a feature report
        request(0x21, 0x09, 0x0200, 0, 1),    // SET_REPORT output to the mouse
        request(0x21, 0x09, 0x0200, 1, 9),    // ... longer than the LED report
        request(0x21, 0x0B, 2, 0, 0),         // SET_PROTOCOL with no such protocol
        request(0xA1, 0x03, 0, 2, 1),         // GET_PROTOCOL of a third interface
        request(0x21, 0x03, 0, 0, 1),         // GET_PROTOCOL's code as a host-to-device request
        request(0x22, 0x0A, 0, 0, 0),         // SET_IDLE addressed to an endpoint
        request(0xC0, 0x01, 0, 0, 4),         // vendor
        request(0x00, 0x03, 1, 0, 0),         // SET_FEATURE remote wake-up
        request(0x02, 0x03, 0, 0x81, 0),      // SET_FEATURE endpoint halt
        request(0x00, 0x07, 0x0100, 0, 18),   // SET_DESCRIPTOR
        request(0x01, 0x0B, 0, 0, 0),         // SET_INTERFACE
        request(0x82, 0x0C, 0, 0x81, 2),      // SYNCH_FRAME
        request(0x80, 0x0D, 0, 0, 0),         // beyond the standard codes
    };
    for (const Packet &p : refused) {
        SCOPED_TRACE(testing::Message() << std::hex << int(p[0]) << " " << int(p[1]) << " " << int(p[3]));
        EXPECT_EQ(first_answer(p), Handshake::Stall);
        EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 64)).data, bytes(MyDevDescr, 18));
    }

    EXPECT_EQ(host.control_nodata(request(0x21, 0x0A, 0, 0, 0)), Handshake::Ack) << "SET_IDLE is accepted";
    EXPECT_EQ(host.control_nodata(request(0x21, 0x0A, 0, 1, 0)), Handshake::Ack);

    // A SETUP the chip reports with another length than 8 is refused unread.
    ASSERT_EQ(ScriptedHost::locked([](auto &c) {
                  const auto p = get_descriptor(0x01, 0, 0, 64);
                  return c.setup(0, p.data());
              }),
              Handshake::Ack);
    board().chip.poke(Ch374Model::UsbLength, 7);
    serve_now();
    EXPECT_EQ(host.in(0).hs, Handshake::Stall);
    EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 64)).data, bytes(MyDevDescr, 18));
}

TEST_F(Controller, AbandonedTransferGivesWayToTheNextSetup)
{
    ASSERT_EQ(host.setup(get_descriptor(0x02, 0, 0, 255)), Handshake::Ack);
    ASSERT_EQ(host.in(0).len, 8);
    // The host gives up halfway and asks for something else.
    EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 64)).data, bytes(MyDevDescr, 18));
    EXPECT_EQ(host.control_in(request(0x80, 0x00, 0, 0, 2)).data, (Bytes{0, 0}));
}

TEST_F(Controller, SetAddressTakesEffectAfterTheStatusStage)
{
    ASSERT_EQ(host.setup(request(0x00, 0x05, 5, 0, 0)), Handshake::Ack);
    EXPECT_EQ(ScriptedHost::locked([](auto &c) { return c.in(5, 0).hs; }), Handshake::Timeout);
    InPacket status = host.in(0);
    EXPECT_EQ(status.hs, Handshake::Ack);
    EXPECT_EQ(status.len, 0);
    EXPECT_EQ(ScriptedHost::locked([](auto &c) { return c.in(0, 0).hs; }), Handshake::Timeout);
    host.addr = 5;
    EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 64)).data, bytes(MyDevDescr, 18));

    // A SET_ADDRESS whose status stage never came changes nothing.
    ASSERT_EQ(host.setup(request(0x00, 0x05, 9, 0, 0)), Handshake::Ack);
    EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 64)).data, bytes(MyDevDescr, 18));
    EXPECT_EQ(ScriptedHost::locked([](auto &c) { return c.in(9, 0).hs; }), Handshake::Timeout);
}

TEST_F(Controller, GetConfigurationAnswersTheValueSet)
{
    // Leave the descriptor's first bytes in the transmit buffer: they must not come back.
    ASSERT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 8)).data.size(), 8u);
    const Packet get_config = request(0x80, 0x08, 0, 0, 1);
    EXPECT_EQ(host.control_in(get_config).data, (Bytes{0}));
    ASSERT_EQ(host.control_nodata(request(0x00, 0x09, 1, 0, 0)), Handshake::Ack);
    EXPECT_EQ(host.control_in(get_config).data, (Bytes{1}));
    EXPECT_TRUE(host.control_in(request(0x80, 0x08, 0, 0, 0)).data.empty());
    ASSERT_EQ(host.control_nodata(request(0x00, 0x09, 0, 0, 0)), Handshake::Ack);
    EXPECT_EQ(host.control_in(get_config).data, (Bytes{0}));
    ASSERT_EQ(host.control_nodata(request(0x00, 0x09, 1, 0, 0)), Handshake::Ack);
    host.bus_reset();
    EXPECT_EQ(host.control_in(get_config).data, (Bytes{0})) << "a reset unconfigures";

    ASSERT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 8)).data.size(), 8u);
    EXPECT_EQ(host.control_in(request(0x81, 0x0A, 0, 1, 1)).data, (Bytes{0})) << "GET_INTERFACE";
}

TEST_F(Controller, LedReportConfiguresAndClearFeatureKeepsItUsable)
{
    EXPECT_EQ(configok(), 0);
    ASSERT_TRUE(host.configure());
    EXPECT_EQ(configok(), 1);
    // The LED report was read out and reception re-armed for the next one, DATA1.
    EXPECT_EQ(board().chip.peek(Ch374Model::UsbEndp2) & 0xB0, 0x80);

    for (uint8_t ep : {0x81, 0x82, 0x01, 0x02}) {
        SCOPED_TRACE(int(ep));
        ASSERT_EQ(host.out(2, 1, {0x01, 0x02}), Handshake::Ack);
        ASSERT_EQ(configok(), 1);
        EXPECT_EQ(host.control_nodata(request(0x02, 0x01, 0, ep, 0)), Handshake::Ack);
        EXPECT_EQ(configok(), 1) << "a cleared halt leaves the device usable";
    }

    ASSERT_EQ(host.out(2, 1, {0x01, 0x00}), Handshake::Ack);
    EXPECT_EQ(first_answer(request(0x02, 0x01, 0, 0x83, 0)), Handshake::Stall) << "no endpoint 3";
    EXPECT_EQ(configok(), 1);

    ASSERT_EQ(host.out(2, 0, {0x01, 0x00}), Handshake::Ack);
    EXPECT_EQ(first_answer(request(0x00, 0x01, 1, 0, 0)), Handshake::Stall) << "device recipient";
    EXPECT_EQ(first_answer(request(0x01, 0x01, 0, 0, 0)), Handshake::Stall) << "interface recipient";
    EXPECT_EQ(configok(), 1);

    // Clearing a halt re-opens a stalled receive side and takes back an armed report.
    board().chip.poke(Ch374Model::UsbEndp2, 0x32);
    EXPECT_EQ(host.out(2, 0, {0x01, 0x00}), Handshake::Stall);
    EXPECT_EQ(host.control_nodata(request(0x02, 0x01, 0, 0x02, 0)), Handshake::Ack);
    EXPECT_EQ(host.out(2, 0, {0x01, 0x00}), Handshake::Ack);
    board().chip.poke(Ch374Model::UsbEndp1, 0x46);
    EXPECT_EQ(host.control_nodata(request(0x02, 0x01, 0, 0x81, 0)), Handshake::Ack);
    EXPECT_EQ(host.in(1, 1).hs, Handshake::Nak);
    board().chip.poke(Ch374Model::UsbEndp1, 0x30);
    EXPECT_EQ(host.out(1, 0, {0}), Handshake::Stall);
    EXPECT_EQ(host.control_nodata(request(0x02, 0x01, 0, 0x01, 0)), Handshake::Ack);
    EXPECT_EQ(host.out(1, 0, {0}), Handshake::Ack);
}

TEST_F(Controller, BusResetReturnsToTheDefaultState)
{
    ASSERT_TRUE(host.configure(7));
    ASSERT_EQ(configok(), 1);
    // As if reports were armed on both IN endpoints.
    board().chip.poke(Ch374Model::UsbEndp1, 0x46);
    board().chip.poke(Ch374Model::UsbEndp2, 0x40);
    ep1_tx_tog = ep2_tx_tog = 1;

    host.bus_reset();
    EXPECT_EQ(configok(), 0);
    EXPECT_EQ(ep1_tx_tog, 0);
    EXPECT_EQ(ep2_tx_tog, 0);
    EXPECT_EQ(ScriptedHost::locked([](auto &c) { return c.in(7, 0).hs; }), Handshake::Timeout);
    EXPECT_EQ(host.in(1, 1).hs, Handshake::Nak);
    EXPECT_EQ(host.in(2, 1).hs, Handshake::Nak);
    EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 64)).data, bytes(MyDevDescr, 18));
}

TEST_F(Controller, SuspendStopsTheOscillatorUntilTheBusWakes)
{
    ScriptedHost::locked([](auto &c) { c.suspend(); return 0; });
    serve_now();
    EXPECT_TRUE(board().chip.peek(Ch374Model::SysCtrl) & 0x01);
    ScriptedHost::locked([](auto &c) { c.resume(); return 0; });
    EXPECT_EQ(board().gpio.level(Ch374Model::kIrqLine), 0) << "wake-up is announced";
    serve_now();
    EXPECT_TRUE(chip_idle());
    EXPECT_EQ(board().gpio.level(Ch374Model::kIrqLine), 1);
    EXPECT_EQ(host.control_in(get_descriptor(0x01, 0, 0, 64)).data, bytes(MyDevDescr, 18));
}

} // namespace

TEST_F(Controller, EachRequestAndResetPrintsItsMessage)
{
    // What the request makes the controller print on standard output, exactly.
    struct Case {
        Packet p;
        const char *message;
    };
    const Case cases[] = {
        {get_descriptor(0x01, 0, 0, 64), "get DEF_USB_GET_DEVICE_DESCR \n"},
        {get_descriptor(0x02, 0, 0, 255), "get DEF_USB_GET_CONFIG_DESCR\n"},
        {get_descriptor(0x03, 0, 0, 255), "get MyLangDescr \n "},
        {get_descriptor(0x03, 1, 0x0409, 255), "get MyManuInfo \n"},
        {get_descriptor(0x03, 2, 0x0409, 255), "get MyProdInfo\n"},
        {get_descriptor(0x03, 9, 0x0409, 255), "unknow req for string \n"},
        {get_descriptor(0x04, 0, 0, 9), "get interface descript\n"},
        {get_descriptor(0x05, 0, 0, 7), "get endpoint descript\n"},
        {get_descriptor(0x22, 0, 0, 255), "get report  00\n"},
        {get_descriptor(0x22, 0, 0x1B, 255), "get report  1b\n"},
        {get_descriptor(0x07, 0, 0, 9), "unknow discrip err 07\n"},
        {get_descriptor(0xAB, 0, 0, 9), "unknow discrip err AB\n"},
        {request(0x02, 0x01, 0, 0x81, 0), "clear feature\n"},
        {request(0x00, 0x01, 1, 0, 0), "clear feature\n"},
        {request(0x21, 0x0A, 0, 1, 0), "SetIDEL...\n"},
        {request(0xA1, 0x01, 0x0300, 1, 8), "not stand req !err=1\n"},
        {request(0x40, 0x01, 0, 0, 0), "not stand req !err=1\n"},
        {request(0x80, 0x00, 0, 0, 2), ""},
        {request(0x00, 0x09, 1, 0, 0), ""},
        {request(0x00, 0x05, 0x2C, 0, 0), "set addr 2c\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.p[0]) << " " << int(c.p[1]) << " " << int(c.p[3]));
        testing::internal::CaptureStdout();
        ASSERT_EQ(host.setup(c.p), Handshake::Ack);
        host.in(0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    }
    testing::internal::CaptureStdout();
    host.bus_reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Device reset \n");
}

namespace {

// Each SPI write of the chip in order, and each bring-up sleep where it falls among them.
std::vector<std::string> *init_log;
const sysio_ops *board_sysio;

void log_sleep(unsigned long usec)
{
    init_log->push_back("sleep " + std::to_string(usec));
    board_sysio->sleep_us(usec);
}

int log_ioctl(int fd, unsigned long request, void *arg)
{
    if (request == SPI_IOC_MESSAGE(1)) {
        const auto *t = static_cast<const spi_ioc_transfer *>(arg);
        const auto *tx = reinterpret_cast<const uint8_t *>(t->tx_buf);
        char line[32];
        for (uint32_t i = 2; t->len >= 2 && tx[1] == 0x80 && i < t->len; i++) {
            snprintf(line, sizeof line, "%02X=%02X", tx[0] + i - 2, tx[i]);
            init_log->push_back(line);
        }
    }
    return board_sysio->ioctl(fd, request, arg);
}

} // namespace

TEST(Init374Device, WritesInOrderAroundTheDetachSleep)
{
    board();
    ASSERT_EQ(CH374U_SPI_init(), 0);
    std::vector<std::string> log;
    init_log = &log;
    board_sysio = sysio_current();
    sysio_ops ops = *board_sysio;
    ops.sleep_us = log_sleep;
    ops.ioctl = log_ioctl;
    sysio_install(&ops);
    testing::internal::CaptureStdout();
    // As the device thread brings the chip up: detached, then attached.
    Init374Device(0);
    Init374Device(1);
    const std::string out = testing::internal::GetCapturedStdout();
    sysio_install(board_sysio);

    // Registers by their documented addresses: setup 06, address 08, endpoints 0C-0E,
    // flags 09, enables 07, system control 05.
    const std::vector<std::string> program = {"08=00", "0C=0E", "0D=0E", "0E=02", "09=1F", "07=07", "05=40"};
    std::vector<std::string> want = {"06=00", "sleep 400000"};
    want.insert(want.end(), program.begin(), program.end());
    want.insert(want.end(), {"06=00", "sleep 400000"});
    want.insert(want.end(), program.begin(), program.end());
    want.push_back("06=03");
    EXPECT_EQ(log, want);
    EXPECT_EQ(out, "Init374Device 0\nInit374Device 1\n");
    EXPECT_EQ(board().chip.peek(Ch374Model::UsbSetup), 0x03);
}
