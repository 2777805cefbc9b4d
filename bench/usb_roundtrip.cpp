// Time on the virtual board from attach to configured, and the mouse report round trip:
// MouseSendReport called -> the host accepted that report (and -> the call returned).
//   usb_roundtrip [reports=1000] [enumerations=20]
// The host runs 1 ms frames and polls each interrupt endpoint once per frame, as a real
// full-speed host does, so the round trip is bounded below by where in the frame a report
// is armed.
#include "board.h"
#include "global.h"
#include "usbfunc.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

uint8_t configok() { return std::atomic_ref<uint8_t>(km.configok).load(); }

double us_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::micro>(b - a).count();
}

void print_stats(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    std::printf("%-34s n=%zu  median %8.1f us  p99 %8.1f us  min %8.1f us  max %8.1f us\n", what, v.size(), at(0.5),
                at(0.99), v.front(), v.back());
}

bool wait_until(bool (*pred)(), std::chrono::milliseconds timeout)
{
    auto until = Clock::now() + timeout;
    while (!pred())
        if (Clock::now() > until)
            return false;
        else
            std::this_thread::sleep_for(50us);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int reports = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int enumerations = argc > 2 ? std::atoi(argv[2]) : 20;

    // The host's clock starts when the board makes it; bracket that moment.
    auto before = Clock::now();
    static auto &board = *new sim::Board;
    auto after = Clock::now();
    const auto host_t0 = before + (after - before) / 2;
    auto host_time = [&](uint64_t t_us) { return host_t0 + std::chrono::microseconds(t_us); };

    std::fflush(stdout);
    pthread_t t;
    pthread_create(&t, nullptr, thread_device_listen, nullptr);
    pthread_detach(t);
    board.host.start();

    // Attach to configured, first as the board comes up, then after each replug.
    std::vector<double> host_ready, device_ready;
    for (int i = 0; i <= enumerations; ++i) {
        if (i > 0) {
            board.host.unplug();
            std::this_thread::sleep_for(5ms);
            board.host.clear_logs();
            board.host.replug();
            // The device learns of the new attach from the host's bus reset.
            if (!wait_until([] { return configok() == 0; }, 2s)) {
                std::fprintf(stderr, "no reset after replug %d\n", i);
                return 1;
            }
        }
        if (!board.host.wait_configured(5s) || !wait_until([] { return configok() == 1; }, 2s)) {
            std::fprintf(stderr, "enumeration %d failed: %s\n", i, board.host.snapshot().last_error.c_str());
            return 1;
        }
        auto ok_at = Clock::now();
        uint64_t attach_us = 0;
        for (auto &tr : board.host.transactions())
            if (tr.kind == sim::TokenKind::Attach)
                attach_us = tr.t_us;
        auto s = board.host.snapshot();
        host_ready.push_back(double(s.enumeration_us));
        device_ready.push_back(us_between(host_time(attach_us), ok_at));
    }

    std::vector<double> collected, returned;
    collected.reserve(reports);
    for (int i = 0; i < reports; ++i) {
        uint64_t cursor = board.host.report_seq();
        auto call = Clock::now();
        int r = MouseSendReport(0, uint16_t(i), 0, 0);
        auto back = Clock::now();
        auto rep = board.host.next_report(cursor, 1s);
        if (r != 0 || !rep) {
            std::fprintf(stderr, "report %d: result %d%s\n", i, r, rep ? "" : ", never collected");
            return 1;
        }
        collected.push_back(us_between(call, host_time(rep->t_us)));
        returned.push_back(us_between(call, back));
        // Reports from an application come at random points of a frame.
        std::this_thread::sleep_for(std::chrono::microseconds(137 * (i % 7)));
    }

    std::fflush(stdout);
    std::printf("\nhost clock bracket %.1f us\n", us_between(before, after));
    print_stats("enumeration, host (reset to ready)", host_ready);
    print_stats("attach -> configok 1", device_ready);
    print_stats("send called -> host collected", collected);
    print_stats("send called -> send returned 0", returned);
    auto s = board.host.snapshot();
    std::printf("retransmissions dropped by the host: %llu\n", (unsigned long long)s.retransmissions);
    std::fflush(stdout);
    std::_Exit(0); // the library's threads never end
}
