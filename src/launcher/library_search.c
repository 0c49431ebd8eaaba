#define _GNU_SOURCE
#include "library_search.h"

#include "bundle_format.h"
#include "choice_memo.h"
#include "elf_versions.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>

#define CACHE_FILE "/etc/ld.so.cache"
#define CACHE_MAGIC "glibc-ld.so.cache1.1"
#define OLD_CACHE_MAGIC "ld.so-1.7.0"
/* an entry for an x86-64 library: FLAG_ELF_LIBC6 | FLAG_X8664_LIB64 */
#define CACHE_FLAGS_X86_64 0x0303
#define MAX_CACHE_SIZE (64u * 1024u * 1024u)

static const char* const usual_folders[] = {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64",
                                            "/usr/lib64", "/lib", "/usr/lib"};

/* the loader's cache in the layout every glibc since 2.32 writes (older ones write it
 * after an entry table of the old layout) */
static const unsigned char* cache;
static size_t cache_size;

static void load_cache(void)
{
    static int loaded;
    if (loaded)
        return;
    loaded = 1;
    const int fd = open(CACHE_FILE, O_RDONLY | O_CLOEXEC);
    memo_note_file(CACHE_FILE, fd);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size < 64 || (uint64_t)info.st_size > MAX_CACHE_SIZE) {
        if (fd >= 0)
            close(fd);
        return;
    }
    void* map = mmap(NULL, (size_t)info.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return;
    const unsigned char* start = map;
    size_t offset = 0;
    if (memcmp(start, OLD_CACHE_MAGIC, strlen(OLD_CACHE_MAGIC)) == 0) {
        /* 16-byte header and 12-byte entries, then the new layout aligned to 8 */
        offset = (16 + (size_t)bundle_u32(start + 12) * 12 + 7) & ~(size_t)7;
    }
    if (offset + 48 > (size_t)info.st_size || memcmp(start + offset, CACHE_MAGIC, strlen(CACHE_MAGIC)) != 0)
        return;
    cache = start + offset;
    cache_size = (size_t)info.st_size - offset;
}

int open_system_object(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    memo_note_file(path, fd);
    if (fd >= 0 && !elf_is_x86_64_object(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

static int open_in_folder(const char* folder, const char* soname, char* path, size_t size)
{
    if (!*folder)
        return -1;
    snprintf(path, size, "%s/%s", folder, soname);
    return open_system_object(path);
}

static int open_from_search_path(const char* list, const char* soname, char* path, size_t size)
{
    char folder[4096];
    while (list && *list) {
        const size_t length = strcspn(list, ":;");
        if (length < sizeof folder) {
            memcpy(folder, list, length);
            folder[length] = '\0';
            const int fd = open_in_folder(folder, soname, path, size);
            if (fd >= 0)
                return fd;
        }
        list += length + (list[length] != '\0');
    }
    return -1;
}

static const char* cache_string(uint32_t offset)
{
    return offset < cache_size && memchr(cache + offset, '\0', cache_size - offset) ? (const char*)cache + offset
                                                                                 : NULL;
}

static int open_from_cache(const char* soname, char* path, size_t size)
{
    load_cache();
    if (!cache)
        return -1;
    const uint32_t count = bundle_u32(cache + 20);
    for (uint64_t i = 0; i < count && 48 + (i + 1) * 24 <= cache_size; ++i) {
        const unsigned char* entry = cache + 48 + i * 24;
        const char* key = cache_string(bundle_u32(entry + 4));
        const char* value = cache_string(bundle_u32(entry + 8));
        if ((bundle_u32(entry) & 0xffff) != CACHE_FLAGS_X86_64 || !key || !value || strcmp(key, soname) != 0)
            continue;
        snprintf(path, size, "%s", value);
        const int fd = open_system_object(path);
        if (fd >= 0)
            return fd;
    }
    return -1;
}

int open_system_library(const char* soname, char* path, size_t size)
{
    int fd = open_from_search_path(getenv("LD_LIBRARY_PATH"), soname, path, size);
    if (fd < 0)
        fd = open_from_cache(soname, path, size);
    for (size_t i = 0; fd < 0 && i < sizeof usual_folders / sizeof *usual_folders; ++i)
        fd = open_in_folder(usual_folders[i], soname, path, size);
    return fd;
}
