// zlib against libdeflate on the entries of a release (the install bench's mix: 3,000
// files, half incompressible, published with vrn-publish). Every deflated entry is read
// raw from the archive once; then each inflater inflates all of them on one thread, CRC-32
// included, alternating for 5 rounds: zlib streaming through a 256 KiB buffer (what
// libzip does), zlib in one call into the whole entry, libdeflate in one call. Medians
// per size class and in total, in MiB of inflated data per second. Then the install's own
// road: every entry through EntryInflater from the archive file (libzip reading, CRC
// checked), streamed only (as before libdeflate) against the install's bound.
//
// inflate_bench [--size MIB] [--rounds N] [WORKFOLDER]   (defaults: 64 MiB, 5 rounds)

#include "bench_release.h"
#include "bench_support.h"
#include "archive/entry_inflater.h"

#include <QCoreApplication>

#include <libdeflate.h>
#include <zip.h>
#include <zlib.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr size_t StreamBufferSize = 256 * 1024;

struct RawEntry {
    QByteArray compressed;
    size_t size = 0;
    uint32_t crc = 0;
};

// The size classes the results are told in.
constexpr std::array<const char*, 3> ClassNames{"below 64 KiB", "64 KiB to 1 MiB", "above 1 MiB"};

int sizeClass(size_t size)
{
    return size < (64u << 10) ? 0 : size <= (1u << 20) ? 1 : 2;
}

std::vector<RawEntry> readDeflatedEntries(const QString& archivePath, size_t& storedEntries)
{
    int code = 0;
    zip_t* archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_RDONLY, &code);
    if (!archive)
        fail(QStringLiteral("cannot open ") + archivePath);
    std::vector<RawEntry> entries;
    storedEntries = 0;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t stat;
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
        if (stat.comp_method != ZIP_CM_DEFLATE) {
            storedEntries += stat.comp_method == ZIP_CM_STORE && stat.size > 0;
            continue;
        }
        RawEntry entry{QByteArray(static_cast<qsizetype>(stat.comp_size), Qt::Uninitialized), stat.size, stat.crc};
        zip_file_t* raw = zip_fopen_index(archive, stat.index, ZIP_FL_COMPRESSED);
        if (!raw || zip_fread(raw, entry.compressed.data(), stat.comp_size) != static_cast<zip_int64_t>(stat.comp_size))
            fail(QStringLiteral("cannot read %1").arg(QString::fromUtf8(stat.name)));
        zip_fclose(raw);
        entries.push_back(std::move(entry));
    }
    zip_discard(archive);
    return entries;
}

// zlib as libzip drives it: the output in pieces of a fixed buffer, the CRC over each piece.
uint32_t zlibStreamed(const RawEntry& entry, std::vector<unsigned char>& buffer)
{
    z_stream stream{};
    inflateInit2(&stream, -MAX_WBITS);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(entry.compressed.constData()));
    stream.avail_in = static_cast<uInt>(entry.compressed.size());
    uLong crc = crc32(0, nullptr, 0);
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(StreamBufferSize);
        result = inflate(&stream, Z_NO_FLUSH);
        crc = crc32(crc, buffer.data(), static_cast<uInt>(StreamBufferSize - stream.avail_out));
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? static_cast<uint32_t>(crc) : ~entry.crc;
}

// zlib with the whole entry's room at once.
uint32_t zlibWhole(const RawEntry& entry, std::vector<unsigned char>& buffer)
{
    z_stream stream{};
    inflateInit2(&stream, -MAX_WBITS);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(entry.compressed.constData()));
    stream.avail_in = static_cast<uInt>(entry.compressed.size());
    stream.next_out = buffer.data();
    stream.avail_out = static_cast<uInt>(entry.size);
    const int result = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    return result == Z_STREAM_END ? static_cast<uint32_t>(crc32(0, buffer.data(), static_cast<uInt>(entry.size))) : ~entry.crc;
}

uint32_t libdeflateWhole(libdeflate_decompressor* decompressor, const RawEntry& entry, std::vector<unsigned char>& buffer)
{
    if (libdeflate_deflate_decompress(decompressor, entry.compressed.constData(), static_cast<size_t>(entry.compressed.size()),
                                      buffer.data(), entry.size, nullptr) != LIBDEFLATE_SUCCESS)
        return ~entry.crc;
    return libdeflate_crc32(0, buffer.data(), entry.size);
}

using Inflater = std::function<uint32_t(const RawEntry&, std::vector<unsigned char>&)>;

