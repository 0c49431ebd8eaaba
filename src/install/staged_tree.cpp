#include "install/staged_tree.h"

#include "app/setup_logging.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <set>

namespace {

QString siblingOf(const QString& installPath, const QString& suffix)
{
    const QFileInfo folder(platform::withoutTrailingSeparator(installPath));
    return platform::withTrailingSeparator(folder.path() + QLatin1Char(platform::PathSeparator) + QLatin1Char('.')
                                           + folder.fileName() + suffix);
}

// The paths a release placed in `tree`; nothing when the tree has no list.
std::optional<std::set<QString>> readInstalledFilesList(const QString& tree)
{
    QFile file(tree + InstalledFilesListName);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    std::set<QString> placed;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            placed.insert(QString::fromUtf8(line));
    }
    return placed;
}

class UserEntryCarrier {
public:
    UserEntryCarrier(const QString& oldTree, const QString& newTree)
        : m_old(oldTree), m_new(newTree), m_placed(readInstalledFilesList(oldTree))
    {
    }

    void carryFolder(const QString& relative)
    {
        const QDir folder(m_old + relative);
        const QStringList names =
            folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
        for (const QString& name : names)
            carryEntry(relative + name);
    }

private:
    bool placedByRelease(const QString& relative) const { return !m_placed || m_placed->count(relative); }

    void carryEntry(const QString& relative)
    {
        if (relative == InstalledFilesListName)
            return;
        const QFileInfo old(m_old + relative);
        const bool isFolder = old.isDir() && !old.isSymLink();
        const QFileInfo replacement(m_new + relative);
        if (platform::entryExists(m_new + relative)) {
            // the new release's own entry wins; a folder of both may hold the user's files
            if (isFolder && replacement.isDir() && !replacement.isSymLink())
                carryFolder(relative + QLatin1Char('/'));
            return;
        }
        if (isFolder) {
            if (!placedByRelease(relative))
                makeFolder(relative);  // the user's folder comes along even when it is empty
            carryFolder(relative + QLatin1Char('/'));
            return;
        }
        if (m_placed && m_placed->count(relative))
            return;  // the replaced release's file that the new one no longer has
        makeFolder(QFileInfo(relative).path());
        if (!platform::duplicateEntry(m_old + relative, m_new + relative))
            throw EInOutError(QStringLiteral("Cannot carry \"%1\" into the new installation.").arg(m_old + relative));
    }

    void makeFolder(const QString& relative)
    {
        if (relative == QLatin1String(".") || QFileInfo(m_new + relative).isDir())
            return;
        if (!QDir().mkpath(m_new + relative))
            throw EInOutError(QStringLiteral("Cannot create the folder \"%1\".").arg(m_new + relative));
    }

    QString m_old;
    QString m_new;
    std::optional<std::set<QString>> m_placed;
};

}  // namespace

QString StagingFolderOf(const QString& installPath)
{
    return siblingOf(installPath, QStringLiteral(".staging"));
}

QString RemovalFolderOf(const QString& installPath)
{
    return siblingOf(installPath, QStringLiteral(".removing"));
}

QString UnpackingFolderOf(const QString& installPath)
{
    return siblingOf(installPath, QStringLiteral(".unpacking"));
}

void RemoveInterruptedWork(const QString& installPath, const QString& logPrefix, const QString& inUse)
{
    for (const QString& folder :
         {StagingFolderOf(installPath), RemovalFolderOf(installPath), UnpackingFolderOf(installPath)}) {
        if (folder == inUse || !platform::entryExists(folder))
            continue;
        Logger().Info(logPrefix + QStringLiteral("Remove the remains of an interrupted run: ") + folder);
        platform::deleteTree(folder);
    }
}

void WriteInstalledFilesList(const QString& tree, const QStringList& placed)
{
    std::set<QString> paths;
    for (const QString& path : placed) {
        for (qsizetype slash = path.indexOf(QLatin1Char('/')); slash > 0; slash = path.indexOf(QLatin1Char('/'), slash + 1))
            paths.insert(path.left(slash));
        paths.insert(path);
    }
    QByteArray text;
    for (const QString& path : paths)
        text += path.toUtf8() + '\n';
    QSaveFile file(tree + InstalledFilesListName);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw fileWriteError(tree + InstalledFilesListName, file.errorString());
}

void CarryUserEntries(const QString& oldTree, const QString& newTree)
{
    if (QFileInfo(platform::withoutTrailingSeparator(oldTree)).isDir())
        UserEntryCarrier(oldTree, newTree).carryFolder(QString());
}
