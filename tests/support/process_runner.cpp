#include "support/process_runner.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <signal.h>

QString builtProgram(const QString& name)
{
    return QStringLiteral(VRN_BIN_DIR "/") + name;
}

namespace {

void startProcess(QProcess& process, const QString& program, const QStringList& arguments,
                  const QMap<QString, QString>& environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it) {
        if (it.value().isNull())
            env.remove(it.key());
        else
            env.insert(it.key(), it.value());
    }
    process.setProcessEnvironment(env);
    process.start(program, arguments);
}

ProcessResult collect(QProcess& process, bool finished)
{
    ProcessResult result;
    result.finished = finished;
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

}  // namespace

ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         const QMap<QString, QString>& environment, int timeoutMs)
{
    QProcess process;
    startProcess(process, program, arguments, environment);
    return collect(process, process.waitForFinished(timeoutMs));
}

ProcessResult runProcessUntil(const QString& program, const QStringList& arguments,
                              const QMap<QString, QString>& environment, const QString& watchedFile,
                              const QByteArray& needle, int timeoutMs)
{
    return runProcessUntil(program, arguments, environment, [&] { return readFile(watchedFile).contains(needle); },
                           timeoutMs);
}

ProcessResult runProcessUntil(const QString& program, const QStringList& arguments,
                              const QMap<QString, QString>& environment, const std::function<bool()>& reached,
                              int timeoutMs)
{
    QProcess process;
    startProcess(process, program, arguments, environment);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs && process.state() != QProcess::NotRunning) {
        if (reached()) {
            process.terminate();
            break;
        }
        process.waitForFinished(20);
    }
    const int left = static_cast<int>(std::max<qint64>(1000, timeoutMs - clock.elapsed()));
    return collect(process, process.state() == QProcess::NotRunning || process.waitForFinished(left));
}

QString copyOfProgram(const QString& folder, const QString& fileName)
{
    const QString target = folder + QLatin1Char('/') + fileName;
    QFile::remove(target);
    QFile::copy(builtProgram(), target);
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return target;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace {

// The processes whose executable file is `exePath`, by pid.
QList<qint64> processesRunning(const QString& exePath)
{
    QList<qint64> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == exePath)
            pids << pid;
    }
    return pids;
}

}  // namespace

QList<QStringList> argumentsOfProgramsRunning(const QString& exePath)
{
    QList<QStringList> result;
    for (qint64 pid : processesRunning(exePath)) {
        QList<QByteArray> pieces = readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
        QStringList arguments;
        // the first piece is the program, the last the empty one after the final NUL
        for (qsizetype i = 1; i + 1 < pieces.size(); ++i)
            arguments << QString::fromLocal8Bit(pieces[i]);
        result << arguments;
    }
    return result;
}

bool endProgramsRunning(const QString& exePath, int timeoutMs)
{
    for (qint64 pid : processesRunning(exePath))
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    return waitUntil([&] { return processesRunning(exePath).isEmpty(); }, timeoutMs);
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}
