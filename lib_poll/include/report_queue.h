/* Report transmission as the library's own callers use it: a report is handed over at once
 * and never waits for the bus; only a caller that wants the result waits, with no lock of
 * the core held. Internal to the library (not installed). */
#ifndef REPORT_QUEUE_H
#define REPORT_QUEUE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Queues a mouse report behind those not yet collected. Motion joins a waiting report with
 * the same buttons; what does not fit the report's range (X, Y -32767..32767, wheel
 * -127..127) goes into the next one; a change of buttons is always a report of its own.
 * Returns the ticket to wait for, or 0 when the device is not configured: then only the
 * buttons are kept, to go out once it is, and the motion is dropped. */
uint32_t MouseQueueReport(uint8_t button, int32_t x, int32_t y, int32_t wheel);
/* Queues a keyboard report (media 0: the 11 bytes of buff) or a consumer report (media
 * non-zero), never merged with another. Ticket or 0 as for the mouse. */
uint32_t KeyboardQueueReport(uint8_t media, const uint8_t *buff);
/* Waits until the host collected the report of `ticket` (and so every one before it):
 * 0 once it has; 1 when not within 100 ms from the call, when a newer state took its place,
 * or (keyboard) at once while the host has been away past that bound; err_DeviceDisconnected
 * when the host stops using the device meanwhile. Takes no lock of the core. */
int MouseWaitReport(uint32_t ticket);
int KeyboardWaitReport(uint32_t ticket);

#ifdef __cplusplus
}
#endif

#endif
