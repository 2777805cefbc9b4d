#include "service.h"
#include "status_screen.h"

#include "hidbridge.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace hidbridged {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kUsageLeftShift = 0xE1, kUsageRightAlt = 0xE6;
// Modifiers held by anyone but the typing: with Ctrl, Alt or GUI a typed letter becomes a
// shortcut, with Shift another character.
constexpr uint8_t kForeignModifiers[] = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7};
// Keys of a keyboard report (modifiers are bits of their own), and the report's key slots.
constexpr int kFirstSlotUsage = 4, kLastSlotUsage = 223, kKeySlots = 10;
// Lines a client may have waiting; beyond that its socket is not read until they are done,
// so a client that floods only slows itself.
constexpr size_t kMaxQueued = 64;
// A pause after each report sent for a client. The control lock is handed over only between
// two operations, and a report waits for the next 1 ms frame anyway: this is enough for the
// input thread, woken by the unlock, to take the lock first, and costs no frame.
constexpr auto kGiveWay = std::chrono::microseconds(100);
// A host answers a Caps Lock stroke with its LED report within a few frames; a typing that
// went through Caps Lock and back sends two, and the next one must not take the first for
// the host's state.
constexpr auto kLedReportsSettle = 100ms;

int (*const kButtonOps[8])(int) = {km_left, km_right, km_middle, km_side1, km_side2, km_side3, km_side4, km_side5};
int (*const kButtonQueries[8])() = {km_query_left,  km_query_right, km_query_middle, km_query_side1,
                                    km_query_side2, km_query_side3, km_query_side4,  km_query_side5};

const std::string kUnconfigured = "err host has not configured the device";

// The reply for a control-interface result.
std::string reply_for(int result)
{
    switch (result) {
    case Success:
        return "ok";
    case 1:
        return "err host did not collect the report within 100 ms";
    case err_DeviceDisconnected:
        return kUnconfigured;
    case err_parament:
        return "err key code out of range";
    default:
        return "err result " + std::to_string(result);
    }
}

std::string usage_name(int usage)
{
    const char *n = key_name(usage);
    return n ? n : "key " + std::to_string(usage);
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

std::string layout_text(const LayoutName &n)
{
    return escaped(n.layout) + (n.variant.empty() ? "" : "(" + escaped(n.variant) + ")");
}

std::string layout_shown(const std::shared_ptr<const Layout> &l) { return l ? l->name() : "none"; }

bool fail(const std::string &what, const char *why)
{
    fprintf(stderr, "hidbridged: %s: %s\n", escaped(what).c_str(), why);
    return false;
}

} // namespace

bool notify_ready()
{
    const char *path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0'; // an abstract name
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    static constexpr char kReady[] = "READY=1";
    auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    bool sent = sendto(fd, kReady, sizeof kReady - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr), addr_len) ==
                static_cast<ssize_t>(sizeof kReady - 1);
    close(fd);
    return sent;
}

bool Service::Holds::any() const
{
    auto set = [](const auto &a) { return std::find(a.begin(), a.end(), true) != a.end(); };
    return set(keys) || set(masks) || set(buttons);
}

Service::Service(ServiceOptions opts) : opts_(std::move(opts))
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        wake_[0] = wake_[1] = -1;
    if (!opts_.count_inputs)
        opts_.count_inputs = count_event_devices;
    ready_ = !opts_.start_library;
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
    if (path.size() >= sizeof addr.sun_path || path.empty() || path[0] != '/')
        return fail(path, "not an absolute socket path of at most 107 bytes");
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    // The folder: ours, and nobody else may put or swap a name in it.
    std::string dir = path.substr(0, path.rfind('/'));
    if (dir.empty())
        dir = "/";
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return fail(dir, strerror(errno));
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        return fail(dir, strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return fail(dir, "not a folder");
    if (st.st_uid != geteuid())
        return fail(dir, "a folder not owned by the service's user");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return fail(dir, "a folder others may write to");

    gid_t gid = static_cast<gid_t>(-1);
    if (!opts_.config.group.empty()) {
        const group *g = getgrnam(opts_.config.group.c_str());
        if (!g)
            return fail(path, ("no group " + escaped(opts_.config.group)).c_str());
        gid = g->gr_gid;
    }

    // Only a stale socket is replaced: a live one is left to its service, anything else alone.
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail(path, "exists and is not a socket");
        // Non-blocking: a service whose backlog is full still counts as live.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (probe < 0)
            return fail(path, strerror(errno));
        int r = connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        int err = errno;
        close(probe);
        if (r == 0 || err == EAGAIN || err == EINPROGRESS)
            return fail(path, "another service answers on it");
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return fail(path, strerror(errno));
    }

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return fail(path, strerror(errno));
    // The mode is the socket's from the start (bind takes it, less the umask): never a chmod
    // by name. The group is set on the name without following a link.
    int bound = -1;
    if (fchmod(fd, 0660) == 0) {
        mode_t old = umask(0117);
        bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        umask(old);
    }
    if (bound != 0 || fchownat(AT_FDCWD, path.c_str(), static_cast<uid_t>(-1), gid, AT_SYMLINK_NOFOLLOW) != 0 ||
        lstat(path.c_str(), &st) != 0 || listen(fd, kMaxClients) != 0) {
        int err = errno;
        close(fd);
        if (bound == 0)
            unlink(path.c_str());
        return fail(path, strerror(err));
    }
    socket_dev_ = st.st_dev;
    socket_ino_ = st.st_ino;
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

