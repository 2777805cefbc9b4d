// The service around the library: a control socket for any language, and the status screen.
// km_init must have returned before run(): every command calls the control interface.
//
// Clients are served one command at a time, in turn, on the thread that calls run(); each
// command's reply goes out before the next command is taken. A client's keys and buttons
// pressed with `down` stay held until it sends `up`, `release`, or goes away.
#pragma once

#include "command.h"
#include "config.h"
#include "layout.h"

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace hidbridged {

using namespace std::chrono_literals;

constexpr int kMaxClients = 4;

struct ServiceOptions {
    Config config;
    // Keyboards and mice plugged into the board; empty: /dev/input/event0..4 that exist.
    std::function<int()> count_inputs;
    std::chrono::milliseconds status_period = 1000ms;
};

class Service {
public:
    explicit Service(ServiceOptions opts);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Creates the socket: its folder if missing, mode 0660, the configured group. A stale
    // socket file is replaced; one a running service answers on is not. False with the
    // reason on stderr.
    bool open_socket();
    // Serves clients and keeps the status screen current until stop(); then releases
    // everything clients held and removes the socket.
    void run();
    // Any thread, also a signal handler.
    void stop();

    // One command line for one client, as the socket does it: the reply without newline.
    // `client` is 0 .. kMaxClients - 1.
    std::string execute_line(int client, std::string_view line);

private:
    struct Holds {
        std::array<bool, 255> keys{};
        std::array<bool, 8> buttons{};
    };
    struct Client {
        int fd = -1;
        std::string partial;        // the line being received
        bool discarding = false;    // inside a line already too long
        bool eof = false;           // no more input: finish the queued lines, then close
        struct Line {
            std::string text;
            bool too_long = false; // refused: only its reply is left to send
        };
        std::deque<Line> lines;     // received, not yet executed
    };

    std::string execute(int client, const Command &c);
    std::string type_text(int client, std::string_view text);
    std::string release(int client);
    std::string status_line();
    // After every report sent for a client: the input thread's forwarding gets the lock.
    void give_way() const;
    void hold_key(int client, int code, bool held);
    void hold_button(int client, int bit, bool held);
    bool held_by_other(int client, int code, bool key) const;

    void accept_client();
    void read_client(Client &c);
    void drop_client(int slot);
    void status_loop();
    int inputs() const;

    ServiceOptions opts_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::array<Client, kMaxClients> clients_;
    std::array<Holds, kMaxClients> holds_;
};

} // namespace hidbridged
