#pragma once
// A machine of its own for a whole program run: a fresh home with its own XDG and
// temporary folders, and no display of any kind.

#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>

// The run's log, below the machine's root.
inline const QString kInstallLog = QStringLiteral("/tmp/Vorlen_Setup_Install.log");

struct Machine {
    QString root;
    explicit Machine(const QString& name) : root(sandbox::freshFolder(name))
    {
        for (const char* folder : {"/home/Desktop", "/config", "/data", "/tmp"})
            QDir().mkpath(root + QLatin1String(folder));
        QFile::setPermissions(root + QStringLiteral("/tmp"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile dirs(root + QStringLiteral("/config/user-dirs.dirs"));
        if (dirs.open(QIODevice::WriteOnly))
            dirs.write("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n");
    }
    QMap<QString, QString> environment(const QString& base) const
    {
        return {{QStringLiteral("HOME"), root + QStringLiteral("/home")},
                {QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config")},
                {QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data")},
                {QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/home/.cache")},
                {QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/tmp")},
                {QStringLiteral("TMPDIR"), root + QStringLiteral("/tmp")},
                {QStringLiteral("LANG"), QStringLiteral("en_GB.UTF-8")},
                {QStringLiteral("VRN_RELEASE_BASE_URL"), base},
                {QStringLiteral("VRN_BETA_BASE_URL"), base},
                {QStringLiteral("VRN_COUNTER_RELEASE_URL"), base + QStringLiteral("count")},
                {QStringLiteral("VRN_COUNTER_BETA_URL"), base + QStringLiteral("count")},
                {QStringLiteral("QT_QPA_PLATFORM"), QString()},
                {QStringLiteral("DISPLAY"), QString()},
                {QStringLiteral("WAYLAND_DISPLAY"), QString()}};
    }
    ProcessResult run(const QString& base, const QStringList& arguments, const QString& program = builtProgram()) const
    {
        return runProcess(program, arguments, environment(base), 120000);
    }
    // A run killed at the `moment`-th crash point it passes; one that passes fewer only
    // names them on standard error ("crash point N: ...").
    ProcessResult runKilledAt(const QString& base, long moment, const QStringList& arguments,
                              const QString& program = builtProgram()) const
    {
        auto variables = environment(base);
        variables[QStringLiteral("VRN_TEST_CRASH_AT")] = QString::number(moment);
        return runProcess(program, arguments, variables, 120000);
    }
    QString installFolder(bool beta) const
    {
        return root + (beta ? QStringLiteral("/data/Ostrelle/Apps/Vorlen-beta/") : QStringLiteral("/data/Ostrelle/Apps/Vorlen/"));
    }
    // Every file and link below the machine's home, config and data folders, relative, sorted.
    QStringList tree() const
    {
        QStringList files;
        for (const char* folder : {"/home", "/config", "/data"}) {
            QDirIterator it(root + QLatin1String(folder), QDir::Files | QDir::Hidden | QDir::System,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                files << it.next().mid(root.size() + 1);
        }
        files.removeAll(QStringLiteral("config/user-dirs.dirs"));
        files.removeAll(QStringLiteral("home/ran"));  // the demo application's mark that it was started
        files.sort();
        return files;
    }
    QString log() const { return QString::fromUtf8(readFile(root + kInstallLog)); }
    bool workFolderLeft() const { return QDir(root + QStringLiteral("/tmp/Vorlen Setup")).exists(); }
};
