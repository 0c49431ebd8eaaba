#include "support/process_runner.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

QString builtProgram(const QString& name)
{
    return QStringLiteral(VRN_BIN_DIR "/") + name;
}

ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         const QMap<QString, QString>& environment, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    ProcessResult result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
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
