/* The launcher's last choice of libraries (runtime_choice), kept in the unpacked bundle
 * with what it was made from: LD_LIBRARY_PATH and the identity (device, inode, size,
 * modification and change times, or absence) of every system file the choice read or
 * looked for. A later start takes the kept choice when every one of those files is still
 * the same, which a few stats tell, instead of finding and reading the system's
 * libraries again; any change, a library installed, upgraded, removed or hidden, makes
 * the launcher choose anew. */
#ifndef VRN_CHOICE_MEMO_H
#define VRN_CHOICE_MEMO_H

/* While the launcher chooses: notes a file it read through `fd`, or, with fd < 0, one it
 * looked for at `path` (what lies there now, or its absence). */
void memo_note_file(const char* path, int fd);
/* notes a symbolic link whose target's name the choice read */
void memo_note_link(const char* path);

/* The kept choice ('0' or '1' for each library taken from either side, `count` of them,
 * in `taken`) when the memo in the folder `dir` was made from the system as it is. */
int memo_read(int dir, char* taken, unsigned count);

/* Keeps the choice made since the start with the files noted meanwhile. */
void memo_write(int dir, const char* taken);

#endif
