#pragma once
// An installation replaced as a whole: the new tree is built in a staging folder beside
// the install folder (same file system, a name no product folder uses) and exchanged
// with it in one step, so the install folder always holds one whole release. A removal
// renames the install folder aside before it deletes it. What a killed run leaves
// beside the install folder is removed by the next run.

#include <QString>
#include <QStringList>

// The list of what the setup placed in a tree, kept in the tree itself, so that an
// update can tell the user's own files from those of the release it replaces.
inline const QString InstalledFilesListName = QStringLiteral(".vrnsetup-files");

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

// Writes the list of `placed` paths (relative, "/"-separated; their parent folders are
// added) into `tree`. Throws EInOutError.
void WriteInstalledFilesList(const QString& tree, const QStringList& placed);

// Gives `newTree` every entry of `oldTree` that no release placed there (the user's own
// files and folders, plug-ins, settings) and that `newTree` does not have. Files are
// linked, not copied, so `oldTree` stays whole until it is replaced. A tree without a
// list (installed by an older setup) counts all of its entries as the user's.
// Throws EInOutError.
void CarryUserEntries(const QString& oldTree, const QString& newTree);
