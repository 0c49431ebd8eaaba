// The archive unpacked as it downloads: the bytes arrive in pieces into a part file;
// the tree is taken only when it is exactly the finished archive's, and whatever the
// walk cannot follow leaves nothing behind.
#include "archive/streaming_extraction.h"
#include "archive/zip_archive.h"
#include "download_feeder.h"
#include "install/install_test_support.h"
#include "raw_zip.h"
#include "zip_maker.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace installtest;

namespace {

const QList<zipmaker::Entry> kEntries{
    zipmaker::file(QStringLiteral("Vorlen.exe"), "exe", 0100755),
    zipmaker::folder(QStringLiteral("locked/"), 040500),
    zipmaker::Entry{QStringLiteral("deep/stored.bin"), pattern(300000), 0100644, false},
    zipmaker::file(QStringLiteral("deep/er/deflated.bin"), pattern(1 << 20)),
    zipmaker::file(QStringLiteral("from-windows.dll"), "w", std::nullopt),
};

// The first occurrence of `from` (in the first local header) changed to `to`.
QByteArray patched(QByteArray archive, const QByteArray& from, const QByteArray& to)
{
    return archive.replace(archive.indexOf(from), from.size(), to);
}

// The first entry says that its sizes follow its data.
QByteArray withSizesAfterData(QByteArray archive)
{
    archive[6] = static_cast<char>(archive[6] | 0x08);
    return archive;
}

}  // namespace

TEST(StreamingExtraction, TakesOnlyTheFinishedArchivesTree)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("streamed"));
    const QString zip = folder + QStringLiteral("/a.zip");
    zipmaker::write(zip, kEntries);
    QFile source(zip);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray archive = source.readAll();
    struct Case {
        const char* what;
        QByteArray bytes;  // the archive downloaded; the finished archive is `archive`
        Download how;
        bool followed;     // the walk reached the central directory
        bool taken;        // the tree is the finished archive's
    };
    const Case cases[] = {
        {"whole", archive, Download::Whole, true, true},
        {"starts over after bytes", archive, Download::StartsOver, false, false},
        {"ends short", archive, Download::EndsShort, false, false},
        {"sizes after the data", withSizesAfterData(archive), Download::Whole, false, false},
        {"a local name the directory does not have",
         patched(archive, "from-windows.dll", "from-windows.dlx"), Download::Whole, true, false},
        {"a path leading out", patched(archive, "deep/er/deflated.bin", "../p/er/deflated.bin"), Download::Whole, false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString tree = folder + QStringLiteral("/parent/.install.unpacking/");
        auto tap = std::make_shared<TDownloadTap>();
        StreamingExtraction streaming(tap, tree);
        EXPECT_EQ(streaming.MadeFolders(), QStringList{folder + QStringLiteral("/parent")});
        EXPECT_EQ(modeOf(tree), 0700u) << "the tree is the owner's alone until it is taken";
        const QString part = folder + QStringLiteral("/part");
        download(*tap, part, c.bytes, c.how);
        const auto written = streaming.Finish();
        ASSERT_EQ(written.has_value(), c.followed);
        const bool taken = written && ZipArchive(part).Adopt(*written, tree);
        EXPECT_EQ(taken, c.taken);
        if (!written)
            EXPECT_FALSE(QDir(tree).exists());
        if (!taken)
            continue;
        for (const zipmaker::Entry& entry : kEntries) {
            if (!entry.name.endsWith(QLatin1Char('/')))
                EXPECT_EQ(readFile(tree + entry.name), entry.content) << entry.name.toStdString();
        }
        EXPECT_EQ(modeOf(tree + QStringLiteral("Vorlen.exe")), 0755u);
        EXPECT_EQ(modeOf(tree + QStringLiteral("from-windows.dll")), 0644u);
        EXPECT_EQ(modeOf(tree + QStringLiteral("locked")), 0700u);
        EXPECT_EQ(modeOf(tree), 0755u);
        EXPECT_EQ(modeOf(tree + QStringLiteral("deep/er")), 0755u);
    }
    EXPECT_FALSE(QDir(folder + QStringLiteral("/parent")).exists()) << "the folders made for the tree go with it";
}

// Local headers that tell another story than the central directory: the walk follows
// them, the tree is never taken, and extraction reads what the directory says.
TEST(StreamingExtraction, TheCentralDirectoryAloneSaysHowEntriesAreRead)
{
    const rawzip::Mismatch mismatch = rawzip::methodMismatch();
    rawzip::Entry encrypted = rawzip::stored("a", "text");
    encrypted.centralFlags = 1;
    const QByteArray a = pattern(100), b = rawzip::withCrc(pattern(96, 1), rawzip::crc(a));
    QList<rawzip::Entry> swapped{rawzip::stored("a", a), rawzip::stored("b", b)};
    swapped[0].at = rawzip::localRecord(swapped[0]).size();
    swapped[1].at = -swapped[0].at;
    rawzip::Entry outer = rawzip::stored("a", a);  // the directory points at a header in its extra field
    outer.localExtra = rawzip::le(0xCAFE, 2) + rawzip::le(31 + b.size(), 2) + rawzip::localRecord(rawzip::stored("a", b));
    outer.at = 30 + 1 + 4;
    const struct {
        const char* what;
        QByteArray archive;
        QMap<QString, QByteArray> extracted;  // none: extraction refuses the archive
    } cases[] = {
        {"method", mismatch.archive, {{"readme.txt", mismatch.stored}}},
        {"encrypted in the directory", rawzip::archive({encrypted}), {}},
        {"offsets swapped", rawzip::archive(swapped), {{"a", b}, {"b", a}}},
        {"another offset", rawzip::archive({outer}), {{"a", b}}},
    };
    for (const auto& c : cases) {
        const QString folder = sandbox::freshFolder(QStringLiteral("directory-alone"));
        auto tap = std::make_shared<TDownloadTap>();
        StreamingExtraction streaming(tap, folder + QStringLiteral("/tree/"));
        download(*tap, folder + QStringLiteral("/part"), c.archive, Download::Whole);
        const auto written = streaming.Finish();
        ASSERT_TRUE(written) << c.what;
        const ZipArchive archive(folder + QStringLiteral("/part"));
        EXPECT_FALSE(archive.Adopt(*written, streaming.Tree())) << c.what;
        const QString out = folder + QStringLiteral("/out/");
        if (c.extracted.isEmpty()) {
            EXPECT_THROW(archive.ExtractTo(out), EZipError) << c.what;
            continue;
        }
        archive.ExtractTo(out);
        for (auto it = c.extracted.cbegin(); it != c.extracted.cend(); ++it)
            EXPECT_EQ(readFile(out + it.key()), it.value()) << c.what;
    }
}
