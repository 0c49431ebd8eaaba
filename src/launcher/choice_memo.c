#define _GNU_SOURCE
#include "choice_memo.h"

#include "bundle_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>

#define MEMO_NAME "memo"
#define MEMO_VERSION "vorlen-setup choice 1"
#define MAX_MEMO_SIZE (1u << 20)
#define IDENTITY_SIZE 160

/* the files noted since the start, one "<f|l> <identity> <path>" a line */
static char* notes;
static size_t notes_length;
static int notes_unusable;

/* What a stat says of a file, as text: equal texts are the same file, unchanged. A
 * missing file is "-"; a file that cannot be examined gets no identity (0). */
static int identity_text(int status, const struct stat* info, char text[IDENTITY_SIZE])
{
    if (status != 0) {
        snprintf(text, IDENTITY_SIZE, "-");
        return errno == ENOENT || errno == ENOTDIR;
    }
    snprintf(text, IDENTITY_SIZE, "%llu %llu %lld %lld.%09ld %lld.%09ld", (unsigned long long)info->st_dev,
             (unsigned long long)info->st_ino, (long long)info->st_size, (long long)info->st_mtim.tv_sec,
             info->st_mtim.tv_nsec, (long long)info->st_ctim.tv_sec, info->st_ctim.tv_nsec);
    return 1;
}

static int identity_of(char kind, const char* path, int fd, char text[IDENTITY_SIZE])
{
    struct stat info;
    const int status = fd >= 0 ? fstat(fd, &info) : kind == 'l' ? lstat(path, &info) : stat(path, &info);
    return identity_text(status, &info, text);
}

static void note(char kind, const char* path, int fd)
{
    char identity[IDENTITY_SIZE];
    if (!identity_of(kind, path, fd, identity) || strchr(path, '\n')) {
        notes_unusable = 1;
        return;
    }
    const size_t size = strlen(identity) + strlen(path) + 5;
    char* grown = realloc(notes, notes_length + size);
    if (!grown) {
        notes_unusable = 1;
        return;
    }
    notes = grown;
    notes_length += (size_t)snprintf(notes + notes_length, size, "%c %s %s\n", kind, identity, path);
}

void memo_note_file(const char* path, int fd) { note('f', path, fd); }

void memo_note_link(const char* path) { note('l', path, -1); }

static const char* library_path(void)
{
    const char* value = getenv("LD_LIBRARY_PATH");
    return value && !strchr(value, '\n') ? value : "";
}

/* The memo's text, when the file is the user's and nobody else may change it. */
static char* read_memo(int dir)
{
    const int fd = openat(dir, MEMO_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    char* text = NULL;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid()
        && (info.st_mode & 022) == 0 && (uint64_t)info.st_size <= MAX_MEMO_SIZE) {
        text = allocate((size_t)info.st_size + 1);
        if (bundle_read_at(fd, text, (size_t)info.st_size, 0) == 0) {
            text[info.st_size] = '\0';
        } else {
            free(text);
            text = NULL;
        }
    }
    if (fd >= 0)
        close(fd);
    return text;
}

/* The rest of the line after `prefix`, cut off at its end; NULL when the line differs. */
static char* line_after(char** at, const char* prefix)
{
    const size_t length = strlen(prefix);
    char* end = strchr(*at, '\n');
    if (!end || strncmp(*at, prefix, length) != 0)
        return NULL;
    *end = '\0';
    char* rest = *at + length;
    *at = end + 1;
    return rest;
}

/* Whether each noted file is as it was: "<kind> <identity> <path>", where the identity
 * is "-" or five numbers */
static int files_unchanged(char* at)
{
    for (char* line; (line = line_after(&at, ""));) {
        if (strcmp(line, "end") == 0)
            return *at == '\0';
        if ((line[0] != 'f' && line[0] != 'l') || line[1] != ' ')
            return 0;
        char* path = line + 2;
        for (int words = line[2] == '-' ? 1 : 5; words > 0 && path; --words)
            path = strchr(path, ' ') ? strchr(path, ' ') + 1 : NULL;
        char identity[IDENTITY_SIZE];
        if (!path || !*path)
            return 0;
        path[-1] = '\0';
        if (!identity_of(line[0], path, -1, identity) || strcmp(identity, line + 2) != 0)
            return 0;
    }
    return 0;
}

int memo_read(int dir, char* taken, unsigned count)
{
    char* text = read_memo(dir);
    char* at = text;
    const char* version = text ? line_after(&at, MEMO_VERSION) : NULL;
    const char* kept_path = version && !*version ? line_after(&at, "library-path ") : NULL;
    const char* kept_taken = kept_path ? line_after(&at, "taken ") : NULL;
    const int valid = kept_taken && strcmp(kept_path, library_path()) == 0 && strlen(kept_taken) == count
                      && strspn(kept_taken, "01") == count && files_unchanged(at);
    if (valid)
        memcpy(taken, kept_taken, count);
    free(text);
    return valid;
}

void memo_write(int dir, const char* taken)
{
    if (notes_unusable)
        return;
    char name[64];
    uint32_t random = (uint32_t)getpid();
    (void)getrandom(&random, sizeof random, GRND_NONBLOCK);
    snprintf(name, sizeof name, MEMO_NAME ".tmp-%08x", random);
    const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    /* a memo cut short by a crash lacks its last line and is never taken */
    const int written = dprintf(fd, MEMO_VERSION "\nlibrary-path %s\ntaken %s\n%send\n", library_path(), taken,
                                notes ? notes : "")
                        > 0;
    if (close(fd) != 0 || !written || renameat(dir, name, dir, MEMO_NAME) != 0)
        unlinkat(dir, name, 0);
}
