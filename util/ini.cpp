#include "ini.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One line of a file, its newline and the terminator; longer lines arrive in pieces.
constexpr size_t line_max = 1024;

bool starts_with(const char *line, const char *prefix)
{
    return strncmp(line, prefix, strlen(prefix)) == 0;
}

bool is_comment(const char *line)
{
    return starts_with(line, "//") || line[0] == '#' || line[0] == ';';
}

// The line names the key: the key in the first column, optional blanks, then the "=" at eq.
bool key_matches(const char *line, const char *eq, const char *key)
{
    if (!starts_with(line, key))
        return false;
    char name[line_max];
    char stripped[line_max];
    size_t n = static_cast<size_t>(eq - line);
    memcpy(name, line, n);
    name[n] = '\0';
    if (!strip_blanks(name, stripped))
        return false;
    return strncasecmp(stripped, key, strlen(stripped)) == 0;
}

// "<path>.tmp.<thread id>" and, should that exist, ".<n>" after it: the thread id is unique
// among live threads, so concurrent writers never share a copy.
constexpr size_t copy_name_max = line_max + 32;
constexpr unsigned copy_name_tries = 16;

bool section_pattern(char (&pattern)[line_max], const char *section)
{
    // A cut name could match another section.
    return snprintf(pattern, sizeof pattern, "[%s]", section) < static_cast<int>(sizeof pattern);
}

