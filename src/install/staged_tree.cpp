#include "install/staged_tree.h"

#include "install/installed_files.h"

#include "app/setup_logging.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace {

QString siblingOf(const QString& installPath, const QString& suffix)
{
    const QFileInfo folder(platform::withoutTrailingSeparator(installPath));
    return platform::withTrailingSeparator(folder.path() + QLatin1Char(platform::PathSeparator) + QLatin1Char('.')
                                           + folder.fileName() + suffix);
}

QString parentOf(const QString& relative)
{
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : relative.left(slash);
}

bool isRealFolder(const QString& path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

// Takes the user's entries of the old tree into the new one by linking each file, so that
// the old tree stays whole until the swap. Every folder of the old tree is listed: one the
// setup cannot read could hold anything, so the update stops there, as it does for an
// entry it cannot take along, before anything of the installation changes. The folders it
// makes get the old ones' modes once they are filled; a folder of both trees keeps the
// narrower of its two modes, so an update never opens to others what the user had closed.
class UserEntryCarrier {
public:
    UserEntryCarrier(const QString& oldTree, const QString& newTree)
        : m_old(oldTree), m_new(newTree), m_placed(ReadInstalledPaths(oldTree))
    {
    }

    void carryTree()
    {
        keepNarrowerMode(QString());
        carryFolder(QString());
        // the deepest folder first: a parent may no longer admit the setup once it has its mode
        for (auto it = m_modes.crbegin(); it != m_modes.crend(); ++it) {
            if (!platform::setEntryMode(it->first, it->second))
                throw EInOutError(QStringLiteral("Cannot give the folder \"%1\" its mode.").arg(it->first));
        }
    }

private:
    bool placedByRelease(const QString& relative) const { return !m_placed || m_placed->count(relative); }

    void carryFolder(const QString& relative)
    {
        const QString folder = m_old + relative;
        const std::optional<std::vector<platform::FolderEntry>> entries = platform::folderEntries(folder);
        if (!entries)
            throw EUserEntryNotCarried(folder, QStringLiteral("The folder \"%1\" cannot be read, so what it holds "
                                                              "cannot be taken into the new installation.").arg(folder));
        const NewEntries inNew(m_new + relative);
        for (const platform::FolderEntry& entry : *entries)
            carryEntry(relative + entry.name, entry.folder, inNew.kindOf(entry.name));
    }

    // What the new tree holds in one folder, listed once; looked up name by name where the
    // folder has a mode that keeps the setup from listing it.
    class NewEntries {
    public:
        explicit NewEntries(const QString& folder)
            : m_folder(platform::withTrailingSeparator(folder)), m_listing(platform::folderEntries(folder))
        {
            if (!m_listing && !platform::entryExists(folder))
                m_listing.emplace();
        }

        // Whether the entry is a folder; nothing when it is not there.
        std::optional<bool> kindOf(const QString& name) const
        {
            if (!m_listing) {
                const QString path = m_folder + name;
                return platform::entryExists(path) ? std::optional(isRealFolder(path)) : std::nullopt;
            }
            // the listing is sorted by name
            const auto found = std::lower_bound(m_listing->begin(), m_listing->end(), name,
                                                [](const platform::FolderEntry& entry, const QString& wanted) {
                                                    return entry.name < wanted;
                                                });
            return found == m_listing->end() || found->name != name ? std::nullopt : std::optional(found->folder);
        }

    private:
        QString m_folder;
        std::optional<std::vector<platform::FolderEntry>> m_listing;
    };

    // `isFolder`: the old tree's entry is a folder; `newFolder`: the new tree has the entry,
    // a folder or not.
    void carryEntry(const QString& relative, bool isFolder, std::optional<bool> newFolder)
    {
        if (relative == InstalledFilesListName)
            return;
        if (newFolder) {
            // the new release's own entry wins; a folder of both may hold the user's files
            if (isFolder && *newFolder) {
                keepNarrowerMode(relative);
                carryFolder(relative + QLatin1Char('/'));
            } else if (isFolder && !placedByRelease(relative)) {
                throw EUserEntryNotCarried(m_old + relative,
                                           QStringLiteral("The new release puts a file in place of the folder \"%1\".")
                                               .arg(m_old + relative));
            }
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
        makeFolder(parentOf(relative));
        if (!platform::duplicateEntry(m_old + relative, m_new + relative))
            throw EUserEntryNotCarried(m_old + relative, QStringLiteral("Cannot carry \"%1\" into the new installation.")
                                                             .arg(m_old + relative));
    }

    // Makes the folder (and the missing ones above it) open to the setup alone until it
    // gets its old counterpart's mode; a folder made by an earlier pass, which has its
    // mode already, is opened for the setup again and then gets that mode back.
    void makeFolder(const QString& relative)
    {
        const QString folder = m_new + relative;
        if (relative.isEmpty() || m_made.count(folder))
            return;
        makeFolder(parentOf(relative));
        m_made.insert(folder);
        if (const std::optional<unsigned> mode = platform::entryMode(folder)) {
            if ((*mode & 0700) == 0700)
                return;
            if (!platform::setEntryMode(folder, *mode | 0700))
                throw EInOutError(QStringLiteral("Cannot open the folder \"%1\".").arg(folder));
            m_modes.emplace_back(folder, *mode);
            return;
        }
        if (!QDir().mkdir(folder, QFile::Permissions(0x7000)) || !platform::setEntryMode(folder, 0700))
            throw EInOutError(QStringLiteral("Cannot create the folder \"%1\".").arg(folder));
        m_modes.emplace_back(folder, platform::entryMode(m_old + relative).value_or(0700));
    }

    void keepNarrowerMode(const QString& relative)
    {
        const std::optional<unsigned> oldMode = platform::entryMode(m_old + relative);
        const std::optional<unsigned> newMode = platform::entryMode(m_new + relative);
        if (oldMode && newMode && (*newMode & ~*oldMode & 0777))
            m_modes.emplace_back(m_new + relative, (*newMode & *oldMode) | 0700);
    }

    QString m_old;
    QString m_new;
    std::optional<std::set<QString>> m_placed;
    std::set<QString> m_made;
    // the folders' modes, given when every entry is in place
    std::vector<std::pair<QString, unsigned>> m_modes;
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

void CarryUserEntries(const QString& oldTree, const QString& newTree)
{
    if (QFileInfo(platform::withoutTrailingSeparator(oldTree)).isDir())
        UserEntryCarrier(oldTree, newTree).carryTree();
}
