/* What a shared library's file says of itself: whether the loader of an x86-64 program
 * can load it, and the symbol versions it defines (glibc's GLIBC_2.36, libstdc++'s
 * GLIBCXX_3.4.30, ...), by which the launcher tells the newer of two copies. */
#ifndef VRN_ELF_VERSIONS_H
#define VRN_ELF_VERSIONS_H

/* 1 when the open file is a 64-bit x86-64 ELF object the loader would accept. */
int elf_is_x86_64_object(int fd);

/* The names of the versions the file defines (not its own soname), each followed by a
 * '\n', in a string to free; NULL when it defines none or cannot be read. */
char* elf_defined_versions(int fd);

/* 1 when every name of `wanted` (separated by spaces or newlines) is among `defined`. */
int versions_cover(const char* defined, const char* wanted);

/* Compares the numbers after ".so." of two library file names ("libz.so.1.2.13"):
 * below, equal to or above 0 as a is older than, as new as or newer than b. */
int compare_file_versions(const char* a, const char* b);

#endif
