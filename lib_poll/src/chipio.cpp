// SPI link to the CH374 and sysfs GPIO helpers. Every kernel call goes through the seam.
#include "chipio.h"

#include "CH374INC.H"
#include "sysio.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/spi/spidev.h>

namespace {

const char *device = "/dev/spidev0.0";
uint8_t mode = 0;           // SPI mode 0
uint8_t bits = 8;
uint32_t speed = 32000000;  // 32 MHz
uint16_t delay = 0;
int g_SPI_Fd = 0;           // 0: link closed

constexpr unsigned gpio_pin = 12; // the chip's interrupt output, active low
#define SYSFS_GPIO_DIR "/sys/class/gpio"
constexpr size_t MAX_BUF = 128;
constexpr size_t kFrame = 256; // both buffers of every access, on the stack
constexpr int kCheckAttempts = 11;

// Opens, writes len bytes once and closes. The write's result is not looked at: sysfs
// refuses some writes that are harmless here (exporting an exported line).
int write_file(const char *path, const void *data, size_t len)
{
    int fd = sys_open(path, O_WRONLY);
    if (fd < 0)
        return fd;
    (void)sys_write(fd, data, len);
    sys_close(fd);
    return 0;
}

int write_line_attr(unsigned gpio, const char *attr, const void *data, size_t len)
{
    char path[MAX_BUF];
    snprintf(path, sizeof path, SYSFS_GPIO_DIR "/gpio%d/%s", gpio, attr);
    return write_file(path, data, len);
}

int write_number(const char *path, unsigned gpio)
{
    char buf[MAX_BUF];
    int len = snprintf(buf, sizeof buf, "%d", gpio);
    return write_file(path, buf, static_cast<size_t>(len));
}

} // namespace

