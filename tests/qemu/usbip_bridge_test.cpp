// The USB/IP bridge against a small reference device and a client speaking the protocol as
// vhci-hcd does, without a guest: the wire format, URB to transaction mapping, toggles,
// UNLINK and the bridge's own reset and addressing.
#include "kernel.h"
#include "usbip_bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

namespace {

using namespace std::chrono_literals;
using sim::Handshake;
using sim::InPacket;

// A full-speed device with endpoint 0 of 8 bytes, interrupt IN 0x81 (8 bytes) and interrupt
// OUT 0x02 (16 bytes). It NAKs every other token on endpoint 0, as firmware that needs time
// to answer does. State guarded by the kernel mutex, as the port's contract says.
class RefDevice : public sim::UsbDevicePort {
public:
    static constexpr uint8_t kDevice[18] = {18, 1, 0x10, 1, 0, 0, 0, 8, 0x34, 0x12, 0x78, 0x56, 0, 1, 0, 0, 0, 1};
    static constexpr uint8_t kConfig[32] = {9, 2, 32, 0, 1, 1, 0, 0x80, 50,      // configuration
                                            9, 4, 0, 0, 2, 3, 0, 0, 0,           // interface 0, HID
                                            7, 5, 0x81, 3, 8, 0, 1,              // interrupt IN, 8 bytes
                                            7, 5, 0x02, 3, 16, 0, 10};           // interrupt OUT, 16 bytes

    bool attached() const override { return plugged; }
    void bus_reset() override
    {
        resets++;
        suspended = false;
        address = 0;
        ep1_tog = 0;
        phase = Idle;
    }
    void suspend() override { suspended = true; }
    void resume() override { suspended = false; }

    Handshake setup(uint8_t addr, const uint8_t p[8]) override
    {
        if (addr != address)
            return Handshake::Timeout;
        setups.emplace_back(p, p + 8);
        uint16_t value = uint16_t(p[2] | p[3] << 8), length = uint16_t(p[6] | p[7] << 8);
        reply.clear();
        pos = 0;
        tog = 1;
        stall = false;
        out_data.clear();
        if (p[0] == 0x80 && p[1] == 6 && value == 0x0100)
            reply.assign(kDevice, kDevice + 18);
        else if (p[0] == 0x80 && p[1] == 6 && value == 0x0200)
            reply.assign(kConfig, kConfig + 32);
        else if (p[0] == 0 && p[1] == 5)
            new_address = uint8_t(value);
        else if (p[0] == 0 && p[1] == 9)
            ep1_tog = 0;
        else if (p[0] != 0x21 || p[1] != 9) // SET_REPORT takes an OUT data stage
            stall = true;
        if (reply.size() > length)
            reply.resize(length);
        phase = p[0] & 0x80 ? DataIn : length ? DataOut : StatusIn;
        return Handshake::Ack;
    }

    Handshake out(uint8_t addr, uint8_t ep, uint8_t toggle, const uint8_t *data, uint8_t len) override
    {
        if (addr != address || (ep != 0 && ep != 2))
            return Handshake::Timeout;
        if (ep == 2) {
            ep2.push_back({toggle, std::vector<uint8_t>(data, data + len)});
            return Handshake::Ack;
        }
        if (stall)
            return Handshake::Stall;
        if ((nak ^= 1))
            return Handshake::Nak;
        if (phase == DataOut) {
            out_data.insert(out_data.end(), data, data + len);
            if (out_data.size() >= uint16_t(setups.back()[6] | setups.back()[7] << 8))
                phase = StatusIn;
        } else {
            phase = Idle; // status stage of an IN transfer
        }
        return Handshake::Ack;
    }

