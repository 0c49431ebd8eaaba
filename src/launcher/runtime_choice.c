#define _GNU_SOURCE
#include "runtime_choice.h"

#include "bundle_reader.h"
#include "elf_versions.h"
#include "launcher_report.h"
#include "library_search.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#define LIST_NAME "runtime.list"
#define MAX_LIST_SIZE (1u << 20)
#define SYSTEM_LOADER "/lib64/ld-linux-x86-64.so.2"
#define BUNDLED_LOADER "runtime/glibc/ld-linux-x86-64.so.2"
#define FIELDS 5
#define CHOSEN_FOLDER "runtime/chosen"

static char* read_list(int bundle_dir)
{
    const int fd = openat(bundle_dir, LIST_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || (uint64_t)info.st_size > MAX_LIST_SIZE)
        fail("the unpacked program has no list of its libraries");
    char* text = allocate((size_t)info.st_size + 1);
    if (bundle_read_at(fd, text, (size_t)info.st_size, 0) != 0)
        fail("cannot read the list of the program's libraries");
    text[info.st_size] = '\0';
    close(fd);
    return text;
}

/* Splits one line into its tab-separated fields (missing ones empty); returns the next line. */
static char* split_line(char* line, char* fields[FIELDS])
{
    char* end = line + strcspn(line, "\n");
    char* next = *end ? end + 1 : end;
    *end = '\0';
    for (int i = 0; i < FIELDS; ++i) {
        fields[i] = line;
        line += strcspn(line, "\t");
        if (*line)
            *line++ = '\0';
    }
    return next;
}

/* ---- libraries the system must have ---------------------------------------------- */

struct missing {
    char names[4096], debian[4096], fedora[4096];
    int count;
};

static void add_word(char* list, size_t size, const char* word)
{
    if (!*word || strcmp(word, "-") == 0 || strstr(list, word))
        return;
    const size_t used = strlen(list);
    snprintf(list + used, size - used, "%s%s", used ? " " : "", word);
}

static void check_system_library(char* fields[FIELDS], struct missing* missing)
{
    char path[PATH_MAX];
    const int fd = open_system_library(fields[1], path, sizeof path);
    char* defined = fd >= 0 && *fields[4] ? elf_defined_versions(fd) : NULL;
    const int usable = fd >= 0 && (!*fields[4] || (defined && versions_cover(defined, fields[4])));
    free(defined);
    if (fd >= 0)
        close(fd);
    if (usable)
        return;
    char name[512];
    snprintf(name, sizeof name, fd >= 0 ? "%s (too old: it lacks %s)" : "%s", fields[1], fields[4]);
    const size_t used = strlen(missing->names);
    snprintf(missing->names + used, sizeof missing->names - used, "%s%s", used ? ", " : "", name);
    add_word(missing->debian, sizeof missing->debian, fields[2]);
    add_word(missing->fedora, sizeof missing->fedora, fields[3]);
    missing->count++;
}

static void report_missing(const struct missing* missing)
{
    char text[16384];
    snprintf(text, sizeof text,
             "Vorlen Setup cannot start: this system lacks %s %s.\n"
             "Install %s with \"sudo apt install %s\" (Debian, Ubuntu) or \"sudo dnf install %s\" (Fedora), "
             "then start the setup again.",
             missing->count > 1 ? "the libraries" : "the library", missing->names, missing->count > 1 ? "them" : "it",
             missing->debian, missing->fedora);
    report_missing_libraries(text);
}

/* ---- libraries taken from either side --------------------------------------------- */

static int system_at_least_as_new(int system, const char* system_path, int bundled, const char* bundled_name)
{
    char* bundled_versions = elf_defined_versions(bundled);
    int newer;
    if (bundled_versions) {
        char* system_versions = elf_defined_versions(system);
        newer = system_versions && versions_cover(system_versions, bundled_versions);
        free(system_versions);
    } else {
        /* the soname is a link to the file named with the full version */
        char target[PATH_MAX];
        const ssize_t size = readlink(system_path, target, sizeof target - 1);
        target[size > 0 ? size : 0] = '\0';
        const char* slash = strrchr(target, '/');
        newer = compare_file_versions(size > 0 ? (slash ? slash + 1 : target) : system_path, bundled_name) >= 0;
    }
    free(bundled_versions);
    return newer;
}

