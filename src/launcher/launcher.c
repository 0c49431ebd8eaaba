/* The portable setup's launcher: the outer file's program. It unpacks the bundle that
 * follows it in its own file (the real program, its libraries and Qt plug-ins) once
 * into a cache folder named after the bundle's hash, checks the unpacked files on every
 * start and starts the real program with exec.
 *
 * The real program needs the outer file: its resources live there and every copy of
 * "the running executable" (uninstaller, package) is a copy of it. The launcher keeps
 * the outer file open and hands the descriptor on in VRN_PORTABLE_FD, so that the
 * program reads the file it was started from even when that file is replaced later.
 *
 * A cache folder only ever appears whole: a start unpacks into a folder of its own and
 * renames it into place when every file is written and flushed; starts that unpack at
 * the same time take turns through a lock file. Links only glibc (and libzstd, linked
 * statically), so it runs where no library of the program's is installed. */
#define _GNU_SOURCE
#include "bundle_format.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <zstd.h>

#define PROGRAM_IN_BUNDLE "bin/vrnsetup"
#define CACHE_FOLDER_NAME "vorlen-setup"
#define READ_CHUNK (1u << 20)

struct entry {
    uint32_t mode;
    uint64_t size;
    char* path;
};

struct bundle {
    int fd;
    uint64_t payload_offset;
    uint64_t payload_size;
    uint64_t unpacked_size;
    uint32_t count;
    struct entry* entries;
    char key[BUNDLE_KEY_LENGTH + 1];
};

static void remove_tree(const char* path);

/* the folder this start is unpacking into; a failed start removes it */
static const char* unpacking;

