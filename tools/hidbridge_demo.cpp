// The library on the virtual board, on a PC with no hardware: brings up the link to the
// (virtual) CH374 the way the device thread does and shows what the board saw.
#include "chipio.h"
#include "usbfunc.h"

#include "board.h"

#include <cstdio>

int main()
{
    sim::Board board;
    std::printf("virtual board up: CH374 on %s, interrupt on GPIO %d\n", sim::Ch374Model::kPath,
                sim::Ch374Model::kIrqLine);
    interrupt_pin_init();
    if (CH374U_SPI_init() != 0 || Ch374U_DevCheck() != 0) {
        std::puts("demo: the chip did not answer");
        return 1;
    }
    std::printf("chip answered; SPI at %u Hz, mode %d, %d bits per word\n", board.chip.speed(),
                board.chip.mode(), board.chip.bits());
    std::printf("device descriptor: idVendor %04x idProduct %04x, configuration set of %zu bytes\n",
                MyDevDescr[8] | MyDevDescr[9] << 8, MyDevDescr[10] | MyDevDescr[11] << 8, sizeof MyCfgDescr);
    std::printf("GPIO 12: exported %d, direction %s, edge %s\n", board.gpio.exported(12),
                board.gpio.direction(12).c_str(), board.gpio.edge(12).c_str());
    SPI_Close();
    return 0;
}
