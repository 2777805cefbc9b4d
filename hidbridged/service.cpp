#include "service.h"
#include "status_screen.h"

#include "hidbridge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace hidbridged {

namespace {

constexpr uint8_t kUsageLeftShift = 0xE1, kUsageRightAlt = 0xE6;
// Lines a client may have waiting; beyond that its socket is not read until they are done,
// so a client that floods only slows itself.
constexpr size_t kMaxQueued = 64;
// A pause after each report sent for a client. The control lock is handed over only between
// two operations, and a report waits for the next 1 ms frame anyway: this is enough for the
// input thread, woken by the unlock, to take the lock first, and costs no frame.
constexpr auto kGiveWay = std::chrono::microseconds(100);

int (*const kButtonOps[8])(int) = {km_left, km_right, km_middle, km_side1, km_side2, km_side3, km_side4, km_side5};
int (*const kButtonQueries[8])() = {km_query_left,  km_query_right, km_query_middle, km_query_side1,
                                    km_query_side2, km_query_side3, km_query_side4,  km_query_side5};

// The reply for a control-interface result.
std::string reply(int result)
{
    switch (result) {
    case Success:
        return "ok";
    case 1:
        return "err host did not collect the report within 100 ms";
    case err_DeviceDisconnected:
        return "err host has not configured the device";
    case err_parament:
        return "err key code out of range";
    default:
        return "err result " + std::to_string(result);
    }
}

int count_event_devices()
{
    int n = 0;
    for (int i = 0; i < Maxport; ++i) {
        char path[32];
        snprintf(path, sizeof path, "/dev/input/event%d", i);
        n += access(path, F_OK) == 0;
    }
    return n;
}

bool send_all(int fd, const std::string &s)
{
    size_t at = 0;
    while (at < s.size()) {
        ssize_t n = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // a client that does not read its replies is dropped
        at += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

Service::Service(ServiceOptions opts) : opts_(std::move(opts))
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;
    if (!opts_.count_inputs)
        opts_.count_inputs = count_event_devices;
}

Service::~Service()
{
    for (int fd : {listen_fd_, wake_[0], wake_[1]})
        if (fd >= 0)
            close(fd);
}

int Service::inputs() const { return opts_.count_inputs(); }

bool Service::open_socket()
{
    const std::string &path = opts_.config.socket;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "hidbridged: socket path too long: %s\n", path.c_str());
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty() && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "hidbridged: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    gid_t gid = static_cast<gid_t>(-1);
    if (!opts_.config.group.empty()) {
        const group *g = getgrnam(opts_.config.group.c_str());
        if (!g) {
            fprintf(stderr, "hidbridged: no group %s for %s\n", opts_.config.group.c_str(), path.c_str());
            return false;
        }
        gid = g->gr_gid;
    }

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        fprintf(stderr, "hidbridged: socket: %s\n", strerror(errno));
        return false;
    }
    // A socket file left by a service that died is replaced; a live one is not taken over.
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        close(probe);
        close(fd);
        fprintf(stderr, "hidbridged: another service answers on %s\n", path.c_str());
        return false;
    }
    if (probe >= 0)
        close(probe);
    unlink(path.c_str());

    // Created with no access for others and made 0660 before anyone may connect.
    mode_t old = umask(0177);
    int bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    umask(old);
    if (bound != 0 || chmod(path.c_str(), 0660) != 0 || chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0 ||
        listen(fd, kMaxClients) != 0) {
        fprintf(stderr, "hidbridged: %s: %s\n", path.c_str(), strerror(errno));
        close(fd);
        unlink(path.c_str());
        return false;
    }
    listen_fd_ = fd;
    return true;
}

void Service::stop()
{
    stopping_.store(true);
    char b = 1;
    if (wake_[1] >= 0) {
        ssize_t r = write(wake_[1], &b, 1);
        (void)r;
    }
}

void Service::give_way() const { std::this_thread::sleep_for(kGiveWay); }

