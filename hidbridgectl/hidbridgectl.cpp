// hidbridgectl: one command to hidbridged, its reply printed.
//   hidbridgectl [--socket PATH] COMMAND [ARGS]   the words joined into one command line
//   hidbridgectl [--socket PATH]                  every line of standard input, in turn
// Exit status: 0 when every reply was ok, 1 when one was err, 2 when the service cannot be
// reached (or the command line is unusable).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char *kDefaultSocket = "/run/hidbridge/control.sock";

int connect_to(const char *path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        fprintf(stderr, "hidbridgectl: socket path too long: %s\n", path);
        return -1;
    }
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "hidbridgectl: cannot connect to %s: %s\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

bool send_line(int fd, const std::string &line)
{
    std::string s = line + "\n";
    size_t at = 0;
    while (at < s.size()) {
        ssize_t n = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// One reply line without its newline; false when the service closed the connection first.
bool read_reply(int fd, std::string &reply)
{
    reply.clear();
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        reply += c;
    }
}

// 0 ok, 1 err, 2 the connection broke.
int round_trip(int fd, const std::string &line)
{
    std::string reply;
    // A service that refuses us says why and closes, perhaps before the line went out: the
    // reason is still there to read, and is the reply.
    send_line(fd, line);
    if (!read_reply(fd, reply)) {
        fprintf(stderr, "hidbridgectl: the service closed the connection\n");
        return 2;
    }
    puts(reply.c_str());
    fflush(stdout);
    return reply == "ok" || reply.rfind("ok ", 0) == 0 ? 0 : 1;
}

constexpr const char *kUsage = "usage: hidbridgectl [--socket PATH] [COMMAND [ARGS]]\n"
                               "       hidbridgectl --help | --version\n";

} // namespace

int main(int argc, char **argv)
{
    const char *path = kDefaultSocket;
    int first = 1;
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stdout);
        puts("Sends one command (the words joined) to hidbridged, or every line of standard\n"
             "input, and prints the replies; `hidbridgectl help` lists the commands.\n"
             "Exit status: 0 every reply ok, 1 one was err, 2 no service.");
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        puts("hidbridgectl " HIDBRIDGE_VERSION);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--socket") == 0) {
        if (argc < 3) {
            fputs(kUsage, stderr);
            return 2;
        }
        path = argv[2];
        first = 3;
    }
    std::string command;
    for (int i = first; i < argc; ++i) {
        if (strchr(argv[i], '\n')) {
            fprintf(stderr, "hidbridgectl: a command is one line\n");
            return 2;
        }
        command += (i > first ? " " : "") + std::string(argv[i]);
    }

    int fd = connect_to(path);
    if (fd < 0)
        return 2;
    if (first < argc)
        return round_trip(fd, command);

    int status = 0;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, stdin)) > 0) {
        std::string l(line, static_cast<size_t>(n));
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        if (l.empty())
            continue;
        int r = round_trip(fd, l);
        if (r == 2) {
            status = 2;
            break;
        }
        status = status ? status : r;
    }
    free(line);
    close(fd);
    return status;
}
