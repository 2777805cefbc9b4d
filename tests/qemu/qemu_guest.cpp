#include "qemu_guest.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

extern char **environ;

std::string QemuGuest::kernel, QemuGuest::initrd;

namespace {

bool starts_with(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }

} // namespace

std::string QemuGuest::prepare()
{
    if (!kernel.empty())
        return "";
    // The script has its own time-outs for every step; this one is the last resort.
    std::string cmd = "timeout 900 " HB_SOURCE_DIR "/tools/qemu/prepare.sh 2>&1";
    FILE *p = ::popen(cmd.c_str(), "r");
    if (!p)
        return "cannot run tools/qemu/prepare.sh";
    std::string out, line;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    int st = ::pclose(p);
    std::istringstream is(out);
    while (std::getline(is, line)) {
        if (starts_with(line, "KERNEL="))
            kernel = line.substr(7);
        if (starts_with(line, "INITRD="))
            initrd = line.substr(7);
    }
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0 && !kernel.empty() && !initrd.empty())
        return "";
    kernel.clear();
    initrd.clear();
    if (WIFEXITED(st) && WEXITSTATUS(st) == 77)
        return out.empty() ? "the QEMU guest cannot be prepared here" : out;
    return "preparing the QEMU guest failed:\n" + out;
}

ChildLines::~ChildLines()
{
    if (pid_ > 0)
        finish(std::chrono::milliseconds(0));
}

bool QemuGuest::start(uint16_t bridge_port, const GuestOptions &opts)
{
    std::string append = "console=ttyS0 loglevel=1 panic=-1 hb.devs=" + std::to_string(opts.devices) +
                         " hb.run=" + std::to_string(opts.run_s) +
                         " hb.open=" + (opts.keyboards_only ? "keyboards" : "all") +
                         " hb.print=" + (opts.sums ? "sums" : "events");
    // restrict=on: the guest reaches nothing but the one forwarded port, the bridge.
    std::string net = "user,id=n0,restrict=on,guestfwd=tcp:10.0.2.100:3240-tcp:127.0.0.1:" + std::to_string(bridge_port);
    std::vector<std::string> args = {"qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
                                     "-monitor", "none", "-serial", "stdio", "-no-reboot", "-m", "256", "-accel",
                                     "tcg", "-kernel", kernel, "-initrd", initrd, "-append", append, "-netdev", net,
                                     "-device", "virtio-net-pci,netdev=n0"};
    return ChildLines::start(args);
}

bool ChildLines::start(const std::vector<std::string> &args_in)
{
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) < 0 || ::pipe2(out, O_CLOEXEC) < 0)
        return false;
    std::vector<std::string> args = args_in;
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    int rc = ::posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    in_fd_ = in[1];
    out_fd_ = out[0];
    reader_ = std::thread([this] { reader(); });
    return true;
}

void ChildLines::reader()
{
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        std::lock_guard lock(mu_);
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] == '\n') {
                if (!partial.empty() && partial.back() == '\r')
                    partial.pop_back();
                lines_.push_back(std::move(partial));
                arrivals_.push_back(std::chrono::steady_clock::now());
                partial.clear();
            } else {
                partial += buf[i];
            }
        }
        cv_.notify_all();
    }
    std::lock_guard lock(mu_);
    if (!partial.empty()) {
        lines_.push_back(partial);
        arrivals_.push_back(std::chrono::steady_clock::now());
    }
    eof_ = true;
    cv_.notify_all();
}

std::string ChildLines::wait_line(const std::string &prefix, std::chrono::milliseconds timeout, size_t from)
{
    std::unique_lock lock(mu_);
    std::string found;
    cv_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < lines_.size(); i++)
            if (starts_with(lines_[i], prefix)) {
                found = lines_[i];
                return true;
            }
        return eof_;
    });
    return found;
}

void ChildLines::send(const std::string &line)
{
    std::string l = line + "\n";
    if (in_fd_ >= 0)
        [[maybe_unused]] ssize_t n = ::write(in_fd_, l.data(), l.size());
}

void ChildLines::signal(int sig)
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

bool ChildLines::finish(std::chrono::milliseconds timeout, int *status)
{
    if (pid_ <= 0)
        return false;
    bool by_itself = false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int st;
    for (;;) {
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            by_itself = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    if (status)
        *status = st;
    ::close(in_fd_);
    in_fd_ = -1;
    if (reader_.joinable())
        reader_.join();
    ::close(out_fd_);
    out_fd_ = -1;
    return by_itself;
}

std::vector<std::string> ChildLines::lines() const
{
    std::lock_guard lock(mu_);
    return lines_;
}

std::vector<std::chrono::steady_clock::time_point> ChildLines::arrivals() const
{
    std::lock_guard lock(mu_);
    return arrivals_;
}

size_t ChildLines::line_count() const
{
    std::lock_guard lock(mu_);
    return lines_.size();
}

std::vector<GuestEvent> QemuGuest::events() const
{
    std::vector<GuestEvent> ev;
    for (const auto &l : lines()) {
        GuestEvent e;
        if (std::sscanf(l.c_str(), "HB-EV %d %u %u %d", &e.dev, &e.type, &e.code, &e.value) == 4)
            ev.push_back(e);
    }
    return ev;
}

std::map<int, QemuGuest::Device> QemuGuest::devices() const
{
    std::map<int, Device> d;
    for (const auto &l : lines()) {
        int n;
        char caps[32];
        int pos = 0;
        if (std::sscanf(l.c_str(), "HB-DEV %d %31s %n", &n, caps, &pos) == 2 && pos)
            d[n] = {caps, l.substr(size_t(pos))};
    }
    return d;
}

std::vector<int> QemuGuest::skipped() const
{
    std::vector<int> s;
    for (const auto &l : lines()) {
        int n;
        if (std::sscanf(l.c_str(), "HB-SKIP %d", &n) == 1)
            s.push_back(n);
    }
    return s;
}

std::map<int, GuestSums> QemuGuest::sums(size_t from) const
{
    std::map<int, GuestSums> m;
    auto all = lines();
    for (size_t i = from; i < all.size(); i++) {
        int n;
        GuestSums s;
        if (std::sscanf(all[i].c_str(), "HB-SUM %d x %lld y %lld press %lld release %lld dropped %lld events %lld", &n,
                        &s.x, &s.y, &s.press, &s.release, &s.dropped, &s.events) == 7)
            m[n] = s;
    }
    return m;
}

std::vector<std::string> QemuGuest::kernel_log() const
{
    std::vector<std::string> k;
    for (const auto &l : lines())
        if (starts_with(l, "HB-KLOG "))
            k.push_back(l.substr(8));
    return k;
}

std::map<std::string, std::vector<uint8_t>> QemuGuest::report_descriptors() const
{
    std::map<std::string, std::vector<uint8_t>> r;
    for (const auto &l : lines()) {
        if (!starts_with(l, "HB-RDESC "))
            continue;
        std::istringstream is(l.substr(9));
        std::string id, hex;
        is >> id >> hex;
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
        r[id] = bytes;
    }
    return r;
}

std::string QemuGuest::transcript() const
{
    std::string t;
    for (const auto &l : lines())
        if (!starts_with(l, "HB-KLOG ") || l.find("usb") != std::string::npos || l.find("hid") != std::string::npos ||
            l.find("input") != std::string::npos || l.find("vhci") != std::string::npos)
            t += l + "\n";
    return t;
}
