// Starting and ending programs on Linux: the shell's "Open", a started program whose
// end is polled, and force-ending the user's running copies of a program.
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QProcess>

#include <chrono>
#include <thread>
#include <vector>

#include <poll.h>

#include <cerrno>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

namespace {

// A process the caller may end: a handle that stays with it even when its id is reused.
class EndedProcesses {
public:
    ~EndedProcesses()
    {
        for (const pollfd& handle : m_handles)
            ::close(handle.fd);
    }

    void end(pid_t pid, const QString& procDir, const QString& exeBaseName)
    {
        const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (handle < 0) {
            // a kernel without process handles: ended by id, and waited for blindly
            if (errno != ESRCH && matches(procDir, exeBaseName) && ::kill(pid, SIGKILL) == 0)
                m_unobservable = true;
            return;
        }
        // looked at again through the handle, so that a reused id is never hit
        if (matches(procDir, exeBaseName)
            && ::syscall(SYS_pidfd_send_signal, handle, SIGKILL, nullptr, 0) == 0) {
            m_handles.push_back({handle, POLLIN, 0});
            return;
        }
        ::close(handle);
    }

    // A handle becomes readable once its process has ended.
    void waitForTheirEnd(int maxWaitMs)
    {
        if (m_unobservable) {
            std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs));
            return;
        }
        QElapsedTimer clock;
        clock.start();
        while (!m_handles.empty() && clock.elapsed() < maxWaitMs) {
            const int ready = ::poll(m_handles.data(), m_handles.size(), static_cast<int>(maxWaitMs - clock.elapsed()));
            if (ready < 0 && errno != EINTR)
                return;
            std::erase_if(m_handles, [](const pollfd& handle) {
                if (handle.revents == 0)
                    return false;
                ::close(handle.fd);
                return true;
            });
        }
    }

private:
    static bool matches(const QString& procDir, const QString& exeBaseName)
    {
        return ownedByUs(procDir) && processExeBaseName(procDir) == exeBaseName;
    }

    std::vector<pollfd> m_handles;
    bool m_unobservable = false;
};

}  // namespace

void killUserProcesses(const QString& exeBaseName, int maxWaitMs)
{
    if (exeBaseName.isEmpty())
        return;  // kernel threads and zombies have no name to match
    const pid_t self = ::getpid();
    EndedProcesses ended;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric || pid == self)
            continue;
        const QString procDir = QStringLiteral("/proc/") + entry;
        if (ownedByUs(procDir) && processExeBaseName(procDir) == exeBaseName)
            ended.end(pid, procDir, exeBaseName);
    }
    ended.waitForTheirEnd(maxWaitMs);
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
