// hidbridged: the board's service. Forwards the board's keyboards and mice to the host, keeps
// the status panel current and takes commands on a Unix socket (see command.h).
//   hidbridged [--config FILE]      default /etc/hidbridge/hidbridge.ini
#include "config.h"
#include "service.h"

#include "hidbridge.h"
#include "usbfunc.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

hidbridged::Service *service;
volatile sig_atomic_t stop_signal;
struct sigaction before[2]; // SIGTERM's and SIGINT's actions before ours

void on_signal(int sig)
{
    stop_signal = sig;
    service->stop();
}

int usage()
{
    fprintf(stderr, "usage: hidbridged [--config FILE]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = hidbridged::kDefaultConfig;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--config") == 0 && i + 1 < argc)
            path = argv[++i];
        else
            return usage();
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    hidbridged::ServiceOptions opts;
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
    km_init(); // returns once the host uses the board
    puts("hidbridged: forwarding keyboards and mice to the host");

    static hidbridged::Service s(opts);
    service = &s;
    if (!s.open_socket())
        return 1;
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, &before[0]);
    sigaction(SIGINT, &sa, &before[1]);
    signal(SIGPIPE, SIG_IGN);
    printf("hidbridged: control socket %s, layout %s\n", opts.config.socket.c_str(),
           hidbridged::layout_name(opts.config.layout));
    s.run(); // returns on a signal, with every client's keys and buttons released
    puts("hidbridged: stopped");
    fflush(stdout);
    // The library's threads have no stop: the signal ends the process as it would have
    // without us (or reaches whoever handled it before, such as the virtual board's launcher).
    sigaction(stop_signal, stop_signal == SIGTERM ? &before[0] : &before[1], nullptr);
    raise(stop_signal);
    for (;;)
        pause();
}
