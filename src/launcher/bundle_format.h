/* The portable setup file:
 *
 *   [launcher, an ELF executable] [header] [index] [payload] [resource table, optional]
 *
 * The header starts where the launcher's ELF image ends, so the launcher finds it in its
 * own file whatever is appended after the payload (the program's resources are).
 *
 * header:  8 bytes magic, uint32 version, uint32 entry count, uint64 index size,
 *          uint64 payload size (compressed), uint64 unpacked size, 64 characters key
 *          (the hex SHA-256 of index and payload: the bundle's cache folder name)
 * index:   per entry: uint32 mode, uint64 size, uint16 path length, the relative path
 * payload: one zstd frame with a checksum holding every entry's bytes in index order
 *
 * Numbers are little-endian. Shared by the launcher (C) and the packer (C++). */
#ifndef VRN_BUNDLE_FORMAT_H
#define VRN_BUNDLE_FORMAT_H

#include <elf.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#define BUNDLE_MAGIC "VRNBNDL\x1a"
#define BUNDLE_VERSION 1u
#define BUNDLE_KEY_LENGTH 64
#define BUNDLE_HEADER_SIZE (8 + 4 + 4 + 8 + 8 + 8 + BUNDLE_KEY_LENGTH)
/* no real bundle comes near these; larger values are a damaged header */
#define BUNDLE_MAX_ENTRIES 100000u
#define BUNDLE_MAX_INDEX_SIZE (16u * 1024u * 1024u)
#define BUNDLE_MAX_PATH 4096u

static inline uint64_t bundle_max(uint64_t a, uint64_t b) { return a > b ? a : b; }

static inline int bundle_read_at(int fd, void* buffer, size_t size, uint64_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, (char*)buffer + done, size - done, (off_t)(offset + done));
        if (got <= 0)
            return -1;
        done += (size_t)got;
    }
    return 0;
}

/* Where the ELF image of the file ends: the furthest byte that a program header, a
 * section or the section header table covers. 0 when the file is no 64-bit ELF file. */
static inline uint64_t bundle_elf_end(int fd)
{
    Elf64_Ehdr header;
    if (bundle_read_at(fd, &header, sizeof header, 0) != 0 || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0
        || header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr)
        || (header.e_shnum != 0 && header.e_shentsize != sizeof(Elf64_Shdr)))
        return 0;
    uint64_t end = bundle_max(sizeof header, header.e_phoff + (uint64_t)header.e_phnum * header.e_phentsize);
    end = bundle_max(end, header.e_shoff + (uint64_t)header.e_shnum * header.e_shentsize);
    /* a few reads of many headers each: the launcher does this at every start */
    enum { CHUNK = 32 };
    for (unsigned first = 0; first < header.e_phnum; first += CHUNK) {
        Elf64_Phdr programs[CHUNK];
        const unsigned count = header.e_phnum - first < CHUNK ? header.e_phnum - first : CHUNK;
        if (bundle_read_at(fd, programs, count * sizeof *programs, header.e_phoff + (uint64_t)first * sizeof *programs) != 0)
            return 0;
        for (unsigned i = 0; i < count; ++i)
            end = bundle_max(end, programs[i].p_offset + programs[i].p_filesz);
    }
    for (unsigned first = 0; first < header.e_shnum; first += CHUNK) {
        Elf64_Shdr sections[CHUNK];
        const unsigned count = header.e_shnum - first < CHUNK ? header.e_shnum - first : CHUNK;
        if (bundle_read_at(fd, sections, count * sizeof *sections, header.e_shoff + (uint64_t)first * sizeof *sections) != 0)
            return 0;
        for (unsigned i = 0; i < count; ++i)
            if (sections[i].sh_type != SHT_NOBITS)
                end = bundle_max(end, sections[i].sh_offset + sections[i].sh_size);
    }
    return end;
}

static inline uint32_t bundle_u32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static inline uint64_t bundle_u64(const unsigned char* p)
{
    return (uint64_t)bundle_u32(p) | (uint64_t)bundle_u32(p + 4) << 32;
}

#endif
