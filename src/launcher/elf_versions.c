#define _GNU_SOURCE
#include "elf_versions.h"

#include "bundle_format.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#define MAX_PROGRAM_HEADERS 64
#define MAX_DYNAMIC_SIZE (64u * 1024u)
#define MAX_VERSIONS 4096
#define MAX_STRINGS_SIZE (8u * 1024u * 1024u)
#define MAX_DEFINITIONS_SIZE (64u * 1024u)

int elf_is_x86_64_object(int fd)
{
    Elf64_Ehdr header;
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && bundle_read_at(fd, &header, sizeof header, 0) == 0
           && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64
           && header.e_ident[EI_DATA] == ELFDATA2LSB && header.e_machine == EM_X86_64
           && (header.e_type == ET_DYN || header.e_type == ET_EXEC);
}

struct image {
    int fd;
    Elf64_Phdr programs[MAX_PROGRAM_HEADERS];
    unsigned count;
};

/* The file offset of a virtual address, through the loadable segments. */
static int file_offset(const struct image* image, uint64_t address, uint64_t* offset)
{
    for (unsigned i = 0; i < image->count; ++i) {
        const Elf64_Phdr* segment = &image->programs[i];
        if (segment->p_type == PT_LOAD && address >= segment->p_vaddr
            && address - segment->p_vaddr < segment->p_filesz) {
            *offset = address - segment->p_vaddr + segment->p_offset;
            return 1;
        }
    }
    return 0;
}

static uint64_t bundle_min(uint64_t a, uint64_t b) { return a < b ? a : b; }

static void append(char** list, size_t* length, const char* name)
{
    const size_t size = strlen(name);
    char* grown = realloc(*list, *length + size + 2);
    if (!grown)
        return;
    memcpy(grown + *length, name, size);
    grown[*length + size] = '\n';
    grown[*length + size + 1] = '\0';
    *list = grown;
    *length += size + 1;
}

char* elf_defined_versions(int fd)
{
    struct image image = {fd, {{0}}, 0};
    Elf64_Ehdr header;
    if (!elf_is_x86_64_object(fd) || bundle_read_at(fd, &header, sizeof header, 0) != 0
        || header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > MAX_PROGRAM_HEADERS
        || bundle_read_at(fd, image.programs, header.e_phnum * sizeof(Elf64_Phdr), header.e_phoff) != 0)
        return NULL;
    image.count = header.e_phnum;
    const Elf64_Phdr* dynamic = NULL;
    for (unsigned i = 0; i < image.count; ++i)
        if (image.programs[i].p_type == PT_DYNAMIC)
            dynamic = &image.programs[i];
    if (!dynamic || dynamic->p_filesz > MAX_DYNAMIC_SIZE)
        return NULL;
    Elf64_Dyn* entries = malloc(dynamic->p_filesz + 1);
    if (!entries || bundle_read_at(fd, entries, dynamic->p_filesz, dynamic->p_offset) != 0) {
        free(entries);
        return NULL;
    }
    uint64_t strings = 0, strings_size = 0, definitions = 0, definition_count = 0;
    for (size_t i = 0; i < dynamic->p_filesz / sizeof(Elf64_Dyn) && entries[i].d_tag != DT_NULL; ++i) {
        switch (entries[i].d_tag) {
        case DT_STRTAB: strings = entries[i].d_un.d_ptr; break;
        case DT_STRSZ: strings_size = entries[i].d_un.d_val; break;
        case DT_VERDEF: definitions = entries[i].d_un.d_ptr; break;
        case DT_VERDEFNUM: definition_count = entries[i].d_un.d_val; break;
        }
    }
    free(entries);
    uint64_t strings_at, at;
    if (!definitions || !file_offset(&image, strings, &strings_at) || !file_offset(&image, definitions, &at))
        return NULL;
    /* the definitions and the names in two reads: the start-up reads several libraries */
    char* names = strings_size <= MAX_STRINGS_SIZE ? malloc(strings_size + 1) : NULL;
    unsigned char* table = malloc(MAX_DEFINITIONS_SIZE);
    struct stat info;
    const uint64_t table_size = fstat(fd, &info) == 0 && (uint64_t)info.st_size > at
                                    ? bundle_min((uint64_t)info.st_size - at, MAX_DEFINITIONS_SIZE)
                                    : 0;
    char* list = NULL;
    size_t length = 0;
    if (names && table && table_size > 0 && bundle_read_at(fd, names, strings_size, strings_at) == 0
        && bundle_read_at(fd, table, table_size, at) == 0) {
        names[strings_size] = '\0';
        uint64_t offset = 0;
        for (uint64_t i = 0; i < definition_count && i < MAX_VERSIONS; ++i) {
            Elf64_Verdef definition;
            Elf64_Verdaux first_name;
            if (offset + sizeof definition > table_size)
                break;
            memcpy(&definition, table + offset, sizeof definition);
            if (offset + definition.vd_aux + sizeof first_name > table_size)
                break;
            memcpy(&first_name, table + offset + definition.vd_aux, sizeof first_name);
            if (first_name.vda_name >= strings_size)
                break;
            if ((definition.vd_flags & VER_FLG_BASE) == 0)
                append(&list, &length, names + first_name.vda_name);
            if (definition.vd_next == 0)
                break;
            offset += definition.vd_next;
        }
    }
    free(names);
    free(table);
    return list;
}

int versions_cover(const char* defined, const char* wanted)
{
    while (*wanted) {
        const size_t size = strcspn(wanted, " \n");
        int found = size == 0;
        for (const char* line = defined; !found && line && *line;) {
            const size_t line_size = strcspn(line, "\n");
            found = line_size == size && memcmp(line, wanted, size) == 0;
            line += line_size + (line[line_size] == '\n');
        }
        if (!found)
            return 0;
        wanted += size + (wanted[size] != '\0');
    }
    return 1;
}

int compare_file_versions(const char* a, const char* b)
{
    const char* x = strstr(a, ".so.");
    const char* y = strstr(b, ".so.");
    x = x ? x + 4 : "";
    y = y ? y + 4 : "";
    while (*x || *y) {
        char* end_x;
        char* end_y;
        const unsigned long left = strtoul(x, &end_x, 10);
        const unsigned long right = strtoul(y, &end_y, 10);
        if (left != right)
            return left < right ? -1 : 1;
        x = *end_x == '.' ? end_x + 1 : end_x + strlen(end_x);
        y = *end_y == '.' ? end_y + 1 : end_y + strlen(end_y);
    }
    return 0;
}
