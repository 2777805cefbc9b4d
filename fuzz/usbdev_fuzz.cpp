// The device controller against arbitrary host traffic: USB_DeviceInterrupt serving the
// CH374 model while the input drives the cable (SETUP packets with any contents, IN and OUT
// tokens on any endpoint and address, bus resets, suspend and resume, and stretches in which
// the device is not served, so the chip NAKs everything).
// Checked beyond memory safety: every interrupt is served within a bounded number of calls
// (no hang); every byte sent on endpoint 0 is a piece of a descriptor or a status reply (no
// stale or foreign memory reaches the host); after each input a Linux-style enumeration
// reads every descriptor intact and the device becomes usable.
//
// Input: a sequence of operations, each a code byte and its operands:
//   code & 7 = 0  SETUP, 8 bytes follow; to address 0 if code & 0x08, else the device's
//            1  IN on endpoint (code >> 3) & 3; to address 0 if code & 0x20
//            2  OUT on endpoint (code >> 3) & 3, toggle (code >> 5) & 1, then a length byte
//               (modulo 65) and that many data bytes
//            3  bus reset      4  suspend      5  resume
//            6  device served or not from now on (code & 0x08)
//            7  a pause: the device is served once, whatever was set by 6
#include "fuzz_check.h"

#include "chipio.h"
#include "global.h"
#include "usbfunc.h"

#include "board.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

using sim::Handshake;
using sim::InPacket;

constexpr int kIrqLine = 12;
constexpr int kMaxServe = 16;   // more calls than that for one event: the service hangs
constexpr int kMaxRetries = 20; // NAKs a host takes before it calls a transaction failed
constexpr uint8_t kAddress = 5; // what the enumeration gives the device

struct Span {
    const uint8_t *p;
    size_t n;
};
const Span descriptors[] = {
    {MyDevDescr, sizeof MyDevDescr},
    {MyCfgDescr, sizeof MyCfgDescr},
    {MyLangDescr, sizeof MyLangDescr},
    {MyManuInfo, sizeof MyManuInfo},
    {MyProdInfo, sizeof MyProdInfo},
    {ReportDescriptor_mouse, sizeof ReportDescriptor_mouse},
    {ReportDescriptor_keyboard, sizeof ReportDescriptor_keyboard},
};

// A data packet on endpoint 0 may be a status reply (GET_STATUS: two zeros; GET_CONFIGURATION
// and GET_INTERFACE: one byte) or a piece of one descriptor. Every piece is listed once: a
// search through the descriptors per packet, each compare traced by the fuzzer, took more
// time than the device under test.
bool legitimate_ep0_data(const uint8_t *d, size_t n)
{
    // GET_REPORT's answers with nothing pressed: keyboard, consumer keys, mouse, boot forms.
    static const uint8_t no_keys[12] = {0x01}, no_consumer[2] = {0x02}, zeros[8] = {};
    static const Span reports[] = {{no_keys, sizeof no_keys}, {no_consumer, sizeof no_consumer}, {zeros, sizeof zeros}};
    static const std::unordered_set<std::string> pieces = [] {
        std::unordered_set<std::string> all;
        for (const Span &s : reports)
            for (size_t len = 2; len <= 8; len++)
                for (size_t off = 0; off + len <= s.n; off++)
                    all.emplace(reinterpret_cast<const char *>(s.p + off), len);
        for (const Span &s : descriptors)
            for (size_t len = 2; len <= 8; len++)
                for (size_t off = 0; off + len <= s.n; off++)
                    all.emplace(reinterpret_cast<const char *>(s.p + off), len);
        return all;
    }();
    if (n <= 1 || (n == 2 && d[0] == 0 && d[1] == 0))
        return true;
    return pieces.count(std::string(reinterpret_cast<const char *>(d), n)) != 0;
}

class Host {
public:
    explicit Host(sim::Board &b) : b_(b) {}

    bool serving = true;
    // The fixed enumeration compares whole descriptors itself.
    bool check_ep0_pieces = true;

    // Calls the service while the interrupt line asks for it, as the device thread does.
    void serve(bool force = false)
    {
        if (!serving && !force)
            return;
        int n = 0;
        while (b_.gpio.level(kIrqLine) == 0) {
            FUZZ_CHECK(n < kMaxServe, "interrupt still pending after %d service calls (flags %02x)", n,
                       b_.chip.peek(sim::Ch374Model::InterFlag));
            USB_DeviceInterrupt();
            n++;
        }
    }

    uint8_t device_address() const { return b_.chip.peek(sim::Ch374Model::UsbAddr) & 0x7F; }

