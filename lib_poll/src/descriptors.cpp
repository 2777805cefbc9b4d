// Descriptors and the identity override. Writable storage: setconfig() patches the device
// identifiers and one byte of the keyboard report descriptor in place.
#include "global.h"
#include "usbfunc.h"

#include <array>
#include <cstddef>

namespace {

// The identifiers are stored high byte first, exactly as the host has always read them
// (idVendor 0x4843, idProduct 0x0120); the override keeps that order.
constexpr uint8_t DEV_VID_HI = 0x43, DEV_VID_LO = 0x48;
constexpr uint8_t DEV_PID_HI = 0x20, DEV_PID_LO = 0x01;

constexpr size_t kKeyboardCollectionByte = 5; // data byte of the first Collection item

// Each descriptor is written once; the same bytes feed the writable arrays and the
// compile-time checks below.
#define BYTES_MyDevDescr \
    0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08, \
    DEV_VID_HI, DEV_VID_LO, DEV_PID_HI, DEV_PID_LO, \
    0x00, 0x01, 0x00, 0x00, 0x00, 0x01,

#define BYTES_MyCfgDescr \
 /* configuration: two interfaces, self-powered, 400 mA */ \
    0x09, 0x02, 0x42, 0x00, 0x02, 0x01, 0x00, 0xC0, 0xC8, \
 /* interface 0: HID boot mouse, one endpoint */ \
    0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, 0x02, 0x00, \
    0x09, 0x21, 0x10, 0x01, 0x00, 0x01, 0x22, 0x3C, 0x00, \
    0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x01, \
 /* interface 1: HID boot keyboard, IN and OUT endpoints */ \
    0x09, 0x04, 0x01, 0x00, 0x02, 0x03, 0x01, 0x01, 0x00, \
    0x09, 0x21, 0x10, 0x01, 0x00, 0x01, 0x22, 0x6C, 0x00, \
    0x07, 0x05, 0x82, 0x03, 0x10, 0x00, 0x01, \
    0x07, 0x05, 0x02, 0x03, 0x10, 0x00, 0x0A,

#define BYTES_MyLangDescr \
0x04, 0x03, 0x09, 0x04

#define BYTES_MyManuInfo \
0x0E, 0x03, 't', 0, 'a', 0, 'r', 0, 'v', 0, '0', 0, ' ', 0

#define BYTES_MyProdInfo \
0x0C, 0x03, 'R', 0, 'e', 0, 'v', 0, ' ', 0, '7', 0

#define BYTES_ReportDescriptor_mouse \
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, \
    0x05, 0x09, 0x19, 0x01, 0x29, 0x08, 0x15, 0x00, 0x25, 0x01, /* 8 buttons */ \
    0x95, 0x08, 0x75, 0x01, 0x81, 0x02, \
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x16, 0x01, 0x80, 0x26, 0xFF, 0x7F, /* X, Y */ \
    0x75, 0x10, 0x95, 0x02, 0x81, 0x06, \
    0x05, 0x01, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x01, 0x81, 0x06, /* wheel */ \
    0xC0, 0xC0,

#define BYTES_ReportDescriptor_keyboard \
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, \
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, /* modifiers */ \
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, \
    0x95, 0x03, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x03, 0x91, 0x02, /* LEDs */ \
    0x95, 0x01, 0x75, 0x05, 0x91, 0x03, \
    0x95, 0x0A, 0x75, 0x08, 0x15, 0x00, 0x26, 0xC8, 0x00, /* ten key slots */ \
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, \
    0xC0, \
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, /* consumer control */ \
    0x09, 0xEA, 0x09, 0xE9, 0x09, 0xE2, 0x09, 0xCD, 0x0A, 0x23, 0x02, \
    0x15, 0x00, 0x25, 0x01, 0x95, 0x05, 0x75, 0x01, 0x81, 0x02, \
    0x05, 0x01, 0x09, 0x82, 0x09, 0x81, 0x75, 0x01, 0x95, 0x02, 0x81, 0x02, \
    0x95, 0x01, 0x75, 0x01, 0x81, 0x03, \
    0xC0,

constexpr auto k_MyDevDescr = std::to_array<uint8_t>({BYTES_MyDevDescr});
static_assert(k_MyDevDescr.size() == 18);
constexpr auto k_MyCfgDescr = std::to_array<uint8_t>({BYTES_MyCfgDescr});
static_assert(k_MyCfgDescr.size() == 66);
constexpr auto k_MyLangDescr = std::to_array<uint8_t>({BYTES_MyLangDescr});
static_assert(k_MyLangDescr.size() == 4);
constexpr auto k_MyManuInfo = std::to_array<uint8_t>({BYTES_MyManuInfo});
static_assert(k_MyManuInfo.size() == 14);
constexpr auto k_MyProdInfo = std::to_array<uint8_t>({BYTES_MyProdInfo});
static_assert(k_MyProdInfo.size() == 12);
constexpr auto k_ReportDescriptor_mouse = std::to_array<uint8_t>({BYTES_ReportDescriptor_mouse});
static_assert(k_ReportDescriptor_mouse.size() == 60);
constexpr auto k_ReportDescriptor_keyboard = std::to_array<uint8_t>({BYTES_ReportDescriptor_keyboard});
static_assert(k_ReportDescriptor_keyboard.size() == 108);

// Walks the bLength chain: it must end exactly at the end of the set.
constexpr bool chain_fits(const auto &d)
{
    size_t at = 0;
    while (at < d.size()) {
        if (d[at] < 2)
            return false;
        at += d[at];
    }
    return at == d.size();
}
static_assert(chain_fits(k_MyCfgDescr));
static_assert(k_MyCfgDescr[2] + (k_MyCfgDescr[3] << 8) == k_MyCfgDescr.size());
static_assert(k_MyCfgDescr[25] + (k_MyCfgDescr[26] << 8) == k_ReportDescriptor_mouse.size());
static_assert(k_MyCfgDescr[50] + (k_MyCfgDescr[51] << 8) == k_ReportDescriptor_keyboard.size());
static_assert(k_MyDevDescr[0] == k_MyDevDescr.size() && k_MyLangDescr[0] == k_MyLangDescr.size() &&
              k_MyManuInfo[0] == k_MyManuInfo.size() && k_MyProdInfo[0] == k_MyProdInfo.size());

} // namespace

