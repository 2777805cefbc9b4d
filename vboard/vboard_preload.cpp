// The virtual board inside an unmodified application: hidbridge-vboard preloads this library,
// whose constructor builds the board and installs it into the seam of the application's own
// libhidbridge before main runs. The application then starts the library as it would on the
// board. At the end (the application exits, a time limit, the last recording played, or a
// signal) the panel and the capture are written, what the host typed is printed, and the
// process ends: the library's threads have no stop. When the board ends the run, the
// application is first sent SIGTERM, as a supervisor would, so that its clean-up runs.
// With --usbip the modelled host stays off and a real kernel that imports the board's USB
// device is the host; what it collects is printed the same way.
#include "evemu_recording.h"
#include "vboard_options.h"

#include "board.h"
#include "usbip_bridge.h"

#include <hidbridge.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Nothing of this file's state has a destructor: an exit runs this library's destructors
// before the exit handler below while the threads still use the state.
vboard::Options &opts = *new vboard::Options;
sim::Board *board; // lives to the end of the process, like the library's threads
sim::UsbipBridge *bridge; // with --usbip, the host's side of the cable instead of board->host
int out_fd = -1;   // the launcher's standard output, whatever the application does with fd 1
int signal_pipe[2] = {-1, -1};
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<int> replays_running{0};

std::mutex print_mu;
bool printing = true;  // false once the end has begun
std::string &last_seen = *new std::string; // the last "host sees" line printed

