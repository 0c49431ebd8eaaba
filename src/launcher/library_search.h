/* Finds a library of the system as the system's loader would: in the folders of
 * LD_LIBRARY_PATH, then through /etc/ld.so.cache, then in the usual library folders;
 * the first 64-bit x86-64 object of that name wins (an empty file or another class is
 * passed over, as the loader passes it over). */
#ifndef VRN_LIBRARY_SEARCH_H
#define VRN_LIBRARY_SEARCH_H

#include <stddef.h>

/* The open file at `path` when it is an object the loader accepts, else -1; the file is
 * noted for the kept choice either way (choice_memo.h). */
int open_system_object(const char* path);

/* The open library (its path in `path`), or -1 when the system has none. */
int open_system_library(const char* soname, char* path, size_t size);

#endif
