// The library measured against the bus on the virtual board, the host polling every 1 ms:
//   physical event written to an event device -> the host collected the report carrying it,
//   for a mouse sending 1,000 motion frames a second (and 500, where no backlog can build up)
//   and for a keyboard;
//   host-collected mouse reports per second with that mouse (the bus carries 1,000);
//   km_move and km_keypress: call -> host collected, taps per second, taps lost;
//   CPU time of the library's threads per 1,000 reports; heap allocations after start-up.
//   hid_latency [histogram.png] [events=10000]
// Allocations are counted on the library's own threads and on the application's thread
// inside a km_ call; what the virtual board's models allocate behind the seam (they stand in
// for the kernel) is counted apart.
#include "histogram_png.h"

#include "alloc_counter.h"
#include "board.h"
#include "hidbridge.h"
#include "sysio.h"

#include <dlfcn.h>
#include <linux/input-event-codes.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ---- Counting allocator ----

namespace {

thread_local bool library_thread = false; // started by km_init
thread_local bool in_library_call = false; // the application's thread inside a km_ call
thread_local int seam_depth = 0;           // inside the virtual board's kernel
thread_local timespec seam_enter;
std::atomic<bool> counting{false};
std::atomic<uint64_t> library_allocs{0}, model_allocs{0};
std::atomic<uint64_t> seam_cpu_ns{0}; // CPU time of the library's threads inside the models

inline bool ours() { return library_thread || in_library_call; }

void note_alloc()
{
    if (!counting.load(std::memory_order_relaxed) || !ours())
        return;
    (seam_depth ? model_allocs : library_allocs).fetch_add(1, std::memory_order_relaxed);
}

} // namespace


// ---- The library's threads: every thread km_init starts is marked and its CPU clock kept ----

namespace {

std::atomic<bool> marking{false};
std::atomic<int> library_threads{0};
clockid_t library_clocks[8];

struct Start {
    void *(*fn)(void *);
    void *arg;
};

void *library_thread_main(void *p)
{
    Start s = *static_cast<Start *>(p);
    delete static_cast<Start *>(p);
    library_thread = true;
    int i = library_threads.load();
    if (i < 8 && pthread_getcpuclockid(pthread_self(), &library_clocks[i]) == 0)
        library_threads = i + 1;
    return s.fn(s.arg);
}

} // namespace

extern "C" int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg)
{
    using Real = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!marking.load())
        return real(t, a, fn, arg);
    return real(t, a, library_thread_main, new Start{fn, arg});
}

namespace {

// ---- The seam, wrapped: time and allocations inside the board's models are kept apart ----

const sysio_ops *board_ops;
sysio_ops wrapped_ops;

struct InSeam {
    InSeam()
    {
        if (ours() && seam_depth++ == 0)
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &seam_enter);
    }
    ~InSeam()
    {
        if (ours() && --seam_depth == 0) {
            timespec now;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
            seam_cpu_ns += uint64_t((now.tv_sec - seam_enter.tv_sec) * 1000000000L + now.tv_nsec - seam_enter.tv_nsec);
        }
    }
};

void wrap_seam()
{
    board_ops = sysio_current();
    wrapped_ops.open = [](const char *p, int f, mode_t m) { InSeam s; return board_ops->open(p, f, m); };
    wrapped_ops.close = [](int fd) { InSeam s; return board_ops->close(fd); };
    wrapped_ops.read = [](int fd, void *b, size_t n) { InSeam s; return board_ops->read(fd, b, n); };
    wrapped_ops.write = [](int fd, const void *b, size_t n) { InSeam s; return board_ops->write(fd, b, n); };
    wrapped_ops.lseek = [](int fd, off_t o, int w) { InSeam s; return board_ops->lseek(fd, o, w); };
    wrapped_ops.ioctl = [](int fd, unsigned long r, void *a) { InSeam s; return board_ops->ioctl(fd, r, a); };
    wrapped_ops.poll = [](pollfd *f, nfds_t n, int t) { InSeam s; return board_ops->poll(f, n, t); };
    wrapped_ops.access = [](const char *p, int m) { InSeam s; return board_ops->access(p, m); };
    wrapped_ops.sleep_us = [](unsigned long us) { InSeam s; board_ops->sleep_us(us); };
    sysio_install(&wrapped_ops);
}

uint64_t library_cpu_ns()
{
    uint64_t sum = 0;
    for (int i = 0; i < library_threads.load(); ++i) {
        timespec ts;
        if (clock_gettime(library_clocks[i], &ts) == 0)
            sum += uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
    }
    return sum;
}

