#define _GNU_SOURCE
#include "runtime_choice.h"

#include "bundle_reader.h"
#include "cache_folder.h"
#include "choice_memo.h"
#include "chosen_folder.h"
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
#define PROGRAM "bin/vrnsetup"
/* the program that loads the whole of glibc at the start (see collect_portable_bundle.sh) */
#define PROGRAM_WITH_BUNDLED_GLIBC "bin/vrnsetup-glibc"

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
        memo_note_link(system_path);
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

/* ---- the list and the choice ------------------------------------------------------- */

struct libraries {
    char* text;
    char** fields;  /* FIELDS a line */
    unsigned lines;
    char** folders; /* of the runtime lines, in their order */
    unsigned runtime;
    int glibc;      /* the runtime line of glibc, or -1 */
};

static void read_libraries(int bundle_dir, struct libraries* libraries)
{
    libraries->text = read_list(bundle_dir);
    unsigned lines = 1;
    for (const char* at = libraries->text; (at = strchr(at, '\n')); ++at)
        ++lines;
    libraries->fields = allocate(sizeof(char*) * FIELDS * lines);
    libraries->folders = allocate(sizeof(char*) * lines);
    libraries->lines = libraries->runtime = 0;
    libraries->glibc = -1;
    for (char* line = libraries->text; *line; ++libraries->lines) {
        char** fields = libraries->fields + FIELDS * libraries->lines;
        line = split_line(line, fields);
        if (strcmp(fields[0], "runtime") != 0)
            continue;
        if (strcmp(fields[2], "glibc") == 0)
            libraries->glibc = (int)libraries->runtime;
        libraries->folders[libraries->runtime++] = fields[2];
    }
}

/* The choice as the system is now: '0' or '1' for each runtime line; a missing system
 * library ends the start. */
static void choose(int bundle_dir, const struct libraries* libraries, char* taken)
{
    struct missing missing = {{0}, {0}, {0}, 0};
    for (unsigned line = 0; line < libraries->lines; ++line)
        if (strcmp(libraries->fields[FIELDS * line], "system") == 0)
            check_system_library(libraries->fields + FIELDS * line, &missing);
    if (missing.count > 0)
        report_missing(&missing);
    unsigned runtime = 0;
    for (unsigned line = 0; line < libraries->lines; ++line) {
        char** fields = libraries->fields + FIELDS * line;
        if (strcmp(fields[0], "runtime") != 0)
            continue;
        int take = take_bundled(bundle_dir, fields);
        if ((int)runtime == libraries->glibc && !take) {
            const int loader = open_system_object(SYSTEM_LOADER);
            take = loader < 0;
            if (loader >= 0)
                close(loader);
        }
        taken[runtime++] = take ? '1' : '0';
    }
}

const char* prepare_runtime(int bundle_dir, const struct bundle* bundle)
{
    struct libraries libraries;
    read_libraries(bundle_dir, &libraries);
    if (mkdirat(bundle_dir, BUNDLE_CHOSEN_FOLDER, 0700) != 0 && errno != EEXIST)
        fail("cannot create the folder of the chosen libraries: %s", strerror(errno));
    const int chosen = openat(bundle_dir, BUNDLE_CHOSEN_FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (chosen < 0 || fstat(chosen, &info) != 0 || !private_folder(&info))
        fail("the folder of the chosen libraries in the cache is not the user's private folder");
    char* taken = allocate(libraries.runtime + 1);
    taken[libraries.runtime] = '\0';
    if (!memo_read(chosen, taken, libraries.runtime)) {
        choose(bundle_dir, &libraries, taken);
        memo_write(chosen, taken);
    }
    const int bundled_glibc = libraries.glibc >= 0 && taken[libraries.glibc] == '1';
    const int loader = bundled_glibc ? openat(bundle_dir, BUNDLED_LOADER, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)
                                     : open_system_object(SYSTEM_LOADER);
    if (loader < 0)
        fail("cannot open the loader for the program: %s", strerror(errno));
    allow_descriptors(VRN_LIBRARY_FD);
    place(loader, VRN_INTERPRETER_FD, 0);
    place(open_chosen_folder(bundle_dir, chosen, bundle, taken, libraries.folders, libraries.runtime), VRN_LIBRARY_FD, 1);
    close(chosen);
    free(taken);
    free(libraries.fields);
    free(libraries.folders);
    free(libraries.text);
    return bundled_glibc ? PROGRAM_WITH_BUNDLED_GLIBC : PROGRAM;
}
