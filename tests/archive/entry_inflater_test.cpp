// Inflating one entry, in memory or streamed: the same content or the same refusal on
// either side of the bound, and a whole entry handed on in one piece only when it fits.
#include "archive/entry_inflater.h"
#include "archive/zip_archive.h"
#include "install/install_test_support.h"
#include "raw_zip.h"
#include "zip_maker.h"

#include <QtEndian>

#include <zip.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace installtest;

namespace {

// The single entry "entry" of a ZIP file, as the file's bytes; `damage` may spoil them.
QByteArray archiveOf(const QByteArray& content, bool deflate, const std::function<void(QByteArray&)>& damage = {})
{
    const QString path = sandbox::freshFolder(QStringLiteral("inflater")) + QStringLiteral("/a.zip");
    zipmaker::write(path, {zipmaker::Entry{QStringLiteral("entry"), content, 0100644, deflate}});
    QByteArray bytes = readFile(path);
    if (damage)
        damage(bytes);
    return bytes;
}

// The first entry's data starts after its local header, name and extra field.
qsizetype dataOffset(const QByteArray& archive)
{
    const auto field = [&](int at) { return static_cast<uchar>(archive[at]) | static_cast<uchar>(archive[at + 1]) << 8; };
    return 30 + field(26) + field(28);
}

void spoilCrc(QByteArray& archive)
{
    const QByteArray crc = archive.mid(14, 4);  // the local header's copy
    QByteArray wrong = crc;
    wrong[0] = static_cast<char>(wrong[0] ^ 0x55);
    archive.replace(crc, wrong);  // and the central directory's
}

struct Outcome {
    QByteArray content;
    int pieces = 0;
    QString error;
};

Outcome inflate(const QByteArray& archiveBytes, uint64_t bound)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(archiveBytes.constData(), static_cast<zip_uint64_t>(archiveBytes.size()), 0, &error);
    const std::unique_ptr<zip_t, void (*)(zip_t*)> archive(zip_open_from_source(source, ZIP_RDONLY, &error), zip_discard);
    EXPECT_TRUE(archive);
    Outcome outcome;
    try {
        EntryInflater(bound).Inflate(archive.get(), 0, QStringLiteral("entry"), [&](const char* data, size_t size) {
            outcome.content.append(data, static_cast<qsizetype>(size));
            ++outcome.pieces;
        });
    } catch (const EZipError& failure) {
        outcome.error = failure.message();
    }
    return outcome;
}

uint64_t compressedSize(const QByteArray& archive)
{
    return qFromLittleEndian<quint32>(archive.constData() + 18);
}

}  // namespace

TEST(EntryInflater, SameContentOrRefusalOnEitherSideOfTheBound)
{
    const QByteArray text = pattern(600 << 10);  // more than one stream buffer
    const QByteArray deflated = archiveOf(text, true);
    const uint64_t whole = compressedSize(deflated) + static_cast<uint64_t>(text.size());
    const QByteArray corrupt = archiveOf(text, true, [](QByteArray& bytes) { bytes[dataOffset(bytes)] = '\xFF'; });
    const auto raw = [&](int flush, qint64 more) {  // declaring `more` bytes than it holds
        rawzip::Entry entry = rawzip::stored("entry", rawzip::deflate(text, flush), 8);
        entry.crc = rawzip::crc(text);
        entry.size = static_cast<quint32>(text.size() + more);
        return rawzip::archive({entry});
    };
    const QByteArray cutShort = raw(Z_SYNC_FLUSH, 0);
    struct Case {
        const char* what;
        QByteArray archive;
        uint64_t bound;
        QByteArray content;
        int pieces;  // 0: several
        const char* error;
    };
    const Case cases[] = {
        {"deflated, exactly at the bound", deflated, whole, text, 1, nullptr},
        {"deflated, one byte over the bound", deflated, whole - 1, text, 0, nullptr},
        {"stored, never whole", archiveOf(text, false), UINT64_MAX, text, 0, nullptr},
        {"empty deflated entry", archiveOf({}, true), 1 << 20, {}, 0, nullptr},
        {"corrupt data in memory", corrupt, UINT64_MAX, {}, 0, "Zlib error: data error"},
        {"corrupt data streamed", corrupt, 0, {}, 0, "Zlib error: data error"},
        {"CRC mismatch in memory", archiveOf(text, true, spoilCrc), UINT64_MAX, {}, 0, "CRC error"},
        {"CRC mismatch streamed", archiveOf(text, true, spoilCrc), 0, {}, 0, "CRC error"},
        {"CRC mismatch stored", archiveOf(text, false, spoilCrc), UINT64_MAX, {}, 0, "CRC error"},
        {"stored, no compressed bytes", rawzip::noCompressedBytes(0, 100 << 20), UINT64_MAX, {}, 0, "Zip archive inconsistent"},
        {"deflated, no compressed bytes", rawzip::noCompressedBytes(8, 100 << 20), 1 << 20, {}, 0, "Zip archive inconsistent"},
        {"cut short in memory", cutShort, UINT64_MAX, {}, 0, "Zlib error: data error"},
        {"cut short streamed", cutShort, 0, {}, 0, "Zlib error: data error"},
        {"more than declared streamed", raw(Z_FINISH, -1), 0, {}, 0, "Zlib error: data error"},
        {"less than declared streamed", raw(Z_FINISH, 1), 0, {}, 0, "Zlib error: data error"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = inflate(c.archive, c.bound);
        if (c.error) {
            EXPECT_EQ(outcome.error.toStdString(), QStringLiteral("Cannot read the archive entry \"entry\". %1").arg(QLatin1String(c.error)).toStdString()) << c.what;
            continue;
        }
        EXPECT_TRUE(outcome.error.isEmpty()) << c.what << ": " << outcome.error.toStdString();
        EXPECT_TRUE(outcome.content == c.content) << c.what;
        if (c.pieces) {
            EXPECT_EQ(outcome.pieces, c.pieces) << c.what;
        } else if (!c.content.isEmpty()) {
            EXPECT_GT(outcome.pieces, 1) << c.what;
        }
    }
}
