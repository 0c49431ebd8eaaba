#pragma once
// The archive's central directory read directly, for what the ZIP reader does not tell:
// where each entry's local header and data lie in the file. It is located as the ZIP
// reader locates it (the end records in the last 64 KiB, searched from the front), and an
// archive in which more than one end record leads to a whole directory is refused, so
// that no end record hidden in a comment can show these checks another directory than
// the one extraction reads. Entries whose data overlap (one stretch of compressed data
// unpacked again and again, a known expansion attack) are refused by the archive's
// checks.

#include "platform/platform_errors.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// The archive cannot be opened or one of its entries cannot be read.
VRN_DECLARE_ERROR(EZipError, Exception)

// One entry as the central directory declares it, and where its local header puts its data.
struct DirectoryEntry {
    QByteArray rawName;  // as stored
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t localHeaderOffset = 0;
    uint64_t dataOffset = 0;  // after the local header, its name and its extra field
    // What the central directory record holds beyond what a local header states.
    struct Central {
        uint8_t system = 0;  // the system that made the entry (3: Unix, whose modes the attributes carry)
        uint32_t attributes = 0;
        QByteArray extra;  // the record's extra fields
    } central;

    // Whether both state the same entry; what only the central record holds is not compared.
    bool operator==(const DirectoryEntry& other) const
    {
        return rawName == other.rawName && flags == other.flags && method == other.method && crc == other.crc
               && compressedSize == other.compressedSize && size == other.size
               && localHeaderOffset == other.localHeaderOffset && dataOffset == other.dataOffset;
    }
};

// The entries of the archive's only valid central directory, in its order. Throws
// EZipError when no end record, or more than one, leads to a whole directory, or when an
// entry's local header is not where the directory says.
std::vector<DirectoryEntry> ReadCentralDirectory(const QByteArray& archive);
std::vector<DirectoryEntry> ReadCentralDirectory(const QString& path);

// Reads up to `size` bytes at `offset` of the open file `fd` in as few calls as it takes;
// fewer only at the file's end or on an error.
size_t ReadFileAt(int fd, void* data, size_t size, uint64_t offset);

// The name of an entry whose local record and data overlap another entry's; empty when
// every entry has its own stretch of the file.
QString EntryWithSharedData(const std::vector<DirectoryEntry>& entries);

// Where that only central directory begins: the archive's tail from there to its end (the
// directory, the ZIP64 records and the end record) is what an update reads first.
// Nothing when the directory cannot be located.
std::optional<quint64> CentralDirectoryOffset(const QString& path);

// The entries of the directory that makes up `tail`, the last bytes of an archive of
// `archiveSize` bytes from `tailOffset` on (an update fetches only these): the archive's
// only valid directory must begin exactly there. The entries' data offsets stay 0, as
// their local headers are not at hand. Throws EZipError.
std::vector<DirectoryEntry> ReadTailDirectory(const QByteArray& tail, quint64 tailOffset, quint64 archiveSize);
