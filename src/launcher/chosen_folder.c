#define _GNU_SOURCE
#include "chosen_folder.h"

#include "cache_folder.h"
#include "launcher_report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>

#define OWN_LIBRARIES "lib/"
#define RUNTIME_LIBRARIES "runtime/"

struct choice {
    const struct bundle* bundle;
    const char* taken;
    char* const* folders;
    unsigned count;
};

static const char* base_name(const char* path) { return strrchr(path, '/') + 1; }

/* Whether the entry's file belongs in the choice's folder: a file right in lib/, or in
 * the runtime/ folder of a library whose bundled copy is taken. */
static int linked(const struct choice* choice, const char* path)
{
    if (strncmp(path, OWN_LIBRARIES, strlen(OWN_LIBRARIES)) == 0)
        return strchr(path + strlen(OWN_LIBRARIES), '/') == NULL;
    if (strncmp(path, RUNTIME_LIBRARIES, strlen(RUNTIME_LIBRARIES)) != 0)
        return 0;
    const char* folder = path + strlen(RUNTIME_LIBRARIES);
    const char* slash = strchr(folder, '/');
    if (!slash || strchr(slash + 1, '/'))
        return 0;
    const size_t length = (size_t)(slash - folder);
    for (unsigned i = 0; i < choice->count; ++i)
        if (choice->taken[i] == '1' && strlen(choice->folders[i]) == length && strncmp(folder, choice->folders[i], length) == 0)
            return 1;
    return 0;
}

/* Whether the folder is private and each of its names the checked entry's very file. */
static int links_whole(const struct choice* choice, int folder)
{
    struct stat info;
    if (fstat(folder, &info) != 0 || !private_folder(&info))
        return 0;
    for (uint32_t i = 0; i < choice->bundle->count; ++i) {
        const struct entry* entry = &choice->bundle->entries[i];
        if (linked(choice, entry->path)
            && (fstatat(folder, base_name(entry->path), &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_ino != entry->inode
                || info.st_dev != entry->device))
            return 0;
    }
    return 1;
}

static int open_whole(const struct choice* choice, int chosen, const char* name)
{
    const int folder = openat(chosen, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder >= 0 && !links_whole(choice, folder)) {
        close(folder);
        return -1;
    }
    return folder;
}

static void make_links(const struct choice* choice, int bundle_dir, int chosen, const char* name)
{
    char fresh[NAME_SIZE];
    make_unique_folder(chosen, name, fresh);
    const int folder = openat(chosen, fresh, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        fail("cannot open the folder \"%s\" in the cache: %s", fresh, strerror(errno));
    for (uint32_t i = 0; i < choice->bundle->count; ++i) {
        const char* path = choice->bundle->entries[i].path;
        if (linked(choice, path) && linkat(bundle_dir, path, folder, base_name(path), 0) != 0)
            fail("cannot link \"%s\" into the folder of the chosen libraries: %s", path, strerror(errno));
    }
    if (fsync(folder) != 0)
        fail("cannot write the folder of the chosen libraries: %s", strerror(errno));
    close(folder);
    put_in_place(chosen, fresh, name);
}

/* hex digits, four libraries to a digit, the first library in the lowest bit */
static void choice_name(const struct choice* choice, char name[NAME_SIZE])
{
    const unsigned digits = (choice->count + 3) / 4;
    if (digits + 16 > NAME_SIZE)
        fail("the program takes too many libraries from either side");
    for (unsigned digit = 0; digit < digits; ++digit) {
        unsigned value = 0;
        for (unsigned bit = 0; bit < 4 && digit * 4 + bit < choice->count; ++bit)
            value |= (unsigned)(choice->taken[digit * 4 + bit] == '1') << bit;
        name[digit] = "0123456789abcdef"[value];
    }
    name[digits] = '\0';
}

int open_chosen_folder(int bundle_dir, int chosen, const struct bundle* bundle, const char* taken,
                       char* const folders[], unsigned count)
{
    const struct choice choice = {bundle, taken, folders, count};
    char name[NAME_SIZE];
    choice_name(&choice, name);
    int folder = open_whole(&choice, chosen, name);
    if (folder >= 0)
        return folder;
    /* starts that make it at the same time take turns */
    while (flock(chosen, LOCK_EX) != 0)
        if (errno != EINTR)
            fail("cannot lock the folder of the chosen libraries: %s", strerror(errno));
    folder = open_whole(&choice, chosen, name);
    if (folder < 0) {
        remove_leftovers(chosen, name);
        make_links(&choice, bundle_dir, chosen, name);
        folder = open_whole(&choice, chosen, name);
        if (folder < 0)
            fail("the folder of the chosen libraries in the cache is incomplete");
    }
    flock(chosen, LOCK_UN);
    return folder;
}
