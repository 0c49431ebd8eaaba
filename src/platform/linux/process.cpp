// Process facts on Linux: arguments, executable, threads, application title.
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>

#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// The portable setup file's launcher starts this program from its unpacked bundle and
// hands the outer file on as an open descriptor: that file is "the running executable"
// (its resources, its copies, its name). Taken before main, while no thread or child
// exists yet, and neither the variable nor the descriptor passes on to a child.
int takeOuterFile()
{
    const char* text = std::getenv("VRN_PORTABLE_FD");
    if (!text)
        return -1;
    char* end = nullptr;
    const long fd = std::strtol(text, &end, 10);
    ::unsetenv("VRN_PORTABLE_FD");
    struct stat info {};
    if (end == text || *end != '\0' || fd < 0 || fd > 65535 || ::fstat(static_cast<int>(fd), &info) != 0
        || !S_ISREG(info.st_mode))
        return -1;
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
}

const int outerFile = takeOuterFile();

// The link naming the running executable's file, which still reaches it when it has been replaced.
QString selfLink()
{
    return outerFile >= 0 ? QStringLiteral("/proc/self/fd/%1").arg(outerFile) : QStringLiteral("/proc/self/exe");
}

}  // namespace

bool standardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

QStringList commandLineArguments()
{
    QFile file(QStringLiteral("/proc/self/cmdline"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> parts = file.readAll().split('\0');
    QStringList arguments;
    // the list ends with an empty piece after the last NUL; the first piece is the program
    for (qsizetype i = 1; i + 1 < parts.size(); ++i)
        arguments << QString::fromLocal8Bit(parts[i]);
    return arguments;
}

QStringList splitCommandLine(const QString& text)
{
    return QProcess::splitCommand(text);
}

QString executablePath()
{
    return QFileInfo(selfLink()).symLinkTarget();
}

QString readableProgramFile(const QString& path)
{
    // once the file is gone the kernel names it "<path> (deleted)"; a path taken before still means it
    const QString own = executablePath();
    const bool isOwn = path == own || own == path + QStringLiteral(" (deleted)");
    return isOwn ? selfLink() : path;
}

QString executableFileName()
{
    return QFileInfo(executablePath()).fileName();
}

void setCurrentThreadName(const QString& name)
{
    // the kernel keeps at most 15 bytes of a thread name
    pthread_setname_np(pthread_self(), name.toUtf8().left(15).constData());
}

quint64 currentThreadId()
{
    return static_cast<quint64>(::syscall(SYS_gettid));
}

namespace {
QMutex titleMutex;
QString title;
}  // namespace

void setApplicationTitle(const QString& newTitle)
{
    QMutexLocker lock(&titleMutex);
    title = newTitle;
}

QString applicationTitle()
{
    QMutexLocker lock(&titleMutex);
    return title;
}

}  // namespace platform
