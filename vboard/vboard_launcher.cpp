// hidbridge-vboard [options] -- APP [ARGS...]
// Checks the options, then runs APP in this process with the virtual board preloaded: the
// board's library reads the options from the environment and installs itself into the seam
// of APP's own libhidbridge.
#include "evemu_recording.h"
#include "vboard_options.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
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

// The file execvp would run for APP; empty when there is none (execvp then says why).
std::string find_program(const std::string &app)
{
    if (app.find('/') != std::string::npos)
        return app;
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/bin:/usr/bin";
    for (size_t at = 0;;) {
        size_t colon = dirs.find(':', at);
        std::string dir = dirs.substr(at, colon - at);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + app;
        struct stat st{};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            return {};
        at = colon + 1;
    }
}

template <typename Ehdr, typename Phdr> bool lacks_interpreter(int fd)
{
    Ehdr eh;
    if (pread(fd, &eh, sizeof eh, 0) != ssize_t(sizeof eh) || (eh.e_type != ET_EXEC && eh.e_type != ET_DYN) ||
        eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0)
        return false;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Phdr ph;
        if (pread(fd, &ph, sizeof ph, off_t(eh.e_phoff + i * sizeof ph)) != ssize_t(sizeof ph))
            return false;
        if (ph.p_type == PT_INTERP)
            return false;
    }
    return true;
}

// True for an ELF program that the kernel starts without a dynamic loader: nothing can be
// preloaded into it, so its libhidbridge would drive this PC's own GPIO and devices.
bool statically_linked(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char ident[EI_NIDENT] = {};
    bool is_static = false;
    if (read(fd, ident, sizeof ident) == ssize_t(sizeof ident) && memcmp(ident, ELFMAG, SELFMAG) == 0) {
        if (ident[EI_CLASS] == ELFCLASS64)
            is_static = lacks_interpreter<Elf64_Ehdr, Elf64_Phdr>(fd);
        else if (ident[EI_CLASS] == ELFCLASS32)
            is_static = lacks_interpreter<Elf32_Ehdr, Elf32_Phdr>(fd);
    }
    close(fd);
    return is_static;
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
    // Everything that can be refused is refused before the application starts.
    for (auto &r : parsed.options.replays)
        if (auto rec = vboard::load_evemu(r.path); !rec.error.empty()) {
            fprintf(stderr, "hidbridge-vboard: --replay %d:%s: %s\n", r.port, r.path.c_str(), rec.error.c_str());
            return 2;
        }
    const char *app = argv[parsed.app + 1];
    if (std::string file = find_program(app); !file.empty() && statically_linked(file)) {
        fprintf(stderr,
                "hidbridge-vboard: %s is statically linked: the virtual board can only be preloaded into an "
                "application linked against the shared libhidbridge\n",
                file.c_str());
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

    execvp(app, argv + parsed.app + 1);
    fprintf(stderr, "hidbridge-vboard: %s: %s\n", app, strerror(errno));
    return 127;
}