uint64_t thread_cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// ---- Measurement helpers ----

sim::Board *board;
Clock::time_point host_t0;

Clock::time_point host_time(uint64_t t_us) { return host_t0 + std::chrono::microseconds(t_us); }
double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Stats {
    size_t n = 0;
    double median = 0, p99 = 0, max = 0, min = 0;
};

Stats stats(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    s.n = v.size();
    s.median = at(0.5);
    s.p99 = at(0.99);
    s.min = v.front();
    s.max = v.back();
    return s;
}

int16_t mouse_x(const sim::Report &r)
{
    return r.bytes.size() >= 3 ? int16_t(r.bytes[1] | r.bytes[2] << 8) : 0;
}

bool key_held(const sim::Report &r, uint8_t usage)
{
    if (r.bytes.size() < 12 || r.bytes[0] != 1)
        return false;
    for (size_t i = 2; i < 12; ++i)
        if (r.bytes[i] == usage)
            return true;
    return false;
}

bool is_keyboard_report(const sim::Report &r) { return r.bytes.size() >= 12 && r.bytes[0] == 1; }

void sleep_until(Clock::time_point t)
{
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Reports of `ep` the host accepted from `from` on (its report sequence number).
std::vector<sim::Report> reports_since(uint8_t ep, uint64_t from)
{
    std::vector<sim::Report> out;
    for (auto &r : board->host.reports(ep))
        if (r.seq >= from)
            out.push_back(r);
    return out;
}

void wait_quiet()
{
    // Everything written has been read and sent: the host sees no new report for 20 ms.
    for (uint64_t last = ~0ull; last != board->host.report_seq();) {
        last = board->host.report_seq();
        std::this_thread::sleep_for(20ms);
    }
}

// Pairs event i (at stamps[i]) with the first report after the previous match that carries
// it, and adds the latency to `out`. An event whose report is not within `window` reports
// is lost (merged or dropped). Returns the number lost.
template <class Carries>
size_t match(const std::vector<sim::Report> &reps, const std::vector<Clock::time_point> &stamps, size_t window,
             std::vector<double> &out, Carries carries)
{
    size_t lost = 0, j = 0;
    for (size_t i = 0; i < stamps.size(); ++i) {
        size_t k = j;
        while (k < reps.size() && !carries(reps[k], i))
            ++k;
        if (k >= reps.size() || k > j + window) {
            lost++;
            continue;
        }
        out.push_back(us(host_time(reps[k].t_us) - stamps[i]));
        j = k + 1;
    }
    return lost;
}

struct Result {
    Stats keyboard, move_collected, move_returned, tap_collected;
    size_t keyboard_lost = 0, move_lost = 0;
    double taps_per_s = 0;
    int taps = 0, taps_seen = 0, tap_errors = 0, move_errors = 0;
    double app_cpu_us_per_call = 0;
    std::vector<double> keyboard_us, move_us, tap_us;
};

// A mouse on port 1 sending `frames` motion frames, one each `period`; the frame's X
// (1 .. 100, cycling) tells which report carries it.
struct MouseRun {
    Stats latency;
    size_t lost = 0;
    double reports_per_s = 0, cpu_us_per_1000 = 0, cpu_model_us_per_1000 = 0;
    std::vector<double> us;
};

void mouse_run(int frames, std::chrono::microseconds period, MouseRun &res)
{
    const uint64_t from = board->host.report_seq();
    std::vector<Clock::time_point> written(frames);
    const uint64_t cpu0 = library_cpu_ns(), seam0 = seam_cpu_ns.load();
    const auto start = Clock::now() + 5ms;
    for (int i = 0; i < frames; ++i) {
        sleep_until(start + i * period);
        written[i] = Clock::now();
        board->events.rel(1, REL_X, 1 + i % 100);
        board->events.syn(1);
    }
    wait_quiet();
    const uint64_t cpu1 = library_cpu_ns(), seam1 = seam_cpu_ns.load();

    auto reps = reports_since(0x81, from);
    res.lost = match(reps, written, 50, res.us,
                     [](const sim::Report &r, size_t i) { return mouse_x(r) == 1 + int(i % 100); });
    size_t in_window = 0;
    for (auto &r : reps)
        if (host_time(r.t_us) >= written.front() && host_time(r.t_us) <= written.back() + period)
            in_window++;
    res.reports_per_s = double(in_window) / (us(written.back() + period - written.front()) / 1e6);
    res.cpu_us_per_1000 = double(cpu1 - cpu0) / 1e3 / double(reps.size()) * 1000;
    res.cpu_model_us_per_1000 = double(seam1 - seam0) / 1e3 / double(reps.size()) * 1000;
    res.latency = stats(res.us);
}

// A keyboard on port 0: `events` key events, press and release of A in turn, 2 to 4 ms
// apart at random (each event makes a mouse report and a keyboard report).
void keyboard_run(int events, Result &res, std::mt19937 &rng)
{
    const uint64_t from = board->host.report_seq();
    std::vector<Clock::time_point> written(events);
    std::uniform_int_distribution<int> gap(2000, 4000);
    auto t = Clock::now() + 5ms;
    for (int i = 0; i < events; ++i) {
        sleep_until(t);
        written[i] = Clock::now();
        board->events.key(0, KEY_A, i % 2 == 0 ? 1 : 0);
        board->events.syn(0);
        t += std::chrono::microseconds(gap(rng));
    }
    wait_quiet();
    auto reps = reports_since(0x82, from);
    res.keyboard_lost = match(reps, written, 4, res.keyboard_us, [](const sim::Report &r, size_t i) {
        return is_keyboard_report(r) && key_held(r, 0x04) == (i % 2 == 0);
    });
    res.keyboard = stats(res.keyboard_us);
}

// km_move from the application's thread at random points of the host's frame.
void move_run(int calls, Result &res, std::mt19937 &rng)
{
    const uint64_t from = board->host.report_seq();
    std::vector<Clock::time_point> called(calls);
    std::uniform_int_distribution<int> gap(0, 1500);
    std::vector<double> returned;
    uint64_t cpu = 0;
    for (int i = 0; i < calls; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(gap(rng)));
        uint64_t c0 = thread_cpu_ns();
        called[i] = Clock::now();
        in_library_call = true;
        int r = km_move(int16_t(1 + i % 100), 0);
        in_library_call = false;
        auto back = Clock::now();
        cpu += thread_cpu_ns() - c0;
        if (r != 0)
            res.move_errors++;
        returned.push_back(us(back - called[i]));
    }
    wait_quiet();
    auto reps = reports_since(0x81, from);
    res.move_lost = match(reps, called, 4, res.move_us,
                          [](const sim::Report &r, size_t i) { return mouse_x(r) == 1 + int(i % 100); });
    res.move_collected = stats(res.move_us);
    res.move_returned = stats(returned);
    res.app_cpu_us_per_call = double(cpu) / 1e3 / calls;
}

