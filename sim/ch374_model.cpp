#include "ch374_model.h"

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

constexpr uint8_t kCmdWrite = 0x80;
constexpr uint8_t kCmdRead = 0xC0;
constexpr size_t kMaxFrame = 4096; // what the spidev driver buffers by default
constexpr size_t kTransferLog = 4096;

class SpidevFile : public VFile {
public:
    explicit SpidevFile(Ch374Model &m) : m_(m) {}
    int ioctl(unsigned long request, void *arg) override { return m_.handle_ioctl(request, arg); }

private:
    Ch374Model &m_;
};

} // namespace

Ch374Model::Ch374Model(GpioModel &gpio) : gpio_(gpio) { Kernel::instance().attach(this); }
Ch374Model::~Ch374Model() { Kernel::instance().detach(this); }

bool Ch374Model::owns(std::string_view path) const { return path == kPath; }
bool Ch374Model::exists(std::string_view) const { return !fail_open_; }

std::unique_ptr<VFile> Ch374Model::open(std::string_view, int, int *err)
{
    if (fail_open_) {
        *err = ENOENT;
        return nullptr;
    }
    ++opens_;
    ioctl_step_ = 0;
    return std::make_unique<SpidevFile>(*this);
}

int Ch374Model::handle_ioctl(unsigned long request, void *arg)
{
    auto step = [&](int n) {
        ioctl_step_ = n;
        if (fail_step_ == n) {
            errno = EINVAL;
            return false;
        }
        return true;
    };
    switch (request) {
    case SPI_IOC_WR_MODE:
        if (!step(1))
            return -1;
        mode_ = *static_cast<uint8_t *>(arg);
        return 0;
    case SPI_IOC_RD_MODE:
        if (!step(2))
            return -1;
        *static_cast<uint8_t *>(arg) = mode_;
        return 0;
    case SPI_IOC_WR_BITS_PER_WORD:
        if (!step(3))
            return -1;
        bits_ = *static_cast<uint8_t *>(arg);
        return 0;
    case SPI_IOC_RD_BITS_PER_WORD:
        if (!step(4))
            return -1;
        *static_cast<uint8_t *>(arg) = bits_;
        return 0;
    case SPI_IOC_WR_MAX_SPEED_HZ:
        if (!step(5))
            return -1;
        speed_ = *static_cast<uint32_t *>(arg);
        return 0;
    case SPI_IOC_RD_MAX_SPEED_HZ:
        if (!step(6))
            return -1;
        *static_cast<uint32_t *>(arg) = speed_;
        return 0;
    case SPI_IOC_MESSAGE(1):
        return transfer(*static_cast<const spi_ioc_transfer *>(arg));
    default:
        errno = EINVAL;
        return -1;
    }
}

int Ch374Model::transfer(const spi_ioc_transfer &t)
{
    if (fail_transfers_ || t.len > kMaxFrame || t.tx_buf == 0) {
        errno = EIO;
        return -1;
    }
    auto *tx = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(t.tx_buf));
    auto *rx = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(t.rx_buf));
    if (transfers_.size() < kTransferLog)
        transfers_.push_back({t, std::vector<uint8_t>(tx, tx + t.len)});
    if (rx)
        std::memset(rx, absent_ ? 0xFF : 0x00, t.len);
    if (absent_ || t.len < 2)
        return static_cast<int>(t.len);
    uint8_t addr = tx[0];
    if (tx[1] == kCmdWrite) {
        for (size_t i = 2; i < t.len; ++i)
            bus_write(static_cast<uint8_t>(addr + i - 2), tx[i]);
    } else if (tx[1] == kCmdRead) {
        for (size_t i = 2; i < t.len; ++i) {
            uint8_t v = bus_read(static_cast<uint8_t>(addr + i - 2));
            if (rx)
                rx[i] = v;
        }
    }
    update_irq();
    return static_cast<int>(t.len);
}

void Ch374Model::bus_write(uint8_t addr, uint8_t value) { mem_[addr] = value; }
uint8_t Ch374Model::bus_read(uint8_t addr) { return mem_[addr]; }

void Ch374Model::update_irq()
{
    // Transfer, bus reset and suspend have enable bits; the line is active low.
    bool pending = (mem_[InterFlag] & mem_[InterEn] & 0x07) != 0;
    gpio_.set_value(kIrqLine, pending ? 0 : 1, false);
}

void Ch374Model::set_absent(bool absent)
{
    std::lock_guard lock(Kernel::instance().mutex());
    absent_ = absent;
}

void Ch374Model::fail_open(bool fail)
{
    std::lock_guard lock(Kernel::instance().mutex());
    fail_open_ = fail;
}

void Ch374Model::fail_ioctl_step(int step)
{
    std::lock_guard lock(Kernel::instance().mutex());
    fail_step_ = step;
}

void Ch374Model::fail_transfers(bool fail)
{
    std::lock_guard lock(Kernel::instance().mutex());
    fail_transfers_ = fail;
}

uint8_t Ch374Model::peek(uint8_t addr) const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return mem_[addr];
}

void Ch374Model::poke(uint8_t addr, uint8_t value)
{
    std::lock_guard lock(Kernel::instance().mutex());
    mem_[addr] = value;
    update_irq();
}

std::vector<Ch374Model::Transfer> Ch374Model::transfers() const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return transfers_;
}

void Ch374Model::clear_transfers()
{
    std::lock_guard lock(Kernel::instance().mutex());
    transfers_.clear();
}

uint8_t Ch374Model::mode() const { std::lock_guard lock(Kernel::instance().mutex()); return mode_; }
uint8_t Ch374Model::bits() const { std::lock_guard lock(Kernel::instance().mutex()); return bits_; }
uint32_t Ch374Model::speed() const { std::lock_guard lock(Kernel::instance().mutex()); return speed_; }
int Ch374Model::open_count() const { std::lock_guard lock(Kernel::instance().mutex()); return opens_; }

} // namespace sim
