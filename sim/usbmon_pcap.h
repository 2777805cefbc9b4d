// Writes USB traffic as Linux usbmon records in a pcap file (link type 220,
// LINKTYPE_USB_LINUX_MMAPPED: a 64-byte header per URB event, then the data), the format
// Wireshark and tshark read from `usbmon` captures. Fields are written little-endian, the
// byte order the file header announces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <sys/time.h>

namespace sim {

class UsbmonPcap {
public:
    static constexpr uint32_t kLinkType = 220;
    static constexpr size_t kHeaderLen = 64;

    enum XferType : uint8_t { Iso = 0, Interrupt = 1, Control = 2, Bulk = 3 };

    // One URB event: its submission ('S') or completion ('C'), which share `id`.
    struct Event {
        uint64_t id = 0;
        char type = 'S';
        uint8_t xfer = Control;
        uint8_t epnum = 0;     // endpoint number, 0x80 set for IN
        uint8_t devnum = 0;
        uint16_t busnum = 1;
        bool has_setup = false;
        uint8_t setup[8] = {};
        int32_t status = 0;    // -EINPROGRESS on submission, 0 or -errno on completion
        uint32_t length = 0;   // requested (S) or actual (C) length
        std::span<const uint8_t> data; // captured bytes
        char no_data_flag = 0; // '<' for an IN submission, '>' for an OUT completion
        int32_t interval = 0;
        int32_t start_frame = 0;
        uint32_t xfer_flags = 0;
        timeval ts{};
    };

    UsbmonPcap() = default;
    ~UsbmonPcap() { close(); }
    UsbmonPcap(const UsbmonPcap &) = delete;
    UsbmonPcap &operator=(const UsbmonPcap &) = delete;

    // Creates (truncates) the file and writes the pcap header; false if it cannot.
    bool open(const std::string &path);
    bool is_open() const { return f_ != nullptr; }
    // Each record is flushed, so a capture is readable while the host still runs.
    void write(const Event &e);
    void close();

private:
    FILE *f_ = nullptr;
};

} // namespace sim
