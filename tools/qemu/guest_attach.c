// Guest side of the USB/IP import: asks the PC's bridge for bus id "1-1" over TCP and hands
// the connected socket to vhci-hcd through its sysfs attach file, as the usbip tool does.
// Usage: guest_attach HOST PORT BUSID
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define USBIP_VERSION 0x0111
#define OP_REQ_IMPORT 0x8003
#define OP_REP_IMPORT 0x0003
#define DEVICE_RECORD 312 // path 256, busid 32, busnum, devnum, speed, ids, classes
#define TIMEOUT_MS 5000

static int fail(const char *what)
{
    printf("HB-FAIL attach: %s: %s\n", what, strerror(errno));
    return 1;
}

static int recv_all(int fd, void *buf, size_t len)
{
    uint8_t *p = buf;
    while (len) {
        ssize_t n = recv(fd, p, len, 0);
        if (n <= 0) {
            if (n == 0)
                errno = ECONNRESET;
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

static uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s HOST PORT BUSID\n", argv[0]);
        return 2;
    }
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[2]))};
    if (inet_pton(AF_INET, argv[1], &sa.sin_addr) != 1)
        return fail("address");

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return fail("socket");
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) < 0 && errno != EINPROGRESS)
        return fail("connect");
    struct pollfd pfd = {.fd = fd, .events = POLLOUT};
    int err = 0;
    socklen_t el = sizeof err;
    if (poll(&pfd, 1, TIMEOUT_MS) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) < 0 || err) {
        errno = err ? err : ETIMEDOUT;
        return fail("connect");
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct timeval tv = {.tv_sec = TIMEOUT_MS / 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);

    uint8_t req[40] = {USBIP_VERSION >> 8, USBIP_VERSION & 0xFF, OP_REQ_IMPORT >> 8, OP_REQ_IMPORT & 0xFF};
    strncpy((char *)req + 8, argv[3], 31);
    if (send(fd, req, sizeof req, 0) != (ssize_t)sizeof req)
        return fail("send import");

    uint8_t rep[8 + DEVICE_RECORD];
    if (recv_all(fd, rep, 8) < 0)
        return fail("reply");
    if ((rep[2] << 8 | rep[3]) != OP_REP_IMPORT || be32(rep + 4) != 0) {
        printf("HB-FAIL attach: import refused (code %02x%02x status %u)\n", rep[2], rep[3], be32(rep + 4));
        return 1;
    }
    if (recv_all(fd, rep + 8, DEVICE_RECORD) < 0)
        return fail("device record");
    const uint8_t *dev = rep + 8;
    uint32_t busnum = be32(dev + 288), devnum = be32(dev + 292), speed = be32(dev + 296);
    uint32_t devid = busnum << 16 | devnum;

    // The time-outs were for the handshake only. vhci-hcd's receive thread inherits them and
    // takes one with an URB pending for a dead connection: a keyboard left alone for 5 s
    // would be disconnected.
    struct timeval none = {0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);

    // Port 0 of the first controller's USB 2 hub takes low, full and high speed devices.
    char line[64];
    int n = snprintf(line, sizeof line, "0 %d %u %u\n", fd, devid, speed);
    int af = open("/sys/devices/platform/vhci_hcd.0/attach", O_WRONLY);
    if (af < 0)
        return fail("open attach");
    if (write(af, line, (size_t)n) != n)
        return fail("write attach");
    close(af);
    printf("HB-ATTACHED busid=%s devid=%08x speed=%u vid=%02x%02x pid=%02x%02x\n", dev + 256, devid, speed,
           dev[300], dev[301], dev[302], dev[303]);
    // The kernel holds its own reference to the socket now.
    close(fd);
    return 0;
}