// ---- worker ----

void Service::give_way() const { std::this_thread::sleep_for(kGiveWay); }

bool Service::held_by_other(int slot, int code, bool key) const
{
    for (int i = 0; i < kMaxClients; ++i)
        if (i != slot && (key ? holds_[i].keys[code] : holds_[i].buttons[code]))
            return true;
    return false;
}

bool Service::held_by_any(int code) const { return held_by_other(-1, code, true); }

bool Service::masked_by_any(int code) const
{
    for (const Holds &h : holds_)
        if (h.masks[code])
            return true;
    return false;
}

// A physical keyboard holds the key and no client hides it: the host is sent it.
bool Service::host_sees_physical(int code) const { return (km_query_key(code) & 1) && !masked_by_any(code); }

void Service::publish_holds(int slot) { holding_[slot].store(holds_[slot].any()); }

// Why the stroke cannot reach the host as typed now; empty when it can. own_mods: the
// Shift and AltGr the typing itself holds.
std::string Service::type_blocked(const Stroke &s, uint8_t own_mods) const
{
    for (uint8_t u : kForeignModifiers) {
        if (u == kUsageRightAlt && (own_mods & kModAltGr) && !held_by_any(u) && !host_sees_physical(u))
            continue;
        if (held_by_any(u) || host_sees_physical(u))
            return "cannot type while " + usage_name(u) + " is held";
    }
    int slots = 0;
    for (int u = kFirstSlotUsage; u <= kLastSlotUsage; ++u) {
        if (!held_by_any(u) && !host_sees_physical(u))
            continue;
        if (u == s.usage)
            return "cannot type while " + usage_name(u) + " is held";
        ++slots;
    }
    if (slots >= kKeySlots)
        return "cannot type while " + std::to_string(slots) + " keys are held (no free key slot)";
    return "";
}