    InPacket in(uint8_t addr, uint8_t ep) override
    {
        InPacket r;
        if (addr != address || ep > 1)
            return r;
        if (ep == 1) {
            if (ep1.empty()) {
                r.hs = Handshake::Nak;
                return r;
            }
            r.hs = Handshake::Ack;
            r.toggle = ep1_tog;
            r.len = uint8_t(ep1.front().size());
            std::memcpy(r.data, ep1.front().data(), r.len);
            if (repeat_once) // the host's ACK "was lost": the same packet comes again
                repeat_once = false;
            else {
                ep1.pop_front();
                ep1_tog ^= 1;
            }
            return r;
        }
        if (stall) {
            r.hs = Handshake::Stall;
            return r;
        }
        if ((nak ^= 1)) {
            r.hs = Handshake::Nak;
            return r;
        }
        r.hs = Handshake::Ack;
        r.toggle = tog;
        if (phase == DataIn) {
            r.len = uint8_t(std::min<size_t>(8, reply.size() - pos));
            std::memcpy(r.data, reply.data() + pos, r.len);
            pos += r.len;
            tog ^= 1;
        } else if (phase == StatusIn) {
            r.toggle = 1;
            if (new_address) {
                address = *new_address;
                new_address.reset();
            }
            phase = Idle;
        }
        return r;
    }

    enum Phase { Idle, DataIn, DataOut, StatusIn } phase = Idle;
    bool plugged = true;
    int resets = 0;
    bool suspended = false;
    uint8_t address = 0;
    std::optional<uint8_t> new_address;
    std::vector<uint8_t> reply, out_data;
    size_t pos = 0;
    uint8_t tog = 1, nak = 0;
    bool stall = false;
    std::vector<std::vector<uint8_t>> setups;
    std::deque<std::vector<uint8_t>> ep1;
    uint8_t ep1_tog = 0;
    bool repeat_once = false;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> ep2;
};

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void put32(std::vector<uint8_t> &v, uint32_t x)
{
    for (int s = 24; s >= 0; s -= 8)
        v.push_back(uint8_t(x >> s));
}

// The client side as vhci-hcd and the usbip tool speak it.
class Client {
public:
    struct Ret {
        uint32_t command = 0, seqnum = 0;
        int32_t status = 0;
        uint32_t actual = 0;
        std::vector<uint8_t> data;
    };

    explicit Client(uint16_t port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    ~Client() { ::close(fd_); }
    bool ok() const { return ok_; }

    void send(const std::vector<uint8_t> &b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), 0), ssize_t(b.size())); }
    // n bytes, or fewer when the peer closes or nothing comes for a second.
    std::vector<uint8_t> recv(size_t n)
    {
        std::vector<uint8_t> b(n);
        size_t got = 0;
        while (got < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1)
                break;
            ssize_t r = ::recv(fd_, b.data() + got, n - got, 0);
            if (r <= 0)
                break;
            got += size_t(r);
        }
        b.resize(got);
        return b;
    }
    bool closed_by_peer()
    {
        uint8_t c;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 1000) == 1 && ::recv(fd_, &c, 1, 0) == 0;
    }

    std::vector<uint8_t> op(uint16_t code, const char *busid = nullptr)
    {
        std::vector<uint8_t> b = {0x01, 0x11, uint8_t(code >> 8), uint8_t(code), 0, 0, 0, 0};
        if (busid) {
            b.resize(40);
            std::strncpy(reinterpret_cast<char *>(b.data() + 8), busid, 31);
        }
        return b;
    }
    // OP_REQ_IMPORT; the reply's status.
    uint32_t import(const char *busid = "1-1")
    {
        send(op(0x8003, busid));
        auto h = recv(8);
        if (h.size() < 8)
            return 0xFFFFFFFF;
        if (be32(h.data() + 4) == 0)
            record = recv(312);
        return be32(h.data() + 4);
    }

    uint32_t submit(uint8_t ep, bool in, uint32_t length, std::array<uint8_t, 8> setup = {},
                    std::vector<uint8_t> out = {}, uint32_t interval = 1, uint32_t flags = 0)
    {
        uint32_t seq = ++seq_;
        dir_[seq] = in;
        std::vector<uint8_t> b;
        for (uint32_t v : {1u, seq, 0x00010002u, in ? 1u : 0u, uint32_t(ep), flags, length, 0u, 0u, interval})
            put32(b, v);
        b.insert(b.end(), setup.begin(), setup.end());
        b.insert(b.end(), out.begin(), out.end());
        send(b);
        return seq;
    }
    uint32_t unlink(uint32_t victim)
    {
        uint32_t seq = ++seq_;
        std::vector<uint8_t> b;
        for (uint32_t v : {2u, seq, 0x00010002u, 0u, 0u, victim})
            put32(b, v);
        b.resize(48);
        send(b);
        return seq;
    }
    // The next RET_; command 0 when nothing came.
    Ret next()
    {
        Ret r;
        auto h = recv(48);
        if (h.size() < 48)
            return r;
        r.command = be32(h.data());
        r.seqnum = be32(h.data() + 4);
        r.status = int32_t(be32(h.data() + 20));
        r.actual = be32(h.data() + 24);
        if (r.command == 3 && dir_[r.seqnum] && r.actual)
            r.data = recv(r.actual);
        return r;
    }
    // A control transfer to completion.
    Ret control(std::array<uint8_t, 8> setup, std::vector<uint8_t> out = {})
    {
        bool in = setup[0] & 0x80;
        submit(0, in, uint32_t(setup[6] | setup[7] << 8), setup, out);
        return next();
    }

    std::vector<uint8_t> record;