extern "C" {

km_config_t km_config;

uint8_t MyDevDescr[18] = {BYTES_MyDevDescr};

uint8_t MyCfgDescr[66] = {BYTES_MyCfgDescr};

uint8_t MyLangDescr[4] = {BYTES_MyLangDescr};

uint8_t MyManuInfo[14] = {BYTES_MyManuInfo};

uint8_t MyProdInfo[12] = {BYTES_MyProdInfo};

uint8_t ReportDescriptor_mouse[60] = {BYTES_ReportDescriptor_mouse};

uint8_t ReportDescriptor_keyboard[108] = {BYTES_ReportDescriptor_keyboard};

void setconfig(void)
{
    if (!km_config.exist)
        return;
    // The device thread copies descriptors to the chip under the same lock: a host never reads
    // half an identifier.
    pthread_mutex_lock(&mutex);
    MyDevDescr[8] = static_cast<uint8_t>(km_config.vid >> 8);
    MyDevDescr[9] = static_cast<uint8_t>(km_config.vid & 0xFF);
    MyDevDescr[10] = static_cast<uint8_t>(km_config.pid >> 8);
    MyDevDescr[11] = static_cast<uint8_t>(km_config.pid & 0xFF);
    ReportDescriptor_keyboard[kKeyboardCollectionByte] = km_config.kid;
    pthread_mutex_unlock(&mutex);
}

} // extern "C"

