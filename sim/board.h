// The virtual board: every model wired as on the real board, installed into the seam.
//   sim::Board board;            // models attached, backend installed, fast bring-up
//   board.chip.set_absent(true); // a test-only handle on each part
#pragma once

#include "ch374_model.h"
#include "event_devices.h"
#include "gpio_model.h"
#include "kernel.h"
#include "panel_model.h"
#include "usb_host.h"

namespace sim {

struct BoardOptions {
    // Bring-up sleeps (chip detach 400 ms, hub power cycle 2 s, panel reset) run this many
    // times faster, so an end-to-end test takes well under a second.
    unsigned sleep_divisor = 100;
};

class Board {
public:
    explicit Board(BoardOptions opts = {});
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    GpioModel gpio;
    Ch374Model chip;
    // The host computer on the chip's cable; idle until a test calls host.start().
    UsbHost host{chip};
    PanelModel panel{gpio};
    EventDevices events{gpio};

    // Builder-style set-up: board.plug_keyboard(0).plug_mouse(1). The model tells the two
    // apart only by the size of their readers' buffers, as the kernel sizes them.
    Board &plug_keyboard(int n)
    {
        events.set_buffer_size(n, EventDevices::kDefaultBufferSize);
        events.plug(n);
        return *this;
    }
    Board &plug_mouse(int n)
    {
        events.set_buffer_size(n, EventDevices::kMouseBufferSize);
        events.plug(n);
        return *this;
    }
};

} // namespace sim
