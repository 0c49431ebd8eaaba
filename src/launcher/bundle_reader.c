#define _GNU_SOURCE
#include "bundle_reader.h"

#include "launcher_report.h"

#include <stdlib.h>

void* allocate(size_t size)
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

void read_bundle(int fd, struct bundle* bundle)
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
