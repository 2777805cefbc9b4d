// INI files: reading rules, the writer's rewrite, and what a failed rewrite leaves behind.
#include "ini.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class Ini : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/hb_ini_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/conf.ini";
        tmp_ = path_ + ".tmp";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void put(const std::string &content)
    {
        std::ofstream(path_, std::ios::binary) << content;
    }
    std::string content() const
    {
        std::ifstream f(path_, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    bool tmp_exists() const { return std::filesystem::exists(tmp_); }

    // The value of key in section of the file holding text; "<missing>" when not found.
    std::string get(const std::string &text, const char *section, const char *key)
    {
        put(text);
        char value[1024];
        strcpy(value, "<missing>");
        int rc = ini_get_string(section, key, path_.c_str(), value);
        EXPECT_EQ(rc == 0, strcmp(value, "<missing>") != 0) << "result and value disagree";
        return value;
    }

    int set(const char *section, const char *key, const char *value)
    {
        return ini_set_string(section, key, value, path_.c_str());
    }

    std::string dir_, path_, tmp_;
};

TEST_F(Ini, SectionBeginsAtItsHeaderAndRunsToTheEnd)
{
    const std::string file = "z=0\n[a]\nx=1\n[b]\ny=2\n";
    EXPECT_EQ(get(file, "a", "x"), "1");
    EXPECT_EQ(get(file, "a", "y"), "2");  // later headers do not end the section
    EXPECT_EQ(get(file, "b", "x"), "<missing>");
    EXPECT_EQ(get(file, "a", "z"), "<missing>");  // before the header
    EXPECT_EQ(get(file, "c", "x"), "<missing>");

    EXPECT_EQ(get("[net] ; main\nport=1\n", "net", "port"), "1");
    EXPECT_EQ(get(" [net]\nport=1\n", "net", "port"), "<missing>");
    EXPECT_EQ(get("[network]\nport=1\n", "net", "port"), "<missing>");
    EXPECT_EQ(get("#[net]\nport=1\n", "net", "port"), "<missing>");
    // A header line holding "=" still opens the section.
    EXPECT_EQ(get("[net] a=b\nport=1\n", "net", "port"), "1");
}

TEST_F(Ini, KeyIsTheLineStartUpToBlanksAndEquals)
{
    EXPECT_EQ(get("[n]\nportx=1\nPORT=2\n port=3\n\tport=4\nport  =5\nport=6\n", "n", "port"), "5");
    EXPECT_EQ(get("[n]\nPort=1\n", "n", "port"), "<missing>");
    EXPECT_EQ(get("[n]\nport\t=1\n", "n", "port"), "<missing>");  // a tab is no blank
    EXPECT_EQ(get("[n]\npo rt=1\n", "n", "po rt"), "<missing>");
    EXPECT_EQ(get("[n]\nurl=a=b\n", "n", "url"), "a=b");
    EXPECT_EQ(get("[n]\nport\nport=7\n", "n", "port"), "7");
}

TEST_F(Ini, ValueIsTheRestOfTheLineAfterLeadingBlanks)
{
    EXPECT_EQ(get("[n]\nport = 5\n", "n", "port"), "5");
    EXPECT_EQ(get("[n]\nport=5   \n", "n", "port"), "5   ");
    EXPECT_EQ(get("[n]\nport=5\r\n", "n", "port"), "5\r");
    EXPECT_EQ(get("[n]\nport=\t5\n", "n", "port"), "\t5");
    EXPECT_EQ(get("[n]\nport=\n", "n", "port"), "");
    EXPECT_EQ(get("[n]\nport=   \n", "n", "port"), "");
    EXPECT_EQ(get("[n]\nport=8", "n", "port"), "8");
    EXPECT_EQ(get("[n]\nport=5 # note ; more\n", "n", "port"), "5 # note ; more");
}

TEST_F(Ini, CommentLinesAreSkipped)
{
    EXPECT_EQ(get("[n]\n#port=1\n;port=2\n//port=3\n", "n", "port"), "<missing>");
    EXPECT_EQ(get("[n]\n#port=1\nport=2\n", "n", "port"), "2");
    EXPECT_EQ(get("[n]\n/port=1\n", "n", "/port"), "1");
}

TEST_F(Ini, QuotedValues)
{
    EXPECT_EQ(get("[n]\nname = \"abc\";\n", "n", "name"), "abc");
    EXPECT_EQ(get("[n]\nname=\"abc\"\n", "n", "name"), "\"abc\"");
    EXPECT_EQ(get("[n]\nname=\"a;b c\";\r\n", "n", "name"), "\"a;b c\";\r");
    EXPECT_EQ(get("[n]\nname=\"a\"b\";\n", "n", "name"), "a\"b");
    EXPECT_EQ(get("[n]\nname=\"\";\n", "n", "name"), "");
    EXPECT_EQ(get("[n]\nname=\";\n", "n", "name"), "\";");
    EXPECT_EQ(get("[n]\nname=\"abc\" ;\n", "n", "name"), "\"abc\" ;");

    char text[] = "\"xy\";";
    char dst[8] = "keep";
    EXPECT_EQ(ini_unquote(text, dst), dst);
    EXPECT_STREQ(dst, "xy");
    char plain[] = "xy";
    EXPECT_EQ(ini_unquote(plain, dst), plain);
    char one[] = "\"";
    EXPECT_EQ(ini_unquote(one, dst), one);
    EXPECT_STREQ(dst, "xy");
}

TEST_F(Ini, LongLinesArriveInPieces)
{
    // 1023 characters fill the buffer; the value gets what is left of them after "k=".
    EXPECT_EQ(get("[n]\nk=" + std::string(1500, 'a') + "\n", "n", "k"), std::string(1021, 'a'));
    // The piece after the first 1023 characters is read as a line of its own.
    EXPECT_EQ(get("[n]\nnote=" + std::string(1018, 'b') + "port=7\n", "n", "port"), "7");
    EXPECT_EQ(get("[n]\nnote=" + std::string(1017, 'b') + "port=7\n", "n", "port"), "<missing>");
}

TEST_F(Ini, NumbersAreConvertedFromTheText)
{
    put("[n]\ni=42 ports\nneg=-17\nl=-2000000000\nf=0.1\nbad=x1\nempty=\n");
    const char *p = path_.c_str();
    EXPECT_EQ(ini_get_int("n", "i", p), 42);
    EXPECT_EQ(ini_get_int("n", "neg", p), -17);
    EXPECT_EQ(ini_get_long("n", "l", p), -2000000000L);
    EXPECT_EQ(ini_get_float("n", "f", p), 0.1f);
    EXPECT_EQ(ini_get_int("n", "bad", p), 0);
    EXPECT_EQ(ini_get_int("n", "empty", p), 0);
    EXPECT_EQ(ini_get_int("n", "missing", p), 0);
    EXPECT_EQ(ini_get_long("n", "missing", p), 0L);
    EXPECT_EQ(ini_get_float("n", "missing", p), 0.0f);
}

TEST_F(Ini, UnreadableFileIsReported)
{
    char value[1024] = "untouched";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ini_get_string("n", "k", path_.c_str(), value), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fopen: No such file or directory\n");
    EXPECT_STREQ(value, "untouched");

    testing::internal::CaptureStdout();
    EXPECT_EQ(set("n", "k", "1"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read " + path_ + " err\n");
    EXPECT_FALSE(tmp_exists());
    EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(Ini, WriterReplacesEverythingAfterTheEqualsOfTheFirstMatch)
{
    put("[net]\nport = 5 # old\n");
    EXPECT_EQ(set("net", "port", "9"), 0);
    EXPECT_EQ(content(), "[net]\nport =9\n");
    EXPECT_FALSE(tmp_exists());

    const std::string head = "[a]\nport=1\n[net]\n# port=0\nportx=2\n";
    const std::string tail = "port=6\n[b]\nq=\"v\";\n";
    put(head + "port = 5 # old\r\n" + tail);
    EXPECT_EQ(set("net", "port", "\"x y\";"), 0);
    EXPECT_EQ(content(), head + "port =\"x y\";\n" + tail);

    // The section runs on into later ones; the last line may lack its newline.
    put("[a]\nx=1\n[b]\ny=2");
    EXPECT_EQ(set("a", "y", "3"), 0);
    EXPECT_EQ(content(), "[a]\nx=1\n[b]\ny=3\n");
    EXPECT_FALSE(tmp_exists());
}

TEST_F(Ini, WriterWithoutMatchKeepsTheContent)
{
    const std::string file = "; top\n[net]\nport=5\r\n\n" + std::string(3000, 'c') + "\nend=1";
    put(file);
    EXPECT_EQ(set("net", "missing", "1"), 0);
    EXPECT_EQ(content(), file);
    EXPECT_EQ(set("nosuch", "port", "1"), 0);
    EXPECT_EQ(content(), file);
    EXPECT_FALSE(tmp_exists());
}

TEST_F(Ini, WriterCopiesLinesHoldingNulBytesWhole)
{
    const std::string file("[s]\nk=1\0tail\nj=2\n", 17);
    put(file);
    EXPECT_EQ(set("s", "zz", "1"), 0);
    EXPECT_EQ(content(), file);
    EXPECT_EQ(set("s", "j", "3"), 0);
    EXPECT_EQ(content(), std::string("[s]\nk=1\0tail\nj=3\n", 17));
}

TEST_F(Ini, WriterRefusesAPathItsCopyNameCannotHold)
{
    // A cut copy name could be the path itself or another writer's copy.
    std::string dir = dir_;
    while (dir.size() < 900) {
        dir += "/" + std::string(150, 'd');
        ASSERT_TRUE(std::filesystem::create_directory(dir));
    }
    for (size_t size : {1019u, 1100u}) {
        const std::string path = dir + "/" + std::string(size - dir.size() - 1, 'f');
        ASSERT_EQ(path.size(), size);
        std::ofstream(path, std::ios::binary) << "[s]\nk=1\n";
        const bool fits = size <= 1019;
        EXPECT_EQ(ini_set_string("s", "k", "2", path.c_str()), fits ? 0 : -1) << size;
        std::ifstream f(path, std::ios::binary);
        std::stringstream kept;
        kept << f.rdbuf();
        EXPECT_EQ(kept.str(), fits ? "[s]\nk=2\n" : "[s]\nk=1\n") << size;
    }
}

TEST_F(Ini, OverLongSectionNameIsRefused)
{
    // "[" and 1022 characters fill the pattern buffer: cut, the name would match the header
    // of a section whose name only begins with it.
    const std::string prefix(1022, 's');
    const std::string other = "[" + prefix + "other]\nk=1\n";
    EXPECT_EQ(get(other, (prefix + "x").c_str(), "k"), "<missing>");
    EXPECT_EQ(set((prefix + "x").c_str(), "k", "2"), -1);
    EXPECT_EQ(content(), other);
    EXPECT_EQ(ini_get_int((prefix + "x").c_str(), "k", path_.c_str()), 0);

    // The longest name that fits is read and written.
    const std::string longest(1021, 'l');
    EXPECT_EQ(get("[" + longest + "]\nk=1\n", longest.c_str(), "k"), "1");
    EXPECT_EQ(set(longest.c_str(), "k", "2"), 0);
    EXPECT_EQ(content(), "[" + longest + "]\nk=2\n");
}

TEST_F(Ini, WriterKeepsPermissionBits)
{
    for (mode_t mode : {0600, 0640, 0604}) {
        put("[n]\nsecret=1\n");
        ASSERT_EQ(chmod(path_.c_str(), mode), 0);
        ASSERT_EQ(set("n", "secret", "2"), 0);
        struct stat st;
        ASSERT_EQ(stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(content(), "[n]\nsecret=2\n");
    }
}

TEST_F(Ini, WriterRefusesLinesTheReaderCouldNotHold)
{
    const std::string file = "[n]\nport=5\nnext=1\n";
    put(file);
    // "port=" and the newline leave 1017 characters of a 1023-character line.
    EXPECT_EQ(set("n", "port", std::string(1018, 'v').c_str()), -1);
    EXPECT_EQ(content(), file);
    EXPECT_FALSE(tmp_exists());
    EXPECT_EQ(set("n", "port", "1\n[x]\nport=2"), -1);
    EXPECT_EQ(content(), file);
    EXPECT_FALSE(tmp_exists());

    const std::string longest(1017, 'v');
    EXPECT_EQ(set("n", "port", longest.c_str()), 0);
    EXPECT_EQ(content(), "[n]\nport=" + longest + "\nnext=1\n");
    char value[1024];
    EXPECT_EQ(ini_get_string("n", "port", path_.c_str(), value), 0);
    EXPECT_EQ(std::string(value), longest);
}

TEST_F(Ini, WriterReplacesALongMatchingLineWhole)
{
    // Its tail would otherwise stay behind as a line of its own, and could hold a key.
    const std::string tail = std::string(1030, 'a') + "?evil=1\n";
    put("[n]\nurl=" + tail + "next=1\n");
    EXPECT_EQ(set("n", "url", "short"), 0);
    EXPECT_EQ(content(), "[n]\nurl=short\nnext=1\n");

    // Three pieces; the last line without its newline.
    put("[n]\nurl=" + std::string(3000, 'b') + "\nnext=1\nk=" + std::string(2500, 'c'));
    EXPECT_EQ(set("n", "url", "u"), 0);
    EXPECT_EQ(set("n", "k", "v"), 0);
    EXPECT_EQ(content(), "[n]\nurl=u\nnext=1\nk=v\n");

    // A line of exactly one piece and its newline loses nothing after it.
    put("[n]\nurl=" + std::string(1018, 'd') + "\nnext=1\n");
    EXPECT_EQ(set("n", "url", "w"), 0);
    EXPECT_EQ(content(), "[n]\nurl=w\nnext=1\n");
    EXPECT_FALSE(tmp_exists());
}

TEST_F(Ini, WriterNeverFollowsALinkAtTheCopyName)
{
    // Links at the old fixed name and at the name this (single-threaded) process tries first;
    // one of them dangles: creating through it would make its target.
    const std::string victim = dir_ + "/victim";
    const std::string absent = dir_ + "/absent";
    std::ofstream(victim, std::ios::binary) << "keep";
    ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
    const std::string first = path_ + ".tmp." + std::to_string(gettid());
    ASSERT_EQ(symlink(victim.c_str(), tmp_.c_str()), 0);
    ASSERT_EQ(symlink(absent.c_str(), first.c_str()), 0);
    put("[n]\nport=5\n");
    ASSERT_EQ(chmod(path_.c_str(), 0600), 0);

    EXPECT_EQ(set("n", "port", "9"), 0);
    EXPECT_EQ(content(), "[n]\nport=9\n");
    std::ifstream f(victim, std::ios::binary);
    std::stringstream kept;
    kept << f.rdbuf();
    EXPECT_EQ(kept.str(), "keep");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_TRUE(std::filesystem::is_symlink(tmp_));
    EXPECT_TRUE(std::filesystem::is_symlink(first));

    // A directory at that name instead: the next name is taken.
    ASSERT_EQ(unlink(first.c_str()), 0);
    ASSERT_EQ(mkdir(first.c_str(), 0700), 0);
    EXPECT_EQ(set("n", "port", "10"), 0);
    EXPECT_EQ(content(), "[n]\nport=10\n");
    ASSERT_EQ(rmdir(first.c_str()), 0);
    ASSERT_EQ(unlink(tmp_.c_str()), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 2) << "copies left behind";
}

// Whole files of the concurrency test: the key line, then the same padding. The value is one
// letter repeated, its length varying, so two copies mixed into one file show.
const std::string padding = [] {
    std::string p;
    for (int i = 0; p.size() < 32768; i++)
        p += "pad" + std::to_string(i) + "=" + std::string(40, 'p') + "\n";
    return p;
}();

bool whole_file(const std::string &text)
{
    const std::string head = "[s]\nk=";
    if (text.compare(0, head.size(), head) != 0)
        return false;
    size_t end = text.find('\n', head.size());
    if (end == std::string::npos || end == head.size())
        return false;
    for (size_t i = head.size(); i < end; i++) {
        if (text[i] != text[head.size()])
            return false;
    }
    return text.compare(end + 1, std::string::npos, padding) == 0;
}

TEST_F(Ini, ConcurrentWritersInProcessesLeaveOnlyWholeFiles)
{
    // Two writer processes rewrite one file while this one reads it: every state it sees is
    // the whole file one of them wrote, all their writes succeed, no copy is left behind.
    constexpr int rounds = 3;
    constexpr int updates = 150;
    for (int round = 0; round < rounds; round++) {
        put("[s]\nk=Z\n" + padding);
        pid_t writers[2];
        for (int w = 0; w < 2; w++) {
            writers[w] = fork();
            ASSERT_GE(writers[w], 0);
            if (writers[w] == 0) {
                int failed = 0;
                for (int i = 0; i < updates; i++) {
                    const std::string value(1 + (i * 7 + w * 3) % 40, "AB"[w]);
                    failed += ini_set_string("s", "k", value.c_str(), path_.c_str()) != 0;
                }
                _exit(failed == 0 ? 0 : 1);
            }
        }
        int reads = 0, broken = 0;
        std::string example;
        for (int running = 2; running > 0;) {
            const std::string text = content();
            reads++;
            if (!whole_file(text) && broken++ == 0)
                example = text.substr(0, 60) + "... (" + std::to_string(text.size()) + " bytes)";
            for (pid_t &pid : writers) {
                int status;
                if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed";
                    pid = 0;
                    running--;
                }
            }
        }
        EXPECT_EQ(broken, 0) << "round " << round << ": " << broken << " of " << reads
                             << " reads saw a broken file, e.g. " << example;
        EXPECT_TRUE(whole_file(content()));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1) << "copies left behind";
    }
}

// A rewrite in a child whose files may not grow past limit bytes; the child's result.
int set_with_size_limit(const std::string &path, rlim_t limit)
{
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            _exit(100);
        _exit(ini_set_string("n", "port", "9", path.c_str()) == -1 ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Ini, FailedWriteLeavesTheOriginal)
{
    // The small copy fails when its buffer is written at close, the large one half way.
    for (size_t size : {200u, 20000u}) {
        const std::string file = "[n]\nport=5\n" + std::string(size, 'x') + "\n";
        put(file);
        EXPECT_EQ(set_with_size_limit(path_, 100), 1) << size;
        EXPECT_EQ(content(), file) << size;
        EXPECT_FALSE(tmp_exists()) << size;
    }
    put("[n]\nport=5\n");
    EXPECT_EQ(set_with_size_limit(path_, 100), 0);
    EXPECT_EQ(content(), "[n]\nport=9\n");
}

TEST_F(Ini, UncreatableCopyLeavesTheOriginal)
{
    // Every name the writer tries is taken (this process is single-threaded: its thread id is
    // its process id).
    put("[n]\nport=5\n");
    const std::string first = path_ + ".tmp." + std::to_string(gettid());
    std::vector<std::string> taken = {first};
    for (int n = 1; n < 16; n++)
        taken.push_back(first + "." + std::to_string(n));
    for (const std::string &name : taken)
        ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(set("n", "port", "9"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(content(), "[n]\nport=5\n");
    for (const std::string &name : taken)
        EXPECT_TRUE(std::filesystem::is_directory(name));
}

TEST(Buffers, StripBlanksAndLineBuffer)
{
    char dst[16];
    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(strip_blanks(" a b ", dst), dst);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(std::string(dst, 6), std::string("ab\0\0\0\0", 6));
    EXPECT_EQ(dst[6], 'x');  // zeroed over the source's length and its terminator only
    EXPECT_STREQ(strip_blanks("a\tb c", dst), "a\tbc");
    EXPECT_STREQ(strip_blanks("   ", dst), "");
    EXPECT_EQ(strip_blanks("", dst), nullptr);

    EXPECT_EQ(alloc_line_buffer(nullptr), -1);
    void *p = nullptr;
    ASSERT_EQ(alloc_line_buffer(&p), 1);
    ASSERT_NE(p, nullptr);
    memset(p, 0, 1024);  // the whole block is ours (the sanitizer builds check)
    safe_free(p);
    safe_free(nullptr);
}

}  // namespace
