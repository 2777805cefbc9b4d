/* The USB HID device: descriptors, the CH374 device controller, report transmission and
 * the board's hub power and LED lines. */
#ifndef USBFUNC_H
#define USBFUNC_H

#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptors as the host reads them; setconfig() patches some bytes in place. */
extern uint8_t MyDevDescr[18];
extern uint8_t MyCfgDescr[66];
extern uint8_t MyLangDescr[4];
extern uint8_t MyManuInfo[14];
extern uint8_t MyProdInfo[12];
extern uint8_t ReportDescriptor_mouse[60];
extern uint8_t ReportDescriptor_keyboard[108];

/* Applies km_config to the descriptors when km_config.exist is set, under `mutex` (so not
 * while holding it). Hosts see the change at their next enumeration; call it before km_init()
 * or before a bus reset. */
void setconfig(void);

/* Device state shared by the controller and the senders. `mutex` guards every chip access
 * after start-up, the completion flags and the toggle flags; it is taken after
 * control_mutex, never before it. */
extern pthread_mutex_t mutex;
extern char ep1_tx_ok; /* the host took the last report armed on endpoint 1 */
extern char ep2_tx_ok;
extern uint8_t ep1_tx_tog; /* 0: the next report goes out as DATA0 */
extern uint8_t ep2_tx_tog;

/* Programs the chip for device mode; Enable non-zero attaches it to the bus. */
void Init374Device(char Enable);
/* Services one chip event. Device thread only. */
void USB_DeviceInterrupt(void);
/* The LEDs of the host's last keyboard output report (bit 0 Num Lock, 1 Caps Lock, 2 Scroll
 * Lock, 3 Compose, 4 Kana), 0 before it sent any. Any thread. */
uint8_t USB_GetHostLeds(void);
/* Takes the device off the bus (the host drops it and whatever it held) and tells anyone
 * waiting for a report. Without the device thread it opens the chip's link itself. 0, or
 * err_DeviceDisconnected when the chip cannot be reached. */
int USB_DeviceDetach(void);
/* Body of the device thread; returns only when bring-up or polling fails. */
void *thread_device_listen(void *arg);

/* Send one report and wait for the host to collect it: 0 collected, 1 not collected within
 * 100 ms (one already in the chip goes out when the host polls again; behind it only the
 * current state waits for a host away that long), err_DeviceDisconnected (-2) when the
 * device is not configured (nothing sent) or stops being so meanwhile. Reports handed over
 * earlier and not yet collected go first. */
int MouseSendReport(uint8_t button, uint16_t x, uint16_t y, uint8_t wheel);
/* media non-zero sends the consumer report for that key, else the 11 bytes of buff
 * (modifier byte and ten key slots) as the keyboard report. */
int KeyboardSendReport(uint8_t media, const uint8_t *buff);
/* sem_timedwait() with a deadline msecs from now on CLOCK_REALTIME. */
int sem_timedwait_millsecs(sem_t *sem, long msecs);

/* Power-cycles the board's USB hub (GPIO 47); takes about 2 s and leaves it on. */
void Hub_poweron(void);
/* Drives LED line 13 (led non-zero) or 14 to onoff. */
void KmLed(char led, char onoff);
/* Wall clock in milliseconds, wrapped to 32 bits. */
long GetUnixTime(void);

#ifdef __cplusplus
}
#endif

#endif
