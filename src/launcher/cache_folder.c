#define _GNU_SOURCE
#include "cache_folder.h"

#include "launcher_report.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <zstd.h>

#define CACHE_FOLDER_NAME "vorlen-setup"
#define READ_CHUNK (1u << 20)

static uid_t user(void)
{
    static uid_t uid = (uid_t)-1;
    if (uid == (uid_t)-1)
        uid = getuid();
    return uid;
}

int private_folder(const struct stat* info)
{
    return S_ISDIR(info->st_mode) && info->st_uid == user() && (info->st_mode & 022) == 0;
}

/* ---- removing ------------------------------------------------------------------- */

void remove_tree_at(int dir, const char* name)
{
    struct stat info;
    if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(info.st_mode)) {
        unlinkat(dir, name, 0);
        return;
    }
    const int folder = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* listing = folder >= 0 && info.st_uid == getuid() ? fdopendir(folder) : NULL;
    if (!listing) {
        if (folder >= 0)
            close(folder);
        return;
    }
    for (struct dirent* item; (item = readdir(listing));)
        if (strcmp(item->d_name, ".") != 0 && strcmp(item->d_name, "..") != 0)
            remove_tree_at(folder, item->d_name);
    closedir(listing);
    unlinkat(dir, name, AT_REMOVEDIR);
}

/* the folder this start is unpacking into; a failed start removes it */
static int unpacking_root = -1;
static char unpacking[NAME_SIZE];

static void remove_unpacking(void)
{
    if (unpacking[0])
        remove_tree_at(unpacking_root, unpacking);
}

void remove_leftovers(int root, const char* key)
{
    const int copy = dup(root);
    DIR* listing = copy >= 0 ? fdopendir(copy) : NULL;
    if (!listing) {
        if (copy >= 0)
            close(copy);
        return;
    }
    char prefix[BUNDLE_KEY_LENGTH + 2];
    snprintf(prefix, sizeof prefix, "%s.", key);
    for (struct dirent* item; (item = readdir(listing));)
        if (strncmp(item->d_name, prefix, strlen(prefix)) == 0 && strstr(item->d_name, ".lock") == NULL)
            remove_tree_at(root, item->d_name);
    closedir(listing);
}

/* ---- the cache root -------------------------------------------------------------- */

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

/* $XDG_CACHE_HOME/vorlen-setup, or ~/.cache/vorlen-setup, made private to the user when
 * it was not (others may have put anything in it meanwhile: `shared` is set then). */
static int open_cache_root(int* shared)
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
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        make_folders(root);
        fd = open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_uid != getuid())
        fail("the cache folder \"%s\" is not the user's own folder", root);
    *shared = (info.st_mode & 022) != 0;
    if ((info.st_mode & 077) != 0 && fchmod(fd, 0700) != 0)
        fail("cannot make the cache folder \"%s\" private: %s", root, strerror(errno));
    free(root);
    return fd;
}

/* ---- checking ------------------------------------------------------------------- */

/* Whether every folder above the entry's file, below the bundle's folder, is private. */
static int parents_private(int dir, const char* path)
{
    char parent[BUNDLE_MAX_PATH + 1];
    snprintf(parent, sizeof parent, "%s", path);
    for (char* slash = strchr(parent, '/'); slash; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        struct stat info;
        if (fstatat(dir, parent, &info, AT_SYMLINK_NOFOLLOW) != 0 || !private_folder(&info))
            return 0;
        *slash = '/';
    }
    return 1;
}

static int same_parent(const char* a, const char* b)
{
    const char* slash_a = strrchr(a, '/');
    const char* slash_b = strrchr(b, '/');
    const size_t length = slash_a ? (size_t)(slash_a - a) : 0;
    return length == (slash_b ? (size_t)(slash_b - b) : 0) && strncmp(a, b, length) == 0;
}

/* The handle of `root`/`name` when it holds every entry whole: a regular file of the
 * user's of its size and mode, in private folders of the user's (its folder of chosen
 * libraries too). -1 otherwise. Notes each entry's file identity. */
