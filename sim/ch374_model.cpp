#include "ch374_model.h"

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

constexpr uint8_t kCmdWrite = 0x80;
constexpr uint8_t kCmdRead = 0xC0;
constexpr size_t kMaxFrame = 4096; // what the spidev driver buffers by default
constexpr size_t kTransferLog = 4096;

constexpr uint8_t kFlagMask = 0x1F; // the four event flags and the pause flag
constexpr uint8_t kIeSuspend = 0x04;
constexpr uint8_t kSetupTransceiver = 0x01;
constexpr uint8_t kSetupPullup = 0x02;
constexpr uint8_t kSysOscOff = 0x01;
// Endpoint control fields.
constexpr uint8_t kTxNak01 = 0x0E, kTxStall01 = 0x0F;
constexpr uint8_t kTx2Mask = 0x03, kTx2Ack = 0x00, kTx2Nak = 0x02, kTx2Stall = 0x03;
constexpr uint8_t kRxMask = 0x30, kRxAck = 0x00, kRxNak = 0x20, kRxStall = 0x30;
constexpr uint8_t kTxTog = 0x40, kRxTog = 0x80;
constexpr uint8_t kEp01Size = 8, kEp2Size = 64;
// Token codes in the status register.
constexpr uint8_t kTokenOut = 0, kTokenIn = 2, kTokenSetup = 3;

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
    if (log_transfers_ && transfers_.size() < kTransferLog)
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

void Ch374Model::bus_write(uint8_t addr, uint8_t value)
{
    switch (addr) {
    case InterFlag:
        mem_[addr] &= static_cast<uint8_t>(~(value & kFlagMask));
        Kernel::instance().notify(); // a host waiting out the pause may go on
        break;
    case UsbStatus:
        break; // read-only
    case UsbLength:
        ep2_tx_len_ = value;
        break;
    case UsbSetup:
        mem_[addr] = value;
        Kernel::instance().notify(); // attach or detach
        break;
    default:
        mem_[addr] = value;
        break;
    }
}

uint8_t Ch374Model::bus_read(uint8_t addr) { return mem_[addr]; }

void Ch374Model::update_irq()
{
    // Transfer, bus reset and suspend have enable bits; wake-up rides on the suspend
    // enable. The line is active low.
    uint8_t f = mem_[InterFlag], en = mem_[InterEn];
    bool pending = (f & en & (IfTransfer | IfBusReset | IfSuspend)) != 0 || ((f & IfWakeUp) && (en & kIeSuspend));
    gpio_.set_value(kIrqLine, pending ? 0 : 1, false);
}

bool Ch374Model::attached() const
{
    uint8_t v = mem_[UsbSetup];
    return (v & kSetupPullup) && !(v & ~(kSetupPullup | kSetupTransceiver));
}

bool Ch374Model::responds(uint8_t addr) const
{
    return attached() && (mem_[UsbSetup] & kSetupTransceiver) && !(mem_[SysCtrl] & kSysOscOff) && !suspended_ &&
           addr == (mem_[UsbAddr] & 0x7F);
}

void Ch374Model::complete(uint8_t token, uint8_t ep, bool tog_match)
{
    mem_[UsbStatus] = static_cast<uint8_t>(token << 2 | ep | (tog_match ? kStatTogMatch : 0));
    mem_[InterFlag] |= IfTransfer | IfPause;
    update_irq();
}

void Ch374Model::bus_reset()
{
    suspended_ = false;
    mem_[SysCtrl] &= static_cast<uint8_t>(~kSysOscOff);
    mem_[InterFlag] |= IfBusReset;
    update_irq();
}

void Ch374Model::suspend()
{
    suspended_ = true;
    mem_[InterFlag] |= IfSuspend;
    update_irq();
}

void Ch374Model::resume()
{
    if (!suspended_)
        return;
    suspended_ = false;
    mem_[SysCtrl] &= static_cast<uint8_t>(~kSysOscOff);
    mem_[InterFlag] |= IfWakeUp;
    update_irq();
}