void say_locked(const std::string &line)
{
    std::string s = line + "\n";
    for (size_t at = 0; at < s.size();) {
        ssize_t n = write(out_fd, s.data() + at, s.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        at += size_t(n);
    }
}

void say(const std::string &line)
{
    std::lock_guard lock(print_mu);
    say_locked(line);
}

// The host's view rebuilt report by report: reports come one a frame, faster than any
// look at the view would catch each state.
uint64_t printed_reports; // the modelled host's next report, or the bridge's next URB
sim::HostView &printed_view = *new sim::HostView;
int printed_leds = 0;    // the host's, as the device last received them

// The host's keyboard LEDs as the output report carries them: "num,caps", or "none".
std::string led_names(int bits)
{
    static constexpr const char *kNames[] = {"num", "caps", "scroll", "compose", "kana"};
    std::string s;
    for (int i = 0; i < 5; ++i)
        if (bits >> i & 1)
            s += (s.empty() ? "" : ",") + std::string(kNames[i]);
    return s.empty() ? "none" : s;
}

struct Collected {
    uint8_t ep; // 0x81, 0x82
    std::vector<uint8_t> bytes;
};

// The reports the host collected since the last look, in order.
std::vector<Collected> collected_reports()
{
    std::vector<Collected> out;
    if (!bridge) {
        while (auto r = board->host.next_report(printed_reports, std::chrono::milliseconds(0)))
            out.push_back({r->ep, std::move(r->bytes)});
        return out;
    }
    for (auto &u : bridge->urbs_from(printed_reports))
        if (!u.control && u.in && u.status == 0 && !u.data.empty())
            out.push_back({uint8_t(0x80 | u.ep), std::move(u.data)});
    return out;
}

// Prints each change of the host's view since the last line, and of its keyboard LEDs.
void print_change()
{
    std::lock_guard lock(print_mu);
    if (!printing)
        return;
    for (auto &r : collected_reports()) {
        printed_view.apply(r.ep == 0x81 ? sim::ReportKind::Mouse : sim::ReportKind::Keyboard, r.bytes);
        std::string now = sim::describe(printed_view);
        if (now == last_seen)
            continue;
        last_seen = now;
        if (!opts.quiet)
            say_locked(now);
    }
    // The host's LED reports (the modelled host sends them at each lock key, as an OS does)
    // are known by what the device received.
    if (int leds = km_query_leds(); leds != printed_leds) {
        printed_leds = leds;
        if (!opts.quiet)
            say_locked("host LEDs: " + led_names(leds));
    }
}

// What the host sees now.
sim::HostView current_view()
{
    if (!bridge)
        return board->host.view();
    print_change();
    std::lock_guard lock(print_mu);
    return printed_view;
}

// Writes the files and the summary, then ends the process: by `sig` when a signal ended the
// run (so whoever started it sees the same as on the board), else with `status`.
[[noreturn]] void finish(int status, int sig = 0)
{
    // The first caller ends the process; any other waits here until it has.
    static std::mutex end_mu;
    end_mu.lock();
    fflush(nullptr); // the application's own output comes before the summary
    print_change();
    {
        std::lock_guard lock(print_mu);
        printing = false;
    }
    if (!opts.pcap.empty()) {
        board->host.stop_capture();
        say("capture: " + opts.pcap);
    }
    if (!opts.panel_png.empty()) {
        bool ok = board->panel.write_png(opts.panel_png, 3);
        say(ok ? "panel: " + opts.panel_png : "panel: not written to " + opts.panel_png);
    }
    say("host typed: \"" + sim::c_escaped(current_view().typed) + "\"");
    if (sig) {
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
        status = 128 + sig;
    }
    _exit(status);
}

void on_signal(int sig)
{
    unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = write(signal_pipe[1], &b, 1);
}

void on_application_exit(int status, void *) { finish(status); }

// Exit handlers run in reverse order of registration, and the one that unloads the libraries
// is registered after this library's constructor has run: a handler registered there comes
// after the destructors of the application's libraries. Registered again from the
// application's first call into the library, it comes before them.
void hook_exit()
{
    static std::once_flag once;
    std::call_once(once, [] { on_exit(on_application_exit, nullptr); });
}

// Lines about the importer of the USB device, as it comes and goes.
void print_imports()
{
    static bool imported = false;
    auto s = bridge->stats();
    if (s.imported == imported)
        return;
    imported = s.imported;
    if (imported)
        say("usbip: imported; the importing machine is the host");
    else
        say("usbip: released (" + s.last_error + "); the cable is unplugged until the next import");
}

// The LEDs the library set on the board's keyboards (not on the mice of --mouse): a line at
// each change.
void print_board_leds()
{
    static std::array<uint32_t, vboard::kPorts> shown{};
    for (int n = 0; n < vboard::kPorts; ++n) {
        uint32_t leds = board->events.leds(n);
        if (leds == shown[size_t(n)])
            continue;
        shown[size_t(n)] = leds;
        bool mouse = std::find(opts.mice.begin(), opts.mice.end(), n) != opts.mice.end();
        if (!mouse && !opts.quiet)
            say("vboard: event" + std::to_string(n) + " LEDs: " + led_names(int(leds)));
    }
}

void watch_host()
{
    for (;;) {
        print_change();
        print_board_leds();
        if (bridge)
            print_imports();
        std::this_thread::sleep_for(1ms);
    }
}

// Waits until the application's library uses the port: the host configured the board and
// the port's device is open. Recorded events before that would be lost, as on a kernel.
void wait_port_open(int port)
{
    if (bridge) {
        while (!bridge->wait([](auto &s, auto &) { return s.imported; }, 1s)) {
        }
        while (std::atomic_ref<uint8_t>(km.configok).load() != 1)
            std::this_thread::sleep_for(10ms);
    } else {
        while (!board->host.wait_configured(1s)) {
        }
    }
    while (!board->events.wait_open(port, 1, 1s)) {
    }
}

void replay(int port, vboard::Recording rec)
{
    wait_port_open(port);
    auto t0 = Clock::now();
    int64_t first = rec.events.front().time_us;
    for (auto &e : rec.events) {
        // In the recording's timing: the device's queue is as bounded as a kernel's.
        std::this_thread::sleep_until(t0 + std::chrono::microseconds(e.time_us - first));
        board->events.emit(port, e.type, e.code, e.value);
    }
    --replays_running;
}

void forward(int port, int fd, std::string path)
{
    input_event batch[64];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            break;
        ssize_t n = read(fd, batch, sizeof batch);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0 || n % ssize_t(sizeof(input_event)))
            break;
        for (ssize_t i = 0; i < n / ssize_t(sizeof(input_event)); ++i)
            board->events.emit(port, batch[i].type, batch[i].code, batch[i].value);
    }
    say("vboard: " + path + " went away; port " + std::to_string(port) + " unplugged");
    board->events.unplug(port);
    close(fd);
}

// True once every recording played and the host's view stopped changing for a while.
bool replays_done_and_settled()
{
    if (replays_running.load() > 0)
        return false;
    for (auto &r : opts.replays)
        board->events.wait_drained(r.port, 1s);
    // The host polls every 1 ms; 200 ms without a change means the last report is in.
    std::string seen = sim::describe(current_view());
    unsigned reports = 0;
    for (auto stable_since = Clock::now(); Clock::now() - stable_since < 200ms;) {
        std::this_thread::sleep_for(10ms);
        auto v = current_view();
        std::string now = sim::describe(v);
        unsigned n = v.keyboard_reports + v.mouse_reports + v.consumer_reports;
        if (now != seen || n != reports) {
            seen = now;
            reports = n;
            stable_since = Clock::now();
        }
    }
    return true;
}