void Service::hold_key(int client, int code, bool held) { holds_[client].keys[code] = held; }
void Service::hold_button(int client, int bit, bool held) { holds_[client].buttons[bit] = held; }

bool Service::held_by_other(int client, int code, bool key) const
{
    for (int i = 0; i < kMaxClients; ++i)
        if (i != client && (key ? holds_[i].keys[code] : holds_[i].buttons[code]))
            return true;
    return false;
}

std::string Service::release(int client)
{
    int first_error = Success;
    auto note = [&](int r) {
        if (first_error == Success)
            first_error = r;
        give_way();
    };
    for (int code = 0; code < 255; ++code)
        if (holds_[client].keys[code]) {
            holds_[client].keys[code] = false;
            if (!held_by_other(client, code, true))
                note(km_keyup(code));
        }
    for (int bit = 0; bit < 8; ++bit)
        if (holds_[client].buttons[bit]) {
            holds_[client].buttons[bit] = false;
            if (!held_by_other(client, bit, false))
                note(kButtonOps[bit](0));
        }
    return reply(first_error);
}

std::string Service::type_text(int client, std::string_view text)
{
    std::vector<Stroke> strokes;
    std::string refused;
    if (!plan_text(opts_.config.layout, text, strokes, refused))
        return "err cannot type " + refused + " with layout " + layout_name(opts_.config.layout);

    struct Modifier {
        uint8_t bit, usage;
        bool down = false;
    };
    Modifier mods[2] = {{kModShift, kUsageLeftShift}, {kModAltGr, kUsageRightAlt}};
    int result = Success;
    size_t done = 0;
    for (const Stroke &s : strokes) {
        for (Modifier &m : mods) {
            bool want = s.mods & m.bit;
            if (want != m.down && result == Success) {
                result = want ? km_keydown(m.usage) : km_keyup(m.usage);
                m.down = want;
                give_way();
            }
        }
        if (result != Success)
            break;
        result = km_keypress(s.usage);
        give_way();
        if (result != Success)
            break;
        ++done;
    }
    // A modifier this or another client holds with `key down` stays down.
    for (Modifier &m : mods) {
        bool held = holds_[client].keys[m.usage] || held_by_other(client, m.usage, true);
        if (m.down && !held) {
            km_keyup(m.usage);
            give_way();
        }
    }
    if (result != Success)
        return reply(result) + " (typing stopped after " + std::to_string(done) + " of " +
               std::to_string(strokes.size()) + " key strokes)";
    return "ok";
}

std::string Service::status_line()
{
    int n = 0;
    for (const Client &c : clients_)
        n += c.fd >= 0;
    bool configured = std::atomic_ref<uint8_t>(km.configok).load() == 1;
    return "ok version=" + library_version() + " host=" + (configured ? "configured" : "unconfigured") +
           " inputs=" + std::to_string(inputs()) + " layout=" + layout_name(opts_.config.layout) +
           " clients=" + std::to_string(n);
}

std::string Service::execute(int client, const Command &c)
{
    int r = Success;
    switch (c.op) {
    case Op::KeyDown:
        r = km_keydown(c.code);
        hold_key(client, c.code, r != err_parament);
        break;
    case Op::KeyUp:
        r = km_keyup(c.code);
        hold_key(client, c.code, false);
        break;
    case Op::KeyPress:
        r = km_keypress(c.code);
        hold_key(client, c.code, false);
        break;
    case Op::KeyMask:
        return reply(km_mask_key(c.code, c.value));
    case Op::KeyQuery:
        r = km_query_key(c.code);
        return r < 0 ? reply(r) : "ok " + std::to_string(r);
    case Op::ButtonDown:
    case Op::ButtonUp:
        r = kButtonOps[c.code](c.op == Op::ButtonDown);
        hold_button(client, c.code, c.op == Op::ButtonDown);
        break;
    case Op::ButtonClick:
        r = kButtonOps[c.code](1);
        give_way();
        if (r == Success)
            r = kButtonOps[c.code](0);
        else
            kButtonOps[c.code](0); // never leave the button down
        hold_button(client, c.code, false);
        break;
    case Op::ButtonQuery:
        return "ok " + std::to_string(kButtonQueries[c.code]());
    case Op::Move:
        r = km_move(static_cast<int16_t>(c.x), static_cast<int16_t>(c.y));
        break;
    case Op::Wheel:
        r = km_wheel(static_cast<uint8_t>(c.value)); // two's complement: -1 is one notch down
        break;
    case Op::Type:
        return type_text(client, c.text);
    case Op::Release:
        return release(client);
    case Op::Status:
        return status_line();
    }
    give_way();
    return reply(r);
}

