#pragma once
// Where and how an archive entry lands on disk, shared by the extraction of a finished
// archive and the one that follows a download: the path below the target folder that no
// entry can escape, and the file written whole with its mode.

#include "archive/zip_archive.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <sys/types.h>
#include <vector>

[[noreturn]] void RefuseEntry(const QString& name, const QString& why);

// The entry's path below the target folder ("/"-separated, without "." parts);
// EZipUnsafeEntry for an absolute path or one with "..".
QByteArray SafeEntryPath(const QString& name);

// Where and with which mode an entry is written.
struct EntryPlace {
    QString name;     // as stored, for messages
    QByteArray path;  // relative to the target folder, in the file system's encoding
    bool isFolder = false;
    mode_t mode = 0;
};
// The place of the entry `name` whose central record was made on `system` with the
// external `attributes`: a safe path, and the stored Unix mode narrowed by the user's
// umask `mask` (the owner may always read and write, and search a folder), else 0644 for
// files and 0755 for folders. EZipUnsafeEntry for an unsafe path, a link or another kind
// of file.
EntryPlace PlaceEntry(const QString& name, uint8_t system, uint32_t attributes, mode_t mask);

// The modes of entries that store none, as PlaceEntry gives them under `mask`.
mode_t UsualFileMode(mode_t mask);
mode_t UsualFolderMode(mode_t mask);
// What a folder made with UsualFolderMode has once `mask` narrowed it.
mode_t MadeFolderMode(mode_t mask);

// Two entries of one path would be written by two threads at once, and a path that is
// a file and a folder at once cannot be installed: both refuse the archive
// (EZipUnsafeEntry). `Placed` has an EntryPlace's name, path and isFolder.
template <typename Placed>
void RefuseClashingPaths(const std::vector<Placed>& entries)
{
    std::set<QByteArray> files;
    std::set<QByteArray> folders;
    for (const Placed& entry : entries) {
        if (entry.isFolder) {
            folders.insert(entry.path);
        } else if (!files.insert(entry.path).second) {
            RefuseEntry(entry.name, QStringLiteral("another entry has the same path"));
        }
        for (qsizetype slash = entry.path.indexOf('/'); slash > 0; slash = entry.path.indexOf('/', slash + 1))
            folders.insert(entry.path.left(slash));
    }
    for (const Placed& entry : entries) {
        if (!entry.isFolder && folders.count(entry.path))
            RefuseEntry(entry.name, QStringLiteral("it is a file and a folder at once"));
    }
}

using EntrySink = std::function<void(const char* data, size_t size)>;

// Creates (or replaces) the file at `path` with `mode`, hands `produce` a sink that
// appends to it, and closes it; `mask` is the umask in force, which a new file's mode
// passes through. A failure leaves nothing at `path` where nothing was; an existing file
// is written without a name and replaces the old one only when whole, where the file
// system allows. Throws EFCreateError or EInOutError; what `produce` throws passes through.
void WriteEntryFile(const QByteArray& path, mode_t mode, mode_t mask, const std::function<void(const EntrySink&)>& produce);
