#include "archive/entry_inflater.h"

#include "archive/zip_archive.h"

#include <zip.h>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <new>

namespace {

constexpr size_t StreamBufferSize = 256 * 1024;

// libzip's own wording, so that both roads report a damaged entry alike
QString libzipText(int code, int systemCode = 0)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_error_set(&error, code, systemCode);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

EZipError unreadable(const QString& name, const QString& why)
{
    return EZipError(QStringLiteral("Cannot read the archive entry \"%1\". %2").arg(name, why));
}

using OpenEntry = std::unique_ptr<zip_file_t, int (*)(zip_file_t*)>;

OpenEntry openEntry(zip_t* archive, zip_uint64_t index, zip_flags_t flags, const QString& name)
{
    zip_file_t* entry = zip_fopen_index(archive, index, flags);
    if (!entry)
        throw unreadable(name, QString::fromUtf8(zip_strerror(archive)));
    return OpenEntry(entry, zip_fclose);
}

// Reads up to `size` bytes; fewer only at the entry's end.
size_t readSome(zip_file_t* entry, char* data, size_t size, const QString& name)
{
    const zip_int64_t got = zip_fread(entry, data, size);
    if (got < 0)
        throw unreadable(name, QString::fromUtf8(zip_file_strerror(entry)));
    return static_cast<size_t>(got);
}

EZipError corrupt(const QString& name)
{
    return unreadable(name, libzipText(ZIP_ER_ZLIB, Z_DATA_ERROR));
}

// Counts and checks what reaches the sink: never more than the declared size, and at the
// end exactly that size and the declared CRC-32.
class CheckedSink {
public:
    CheckedSink(const DeclaredEntry& entry, const QString& name, const EntryInflater::Sink& sink, EZipError wrongSize)
        : m_entry(entry), m_name(name), m_sink(sink), m_left(entry.size), m_wrongSize(std::move(wrongSize))
    {
    }

    void operator()(const char* data, size_t size)
    {
        if (size > m_left)
            throw m_wrongSize;
        m_left -= size;
        m_crc = static_cast<uint32_t>(libdeflate_crc32(m_crc, data, size));
        m_sink(data, size);
    }

    void finish() const
    {
        if (m_left != 0)
            throw m_wrongSize;
        if (m_crc != m_entry.crc)
            throw unreadable(m_name, libzipText(ZIP_ER_CRC));
    }

private:
    const DeclaredEntry& m_entry;
    const QString& m_name;
    const EntryInflater::Sink& m_sink;
    uint64_t m_left;
    uint32_t m_crc = 0;
    EZipError m_wrongSize;
};

// Reads exactly `size` bytes; the file ending before is an error.
void readExactly(const EntryInflater::Reader& read, char* data, size_t size, const QString& name)
{
    while (size > 0) {
        const size_t got = read(data, size);
        if (got == 0)
            throw unreadable(name, libzipText(ZIP_ER_EOF));
        data += got;
        size -= got;
    }
}

using InflateStream = std::unique_ptr<z_stream, void (*)(z_stream*)>;

InflateStream newInflateStream()
{
    auto* stream = new z_stream{};
    if (inflateInit2(stream, -MAX_WBITS) != Z_OK) {
        delete stream;
        throw std::bad_alloc();
    }
    return InflateStream(stream, [](z_stream* s) {
        inflateEnd(s);
        delete s;
    });
}

libdeflate_decompressor* newDecompressor()
{
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (!decompressor)
        throw std::bad_alloc();
    return decompressor;
}

}  // namespace

char* EntryInflater::Buffer::reserve(size_t wanted)
{
    // never a null pointer, even for an empty entry
    if (!data || wanted > size) {
        data.reset();
        data.reset(new char[std::max<size_t>(wanted, 1)]);
        size = wanted;
    }
    return data.get();
}

EntryInflater::EntryInflater(uint64_t wholeEntryBound)
    : m_bound(wholeEntryBound), m_decompressor(newDecompressor(), libdeflate_free_decompressor)
{
}

EntryInflater::~EntryInflater() = default;

void EntryInflater::Inflate(zip_t* archive, uint64_t index, const QString& name, const Sink& sink)
{
    zip_stat_t stat;
    if (zip_stat_index(archive, index, 0, &stat) != 0)
        throw unreadable(name, QString::fromUtf8(zip_strerror(archive)));
    constexpr zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC;
    if ((stat.valid & needed) != needed)
        throw unreadable(name, libzipText(ZIP_ER_INCONS));
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
        throw unreadable(name, libzipText(ZIP_ER_NOPASSWD));
    const DeclaredEntry entry{stat.comp_method, stat.comp_size, stat.size, stat.crc};
    if (entry.method != ZIP_CM_STORE && entry.method != ZIP_CM_DEFLATE) {
        streamDecoded(archive, index, entry, name, sink);
        return;
    }
    // an entry without compressed bytes has nothing to read (libzip would take it as empty
    // whatever it declares)
    const OpenEntry opened = entry.compressedSize > 0 ? openEntry(archive, index, ZIP_FL_COMPRESSED, name)
                                                      : OpenEntry(nullptr, zip_fclose);
    Inflate(entry, [&](char* data, size_t size) { return readSome(opened.get(), data, size, name); }, name, sink);
}

