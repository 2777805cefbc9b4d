// hidbridge-vboard [options] -- APP [ARGS...]
// Checks the options, then runs APP in this process with the virtual board preloaded: the
// board's library reads the options from the environment and installs itself into the seam
// of APP's own libhidbridge.
#include "vboard_options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef HIDBRIDGE_VBOARD_PRELOAD_PATH
#error "the build names the installed preload library"
#endif

namespace {

constexpr char kPreloadName[] = "libhidbridge-vboard-preload.so";

// Beside this program (a build tree), else where the package installs it; the environment
// may name another.
std::string preload_path()
{
    if (const char *p = getenv("HIDBRIDGE_VBOARD_PRELOAD"); p && *p)
        return p;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string beside = std::string(self, strrchr(self, '/') + 1) + kPreloadName;
        if (access(beside.c_str(), R_OK) == 0)
            return beside;
    }
    return HIDBRIDGE_VBOARD_PRELOAD_PATH;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = vboard::parse_options(args, true);
    if (parsed.help) {
        fputs(vboard::kUsage, stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        fprintf(stderr, "hidbridge-vboard: %s\n\n%s", parsed.error.c_str(), vboard::kUsage);
        return 2;
    }
    for (auto &r : parsed.options.replays)
        if (access(r.path.c_str(), R_OK) != 0) {
            fprintf(stderr, "hidbridge-vboard: --replay %d:%s: %s\n", r.port, r.path.c_str(), strerror(errno));
            return 2;
        }

    std::string preload = preload_path();
    if (access(preload.c_str(), R_OK) != 0) {
        fprintf(stderr, "hidbridge-vboard: the virtual board's library %s: %s\n", preload.c_str(), strerror(errno));
        return 2;
    }
    const char *before = getenv("LD_PRELOAD");
    std::string old = before ? before : "";
    setenv("HIDBRIDGE_VBOARD_LD_PRELOAD", old.c_str(), 1);
    setenv("LD_PRELOAD", (old.empty() ? preload : preload + ":" + old).c_str(), 1);
    std::vector<std::string> board_args(args.begin(), args.begin() + long(parsed.app) - 1);
    setenv("HIDBRIDGE_VBOARD_ARGS", vboard::join_args(board_args).c_str(), 1);

    execvp(argv[parsed.app + 1], argv + parsed.app + 1);
    fprintf(stderr, "hidbridge-vboard: %s: %s\n", argv[parsed.app + 1], strerror(errno));
    return 127;
}
