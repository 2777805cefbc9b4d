// What the host parses: the descriptor set must be self-consistent, and the identity
// override must land in the bytes the host reads as idVendor/idProduct.
#include "global.h"
#include "usbfunc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct Desc {
    int type;
    std::vector<uint8_t> bytes;
};

std::vector<Desc> walk(const uint8_t *d, size_t n)
{
    std::vector<Desc> out;
    size_t at = 0;
    while (at < n) {
        EXPECT_GE(d[at], 2) << "at " << at;
        if (d[at] < 2)
            break;
        out.push_back({d[at + 1], std::vector<uint8_t>(d + at, d + std::min(n, at + d[at]))});
        at += d[at];
    }
    EXPECT_EQ(at, n) << "the bLength chain must end exactly at the end of the set";
    return out;
}

unsigned le16(const std::vector<uint8_t> &b, size_t at) { return b[at] | b[at + 1] << 8; }

} // namespace

TEST(Descriptors, ConfigurationSetIsConsistent)
{
    auto set = walk(MyCfgDescr, sizeof MyCfgDescr);
    std::vector<int> types;
    for (auto &d : set)
        types.push_back(d.type);
    EXPECT_EQ(types, (std::vector<int>{2, 4, 0x21, 5, 4, 0x21, 5, 5}));
    EXPECT_EQ(le16(set[0].bytes, 2), sizeof MyCfgDescr);
    EXPECT_EQ(set[0].bytes[4], 2) << "bNumInterfaces";
    EXPECT_EQ(le16(set[2].bytes, 7), sizeof ReportDescriptor_mouse);
    EXPECT_EQ(le16(set[5].bytes, 7), sizeof ReportDescriptor_keyboard);
    // Endpoints per interface agree with bNumEndpoints.
    EXPECT_EQ(set[1].bytes[4], 1);
    EXPECT_EQ(set[4].bytes[4], 2);
    EXPECT_EQ(set[3].bytes[2], 0x81);
    EXPECT_EQ(set[6].bytes[2], 0x82);
    EXPECT_EQ(set[7].bytes[2], 0x02);
    EXPECT_EQ(le16(set[3].bytes, 4), 8u);
    EXPECT_EQ(le16(set[6].bytes, 4), 16u);
}

TEST(Descriptors, DeviceAndStrings)
{
    EXPECT_EQ(MyDevDescr[0], sizeof MyDevDescr);
    EXPECT_EQ(MyDevDescr[7], 8) << "endpoint 0 packet size";
    EXPECT_EQ(MyDevDescr[8] | MyDevDescr[9] << 8, 0x4843) << "idVendor as the host reads it";
    EXPECT_EQ(MyDevDescr[10] | MyDevDescr[11] << 8, 0x0120) << "idProduct as the host reads it";
    EXPECT_EQ(MyLangDescr[0], sizeof MyLangDescr);
    EXPECT_EQ(MyLangDescr[2] | MyLangDescr[3] << 8, 0x0409);
    auto text = [](const uint8_t *d) {
        std::string s;
        for (int i = 2; i < d[0]; i += 2)
            s += static_cast<char>(d[i] | d[i + 1] << 8);
        return s;
    };
    EXPECT_EQ(MyManuInfo[0], sizeof MyManuInfo);
    EXPECT_EQ(text(MyManuInfo), "tarv0 ");
    EXPECT_EQ(MyProdInfo[0], sizeof MyProdInfo);
    EXPECT_EQ(text(MyProdInfo), "Rev 7");
}

// Report descriptors are item streams: every item's size prefix must land on the next item
// and the collections must close.
TEST(Descriptors, ReportDescriptorsParse)
{
    for (auto [d, n, reports] : {std::tuple{ReportDescriptor_mouse, sizeof ReportDescriptor_mouse, 0},
                                 std::tuple{ReportDescriptor_keyboard, sizeof ReportDescriptor_keyboard, 2}}) {
        size_t at = 0;
        int depth = 0, ids = 0, input_bits = 0, size = 0, count = 0;
        while (at < n) {
            uint8_t item = d[at];
            size_t len = (item & 3) == 3 ? 4 : (item & 3);
            ASSERT_LE(at + 1 + len, n);
            unsigned v = len ? d[at + 1] | (len > 1 ? d[at + 2] << 8 : 0) : 0;
            switch (item & 0xFC) {
            case 0xA0: ++depth; break;
            case 0xC0: --depth; break;
            case 0x84: ++ids; break;
            case 0x74: size = static_cast<int>(v); break;
            case 0x94: count = static_cast<int>(v); break;
            case 0x80: input_bits += size * count; break;
            }
            at += 1 + len;
        }
        EXPECT_EQ(depth, 0);
        EXPECT_EQ(ids, reports);
        if (reports == 0)
            EXPECT_EQ(input_bits, 6 * 8) << "the 6-byte mouse report";
        else
            EXPECT_EQ(input_bits, (11 + 1) * 8) << "keyboard 11 bytes and consumer 1 byte after their ids";
    }
}

TEST(Descriptors, SetconfigWritesTheOverrideHighByteFirst)
{
    std::vector<uint8_t> dev(MyDevDescr, MyDevDescr + 18), kbd(ReportDescriptor_keyboard, ReportDescriptor_keyboard + 108);

    km_config = {0x1234, 0xABCD, 7, 0};
    setconfig();
    EXPECT_EQ(std::vector<uint8_t>(MyDevDescr, MyDevDescr + 18), dev) << "no override without exist";
    EXPECT_EQ(std::vector<uint8_t>(ReportDescriptor_keyboard, ReportDescriptor_keyboard + 108), kbd);

    km_config = {0x1234, 0xABCD, 1, 1};
    setconfig();
    EXPECT_EQ(MyDevDescr[8], 0x12);
    EXPECT_EQ(MyDevDescr[9], 0x34);
    EXPECT_EQ(MyDevDescr[10], 0xAB);
    EXPECT_EQ(MyDevDescr[11], 0xCD);
    EXPECT_EQ(std::vector<uint8_t>(ReportDescriptor_keyboard, ReportDescriptor_keyboard + 108), kbd)
        << "kid 1 is the byte already there";
    km_config.kid = 9;
    setconfig();
    EXPECT_EQ(ReportDescriptor_keyboard[5], 9);
    EXPECT_EQ(ReportDescriptor_keyboard[4], 0xA1) << "only the collection's data byte changes";
    EXPECT_EQ(ReportDescriptor_keyboard[6], 0x85);
}
