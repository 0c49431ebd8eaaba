#pragma once
// An installation replaced as a whole: the new tree is built in a staging folder beside
// the install folder (same file system, a name no product folder uses) and exchanged
// with it in one step, so the install folder always holds one whole release. A removal
// renames the install folder aside before it deletes it. What a killed run leaves
// beside the install folder is removed by the next run.

#include "install/installed_files.h"
#include "platform/platform_errors.h"

#include <QString>
#include <QStringList>

#include <utility>

// "<parent>/.<name>.staging/" and "<parent>/.<name>.removing/" for "<parent>/<name>/".
QString StagingFolderOf(const QString& installPath);
QString RemovalFolderOf(const QString& installPath);
// "<parent>/.<name>.unpacking/": the archive unpacked while it downloads, until the
// install job takes it as its staging folder.
QString UnpackingFolderOf(const QString& installPath);

// Deletes a staging, removal or unpacking folder of `installPath` left by a killed run
// (but not `inUse`, this run's own), logging
// "<logPrefix>Remove the remains of an interrupted run: <folder>" for each.
void RemoveInterruptedWork(const QString& installPath, const QString& logPrefix, const QString& inUse = QString());

// An entry of the old tree that an update cannot take into the new one (a folder the
// setup cannot read, a folder of the user's where the new release puts a file, a file it
// cannot link or copy): the update stops before the installation changes, since the old
// tree is deleted after the swap.
class EUserEntryNotCarried : public EInOutError {
public:
    EUserEntryNotCarried(QString entry, const QString& message) : EInOutError(message), m_entry(std::move(entry)) {}
    QString className() const override { return QStringLiteral("EUserEntryNotCarried"); }
    QString entry() const { return m_entry; }

private:
    QString m_entry;
};

// Gives `newTree` every entry of `oldTree` that no release placed there (the user's own
// files and folders, plug-ins, settings) and that `newTree` does not have. Files are
// linked, not copied, so `oldTree` stays whole until it is replaced; they and the folders
// carried keep their modes, and a folder of both trees keeps the narrower of its two
// modes. A tree without a list (installed by an older setup) counts all of its files as
// the user's. Throws EUserEntryNotCarried, or EInOutError.
void CarryUserEntries(const QString& oldTree, const QString& newTree);
