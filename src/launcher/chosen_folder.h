/* The one folder in which the program finds every library it loads from the bundle:
 * chosen/<choice> in the unpacked bundle, with a hard link to each of the bundle's own
 * libraries (lib/) and to the bundled copy of each library taken from either side
 * (runtime/<folder>/). The program's search path is that folder alone, through the
 * descriptor the launcher opens on it, so the loader finds a bundled library at the
 * first place it looks and probes the subfolders of one folder only; what the system
 * gives is not in it and comes from the system's own places.
 *
 * The folder is named after the choice (a bit a library taken from either side, as hex
 * digits), so it never changes once made, and starts that choose otherwise (a home
 * shared by two systems) use folders of their own. It is made whole under a temporary
 * name and then renamed into place, and checked at every start: private, and each name
 * the very file of the checked bundle it links to. */
#ifndef VRN_CHOSEN_FOLDER_H
#define VRN_CHOSEN_FOLDER_H

#include "bundle_reader.h"

/* The checked folder for the choice `taken` ('0' or '1' for each of the `count` libraries
 * whose bundled copies lie in runtime/<folders[i]>/) in `chosen` (the bundle's folder
 * BUNDLE_CHOSEN_FOLDER), made first when it is missing or damaged. */
int open_chosen_folder(int bundle_dir, int chosen, const struct bundle* bundle, const char* taken,
                       char* const folders[], unsigned count);

#endif
