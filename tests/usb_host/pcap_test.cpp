#include "host_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <unistd.h>

using namespace reftest;
using namespace std::chrono_literals;

namespace {

struct Record {
    uint64_t id;
    char type;
    uint8_t xfer, epnum, devnum;
    uint16_t bus;
    uint8_t flag_setup, flag_data;
    int32_t status;
    uint32_t length, len_cap;
    std::array<uint8_t, 8> setup;
    std::vector<uint8_t> data;
};

template <class T>
T le(const uint8_t *p)
{
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        v |= T(T(p[i]) << (8 * i));
    return v;
}

// Reads a capture back; fails the test on anything but the layout a usbmon capture has.
std::vector<Record> read_capture(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<Record> out;
    EXPECT_GE(b.size(), 24u);
    if (b.size() < 24)
        return out;
    EXPECT_EQ(le<uint32_t>(&b[0]), 0xA1B2C3D4u);
    EXPECT_EQ(le<uint16_t>(&b[4]), 2);
    EXPECT_EQ(le<uint16_t>(&b[6]), 4);
    EXPECT_EQ(le<uint32_t>(&b[20]), 220u);
    for (size_t at = 24; at < b.size();) {
        if (at + 16 + 64 > b.size()) {
            ADD_FAILURE() << "record cut off at " << at;
            break;
        }
        uint32_t incl = le<uint32_t>(&b[at + 8]), orig = le<uint32_t>(&b[at + 12]);
        EXPECT_EQ(incl, orig);
        const uint8_t *h = &b[at + 16];
        Record r;
        r.id = le<uint64_t>(h);
        r.type = char(h[8]);
        r.xfer = h[9];
        r.epnum = h[10];
        r.devnum = h[11];
        r.bus = le<uint16_t>(h + 12);
        r.flag_setup = h[14];
        r.flag_data = h[15];
        r.status = int32_t(le<uint32_t>(h + 28));
        r.length = le<uint32_t>(h + 32);
        r.len_cap = le<uint32_t>(h + 36);
        std::copy(h + 40, h + 48, r.setup.begin());
        EXPECT_EQ(incl, 64 + r.len_cap);
        r.data.assign(h + 64, h + 64 + r.len_cap);
        out.push_back(r);
        at += 16 + incl;
    }
    return out;
}

std::string capture_path(const char *name)
{
    return ::testing::TempDir() + name + std::to_string(getpid()) + ".pcap";
}

// Enumerates, sends a mouse, a keyboard and a consumer report, and one refused request.
std::vector<sim::Report> make_capture(const std::string &path)
{
    auto o = quick();
    o.capture_path = path;
    Rig rig(o);
    rig.host.start();
    EXPECT_TRUE(rig.host.wait_configured(2s));
    rig.dev.queue_report(0x81, mouse(0x01, -1, 1, -1));
    rig.dev.queue_report(0x82, keyboard(0x02, {0x04}));
    rig.dev.queue_report(0x82, {0x02, 0x04});
    EXPECT_TRUE(rig.host.wait_reports(0, 3, 1s));
    EXPECT_TRUE(rig.host.control(sim::Setup::get_descriptor(sim::usb::DescQualifier, 0, 10)).stalled());
    rig.host.stop();
    return rig.host.reports();
}

} // namespace