private:
    int fd_ = -1;
    bool ok_ = false;
    uint32_t seq_ = 0;
    std::map<uint32_t, bool> dir_;
};

std::array<uint8_t, 8> get_descriptor(uint8_t type, uint16_t length)
{
    return {0x80, 6, 0, type, 0, 0, uint8_t(length), uint8_t(length >> 8)};
}

class Bridge : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bridge.start()) << std::strerror(errno); }
    void TearDown() override { bridge.stop(); }
    // Reads the device's state under the kernel mutex.
    template <class F> auto dev_state(F f)
    {
        std::lock_guard lock(sim::Kernel::instance().mutex());
        return f(dev);
    }
    bool enumerated(int n = 1)
    {
        return bridge.wait([n](const auto &s, auto &) { return s.enumerated && int(s.enumerations) >= n; }, 3s);
    }

    RefDevice dev;
    sim::UsbipBridge bridge{dev};
};

TEST_F(Bridge, ResetsAddressesAndExportsTheDevice)
{
    ASSERT_TRUE(enumerated());
    // Linux's order: 64 bytes of the device descriptor at address 0, reset, SET_ADDRESS.
    dev_state([](RefDevice &d) {
        EXPECT_EQ(d.resets, 2);
        EXPECT_EQ(d.address, 2);
        ASSERT_GE(d.setups.size(), 2u);
        EXPECT_EQ(d.setups[0], (std::vector<uint8_t>{0x80, 6, 0, 1, 0, 0, 64, 0}));
        EXPECT_EQ(d.setups[1], (std::vector<uint8_t>{0, 5, 2, 0, 0, 0, 0, 0}));
    });

    {
        Client c(bridge.port());
        ASSERT_TRUE(c.ok());
        c.send(c.op(0x8005));
        auto rep = c.recv(12 + 312 + 4);
        ASSERT_EQ(rep.size(), 12u + 312 + 4);
        EXPECT_EQ(be32(rep.data()), 0x01110005u);
        EXPECT_EQ(be32(rep.data() + 8), 1u);
        const uint8_t *d = rep.data() + 12;
        EXPECT_STREQ(reinterpret_cast<const char *>(d + 256), "1-1");
        EXPECT_EQ(be32(d + 288), 1u);      // busnum
        EXPECT_EQ(be32(d + 292), 2u);      // devnum
        EXPECT_EQ(be32(d + 296), 2u);      // full speed
        EXPECT_EQ(d[300] << 8 | d[301], 0x1234);
        EXPECT_EQ(d[302] << 8 | d[303], 0x5678);
        EXPECT_EQ(d[310], 1);              // configurations
        EXPECT_EQ(d[311], 1);              // interfaces
        EXPECT_EQ(rep[12 + 312], 3);       // interface class HID
        EXPECT_TRUE(c.closed_by_peer());
    }
    {
        Client c(bridge.port());
        EXPECT_EQ(c.import("2-1"), 1u);
        EXPECT_TRUE(c.closed_by_peer());
    }
    Client c(bridge.port());
    ASSERT_EQ(c.import(), 0u);
    ASSERT_EQ(c.record.size(), 312u);
    EXPECT_EQ(be32(c.record.data() + 292), 2u);
    EXPECT_TRUE(bridge.wait([](const auto &s, auto &) { return s.imported; }, 1s));
}

