#include "archive/delta_extraction.h"

#include "app/crash_point.h"
#include "archive/entry_file.h"
#include "archive/entry_inflater.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <set>

namespace {

constexpr qint64 LocalHeaderSize = 30;

uint32_t le(const QByteArray& bytes, qsizetype at, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

EZipError damaged(const TDeltaEntry& entry, const QString& why)
{
    return EZipError(QStringLiteral("The fetched entry \"%1\" is damaged: %2.").arg(entry.name, why));
}

// Seeks to the entry's data, after a local header that says what the directory says.
void seekData(QFile& archive, const TDeltaEntry& entry)
{
    const DirectoryEntry& declared = entry.entry;
    const qint64 at = static_cast<qint64>(declared.localHeaderOffset);
    const QByteArray header = archive.seek(at) ? archive.read(LocalHeaderSize + declared.rawName.size()) : QByteArray();
    if (header.size() != LocalHeaderSize + declared.rawName.size() || le(header, 0, 4) != 0x04034b50)
        throw damaged(entry, QStringLiteral("no local header where the directory puts it"));
    if (le(header, 6, 2) != declared.flags || le(header, 8, 2) != declared.method || le(header, 14, 4) != declared.crc
        || le(header, 18, 4) != declared.compressedSize || le(header, 22, 4) != declared.size
        || le(header, 26, 2) != static_cast<uint32_t>(declared.rawName.size()) || header.mid(LocalHeaderSize) != declared.rawName)
        throw damaged(entry, QStringLiteral("its local header does not say what the directory says"));
    if (!archive.seek(at + LocalHeaderSize + declared.rawName.size() + le(header, 28, 2)))
        throw damaged(entry, archive.errorString());
}

// Hands the entry's bytes to `sink`, proven by size and CRC-32 (the inflater's checks)
// and by the SHA-256 the directory records.
void readEntry(QFile& archive, const TDeltaEntry& entry, EntryInflater& inflater, const EntrySink& sink)
{
    seekData(archive, entry);
    const DirectoryEntry& declared = entry.entry;
    uint64_t left = declared.compressedSize;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    inflater.Inflate(
        DeclaredEntry{declared.method, declared.compressedSize, declared.size, declared.crc},
        [&](char* data, size_t size) {
            const qint64 got = archive.read(data, static_cast<qint64>(std::min<uint64_t>(size, left)));
            left -= static_cast<uint64_t>(std::max<qint64>(got, 0));
            return static_cast<size_t>(std::max<qint64>(got, 0));
        },
        entry.name,
        [&](const char* data, size_t size) {
            digest.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
            sink(data, size);
        });
    // a file written so far is not named: WriteEntryFile drops it
    if (digest.result() != entry.digest)
        throw damaged(entry, QStringLiteral("its bytes are not those the directory vouches for"));
}

void open(QFile& archive)
{
    if (!archive.open(QIODevice::ReadOnly))
        throw fileOpenError(archive.fileName(), archive.errorString());
}

// The installed file as the new release's, linked while its mode is the one the release
// gives it (a link shares the mode with the old tree, which must stay as it was).
bool takeInstalled(const QString& from, const QString& to, mode_t mode)
{
    if (platform::entryMode(from) == static_cast<unsigned>(mode))
        return platform::duplicateEntry(from, to);
    return platform::copyFile(from, to) && platform::setEntryMode(to, mode);
}

void makeFolders(const QString& folder, const TDeltaPlan& plan)
{
    std::set<QString> folders;
    for (const TDeltaEntry& entry : plan.Entries()) {
        const QString path = QFile::decodeName(entry.path);
        const QString parent = entry.isFolder ? path : path.section(QLatin1Char('/'), 0, -2);
        if (!parent.isEmpty())
            folders.insert(parent);
    }
    if (!QDir().mkpath(folder))
        throw fileCreateError(folder, QStringLiteral("The folder cannot be created."));
    platform::markTreeTop(QFile::encodeName(folder));
    for (const QString& path : folders) {
        if (!QDir(folder).mkpath(path))
            throw fileCreateError(folder + path, QStringLiteral("The folder cannot be created."));
    }
}

}  // namespace

QStringList DamagedChangedEntries(const QString& archivePath, const TDeltaPlan& plan)
{
    QFile archive(archivePath);
    open(archive);
    EntryInflater inflater;
    QStringList damagedEntries;
    for (const TDeltaEntry& entry : plan.Entries()) {
        if (!entry.changed)
            continue;
        try {
            readEntry(archive, entry, inflater, [](const char*, size_t) {});
        } catch (const EZipError&) {
            damagedEntries << entry.name;
        }
    }
    return damagedEntries;
}

void BuildDeltaTree(const QString& archivePath, const TDeltaPlan& plan, const QString& installed, const QString& folder)
{
    QFile archive(archivePath);
    open(archive);
    EntryInflater inflater;
    const mode_t mask = static_cast<mode_t>(platform::fileCreationMask());
    makeFolders(folder, plan);
    for (const TDeltaEntry& entry : plan.Entries()) {
        if (entry.isFolder)
            continue;
        const QString target = folder + QFile::decodeName(entry.path);
        if (entry.changed) {
            WriteEntryFile(QFile::encodeName(target), entry.mode, mask,
                           [&](const EntrySink& sink) { readEntry(archive, entry, inflater, sink); });
        } else if (!takeInstalled(installed + QFile::decodeName(entry.path), target, entry.mode)) {
            throw fileCreateError(target, QStringLiteral("The installed file cannot be taken into the new installation."));
        }
        CrashPoint("a file was placed in the new tree");
    }
    // folder modes last, so that a read-only folder does not stop its own files
    for (const TDeltaEntry& entry : plan.Entries()) {
        if (entry.isFolder && !entry.path.isEmpty())
            platform::setEntryMode(folder + QFile::decodeName(entry.path), entry.mode);
    }
}