// One stroke of the text; true when the typing has ended and j.reply is set.
bool Service::type_step(Job &j, bool stop_now)
{
    if (!j.started) {
        if (!j.layout) {
            j.reply = "err no layout: " + j.layout_error;
            return true;
        }
        // Under the host's Caps Lock the strokes are those that give the text with Lock on:
        // the host's state is left as it is.
        bool caps = km_query_leds() >> 1 & 1;
        while (caps != caps_left_ && Clock::now() < caps_settled_) {
            std::this_thread::sleep_for(1ms);
            caps = km_query_leds() >> 1 & 1;
        }
        j.caps = caps;
        std::string refused;
        if (!j.layout->plan(j.cmd.text, caps, j.strokes, refused)) {
            j.reply = "err cannot type " + refused + " with layout " + j.layout->name();
            return true;
        }
        j.started = true;
    }
    struct Modifier {
        uint8_t bit, usage;
    };
    static constexpr Modifier kMods[2] = {{kModShift, kUsageLeftShift}, {kModAltGr, kUsageRightAlt}};
    if (!stop_now && j.result == Success && j.refusal.empty() && j.next < j.strokes.size()) {
        const Stroke &s = j.strokes[j.next];
        j.refusal = type_blocked(s, j.mods);
        if (j.refusal.empty()) {
            for (const Modifier &m : kMods) {
                bool want = s.mods & m.bit;
                if (want != bool(j.mods & m.bit) && j.result == Success) {
                    j.result = want ? km_keydown(m.usage) : km_keyup(m.usage);
                    j.mods = static_cast<uint8_t>(want ? j.mods | m.bit : j.mods & ~m.bit);
                    give_way();
                }
            }
            if (j.result == Success) {
                j.result = km_keypress(s.usage);
                give_way();
            }
            if (j.result == Success && ++j.next < j.strokes.size())
                return false;
        }
    }
    // A modifier a client holds with `key down` stays down.
    for (const Modifier &m : kMods)
        if ((j.mods & m.bit) && !held_by_any(m.usage)) {
            km_keyup(m.usage);
            give_way();
        }
    j.mods = 0;
    // Caps Lock back as it was, also when the typing stopped between the two strokes.
    auto toggles = std::count_if(j.strokes.begin(), j.strokes.begin() + static_cast<ptrdiff_t>(j.next),
                                 [](Stroke s) { return s.usage == kUsageCapsLock; });
    if (toggles % 2) {
        km_keypress(kUsageCapsLock);
        give_way();
    }
    if (toggles) {
        caps_left_ = j.caps;
        caps_settled_ = Clock::now() + kLedReportsSettle;
    }
    std::string stopped =
        " (typing stopped after " + std::to_string(j.next) + " of " + std::to_string(j.strokes.size()) + " key strokes)";
    if (!j.refusal.empty())
        j.reply = "err " + j.refusal + (j.next ? stopped : "");
    else if (j.result != Success)
        j.reply = reply_for(j.result) + stopped;
    else if (j.next < j.strokes.size())
        j.reply = "err service stopping" + stopped;
    else
        j.reply = "ok";
    return true;
}

// Lets go of one key or button the client holds (one report), or of all its masks (none);
// false when nothing was left.
bool Service::release_step(int slot, int &first_error)
{
    Holds &h = holds_[slot];
    auto note = [&](int r) {
        if (first_error == Success)
            first_error = r;
        give_way();
        publish_holds(slot);
        return true;
    };
    for (int code = 0; code < 255; ++code)
        if (h.keys[code]) {
            h.keys[code] = false;
            if (!held_by_other(slot, code, true))
                return note(km_keyup(code));
        }
    for (int bit = 0; bit < 8; ++bit)
        if (h.buttons[bit]) {
            h.buttons[bit] = false;
            if (!held_by_other(slot, bit, false))
                return note(kButtonOps[bit](0));
        }
    return false;
}

std::string Service::execute(int slot, const Command &c)
{
    Holds &h = holds_[slot];
    int r = Success;
    switch (c.op) {
    case Op::KeyDown:
        r = km_keydown(c.code);
        h.keys[c.code] = r != err_parament;
        break;
    case Op::KeyUp:
        r = km_keyup(c.code);
        h.keys[c.code] = false;
        break;
    case Op::KeyPress:
        r = km_keypress(c.code);
        h.keys[c.code] = false;
        break;
    case Op::KeyMask:
        h.masks[c.code] = c.value;
        // Hidden while any client hides it.
        return reply_for(km_mask_key(c.code, masked_by_any(c.code)));
    case Op::ButtonDown:
    case Op::ButtonUp:
        r = kButtonOps[c.code](c.op == Op::ButtonDown);
        h.buttons[c.code] = c.op == Op::ButtonDown;
        break;
    case Op::ButtonClick:
        r = kButtonOps[c.code](1);
        give_way();
        if (r == Success)
            r = kButtonOps[c.code](0);
        else
            kButtonOps[c.code](0); // never leave the button down
        h.buttons[c.code] = false;
        break;
    case Op::Move:
        r = km_move(static_cast<int16_t>(c.x), static_cast<int16_t>(c.y));
        break;
    case Op::Wheel:
        r = km_wheel(static_cast<uint8_t>(c.value)); // two's complement: -1 is one notch down
        break;
    default: // answered by the main thread
        return "err internal";
    }
    give_way();
    return reply_for(r);
}

