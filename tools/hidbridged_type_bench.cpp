// hidbridged's `type` on the virtual board, measured: a 1,000-character mixed text sent
// through the control socket in lines the service takes (at most 256 bytes), the characters
// per second against the bus's limit, and whether the host typed exactly that text; for `us`,
// then for `de` and `fr` with their own characters mixed in. Leaves the status screen the
// service drew as a PNG.
//   hidbridged_type_bench [output-dir]     (writes <output-dir>/hidbridged_panel.png)
#include "hidbridge.h"
#include "layout.h"
#include "service.h"

#include "board.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

sim::Board *board;

std::string ask(int fd, const std::string &line)
{
    std::string s = line + "\n", r;
    if (send(fd, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size()))
        return "<send failed>";
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        r += c;
    return r;
}

// Mixed text: words of lower and upper case letters, digits and punctuation, and one in ten
// of the layout's own characters, fixed seed.
std::string mixed_text(size_t n, std::u32string_view own = U"")
{
    const std::string punct = ".,;:!?-_'\"()[]{}<>/\\|@#$%^&*+=~`";
    std::string t;
    uint32_t x = 12345;
    auto next = [&] { return x = x * 1103515245u + 12345u, (x >> 16) & 0x7FFF; };
    for (size_t chars = 0; chars < n; ++chars) {
        unsigned r = next() % 100;
        if (!own.empty() && r % 10 == 0)
            hidbridged::append_utf8(t, own[next() % own.size()]);
        else if (r < 60)
            t += static_cast<char>('a' + next() % 26);
        else if (r < 72)
            t += static_cast<char>('A' + next() % 26);
        else if (r < 80)
            t += static_cast<char>('0' + next() % 10);
        else if (r < 88)
            t += punct[next() % punct.size()];
        else
            t += ' ';
    }
    return t;
}

// Keyboard reports this text needs when Shift changes only between characters that differ.
size_t reports_needed(const std::vector<hidbridged::Stroke> &strokes)
{
    size_t n = 0;
    uint8_t mods = 0;
    for (auto s : strokes) {
        n += __builtin_popcount(static_cast<unsigned>(mods ^ s.mods)) + 2;
        mods = s.mods;
    }
    return n + __builtin_popcount(mods);
}

std::string host_typed(const hidbridged::Layout &l, size_t from)
{
    hidbridged::TextDecoder d(l);
    auto reports = board->host.reports(0x82);
    for (size_t i = 0; i < reports.size(); ++i)
        if (auto k = sim::decode_keyboard(reports[i].bytes))
            d.report(k->modifiers, k->keys, i >= from);
    return d.text();
}

// Types the text in `layout` through the socket and says how it went; false when the host
// did not type it exactly.
bool run(int fd, const char *layout, const std::string &text, size_t chars)
{
    std::string error;
    auto l = hidbridged::find_layout({layout, ""}, error);
    if (!l || ask(fd, std::string("layout ") + layout) != "ok") {
        fprintf(stderr, "layout %s: %s\n", layout, error.c_str());
        return false;
    }
    std::vector<hidbridged::Stroke> strokes;
    std::string refused;
    if (!l->plan(text, false, strokes, refused)) {
        fprintf(stderr, "%s cannot type %s\n", layout, refused.c_str());
        return false;
    }
    size_t needed = reports_needed(strokes);
    ask(fd, "status"); // one round trip before the clock starts

    size_t from = board->host.reports(0x82).size();
    auto t0 = std::chrono::steady_clock::now();
    int failed = 0, lines = 0;
    for (size_t at = 0; at < text.size(); ++lines) {
        size_t end = std::min(text.size(), at + 250); // "type " and 250 bytes fit a line
        while (end < text.size() && (text[end] & 0xC0) == 0x80)
            --end;
        std::string r = ask(fd, "type " + text.substr(at, end - at));
        if (r != "ok") {
            fprintf(stderr, "type: %s\n", r.c_str());
            ++failed;
        }
        at = end;
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::this_thread::sleep_for(20ms);
    size_t sent = board->host.reports(0x82).size() - from;
    std::string typed = host_typed(*l, from);

    printf("%s: %zu characters (%zu key strokes) in %d lines, %.3f s\n", layout, chars, strokes.size(), lines, s);
    printf("rate: %.0f characters/s; bus limit 500 characters/s (press + release, 1 report per 1 ms frame)\n",
           chars / s);
    printf("reports: %zu keyboard reports for %zu characters (a Shift change is a report of its own: %zu "
           "for the text in one piece); %.0f reports/s of the endpoint's 1000\n",
           sent, chars, needed, sent / s);
    printf("host typed the text: %s\n", typed == text ? "yes, equal" : "NO, different");
    if (typed != text)
        printf("  sent:  %s\n  typed: %s\n", text.c_str(), typed.c_str());
    return typed == text && failed == 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string out = argc > 1 ? argv[1] : ".";
    board = new sim::Board; // lives as long as the library's threads
    board->gpio.set_logging(false);
    board->plug_keyboard(0).plug_mouse(1);
    board->host.start();
    km_init();

    hidbridged::ServiceOptions opts;
    char dir[] = "/tmp/hidbridged-bench-XXXXXX"; // the service takes no folder others may write to
    opts.config.socket = std::string(mkdtemp(dir)) + "/control.sock";
    opts.count_inputs = [] {
        int n = 0;
        for (int i = 0; i < sim::EventDevices::kCount; ++i)
            n += board->events.present(i);
        return n;
    };
    opts.status_period = 100ms;
    static hidbridged::Service service(opts);
    if (!service.open_socket())
        return 1;
    std::thread([] { service.run(); }).detach();

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, opts.config.socket.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("connect");
        return 1;
    }

    const size_t kChars = 1000;
    bool ok = run(fd, "us", mixed_text(kChars), kChars);
    ok = run(fd, "de", mixed_text(kChars, U"äöüÄÖÜß€§°µ²³"), kChars) && ok;
    ok = run(fd, "fr", mixed_text(kChars, U"éèàçùâêîôûëïÉ€£§µ²"), kChars) && ok;

    std::this_thread::sleep_for(300ms); // a status refresh after the typing
    std::string png = out + "/hidbridged_panel.png";
    printf("panel: %s\n", board->panel.write_png(png, 3) ? png.c_str() : "(not written)");
    fflush(stdout);
    _exit(ok ? 0 : 1);
}
