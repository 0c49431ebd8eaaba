#pragma once
// ZIP archives written byte by byte, for what no ZIP writer makes, and the regression
// archives of the archive checks built from them.

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>

#include <zlib.h>

namespace rawzip {

inline quint32 crc(const QByteArray& b)
{
    return static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef*>(b.constData()), static_cast<uInt>(b.size())));
}

// Raw deflate; Z_SYNC_FLUSH leaves a stream without its final block that still gives all of `content`.
inline QByteArray deflate(const QByteArray& content, int flush = Z_FINISH)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&z, static_cast<uLong>(content.size())) + 16), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.constData()));
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    ::deflate(&z, flush);
    out.resize(static_cast<qsizetype>(z.total_out));
    deflateEnd(&z);
    return out;
}

// `b` and four bytes more that give it the CRC-32 `wanted`: a CRC proves no content.
inline QByteArray withCrc(QByteArray b, quint32 wanted)
{
    const z_crc_t* table = get_crc_table();
    quint8 index[4];
    quint32 state = ~wanted;
    for (int k = 3; k >= 0; --k) {  // undo the four steps of the table from the end
        quint8 i = 0;
        while (table[i] >> 24 != state >> 24)
            ++i;
        index[k] = i;
        state = (state ^ table[i]) << 8;
    }
    state = ~crc(b);
    for (const quint8 i : index) {
        b.append(static_cast<char>((state ^ i) & 0xFF));
        state = (state >> 8) ^ table[i];
    }
    return b;
}

inline QByteArray le(quint64 value, int size)
{
    QByteArray out;
    for (int i = 0; i < size; ++i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

// One entry, its central directory record telling the same as its local header unless
// changed; `at` is where the record points, from the local header's own place.
struct Entry {
    QByteArray name, data, localExtra, centralExtra;
    quint16 flags = 0, method = 0;
    quint32 crc = 0, compressedSize = 0, size = 0;
    quint16 centralFlags = 0, centralMethod = 0;
    qint64 at = 0;
};

inline Entry stored(const QByteArray& name, const QByteArray& content, quint16 method = 0)
{
    const auto size = static_cast<quint32>(content.size());
    return {name, content, {}, {}, 0, method, crc(content), size, size, 0, 0, 0};
}

inline QByteArray fields(quint16 flags, quint16 method, const Entry& e)
{
    return le(flags, 2) + le(method, 2) + le(0, 4) + le(e.crc, 4) + le(e.compressedSize, 4) + le(e.size, 4)
           + le(static_cast<quint64>(e.name.size()), 2);
}

inline QByteArray localRecord(const Entry& e)
{
    return le(0x04034b50, 4) + le(20, 2) + fields(e.flags, e.method, e) + le(static_cast<quint64>(e.localExtra.size()), 2)
           + e.name + e.localExtra + e.data;
}

inline QByteArray directoryRecord(const Entry& e, qint64 offset)
{
    return le(0x02014b50, 4) + le(0x031E, 2) + le(20, 2) + fields(e.flags | e.centralFlags, e.method ^ e.centralMethod, e)
           + le(static_cast<quint64>(e.centralExtra.size()), 2) + le(0, 6) + le(0100644u << 16, 4)
           + le(static_cast<quint64>(offset + e.at), 4) + e.name + e.centralExtra;
}

inline QByteArray endRecord(int count, qint64 size, qint64 offset, const QByteArray& comment = {})
{
    return le(0x06054b50, 4) + le(0, 4) + le(count, 2) + le(count, 2) + le(size, 4) + le(offset, 4)
           + le(static_cast<quint64>(comment.size()), 2) + comment;
}

inline QByteArray archive(const QList<Entry>& entries, const QByteArray& comment = {})
{
    QByteArray records, directory;
    for (const Entry& e : entries) {
        directory += directoryRecord(e, records.size());
        records += localRecord(e);
    }
    return records + directory + endRecord(entries.size(), directory.size(), records.size(), comment);
}

// Stored in the directory, deflated in its local header: every ZIP reader reads `stored`;
// a walk that trusted the local header would unpack `hidden`, whose CRC is forged to match.
struct Mismatch {
    QByteArray archive, stored, hidden;
};

inline Mismatch methodMismatch()
{
    const QByteArray hidden = QByteArray("Text that no ZIP reader shows. ").repeated(64), packed = deflate(hidden);
    const QByteArray data = withCrc(packed + QByteArray(hidden.size() - packed.size() - 4, '\0'), crc(hidden));
    Entry readme = stored("readme.txt", data, 8), exe = stored("Vorlen.exe", "#!/bin/sh\n");
    readme.centralMethod = 8;
    for (Entry* e : {&readme, &exe})  // the SHA-256 vrn-publish records, so that it publishes the archive as it is
        e->centralExtra = le(0x6873, 2) + le(32, 2) + QCryptographicHash::hash(e->data, QCryptographicHash::Sha256);
    return {archive({exe, readme}), data, hidden};
}

// An end record whose comment holds another: the first directory has "a" and "b", whose
// local record lies in the stored data of "a"; the second has "a" alone.
inline QByteArray endRecordInComment()
{
    const Entry b = stored("b", "the data of b, unpacked again as part of a");
    const Entry a = stored("a", localRecord(b));
    const QByteArray records = localRecord(a), first = directoryRecord(a, 0), both = first + directoryRecord(b, 31);
    return records + both + endRecord(2, both.size(), records.size(), endRecord(1, first.size(), records.size()));
}

// One entry that declares `size` bytes and a CRC but has no compressed bytes.
inline QByteArray noCompressedBytes(quint16 method, quint32 size)
{
    return archive({Entry{"entry", {}, {}, {}, 0, method, 0x12345678, 0, size, 0, 0, 0}});
}

}  // namespace rawzip