extern "C" {

int SPI_Open(void)
{
    if (g_SPI_Fd != 0)
        return 1;
    int fd = sys_open(device, O_RDWR);
    if (fd < 0) {
        puts("can't open device");
        return -1;
    }
    g_SPI_Fd = fd;

    struct Step {
        unsigned long request;
        void *arg;
        const char *message;
    };
    const Step steps[] = {
        {SPI_IOC_WR_MODE, &mode, "can't set spi mode"},
        {SPI_IOC_RD_MODE, &mode, "can't get spi mode"},
        {SPI_IOC_WR_BITS_PER_WORD, &bits, "can't set bits per word"},
        {SPI_IOC_RD_BITS_PER_WORD, &bits, "can't get bits per word"},
        {SPI_IOC_WR_MAX_SPEED_HZ, &speed, "can't set max speed hz"},
        {SPI_IOC_RD_MAX_SPEED_HZ, &speed, "can't get max speed hz"},
    };
    int ret = 0;
    for (int i = 0; i < 6; ++i) {
        ret = sys_ioctl(g_SPI_Fd, steps[i].request, steps[i].arg);
        if (ret == -1) {
            puts(steps[i].message);
            return -2 - i; // the descriptor stays open until the next CH374U_SPI_init
        }
    }
    printf("spi mode: %d\n", mode);
    printf("bits per word: %d\n", bits);
    printf("max speed: %d KHz (%d MHz)\n", static_cast<int>(speed / 1000), static_cast<int>(speed / 1000000));
    return ret;
}

int SPI_Close(void)
{
    if (g_SPI_Fd != 0) {
        sys_close(g_SPI_Fd);
        g_SPI_Fd = 0;
    }
    return 0;
}

int CH374U_SPI_init(void)
{
    SPI_Close();
    if (SPI_Open() < 0) {
        puts("open spi dev err!");
        return -1;
    }
    return 0;
}

int SPI_Transfer(const uint8_t *tx, uint8_t *rx, int len)
{
    struct spi_ioc_transfer tr;
    memset(&tr, 0, sizeof tr);
    tr.tx_buf = reinterpret_cast<uintptr_t>(tx);
    tr.rx_buf = reinterpret_cast<uintptr_t>(rx);
    tr.len = static_cast<uint32_t>(len);
    tr.speed_hz = speed;
    tr.delay_usecs = delay;
    tr.bits_per_word = bits;
    int ret = sys_ioctl(g_SPI_Fd, SPI_IOC_MESSAGE(1), &tr);
    if (ret < 1)
        puts("can't send spi message");
    return ret;
}

void Dev_Write374Byte(uint8_t addr, uint8_t data)
{
    uint8_t tx[kFrame] = {addr, CMD_SPI_374WRITE, data};
    uint8_t rx[kFrame];
    SPI_Transfer(tx, rx, 3);
}

uint8_t Dev_Read374Byte(uint8_t addr)
{
    uint8_t tx[kFrame] = {addr, CMD_SPI_374READ, 0};
    uint8_t rx[kFrame];
    if (SPI_Transfer(tx, rx, 3) < 1)
        return 0;
    return rx[2];
}

void Dev_Write374Block(uint8_t addr, uint8_t len, const uint8_t *src)
{
    uint8_t tx[kFrame] = {addr, CMD_SPI_374WRITE};
    uint8_t rx[kFrame];
    size_t n = len > kFrame - 2 ? kFrame - 2 : len;
    if (n)
        memcpy(tx + 2, src, n);
    SPI_Transfer(tx, rx, static_cast<int>(n + 2));
}

void Dev_Read374Block(uint8_t addr, uint8_t len, uint8_t *dst)
{
    uint8_t tx[kFrame] = {addr, CMD_SPI_374READ};
    uint8_t rx[kFrame];
    size_t n = len > kFrame - 2 ? kFrame - 2 : len;
    if (SPI_Transfer(tx, rx, static_cast<int>(n + 2)) < 1) {
        memset(dst, 0, n);
        return;
    }
    if (n)
        memcpy(dst, rx + 2, n);
}

int Ch374U_DevCheck(void)
{
    for (int i = 0; i < kCheckAttempts; ++i) {
        Dev_Write374Byte(RAM_ENDP2_TRAN, 0x55);
        if (Dev_Read374Byte(RAM_ENDP2_TRAN) == 0x55)
            return 0;
    }
    return -1;
}

int gpio_export(unsigned int gpio) { return write_number(SYSFS_GPIO_DIR "/export", gpio); }

int gpio_unexport(unsigned int gpio) { return write_number(SYSFS_GPIO_DIR "/unexport", gpio); }

int gpio_set_direction(unsigned int gpio, const char *dir)
{
    return write_line_attr(gpio, "direction", dir, strlen(dir) + 1);
}

int gpio_set_value(unsigned int gpio, unsigned int value)
{
    return write_line_attr(gpio, "value", value ? "1" : "0", 2);
}

int gpio_set_edge(unsigned int gpio, const char *edge)
{
    return write_line_attr(gpio, "edge", edge, strlen(edge) + 1);
}

int gpio_get_value(unsigned int gpio, unsigned int *value)
{
    char path[MAX_BUF];
    snprintf(path, sizeof path, SYSFS_GPIO_DIR "/gpio%d/value", gpio);
    int fd = sys_open(path, O_RDONLY);
    if (fd < 0)
        return fd;
    char ch = '1'; // a failed read reads as the idle (high) level
    (void)sys_read(fd, &ch, 1);
    *value = ch == '0' ? 0 : 1;
    sys_close(fd);
    return 0;
}

int gpio_fd_open(unsigned int gpio, unsigned int flags)
{
    char path[MAX_BUF];
    snprintf(path, sizeof path, SYSFS_GPIO_DIR "/gpio%d/value", gpio);
    return sys_open(path, static_cast<int>(flags | O_NONBLOCK));
}

void interrupt_pin_init(void)
{
    gpio_export(gpio_pin);
    gpio_set_direction(gpio_pin, "in");
    gpio_set_edge(gpio_pin, "falling");
    puts("Set interrupt pin ok");
}

} // extern "C"
