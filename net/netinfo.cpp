#include "netinfo.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

// Applications built against older headers rely on this layout.
static_assert(offsetof(if_info_t, name) == 1);
static_assert(offsetof(if_info_t, ip) == 9);
static_assert(offsetof(if_info_t, netmask) == 29);
static_assert(offsetof(if_info_t, gateway) == 49);
static_assert(offsetof(if_info_t, mac) == 69);

namespace {

constexpr size_t addr_text_max = 16;  // "255.255.255.255" and its zero
constexpr size_t route_line_max = 512;
constexpr const char *route_table = "/proc/net/route";

// Zeroes the request and puts at most IFNAMSIZ-1 characters of the name into it.
void set_request_name(struct ifreq *ifr, const char *name, size_t limit)
{
    memset(ifr, 0, sizeof *ifr);
    size_t n = strnlen(name, limit);
    if (n > IFNAMSIZ - 1)
        n = IFNAMSIZ - 1;
    memcpy(ifr->ifr_name, name, n);
}

// One IPv4 address query on the open socket, written as dotted quad into out.
int query_addr(int fd, unsigned long request, const char *name, size_t limit, char *out)
{
    struct ifreq ifr;
    set_request_name(&ifr, name, limit);
    ifr.ifr_addr.sa_family = AF_INET;
    if (ioctl(fd, request, &ifr) < 0)
        return -1;
    struct sockaddr_in sin;
    memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    inet_ntop(AF_INET, &sin.sin_addr, out, addr_text_max);
    return 0;
}

}  // namespace

extern "C" void mac_to_text(const unsigned char *bytes, char *out)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 6; i++) {
        out[3 * i] = digits[bytes[i] >> 4];
        out[3 * i + 1] = digits[bytes[i] & 0x0F];
        out[3 * i + 2] = ':';
    }
    out[17] = '\0';
}

extern "C" int get_if_mac(const char *ifname, char *out)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    struct ifreq ifr;
    set_request_name(&ifr, ifname, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
        close(fd);
        return -1;
    }
    unsigned char hw[6];
    memcpy(hw, ifr.ifr_hwaddr.sa_data, sizeof hw);
    close(fd);
    mac_to_text(hw, out);
    return 0;
}

extern "C" int get_if_link(const char *ifname, int *link)
{
    struct ethtool_value ev;
    ev.cmd = ETHTOOL_GLINK;
    ev.data = 0;
    struct ifreq ifr;
    set_request_name(&ifr, ifname, IFNAMSIZ - 1);
    ifr.ifr_data = reinterpret_cast<char *>(&ev);
    *link = 0;

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    if (ioctl(fd, SIOCETHTOOL, &ifr) < 0) {
        close(fd);
        return -1;
    }
    close(fd);
    *link = static_cast<int>(ev.data);
    return 0;
}

extern "C" int get_route_gateway(const char *path, char *gateway)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char line[route_line_max];
    while (fgets(line, sizeof line, f)) {
        unsigned int dest = 0;
        unsigned int gw = 0;
        sscanf(line, "%*s%x%x", &dest, &gw);
        if (dest == 0 && gw != 0) {
            // The kernel prints the address as the number it keeps in network byte order.
            struct in_addr a;
            a.s_addr = gw;
            inet_ntop(AF_INET, &a, gateway, addr_text_max);
            break;
        }
    }
    fclose(f);
    return 0;
}

extern "C" int get_if_info(if_info_t *info)
{
    memset(info->ip, 0, sizeof info->ip);
    memset(info->netmask, 0, sizeof info->netmask);
    memset(info->gateway, 0, sizeof info->gateway);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    if (query_addr(fd, SIOCGIFADDR, info->name, sizeof info->name, info->ip) < 0 ||
        query_addr(fd, SIOCGIFNETMASK, info->name, sizeof info->name, info->netmask) < 0) {
        close(fd);
        return -1;
    }
    close(fd);

    if (get_route_gateway(route_table, info->gateway) < 0)
        return -1;
    get_if_mac(info->name, info->mac);  // a board without one still has an address
    return 0;
}

extern "C" int get_eth0_ip(char *out)
{
    if_info_t info;
    memset(&info, 0, sizeof info);
    snprintf(info.name, sizeof info.name, "eth%d", 0);

    int link = 0;
    // A driver that does not answer ethtool requests says nothing about the link: go on.
    if (get_if_link(info.name, &link) == 0 && link == 0)
        return -1;

    if (get_if_info(&info) < 0) {
        printf("BSPGetIfAddr %s err\r\n", info.name);
        return -1;
    }
    memcpy(out, info.ip, strlen(info.ip) + 1);
    return 0;
}
