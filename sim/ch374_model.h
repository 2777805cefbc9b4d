// The CH374 behind /dev/spidev0.0, as the board's spidev driver and the chip present it:
// the mode/bits/speed ioctls, one frame per SPI_IOC_MESSAGE(1) (address, 0x80 write or
// 0xC0 read, data on consecutive addresses), a 256-byte register and buffer space, and the
// interrupt output on a GPIO line (low while an enabled interrupt is pending), and the USB
// device side that a host drives through UsbDevicePort.
// Its constants are its own, written from the chip's documented behaviour.
//
// USB side, as modelled:
// - The chip answers only while the pull-up (UsbSetup bit 1) and the transceiver (bit 0) are
//   on, its oscillator runs, the bus is not suspended, and the token carries its address
//   (UsbAddr, 7 bits). Otherwise the host sees nothing (Timeout). Any other UsbSetup bit
//   (low speed, host mode) means it is not a full-speed device: not attached.
// - Endpoints 0 and 1: control bits 0..3 answer an IN with 0..8 bytes, 0x0E NAK, 0x0F STALL
//   (9..13 are not valid: no answer). Endpoint 2: bits 0..1 00 ACK with the length written
//   to UsbLength, 10 NAK, 11 STALL, 01 no answer. Receive bits 4..5 on every endpoint:
//   00 ACK, 10 NAK, 11 STALL, 01 no answer. Bit 6 is the toggle an IN goes out with; the
//   chip never changes it itself.
// - UsbLength is two latches: a write sets endpoint 2's transmit length, a read gives the
//   length of the last SETUP or OUT received, so a received LED report cannot cut short a
//   keyboard report waiting in the chip.
// - A SETUP is taken whatever endpoint 0's state (it is how a host recovers a stalled
//   control pipe); it lands in endpoint 0's receive RAM with length 8.
// - OUT data toggles are not enforced: a mismatch is ACKed and delivered like any other
//   packet, with the toggle-match status bit clear, as the chip leaves that to firmware.
// - Each ACKed transaction sets the transfer flag, the status (token in bits 2..3: OUT 0,
//   IN 2, SETUP 3; endpoint in bits 0..1) and the pause flag; while the pause flag is set
//   every token is NAKed, until the firmware writes 1 to it.
// - Bus reset, suspend and resume set their flags; reset and resume also restart the
//   oscillator. Registers are the firmware's business: a reset changes none of them.
// - The line is low while a flag is pending whose enable is set; the wake-up flag has no
//   enable of its own and raises the line with the suspend enable.
#pragma once

#include "gpio_model.h"
#include "kernel.h"
#include "usb_port.h"

#include <linux/spi/spidev.h>

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

class Ch374Model : public Device, public UsbDevicePort {
public:
    static constexpr const char *kPath = "/dev/spidev0.0";
    static constexpr int kIrqLine = 12;

    // Register addresses as the chip documents them.
    enum Reg : uint8_t {
        SysCtrl = 0x05,
        UsbSetup = 0x06,
        InterEn = 0x07,
        UsbAddr = 0x08,
        InterFlag = 0x09,
        UsbStatus = 0x0A,
        UsbLength = 0x0B,
        UsbEndp0 = 0x0C,
        UsbEndp1 = 0x0D,
        UsbEndp2 = 0x0E,
    };
    // Buffer RAM.
    enum Ram : uint8_t {
        Ep0Tx = 0x20, // 8 bytes each for endpoints 0 and 1
        Ep0Rx = 0x28,
        Ep1Tx = 0x30,
        Ep1Rx = 0x38,
        Ep2Tx = 0x40, // 64 bytes each for endpoint 2
        Ep2Rx = 0xC0,
    };
    // Interrupt flags; the firmware clears them by writing 1s.
    enum Flag : uint8_t {
        IfTransfer = 0x01,
        IfBusReset = 0x02,
        IfSuspend = 0x04,
        IfWakeUp = 0x08,
        IfPause = 0x10,
    };
    static constexpr uint8_t kStatTogMatch = 0x10;

    // One SPI transfer as the driver received it.
    struct Transfer {
        spi_ioc_transfer desc;
        std::vector<uint8_t> tx;
    };

    explicit Ch374Model(GpioModel &gpio);
    ~Ch374Model() override;

    // Faults. Steps 1..6 are the mode, bits and speed ioctls in the order write/read each.
    void set_absent(bool absent);          // the chip does not answer: reads give 0xFF
    void fail_open(bool fail);             // the spidev node is missing
    void fail_ioctl_step(int step);        // 0 = none
    void fail_transfers(bool fail);        // SPI_IOC_MESSAGE fails with EIO

    // Test side; each takes the kernel mutex.
    uint8_t peek(uint8_t addr) const;
    void poke(uint8_t addr, uint8_t value);
    std::vector<Transfer> transfers() const;
    void clear_transfers();
    // Each logged transfer is an allocation: a fuzzer that never reads the log turns it off.
    void set_transfer_logging(bool on);
    uint8_t mode() const;
    uint8_t bits() const;
    uint32_t speed() const;
    int open_count() const;

    bool owns(std::string_view path) const override;
    bool exists(std::string_view path) const override;
    std::unique_ptr<VFile> open(std::string_view path, int flags, int *err) override;

    // For the node's file (kernel mutex held).
    int handle_ioctl(unsigned long request, void *arg);

    // UsbDevicePort: the host's side of the cable (kernel mutex held).
    bool attached() const override;
    void bus_reset() override;
    void suspend() override;
    void resume() override;
    Handshake setup(uint8_t addr, const uint8_t packet[8]) override;
    Handshake out(uint8_t addr, uint8_t ep, uint8_t toggle, const uint8_t *data, uint8_t len) override;
    InPacket in(uint8_t addr, uint8_t ep) override;

    // Test side; takes the kernel mutex.
    uint8_t ep2_tx_length() const;

protected:
    // A register or RAM write or read arriving over SPI; the USB side gives some of them
    // meaning (write-1-to-clear flags, endpoint arming). Kernel mutex held.
    virtual void bus_write(uint8_t addr, uint8_t value);
    virtual uint8_t bus_read(uint8_t addr);
    // Drives the interrupt line from the flags and enables.
    void update_irq();

    GpioModel &gpio_;
    std::array<uint8_t, 256> mem_{};

private:
    int transfer(const spi_ioc_transfer &t);
    // The chip sees this token at all (power, attach, address).
    bool responds(uint8_t addr) const;
    // An ACKed transaction: status, transfer flag, pause.
    void complete(uint8_t token, uint8_t ep, bool tog_match);

    bool absent_ = false;
    bool fail_open_ = false;
    bool fail_transfers_ = false;
    int fail_step_ = 0;
    int ioctl_step_ = 0;
    int opens_ = 0;
    uint8_t mode_ = 0;
    uint8_t bits_ = 8;
    uint32_t speed_ = 500000;
    bool suspended_ = false;
    uint8_t ep2_tx_len_ = 0;
    std::vector<Transfer> transfers_;
    bool log_transfers_ = true;
};

} // namespace sim
