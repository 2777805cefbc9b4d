/* Shared records of the library. Applications read and write km directly (locks, media),
 * so the field order of km_control_t is part of the binary interface: do not reorder. */
#ifndef GLOBAL_H
#define GLOBAL_H

#include <stdint.h>

#define TARVO_VER "1.0.0"

#define Maxport 5       /* input ports: /dev/input/event0 .. event4 */
#define ReportLength 10 /* key slots in a keyboard report */

/* Requested state of a key or button. */
#define IDEL 0 /* no request: the physical state passes */
#define DOWN 1 /* forced pressed until changed */
#define UP 2   /* forced released for one composition, then back to IDEL */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint8_t iskeyboardmask[255]; /* by HID usage: non-zero hides the physical key */
    uint8_t softKeyboard[255];   /* by HID usage: IDEL, DOWN or UP */
    uint8_t lock_ml;             /* non-zero hides the physical left button */
    uint8_t lock_mr;
    uint8_t lock_mm;
    uint8_t lock_s1;
    uint8_t lock_s2;
    uint8_t lock_s3;
    uint8_t lock_s4;
    uint8_t lock_s5;
    uint8_t lock_mx; /* non-zero discards physical X motion */
    uint8_t lock_my;
    uint8_t lock_mw;
    uint8_t left; /* requested button states: IDEL, DOWN or UP */
    uint8_t middle;
    uint8_t right;
    uint8_t side1;
    uint8_t side2;
    uint8_t side3;
    uint8_t side4;
    uint8_t side5;
    uint8_t button; /* buttons whose last request was a press, in report-bit order */
    int16_t x;      /* requested motion for the next mouse report */
    int16_t y;
    int16_t wheel;
    uint8_t media;    /* consumer key handed to the keyboard report; 0 = ordinary keys */
    uint8_t configok; /* 1 once the host uses the device; read it afresh every time */
    int16_t ptx;      /* stored for the application, read by nothing in the library */
    int16_t pty;
    int16_t limit_x;
    int16_t limit_y;
} km_control_t;

/* Device identity override, applied to the descriptors by setconfig(). */
typedef struct {
    uint16_t vid;
    uint16_t pid;
    uint8_t kid;   /* byte 5 of the keyboard report descriptor */
    uint8_t exist; /* non-zero: apply the override */
} km_config_t;

extern km_control_t km;
extern km_config_t km_config;

#ifdef __cplusplus
}
#endif

#endif