static int open_checked(int root, const char* name, struct bundle* bundle)
{
    const int dir = openat(root, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (dir < 0 || fstat(dir, &info) != 0 || !private_folder(&info)) {
        if (dir >= 0)
            close(dir);
        return -1;
    }
    int whole = fstatat(dir, BUNDLE_CHOSEN_FOLDER, &info, AT_SYMLINK_NOFOLLOW) == 0 ? private_folder(&info)
                                                                                  : errno == ENOENT;
    for (uint32_t i = 0; i < bundle->count && whole; ++i) {
        struct entry* entry = &bundle->entries[i];
        whole = (i > 0 && same_parent(entry->path, bundle->entries[i - 1].path)) || parents_private(dir, entry->path);
        whole = whole && fstatat(dir, entry->path, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)
                && (uint64_t)info.st_size == entry->size && (info.st_mode & 0777) == entry->mode
                && info.st_uid == user();
        entry->device = info.st_dev;
        entry->inode = info.st_ino;
    }
    if (!whole) {
        close(dir);
        return -1;
    }
    return dir;
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

static void unpack_into(const struct bundle* bundle, int root, const char* name)
{
    struct writer writer = {openat(root, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), bundle, 0, -1, 0};
    if (writer.dir < 0)
        fail("cannot open the folder \"%s\" in the cache: %s", name, strerror(errno));
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

/* A name "<key>.<what>-<random>" in the root. */
static void unique_name(const char* key, const char* what, int attempt, char name[NAME_SIZE])
{
    uint32_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = (uint32_t)getpid() * 2654435761u ^ (uint32_t)time(NULL) ^ (uint32_t)attempt;
    snprintf(name, NAME_SIZE, "%s.%s-%08x", key, what, random);
}

void make_unique_folder(int root, const char* key, char name[NAME_SIZE])
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        unique_name(key, "tmp", attempt, name);
        if (mkdirat(root, name, 0700) == 0)
            return;
        if (errno != EEXIST)
            break;
    }
    fail("cannot create a folder in the cache: %s", strerror(errno));
}

void put_in_place(int root, const char* fresh, const char* key)
{
    if (renameat(root, fresh, root, key) == 0)
        return;
    if (errno != EEXIST && errno != ENOTEMPTY && errno != ENOTDIR && errno != EISDIR)
        fail("cannot move the unpacked program into place in the cache: %s", strerror(errno));
    if (renameat2(root, fresh, root, key, RENAME_EXCHANGE) == 0) {
        remove_tree_at(root, fresh);
        return;
    }
    char aside[NAME_SIZE];
    unique_name(key, "old", 0, aside);
    if (renameat(root, key, root, aside) != 0 || renameat(root, fresh, root, key) != 0)
        fail("cannot replace the damaged unpacked program in the cache: %s", strerror(errno));
    remove_tree_at(root, aside);
}

static int unpack(struct bundle* bundle, int root, int trusted)
{
    char lock_name[NAME_SIZE];
    snprintf(lock_name, sizeof lock_name, "%s.lock", bundle->key);
    const int lock = openat(root, lock_name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0)
        fail("cannot open the lock file \"%s\" in the cache: %s", lock_name, strerror(errno));
    while (flock(lock, LOCK_EX) != 0)
        if (errno != EINTR)
            fail("cannot lock \"%s\" in the cache: %s", lock_name, strerror(errno));
    /* another start may have unpacked it while this one waited */
    int dir = trusted ? open_checked(root, bundle->key, bundle) : -1;
    if (dir < 0) {
        remove_leftovers(root, bundle->key);
        unpacking_root = root;
        make_unique_folder(root, bundle->key, unpacking);
        report_on_failure(remove_unpacking);
        unpack_into(bundle, root, unpacking);
        put_in_place(root, unpacking, bundle->key);
        report_on_failure(NULL);
        unpacking[0] = '\0';
        dir = open_checked(root, bundle->key, bundle);
        if (dir < 0)
            fail("the unpacked program in the cache is incomplete");
    }
    close(lock);
    return dir;
}

int open_unpacked_bundle(struct bundle* bundle)
{
    int shared = 0;
    const int root = open_cache_root(&shared);
    /* in a folder others could write to, what lies there may have been swapped */
    int dir = shared ? -1 : open_checked(root, bundle->key, bundle);
    if (dir < 0)
        dir = unpack(bundle, root, !shared);
    close(root);
    return dir;
}
