// The shared control record and the core's state behind it. Applications write km's lock
// fields and media directly.
#include "core_state.h"

extern "C" {
km_control_t km;

pthread_mutex_t control_mutex = PTHREAD_MUTEX_INITIALIZER;

port_mouse_t port_mouse[Maxport];
port_mouse_t phys_mouse;
port_mouse_t composed_mouse;
uint8_t key_state[KEY_STATES];

uint8_t phys_keyboard_report[KEYBOARD_REPORT_SIZE];
uint8_t composed_keyboard_report[KEYBOARD_REPORT_SIZE];
uint8_t last_keyboard_report[KEYBOARD_REPORT_SIZE];

uint32_t mouse_ticket;
uint32_t keyboard_ticket;

unsigned control_state_resets;
}
