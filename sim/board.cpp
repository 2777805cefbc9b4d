#include "board.h"

namespace sim {

Board::Board(BoardOptions opts) : chip(gpio)
{
    Kernel::instance().set_sleep_divisor(opts.sleep_divisor);
    Kernel::instance().install();
}

Board::~Board()
{
    // Library threads may still be running in this process: they keep the backend, and
    // the models are gone, so nothing of the board may be used after this.
    Kernel::instance().uninstall();
}

} // namespace sim
