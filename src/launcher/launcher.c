/* The portable setup's launcher: the outer file's program. It unpacks the bundle that
 * follows it in its own file (the real program, its libraries and Qt plug-ins) once
 * into the user's cache (cache_folder), checks the unpacked files on every start,
 * checks that the system has the libraries the program takes from it and chooses the
 * newer of the system's and the bundle's glibc, libstdc++ and shared libraries
 * (runtime_choice; a later start on an unchanged system takes the kept choice), opens
 * the one folder in which the program finds its libraries (chosen_folder), then starts
 * the real program from the folder handle it checked.
 *
 * The real program needs the outer file: its resources live there and every copy of
 * "the running executable" (uninstaller, package) is a copy of it. The launcher keeps
 * the outer file open and hands the descriptor on in VRN_PORTABLE_FD, so that the
 * program reads the file it was started from even when that file is replaced later.
 *
 * The launcher is linked statically (glibc without anything that needs its name
 * services, and libzstd), so it starts on every x86-64 Linux whatever libraries it has. */
#define _GNU_SOURCE
#include "bundle_reader.h"
#include "cache_folder.h"
#include "launcher_report.h"
#include "runtime_choice.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>

extern char** environ;

/* The program's switches start with "-" or "/" and ignore case. */
static int unattended_run(char** argv)
{
    for (char** argument = argv + 1; *argument; ++argument)
        if (((*argument)[0] == '-' || (*argument)[0] == '/') && strcasecmp(*argument + 1, "silent") == 0)
            return 1;
    return 0;
}

int main(int argc, char** argv)
{
    (void)argc;
    report_set_unattended(unattended_run(argv));
    /* left open across exec: the program reads its resources through it */
    const int self = open("/proc/self/exe", O_RDONLY);
    if (self < 0)
        fail("cannot open the running program's file: %s", strerror(errno));
    struct bundle bundle;
    read_bundle(self, &bundle);
    const int bundle_dir = open_unpacked_bundle(&bundle);
    const char* program_in_bundle = prepare_runtime(bundle_dir, &bundle);

    /* the program's plug-ins and translations are read through this handle */
    if (dup3(bundle_dir, VRN_BUNDLE_FD, 0) < 0)
        fail("cannot hand the program its folder: %s", strerror(errno));
    const int program = openat(bundle_dir, program_in_bundle, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (program < 0 || fstat(program, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid())
        fail("cannot open the unpacked program: %s", strerror(errno));
    char descriptor[16];
    snprintf(descriptor, sizeof descriptor, "%d", self);
    if (setenv("VRN_PORTABLE_FD", descriptor, 1) != 0)
        fail("cannot set the environment: %s", strerror(errno));
    /* a test stops here to change the cache's names before the program starts */
    if (getenv("VRN_TEST_LAUNCHER_STOP"))
        raise(SIGSTOP);
    fexecve(program, argv, environ);
    fail("cannot start the unpacked program: %s", strerror(errno));
}
