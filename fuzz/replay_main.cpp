// Without libFuzzer (a gcc build) a target still runs: every file named on the command line,
// and every file in a named folder, is fed to it once. The committed corpus thus replays in
// every build, and a crash input found by a clang run stays a regression test.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool run_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) {
        perror(path.c_str());
        return false;
    }
    std::vector<uint8_t> data;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    fclose(f);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (!arg.empty() && arg[0] == '-')
            continue; // libFuzzer options mean nothing here
        struct stat st;
        if (stat(arg.c_str(), &st) != 0) {
            perror(arg.c_str());
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (!run_file(arg))
                return 1;
            inputs++;
            continue;
        }
        DIR *d = opendir(arg.c_str());
        if (!d)
            return 1;
        std::vector<std::string> names;
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                names.push_back(arg + "/" + e->d_name);
        }
        closedir(d);
        for (const auto &p : names) {
            if (!run_file(p))
                return 1;
            inputs++;
        }
    }
    printf("replayed %d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
