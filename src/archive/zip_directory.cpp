#include "archive/zip_directory.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>

namespace {

constexpr quint32 EndOfDirectory = 0x06054b50;
constexpr quint32 Zip64Locator = 0x07064b50;
constexpr quint32 Zip64EndOfDirectory = 0x06064b50;
constexpr quint32 DirectoryHeader = 0x02014b50;
constexpr quint32 LocalHeader = 0x04034b50;
constexpr qint64 EndRecordSize = 22;
constexpr qint64 Zip64LocatorSize = 20;
constexpr qint64 Zip64EndRecordSize = 56;
constexpr qint64 LocalHeaderSize = 30;
constexpr qint64 DirectoryHeaderSize = 46;
constexpr qint64 MaxCommentSize = 0xFFFF;
// the end record's comment, the record and the ZIP64 locator before it: where the reader looks
constexpr qint64 TailSize = MaxCommentSize + EndRecordSize + Zip64LocatorSize;
constexpr quint16 Zip64Extra = 0x0001;
constexpr quint32 Zip64Marker = 0xFFFFFFFFu;

// `length` bytes of the archive from `offset`, fewer where it ends.
using ReadAt = std::function<QByteArray(quint64 offset, quint64 length)>;

quint64 little(const QByteArray& bytes, qint64 at, int size)
{
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(bytes[at + i]);
    return value;
}

struct Location {
    quint64 offset = 0;
    quint64 size = 0;
    quint64 count = 0;
    bool zip64 = false;
};

// Where the end record at `at` of the tail puts the directory; nothing when it leads
// nowhere.
std::optional<Location> locationOf(const QByteArray& tail, quint64 tailOffset, qint64 at, const ReadAt& read)
{
    Location location{little(tail, at + 16, 4), little(tail, at + 12, 4), little(tail, at + 10, 2), false};
    if (at >= Zip64LocatorSize && little(tail, at - Zip64LocatorSize, 4) == Zip64Locator) {
        const QByteArray record = read(little(tail, at - Zip64LocatorSize + 8, 8), Zip64EndRecordSize);
        if (record.size() < Zip64EndRecordSize || little(record, 0, 4) != Zip64EndOfDirectory)
            return std::nullopt;
        location = {little(record, 48, 8), little(record, 40, 8), little(record, 32, 8), true};
    }
    const quint64 endRecord = tailOffset + static_cast<quint64>(at);
    if (location.offset > endRecord || location.size > endRecord - location.offset)
        return std::nullopt;
    return location;
}

// The entry at `at` of the directory; the 64-bit values stand in the extra field when
// the 32-bit ones are all ones.
DirectoryEntry entryAt(const QByteArray& directory, qint64 at)
{
    DirectoryEntry entry;
    entry.flags = static_cast<uint16_t>(little(directory, at + 8, 2));
    entry.method = static_cast<uint16_t>(little(directory, at + 10, 2));
    entry.crc = static_cast<uint32_t>(little(directory, at + 16, 4));
    entry.compressedSize = little(directory, at + 20, 4);
    entry.size = little(directory, at + 24, 4);
    entry.localHeaderOffset = little(directory, at + 42, 4);
    entry.central.system = static_cast<uint8_t>(little(directory, at + 5, 1));
    entry.central.attributes = static_cast<uint32_t>(little(directory, at + 38, 4));
    const qint64 nameLength = static_cast<qint64>(little(directory, at + 28, 2));
    const qint64 extraLength = static_cast<qint64>(little(directory, at + 30, 2));
    entry.rawName = directory.mid(at + DirectoryHeaderSize, nameLength);
    entry.central.extra = directory.mid(at + DirectoryHeaderSize + nameLength, extraLength);
    for (qint64 extra = at + DirectoryHeaderSize + nameLength, end = extra + extraLength; extra + 4 <= end;) {
        const quint64 id = little(directory, extra, 2);
        const qint64 size = static_cast<qint64>(little(directory, extra + 2, 2));
        qint64 field = extra + 4;
        if (id == Zip64Extra) {
            for (uint64_t* value : {&entry.size, &entry.compressedSize, &entry.localHeaderOffset}) {
                if (*value == Zip64Marker && field + 8 <= extra + 4 + size && field + 8 <= end) {
                    *value = little(directory, field, 8);
                    field += 8;
                }
            }
        }
        extra += 4 + size;
    }
    return entry;
}

// The directory's entries when they fill it exactly and their number is the one the end
// record gives (or, without ZIP64, that number plus a multiple of 65536, as some tools
// write it); nothing otherwise.
std::optional<std::vector<DirectoryEntry>> entriesOf(const Location& location, const ReadAt& read)
{
    const QByteArray directory = read(location.offset, location.size);
    if (static_cast<quint64>(directory.size()) != location.size)
        return std::nullopt;
    std::vector<DirectoryEntry> entries;
    for (qint64 at = 0; at < directory.size();) {
        if (at + DirectoryHeaderSize > directory.size() || little(directory, at, 4) != DirectoryHeader)
            return std::nullopt;
        const qint64 next = at + DirectoryHeaderSize + static_cast<qint64>(little(directory, at + 28, 2)
                                                                           + little(directory, at + 30, 2)
                                                                           + little(directory, at + 32, 2));
        if (next > directory.size())
            return std::nullopt;
        entries.push_back(entryAt(directory, at));
        at = next;
    }
    const quint64 count = entries.size();
    const bool countFits = location.zip64 ? count == location.count
                                          : count >= location.count && (count - location.count) % 0x10000 == 0;
    if (!countFits)
        return std::nullopt;
    return entries;
}

// Every end record in the tail that leads to a whole directory, searched from the front as
// the ZIP reader does. It takes the first of them, another reader the last: only one may
// be there.
struct Directory {
    Location location;
    std::vector<DirectoryEntry> entries;
};

Directory onlyDirectory(quint64 archiveSize, const ReadAt& read)
{
    const quint64 tailSize = std::min<quint64>(archiveSize, TailSize);
    const quint64 tailOffset = archiveSize - tailSize;
    const QByteArray tail = read(tailOffset, tailSize);
    std::optional<Directory> found;
    for (qint64 at = 0; at + EndRecordSize <= tail.size(); ++at) {
        if (little(tail, at, 4) != EndOfDirectory)
            continue;
        const std::optional<Location> location = locationOf(tail, tailOffset, at, read);
        std::optional<std::vector<DirectoryEntry>> entries = location ? entriesOf(*location, read) : std::nullopt;
        if (!entries)
            continue;
        if (found)
            throw EZipError(QStringLiteral("More than one end of central directory record leads to a central directory."));
        found = Directory{*location, std::move(*entries)};
    }
    if (!found)
        throw EZipError(QStringLiteral("No end of central directory record leads to a central directory."));
    return std::move(*found);
}

// Local headers closer together than this are read in one piece.
constexpr quint64 HeaderBlockBytes = 64 << 10;
// No archive file reaches this far; an offset beyond it cannot be read.
constexpr quint64 FarthestOffset = quint64(1) << 62;

// One read for the local header at `at` and those that follow it closely.
QByteArray headerBlock(const std::vector<DirectoryEntry*>& byOffset, size_t first, const ReadAt& read)
{
    const quint64 at = byOffset[first]->localHeaderOffset;
    quint64 length = LocalHeaderSize;
    for (size_t next = first + 1; next < byOffset.size(); ++next) {
        const quint64 distance = byOffset[next]->localHeaderOffset - at;
        if (distance + LocalHeaderSize > HeaderBlockBytes)
            break;
        length = distance + LocalHeaderSize;
    }
    return read(at, length);
}

// The data of each entry starts after its own local header's name and extra field.
void placeData(std::vector<DirectoryEntry>& entries, const ReadAt& read)
{
    std::vector<DirectoryEntry*> byOffset;
    byOffset.reserve(entries.size());
    for (DirectoryEntry& entry : entries)
        byOffset.push_back(&entry);
    std::stable_sort(byOffset.begin(), byOffset.end(),
                     [](const DirectoryEntry* a, const DirectoryEntry* b) { return a->localHeaderOffset < b->localHeaderOffset; });
    QByteArray block;
    quint64 blockStart = 0;
    for (size_t i = 0; i < byOffset.size(); ++i) {
        DirectoryEntry& entry = *byOffset[i];
        const quint64 at = entry.localHeaderOffset;
        const bool readable = at < FarthestOffset;
        if (readable && (at < blockStart || at - blockStart + LocalHeaderSize > static_cast<quint64>(block.size()))) {
            block = headerBlock(byOffset, i, read);
            blockStart = at;
        }
        const QByteArray header = readable ? block.mid(static_cast<qsizetype>(at - blockStart), LocalHeaderSize) : QByteArray();
        if (header.size() < LocalHeaderSize || little(header, 0, 4) != LocalHeader)
            throw EZipError(QStringLiteral("The local header of the entry \"%1\" is not where the central directory says.")
                                .arg(QString::fromUtf8(entry.rawName)));
        entry.dataOffset = at + LocalHeaderSize + little(header, 26, 2) + little(header, 28, 2);
    }
}

std::vector<DirectoryEntry> readDirectory(quint64 archiveSize, const ReadAt& read)
{
    std::vector<DirectoryEntry> entries = onlyDirectory(archiveSize, read).entries;
    placeData(entries, read);
    return entries;
}

// Calls `use` with the file's size and a reader of it.
template <typename Use>
auto withFile(const QString& path, const Use& use)
{
    // single headers at scattered places: a buffer would only copy what is not needed
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw EZipError(file.errorString());
    const quint64 size = static_cast<quint64>(file.size());
    return use(size, [&](quint64 offset, quint64 length) {
        if (offset >= size)
            return QByteArray();
        // one call where a seek and a read would take two
        QByteArray bytes(static_cast<qsizetype>(std::min(length, size - offset)), Qt::Uninitialized);
        bytes.truncate(static_cast<qsizetype>(ReadFileAt(file.handle(), bytes.data(), static_cast<size_t>(bytes.size()), offset)));
        return bytes;
    });
}

}  // namespace

