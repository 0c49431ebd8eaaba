// An archive as a server or a carried package may bring it: the central directory and
// the local headers read, the archive checked and extracted, and unpacked as it would
// arrive. Whatever the bytes, nothing lands outside the target folder, every file has
// the size and CRC-32 its directory entry declares, and a tree unpacked as the archive
// arrived is adopted only when it is byte for byte the tree the extraction writes.
#include "fuzz_target.h"

#include "archive/streaming_extraction.h"
#include "archive/zip_archive.h"
#include "archive/zip_directory.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <zlib.h>

#include <map>

namespace {

struct Tree {
    std::map<QString, std::pair<QByteArray, QFile::Permissions>> files;
    QStringList folders;
    bool operator==(const Tree&) const = default;
};

Tree treeOf(const QString& folder)
{
    Tree tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(folder).relativeFilePath(path);
        FUZZ_EXPECT(!it.fileInfo().isSymLink());
        if (it.fileInfo().isDir()) {
            tree.folders << relative;
            continue;
        }
        QFile file(path);
        FUZZ_EXPECT(file.open(QIODevice::ReadOnly));
        tree.files[relative] = {file.readAll(), file.permissions()};
    }
    tree.folders.sort();
    return tree;
}

// Every file has the size and CRC-32 of the entry of its path.
void expectDeclared(const Tree& tree, const std::vector<DirectoryEntry>& directory)
{
    for (const auto& [filePath, file] : tree.files) {
        // a lambda may not capture a structured binding before clang 16
        const QString& path = filePath;
        const auto entry = std::find_if(directory.begin(), directory.end(), [&](const DirectoryEntry& e) {
            return QDir::cleanPath(QString::fromUtf8(e.rawName)) == path;
        });
        if (entry == directory.end()) {
            // a name that is not UTF-8 is decoded as the reader guesses, not as here
            FUZZ_EXPECT(std::any_of(directory.begin(), directory.end(), [](const DirectoryEntry& e) {
                return std::any_of(e.rawName.begin(), e.rawName.end(), [](char c) { return c & 0x80; });
            }));
            continue;
        }
        FUZZ_EXPECT(static_cast<uint64_t>(file.first.size()) == entry->size);
        FUZZ_EXPECT(crc32(0, reinterpret_cast<const Bytef*>(file.first.constData()), static_cast<uInt>(file.first.size())) == entry->crc);
    }
}

// The archive unpacked as it arrives into `tree`; the entries written when it came whole.
std::optional<std::vector<StreamedEntry>> streamed(const QByteArray& archive, const QString& part, StreamingExtraction& extraction)
{
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return std::nullopt;
    extraction.Tap()->Opened(part);
    extraction.Tap()->Expect(archive.size());
    for (qsizetype at = 0; at < archive.size(); at += 4093) {
        file.write(archive.mid(at, 4093));
        extraction.Tap()->Grew(std::min<qsizetype>(at + 4093, archive.size()));
    }
    extraction.Tap()->Ended(true);
    return extraction.Finish();
}

}  // namespace

FUZZ_TARGET(zip_directory)
{
    const QByteArray archive(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    std::vector<DirectoryEntry> directory;
    try {
        directory = ReadCentralDirectory(archive);
    } catch (const EZipError&) {
        return;
    }
    static QTemporaryDir work;
    const QString root = work.path() + QStringLiteral("/run");
    platform::deleteTree(root);
    QDir().mkpath(root);
    const QString path = root + QStringLiteral("/vrnsetup.zip");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(archive) != archive.size())
        return;
    file.close();
    if (!ZipArchive::Refusal(path).isEmpty())
        return;
    bool extracted = true;
    try {
        const ZipArchive zip(path);
        zip.Contents();
        try {
            zip.ExtractTo(root + QStringLiteral("/extracted"));
        } catch (const Exception&) {
            extracted = false;
        }
    } catch (const Exception&) {
        return;  // refused by the checks before anything is written
    }
    const Tree afterDownload = treeOf(root + QStringLiteral("/extracted"));
    if (extracted)
        expectDeclared(afterDownload, directory);
    StreamingExtraction extraction(std::make_shared<TDownloadTap>(), root + QStringLiteral("/streamed/"), 1);
    const std::optional<std::vector<StreamedEntry>> written = streamed(archive, root + QStringLiteral("/part"), extraction);
    if (written && ZipArchive(path).Adopt(*written, root + QStringLiteral("/streamed/"))) {
        FUZZ_EXPECT(extracted);
        FUZZ_EXPECT(treeOf(root + QStringLiteral("/streamed")) == afterDownload);
    }
    // nothing but the archive, its part and the two trees
    for (const QString& name : QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        FUZZ_EXPECT(QStringList({QStringLiteral("vrnsetup.zip"), QStringLiteral("part"), QStringLiteral("extracted"),
                                 QStringLiteral("streamed")}).contains(name));
}