    Handshake setup(uint8_t addr, const uint8_t pkt[8])
    {
        Handshake hs;
        {
            std::lock_guard lock(sim::Kernel::instance().mutex());
            hs = b_.chip.setup(addr, pkt);
        }
        serve();
        return hs;
    }

    InPacket in(uint8_t addr, uint8_t ep)
    {
        InPacket p;
        {
            std::lock_guard lock(sim::Kernel::instance().mutex());
            p = b_.chip.in(addr, ep);
        }
        if (ep == 0 && p.hs == Handshake::Ack && check_ep0_pieces)
            FUZZ_CHECK(legitimate_ep0_data(p.data, p.len), "endpoint 0 sent %u bytes that are no "
                       "descriptor's (first %02x %02x %02x)", p.len, p.data[0], p.data[1], p.data[2]);
        serve();
        return p;
    }

    Handshake out(uint8_t addr, uint8_t ep, uint8_t tog, const uint8_t *d, uint8_t len)
    {
        Handshake hs;
        {
            std::lock_guard lock(sim::Kernel::instance().mutex());
            hs = b_.chip.out(addr, ep, tog, d, len);
        }
        serve();
        return hs;
    }

    void bus_event(int which)
    {
        {
            std::lock_guard lock(sim::Kernel::instance().mutex());
            if (which == 0)
                b_.chip.bus_reset();
            else if (which == 1)
                b_.chip.suspend();
            else
                b_.chip.resume();
        }
        serve();
    }

    // ---- A well-behaved host ----

    template <class F>
    auto retry(F f)
    {
        for (int i = 0;; i++) {
            auto r = f();
            if (hs_of(r) != Handshake::Nak || i == kMaxRetries)
                return r;
            serve(true);
        }
    }

    std::vector<uint8_t> control_in(uint8_t addr, uint8_t type, uint8_t req, uint16_t value,
                                    uint16_t index, uint16_t length, const char *what)
    {
        const uint8_t pkt[8] = {type, req, uint8_t(value), uint8_t(value >> 8), uint8_t(index),
                                uint8_t(index >> 8), uint8_t(length), uint8_t(length >> 8)};
        FUZZ_CHECK(retry([&] { return setup(addr, pkt); }) == Handshake::Ack, "%s: SETUP not taken", what);
        std::vector<uint8_t> data;
        uint8_t tog = 1;
        for (int packets = 0;; packets++) {
            FUZZ_CHECK(packets < 64, "%s: data stage does not end", what);
            InPacket p = retry([&] { return in(addr, 0); });
            FUZZ_CHECK(p.hs == Handshake::Ack, "%s: data stage handshake %d", what, int(p.hs));
            FUZZ_CHECK(p.toggle == tog, "%s: data packet %d is DATA%u", what, packets, p.toggle);
            tog ^= 1;
            data.insert(data.end(), p.data, p.data + p.len);
            FUZZ_CHECK(data.size() <= length, "%s: %zu bytes for wLength %u", what, data.size(), length);
            if (p.len < 8 || data.size() == length)
                break;
        }
        FUZZ_CHECK(retry([&] { return out(addr, 0, 1, nullptr, 0); }) == Handshake::Ack,
                   "%s: status stage not taken", what);
        return data;
    }

    void control_nodata(uint8_t addr, uint8_t type, uint8_t req, uint16_t value, uint16_t index,
                        const char *what)
    {
        const uint8_t pkt[8] = {type, req, uint8_t(value), uint8_t(value >> 8), uint8_t(index),
                                uint8_t(index >> 8), 0, 0};
        FUZZ_CHECK(retry([&] { return setup(addr, pkt); }) == Handshake::Ack, "%s: SETUP not taken", what);
        InPacket p = retry([&] { return in(addr, 0); });
        FUZZ_CHECK(p.hs == Handshake::Ack && p.len == 0 && p.toggle == 1,
                   "%s: status stage handshake %d, %u bytes, DATA%u", what, int(p.hs), p.len, p.toggle);
    }

    void expect(const std::vector<uint8_t> &got, const uint8_t *want, size_t n, const char *what)
    {
        FUZZ_CHECK(got.size() == n && memcmp(got.data(), want, n) == 0, "%s: %zu bytes, not the %zu "
                   "expected", what, got.size(), n);
    }

