// ini_get_string / ini_set_string on arbitrary files. Input: three lines (section, key, new
// value), then the file's content, byte for byte.
// Beyond memory safety it checks what a caller relies on: a miss leaves the value buffer
// alone; a rewrite that finds no key leaves the content as it was; a rewrite that finds
// the key makes the reader return the new value; no copy is left behind; a section name the
// pattern buffer cannot hold is refused by both.
#include "fuzz_check.h"
#include "ini.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

// Each rewrite ends with a flush of every file system of the machine; that adds nothing to
// what is checked here and would make every run wait for the disk.
extern "C" void sync(void) {}

namespace {

const std::string &dir()
{
    // tmpfs: the copy's fsync costs nothing there.
    static const std::string d = [] {
        char t[] = "/dev/shm/hb_ini_fuzz_XXXXXX";
        if (!mkdtemp(t)) {
            char u[] = "/tmp/hb_ini_fuzz_XXXXXX";
            FUZZ_CHECK(mkdtemp(u), "no temporary folder");
            return std::string(u);
        }
        return std::string(t);
    }();
    return d;
}

bool take_line(const uint8_t *&p, const uint8_t *end, std::string &out)
{
    const uint8_t *nl = static_cast<const uint8_t *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!nl)
        return false;
    out.assign(reinterpret_cast<const char *>(p), static_cast<size_t>(nl - p));
    p = nl + 1;
    return true;
}

void put(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f, "cannot write %s", path.c_str());
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string get(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    FUZZ_CHECK(f, "file %s gone", path.c_str());
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// Entries of the folder besides "." and "..".
int entries(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    FUZZ_CHECK(d, "folder %s gone", path.c_str());
    int n = 0;
    while (const dirent *e = readdir(d))
        n += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
    return n;
}

// The reader skips comment lines and the writer does not, so a key that looks like a comment
// can be found by one and not the other; a key holding "=" can match a line whose key is only
// its start. Such keys are left out of the agreement checks.
bool odd_key(const char *key)
{
    return key[0] == '#' || key[0] == ';' || strncmp(key, "//", 2) == 0 || strchr(key, '=');
}

// Section and key are non-empty texts; a section name past 1021 characters is refused.
std::string c_text(const std::string &s, size_t max)
{
    std::string t(s.c_str());
    if (t.size() > max)
        t.resize(max);
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *p = data, *end = data + size;
    std::string section, key, value;
    if (!take_line(p, end, section) || !take_line(p, end, key) || !take_line(p, end, value))
        return 0;
    section = c_text(section, 1100);
    key = c_text(key, 1000);
    value = c_text(value, 2000);
    if (section.empty() || key.empty())
        return 0;
    const std::string content(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p));
    const std::string path = dir() + "/f.ini";
    put(path, content);

    // A 1024-byte buffer on the heap: one byte too many written is a fault the sanitizer sees.
    char *buf = static_cast<char *>(malloc(1024));
    memset(buf, 0xA5, 1024);
    int found = ini_get_string(section.c_str(), key.c_str(), path.c_str(), buf);
    FUZZ_CHECK(found == 0 || found == -1, "result %d", found);
    const bool too_long = section.size() > 1021;
    FUZZ_CHECK(!too_long || found == -1, "an over-long section name was searched");
    if (found == 0) {
        FUZZ_CHECK(memchr(buf, 0, 1024), "value not terminated");
    } else {
        for (int i = 0; i < 1024; i++)
            FUZZ_CHECK(static_cast<uint8_t>(buf[i]) == 0xA5, "a miss wrote to the value buffer");
    }
    ini_get_int(section.c_str(), key.c_str(), path.c_str());
    ini_get_long(section.c_str(), key.c_str(), path.c_str());
    ini_get_float(section.c_str(), key.c_str(), path.c_str());

    const std::string before = get(path);
    int set = ini_set_string(section.c_str(), key.c_str(), value.c_str(), path.c_str());
    FUZZ_CHECK(set == 0 || set == -1, "result %d", set);
    FUZZ_CHECK(!too_long || set == -1, "an over-long section name was written");
    FUZZ_CHECK(entries(dir()) == 1, "the copy was left behind (result %d)", set);
    const std::string after = get(path);
    if (set != 0)
        FUZZ_CHECK(after == before, "a refused rewrite changed the file");
    else if (found != 0 && !odd_key(key.c_str()))
        FUZZ_CHECK(after == before, "a rewrite without the key changed the file");

    // The reader gives back what the writer wrote, unless the value is one the reader
    // transforms (leading blanks dropped, the quoted form unquoted).
    bool plain = !value.empty() && value[0] != ' ' && value[0] != '"';
    if (set == 0 && found == 0 && plain && !odd_key(key.c_str())) {
        memset(buf, 0xA5, 1024);
        int again = ini_get_string(section.c_str(), key.c_str(), path.c_str(), buf);
        FUZZ_CHECK(again == 0, "the rewritten key is gone");
        FUZZ_CHECK(value == buf, "read back \"%s\" after writing \"%s\"", buf, value.c_str());
    }
    free(buf);
    return 0;
}
