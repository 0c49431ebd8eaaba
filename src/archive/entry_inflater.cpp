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
    if (zip_stat_index(archive, index, 0, &stat) == 0 && inflatesWhole(stat))
        inflateWhole(archive, stat, name, sink);
    else
        stream(archive, index, name, sink);
}

bool EntryInflater::inflatesWhole(const zip_stat_t& stat) const
{
    constexpr zip_uint64_t needed =
        ZIP_STAT_INDEX | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC | ZIP_STAT_ENCRYPTION_METHOD;
    return (stat.valid & needed) == needed && stat.comp_method == ZIP_CM_DEFLATE && stat.encryption_method == ZIP_EM_NONE &&
           stat.comp_size <= m_bound && stat.size <= m_bound - stat.comp_size;
}

void EntryInflater::inflateWhole(zip_t* archive, const zip_stat_t& stat, const QString& name, const Sink& sink)
{
    const OpenEntry entry = openEntry(archive, stat.index, ZIP_FL_COMPRESSED, name);
    char* const compressed = m_compressed.reserve(stat.comp_size);
    size_t have = 0;
    while (have < stat.comp_size) {
        const size_t got = readSome(entry.get(), compressed + have, stat.comp_size - have, name);
        if (got == 0)
            throw unreadable(name, libzipText(ZIP_ER_EOF));
        have += got;
    }
    char* const inflated = m_inflated.reserve(stat.size);
    // without a place for the actual size, libdeflate also fails a stream that is not exactly `size` long
    if (libdeflate_deflate_decompress(m_decompressor.get(), compressed, stat.comp_size, inflated, stat.size, nullptr) !=
        LIBDEFLATE_SUCCESS)
        throw unreadable(name, libzipText(ZIP_ER_ZLIB, Z_DATA_ERROR));
    if (libdeflate_crc32(0, inflated, stat.size) != stat.crc)
        throw unreadable(name, libzipText(ZIP_ER_CRC));
    sink(inflated, stat.size);
}

void EntryInflater::stream(zip_t* archive, uint64_t index, const QString& name, const Sink& sink)
{
    // libzip checks the CRC when it reaches the entry's end
    const OpenEntry entry = openEntry(archive, index, 0, name);
    char* const buffer = m_stream.reserve(StreamBufferSize);
    while (const size_t got = readSome(entry.get(), buffer, StreamBufferSize, name))
        sink(buffer, got);
}
