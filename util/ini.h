/* INI configuration files, read and written one line at a time, and two buffer helpers.
 * Lines hold at most 1023 characters; section names at most 1021, paths at most 1019. */
#ifndef INI_H
#define INI_H

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the value of key in section (or a later one) of the file at path into value (1024
 * bytes, caller's); 0 when found, -1 otherwise (a section name too long included) with value
 * untouched. */
int ini_get_string(const char *section, const char *key, const char *path, char *value);

/* The value of key converted with atoi; 0 when the key or the file is missing. */
int ini_get_int(const char *section, const char *key, const char *path);

/* The value of key converted with atol; 0 when the key or the file is missing. */
long ini_get_long(const char *section, const char *key, const char *path);

/* The value of key converted with atof, in single precision; 0 when the key or the file is
 * missing. */
float ini_get_float(const char *section, const char *key, const char *path);

/* Replaces the value of the first matching key line through a copy renamed over path; 0 also
 * when the key is missing (content kept), -1 with the file untouched on any failure, a section
 * name or path that is too long included. The whole old line goes, however long. The copy is
 * created next to path as "<path>.tmp.<thread id>" (".<n>" appended if that name exists), never
 * through a link; concurrent writers each rename a whole file of their own, the last one wins. */
int ini_set_string(const char *section, const char *key, const char *value, const char *path);

/* Writes the text of a value written "text"; into dst (which may be text) and returns dst;
 * returns text unchanged, dst untouched, for any other value. */
char *ini_unquote(char *text, char *dst);

/* Copies src without its spaces into dst (strlen(src)+1 bytes, caller's) and returns dst;
 * null when src is empty. */
char *strip_blanks(const char *src, char *dst);

/* Stores a new 1024-byte block in *out, which the caller frees with safe_free; 1, or -1 when
 * out is null or memory is exhausted. */
int alloc_line_buffer(void **out);

/* Frees p unless it is null. */
void safe_free(void *p);

#ifdef __cplusplus
}
#endif

#endif
