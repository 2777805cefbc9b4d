// hidbridged: the board's service. Forwards the board's keyboards and mice to the host, keeps
// the status panel current and takes commands on a Unix socket (see command.h).
//   hidbridged [--config FILE]           default /etc/hidbridge/hidbridge.ini
//   hidbridged --check [--config FILE]   the settings: exit 0 valid, 1 not
//   hidbridged --detach                  releases what the host holds, detaches the device
#include "config.h"
#include "service.h"

#include "hidbridge.h"
#include "usbfunc.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Every signal that ends the process by default and that it can see: each one stops the
// service the same way, so nothing stays held on the host. Crashes and SIGKILL are left to
// `hidbridged --detach` after the service (the unit's ExecStopPost).
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
constexpr int kNumStopSignals = sizeof kStopSignals / sizeof kStopSignals[0];

hidbridged::Service *service;
volatile sig_atomic_t stop_signal;
struct sigaction before[kNumStopSignals]; // the actions before ours

void on_signal(int sig)
{
    if (!stop_signal)
        stop_signal = sig;
    service->stop();
}

constexpr const char *kUsage = "usage: hidbridged [--config FILE]\n"
                               "       hidbridged --check [--config FILE]\n"
                               "       hidbridged --detach\n"
                               "       hidbridged --help | --version\n";

int usage()
{
    fputs(kUsage, stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = hidbridged::kDefaultConfig;
    bool check = false, detach = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (strcmp(argv[i], "--detach") == 0) {
            detach = true;
        } else if (strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            puts("The board's service: keyboards and mice to the host, the status panel, and a\n"
                 "control socket (see hidbridgectl). Exit status: hidbridged(8).");
            return 0;
        } else if (strcmp(argv[i], "--version") == 0) {
            puts("hidbridged " HIDBRIDGE_VERSION);
            return 0;
        } else {
            return usage();
        }
    }
    if (check && detach)
        return usage();
    if (detach) {
        // After the service, however it ended: the host lets go of every key and button.
        if (km_detach() != 0) {
            fputs("hidbridged: --detach: cannot reach the USB chip\n", stderr);
            return 1;
        }
        return 0;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    hidbridged::ServiceOptions opts;
    if (check) {
        if (access(path, F_OK) != 0) {
            fprintf(stderr, "hidbridged: %s: %s\n", hidbridged::escaped(path).c_str(), strerror(errno));
            return 1;
        }
        int bad = hidbridged::load_config(path, opts.config, stderr);
        if (bad == 0)
            printf("hidbridged: %s: valid\n", hidbridged::escaped(path).c_str());
        return bad == 0 ? 0 : 1;
    }
    hidbridged::load_config(path, opts.config, stderr);

    if (opts.config.vid || opts.config.pid) {
        // Patched into the descriptors before the host first reads them (km_init clears
        // km_config afterwards, not the descriptors).
        hidbridged::identity_override(opts.config.vid, opts.config.pid);
        setconfig();
    }

    char banner[64];
    km_version(banner);
    fputs(banner, stdout);
    puts("hidbridged: waiting for the host");
    // The socket answers from now on; the worker starts the library, which returns once the
    // host uses the board.
    opts.start_library = km_init;
    static hidbridged::Service s(opts);
    service = &s;
    if (!s.open_socket())
        return 1;
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigfillset(&sa.sa_mask);
    for (int i = 0; i < kNumStopSignals; ++i) {
        sigaction(kStopSignals[i], nullptr, &before[i]);
        if (before[i].sa_handler != SIG_IGN) // as under nohup: an ignored signal stays ignored
            sigaction(kStopSignals[i], &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    if (opts.config.layout)
        printf("hidbridged: control socket %s, layout %s\n", hidbridged::escaped(opts.config.socket).c_str(),
               opts.config.layout->name().c_str());
    else
        printf("hidbridged: control socket %s, no layout: %s\n", hidbridged::escaped(opts.config.socket).c_str(),
               opts.config.layout_error.c_str());
    hidbridged::notify_ready();
    bool stopped = s.run(); // every client's keys, buttons and masks released
    // Also what physical keyboards hold right now: the host drops all of it.
    km_detach();
    if (!stopped) {
        puts("hidbridged: failed");
        fflush(stdout);
        _exit(1); // the library's threads have no stop; the supervisor restarts us
    }
    puts("hidbridged: stopped");
    fflush(stdout);
    // The library's threads have no stop: the signal ends the process as it would have
    // without us (or reaches whoever handled it before, such as the virtual board's launcher).
    int sig = stop_signal;
    if (!sig)
        _exit(0);
    for (int i = 0; i < kNumStopSignals; ++i)
        if (kStopSignals[i] == sig)
            sigaction(sig, &before[i], nullptr);
    raise(sig);
    for (;;)
        pause();
}
