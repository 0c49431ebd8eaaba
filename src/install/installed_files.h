#pragma once
// The list of what the setup placed in an installation, kept in the tree itself
// (".vrnsetup-files"): the paths of the release's files and folders, one a line, so that
// an update tells the user's own files from the release's, and for each file the SHA-256
// of its bytes with the stamp (size, times, inode) the file had when it was written down,
// so that an update that fetches only what changed need not read a file again whose
// stamp has not moved. A record never outweighs a file that changed: its digest is taken
// anew. Record lines begin with a tab, which no path of a release does; older setups take
// them for paths that are not there.

#include "platform/platform.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <set>

inline const QString InstalledFilesListName = QStringLiteral(".vrnsetup-files");

struct InstalledFileRecord {
    QByteArray sha256;  // 32 raw bytes
    platform::FileStamp stamp;
};

struct InstalledFiles {
    std::set<QString> placed;  // files and folders, relative, "/"-separated
    std::map<QString, InstalledFileRecord> records;
};

// The list of `tree` (a folder path ending in "/"); nothing when the tree has none.
std::optional<InstalledFiles> ReadInstalledFiles(const QString& tree);
// Only the paths of that list, without reading the records.
std::optional<std::set<QString>> ReadInstalledPaths(const QString& tree);

// Writes the list of `placed` paths (relative, "/"-separated; their parent folders are
// added) into `tree`, with a record of each file whose digest `digests` gives (32 raw
// bytes by path) and its stamp now. Replaced in one step. Throws EInOutError.
void WriteInstalledFilesList(const QString& tree, const QStringList& placed, const std::map<QString, QByteArray>& digests = {});

// Writes the records of `tree` again with the stamps its files have now, for the files
// whose size, modification time and inode are those recorded: linking and unlinking a
// file (the old tree deleted after an update) moves only its change time. Errors are
// ignored: a stale record only makes the next update read the file.
void RefreshInstalledRecords(const QString& tree);

// The SHA-256 (32 raw bytes) of the regular file `relative` of `tree` when it is `size`
// bytes long: its record's while the file's stamp is the recorded one, else read now;
// nothing for a missing file, another kind of entry or another size.
// `stamp`, when given, receives the file's stamp.
std::optional<QByteArray> InstalledFileDigest(const QString& tree, const QString& relative, qint64 size,
                                              const InstalledFiles& files, platform::FileStamp* stamp = nullptr);