Handshake Ch374Model::setup(uint8_t addr, const uint8_t packet[8])
{
    if (!responds(addr))
        return Handshake::Timeout;
    if (mem_[InterFlag] & IfPause)
        return Handshake::Nak;
    std::memcpy(&mem_[Ep0Rx], packet, kEp01Size);
    mem_[UsbLength] = kEp01Size;
    complete(kTokenSetup, 0, true); // SETUP is always DATA0
    return Handshake::Ack;
}

Handshake Ch374Model::out(uint8_t addr, uint8_t ep, uint8_t toggle, const uint8_t *data, uint8_t len)
{
    if (ep > 2 || !responds(addr))
        return Handshake::Timeout;
    if (mem_[InterFlag] & IfPause)
        return Handshake::Nak;
    uint8_t ctrl = mem_[UsbEndp0 + ep];
    switch (ctrl & kRxMask) {
    case kRxNak:
        return Handshake::Nak;
    case kRxStall:
        return Handshake::Stall;
    case kRxAck:
        break;
    default:
        return Handshake::Timeout;
    }
    static constexpr uint8_t rx_ram[3] = {Ep0Rx, Ep1Rx, Ep2Rx};
    if (len > (ep == 2 ? kEp2Size : kEp01Size))
        return Handshake::Timeout; // babble: no handshake, nothing stored
    if (len)
        std::memcpy(&mem_[rx_ram[ep]], data, len);
    mem_[UsbLength] = len;
    complete(kTokenOut, ep, ((ctrl & kRxTog) != 0) == (toggle != 0));
    return Handshake::Ack;
}

InPacket Ch374Model::in(uint8_t addr, uint8_t ep)
{
    InPacket p;
    if (ep > 2 || !responds(addr))
        return p;
    if (mem_[InterFlag] & IfPause) {
        p.hs = Handshake::Nak;
        return p;
    }
    uint8_t ctrl = mem_[UsbEndp0 + ep];
    uint8_t len;
    if (ep < 2) {
        uint8_t res = ctrl & 0x0F;
        if (res == kTxNak01 || res == kTxStall01) {
            p.hs = res == kTxNak01 ? Handshake::Nak : Handshake::Stall;
            return p;
        }
        if (res > kEp01Size)
            return p; // not a valid length: no answer
        len = res;
    } else {
        switch (ctrl & kTx2Mask) {
        case kTx2Nak:
            p.hs = Handshake::Nak;
            return p;
        case kTx2Stall:
            p.hs = Handshake::Stall;
            return p;
        case kTx2Ack:
            break;
        default:
            return p;
        }
        len = ep2_tx_len_ < kEp2Size ? ep2_tx_len_ : kEp2Size;
    }
    static constexpr uint8_t tx_ram[3] = {Ep0Tx, Ep1Tx, Ep2Tx};
    p.hs = Handshake::Ack;
    p.toggle = (ctrl & kTxTog) ? 1 : 0;
    p.len = len;
    std::memcpy(p.data, &mem_[tx_ram[ep]], len);
    complete(kTokenIn, ep, true);
    return p;
}

uint8_t Ch374Model::ep2_tx_length() const
{
    std::lock_guard lock(Kernel::instance().mutex());
    return ep2_tx_len_;
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

void Ch374Model::set_transfer_logging(bool on)
{
    std::lock_guard lock(Kernel::instance().mutex());
    log_transfers_ = on;
}

uint8_t Ch374Model::mode() const { std::lock_guard lock(Kernel::instance().mutex()); return mode_; }
uint8_t Ch374Model::bits() const { std::lock_guard lock(Kernel::instance().mutex()); return bits_; }
uint32_t Ch374Model::speed() const { std::lock_guard lock(Kernel::instance().mutex()); return speed_; }
int Ch374Model::open_count() const { std::lock_guard lock(Kernel::instance().mutex()); return opens_; }

} // namespace sim
