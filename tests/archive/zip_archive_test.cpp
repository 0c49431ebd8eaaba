// The setup archive: validity, entry count, extraction that nothing in the archive can
// escape, permission bits, replacing installed files, both cores.
#include "archive/zip_archive.h"
#include "install/install_test_support.h"
#include "raw_zip.h"
#include "zip_maker.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace installtest;

TEST(ZipArchive, ValidityAndEntryCount)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("valid"));
    const QString good = folder + QStringLiteral("/good.zip");
    zipmaker::write(good, {zipmaker::folder(QStringLiteral("bin/")), zipmaker::file(QStringLiteral("bin/a"), "a"),
                           zipmaker::file(QStringLiteral("b"), "b")});
    const QByteArray bytes = readFile(good);
    writeFile(folder + QStringLiteral("/empty.zip"), "");
    writeFile(folder + QStringLiteral("/text.zip"), "not an archive at all, but long enough to be one");
    writeFile(folder + QStringLiteral("/cut.zip"), bytes.left(bytes.size() - 10));
    const std::pair<const char*, bool> cases[] = {
        {"good.zip", true}, {"empty.zip", false}, {"text.zip", false}, {"cut.zip", false}, {"missing.zip", false}};
    for (const auto& [name, valid] : cases)
        EXPECT_EQ(ZipArchive::IsValid(folder + QLatin1Char('/') + QLatin1String(name)), valid) << name;

    EXPECT_EQ(ZipArchive(good).EntryCount(), 3) << "folder entries count like files";
    EXPECT_THROW(ZipArchive(folder + QStringLiteral("/text.zip")), EZipError);
}

TEST(ZipArchive, ExtractsContentFoldersAndPermissionBits)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("modes"));
    const QByteArray big = pattern(3 << 20);
    struct Case {
        zipmaker::Entry entry;
        unsigned expectedMode;
    };
    const Case cases[] = {
        {zipmaker::file(QStringLiteral("Vorlen.exe"), "exe", 0100755), 0755},
        {zipmaker::file(QStringLiteral("private.txt"), "p", 0100600), 0600},
        {zipmaker::file(QStringLiteral("readonly.txt"), "r", 0100444), 0644},
        {zipmaker::file(QStringLiteral("setuid"), "s", 0104755), 0755},
        {zipmaker::file(QStringLiteral("from-windows.dll"), "w", std::nullopt), 0644},
        {zipmaker::Entry{QStringLiteral("deep/er/stored.bin"), big, 0100644, false}, 0644},
        {zipmaker::file(QStringLiteral("deep/deflated.bin"), big), 0644},
        {zipmaker::folder(QStringLiteral("locked/"), 040500), 0700},
        {zipmaker::folder(QStringLiteral("windows-folder/"), std::nullopt), 0755},
        {zipmaker::file(QStringLiteral("./dot/./file"), "d"), 0644},
    };
    QList<zipmaker::Entry> entries;
    for (const Case& c : cases)
        entries << c.entry;
    zipmaker::write(folder + QStringLiteral("/a.zip"), entries);

    const QString target = folder + QStringLiteral("/install/");
    ZipArchive(folder + QStringLiteral("/a.zip")).ExtractTo(target);
    for (const Case& c : cases) {
        const QString path = target + QDir::cleanPath(c.entry.name);
        EXPECT_EQ(modeOf(path), c.expectedMode) << c.entry.name.toStdString();
        if (!c.entry.name.endsWith(QLatin1Char('/'))) {
            EXPECT_EQ(readFile(path), c.entry.content) << c.entry.name.toStdString();
        }
    }
    EXPECT_EQ(modeOf(target + QStringLiteral("deep/er")), 0755u) << "folders made for files get 0755";
}

TEST(ZipArchive, ReplacesInstalledFilesAndLinks)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("overwrite"));
    const QString outside = sandbox::freshFolder(QStringLiteral("overwrite-outside"));
    writeFile(outside + QStringLiteral("/precious"), "keep");
    const QString target = folder + QStringLiteral("/install");
    QDir().mkpath(target);
    writeFile(target + QStringLiteral("/old.exe"), "old old old", 0755);
    writeFile(target + QStringLiteral("/readonly"), "old", 0444);
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/precious"), target + QStringLiteral("/linked")));

    zipmaker::write(folder + QStringLiteral("/a.zip"),
                    {zipmaker::file(QStringLiteral("old.exe"), "new", 0100644),
                     zipmaker::file(QStringLiteral("readonly"), "new", std::nullopt),
                     zipmaker::file(QStringLiteral("linked"), "new")});
    ZipArchive(folder + QStringLiteral("/a.zip")).ExtractTo(target);
    for (const char* name : {"old.exe", "readonly", "linked"}) {
        const QString path = target + QLatin1Char('/') + QLatin1String(name);
        EXPECT_EQ(readFile(path), QByteArray("new")) << name;
        EXPECT_EQ(modeOf(path), 0644u) << name;
        EXPECT_FALSE(QFileInfo(path).isSymLink()) << name;
    }
    EXPECT_EQ(readFile(outside + QStringLiteral("/precious")), QByteArray("keep"));
}

