// A test-only device for the host model: the mouse and keyboard as a host should find them,
// answering each transaction at once and as the USB standard says a device should, with
// handles to queue reports and to misbehave. Its descriptor bytes are written out here.
#pragma once

#include "usb_port.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace reftest {

extern const std::vector<uint8_t> kDevice, kConfig, kLang, kManufacturer, kProduct, kMouseReport, kKeyboardReport;

class RefDevice : public sim::UsbDevicePort {
public:
    struct Request {
        uint8_t address;
        std::array<uint8_t, 8> setup;
        uint8_t type() const { return setup[0]; }
        uint8_t request() const { return setup[1]; }
        uint16_t value() const { return uint16_t(setup[2] | setup[3] << 8); }
        uint16_t index() const { return uint16_t(setup[4] | setup[5] << 8); }
        uint16_t length() const { return uint16_t(setup[6] | setup[7] << 8); }
    };
    // Ways to misbehave, for showing that the host and the conformance run notice.
    struct Faults {
        bool stall_sticks = false;      // a stalled endpoint 0 stays stalled for the next request
        bool config_value_garbage = false;
        bool address_at_setup = false;  // takes a new address before the status stage
        unsigned nak_ep0 = 0;           // NAK this many endpoint 0 tokens before each answer
        bool nak_ep0_forever = false;
        bool ep0_wrong_first_toggle = false; // the first data packet goes out as DATA0
        bool babble_ep0 = false;        // 9-byte packets on endpoint 0
        bool repeat_reports = false;    // with nothing queued, the last report again at every poll
    };

    // Test side; each takes the kernel mutex.
    void set_attached(bool on);
    void set_faults(const Faults &f);
    // Takes the boot-protocol requests as a boot device does (off: it refuses them, as this
    // board's device did); SET_REPORT data joins outputs().
    void set_boot(bool on);
    uint8_t protocol(uint8_t itf) const;
    uint8_t idle(uint8_t itf) const;
    void queue_report(uint8_t ep, std::vector<uint8_t> bytes); // ep 0x81 or 0x82
    void resend_last(uint8_t ep);  // the next IN gets the last packet again, same toggle
    void halt(uint8_t ep);         // stall it until CLEAR_FEATURE
    std::vector<Request> requests() const;
    std::vector<std::vector<uint8_t>> outputs() const; // interrupt OUT data received
    unsigned resets() const;
    unsigned suspends() const;
    unsigned resumes() const;
    bool suspended() const;
    uint8_t address() const;
    uint8_t configuration() const;
    unsigned ins(uint8_t ep) const; // IN tokens seen at our address
    size_t queued(uint8_t ep) const;
    unsigned out_toggle_errors() const;
    std::vector<uint8_t> vendor_data() const; // the data stage of vendor OUT request 0x01

    // UsbDevicePort (kernel mutex held).
    bool attached() const override { return attached_; }
    void bus_reset() override;
    void suspend() override;
    void resume() override;
    sim::Handshake setup(uint8_t addr, const uint8_t packet[8]) override;
    sim::Handshake out(uint8_t addr, uint8_t ep, uint8_t toggle, const uint8_t *data, uint8_t len) override;
    sim::InPacket in(uint8_t addr, uint8_t ep) override;

private:
    enum class Ep0 { Idle, DataIn, DataOut, StatusIn, Stalled };
    bool here(uint8_t addr) const { return attached_ && !suspended_ && addr == address_; }
    bool nak_now();
    void answer(const std::array<uint8_t, 8> &s);
    void reset_endpoints();

    bool attached_ = true;
    bool suspended_ = false;
    uint8_t address_ = 0;
    int pending_address_ = -1;
    uint8_t config_ = 0;
    Faults faults_;
    unsigned naks_left_ = 0;
    Ep0 ep0_ = Ep0::Idle;
    std::vector<uint8_t> ep0_data_;
    size_t ep0_pos_ = 0, ep0_out_left_ = 0;
    uint8_t ep0_tog_ = 1;
    std::array<std::deque<std::vector<uint8_t>>, 3> queue_;
    std::array<std::vector<uint8_t>, 3> last_;
    std::array<uint8_t, 3> in_tog_{}, last_tog_{};
    std::array<bool, 3> resend_{};
    std::array<bool, 3> halted_in_{};
    bool halted_out2_ = false;
    uint8_t out_tog_ = 0;
    unsigned out_tog_errors_ = 0;
    std::array<unsigned, 3> ins_{};
    std::vector<Request> requests_;
    std::vector<std::vector<uint8_t>> outputs_;
    std::vector<uint8_t> vendor_data_;
    bool vendor_out_ = false;
    bool report_out_ = false;
    std::vector<uint8_t> report_data_;
    bool boot_ = false;
    std::array<uint8_t, 2> protocol_{1, 1}, idle_{};
    unsigned resets_ = 0, suspends_ = 0, resumes_ = 0;
};

} // namespace reftest
