/* The unpacked bundle in the user's cache: $XDG_CACHE_HOME/vorlen-setup/<key> (or
 * ~/.cache/...), named after the bundle's hash. The cache root is the user's own and
 * private; a start unpacks into a folder of its own and renames it into place only when
 * every file is written and flushed; starts that unpack at the same time take turns
 * through a lock file. Every step after the root was opened goes through folder handles,
 * so nothing swapped in under a name is ever used. */
#ifndef VRN_CACHE_FOLDER_H
#define VRN_CACHE_FOLDER_H

#include "bundle_reader.h"

/* The handle of the bundle's checked, unpacked folder: every folder of it the user's and
 * writable by nobody else, every file whole. Unpacks the bundle when it is missing,
 * damaged or cannot be trusted. */
int open_unpacked_bundle(const struct bundle* bundle);

#endif