// Creates the copy under a name no other writer uses; never opens an existing file or follows a
// link planted at the name. tmp receives the name.
int open_copy(char (&tmp)[copy_name_max], const char *path)
{
    long tid = gettid();
    for (unsigned n = 0; n < copy_name_tries; n++) {
        int w = n == 0 ? snprintf(tmp, sizeof tmp, "%s.tmp.%ld", path, tid)
                       : snprintf(tmp, sizeof tmp, "%s.tmp.%ld.%u", path, tid, n);
        // A cut name could be the path itself or another writer's copy.
        if (w >= static_cast<int>(sizeof tmp))
            return -1;
        int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The copy gets the original's permission bits from the start, so a private file is never
// readable by others, not even while it is being written.
FILE *create_copy(char (&tmp)[copy_name_max], const char *path, FILE *original)
{
    struct stat st;
    if (fstat(fileno(original), &st) != 0)
        return nullptr;
    int fd = open_copy(tmp, path);
    if (fd < 0)
        return nullptr;
    if (fchmod(fd, st.st_mode & 07777) != 0) {
        close(fd);
        remove(tmp);
        return nullptr;
    }
    FILE *f = fdopen(fd, "w");
    if (!f) {
        close(fd);
        remove(tmp);
    }
    return f;
}

// fgets with the length it read: a line holding a NUL byte is copied whole, not cut at it.
bool read_piece(FILE *in, char *line, size_t *len)
{
    size_t n = 0;
    int c;
    while (n < line_max - 1 && (c = getc(in)) != EOF) {
        line[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    line[n] = '\0';
    *len = n;
    return n > 0;
}

// Reads and drops the rest of a line whose first piece was line; false on a read error.
bool skip_rest_of_line(FILE *in, const char *line, size_t len)
{
    if (len > 0 && line[len - 1] == '\n')
        return true;
    int c;
    while ((c = getc(in)) != EOF && c != '\n') {
    }
    return !ferror(in);
}

// Copies in to out, the first matching key line with the new value; -1 on a failed write or a
// rewritten line that would not fit the line buffer.
int copy_with_value(FILE *in, FILE *out, const char *pattern, const char *key, const char *value)
{
    int state = 0;  // 0 section not seen, 1 in section, 2 value replaced
    char line[line_max];
    size_t len;
    while (read_piece(in, line, &len)) {
        if (state != 2) {
            char *eq = strchr(line, '=');
            if (eq && state == 1) {
                if (key_matches(line, eq, key)) {
                    size_t keep = static_cast<size_t>(eq + 1 - line);
                    if (keep + strlen(value) + 1 > line_max - 1)
                        return -1;
                    // The new value replaces the whole old one: a tail left behind as a line of
                    // its own could hold a key.
                    if (!skip_rest_of_line(in, line, len))
                        return -1;
                    len = keep + static_cast<size_t>(snprintf(eq + 1, line_max - keep, "%s\n", value));
                    state = 2;
                }
            } else if (starts_with(line, pattern)) {
                state = 1;
            }
        }
        if (fwrite(line, 1, len, out) != len)
            return -1;
    }
    return ferror(in) ? -1 : 0;
}

}  // namespace

extern "C" char *strip_blanks(const char *src, char *dst)
{
    if (src[0] == '\0')
        return nullptr;
    size_t len = strlen(src);
    memset(dst, 0, len + 1);
    char *o = dst;
    for (const char *p = src; *p; p++) {
        if (*p != ' ')
            *o++ = *p;
    }
    return dst;
}

extern "C" char *ini_unquote(char *text, char *dst)
{
    if (text[0] != '"')
        return text;
    size_t len = strlen(text);
    if (text[len - 1] != ';')
        return text;
    // A lone quote before the semicolon opens the text but does not close it.
    if (len < 3 || text[len - 2] != '"')
        return text;
    text[len - 2] = '\0';
    memmove(dst, text + 1, len - 2);
    return dst;
}

extern "C" int ini_get_string(const char *section, const char *key, const char *path, char *value)
{
    char pattern[line_max];
    if (!section_pattern(pattern, section))
        return -1;
    FILE *f = fopen(path, "r");
    if (!f) {
        perror("fopen");
        return -1;
    }
    // Once the section has begun, every later line counts: a later header does not end it.
    bool in_section = false;
    char line[line_max];
    while (fgets(line, sizeof line, f)) {
        if (is_comment(line))
            continue;
        char *eq = strchr(line, '=');
        if (eq && in_section) {
            line[strcspn(line, "\n")] = '\0';
            if (!key_matches(line, eq, key))
                continue;
            fclose(f);
            const char *v = eq + 1;
            while (*v == ' ')
                v++;
            memcpy(value, v, strlen(v) + 1);
            ini_unquote(value, value);
            return 0;
        }
        if (starts_with(line, pattern))
            in_section = true;
    }
    fclose(f);
    return -1;
}

extern "C" int ini_get_int(const char *section, const char *key, const char *path)
{
    char value[line_max] = "";
    ini_get_string(section, key, path, value);
    return atoi(value);
}

extern "C" long ini_get_long(const char *section, const char *key, const char *path)
{
    char value[line_max] = "";
    ini_get_string(section, key, path, value);
    return atol(value);
}

extern "C" float ini_get_float(const char *section, const char *key, const char *path)
{
    char value[line_max] = "";
    ini_get_string(section, key, path, value);
    return static_cast<float>(atof(value));
}

extern "C" int ini_set_string(const char *section, const char *key, const char *value, const char *path)
{
    // A newline in the value would cut the file's line in two and add a line of its own.
    if (strchr(value, '\n'))
        return -1;
    char pattern[line_max];
    if (!section_pattern(pattern, section))
        return -1;
    FILE *in = fopen(path, "r");
    if (!in) {
        printf("read %s err\n", path);
        return -1;
    }
    char tmp[copy_name_max];
    FILE *out = create_copy(tmp, path, in);
    if (!out) {
        fclose(in);
        return -1;
    }

    // Only a complete copy may replace the file: any failed write, including the last
    // buffered one at close, discards the copy.
    int rc = copy_with_value(in, out, pattern, key, value);
    fclose(in);
    if (fflush(out) != 0 || fsync(fileno(out)) != 0)
        rc = -1;
    if (fclose(out) != 0)
        rc = -1;
    if (rc < 0) {
        remove(tmp);
        return -1;
    }
    sync();
    // Nobody else would ever remove a copy under this writer's own name.
    if (rename(tmp, path) != 0) {
        remove(tmp);
        return -1;
    }
    return 0;
}

extern "C" int alloc_line_buffer(void **out)
{
    if (!out)
        return -1;
    void *p = malloc(line_max);
    if (!p)
        return -1;
    *out = p;
    return 1;
}

extern "C" void safe_free(void *p)
{
    if (p)
        free(p);
}
