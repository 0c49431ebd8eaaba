#define _GNU_SOURCE
#include "launcher_report.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define TITLE "Vorlen Setup"
#define LOG_NAME "Vorlen_Setup_Launcher.log"

static int unattended;
static void (*failure_cleanup)(void);

void report_set_unattended(int value) { unattended = value; }

void report_on_failure(void (*cleanup)(void)) { failure_cleanup = cleanup; }

/* The user's private temporary folder, chosen as the program chooses it: the first of
 * $TMPDIR, $XDG_RUNTIME_DIR and /tmp, or its subfolder vorlen-<uid> (mode 0700) when
 * other users may write to it. 0 when there is none to trust. */
static int private_temp_folder(char* folder, size_t size)
{
    const char* base = getenv("TMPDIR");
    if (!base || !*base)
        base = getenv("XDG_RUNTIME_DIR");
    if (!base || !*base)
        base = "/tmp";
    struct stat info;
    if (stat(base, &info) != 0 || !S_ISDIR(info.st_mode))
        return 0;
    if ((info.st_mode & 022) == 0) {
        snprintf(folder, size, "%s", base);
        return info.st_uid == getuid();
    }
    snprintf(folder, size, "%s/vorlen-%u", base, (unsigned)getuid());
    mkdir(folder, 0700);
    return lstat(folder, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & 022) == 0;
}

static void log_line(const char* text)
{
    char path[4096];
    if (!private_temp_folder(path, sizeof path - sizeof LOG_NAME - 1))
        return;
    strcat(path, "/" LOG_NAME);
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char stamp[32] = "";
    const time_t now = time(NULL);
    struct tm local;
    if (localtime_r(&now, &local))
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    dprintf(fd, "%s vrnsetup[%d]: %s\n", stamp, (int)getpid(), text);
    close(fd);
}

/* Runs a desktop's message tool; 0 when it cannot be started. */
static int run_tool(char* const command[])
{
    const pid_t child = fork();
    if (child < 0)
        return 0;
    if (child == 0) {
        /* a toolkit's warnings are no message for the user */
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(command[0], command);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        ;
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

static void show_on_desktop(const char* text)
{
    const char* display = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    if (unattended || !((display && *display) || (wayland && *wayland)))
        return;
    char* body = (char*)text;
    char* zenity[] = {"zenity", "--error", "--no-markup", "--title", TITLE, "--text", body, NULL};
    char* kdialog[] = {"kdialog", "--title", TITLE, "--error", body, NULL};
    char* notify[] = {"notify-send", "--urgency=critical", "--app-name", TITLE, TITLE " cannot start", body, NULL};
    if (!run_tool(zenity) && !run_tool(kdialog))
        run_tool(notify);
}

static void report(const char* text)
{
    fprintf(stderr, "vrnsetup: %s\n", text);
    log_line(text);
}

void fail(const char* format, ...)
{
    char text[8192];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (failure_cleanup)
        failure_cleanup();
    report(text);
    exit(LAUNCHER_FAILED);
}

void report_missing_libraries(const char* text)
{
    report(text);
    show_on_desktop(text);
    exit(LAUNCHER_LIBRARY_MISSING);
}