TEST(UsbmonCapture, LayoutAndPairing)
{
    const std::string path = capture_path("layout");
    auto reports = make_capture(path);
    auto recs = read_capture(path);
    ASSERT_FALSE(recs.empty());

    // Each submission is completed once, later, by a record with the same id and endpoint.
    std::map<uint64_t, const Record *> open;
    std::map<uint64_t, int> seen;
    for (auto &r : recs) {
        ASSERT_TRUE(r.type == 'S' || r.type == 'C') << r.type;
        EXPECT_EQ(r.bus, 1);
        if (r.type == 'S') {
            EXPECT_EQ(++seen[r.id], 1) << "URB id used twice";
            EXPECT_EQ(r.status, -EINPROGRESS);
            open[r.id] = &r;
            EXPECT_EQ(r.flag_setup, r.xfer == 2 ? 0 : '-');
        } else {
            auto it = open.find(r.id);
            ASSERT_NE(it, open.end()) << "completion without submission";
            EXPECT_EQ(it->second->epnum, r.epnum);
            EXPECT_EQ(it->second->devnum, r.devnum);
            EXPECT_EQ(it->second->xfer, r.xfer);
            EXPECT_EQ(r.flag_setup, '-');
            open.erase(it);
        }
    }
    for (auto &kv : open)
        EXPECT_EQ(kv.second->xfer, 1) << "only the interrupt IN URBs still waiting may stay open";

    // The configuration and both report descriptors come before the first interrupt data, on
    // the bus and device address the data comes from.
    const Record *config = nullptr, *first_data = nullptr;
    std::map<uint16_t, const Record *> report_desc;
    const Record *refused = nullptr;
    std::map<uint64_t, const Record *> submissions;
    for (auto &r : recs) {
        if (r.type == 'S')
            submissions[r.id] = &r;
        if (r.type != 'C')
            continue;
        const Record *s = submissions[r.id];
        if (r.xfer == 2 && s->setup[1] == 0x06 && s->setup[3] == 0x02 && r.data.size() == kConfig.size() && !config)
            config = &r;
        if (r.xfer == 2 && s->setup[1] == 0x06 && s->setup[3] == 0x22)
            report_desc[s->setup[4]] = &r;
        if (r.xfer == 1 && (r.epnum & 0x80) && !r.data.empty() && !first_data)
            first_data = &r;
        if (r.xfer == 2 && s->setup[3] == 0x06)
            refused = &r;
    }
    ASSERT_NE(config, nullptr);
    ASSERT_NE(first_data, nullptr);
    ASSERT_EQ(report_desc.size(), 2u);
    EXPECT_LT(config, first_data);
    EXPECT_EQ(config->data, kConfig);
    EXPECT_EQ(report_desc[0]->data, kMouseReport);
    EXPECT_EQ(report_desc[1]->data, kKeyboardReport);
    for (auto *r : {config, report_desc[0], report_desc[1]}) {
        EXPECT_LT(r, first_data);
        EXPECT_EQ(r->devnum, first_data->devnum);
        EXPECT_EQ(r->bus, first_data->bus);
    }
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->status, -EPIPE) << "a stalled request completes with -EPIPE";

    // The interrupt completions carry the reports the host took, in order.
    std::vector<std::vector<uint8_t>> data;
    for (auto &r : recs)
        if (r.type == 'C' && r.xfer == 1 && (r.epnum & 0x80) && r.status == 0)
            data.push_back(r.data);
    ASSERT_EQ(data.size(), reports.size());
    for (size_t i = 0; i < data.size(); ++i)
        EXPECT_EQ(data[i], reports[i].bytes);
    std::remove(path.c_str());
}

TEST(UsbmonCapture, TsharkDissectsIt)
{
    if (std::system("command -v tshark > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed: the capture is not checked against Wireshark's dissectors";
    const std::string path = capture_path("tshark");
    make_capture(path);
    auto run = [](const std::string &cmd) {
        std::string out;
        FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r");
        if (!p)
            return out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        EXPECT_EQ(pclose(p), 0) << cmd;
        return out;
    };
    std::string v = run("tshark -r " + path + " -V");
    for (const char *want : {"CONFIGURATION DESCRIPTOR", "INTERFACE DESCRIPTOR (1.0): class HID", "HID DESCRIPTOR",
                             "ENDPOINT DESCRIPTOR", "HID Report", "Usage Page (Consumer)", "HID Data: 01ffff0100ff"})
        EXPECT_NE(v.find(want), std::string::npos) << want;

    // Fields: the endpoints of the configuration, the report ids of the keyboard's report
    // descriptor, and the mouse report decoded through the mouse's report descriptor.
    std::string f = run("tshark -r " + path +
                        " -T fields -e usb.bEndpointAddress -e usbhid.descriptor.hid.wDescriptorLength"
                        " -e usbhid.item.global.report_id -e usbhid.data.axis.x -e usbhid.data.axis.y");
    EXPECT_NE(f.find("0x81,0x82,0x02\t60,108"), std::string::npos) << f;
    EXPECT_NE(f.find("0x01,0x02"), std::string::npos);
    EXPECT_NE(f.find("\t-1\t1"), std::string::npos) << "mouse X -1, Y 1";
    std::remove(path.c_str());
}
