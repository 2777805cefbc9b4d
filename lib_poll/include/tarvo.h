/* Results of the library's operations. Report transmission also returns 1 when the host
 * did not collect a report within 100 ms; no operation returns err_sendtimeout. */
#ifndef TARVO_H
#define TARVO_H

enum {
    Success = 0,
    err_sendtimeout = -1,
    err_DeviceDisconnected = -2,
    err_parament = -3,
};

#endif
