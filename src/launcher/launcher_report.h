/* How the launcher tells the user that it cannot start the program: on standard error,
 * in its log in the user's private temporary folder and, for a library the system
 * lacks, in a message box of the desktop where one of zenity, kdialog or notify-send is
 * installed. */
#ifndef VRN_LAUNCHER_REPORT_H
#define VRN_LAUNCHER_REPORT_H

/* exit codes of the launcher (the program's own are 0 to 5) */
#define LAUNCHER_FAILED 1
#define LAUNCHER_LIBRARY_MISSING 6

/* Unattended runs (-silent) get no message box. */
void report_set_unattended(int unattended);

/* Called before a failure exits: removes what the start had half made. */
void report_on_failure(void (*cleanup)(void));

/* Prints and logs "vrnsetup: <text>" and exits with LAUNCHER_FAILED. */
void fail(const char* format, ...) __attribute__((noreturn, format(printf, 1, 2)));

/* Prints and logs the text, shows it on the desktop and exits with LAUNCHER_LIBRARY_MISSING. */
void report_missing_libraries(const char* text) __attribute__((noreturn));

#endif
