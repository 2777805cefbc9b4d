/* Link to the CH374 over spidev, register and buffer access, and sysfs GPIO helpers.
 * No lock of its own: after start-up every chip access is made under the device mutex. */
#ifndef CHIPIO_H
#define CHIPIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens and configures the SPI link. 1 if already open, 0 on success, -1..-7 on the
 * failing step (the descriptor then stays open until the next CH374U_SPI_init). */
int SPI_Open(void);
/* Closes the link if open. Always 0. */
int SPI_Close(void);
/* Closes, then opens the link again. 0 on success, -1 on failure. */
int CH374U_SPI_init(void);
/* One full-duplex frame of len bytes. The ioctl result: bytes transferred, or -1. */
int SPI_Transfer(const uint8_t *tx, uint8_t *rx, int len);

void Dev_Write374Byte(uint8_t addr, uint8_t data);
/* The byte read; 0 when the transfer failed, so a dead link reads as "nothing pending". */
uint8_t Dev_Read374Byte(uint8_t addr);
void Dev_Write374Block(uint8_t addr, uint8_t len, const uint8_t *src);
/* On a failed transfer dst is filled with zeros. */
void Dev_Read374Block(uint8_t addr, uint8_t len, uint8_t *dst);
/* 0 if the chip echoes a test byte within 11 attempts, -1 if not. Prints nothing. */
int Ch374U_DevCheck(void);

/* GPIO helpers: 0, or the negative open() result when the file cannot be opened. */
int gpio_export(unsigned int gpio);
int gpio_unexport(unsigned int gpio);
int gpio_set_direction(unsigned int gpio, const char *dir);
int gpio_set_value(unsigned int gpio, unsigned int value);
int gpio_set_edge(unsigned int gpio, const char *edge);
/* *value becomes 0 or 1; it is 1 (line idle, high) when the read fails. */
int gpio_get_value(unsigned int gpio, unsigned int *value);
/* Opens the line's value file with O_NONBLOCK added; the caller owns and closes it. */
int gpio_fd_open(unsigned int gpio, unsigned int flags);
/* GPIO 12, the chip's interrupt output: exported, input, falling edge. */
void interrupt_pin_init(void);

#ifdef __cplusplus
}
#endif

#endif
