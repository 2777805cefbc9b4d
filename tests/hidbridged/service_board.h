// hidbridged on the virtual board, in the test's process: the board with a keyboard and a
// mouse, the library started, the service on a socket of its own, and clients talking to it
// the way any program would. One board per process (the library's threads never stop).
#pragma once

#include "layout.h"
#include "service.h"

#include "board.h"

#include <chrono>
#include <string>
#include <vector>

namespace hbtest {

using namespace std::chrono_literals;

sim::Board &board();
// What start_service gives the service; a case may change it first.
hidbridged::ServiceOptions &service_options();
// Starts board, library and service; `ini` is the settings file's text ("" for none).
// setconfig() runs before km_init, as hidbridged does it. With `host` false the host stays
// off the cable and the service starts the library itself, as hidbridged does.
void start_service(const std::string &ini = "", bool host = true);
const std::string &socket_path();
const std::string &config_path();

// A connection to the service.
class Client {
public:
    Client();
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    bool connected() const { return fd_ >= 0; }
    void send_raw(std::string_view bytes);
    // Sends one line and waits for its reply (without newline); "<closed>" when the service
    // hung up, "<timeout>" after 10 s.
    std::string ask(const std::string &line);
    std::string reply();
    // True while no reply has come (nothing to read yet).
    bool waiting();
    void close();

private:
    int fd_ = -1;
    std::string in_;
};

// What the host typed: its keyboard reports from `from` on, through libxkbcommon with the
// layout's keymap ("de", "us(intl)"), Caps Lock on from the start when `caps`; `caps_after`:
// the host's Caps Lock at the end.
std::string host_typed(const char *layout, size_t from = 0, bool caps = false, bool *caps_after = nullptr);
size_t keyboard_reports();

} // namespace hbtest
