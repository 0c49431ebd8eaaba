/* The unpacked bundle in the user's cache: $XDG_CACHE_HOME/vorlen-setup/<key> (or
 * ~/.cache/...), named after the bundle's hash. The cache root is the user's own and
 * private; a start unpacks into a folder of its own and renames it into place only when
 * every file is written and flushed; starts that unpack at the same time take turns
 * through a lock file. Every step after the root was opened goes through folder handles,
 * so nothing swapped in under a name is ever used. */
#ifndef VRN_CACHE_FOLDER_H
#define VRN_CACHE_FOLDER_H

#include "bundle_reader.h"

#include <sys/stat.h>

/* the folder of the unpacked bundle that holds the folders of chosen libraries
 * (chosen_folder.h) and the memo of the last choice (choice_memo.h) */
#define BUNDLE_CHOSEN_FOLDER "chosen"

/* The handle of the bundle's checked, unpacked folder: every folder of it the user's and
 * writable by nobody else, every file whole. Unpacks the bundle when it is missing,
 * damaged or cannot be trusted. */
int open_unpacked_bundle(struct bundle* bundle);

/* Whether the status is that of a folder of the user's that nobody else may write. */
int private_folder(const struct stat* info);

/* Deletes an entry of `dir` with everything in it, never following a link and never
 * descending into a folder that is not the user's. */
void remove_tree_at(int dir, const char* name);

#define NAME_SIZE (BUNDLE_KEY_LENGTH + 32)

/* A new folder "<key>.tmp-<random>" in `root`, private to the user; its name in `name`. */
void make_unique_folder(int root, const char* key, char name[NAME_SIZE]);

/* Puts the whole new folder `fresh` of `root` in the place of `key` (a damaged one or
 * none) in one step where the file system can, else moves the damaged one aside first;
 * what is replaced is deleted. */
void put_in_place(int root, const char* fresh, const char* key);

/* Folders "<key>.<anything>" left by starts that were killed while making `key`; only
 * called under a lock that keeps every live start from writing them. */
void remove_leftovers(int root, const char* key);

#endif
