// The device end of the USB cable, as a host drives it: one call per transaction.
// The CH374 model implements it; the host model (and any other host, such as a bridge to a
// real kernel) drives it. Every call is made with Kernel::mutex() held.
#pragma once

#include <cstdint>

namespace sim {

// What the device answered in the handshake phase (or the host saw nothing: Timeout).
enum class Handshake : uint8_t { Ack, Nak, Stall, Timeout };

struct InPacket {
    Handshake hs = Handshake::Timeout; // Ack: data below is valid
    uint8_t toggle = 0;                // 0 = DATA0, 1 = DATA1
    uint8_t len = 0;
    uint8_t data[64] = {};
};

class UsbDevicePort {
public:
    virtual ~UsbDevicePort() = default;
    virtual bool attached() const = 0; // D+ pull-up on: a full-speed device is present
    virtual void bus_reset() = 0;
    virtual void suspend() = 0;
    virtual void resume() = 0;
    // A SETUP transaction (always DATA0, 8 bytes) to `addr`, endpoint 0.
    virtual Handshake setup(uint8_t addr, const uint8_t packet[8]) = 0;
    virtual Handshake out(uint8_t addr, uint8_t ep, uint8_t toggle, const uint8_t *data, uint8_t len) = 0;
    virtual InPacket in(uint8_t addr, uint8_t ep) = 0;
};

} // namespace sim
