/* The libraries the program gets from the system and those it may take from either side
 * (runtime.list in the bundle, written by cmake/collect_portable_bundle.sh):
 *  - each library the system must have is looked up as its loader would; when one is
 *    missing, or lacks a symbol version the bundle needs, the start ends naming it and
 *    its packages;
 *  - of glibc (its loader and libraries as one), libstdc++, libgcc_s and the libraries the
 *    system's own libraries use too, the newer copy is taken: the system's when it
 *    defines every version the bundle's defines (for a library without versions: when
 *    its file's version is at least the bundle's), else the bundle's.
 * The choice is kept with what it was made from (choice_memo.h), so a later start on an
 * unchanged system only checks that nothing changed. It is handed to the program through
 * descriptors its interpreter and search path name: the chosen loader, and the folder in
 * which it finds every library it loads from the bundle (chosen_folder.h). */
#ifndef VRN_RUNTIME_CHOICE_H
#define VRN_RUNTIME_CHOICE_H

#include "bundle_reader.h"

/* Chooses, opens the descriptors and returns the program to start (a path in the bundle):
 * with the bundle's glibc the program loads all of it at the start. */
const char* prepare_runtime(int bundle_dir, const struct bundle* bundle);

#endif
