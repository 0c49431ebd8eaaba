// Process facts on Linux: arguments, executable, threads, application title.
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

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
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

QString readableProgramFile(const QString& path)
{
    // once the file is gone the kernel names it "<path> (deleted)"; a path taken before still means it
    const QString own = executablePath();
    const bool isOwn = path == own || own == path + QStringLiteral(" (deleted)");
    return isOwn ? QStringLiteral("/proc/self/exe") : path;
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
