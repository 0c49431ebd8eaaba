#include "archive/zip_directory.h"

#include <QFile>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

constexpr quint32 EndOfDirectory = 0x06054b50;
constexpr quint32 Zip64Locator = 0x07064b50;
constexpr quint32 DirectoryEntry = 0x02014b50;
constexpr qint64 LocalHeaderSize = 30;
constexpr qint64 DirectoryEntrySize = 46;
constexpr qint64 MaxCommentSize = 0xFFFF;
constexpr quint16 Zip64Extra = 0x0001;

quint64 little(const QByteArray& bytes, qint64 at, int size)
{
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(bytes[at + i]);
    return value;
}

struct Span {
    quint64 begin = 0;
    quint64 end = 0;
    QString name;
};

struct Directory {
    quint64 offset = 0;
    quint64 size = 0;
};

std::optional<Directory> locateDirectory(QFile& file)
{
    const qint64 tailSize = std::min<qint64>(file.size(), MaxCommentSize + 22 + 20);
    if (!file.seek(file.size() - tailSize))
        return std::nullopt;
    const QByteArray tail = file.read(tailSize);
    for (qint64 at = tail.size() - 22; at >= 0; --at) {
        if (little(tail, at, 4) != EndOfDirectory)
            continue;
        Directory directory{little(tail, at + 16, 4), little(tail, at + 12, 4)};
        if (at >= 20 && little(tail, at - 20, 4) == Zip64Locator) {
            const quint64 record = little(tail, at - 20 + 8, 8);
            if (!file.seek(static_cast<qint64>(record)))
                return std::nullopt;
            const QByteArray zip64 = file.read(56);
            if (zip64.size() < 56)
                return std::nullopt;
            directory = {little(zip64, 48, 8), little(zip64, 40, 8)};
        }
        return directory;
    }
    return std::nullopt;
}

// The entry's local record and data; the 64-bit values stand in the extra field when
// the 32-bit ones are all ones.
Span spanOf(const QByteArray& directory, qint64 at)
{
    quint64 compressed = little(directory, at + 20, 4);
    quint64 uncompressed = little(directory, at + 24, 4);
    quint64 offset = little(directory, at + 42, 4);
    const qint64 nameLength = static_cast<qint64>(little(directory, at + 28, 2));
    const qint64 extraLength = static_cast<qint64>(little(directory, at + 30, 2));
    for (qint64 extra = at + DirectoryEntrySize + nameLength, end = extra + extraLength; extra + 4 <= end;) {
        const quint64 id = little(directory, extra, 2);
        const qint64 size = static_cast<qint64>(little(directory, extra + 2, 2));
        qint64 field = extra + 4;
        if (id == Zip64Extra) {
            for (quint64* value : {&uncompressed, &compressed, &offset}) {
                if (*value == 0xFFFFFFFFu && field + 8 <= extra + 4 + size && field + 8 <= end) {
                    *value = little(directory, field, 8);
                    field += 8;
                }
            }
        }
        extra += 4 + size;
    }
    const QString name = QString::fromUtf8(directory.mid(at + DirectoryEntrySize, nameLength));
    return {offset, offset + LocalHeaderSize + static_cast<quint64>(nameLength) + compressed, name};
}

}  // namespace

QString EntryWithSharedData(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const std::optional<Directory> located = locateDirectory(file);
    if (!located || located->size > static_cast<quint64>(file.size()) || !file.seek(static_cast<qint64>(located->offset)))
        return {};
    const QByteArray directory = file.read(static_cast<qint64>(located->size));
    std::vector<Span> spans;
    for (qint64 at = 0; at + DirectoryEntrySize <= directory.size() && little(directory, at, 4) == DirectoryEntry;) {
        const qint64 variable = static_cast<qint64>(little(directory, at + 28, 2) + little(directory, at + 30, 2)
                                                    + little(directory, at + 32, 2));
        if (at + DirectoryEntrySize + variable > directory.size())
            break;
        spans.push_back(spanOf(directory, at));
        at += DirectoryEntrySize + variable;
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].begin < spans[i - 1].end)
            return spans[i].name;
    }
    return {};
}

std::optional<quint64> CentralDirectoryOffset(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const std::optional<Directory> located = locateDirectory(file);
    if (!located || located->offset > static_cast<quint64>(file.size()))
        return std::nullopt;
    return located->offset;
}