void EntryInflater::Inflate(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink)
{
    if (entry.compressedSize == 0) {
        CheckedSink(entry, name, sink, unreadable(name, libzipText(ZIP_ER_INCONS))).finish();
    } else if (entry.method == ZIP_CM_STORE) {
        copyStored(entry, read, name, sink);
    } else if (entry.method != ZIP_CM_DEFLATE) {
        throw unreadable(name, libzipText(ZIP_ER_COMPNOTSUPP));
    } else if (inflatesWhole(entry)) {
        inflateWhole(entry, read, name, sink);
    } else {
        streamDeflated(entry, read, name, sink);
    }
}

bool EntryInflater::inflatesWhole(const DeclaredEntry& entry) const
{
    return entry.compressedSize <= m_bound && entry.size <= m_bound - entry.compressedSize;
}

void EntryInflater::inflateWhole(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink)
{
    char* const compressed = m_compressed.reserve(entry.compressedSize);
    readExactly(read, compressed, entry.compressedSize, name);
    char* const inflated = m_inflated.reserve(entry.size);
    // without a place for the actual size, libdeflate also fails a stream that is not
    // exactly `size` long, and one that does not end within the compressed bytes
    if (libdeflate_deflate_decompress(m_decompressor.get(), compressed, entry.compressedSize, inflated, entry.size,
                                      nullptr) != LIBDEFLATE_SUCCESS)
        throw corrupt(name);
    if (libdeflate_crc32(0, inflated, entry.size) != entry.crc)
        throw unreadable(name, libzipText(ZIP_ER_CRC));
    sink(inflated, entry.size);
}

void EntryInflater::copyStored(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink)
{
    CheckedSink checked(entry, name, sink, unreadable(name, libzipText(ZIP_ER_INCONS)));
    if (entry.compressedSize != entry.size)
        throw unreadable(name, libzipText(ZIP_ER_INCONS));
    char* const buffer = m_stream.reserve(StreamBufferSize);
    for (uint64_t left = entry.compressedSize; left > 0;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, StreamBufferSize));
        readExactly(read, buffer, piece, name);
        checked(buffer, piece);
        left -= piece;
    }
    checked.finish();
}

// zlib in a fixed buffer, as strict as the whole road: the stream must end within the
// compressed bytes, and more or less content than declared is corrupt data.
void EntryInflater::streamDeflated(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink)
{
    CheckedSink checked(entry, name, sink, corrupt(name));
    const InflateStream stream = newInflateStream();
    char* const input = m_compressed.reserve(StreamBufferSize);
    char* const output = m_stream.reserve(StreamBufferSize);
    uint64_t unread = entry.compressedSize;
    for (;;) {
        if (stream->avail_in == 0 && unread > 0) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(unread, StreamBufferSize));
            readExactly(read, input, piece, name);
            unread -= piece;
            stream->next_in = reinterpret_cast<Bytef*>(input);
            stream->avail_in = static_cast<uInt>(piece);
        }
        stream->next_out = reinterpret_cast<Bytef*>(output);
        stream->avail_out = StreamBufferSize;
        const int status = inflate(stream.get(), Z_NO_FLUSH);
        if (status == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            throw corrupt(name);
        checked(output, StreamBufferSize - stream->avail_out);
        if (status == Z_STREAM_END)
            break;
        if (status == Z_BUF_ERROR && stream->avail_in == 0 && unread == 0)
            throw corrupt(name);  // cut short: the compressed bytes end inside the stream
    }
    checked.finish();
}

// Other methods are decoded by libzip, and held to the declared size as well.
void EntryInflater::streamDecoded(zip_t* archive, uint64_t index, const DeclaredEntry& entry, const QString& name,
                                  const Sink& sink)
{
    CheckedSink checked(entry, name, sink, unreadable(name, libzipText(ZIP_ER_INCONS)));
    const OpenEntry opened = openEntry(archive, index, 0, name);
    char* const buffer = m_stream.reserve(StreamBufferSize);
    while (const size_t got = readSome(opened.get(), buffer, StreamBufferSize, name))
        checked(buffer, got);
    checked.finish();
}