// Seconds per size class for inflating every entry once, the CRCs checked.
std::array<double, 3> timeRound(const std::vector<RawEntry>& entries, const Inflater& inflater, std::vector<unsigned char>& buffer)
{
    std::array<double, 3> seconds{};
    for (const RawEntry& entry : entries) {
        const auto start = std::chrono::steady_clock::now();
        if (inflater(entry, buffer) != entry.crc)
            fail(QStringLiteral("an entry inflated wrongly"));
        seconds[sizeClass(entry.size)] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return seconds;
}

// Seconds for every entry of the archive through an EntryInflater with `bound`, the content discarded.
double timeThroughInflater(const QString& archivePath, uint64_t bound)
{
    int code = 0;
    const std::unique_ptr<zip_t, void (*)(zip_t*)> archive(zip_open(QFile::encodeName(archivePath).constData(), ZIP_RDONLY, &code),
                                                           zip_discard);
    EntryInflater inflater(bound);
    const auto start = std::chrono::steady_clock::now();
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive.get(), 0); ++i)
        inflater.Inflate(archive.get(), static_cast<uint64_t>(i), QString(), [](const char*, size_t) {});
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void compareInflaterRoads(const QString& archivePath, int rounds)
{
    std::vector<double> streamed, bounded;
    for (int round = 0; round < rounds; ++round) {
        streamed.push_back(timeThroughInflater(archivePath, 0));
        bounded.push_back(timeThroughInflater(archivePath, EntryInflater::DefaultWholeEntryBound));
    }
    std::printf("every entry from the archive through EntryInflater on one thread: streamed through zlib %.3f s, "
                "libdeflate under the %llu MiB bound %.3f s, ratio %.2f\n",
                median(streamed), static_cast<unsigned long long>(EntryInflater::DefaultWholeEntryBound >> 20), median(bounded),
                median(bounded) / median(streamed));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    qint64 archiveMiB = 64;
    int rounds = 5;
    QString work = app.applicationDirPath() + QStringLiteral("/install-work");
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--size") && i + 1 < args.size())
            archiveMiB = std::max(1ll, args[++i].toLongLong());
        else if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args[++i].toInt());
        else
            work = args[i];
    }
    QDir().mkpath(work);
    const QString release = publishedRelease(work, archiveMiB, QStringLiteral(VRN_PUBLISH_PROGRAM));
    size_t stored = 0;
    const std::vector<RawEntry> entries = readDeflatedEntries(release + QStringLiteral("/vrnsetup.zip"), stored);
    std::array<double, 3> inflatedMiB{};
    std::array<int, 3> counts{};
    size_t largest = 0;
    for (const RawEntry& entry : entries) {
        inflatedMiB[sizeClass(entry.size)] += entry.size / 1048576.0;
        ++counts[sizeClass(entry.size)];
        largest = std::max(largest, entry.size);
    }

    const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> decompressor(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    const std::array<std::pair<const char*, Inflater>, 3> inflaters{{
        {"zlib streamed", zlibStreamed},
        {"zlib whole", zlibWhole},
        {"libdeflate whole", [&](const RawEntry& e, std::vector<unsigned char>& b) { return libdeflateWhole(decompressor.get(), e, b); }},
    }};
    std::vector<unsigned char> buffer(std::max(largest, StreamBufferSize));
    std::array<std::array<std::vector<double>, 4>, 3> seconds;  // per inflater: per class, and the total
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < inflaters.size(); ++i) {
            const std::array<double, 3> perClass = timeRound(entries, inflaters[i].second, buffer);
            for (int c = 0; c < 3; ++c)
                seconds[i][c].push_back(perClass[c]);
            seconds[i][3].push_back(perClass[0] + perClass[1] + perClass[2]);
        }
    }

    std::printf("%zu deflated entries (%zu stored), %.1f MiB inflated; medians of %d rounds on one thread\n", entries.size(),
                stored, inflatedMiB[0] + inflatedMiB[1] + inflatedMiB[2], rounds);
    for (int c = 0; c < 4; ++c) {
        if (c < 3 && counts[c] == 0)
            continue;
        const double mib = c < 3 ? inflatedMiB[c] : inflatedMiB[0] + inflatedMiB[1] + inflatedMiB[2];
        std::printf("%-16s", c < 3 ? ClassNames[c] : "all");
        if (c < 3)
            std::printf(" (%4d entries, %6.1f MiB):", counts[c], mib);
        else
            std::printf(" %29s", ":");
        for (size_t i = 0; i < inflaters.size(); ++i)
            std::printf("  %s %.3f s (%.0f MiB/s)", inflaters[i].first, median(seconds[i][c]), mib / median(seconds[i][c]));
        std::printf("  libdeflate/zlib streamed %.2f\n", median(seconds[2][c]) / median(seconds[0][c]));
    }
    compareInflaterRoads(release + QStringLiteral("/vrnsetup.zip"), rounds);
    return 0;
}