TEST(ZipArchive, UnsafeEntriesAreRefusedBeforeAnythingIsWritten)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("unsafe"));
    const QString target = folder + QStringLiteral("/install");
    const QString outside = sandbox::freshFolder(QStringLiteral("unsafe-outside"));
    const struct {
        const char* what;
        QList<zipmaker::Entry> entries;
    } cases[] = {
        {"parent path", {zipmaker::file(QStringLiteral("../outside"), "x")}},
        {"parent inside", {zipmaker::file(QStringLiteral("a/../../outside"), "x")}},
        {"absolute path", {zipmaker::file(QStringLiteral("/abs/path"), "x")}},
        {"drive path", {zipmaker::file(QStringLiteral("C:/abs/path"), "x")}},
        {"link to home", {zipmaker::link(QStringLiteral("home"), sandbox::home())}},
        {"link then file through it",
         {zipmaker::link(QStringLiteral("out"), outside), zipmaker::file(QStringLiteral("out/planted"), "x")}},
        {"unsafe entry last", {zipmaker::file(QStringLiteral("fine"), "x"), zipmaker::file(QStringLiteral("../x"), "x")}},
        {"one path twice", {zipmaker::file(QStringLiteral("a/b"), "1"), zipmaker::file(QStringLiteral("a/./b"), "2")}},
        {"one path twice by slashes", {zipmaker::file(QStringLiteral("a/b"), "1"), zipmaker::file(QStringLiteral("a//b"), "2")}},
        {"file and folder", {zipmaker::file(QStringLiteral("a"), "1"), zipmaker::file(QStringLiteral("a/b"), "2")}},
        {"file and folder entry", {zipmaker::folder(QStringLiteral("a/")), zipmaker::file(QStringLiteral("./a"), "2")}},
    };
    for (const auto& c : cases) {
        QDir(target).removeRecursively();
        zipmaker::write(folder + QStringLiteral("/bad.zip"), c.entries);
        const QStringList before = treeOf(sandbox::root());
        EXPECT_THROW(ZipArchive(folder + QStringLiteral("/bad.zip")).ExtractTo(target), EZipUnsafeEntry) << c.what;
        QStringList after = treeOf(sandbox::root());
        after.removeAll(target);  // the empty install folder may be made; nothing else
        EXPECT_EQ(after.join(QLatin1Char('\n')).toStdString(), before.join(QLatin1Char('\n')).toStdString()) << c.what;
        EXPECT_TRUE(QDir(target).isEmpty()) << c.what;
    }
}

TEST(ZipArchive, PathThroughALinkOnDiskIsRefused)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("link-on-disk"));
    const QString outside = sandbox::freshFolder(QStringLiteral("link-on-disk-outside"));
    const QString target = folder + QStringLiteral("/install");
    QDir().mkpath(target);
    ASSERT_TRUE(QFile::link(outside, target + QStringLiteral("/data")));
    zipmaker::write(folder + QStringLiteral("/a.zip"), {zipmaker::file(QStringLiteral("data/planted"), "x")});
    EXPECT_THROW(ZipArchive(folder + QStringLiteral("/a.zip")).ExtractTo(target), EZipUnsafeEntry);
    EXPECT_TRUE(QDir(outside).isEmpty());
}

TEST(ZipArchive, ManyEntriesOnSeveralThreads)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("many"));
    const int count = 400;
    auto name = [](int i) { return QStringLiteral("d%1/f%2.bin").arg(i % 7).arg(i); };
    auto content = [](int i) { return pattern(1000 + i * 37, i); };
    zipmaker::writeGenerated(folder + QStringLiteral("/many.zip"), count, name, content);
    for (int threads : {1, 2, 4}) {
        const QString target = folder + QStringLiteral("/t%1/").arg(threads);
        ZipArchive(folder + QStringLiteral("/many.zip")).ExtractTo(target, threads);
        int wrong = 0;
        for (int i = 0; i < count; ++i)
            wrong += readFile(target + name(i)) != content(i);
        EXPECT_EQ(wrong, 0) << threads << " threads";
    }

    // a failure on any thread reaches the caller
    const QString blocked = folder + QStringLiteral("/blocked/");
    QDir().mkpath(blocked + name(count / 2) + QStringLiteral("/in-the-way"));
    EXPECT_THROW(ZipArchive(folder + QStringLiteral("/many.zip")).ExtractTo(blocked, 2), EFCreateError);
}