    // As Linux enumerates: reset, device descriptor at address 0, reset, address,
    // descriptors, configuration, per interface SET_IDLE and the report descriptor, LEDs.
    void enumerate()
    {
        serving = true;
        check_ep0_pieces = false;
        bus_event(0);
        FUZZ_CHECK(device_address() == 0, "address %u after a bus reset", device_address());
        expect(control_in(0, 0x80, 6, 0x0100, 0, 64, "device descriptor (64)"), MyDevDescr,
               sizeof MyDevDescr, "device descriptor (64)");
        bus_event(0);
        control_nodata(0, 0x00, 5, kAddress, 0, "SET_ADDRESS");
        FUZZ_CHECK(device_address() == kAddress, "address %u after SET_ADDRESS", device_address());
        expect(control_in(kAddress, 0x80, 6, 0x0100, 0, 18, "device descriptor"), MyDevDescr,
               sizeof MyDevDescr, "device descriptor");
        expect(control_in(kAddress, 0x80, 6, 0x0200, 0, 9, "configuration (9)"), MyCfgDescr, 9,
               "configuration (9)");
        const uint16_t total = uint16_t(MyCfgDescr[2] | MyCfgDescr[3] << 8);
        expect(control_in(kAddress, 0x80, 6, 0x0200, 0, total, "configuration"), MyCfgDescr,
               sizeof MyCfgDescr, "configuration");
        expect(control_in(kAddress, 0x80, 6, 0x0300, 0, 255, "languages"), MyLangDescr,
               sizeof MyLangDescr, "languages");
        expect(control_in(kAddress, 0x80, 6, 0x0302, 0x0409, 255, "product"), MyProdInfo,
               sizeof MyProdInfo, "product");
        control_nodata(kAddress, 0x00, 9, 1, 0, "SET_CONFIGURATION");
        control_nodata(kAddress, 0x21, 0x0A, 0, 0, "SET_IDLE 0");
        expect(control_in(kAddress, 0x81, 6, 0x2200, 0, sizeof ReportDescriptor_mouse, "mouse report"),
               ReportDescriptor_mouse, sizeof ReportDescriptor_mouse, "mouse report descriptor");
        control_nodata(kAddress, 0x21, 0x0A, 0, 1, "SET_IDLE 1");
        expect(control_in(kAddress, 0x81, 6, 0x2200, 1, sizeof ReportDescriptor_keyboard, "keyboard report"),
               ReportDescriptor_keyboard, sizeof ReportDescriptor_keyboard, "keyboard report descriptor");
        const uint8_t leds[2] = {0x01, 0x00};
        FUZZ_CHECK(retry([&] { return out(kAddress, 2, 0, leds, 2); }) == Handshake::Ack, "LED report not taken");
        FUZZ_CHECK(km.configok == 1, "not usable after enumeration (configok %u)", km.configok);
        check_ep0_pieces = true;
    }

private:
    static Handshake hs_of(Handshake h) { return h; }
    static Handshake hs_of(const InPacket &p) { return p.hs; }
    sim::Board &b_;
};

// The board, the chip brought up as the device thread does it, once per process.
Host &host()
{
    static Host &h = [] () -> Host & {
        // The controller's messages would drown the fuzzer's.
        FUZZ_CHECK(freopen("/dev/null", "w", stdout), "stdout");
        auto *b = new sim::Board(sim::BoardOptions{.sleep_divisor = 100000});
        // Nothing reads the logs of SPI transfers and line writes; each entry is an allocation.
        b->chip.set_transfer_logging(false);
        b->gpio.set_logging(false);
        FUZZ_CHECK(CH374U_SPI_init() >= 0, "SPI link");
        FUZZ_CHECK(Ch374U_DevCheck() >= 0, "chip check");
        Init374Device(1);
        FUZZ_CHECK(b->chip.attached(), "not attached");
        auto *nh = new Host(*b);
        nh->enumerate();
        return *nh;
    }();
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Host &h = host();
    const uint8_t *p = data, *end = data + size;
    while (p < end) {
        const uint8_t code = *p++;
        const uint8_t ep = (code >> 3) & 3;
        switch (code & 7) {
        case 0: {
            if (end - p < 8)
                break;
            h.setup((code & 0x08) ? 0 : h.device_address(), p);
            p += 8;
            break;
        }
        case 1:
            h.in((code & 0x20) ? 0 : h.device_address(), ep);
            break;
        case 2: {
            if (p == end)
                break;
            uint8_t len = *p++ % 65;
            if (end - p < len)
                len = uint8_t(end - p);
            h.out(h.device_address(), ep, (code >> 5) & 1, p, len);
            p += len;
            break;
        }
        case 3:
            h.bus_event(0);
            break;
        case 4:
            h.bus_event(1);
            break;
        case 5:
            h.bus_event(2);
            break;
        case 6:
            h.serving = code & 0x08;
            h.serve();
            break;
        case 7:
            h.serve(true);
            break;
        }
    }
    h.enumerate();
    return 0;
}