// One step of the slot's job; true when the job is over.
bool Service::step(int slot, Job &j, bool leave)
{
    if (j.command) {
        if (j.cmd.op == Op::Type) {
            if (!type_step(j, leave || stopping_.load()))
                return false;
        } else if (j.cmd.op == Op::Release) {
            if (release_step(slot, j.result))
                return false;
            j.reply = reply_for(j.result);
        } else {
            j.reply = execute(slot, j.cmd);
        }
        j.command = false;
        publish_holds(slot);
    }
    if (!leave)
        return true;
    // The client is gone: what it held goes, one report a step, then its masks.
    int ignored = Success;
    if (release_step(slot, ignored))
        return false;
    for (int code = 0; code < 255; ++code)
        if (holds_[slot].masks[code]) {
            holds_[slot].masks[code] = false;
            if (!masked_by_any(code))
                km_mask_key(code, 0);
        }
    publish_holds(slot);
    return true;
}

int Service::next_job()
{
    for (int k = 0; k < kMaxClients; ++k) {
        int i = (turn_ + k) % kMaxClients;
        if (jobs_[i].queued)
            return i;
    }
    return -1;
}

void Service::worker()
{
    if (opts_.start_library) {
        opts_.start_library(); // returns once a host has configured the device
        ready_.store(true);
        char b = 1;
        ssize_t r = write(wake_[1], &b, 1);
        (void)r;
    }
    std::unique_lock lk(mutex_);
    for (;;) {
        int slot = -1;
        work_.wait(lk, [&] { return (slot = next_job()) >= 0 || quit_; });
        if (slot < 0)
            return;
        turn_ = (slot + 1) % kMaxClients;
        Job &j = jobs_[slot];
        bool leave = j.leave;
        lk.unlock();
        bool over = step(slot, j, leave);
        lk.lock();
        if (!over || (j.leave && !leave)) // a leave that came during the step: its release is still to do
            continue;
        j.queued = false;
        if (j.leave)
            j.left = true;
        else
            j.done = true;
        char b = 1;
        ssize_t r = write(wake_[1], &b, 1);
        (void)r;
    }
}

// ---- main thread ----

// The board's own figures, last minute, one line of key=value pairs.
static std::string stats_line()
{
    km_stats s{};
    km_get_stats(&s, sizeof s);
    uint32_t records = 0, resyncs = 0;
    for (const km_port_stats &p : s.port) {
        records += p.records;
        resyncs += p.resyncs;
    }
    auto kv = [](const char *k, uint64_t v) { return std::string(" ") + k + "=" + std::to_string(v); };
    return "ok" + kv("kbd_p50_us", s.keyboard.minute_p50_us) + kv("kbd_p99_us", s.keyboard.minute_p99_us) +
           kv("kbd_max_us", s.keyboard.minute_max_us) + kv("mouse_p50_us", s.mouse.minute_p50_us) +
           kv("mouse_p99_us", s.mouse.minute_p99_us) + kv("mouse_max_us", s.mouse.minute_max_us) +
           kv("mouse_polls_per_s", s.mouse.minute_polls_per_s) + kv("kbd_polls_per_s", s.keyboard.minute_polls_per_s) +
           kv("resyncs", resyncs) + kv("timeouts", uint64_t{s.mouse.timeouts} + s.keyboard.timeouts) +
           kv("collapsed", uint64_t{s.mouse.collapsed} + s.keyboard.collapsed) + kv("records", records) +
           kv("rescans", s.rescans) + kv("rt", static_cast<uint32_t>(s.rt_priority));
}

// `layout NAME [VARIANT]`: the client's type lines from now on; compiled once per name.
std::string Service::set_layout(int slot, const Command &c)
{
    LayoutName n{std::string(c.text), std::string(c.variant), opts_.config.keyboard.model};
    std::string why;
    const char *which = "layout";
    auto l = find_layout(n, why, &which);
    if (!l)
        return "err " + std::string(which) + " " + quoted(std::string(which) == "variant" ? c.variant : c.text) +
               ": " + why;
    clients_[slot].layout = std::move(l);
    clients_[slot].layout_error.clear();
    return "ok";
}

std::string Service::status_line(int slot)
{
    int n = 0;
    for (const Client &c : clients_)
        n += c.fd >= 0;
    bool configured = ready() && std::atomic_ref<uint8_t>(km.configok).load() == 1;
    // The host's keyboard LEDs by name, in the order of their bits.
    static constexpr const char *kLeds[] = {"num", "caps", "scroll", "compose", "kana"};
    const int bits = km_query_leds();
    std::string leds;
    for (int i = 0; i < 5; ++i)
        if (bits >> i & 1)
            leds += (leds.empty() ? "" : ",") + std::string(kLeds[i]);
    return "ok version=" + library_version() + " host=" + (configured ? "configured" : "unconfigured") +
           " inputs=" + std::to_string(inputs()) + " layout=" + layout_shown(clients_[slot].layout) +
           " clients=" + std::to_string(n) + " leds=" + (leds.empty() ? "none" : leds);
}

