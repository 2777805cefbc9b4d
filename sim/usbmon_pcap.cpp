#include "usbmon_pcap.h"

#include <vector>

namespace sim {
namespace {

void put16(std::vector<uint8_t> &b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t> &b, uint32_t v)
{
    put16(b, uint16_t(v));
    put16(b, uint16_t(v >> 16));
}
void put64(std::vector<uint8_t> &b, uint64_t v)
{
    put32(b, uint32_t(v));
    put32(b, uint32_t(v >> 32));
}

constexpr uint32_t kSnapLen = 65535;

} // namespace

bool UsbmonPcap::open(const std::string &path)
{
    close();
    f_ = std::fopen(path.c_str(), "wb");
    if (!f_)
        return false;
    std::vector<uint8_t> h;
    put32(h, 0xA1B2C3D4); // microsecond timestamps
    put16(h, 2);
    put16(h, 4);
    put32(h, 0); // thiszone
    put32(h, 0); // sigfigs
    put32(h, kSnapLen);
    put32(h, kLinkType);
    std::fwrite(h.data(), 1, h.size(), f_);
    std::fflush(f_);
    return true;
}

void UsbmonPcap::write(const Event &e)
{
    if (!f_)
        return;
    std::vector<uint8_t> b;
    b.reserve(16 + kHeaderLen + e.data.size());
    uint32_t caplen = uint32_t(kHeaderLen + e.data.size());
    put32(b, uint32_t(e.ts.tv_sec));
    put32(b, uint32_t(e.ts.tv_usec));
    put32(b, caplen);
    put32(b, caplen);
    // struct usbmon_packet (mmapped variant), 64 bytes.
    put64(b, e.id);
    b.push_back(uint8_t(e.type));
    b.push_back(e.xfer);
    b.push_back(e.epnum);
    b.push_back(e.devnum);
    put16(b, e.busnum);
    b.push_back(e.has_setup ? 0 : '-');
    b.push_back(e.data.empty() ? uint8_t(e.no_data_flag) : 0);
    put64(b, uint64_t(int64_t(e.ts.tv_sec)));
    put32(b, uint32_t(e.ts.tv_usec));
    put32(b, uint32_t(e.status));
    put32(b, e.length);
    put32(b, uint32_t(e.data.size()));
    for (int i = 0; i < 8; ++i)
        b.push_back(e.has_setup ? e.setup[i] : 0);
    put32(b, uint32_t(e.interval));
    put32(b, uint32_t(e.start_frame));
    put32(b, e.xfer_flags);
    put32(b, 0); // ndesc
    b.insert(b.end(), e.data.begin(), e.data.end());
    std::fwrite(b.data(), 1, b.size(), f_);
    std::fflush(f_);
}

void UsbmonPcap::close()
{
    if (f_)
        std::fclose(f_);
    f_ = nullptr;
}

} // namespace sim
