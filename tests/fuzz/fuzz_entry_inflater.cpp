// One entry's compressed bytes as an archive may hold them, with the method, size and
// CRC-32 the directory declares (the input's first nine bytes): the in-memory and the
// streamed inflation take and refuse the same entries, and what they hand on has
// exactly the declared size and CRC-32.
#include "fuzz_target.h"

#include "archive/entry_inflater.h"
#include "archive/zip_directory.h"

#include <zlib.h>

#include <cstring>
#include <optional>

namespace {

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
           | static_cast<uint32_t>(p[3]) << 24;
}

// The entry's content through `inflater`, or nothing when it is refused.
std::optional<QByteArray> inflate(EntryInflater& inflater, const DeclaredEntry& entry, const uint8_t* data, size_t size)
{
    size_t at = 0;
    QByteArray content;
    try {
        inflater.Inflate(
            entry,
            [&](char* into, size_t wanted) {
                const size_t taken = std::min(wanted, size - at);
                std::memcpy(into, data + at, taken);
                at += taken;
                return taken;
            },
            QStringLiteral("entry"), [&](const char* piece, size_t length) { content.append(piece, static_cast<qsizetype>(length)); });
    } catch (const EZipError&) {
        return std::nullopt;
    }
    return content;
}

}  // namespace

FUZZ_TARGET(entry_inflater)
{
    if (size < 9)
        return;
    DeclaredEntry entry;
    entry.method = data[0] & 1 ? 8 : 0;
    entry.size = le32(data + 1) % (1 << 20);  // within what a test may hold in memory
    entry.crc = le32(data + 5);
    entry.compressedSize = size - 9;
    EntryInflater inMemory;
    EntryInflater streamed(0);  // every entry above the bound: streamed
    const std::optional<QByteArray> whole = inflate(inMemory, entry, data + 9, size - 9);
    const std::optional<QByteArray> pieces = inflate(streamed, entry, data + 9, size - 9);
    FUZZ_EXPECT(whole.has_value() == pieces.has_value());
    if (!whole)
        return;
    FUZZ_EXPECT(*whole == *pieces);
    FUZZ_EXPECT(static_cast<uint64_t>(whole->size()) == entry.size);
    FUZZ_EXPECT(crc32(0, reinterpret_cast<const Bytef*>(whole->constData()), static_cast<uInt>(whole->size())) == entry.crc);
}
