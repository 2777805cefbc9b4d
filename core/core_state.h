/* The input merging core: the state behind km, the two report compositions and the input
 * thread. Internal to the library; the control operations and start-up include it.
 * Everything here is guarded by control_mutex unless its line says otherwise. */
#ifndef CORE_STATE_H
#define CORE_STATE_H

#include <pthread.h>
#include <stdint.h>

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Modifier byte and the key slots. */
#define KEYBOARD_REPORT_SIZE (1 + ReportLength)
/* Linux key codes 0 .. 254 and HID usages 0 .. 254. */
#define KEY_STATES 255

/* Mouse input of one port: button bits (0x01 left, 0x02 right, 0x04 middle) held as level
 * state, and the motion per axis summed since the last mouse composition. */
typedef struct {
    int32_t button;
    int32_t x;
    int32_t y;
    int32_t wheel;
} port_mouse_t;

/* v limited to the int32_t range: motion totals saturate rather than overflow. */
static inline int32_t clamp32(int64_t v)
{
    return (int32_t)(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

/* Guards km (but configok, ptx, pty, limit_x, limit_y) and everything below. Taken before
 * the device module's mutex, never after it. Start-up initialises it again; it is usable
 * from program start. */
extern pthread_mutex_t control_mutex;

extern port_mouse_t port_mouse[Maxport]; /* by event device number */
extern port_mouse_t phys_mouse;          /* merged physical input of the last mouse composition */
extern port_mouse_t composed_mouse;      /* the values of the last mouse report */

/* By Linux key code: 0 released, 1 pressed, 2 auto-repeat. Written under control_mutex as
 * whole bytes; the key query reads single cells without it. */
extern uint8_t key_state[KEY_STATES];

extern uint8_t phys_keyboard_report[KEYBOARD_REPORT_SIZE];
extern uint8_t composed_keyboard_report[KEYBOARD_REPORT_SIZE];
extern uint8_t last_keyboard_report[KEYBOARD_REPORT_SIZE]; /* last one handed to the sender */

/* The report the last composition queued (0: none, or not configured). A control operation
 * waits for it once it has let go of control_mutex. */
extern uint32_t mouse_ticket;
extern uint32_t keyboard_ticket;

/* HID keyboard usage to Linux key code, 0 where the usage has none. Read-only. */
extern const uint8_t hid_to_linux_keycode[KEY_STATES];

/* The lowest HID usage whose key code is `code`, or 0. Any thread, no lock. */
int hid_usage_from_keycode(int code);

/* Merge the ports, apply locks and requests and queue a mouse report (never waits): 0, or
 * -2 when the device is not configured (the buttons are kept for when it is, the motion is
 * dropped). Nothing is queued with force 0 and no physical input. Sets mouse_ticket.
 * Requested motion and UP requests are consumed whatever the result. control_mutex held. */
int compose_mouse_report(int force);
/* Second stage of compose_mouse_report: locks and requests over phys_mouse. */
int merge_mouse_requests(int force);

/* Build the keyboard report from key_state, merge masks and requests and queue it when it
 * differs from the last one handed over or force is set. Results as for the mouse; sets
 * keyboard_ticket. control_mutex held. */
int compose_keyboard_report(int force);
/* Second stage of compose_keyboard_report: masks and requests over phys_keyboard_report. */
int merge_keyboard_requests(int force);

/* The input thread. Ignores its argument; returns (void *)-1 only when poll fails. */
void *input_listener_thread(void *arg);
/* Non-zero when /dev/input/event<port> exists. */
int input_device_exists(int port);
/* How many of event0 .. event4 exist. */
int count_input_devices(void);
/* Opens every existing event device; returns how many existed (opened or not). Input
 * thread only. */
int open_input_devices(void);
/* Closes every opened event device; returns how many were closed. Input thread only. */
int close_input_devices(void);
/* Applies one event of port to the core's state; takes control_mutex. Relative motion adds
 * up until the next mouse composition. */
void handle_input_event(int port, uint16_t type, uint16_t code, int32_t value);
/* Clears km and the core's state, sets configok to 1 and sends an all-released mouse and
 * keyboard report. Takes control_mutex: never call it with the mutex held. */
void reset_control_state(void);
/* Clearings of the control state completed so far: start-up can wait for the first one.
 * Written by the input thread; read it with an atomic load. */
extern unsigned control_state_resets;

#ifdef __cplusplus
}
#endif

#endif