bool Service::reply(int slot, const std::string &r)
{
    Client &c = clients_[slot];
    c.active = Clock::now();
    if (send_all(c.fd, r + "\n"))
        return true;
    leave(slot, "does not take its replies");
    return false;
}

void Service::handle_line(int slot, Client::Line line)
{
    if (line.too_long) {
        reply(slot, "err line longer than " + std::to_string(kMaxLine) + " bytes");
        return;
    }
    Command c;
    std::string error;
    if (!parse_command(line.text, c, error)) {
        reply(slot, "err " + error);
        return;
    }
    switch (c.op) {
    case Op::Status:
        reply(slot, status_line(slot));
        return;
    case Op::Layout:
        reply(slot, set_layout(slot, c));
        return;
    case Op::Stats:
        reply(slot, stats_line());
        return;
    case Op::Help:
        reply(slot, help_reply());
        return;
    default:
        break;
    }
    if (!ready()) {
        reply(slot, kUnconfigured);
        return;
    }
    if (c.op == Op::KeyQuery) {
        int r = km_query_key(c.code);
        reply(slot, r < 0 ? reply_for(r) : "ok " + std::to_string(r));
        return;
    }
    if (c.op == Op::ButtonQuery) {
        reply(slot, "ok " + std::to_string(kButtonQueries[c.code]()));
        return;
    }
    std::lock_guard lk(mutex_);
    Job &j = jobs_[slot];
    j = Job{};
    j.text = line.text;
    j.cmd = c;
    j.command = true;
    j.layout = clients_[slot].layout;
    j.layout_error = clients_[slot].layout_error;
    if (c.op == Op::Type) // the same place in the job's own copy of the line
        j.cmd.text = std::string_view(j.text).substr(static_cast<size_t>(c.text.data() - line.text.data()), c.text.size());
    j.queued = true;
    clients_[slot].busy = true;
    work_.notify_one();
}

// The client is gone (or dropped): its socket closes now, its slot once the worker has
// released what it held.
void Service::leave(int slot, const char *why)
{
    Client &c = clients_[slot];
    printf("hidbridged: client %d (uid %u) %s\n", slot, static_cast<unsigned>(c.uid), why);
    close(c.fd);
    c.fd = -1;
    c.lines.clear();
    if (!c.busy && !holding_[slot].load()) {
        c = Client{};
        return;
    }
    c.leaving = true;
    std::lock_guard lk(mutex_);
    Job &j = jobs_[slot];
    if (!j.queued)
        j = Job{}; // no command, only the leave
    j.done = false;
    j.leave = true;
    j.queued = true;
    work_.notify_one();
}

void Service::collect_replies()
{
    char buf[64];
    while (read(wake_[0], buf, sizeof buf) > 0) {
    }
    for (int i = 0; i < kMaxClients; ++i) {
        std::string r;
        bool done, left;
        {
            std::lock_guard lk(mutex_);
            Job &j = jobs_[i];
            done = j.done;
            left = j.left;
            if (done)
                r = std::move(j.reply);
            j.done = j.left = false;
        }
        if (left)
            clients_[i] = Client{};
        if (done && clients_[i].fd >= 0) {
            clients_[i].busy = false;
            reply(i, r);
        }
    }
}

// The client that has waited longest without holding anything or having work; -1: none.
int Service::drop_candidate() const
{
    int best = -1;
    for (int i = 0; i < kMaxClients; ++i) {
        const Client &c = clients_[i];
        if (c.fd < 0 || c.busy || !c.lines.empty() || holding_[i].load())
            continue;
        if (best < 0 || c.active < clients_[best].active)
            best = i;
    }
    return best;
}

// Until the first idle client is due to be dropped; -1: none is.
int Service::idle_timeout_ms() const
{
    int i = drop_candidate();
    if (i < 0)
        return -1;
    auto left = clients_[i].active + opts_.idle_limit - Clock::now();
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 60 * 60 * 1000));
}

