#pragma once
// Runs a program of the build (vrnsetup, a copy of it, a tool) as a process.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

struct ProcessResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

// The built program's path.
QString builtProgram(const QString& name = QStringLiteral("vrnsetup"));

// Starts `program` with the test's environment plus `environment` (a null value removes
// the variable) and waits at most `timeoutMs`.
ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         const QMap<QString, QString>& environment = {}, int timeoutMs = 60000);

// Starts `program` like runProcess; once the file `watchedFile` contains `needle`, asks
// the program to end (SIGTERM, as a session that closes does) and waits for its end.
// A program that never writes the needle is killed at the timeout (finished is false).
ProcessResult runProcessUntil(const QString& program, const QStringList& arguments,
                              const QMap<QString, QString>& environment, const QString& watchedFile,
                              const QByteArray& needle, int timeoutMs = 60000);
// The same, asking the program to end once `reached` holds.
ProcessResult runProcessUntil(const QString& program, const QStringList& arguments,
                              const QMap<QString, QString>& environment, const std::function<bool()>& reached,
                              int timeoutMs = 60000);

// Copies the built program to `folder` under `fileName`; returns the copy's path.
QString copyOfProgram(const QString& folder, const QString& fileName);

// A file's whole content.
QByteArray readFile(const QString& path);

// Programs a test started indirectly (an uninstaller copy started by the program), found
// by the exact path of their executable file, so that no other test's process is touched.
// The arguments of each process running `exePath`, without the program name.
QList<QStringList> argumentsOfProgramsRunning(const QString& exePath);
// Ends (SIGKILL) the processes running `exePath` and waits at most `timeoutMs` for them to go.
// True when none is left.
bool endProgramsRunning(const QString& exePath, int timeoutMs = 10000);
// Waits at most `timeoutMs` for `condition`, polling; returns its last answer.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);