std::vector<DirectoryEntry> ReadCentralDirectory(const QByteArray& archive)
{
    return readDirectory(static_cast<quint64>(archive.size()), [&](quint64 offset, quint64 length) {
        const quint64 size = static_cast<quint64>(archive.size());
        return offset >= size ? QByteArray() : archive.mid(static_cast<qsizetype>(offset),
                                                           static_cast<qsizetype>(std::min(length, size - offset)));
    });
}

size_t ReadFileAt(int fd, void* data, size_t size, uint64_t offset)
{
    auto* at = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, at + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

std::vector<DirectoryEntry> ReadCentralDirectory(const QString& path)
{
    return withFile(path, readDirectory);
}

std::optional<quint64> CentralDirectoryOffset(const QString& path)
{
    try {
        return withFile(path, [](quint64 size, const ReadAt& read) { return onlyDirectory(size, read).location.offset; });
    } catch (const EZipError&) {
        return std::nullopt;
    }
}

std::vector<DirectoryEntry> ReadTailDirectory(const QByteArray& tail, quint64 tailOffset, quint64 archiveSize)
{
    if (tailOffset + static_cast<quint64>(tail.size()) != archiveSize)
        throw EZipError(QStringLiteral("The tail does not end where the archive ends."));
    // the bytes before the tail read as zeros: no record can stand there
    const Directory directory = onlyDirectory(archiveSize, [&](quint64 offset, quint64 length) {
        const quint64 end = std::min(offset + length, archiveSize);
        QByteArray bytes;
        if (offset < std::min(end, tailOffset))
            bytes = QByteArray(static_cast<qsizetype>(std::min(end, tailOffset) - offset), '\0');
        const quint64 from = std::max(offset, tailOffset);
        if (end > from)
            bytes += tail.mid(static_cast<qsizetype>(from - tailOffset), static_cast<qsizetype>(end - from));
        return bytes;
    });
    if (directory.location.offset != tailOffset)
        throw EZipError(QStringLiteral("The central directory does not begin where the tail does."));
    return directory.entries;
}

QString EntryWithSharedData(const std::vector<DirectoryEntry>& entries)
{
    struct Span {
        quint64 begin = 0;
        quint64 end = 0;
        const DirectoryEntry* entry = nullptr;
    };
    std::vector<Span> spans;
    spans.reserve(entries.size());
    for (const DirectoryEntry& entry : entries) {
        const quint64 end = entry.dataOffset + entry.compressedSize;
        // a span that wraps around covers everything after it
        spans.push_back({entry.localHeaderOffset, end < entry.dataOffset ? UINT64_MAX : end, &entry});
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    quint64 reached = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        if (i > 0 && spans[i].begin < reached)
            return QString::fromUtf8(spans[i].entry->rawName);
        reached = std::max(reached, spans[i].end);
    }
    return {};
}