TEST(ZipArchive, DamagedEntryIsAnError)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("damaged"));
    const QByteArray content = pattern(200000);
    zipmaker::write(folder + QStringLiteral("/a.zip"), {zipmaker::Entry{QStringLiteral("f"), content, 0100644, false}});
    QByteArray bytes = readFile(folder + QStringLiteral("/a.zip"));
    const qsizetype at = bytes.indexOf(content.left(64));
    ASSERT_GT(at, 0);
    bytes[at + 1000] = static_cast<char>(bytes[at + 1000] ^ 0x55);  // the checksum no longer matches
    writeFile(folder + QStringLiteral("/a.zip"), bytes);
    EXPECT_THROW(ZipArchive(folder + QStringLiteral("/a.zip")).ExtractTo(folder + QStringLiteral("/out")), EZipError);
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/out/f"))) << "no half-written file is left";
}

TEST(ZipArchive, RestoredModesFollowTheUmask)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("umask"));
    zipmaker::write(folder + QStringLiteral("/a.zip"), {zipmaker::folder(QStringLiteral("open/"), 040777),
                                                        zipmaker::file(QStringLiteral("open/run"), "x", 0100777),
                                                        zipmaker::file(QStringLiteral("doc"), "d", std::nullopt)});
    const struct {
        mode_t umask;
        unsigned folderMode, runMode, docMode;
    } cases[] = {{022, 0755, 0755, 0644}, {077, 0700, 0700, 0600}, {0277, 0700, 0700, 0600}};
    // one archive for all: what it described under one umask is not written under another
    const ZipArchive archive(folder + QStringLiteral("/a.zip"));
    archive.Contents();
    for (const auto& c : cases) {
        const mode_t previous = ::umask(c.umask);
        const QString target = folder + QStringLiteral("/install%1/").arg(c.umask, 0, 8);
        archive.ExtractTo(target);
        ::umask(previous);
        EXPECT_EQ(modeOf(target + QStringLiteral("open")), c.folderMode) << c.umask;
        EXPECT_EQ(modeOf(target + QStringLiteral("open/run")), c.runMode) << c.umask;
        EXPECT_EQ(modeOf(target + QStringLiteral("doc")), c.docMode) << c.umask;
    }
}

namespace {

// Points the second entry of the central directory at the first entry's data.
QByteArray withSharedData(QByteArray zip)
{
    const qsizetype first = zip.indexOf("PK\x01\x02");
    const qsizetype second = zip.indexOf("PK\x01\x02", first + 4);
    zip.replace(second + 42, 4, zip.mid(first + 42, 4));
    return zip;
}

}  // namespace

// The setup and vrn-publish take the same archives: what the setup can install safely.
TEST(ZipArchive, SetupAndPublishingToolAgreeOnValidArchives)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("agree"));
    zipmaker::write(folder + QStringLiteral("/good.zip"),
                    {zipmaker::file(QStringLiteral("a1"), "same"), zipmaker::file(QStringLiteral("a2"), "same")});
    const QByteArray good = readFile(folder + QStringLiteral("/good.zip"));
    zipmaker::write(folder + QStringLiteral("/twice.zip"),
                    {zipmaker::file(QStringLiteral("a"), "1"), zipmaker::file(QStringLiteral("./a"), "2")});
    // the data of "b" starts where its local header, hidden in the extra field of "a", says: on the data of "a"
    rawzip::Entry a = rawzip::stored("a", "shared"), b = rawzip::stored("b", "shared");
    a.localExtra = QByteArray(6, 'x') + rawzip::localRecord(b).left(31);
    b.at = 31 + 6 - rawzip::localRecord(a).size();
    const struct {
        const char* what;
        QByteArray bytes;
        bool valid;
    } cases[] = {
        {"as made", good, true},
        {"data after it", good + QByteArray(300, 'T'), true},
        {"data in front of it", QByteArray(300, 'S') + good, false},
        {"empty", QByteArray(), false},
        {"entries sharing data", withSharedData(good), false},
        {"one path twice", readFile(folder + QStringLiteral("/twice.zip")), false},
        {"data shared through a local extra field", rawzip::archive({a, b}), false},
        {"an end record in another's comment", rawzip::endRecordInComment(), false},
        {"an end record's signature in the comment",
         rawzip::archive({rawzip::stored("a", "1")}, QByteArray("PK\x05\x06", 4) + QByteArray(40, 'x')), true},
    };
    for (const auto& c : cases) {
        const QString archive = folder + QStringLiteral("/case.zip");
        writeFile(archive, c.bytes);
        bool setupTakesIt = ZipArchive::IsValid(archive);
        if (setupTakesIt) {
            try {
                ZipArchive(archive).Contents();
            } catch (const EZipError&) {
                setupTakesIt = false;
            }
        }
        EXPECT_EQ(setupTakesIt, c.valid) << c.what;
        const ProcessResult published = runProcess(
            builtProgram(QStringLiteral("vrn-publish")),
            {QStringLiteral("--zip"), archive, QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--number"),
             QStringLiteral("1"), folder + QStringLiteral("/release")});
        EXPECT_EQ(published.exitCode == 0, c.valid) << c.what << published.err.toStdString();
        if (!c.valid) {
            EXPECT_TRUE(published.err.contains("no archive the setup can install")) << c.what << published.err.toStdString();
        }
    }
}