// km_keypress of B back to back: taps per second, and every tap seen by the host.
void tap_run(int taps, Result &res)
{
    const uint64_t from = board->host.report_seq();
    std::vector<Clock::time_point> called(taps);
    const auto t0 = Clock::now();
    for (int i = 0; i < taps; ++i) {
        called[i] = Clock::now();
        in_library_call = true;
        int r = km_keypress(0x05);
        in_library_call = false;
        if (r != 0)
            res.tap_errors++;
    }
    const auto t1 = Clock::now();
    wait_quiet();
    res.taps = taps;
    res.taps_per_s = taps / (us(t1 - t0) / 1e6);
    auto reps = reports_since(0x82, from);
    bool held = false;
    size_t i = 0;
    for (auto &r : reps) {
        if (!is_keyboard_report(r))
            continue;
        bool now = key_held(r, 0x05);
        if (held && !now) {
            if (i < called.size())
                res.tap_us.push_back(us(host_time(r.t_us) - called[i]));
            ++i;
            res.taps_seen++;
        }
        held = now;
    }
    res.tap_collected = stats(res.tap_us);
}

void row(const char *what, const Stats &s, const char *extra = "")
{
    std::printf("| %-44s | %6zu | %8.0f | %8.0f | %8.0f | %s\n", what, s.n, s.median, s.p99, s.max, extra);
}

const char *met(bool ok) { return ok ? "met" : "NOT met"; }

} // namespace