// How long the application has to end after the board's SIGTERM before the board ends it.
constexpr auto kEndGrace = 3s;

// Sends the application SIGTERM; false when it ignores the signal, so nothing would come of it.
// Where the application left SIGTERM to its default, this library's handler takes it.
bool ask_application_to_end()
{
    struct sigaction now{};
    if (sigaction(SIGTERM, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
        return false;
    if (now.sa_handler == SIG_DFL) {
        struct sigaction sa{};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTERM, &sa, nullptr);
    }
    return kill(getpid(), SIGTERM) == 0;
}

void control()
{
    auto deadline = Clock::now() + std::chrono::milliseconds(opts.time_limit_ms);
    bool asked = false; // the board sent SIGTERM and waits for the application to end
    Clock::time_point asked_at;
    for (;;) {
        pollfd p{signal_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            unsigned char sig = 0;
            if (read(signal_pipe[0], &sig, 1) == 1) {
                // The board's own SIGTERM, which the application left to us or passed back.
                if (asked && sig == SIGTERM)
                    finish(0);
                say(std::string("vboard: ") + strsignal(sig));
                finish(0, sig);
            }
        }
        if (asked) {
            if (Clock::now() - asked_at >= kEndGrace) {
                say("vboard: the application did not end within " + std::to_string(kEndGrace.count()) +
                    " s of SIGTERM");
                finish(0);
            }
            continue;
        }
        bool end = false;
        if (opts.time_limit_ms && Clock::now() >= deadline) {
            say("vboard: time limit reached");
            end = true;
        } else if (opts.quit_after_replay && replays_done_and_settled()) {
            end = true;
        }
        if (end) {
            if (!ask_application_to_end())
                finish(0);
            asked = true;
            asked_at = Clock::now();
        }
    }
}

// True when some object of the process other than this one is linked against libhidbridge:
// a wrapper script or a shell the application is started through must not get the board.
bool process_uses_libhidbridge()
{
    Dl_info self{};
    dladdr(reinterpret_cast<void *>(&process_uses_libhidbridge), &self);
    struct Search {
        const char *self;
        bool found;
    } s{self.dli_fname, false};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *s = static_cast<Search *>(data);
            if (s->self && info->dlpi_name && strcmp(info->dlpi_name, s->self) == 0)
                return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type != PT_DYNAMIC)
                    continue;
                auto *dyn = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                const char *strtab = nullptr;
                for (auto *d = dyn; d->d_tag != DT_NULL; ++d)
                    if (d->d_tag == DT_STRTAB) {
                        // The loader relocates this entry in place; be safe where it did not.
                        ElfW(Addr) a = d->d_un.d_ptr;
                        strtab = reinterpret_cast<const char *>(a < info->dlpi_addr ? a + info->dlpi_addr : a);
                    }
                if (!strtab)
                    continue;
                for (auto *d = dyn; d->d_tag != DT_NULL; ++d)
                    if (d->d_tag == DT_NEEDED && strncmp(strtab + d->d_un.d_val, "libhidbridge.so", 15) == 0) {
                        s->found = true;
                        return 1;
                    }
            }
            return 0;
        },
        &s);
    return s.found;
}

// Children of the application get neither the board nor this library.
void leave_environment()
{
    const char *rest = getenv("HIDBRIDGE_VBOARD_LD_PRELOAD");
    if (rest && *rest)
        setenv("LD_PRELOAD", rest, 1);
    else
        unsetenv("LD_PRELOAD");
    unsetenv("HIDBRIDGE_VBOARD_LD_PRELOAD");
    unsetenv("HIDBRIDGE_VBOARD_ARGS");
}

[[noreturn]] void fail(const std::string &why)
{
    std::string s = "hidbridge-vboard: " + why + "\n";
    [[maybe_unused]] ssize_t n = write(2, s.data(), s.size());
    _exit(2);
}

