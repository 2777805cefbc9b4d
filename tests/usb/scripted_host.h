// A tiny scripted host for the device tests: one call per transaction on the chip model's
// port, a control-transfer helper, and an interrupt poller that checks data toggles the way
// a host controller does (a repeated toggle is a retransmission: ACKed, data dropped).
#pragma once

#include "board.h"
#include "global.h"
#include "usbfunc.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace usbtest {

using sim::Handshake;
using sim::InPacket;
using Packet = std::array<uint8_t, 8>;
using Bytes = std::vector<uint8_t>;

inline Packet request(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length)
{
    return {type,
            req,
            static_cast<uint8_t>(value & 0xFF),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index & 0xFF),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length & 0xFF),
            static_cast<uint8_t>(length >> 8)};
}

inline Packet get_descriptor(uint8_t type, uint8_t index, uint16_t windex, uint16_t length)
{
    return request(0x80, 0x06, static_cast<uint16_t>(type << 8 | index), windex, length);
}

// The board for this process: library threads may outlive any test object.
inline sim::Board &board()
{
    static auto &b = *new sim::Board;
    return b;
}

inline uint8_t configok() { return std::atomic_ref<uint8_t>(km.configok).load(); }

inline bool wait_for(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool chip_attached()
{
    std::lock_guard lock(sim::Kernel::instance().mutex());
    return board().chip.attached();
}

// The device thread for the rest of the process; true once the chip has attached.
inline bool start_device_thread()
{
    board();
    pthread_t t;
    if (pthread_create(&t, nullptr, thread_device_listen, nullptr) != 0)
        return false;
    pthread_detach(t);
    return wait_for(chip_attached, std::chrono::seconds(2));
}

inline bool chip_idle() { return (board().chip.peek(sim::Ch374Model::InterFlag) & 0x1F) == 0; }

// No device thread: the test itself serves every pending event after each transaction.
inline void serve_now()
{
    while (board().chip.peek(sim::Ch374Model::InterFlag) & 0x0F)
        USB_DeviceInterrupt();
}

// The device thread serves: wait until the chip has left its pause.
inline void await_service()
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!chip_idle() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

class ScriptedHost {
public:
    explicit ScriptedHost(std::function<void()> settle) : settle_(std::move(settle)) {}

    uint8_t addr = 0;

    template <class F>
    static auto locked(F f)
    {
        std::lock_guard lock(sim::Kernel::instance().mutex());
        return f(board().chip);
    }

    Handshake setup(const Packet &p)
    {
        Handshake hs = retry([&] { return locked([&](auto &c) { return c.setup(addr, p.data()); }); });
        if (hs == Handshake::Ack)
            settle_();
        return hs;
    }

    InPacket in(uint8_t ep, int tries = 20)
    {
        InPacket p;
        for (int i = 0; i < tries; ++i) {
            p = locked([&](auto &c) { return c.in(addr, ep); });
            if (p.hs != Handshake::Nak)
                break;
            settle_();
        }
        if (p.hs == Handshake::Ack)
            settle_();
        return p;
    }

    Handshake out(uint8_t ep, uint8_t toggle, const Bytes &data)
    {
        Handshake hs = retry([&] {
            return locked([&](auto &c) {
                return c.out(addr, ep, toggle, data.data(), static_cast<uint8_t>(data.size()));
            });
        });
        if (hs == Handshake::Ack)
            settle_();
        return hs;
    }

    struct Control {
        Handshake hs = Handshake::Timeout; // Ack: the whole transfer went through
        Bytes data;
        std::vector<uint8_t> packet_sizes;
        std::vector<uint8_t> toggles;
    };

    // A control read: data stage until a short packet or wLength, then the OUT status.
    Control control_in(const Packet &p)
    {
        Control r;
        if ((r.hs = setup(p)) != Handshake::Ack)
            return r;
        const size_t want = p[6] | p[7] << 8;
        for (;;) {
            InPacket d = in(0);
            if (d.hs != Handshake::Ack) {
                r.hs = d.hs;
                return r;
            }
            r.data.insert(r.data.end(), d.data, d.data + d.len);
            r.packet_sizes.push_back(d.len);
            r.toggles.push_back(d.toggle);
            if (d.len < 8 || r.data.size() >= want)
                break;
        }
        r.hs = out(0, 1, {});
        return r;
    }

    // A request without data stage: SETUP, then the IN status packet.
    Handshake control_nodata(const Packet &p)
    {
        Handshake hs = setup(p);
        if (hs != Handshake::Ack)
            return hs;
        InPacket st = in(0);
        if (st.hs == Handshake::Ack && (st.len != 0 || st.toggle != 1))
            return Handshake::Timeout; // not a valid status stage
        return st.hs;
    }

    // A control write: SETUP, one DATA1 packet, then the IN status packet.
    Handshake control_out(const Packet &p, const Bytes &data)
    {
        Handshake hs = setup(p);
        if (hs == Handshake::Ack)
            hs = out(0, 1, data);
        if (hs != Handshake::Ack)
            return hs;
        InPacket st = in(0);
        if (st.hs == Handshake::Ack && (st.len != 0 || st.toggle != 1))
            return Handshake::Timeout;
        return st.hs;
    }

    void bus_reset()
    {
        locked([](auto &c) { c.bus_reset(); return 0; });
        settle_();
        addr = 0;
    }

    // What every host does before reports flow: reset, address, configuration, and the
    // keyboard's LED report, after which the device counts as configured.
    bool configure(uint8_t address = 3)
    {
        bus_reset();
        if (control_nodata(request(0x00, 0x05, address, 0, 0)) != Handshake::Ack)
            return false;
        addr = address;
        if (control_nodata(request(0x00, 0x09, 1, 0, 0)) != Handshake::Ack)
            return false;
        return out(2, 0, {0x01, 0x00}) == Handshake::Ack;
    }

private:
    template <class F>
    Handshake retry(F f)
    {
        Handshake hs = Handshake::Timeout;
        for (int i = 0; i < 20; ++i) {
            hs = f();
            if (hs != Handshake::Nak)
                break;
            settle_();
        }
        return hs;
    }

    std::function<void()> settle_;
};

// Polls the interrupt IN endpoints on its own thread, as a host does every frame, and keeps
// what a host would pass up: packets with a fresh toggle. Repeats are counted, not kept.
class Poller {
public:
    struct Report {
        uint8_t ep;
        Bytes data;
        uint8_t toggle;
    };

    explicit Poller(uint8_t addr) : addr_(addr) {}
    ~Poller() { stop(); }

    void start(std::chrono::microseconds period)
    {
        period_ = period;
        run_ = true;
        thread_ = std::thread([this] { loop(); });
    }
    void stop()
    {
        run_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    // A host that stops polling (suspended driver, busy controller) and starts again.
    void set_polling(bool on) { polling_ = on; }
    // A host that skips one endpoint (1 or 2) for a while.
    void set_polling(uint8_t ep, bool on) { ep_polled_[ep] = on; }
    void set_period(std::chrono::microseconds period)
    {
        std::lock_guard lock(mu_);
        period_ = period;
    }
    // Reset, SET_CONFIGURATION and clearing a halt start a pipe over at DATA0.
    void reset_toggles()
    {
        std::lock_guard lock(mu_);
        expect_ = {0, 0, 0};
    }
    std::vector<Report> reports() const
    {
        std::lock_guard lock(mu_);
        return reports_;
    }
    int repeats() const
    {
        std::lock_guard lock(mu_);
        return repeats_;
    }

private:
    void loop()
    {
        while (run_) {
            for (uint8_t ep : {uint8_t{1}, uint8_t{2}}) {
                if (!polling_)
                    break;
                if (!ep_polled_[ep])
                    continue;
                // Kept before the device can see its completion, as a host controller has
                // the data before it sends its ACK.
                ScriptedHost::locked([&](auto &c) {
                    InPacket p = c.in(addr_, ep);
                    if (p.hs != Handshake::Ack)
                        return 0;
                    std::lock_guard lock(mu_);
                    if (p.toggle != expect_[ep])
                        ++repeats_;
                    else {
                        expect_[ep] ^= 1;
                        reports_.push_back({ep, Bytes(p.data, p.data + p.len), p.toggle});
                    }
                    return 0;
                });
            }
            std::chrono::microseconds period;
            {
                std::lock_guard lock(mu_);
                period = period_;
            }
            std::this_thread::sleep_for(polling_ ? period : std::chrono::microseconds(1000));
        }
    }

    uint8_t addr_;
    std::atomic<bool> run_{false};
    std::atomic<bool> polling_{true};
    std::atomic<bool> ep_polled_[3] = {true, true, true};
    std::thread thread_;
    mutable std::mutex mu_;
    std::chrono::microseconds period_{1000};
    std::array<uint8_t, 3> expect_{};
    std::vector<Report> reports_;
    int repeats_ = 0;
};

} // namespace usbtest