int main(int argc, char **argv)
{
    const std::string png = argc > 1 ? argv[1] : "hid_latency.png";
    const int events = argc > 2 ? std::atoi(argv[2]) : 10000;
    sim::set_alloc_hook(note_alloc);

    // The host's clock starts when the board makes it; bracket that moment.
    auto before = Clock::now();
    board = new sim::Board;
    auto after = Clock::now();
    host_t0 = before + (after - before) / 2;
    wrap_seam();
    board->plug_keyboard(0).plug_mouse(1);
    board->host.start();

    std::printf("starting the library on the virtual board...\n");
    std::fflush(stdout);
    // The library's messages would be mixed into the table: they go to a file.
    FILE *saved = fdopen(dup(fileno(stdout)), "w");
    if (!freopen("hid_latency.log", "w", stdout))
        return 1;
    marking = true;
    int r = km_init();
    marking = false;
    if (r != 0 || !board->host.wait_configured(5s)) {
        std::fprintf(saved, "km_init %d, host %s\n", r, board->host.snapshot().last_error.c_str());
        return 1;
    }
    // Both devices are open once the input thread listens.
    if (!board->events.wait_open(0, 1, 5s) || !board->events.wait_open(1, 1, 5s)) {
        std::fprintf(saved, "the input thread did not open the event devices\n");
        return 1;
    }
    std::this_thread::sleep_for(200ms);

    Result res;
    MouseRun fast, slow;
    std::mt19937 rng(8);
    counting = true;
    mouse_run(events, 1000us, fast);
    wait_quiet();
    // Half the bus's rate: what a frame costs when no backlog can build up. 2.003 ms apart,
    // so the frames fall on every point of the host's 1 ms frame in turn.
    mouse_run(events / 2, 2003us, slow);
    keyboard_run(events, res, rng);
    move_run(events / 5, res, rng);
    tap_run(events / 10, res);
    counting = false;
    std::fflush(stdout);

    // Back to the terminal for the table.
    std::fflush(stdout);
    dup2(fileno(saved), fileno(stdout));
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("\nhidbridge on the virtual board, host polling each interrupt endpoint every 1 ms frame\n");
    std::printf("load average %.2f %.2f %.2f on %u cores; host clock bracket %.1f us\n\n", load[0], load[1], load[2],
                std::thread::hardware_concurrency(), us(after - before));
    std::printf("| %-44s | %6s | %8s | %8s | %8s |\n", "latency (us)", "n", "median", "p99", "max");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(8, '-').c_str(),
                std::string(10, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str());
    char extra[96];
    std::snprintf(extra, sizeof extra, "%zu frames lost", fast.lost);
    row("mouse frame -> host collected, 1000 frames/s", fast.latency, extra);
    std::snprintf(extra, sizeof extra, "%zu frames lost", slow.lost);
    row("mouse frame -> host collected, 499 frames/s", slow.latency, extra);
    std::snprintf(extra, sizeof extra, "%zu events lost", res.keyboard_lost);
    row("key event -> host collected", res.keyboard, extra);
    std::snprintf(extra, sizeof extra, "%zu lost, %d results not 0", res.move_lost, res.move_errors);
    row("km_move called -> host collected", res.move_collected, extra);
    row("km_move called -> returned", res.move_returned);
    row("km_keypress called -> release collected", res.tap_collected);
    std::printf("\n");
    std::printf("mouse reports collected by the host: %.1f /s with the mouse at 1000 frames/s (bus limit 1000 /s)\n",
                fast.reports_per_s);
    std::printf("taps: %d made, %d seen by the host, %.1f taps/s, %d results not 0\n", res.taps, res.taps_seen,
                res.taps_per_s, res.tap_errors);
    std::printf("CPU of the library's %d threads: %.0f us per 1000 mouse reports, of which %.0f us inside the "
                "board's models\n",
                library_threads.load(), fast.cpu_us_per_1000, fast.cpu_model_us_per_1000);
    std::printf("CPU of the application's thread: %.1f us per km_move call\n", res.app_cpu_us_per_call);
    std::printf("heap allocations after start-up: %llu by the library, %llu by the board's models behind the seam\n",
                (unsigned long long)library_allocs.load(), (unsigned long long)model_allocs.load());
    std::printf("\ngoals: p99 under 2 ms: mouse %s, keyboard %s; at least 990 mouse reports/s: %s; "
                "zero lost taps: %s; zero allocations: %s\n",
                met(fast.latency.p99 < 2000 && fast.lost == 0), met(res.keyboard.p99 < 2000 && res.keyboard_lost == 0),
                met(fast.reports_per_s >= 990), met(res.taps_seen == res.taps && res.tap_errors == 0),
                met(library_allocs.load() == 0));
    bool ok = bench::write_histograms(png,
                                      {{"mouse frame -> host collected, 1000 frames/s", fast.us},
                                       {"mouse frame -> host collected, 499 frames/s", slow.us},
                                       {"key event -> host collected", res.keyboard_us},
                                       {"km_move called -> host collected", res.move_us},
                                       {"km_keypress called -> release collected", res.tap_us}},
                                      5000);
    std::printf("histogram: %s\n", ok ? png.c_str() : "not written (no libpng)");
    std::printf("the library's own messages: hid_latency.log\n");
    std::fflush(stdout);
    std::_Exit(0); // the library's threads never end
}