void start_virtual_board()
{
    const char *args = getenv("HIDBRIDGE_VBOARD_ARGS");
    if (!args || !process_uses_libhidbridge())
        return;
    auto parsed = vboard::parse_options(vboard::split_args(args), false);
    leave_environment();
    if (!parsed.error.empty())
        fail(parsed.error);
    opts = parsed.options;

    out_fd = fcntl(1, F_DUPFD_CLOEXEC, 10);
    if (out_fd < 0)
        out_fd = 2;

    std::vector<std::pair<int, vboard::Recording>> recordings;
    for (auto &r : opts.replays) {
        auto rec = vboard::load_evemu(r.path);
        if (!rec.error.empty())
            fail(r.path + ": " + rec.error);
        recordings.emplace_back(r.port, std::move(rec));
    }

    // The board's threads leave the signals that end a run to the application's own threads,
    // whether it takes them with a handler or with sigwait or signalfd.
    sigset_t ending_signals, mask_before;
    sigemptyset(&ending_signals);
    for (int sig : kEndingSignals)
        sigaddset(&ending_signals, sig);
    pthread_sigmask(SIG_BLOCK, &ending_signals, &mask_before);

    sim::BoardOptions bo;
    if (opts.real_time_bring_up)
        bo.sleep_divisor = 1;
    board = new sim::Board(bo);
    board->gpio.set_logging(false); // a long run would grow the write log without end
    std::string ports;
    auto plugged = [&](int port, const std::string &what) {
        board->events.plug(port);
        ports += ", " + what + " on event" + std::to_string(port);
    };
    for (int p : opts.keyboards)
        plugged(p, "keyboard");
    for (int p : opts.mice)
        plugged(p, "mouse");
    for (auto &[port, rec] : recordings)
        plugged(port, "replay (" + std::to_string(rec.events.size()) + " events)");
    struct Live {
        int port, fd;
        std::string path;
    };
    std::vector<Live> live;
    for (auto &f : opts.forwards) {
        int fd = open(f.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            say("vboard: cannot read " + f.path + ": " + strerror(errno) + "; port " + std::to_string(f.port) +
                " stays empty");
            continue;
        }
        live.push_back({f.port, fd, f.path});
        plugged(f.port, f.path);
    }
    if (!opts.pcap.empty() && !board->host.capture(opts.pcap))
        fail("cannot write the capture " + opts.pcap);
    if (opts.usbip_address.empty()) {
        board->host.set_lock_leds(true);
        board->host.start();
        say("virtual board: CH374 on /dev/spidev0.0" + ports + ", host on the cable");
    } else {
        sim::UsbipBridgeOptions bo;
        bo.listen_address = opts.usbip_address;
        bo.port = uint16_t(opts.usbip_port);
        bo.log_limit = 4096; // the printing keeps up; a long run must not grow without end
        bridge = new sim::UsbipBridge(board->chip, bo);
        std::string where = opts.usbip_address + ":" + std::to_string(opts.usbip_port);
        if (!bridge->start())
            fail("--usbip " + where + ": " + strerror(errno));
        // usbip's own port is 3240; another goes before its command.
        std::string port = std::to_string(bridge->port());
        say("virtual board: CH374 on /dev/spidev0.0" + ports + ", exported over USB/IP on " + opts.usbip_address +
            ":" + port + " as bus id 1-1 (usbip " + (port == "3240" ? "" : "--tcp-port " + port + " ") +
            "attach -r " + opts.usbip_address + " -b 1-1)");
    }

    if (pipe2(signal_pipe, O_CLOEXEC) != 0)
        fail("no pipe for the signals");
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kEndingSignals) {
        // A signal ignored from the start (nohup, a shell's background job) stays ignored.
        struct sigaction was{};
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
    on_exit(on_application_exit, nullptr);

    replays_running = int(recordings.size());
    for (auto &[port, rec] : recordings)
        std::thread(replay, port, std::move(rec)).detach();
    for (auto &l : live)
        std::thread(forward, l.port, l.fd, l.path).detach();
    std::thread(watch_host).detach();
    std::thread(control).detach();
    pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);
}

} // namespace

// The board answers for its event devices wherever the application looks for them without
// the library (a service counting the keyboards plugged into the board), not the PC's.
extern "C" int access(const char *path, int mode)
{
    static auto real = reinterpret_cast<int (*)(const char *, int)>(dlsym(RTLD_NEXT, "access"));
    if (board) {
        bool ours;
        {
            std::lock_guard lock(sim::Kernel::instance().mutex());
            ours = board->events.owns(path);
        }
        if (ours)
            return sim::Kernel::instance().do_access(path, mode);
    }
    return real ? real(path, mode) : (errno = ENOSYS, -1);
}

// The application's km_init, with the end of the run hooked first (see hook_exit).
extern "C" int km_init(void)
{
    static auto real = reinterpret_cast<int (*)(void)>(dlsym(RTLD_NEXT, "km_init"));
    if (board)
        hook_exit();
    return real ? real() : -1;
}

namespace {

// Defined last: the file's other objects are initialised before the board starts, which a
// constructor function would not promise.
struct Starter {
    Starter() { start_virtual_board(); }
} starter;

} // namespace