void Service::accept_client()
{
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        cred.uid = static_cast<uid_t>(-1);
    int slot = -1;
    for (int i = 0; i < kMaxClients && slot < 0; ++i)
        if (clients_[i].fd < 0 && !clients_[i].leaving)
            slot = i;
    if (slot < 0 && (slot = drop_candidate()) >= 0) {
        leave(slot, "dropped for a new client: it held nothing and was idle longest");
        if (clients_[slot].leaving)
            slot = -1;
    }
    if (slot < 0) {
        printf("hidbridged: refused a client (uid %u): %d clients hold keys, buttons or masks or are busy\n",
               static_cast<unsigned>(cred.uid), kMaxClients);
        send_all(fd, "err too many clients (" + std::to_string(kMaxClients) + ")\n");
        close(fd);
        return;
    }
    Client &c = clients_[slot];
    c = Client{};
    c.fd = fd;
    c.uid = cred.uid;
    c.active = Clock::now();
    c.layout = opts_.config.layout;
    c.layout_error = opts_.config.layout_error;
    printf("hidbridged: client %d connected: uid %u, pid %d\n", slot, static_cast<unsigned>(cred.uid),
           static_cast<int>(cred.pid));
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
    c.active = Clock::now();
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

void Service::status_loop()
{
    StatusScreen screen;
    screen.begin();
    while (!stopping_.load()) {
        StatusInfo info = read_status(inputs());
        if (!opts_.config.layout)
            info.layout_problem = "no layout " + layout_text(opts_.config.keyboard);
        screen.update(info, &stopping_);
        for (auto waited = 0ms; waited < opts_.status_period && !stopping_.load(); waited += 50ms)
            std::this_thread::sleep_for(50ms);
    }
}

bool Service::run()
{
    std::thread work([this] { worker(); });
    std::thread status;
    bool started = false, failed = false;

    while (!stopping_.load()) {
        if (!started && ready()) {
            started = true;
            if (opts_.start_library)
                puts("hidbridged: forwarding keyboards and mice to the host");
            if (opts_.config.panel)
                status = std::thread([this] { status_loop(); });
        }
        pollfd fds[kMaxClients + 2];
        int slot_of[kMaxClients + 2];
        nfds_t n = 0;
        bool work_waiting = false;
        fds[n++] = {wake_[0], POLLIN, 0};
        fds[n++] = {listen_fd_, POLLIN, 0};
        for (int i = 0; i < kMaxClients; ++i) {
            Client &c = clients_[i];
            if (c.fd < 0)
                continue;
            work_waiting = work_waiting || (!c.busy && (!c.lines.empty() || c.eof));
            if (!c.eof && c.lines.size() < kMaxQueued) {
                slot_of[n] = i;
                fds[n++] = {c.fd, POLLIN, 0};
            }
        }
        if (poll(fds, n, work_waiting ? 0 : idle_timeout_ms()) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "hidbridged: poll: %s\n", strerror(errno));
            failed = true;
            break;
        }
        if (fds[0].revents & POLLIN)
            collect_replies();
        if (fds[1].revents & POLLIN)
            accept_client();
        for (nfds_t k = 2; k < n; ++k)
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR) && clients_[slot_of[k]].fd == fds[k].fd)
                read_client(clients_[slot_of[k]]);

        // One line per client per round: a busy client does not hold the others up.
        for (int i = 0; i < kMaxClients && !stopping_.load(); ++i) {
            Client &c = clients_[i];
            if (c.fd < 0 || c.busy)
                continue;
            if (c.lines.empty()) {
                if (c.eof)
                    leave(i, "disconnected");
                continue;
            }
            Client::Line line = std::move(c.lines.front());
            c.lines.pop_front();
            handle_line(i, std::move(line));
        }
        int idle = drop_candidate();
        if (idle >= 0 && Clock::now() - clients_[idle].active >= opts_.idle_limit)
            leave(idle, "dropped: it held nothing and sent nothing for the idle limit");
    }

    stopping_.store(true); // also after a failure: the status screen ends too
    // Everything clients held goes; the worker ends once it has released it all.
    for (int i = 0; i < kMaxClients; ++i)
        if (clients_[i].fd >= 0)
            leave(i, "disconnected: the service stops");
    {
        std::lock_guard lk(mutex_);
        quit_ = true;
        work_.notify_one();
    }
    if (ready())
        work.join();
    else
        work.detach(); // still waiting for a host in km_init: it held nothing
    if (status.joinable())
        status.join();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        struct stat st;
        const char *path = opts_.config.socket.c_str();
        if (lstat(path, &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_)
            unlink(path);
    }
    return !failed;
}

} // namespace hidbridged
