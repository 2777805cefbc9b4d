/* The smallest C application built against an installed copy of the library. */
#include <chipio.h>
#include <global.h>
#include <hidbridge.h>
#include <ini.h>
#include <lcd.h>
#include <netinfo.h>
#include <tarvo.h>
#include <usbfunc.h>

#include <stdio.h>

int main(void)
{
    km_config.vid = 0x1234;
    km_config.exist = 1;
    setconfig();
    if (MyDevDescr[8] != 0x12 || MyDevDescr[9] != 0x34 || km.configok != 0)
        return 1;
    char banner[41];
    km_version(banner);
    if (banner[39] != '\n')
        return 1;
    printf("hidbridge %s from C: ok\n", TARVO_VER);
    return Success;
}
