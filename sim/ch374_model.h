// The CH374 behind /dev/spidev0.0, as the board's spidev driver and the chip present it:
// the mode/bits/speed ioctls, one frame per SPI_IOC_MESSAGE(1) (address, 0x80 write or
// 0xC0 read, data on consecutive addresses), a 256-byte register and buffer space, and the
// interrupt output on a GPIO line (low while an enabled interrupt is pending).
// Its constants are its own, written from the chip's documented behaviour.
#pragma once

#include "gpio_model.h"
#include "kernel.h"

#include <linux/spi/spidev.h>

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

class Ch374Model : public Device {
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
    uint8_t mode() const;
    uint8_t bits() const;
    uint32_t speed() const;
    int open_count() const;

    bool owns(std::string_view path) const override;
    bool exists(std::string_view path) const override;
    std::unique_ptr<VFile> open(std::string_view path, int flags, int *err) override;

    // For the node's file (kernel mutex held).
    int handle_ioctl(unsigned long request, void *arg);

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

    bool absent_ = false;
    bool fail_open_ = false;
    bool fail_transfers_ = false;
    int fail_step_ = 0;
    int ioctl_step_ = 0;
    int opens_ = 0;
    uint8_t mode_ = 0;
    uint8_t bits_ = 8;
    uint32_t speed_ = 500000;
    std::vector<Transfer> transfers_;
};

} // namespace sim