TEST_F(Bridge, ControlUrbsBecomeSetupDataAndStatusStages)
{
    ASSERT_TRUE(enumerated());
    Client c(bridge.port());
    ASSERT_EQ(c.import(), 0u);

    auto r = c.control(get_descriptor(2, 9));
    EXPECT_EQ(r.command, 3u);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data, std::vector<uint8_t>(RefDevice::kConfig, RefDevice::kConfig + 9));
    // More asked than there is: the short packet ends the data stage.
    r = c.control(get_descriptor(1, 255));
    EXPECT_EQ(r.data, std::vector<uint8_t>(RefDevice::kDevice, RefDevice::kDevice + 18));
    // An OUT data stage in packets of 8.
    std::vector<uint8_t> out(11);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = uint8_t(i + 1);
    r = c.control({0x21, 9, 0, 2, 0, 0, 11, 0}, out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.actual, 11u);
    EXPECT_EQ(dev_state([](RefDevice &d) { return d.out_data; }), out);
    // A stall is -EPIPE; the pipe works again with the next SETUP.
    r = c.control({0x80, 0, 0, 0, 0, 0, 2, 0});
    EXPECT_EQ(r.status, -EPIPE);
    // The client's SET_ADDRESS never reaches the device: the bridge owns its address.
    size_t setups = dev_state([](RefDevice &d) { return d.setups.size(); });
    r = c.control({0, 5, 7, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dev_state([](RefDevice &d) { return d.setups.size(); }), setups);
    r = c.control(get_descriptor(1, 18));
    EXPECT_EQ(r.actual, 18u);
    auto log = bridge.urbs();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](auto &u) { return u.local && u.setup[1] == 5; }));
}

TEST_F(Bridge, InterruptUrbsPollOncePerFrameAndKeepToggles)
{
    ASSERT_TRUE(enumerated());
    Client c(bridge.port());
    ASSERT_EQ(c.import(), 0u);
    ASSERT_EQ(c.control({0, 9, 1, 0, 0, 0, 0, 0}).status, 0);

    uint32_t seq = c.submit(1, true, 8);
    std::this_thread::sleep_for(20ms); // NAKed meanwhile: nothing comes back
    dev_state([](RefDevice &d) {
        d.ep1.push_back({1, 2, 3});
        d.ep1.push_back({4, 5, 6});
        d.repeat_once = true; // the first packet is sent twice
    });
    auto r = c.next();
    EXPECT_EQ(r.seqnum, seq);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{1, 2, 3}));
    c.submit(1, true, 8);
    r = c.next();
    EXPECT_EQ(r.data, (std::vector<uint8_t>{4, 5, 6})) << "the repeated DATA0 packet must be dropped";
    EXPECT_EQ(bridge.stats().retransmissions, 1u);

    // OUT: packets of the endpoint's size with alternating toggles; SET_CONFIGURATION
    // starts them at DATA0 again.
    std::vector<uint8_t> big(20, 0xAB);
    c.submit(2, false, 20, {}, big, 10);
    EXPECT_EQ(c.next().actual, 20u);
    c.submit(2, false, 2, {}, {1, 0x02}, 10);
    EXPECT_EQ(c.next().status, 0);
    ASSERT_EQ(c.control({0, 9, 1, 0, 0, 0, 0, 0}).status, 0);
    c.submit(2, false, 2, {}, {1, 0x04}, 10);
    EXPECT_EQ(c.next().status, 0);
    dev_state([](RefDevice &d) {
        ASSERT_EQ(d.ep2.size(), 4u);
        EXPECT_EQ(d.ep2[0].second.size(), 16u);
        EXPECT_EQ(d.ep2[1].second.size(), 4u);
        EXPECT_EQ(d.ep2[2].second, (std::vector<uint8_t>{1, 0x02}));
        std::vector<uint8_t> toggles;
        for (auto &p : d.ep2)
            toggles.push_back(p.first);
        EXPECT_EQ(toggles, (std::vector<uint8_t>{0, 1, 0, 0}));
    });
}