static void fail(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fputs("vrnsetup: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
    if (unpacking)
        remove_tree(unpacking);
    exit(1);
}

static void* allocate(size_t size)
{
    void* memory = malloc(size ? size : 1);
    if (!memory)
        fail("out of memory");
    return memory;
}

/* A relative path without empty, "." or ".." parts: an entry never leaves its folder. */
static int safe_relative_path(const char* path)
{
    if (*path == '\0' || *path == '/')
        return 0;
    for (const char* part = path; part;) {
        const char* slash = strchr(part, '/');
        const size_t length = slash ? (size_t)(slash - part) : strlen(part);
        if (length == 0 || (length == 1 && part[0] == '.') || (length == 2 && part[0] == '.' && part[1] == '.'))
            return 0;
        part = slash ? slash + 1 : NULL;
    }
    return 1;
}

static int key_is_hex(const char* key)
{
    for (int i = 0; i < BUNDLE_KEY_LENGTH; ++i)
        if (!strchr("0123456789abcdef", key[i]) || key[i] == '\0')
            return 0;
    return 1;
}

static void parse_index(struct bundle* bundle, const unsigned char* index, uint64_t size)
{
    bundle->entries = allocate(sizeof(struct entry) * bundle->count);
    uint64_t at = 0, total = 0;
    for (uint32_t i = 0; i < bundle->count; ++i) {
        if (size - at < 14)
            fail("the bundle's index is damaged");
        struct entry* entry = &bundle->entries[i];
        entry->mode = bundle_u32(index + at) & 0777;
        entry->size = bundle_u64(index + at + 4);
        const uint32_t length = (uint32_t)index[at + 12] | (uint32_t)index[at + 13] << 8;
        at += 14;
        if (length == 0 || length > BUNDLE_MAX_PATH || size - at < length)
            fail("the bundle's index is damaged");
        entry->path = allocate(length + 1);
        memcpy(entry->path, index + at, length);
        entry->path[length] = '\0';
        at += length;
        if (strlen(entry->path) != length || !safe_relative_path(entry->path))
            fail("the bundle holds an unsafe path");
        total += entry->size;
    }
    if (at != size || total != bundle->unpacked_size)
        fail("the bundle's index is damaged");
}

static void read_bundle(int fd, struct bundle* bundle)
{
    const uint64_t start = bundle_elf_end(fd);
    unsigned char header[BUNDLE_HEADER_SIZE];
    if (start == 0 || bundle_read_at(fd, header, sizeof header, start) != 0 || memcmp(header, BUNDLE_MAGIC, 8) != 0)
        fail("this file carries no program bundle");
    const uint64_t index_size = bundle_u64(header + 16);
    bundle->fd = fd;
    bundle->count = bundle_u32(header + 12);
    bundle->payload_size = bundle_u64(header + 24);
    bundle->unpacked_size = bundle_u64(header + 32);
    memcpy(bundle->key, header + 40, BUNDLE_KEY_LENGTH);
    bundle->key[BUNDLE_KEY_LENGTH] = '\0';
    if (bundle_u32(header + 8) != BUNDLE_VERSION || bundle->count > BUNDLE_MAX_ENTRIES
        || index_size > BUNDLE_MAX_INDEX_SIZE || !key_is_hex(bundle->key))
        fail("the program bundle is damaged or of another version");
    unsigned char* index = allocate(index_size);
    if (bundle_read_at(fd, index, index_size, start + sizeof header) != 0)
        fail("the program bundle is cut short");
    parse_index(bundle, index, index_size);
    free(index);
    bundle->payload_offset = start + sizeof header + index_size;
}

/* ---- the cache folder ------------------------------------------------------------ */

static char* joined(const char* a, const char* b)
{
    char* path = allocate(strlen(a) + strlen(b) + 2);
    sprintf(path, "%s/%s", a, b);
    return path;
}

/* Creates every missing folder of an absolute path, private to the user. */
static void make_folders(char* path)
{
    for (char* slash = strchr(path + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash)
            *slash = '\0';
        if (mkdir(path, 0700) != 0 && errno != EEXIST)
            fail("cannot create the folder \"%s\": %s", path, strerror(errno));
        if (!slash)
            return;
        *slash = '/';
    }
}

/* $XDG_CACHE_HOME/vorlen-setup, or ~/.cache/vorlen-setup. */
static char* cache_root(void)
{
    const char* cache = getenv("XDG_CACHE_HOME");
    char* root;
    if (cache && cache[0] == '/') {
        root = joined(cache, CACHE_FOLDER_NAME);
    } else {
        const char* home = getenv("HOME");
        if (!home || home[0] != '/')
            fail("neither XDG_CACHE_HOME nor HOME names a folder to unpack the program into");
        char* dot_cache = joined(home, ".cache");
        root = joined(dot_cache, CACHE_FOLDER_NAME);
        free(dot_cache);
    }
    make_folders(root);
    struct stat info;
    if (lstat(root, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid())
        fail("the cache folder \"%s\" is not the user's own folder", root);
    return root;
}

/* Whether `folder` holds every entry whole: a regular file of its size and mode. */
static int unpacked_whole(const char* folder, const struct bundle* bundle)
{
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return 0;
    int whole = 1;
    for (uint32_t i = 0; i < bundle->count && whole; ++i) {
        const struct entry* entry = &bundle->entries[i];
        struct stat info;
        whole = fstatat(dir, entry->path, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)
                && (uint64_t)info.st_size == entry->size && (info.st_mode & 0777) == entry->mode
                && info.st_uid == getuid();
    }
    close(dir);
    return whole;
}

static int remove_entry(const char* path, const struct stat* info, int type, struct FTW* walk)
{
    (void)info, (void)type, (void)walk;
    remove(path);
    return 0;
}

/* Deletes a folder of ours with everything in it, never following a link. */
static void remove_tree(const char* path)
{
    nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

/* Folders left by starts that were killed while unpacking this bundle; only called
 * under the bundle's lock, so no live start is writing them. */
static void remove_leftovers(const char* root, const char* key)
{
    DIR* dir = opendir(root);
    if (!dir)
        return;
    char prefix[BUNDLE_KEY_LENGTH + 2];
    snprintf(prefix, sizeof prefix, "%s.", key);
    for (struct dirent* item; (item = readdir(dir));) {
        if (strncmp(item->d_name, prefix, strlen(prefix)) == 0 && strstr(item->d_name, ".lock") == NULL) {
            char* path = joined(root, item->d_name);
            remove_tree(path);
            free(path);
        }
    }
    closedir(dir);
}

/* ---- unpacking ------------------------------------------------------------------- */

/* Writes the payload's bytes into the entries' files one after the other. */
struct writer {
    int dir;
    const struct bundle* bundle;
    uint32_t next;
    int fd;
    uint64_t left;
};

static void make_parents(int dir, const char* path)
{
    char* copy = strdup(path);
    for (char* slash = strchr(copy, '/'); slash; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        if (mkdirat(dir, copy, 0700) != 0 && errno != EEXIST)
            fail("cannot create the folder \"%s\": %s", copy, strerror(errno));
        *slash = '/';
    }
    free(copy);
}

static void finish_file(struct writer* writer)
{
    if (fdatasync(writer->fd) != 0 || close(writer->fd) != 0)
        fail("cannot write the unpacked program: %s", strerror(errno));
    writer->fd = -1;
}

/* Opens the next entry's file; empty entries are finished at once. */
static void open_next(struct writer* writer)
{
    while (writer->fd < 0 && writer->next < writer->bundle->count) {
        const struct entry* entry = &writer->bundle->entries[writer->next++];
        make_parents(writer->dir, entry->path);
        writer->fd = openat(writer->dir, entry->path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, entry->mode);
        if (writer->fd < 0 || fchmod(writer->fd, entry->mode) != 0)
            fail("cannot write \"%s\" of the unpacked program: %s", entry->path, strerror(errno));
        writer->left = entry->size;
        if (writer->left == 0)
            finish_file(writer);
    }
}

static void write_bytes(struct writer* writer, const char* data, size_t size)
{
    while (size > 0) {
        open_next(writer);
        if (writer->fd < 0)
            fail("the program bundle holds more bytes than its index names");
        const size_t part = writer->left < size ? (size_t)writer->left : size;
        const ssize_t written = write(writer->fd, data, part);
        if (written <= 0)
            fail("cannot write the unpacked program: %s", strerror(errno));
        data += written;
        size -= (size_t)written;
        writer->left -= (uint64_t)written;
        if (writer->left == 0)
            finish_file(writer);
    }
}

static void unpack_into(const struct bundle* bundle, const char* folder)
{
    struct writer writer = {open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC), bundle, 0, -1, 0};
    if (writer.dir < 0)
        fail("cannot open \"%s\": %s", folder, strerror(errno));
    ZSTD_DStream* stream = ZSTD_createDStream();
    const size_t out_size = ZSTD_DStreamOutSize();
    char* in_buffer = allocate(READ_CHUNK);
    char* out_buffer = allocate(out_size);
    uint64_t offset = bundle->payload_offset;
    uint64_t left = bundle->payload_size;
    size_t status = 1;
    while (left > 0) {
        const size_t chunk = left < READ_CHUNK ? (size_t)left : READ_CHUNK;
        if (bundle_read_at(bundle->fd, in_buffer, chunk, offset) != 0)
            fail("the program bundle is cut short");
        offset += chunk;
        left -= chunk;
        ZSTD_inBuffer in = {in_buffer, chunk, 0};
        while (in.pos < in.size) {
            ZSTD_outBuffer out = {out_buffer, out_size, 0};
            status = ZSTD_decompressStream(stream, &out, &in);
            if (ZSTD_isError(status))
                fail("the program bundle is damaged: %s", ZSTD_getErrorName(status));
            write_bytes(&writer, out_buffer, out.pos);
        }
    }
    open_next(&writer);  /* empty entries at the end */
    if (status != 0 || writer.fd >= 0 || writer.next != bundle->count)
        fail("the program bundle is cut short");
    if (fsync(writer.dir) != 0)
        fail("cannot write the unpacked program: %s", strerror(errno));
    ZSTD_freeDStream(stream);
    free(in_buffer);
    free(out_buffer);
    close(writer.dir);
}

/* Puts the whole new folder in the place of a damaged one in one step where the file
 * system can, else moves the damaged one aside first; what is replaced is deleted. */
static void put_in_place(const char* fresh, const char* target, const char* root, const char* key)
{
    if (rename(fresh, target) == 0)
        return;
    if (errno != EEXIST && errno != ENOTEMPTY)
        fail("cannot move the unpacked program into \"%s\": %s", target, strerror(errno));
    if (renameat2(AT_FDCWD, fresh, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
        remove_tree(fresh);
        return;
    }
    char aside[PATH_MAX];
    snprintf(aside, sizeof aside, "%s/%s.old-XXXXXX", root, key);
    if (!mkdtemp(aside) || rename(target, aside) != 0 || rename(fresh, target) != 0)
        fail("cannot replace the damaged unpacked program in \"%s\": %s", target, strerror(errno));
    remove_tree(aside);
}

static void unpack(const struct bundle* bundle, const char* root, const char* target)
{
    char* lock_path = joined(root, bundle->key);
    lock_path = realloc(lock_path, strlen(lock_path) + 6);
    strcat(lock_path, ".lock");
    const int lock = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0)
        fail("cannot open \"%s\": %s", lock_path, strerror(errno));
    while (flock(lock, LOCK_EX) != 0)
        if (errno != EINTR)
            fail("cannot lock \"%s\": %s", lock_path, strerror(errno));
    /* another start may have unpacked it while this one waited */
    if (!unpacked_whole(target, bundle)) {
        remove_leftovers(root, bundle->key);
        char fresh[PATH_MAX];
        snprintf(fresh, sizeof fresh, "%s/%s.tmp-XXXXXX", root, bundle->key);
        if (!mkdtemp(fresh))
            fail("cannot create a folder in \"%s\": %s", root, strerror(errno));
        unpacking = fresh;
        unpack_into(bundle, fresh);
        put_in_place(fresh, target, root, bundle->key);
        unpacking = NULL;
        if (!unpacked_whole(target, bundle))
            fail("the unpacked program in \"%s\" is incomplete", target);
    }
    close(lock);
    free(lock_path);
}

int main(int argc, char** argv)
{
    (void)argc;
    /* left open across exec: the program reads its resources through it */
    const int self = open("/proc/self/exe", O_RDONLY);
    if (self < 0)
        fail("cannot open the running program's file: %s", strerror(errno));
    struct bundle bundle;
    read_bundle(self, &bundle);
    char* root = cache_root();
    char* target = joined(root, bundle.key);
    if (!unpacked_whole(target, &bundle))
        unpack(&bundle, root, target);

    char descriptor[16];
    snprintf(descriptor, sizeof descriptor, "%d", self);
    if (setenv("VRN_PORTABLE_FD", descriptor, 1) != 0)
        fail("cannot set the environment: %s", strerror(errno));
    char* program = joined(target, PROGRAM_IN_BUNDLE);
    execv(program, argv);
    fail("cannot start \"%s\": %s", program, strerror(errno));
    return 1;
}