/* Whether the bundle's copy of the library is to be taken. */
static int take_bundled(int bundle_dir, char* fields[FIELDS])
{
    char bundled_path[PATH_MAX], system_path[PATH_MAX];
    snprintf(bundled_path, sizeof bundled_path, "runtime/%s/%s", fields[2], fields[1]);
    const int bundled = openat(bundle_dir, bundled_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (bundled < 0)
        fail("the unpacked program lacks its \"%s\"", bundled_path);
    const int system = open_system_library(fields[1], system_path, sizeof system_path);
    const int take = system < 0 || !system_at_least_as_new(system, system_path, bundled, fields[3]);
    close(bundled);
    if (system >= 0)
        close(system);
    return take;
}

/* Puts `fd` at the descriptor number `at`, kept across exec or not. */
static void place(int fd, int at, int keep)
{
    if (fd < 0)
        fail("cannot open a library folder of the unpacked program: %s", strerror(errno));
    if (fd != at && dup3(fd, at, keep ? 0 : O_CLOEXEC) < 0)
        fail("cannot hand the program its libraries: %s", strerror(errno));
    if (fd != at)
        close(fd);
    else if (keep)
        fcntl(fd, F_SETFD, 0);
}

/* The link runtime/chosen/<soname> -> /proc/self/fd/<slot>/<soname>, through which the
 * program's search path finds the bundled copy while the slot is open; made again when
 * it is missing or points elsewhere. */
static void link_slot(int bundle_dir, int slot, const char* soname)
{
    char name[PATH_MAX], target[PATH_MAX], found[PATH_MAX];
    snprintf(name, sizeof name, "%s/%s", CHOSEN_FOLDER, soname);
    snprintf(target, sizeof target, "/proc/self/fd/%d/%s", slot, soname);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = readlinkat(bundle_dir, name, found, sizeof found - 1);
        if (size > 0 && (size_t)size == strlen(target) && memcmp(found, target, (size_t)size) == 0)
            return;
        if (size >= 0 || errno != ENOENT)
            unlinkat(bundle_dir, name, 0);
        /* a start beside this one may make the same link at the same moment */
        if ((mkdirat(bundle_dir, CHOSEN_FOLDER, 0700) == 0 || errno == EEXIST) && symlinkat(target, bundle_dir, name) == 0)
            return;
        if (errno != EEXIST)
            break;
    }
    fail("cannot link \"%s\" in the unpacked program: %s", name, strerror(errno));
}

static void open_slot(int bundle_dir, int slot, const char* folder, int take)
{
    if (!take) {
        close(slot);  /* whatever the launcher was given there */
        return;
    }
    char path[PATH_MAX];
    snprintf(path, sizeof path, "runtime/%s", folder);
    place(openat(bundle_dir, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW), slot, 1);
}

static void allow_descriptors(int highest)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur <= (rlim_t)highest) {
        limit.rlim_cur = (rlim_t)highest + 1;
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < limit.rlim_cur)
            fail("the system allows too few open files (%d are needed)", highest + 1);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            fail("cannot allow %d open files: %s", highest + 1, strerror(errno));
    }
}

void prepare_runtime(int bundle_dir)
{
    char* list = read_list(bundle_dir);
    struct missing missing = {{0}, {0}, {0}, 0};
    for (char *line = list, *fields[FIELDS]; *line;) {
        line = split_line(line, fields);
        if (strcmp(fields[0], "system") == 0)
            check_system_library(fields, &missing);
    }
    if (missing.count > 0)
        report_missing(&missing);
    free(list);

    list = read_list(bundle_dir);
    int slot = VRN_FIRST_SLOT_FD, slots = 0;
    for (const char* line = list; (line = strstr(line, "runtime\t")); line += 8)
        ++slots;
    allow_descriptors(VRN_FIRST_SLOT_FD + slots);
    for (char *line = list, *fields[FIELDS]; *line;) {
        line = split_line(line, fields);
        if (strcmp(fields[0], "runtime") != 0)
            continue;
        int take = take_bundled(bundle_dir, fields);
        if (strcmp(fields[2], "glibc") == 0) {
            const int system_loader = take ? -1 : open(SYSTEM_LOADER, O_RDONLY | O_CLOEXEC);
            take = take || system_loader < 0 || !elf_is_x86_64_object(system_loader);
            if (take && system_loader >= 0)
                close(system_loader);
            place(take ? openat(bundle_dir, BUNDLED_LOADER, O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : system_loader,
                  VRN_INTERPRETER_FD, 0);
        }
        if (strcmp(fields[2], "glibc") != 0)
            link_slot(bundle_dir, slot, fields[1]);
        open_slot(bundle_dir, slot++, fields[2], take);
    }
    free(list);
}
