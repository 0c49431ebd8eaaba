/* The bundle behind the launcher in its own file: header and index (bundle_format.h). */
#ifndef VRN_BUNDLE_READER_H
#define VRN_BUNDLE_READER_H

#include "bundle_format.h"

#include <sys/types.h>

struct entry {
    uint32_t mode;
    uint64_t size;
    char* path;
    /* the unpacked file's, once checked */
    dev_t device;
    ino_t inode;
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

/* Reads the bundle of the open file; a file without a sound one ends the start. */
void read_bundle(int fd, struct bundle* bundle);

void* allocate(size_t size);

#endif
