#include "service_board.h"

#include "hidbridge.h"
#include "usbfunc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace hbtest {

namespace {

std::string &dir()
{
    static std::string d = [] {
        char t[] = "/tmp/hidbridged-test-XXXXXX";
        return std::string(mkdtemp(t));
    }();
    return d;
}

hidbridged::Service *service;

} // namespace

sim::Board &board()
{
    static sim::Board &b = *new sim::Board;
    return b;
}

const std::string &socket_path()
{
    static std::string p = dir() + "/control.sock";
    return p;
}

const std::string &config_path()
{
    static std::string p = dir() + "/hidbridge.ini";
    return p;
}

hidbridged::ServiceOptions &service_options()
{
    static hidbridged::ServiceOptions o;
    return o;
}

void start_service(const std::string &ini, bool host)
{
    board().gpio.set_logging(false);
    board().plug_keyboard(0).plug_mouse(1);
    hidbridged::ServiceOptions &opts = service_options();
    if (!ini.empty()) {
        std::ofstream(config_path()) << ini;
        hidbridged::load_config(config_path().c_str(), opts.config, stderr);
    }
    if (ini.find("socket") == std::string::npos)
        opts.config.socket = socket_path();
    if (opts.config.vid || opts.config.pid) {
        hidbridged::identity_override(opts.config.vid, opts.config.pid);
        setconfig();
    }
    opts.count_inputs = [] {
        int n = 0;
        for (int i = 0; i < sim::EventDevices::kCount; ++i)
            n += board().events.present(i);
        return n;
    };
    opts.status_period = 50ms;
    if (host) {
        board().host.start();
        ASSERT_EQ(km_init(), Success);
        ASSERT_TRUE(board().host.wait_configured(2s));
    } else {
        opts.start_library = km_init;
    }
    service = new hidbridged::Service(opts); // lives as long as the library: to the end
    ASSERT_TRUE(service->open_socket());
    std::thread([] { service->run(); }).detach();
}

Client::Client()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, socket_path().c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Client::~Client() { close(); }

void Client::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void Client::send_raw(std::string_view bytes)
{
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        at += static_cast<size_t>(n);
    }
}

std::string Client::reply()
{
    auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        size_t nl = in_.find('\n');
        if (nl != std::string::npos) {
            std::string r = in_.substr(0, nl);
            in_.erase(0, nl + 1);
            return r;
        }
        pollfd p{fd_, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline || poll(&p, 1, 100) < 0)
            return "<timeout>";
        if (!(p.revents & (POLLIN | POLLHUP)))
            continue;
        char buf[512];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return "<closed>";
        in_.append(buf, static_cast<size_t>(n));
    }
}

bool Client::waiting()
{
    pollfd p{fd_, POLLIN, 0};
    return in_.find('\n') == std::string::npos && poll(&p, 1, 0) == 0;
}

std::string Client::ask(const std::string &line)
{
    send_raw(line + "\n");
    return reply();
}

size_t keyboard_reports() { return board().host.reports(0x82).size(); }

std::string host_typed(const char *layout, size_t from, bool caps, bool *caps_after)
{
    hidbridged::LayoutName n;
    std::string error;
    std::string_view l = layout;
    n.layout = l.substr(0, l.find('('));
    if (l.find('(') != std::string_view::npos)
        n.variant = l.substr(l.find('(') + 1, l.size() - l.find('(') - 2);
    auto keymap = hidbridged::find_layout(n, error);
    if (!keymap)
        return "<" + error + ">";
    hidbridged::TextDecoder d(*keymap, caps);
    auto reports = board().host.reports(0x82);
    for (size_t i = 0; i < reports.size(); ++i)
        if (auto k = sim::decode_keyboard(reports[i].bytes))
            d.report(k->modifiers, k->keys, i >= from);
    if (caps_after)
        *caps_after = d.caps();
    return d.text();
}

} // namespace hbtest
