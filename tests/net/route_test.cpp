// Routing-table reading from prepared tables, MAC text, and queries of a missing interface.
#include "netinfo.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char *header =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

// Lines as a little-endian kernel writes them: 0101A8C0 is 192.168.1.1.
std::string route(const char *iface, const char *dest, const char *gw, const char *mask)
{
    return std::string(iface) + "\t" + dest + "\t" + gw + "\t0003\t0\t0\t0\t" + mask +
           "\t0\t0\t0\n";
}

int open_fds()
{
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

class RouteTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        snprintf(path_, sizeof path_, "/tmp/hb_route_%d_XXXXXX", getpid());
        int fd = mkstemp(path_);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    void TearDown() override { unlink(path_); }

    int read_table(const std::string &table, char *gateway)
    {
        FILE *f = fopen(path_, "w");
        fputs(table.c_str(), f);
        fclose(f);
        return get_route_gateway(path_, gateway);
    }

    char path_[64];
};

TEST_F(RouteTable, FirstDefaultRouteWinsWhateverItsInterface)
{
    char gw[20] = "";
    std::string table = std::string(header) + route("eth0", "0002000A", "00000000", "00FFFFFF") +
                        route("wlan0", "00000000", "0101A8C0", "00000000") +
                        route("eth0", "00000000", "FE01000A", "00000000");
    EXPECT_EQ(read_table(table, gw), 0);
    EXPECT_STREQ(gw, "192.168.1.1");

    // A host route through a gateway is not the default route.
    table = std::string(header) + route("eth0", "0A00000A", "FE01000A", "FFFFFFFF") +
            route("eth0", "00000000", "0102A8C0", "00000000");
    memset(gw, 0, sizeof gw);
    EXPECT_EQ(read_table(table, gw), 0);
    EXPECT_STREQ(gw, "192.168.2.1");
}

TEST_F(RouteTable, WithoutDefaultRouteGatewayStaysEmpty)
{
    char gw[20] = "";
    // Only the header, a link route, and a default route without a gateway (point to point).
    std::string table = std::string(header) + route("eth0", "0002000A", "00000000", "00FFFFFF") +
                        route("ppp0", "00000000", "00000000", "00000000");
    EXPECT_EQ(read_table(table, gw), 0);
    EXPECT_STREQ(gw, "");
    EXPECT_EQ(read_table(header, gw), 0);
    EXPECT_STREQ(gw, "");
    EXPECT_EQ(read_table("", gw), 0);
    EXPECT_STREQ(gw, "");

    EXPECT_EQ(get_route_gateway("/nonexistent/route", gw), -1);
}

TEST(MacText, SixBytesAsUpperCaseHexPairs)
{
    char out[20];
    memset(out, '#', sizeof out);
    const unsigned char a[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    mac_to_text(a, out);
    EXPECT_STREQ(out, "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(out[18], '#');  // nothing past the terminator

    const unsigned char b[6] = {0xFF, 0xA0, 0x0B, 0xC9, 0x90, 0xEF};
    mac_to_text(b, out);
    EXPECT_STREQ(out, "FF:A0:0B:C9:90:EF");
}

TEST(Interface, MissingInterfaceFailsEveryQuery)
{
    const int fds = open_fds();
    char mac[18] = "unchanged";
    EXPECT_EQ(get_if_mac("hbnone0", mac), -1);
    EXPECT_STREQ(mac, "unchanged");

    int link = 7;
    EXPECT_EQ(get_if_link("hbnone0", &link), -1);
    EXPECT_EQ(link, 0);

    if_info_t info;
    memset(&info, 'x', sizeof info);
    strcpy(info.name, "hbnone0");
    strcpy(info.mac, "kept");
    EXPECT_EQ(get_if_info(&info), -1);
    EXPECT_STREQ(info.ip, "");
    EXPECT_STREQ(info.netmask, "");
    EXPECT_STREQ(info.gateway, "");
    EXPECT_STREQ(info.mac, "kept");
    EXPECT_EQ(info.reserved, 'x');
    EXPECT_EQ(open_fds(), fds) << "a socket was left open";
}

}  // namespace
