// Starting and ending programs on Linux: the shell's "Open", a started program whose
// end is polled, and force-ending the user's running copies of a program.
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// What the shell's "Open" runs for `file`: the file itself when it is an executable
// file, otherwise xdg-open on it.
struct OpenCommand {
    QString program;
    QStringList arguments;
};

OpenCommand openCommand(const QString& file, const QStringList& arguments)
{
    const QFileInfo info(file);
    if (info.isFile() && info.isExecutable())
        return {info.absoluteFilePath(), arguments};
    return {QStringLiteral("xdg-open"), {file}};
}

// The base name of a process's executable: the file behind its exe link, or argv[0]'s
// base name when the link cannot be read.
QString processExeBaseName(const QString& procDir)
{
    QString exe = QFileInfo(procDir + QStringLiteral("/exe")).symLinkTarget();
    if (!exe.isEmpty()) {
        // the kernel marks a replaced or removed executable this way
        const QString deleted = QStringLiteral(" (deleted)");
        if (exe.endsWith(deleted))
            exe.chop(deleted.size());
        return QFileInfo(exe).fileName();
    }
    QFile cmdline(procDir + QStringLiteral("/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return {};
    const QByteArray argv0 = cmdline.readAll().split('\0').value(0);
    return QFileInfo(QFile::decodeName(argv0)).fileName();
}

bool ownedByUs(const QString& procDir)
{
    struct stat info {};
    return ::stat(QFile::encodeName(procDir).constData(), &info) == 0 && info.st_uid == ::getuid();
}

}  // namespace

void killUserProcesses(const QString& exeBaseName)
{
    if (exeBaseName.isEmpty())
        return;  // kernel threads and zombies have no name to match
    const pid_t self = ::getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric || pid == self)
            continue;
        const QString procDir = QStringLiteral("/proc/") + entry;
        if (ownedByUs(procDir) && processExeBaseName(procDir) == exeBaseName)
            ::kill(pid, SIGKILL);
    }
}

bool startDetached(const QString& file, const QStringList& arguments)
{
    const OpenCommand command = openCommand(file, arguments);
    return QProcess::startDetached(command.program, command.arguments);
}

struct StartedProgram::Private {
    QProcess process;
};

StartedProgram::StartedProgram() : d(std::make_unique<Private>()) {}

StartedProgram::~StartedProgram() = default;

bool StartedProgram::isRunning()
{
    // lets QProcess notice an end that the pump has not delivered yet
    d->process.waitForFinished(0);
    return d->process.state() != QProcess::NotRunning;
}

int StartedProgram::exitCode() const
{
    return d->process.exitStatus() == QProcess::NormalExit ? d->process.exitCode() : -1;
}

std::unique_ptr<StartedProgram> startProgram(const QString& file, const QStringList& arguments)
{
    const OpenCommand command = openCommand(file, arguments);
    std::unique_ptr<StartedProgram> program(new StartedProgram);
    program->d->process.setProcessChannelMode(QProcess::ForwardedChannels);
    program->d->process.start(command.program, command.arguments);
    if (!program->d->process.waitForStarted())
        return nullptr;
    return program;
}

}  // namespace platform