TEST_F(Bridge, UnlinkRemovesAPendingUrbAndAnswersALateOne)
{
    ASSERT_TRUE(enumerated());
    Client c(bridge.port());
    ASSERT_EQ(c.import(), 0u);

    uint32_t pending = c.submit(1, true, 8);
    std::this_thread::sleep_for(5ms);
    uint32_t u = c.unlink(pending);
    auto r = c.next();
    EXPECT_EQ(r.command, 4u);
    EXPECT_EQ(r.seqnum, u);
    EXPECT_EQ(r.status, -ECONNRESET);
    // No RET_SUBMIT follows for it, even once the device has data.
    dev_state([](RefDevice &d) { d.ep1.push_back({9}); });
    uint32_t next = c.submit(1, true, 8);
    r = c.next();
    EXPECT_EQ(r.command, 3u);
    EXPECT_EQ(r.seqnum, next);
    EXPECT_EQ(r.data, std::vector<uint8_t>{9});

    u = c.unlink(next); // already answered
    r = c.next();
    EXPECT_EQ(r.command, 4u);
    EXPECT_EQ(r.status, 0);
    auto s = bridge.stats();
    EXPECT_EQ(s.unlinks, 2u);
    EXPECT_EQ(s.unlink_hits, 1u);
}

// The cable follows the importer: idle while nobody holds the device, plugged (reset and
// enumerated) by each import; others get the list and a busy answer meanwhile.
TEST_F(Bridge, EachImportPlugsTheDeviceAndItsEndUnplugsIt)
{
    ASSERT_TRUE(enumerated());
    auto idle = [&] { return bridge.wait([](const auto &s, auto &) { return s.idle; }, 1s); };
    ASSERT_TRUE(idle());
    EXPECT_TRUE(dev_state([](RefDevice &d) { return d.suspended; }));
    {
        Client c(bridge.port());
        ASSERT_EQ(c.import(), 0u);
        EXPECT_EQ(dev_state([](RefDevice &d) { return std::pair(d.resets, d.suspended); }), std::pair(4, false));
        EXPECT_FALSE(bridge.stats().idle);
        c.submit(1, true, 8); // left pending when the client goes

        Client lister(bridge.port());
        lister.send(lister.op(0x8005));
        auto rep = lister.recv(12 + 312 + 4);
        ASSERT_EQ(rep.size(), 12u + 312 + 4);
        EXPECT_EQ(be32(rep.data() + 8), 1u);
        EXPECT_TRUE(lister.closed_by_peer());
        Client second(bridge.port());
        EXPECT_EQ(second.import(), 2u); // busy
        EXPECT_TRUE(second.closed_by_peer());
        EXPECT_EQ(bridge.stats().busy, 1u);
        EXPECT_EQ(c.control(get_descriptor(1, 18)).actual, 18u) << "the importer lost the device";
    }
    ASSERT_TRUE(idle());
    EXPECT_EQ(dev_state([](RefDevice &d) { return std::pair(d.resets, d.suspended); }), std::pair(4, true));
    Client c(bridge.port());
    ASSERT_EQ(c.import(), 0u);
    EXPECT_EQ(dev_state([](RefDevice &d) { return d.resets; }), 6);
    EXPECT_EQ(c.control(get_descriptor(1, 18)).actual, 18u);

    // A device that goes away ends the import.
    dev_state([](RefDevice &d) { d.plugged = false; });
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_TRUE(bridge.wait([](const auto &s, auto &) { return !s.enumerated && !s.imported; }, 1s));
}

TEST_F(Bridge, ImportWaitsForTheDeviceToAttach)
{
    bridge.stop();
    dev_state([](RefDevice &d) { d.plugged = false; });
    sim::UsbipBridge late(dev, {.import_wait = 2000ms});
    ASSERT_TRUE(late.start());
    Client c(late.port());
    c.send(c.op(0x8003, "1-1"));
    std::this_thread::sleep_for(100ms);
    dev_state([](RefDevice &d) { d.plugged = true; });
    auto h = c.recv(8);
    ASSERT_EQ(h.size(), 8u);
    EXPECT_EQ(be32(h.data() + 4), 0u);

    late.stop();
    sim::UsbipBridge never(dev, {.import_wait = 100ms});
    dev_state([](RefDevice &d) { d.plugged = false; });
    ASSERT_TRUE(never.start());
    Client n(never.port());
    EXPECT_EQ(n.import(), 1u);
}

} // namespace
