// The service around the library: a control socket for any language, and the status screen.
//
// The thread that calls run() owns the sockets: it reads lines, answers status, help and the
// queries itself, at once, and hands every command that sends a report to one worker thread.
// The worker takes the clients' commands in turn, one step each (a command, one stroke of a
// text, one key of a release), so that a host that does not poll or a long text costs its own
// client, not the others. Each client has one command with the worker at a time; its replies
// go out in the order of its lines.
//
// Whatever a client holds (keys and buttons pressed with `down`, keys it masked) is its own
// and goes with it when it disconnects or the service stops. A client that holds nothing may
// be dropped: after idle_limit without a line, or when a fifth client comes.
#pragma once

#include "command.h"
#include "config.h"
#include "layout.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace hidbridged {

using namespace std::chrono_literals;

constexpr int kMaxClients = 4;

struct ServiceOptions {
    Config config;
    // Keyboards and mice plugged into the board; empty: /dev/input/event0..4 that exist.
    std::function<int()> count_inputs;
    std::chrono::milliseconds status_period = 1000ms;
    // Starts the library (km_init) on the worker, so that the socket answers while no host
    // has configured the device yet; empty: the caller started it before run().
    std::function<int()> start_library;
    // A client that holds nothing is dropped after this long without a line.
    std::chrono::milliseconds idle_limit = 60s;
};

// Sends "READY=1" to systemd's $NOTIFY_SOCKET, when there is one. False when it could not.
bool notify_ready();

class Service {
public:
    explicit Service(ServiceOptions opts);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Creates the socket, mode 0660 with the configured group, in a folder of the service's
    // own that nobody else may write (made when missing). Only a socket is ever replaced, and
    // only a stale one. False with the reason on stderr.
    bool open_socket();
    // Serves clients and keeps the status screen current until stop(); then releases
    // everything clients held and removes the socket. True after stop(), false when the loop
    // failed (the reason on stderr).
    bool run();
    // Any thread, also a signal handler.
    void stop();

private:
    struct Holds {
        std::array<bool, 255> keys{};
        std::array<bool, 255> masks{};
        std::array<bool, 8> buttons{};
        bool any() const;
    };
    struct Client {
        int fd = -1;
        uid_t uid = 0;
        std::string partial;        // the line being received
        bool discarding = false;    // inside a line already too long
        bool eof = false;           // no more input: finish the queued lines, then close
        bool busy = false;          // one of its commands is with the worker
        bool leaving = false;       // gone; the worker still releases what it held
        std::chrono::steady_clock::time_point active; // last line or reply
        struct Line {
            std::string text;
            bool too_long = false; // refused: only its reply is left to send
        };
        std::deque<Line> lines;     // received, not yet executed
        std::shared_ptr<const Layout> layout; // for its type lines; null: layout_error says why
        std::string layout_error;
    };
    // What the worker does for one client. The flags are guarded by mutex_; the rest is
    // written by the main thread only while no flag is set, then by the worker alone.
    struct Job {
        bool queued = false;   // a command (or the leave) waits for the worker or is running
        bool done = false;     // the command's reply is ready for the main thread
        bool leave = false;    // the client is gone: end the command, release everything
        bool left = false;     // released: the slot is free again
        bool command = false;  // cmd is still to run (or to finish)
        Command cmd;
        std::string text;      // type's text, which cmd.text points into
        std::string reply;
        int result = 0;        // release: the first failure
        std::vector<Stroke> strokes; // type: planned, and the next one to send
        size_t next = 0;
        bool started = false;
        uint8_t mods = 0;      // type's Shift and AltGr now down
        std::string refusal;
        std::shared_ptr<const Layout> layout; // the client's, when the line came
        std::string layout_error;
        bool caps = false;     // the host's Caps Lock when the typing began
    };

    // Worker side.
    void worker();
    int next_job(); // a slot with something queued, in turn; -1: none
    bool step(int slot, Job &j, bool leave);
    std::string execute(int slot, const Command &c);
    bool type_step(Job &j, bool stop_now);
    std::string type_blocked(const Stroke &s, uint8_t own_mods) const;
    bool release_step(int slot, int &first_error);
    // After every report sent for a client: the input thread's forwarding gets the lock.
    void give_way() const;
    bool held_by_other(int slot, int code, bool key) const;
    bool held_by_any(int code) const;
    bool masked_by_any(int code) const;
    bool host_sees_physical(int code) const;
    void publish_holds(int slot);

    // Main thread side.
    void accept_client();
    void read_client(Client &c);
    void handle_line(int slot, Client::Line line);
    void leave(int slot, const char *why);
    bool reply(int slot, const std::string &r);
    void collect_replies();
    int drop_candidate() const;
    int idle_timeout_ms() const;
    std::string status_line(int slot);
    std::string set_layout(int slot, const Command &c);
    void status_loop();
    int inputs() const;
    bool ready() const { return ready_.load(); }

    ServiceOptions opts_;
    int listen_fd_ = -1;
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ready_{false};  // the library has started
    std::array<Client, kMaxClients> clients_;

    std::mutex mutex_;
    std::condition_variable work_;
    bool quit_ = false;               // guarded by mutex_: no more jobs will come
    std::array<Job, kMaxClients> jobs_;
    int turn_ = 0;                    // worker only: the slot to look at first
    // Worker only: the host's Caps Lock as the last typing that went through it left it, and
    // until when its LED reports may still be on their way.
    bool caps_left_ = false;
    std::chrono::steady_clock::time_point caps_settled_{};
    std::array<Holds, kMaxClients> holds_; // worker only
    std::array<std::atomic<bool>, kMaxClients> holding_{}; // holds_[i].any(), for the main thread
};

} // namespace hidbridged