std::string Service::execute_line(int client, std::string_view line)
{
    Command c;
    std::string error;
    if (!parse_command(line, c, error))
        return "err " + error;
    return execute(client, c);
}

void Service::accept_client()
{
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    for (Client &c : clients_)
        if (c.fd < 0) {
            c = Client{};
            c.fd = fd;
            return;
        }
    send_all(fd, "err too many clients (" + std::to_string(kMaxClients) + ")\n");
    close(fd);
}

void Service::read_client(Client &c)
{
    char buf[4096];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        c.eof = true; // a line cut off by the disconnect is not run
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        char b = buf[i];
        if (b == '\n') {
            if (c.discarding)
                c.lines.push_back({"", true});
            else
                c.lines.push_back({std::move(c.partial), false});
            c.partial.clear();
            c.discarding = false;
        } else if (c.discarding) {
            continue;
        } else if (c.partial.size() == kMaxLine) {
            c.discarding = true;
            c.partial.clear();
        } else {
            c.partial += b;
        }
    }
}

void Service::drop_client(int slot)
{
    Client &c = clients_[slot];
    close(c.fd);
    c = Client{};
    release(slot); // nothing it pressed stays held on the host
}

void Service::status_loop()
{
    StatusScreen screen;
    screen.begin();
    while (!stopping_.load()) {
        screen.update(read_status(inputs()));
        for (auto waited = 0ms; waited < opts_.status_period && !stopping_.load(); waited += 50ms)
            std::this_thread::sleep_for(50ms);
    }
}

void Service::run()
{
    std::thread status;
    if (opts_.config.panel)
        status = std::thread([this] { status_loop(); });

    while (!stopping_.load()) {
        pollfd fds[kMaxClients + 2];
        int slot_of[kMaxClients + 2];
        nfds_t n = 0;
        bool work = false;
        fds[n++] = {wake_[0], POLLIN, 0};
        fds[n++] = {listen_fd_, POLLIN, 0};
        for (int i = 0; i < kMaxClients; ++i) {
            Client &c = clients_[i];
            if (c.fd < 0)
                continue;
            work = work || !c.lines.empty() || c.eof;
            if (!c.eof && c.lines.size() < kMaxQueued) {
                slot_of[n] = i;
                fds[n++] = {c.fd, POLLIN, 0};
            }
        }
        if (poll(fds, n, work ? 0 : -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN)
            accept_client();
        for (nfds_t k = 2; k < n; ++k)
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR))
                read_client(clients_[slot_of[k]]);

        // One line per client per round: a busy client does not hold the others up.
        for (int i = 0; i < kMaxClients && !stopping_.load(); ++i) {
            Client &c = clients_[i];
            if (c.fd < 0)
                continue;
            if (c.lines.empty()) {
                if (c.eof)
                    drop_client(i);
                continue;
            }
            Client::Line line = std::move(c.lines.front());
            c.lines.pop_front();
            std::string r = line.too_long
                                ? "err line longer than " + std::to_string(kMaxLine) + " bytes"
                                : execute_line(i, line.text);
            if (!send_all(c.fd, r + "\n"))
                drop_client(i);
        }
    }

    for (int i = 0; i < kMaxClients; ++i)
        if (clients_[i].fd >= 0)
            drop_client(i);
    if (status.joinable())
        status.join();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        unlink(opts_.config.socket.c_str());
    }
}

} // namespace hidbridged
