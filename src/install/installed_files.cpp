#include "install/installed_files.h"

#include "platform/platform_errors.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSaveFile>
#include <QStringEncoder>

#include <charconv>
#include <thread>

namespace {

// A path in UTF-8 straight into the list, without a string of its own.
void appendUtf8(QByteArray& text, QStringView path)
{
    QStringEncoder toUtf8(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
    const qsizetype at = text.size();
    text.resize(at + toUtf8.requiredSpace(path.size()));
    text.truncate(toUtf8.appendToBuffer(text.data() + at, path) - text.constData());
}

void appendHex(QByteArray& text, const QByteArray& bytes)
{
    static constexpr char Digits[] = "0123456789abcdef";
    const qsizetype at = text.size();
    text.resize(at + 2 * bytes.size());
    char* out = text.data() + at;
    for (const char byte : bytes) {
        *out++ = Digits[static_cast<uchar>(byte) >> 4];
        *out++ = Digits[static_cast<uchar>(byte) & 0xF];
    }
}

template <typename Number>
void appendNumber(QByteArray& text, Number number)
{
    char digits[24];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr - digits);
    text.append(' ');
}

// "\t<sha256 hex> <size> <modified ns> <changed ns> <inode> <path>", written straight into
// the list: an installation of 20,000 files has as many records
void appendRecordLine(QByteArray& text, const QString& path, const InstalledFileRecord& record)
{
    const platform::FileStamp& stamp = record.stamp;
    text.append('\t');
    appendHex(text, record.sha256);
    text.append(' ');
    appendNumber(text, stamp.size);
    appendNumber(text, stamp.modifiedNs);
    appendNumber(text, stamp.changedNs);
    appendNumber(text, stamp.inode);
    appendUtf8(text, path);
    text.append('\n');
}

std::optional<std::pair<QString, InstalledFileRecord>> parseRecord(const QByteArray& line)
{
    const QList<QByteArray> fields = line.mid(1).split(' ');
    if (fields.size() < 6 || fields[0].size() != 64)
        return std::nullopt;
    InstalledFileRecord record;
    record.sha256 = QByteArray::fromHex(fields[0]);
    bool ok[4] = {};
    record.stamp = {fields[1].toLongLong(&ok[0]), fields[2].toLongLong(&ok[1]), fields[3].toLongLong(&ok[2]),
                    fields[4].toULongLong(&ok[3])};
    if (record.sha256.size() != 32 || !(ok[0] && ok[1] && ok[2] && ok[3]))
        return std::nullopt;
    const qsizetype pathStart = fields[0].size() + fields[1].size() + fields[2].size() + fields[3].size() + fields[4].size() + 6;
    return std::pair(QString::fromUtf8(line.mid(pathStart)), record);
}

// The list goes out in pieces of one buffer: for 20,000 files it is megabytes long, and
// fresh memory costs more to touch than the same buffer used again.
void write(const QString& tree, const std::set<QString>& placed, const std::map<QString, InstalledFileRecord>& records)
{
    QSaveFile file(tree + InstalledFilesListName);
    const auto fail = [&] { throw fileWriteError(tree + InstalledFilesListName, file.errorString()); };
    if (!file.open(QIODevice::WriteOnly))
        fail();
    constexpr qsizetype PieceBytes = 256 << 10;
    QByteArray text;
    text.reserve(PieceBytes + 4096);
    const auto writeOut = [&](qsizetype atLeast) {
        if (text.size() < atLeast)
            return;
        if (file.write(text) != text.size())
            fail();
        text.resize(0);
    };
    for (const QString& path : placed) {
        appendUtf8(text, path);
        text.append('\n');
        writeOut(PieceBytes);
    }
    for (const auto& [path, record] : records) {
        appendRecordLine(text, path, record);
        writeOut(PieceBytes);
    }
    writeOut(0);
    if (!file.commit())
        fail();
}

QByteArray digestOfFile(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result();
}

// Each file's stamp, in the order of `digests`: a large tree is looked at by two threads,
// the second taking the later half.
std::vector<std::optional<platform::FileStamp>> stampsOf(const QString& tree, const std::map<QString, QByteArray>& digests)
{
    std::vector<const QString*> paths;
    paths.reserve(digests.size());
    for (const auto& entry : digests)
        paths.push_back(&entry.first);
    std::vector<std::optional<platform::FileStamp>> stamps(paths.size());
    const platform::FolderStamps files(tree);
    const auto look = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            stamps[i] = files.of(*paths[i]);
    };
    constexpr size_t FilesForASecondThread = 2000;
    const size_t half = paths.size() < FilesForASecondThread ? paths.size() : paths.size() / 2;
    {
        std::jthread later;
        if (half < paths.size())
            later = std::jthread(look, half, paths.size());
        look(0, half);
    }
    return stamps;
}

std::optional<InstalledFiles> readList(const QString& tree, bool withRecords)
{
    QFile file(tree + InstalledFilesListName);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    InstalledFiles files;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith('\t')) {
            if (!withRecords)
                continue;
            // the list is written in order: each line goes after the last one
            if (const auto record = parseRecord(line))
                files.records.insert(files.records.end(), *record);
        } else if (!line.isEmpty()) {
            files.placed.insert(files.placed.end(), QString::fromUtf8(line));
        }
    }
    return files;
}

// Every path placed and the folders above each. The paths mostly come in order, and most
// share their folders with the path before: those are in the set already.
std::set<QString> withFolders(const QStringList& placed)
{
    std::set<QString> paths;
    QStringView last;
    for (const QString& path : placed) {
        for (qsizetype slash = path.indexOf(QLatin1Char('/')); slash > 0; slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
            if (!last.startsWith(QStringView(path).left(slash + 1)))
                paths.insert(path.left(slash));
        }
        paths.emplace_hint(paths.end(), path);
        last = path;
    }
    return paths;
}

}  // namespace

std::optional<InstalledFiles> ReadInstalledFiles(const QString& tree)
{
    return readList(tree, true);
}

std::optional<std::set<QString>> ReadInstalledPaths(const QString& tree)
{
    std::optional<InstalledFiles> files = readList(tree, false);
    return files ? std::optional(std::move(files->placed)) : std::nullopt;
}

void WriteInstalledFilesList(const QString& tree, const QStringList& placed, const std::map<QString, QByteArray>& digests)
{
    const std::set<QString> paths = withFolders(placed);
    const std::vector<std::optional<platform::FileStamp>> stamps = stampsOf(tree, digests);
    std::map<QString, InstalledFileRecord> records;
    auto stamp = stamps.begin();
    for (const auto& [path, digest] : digests) {
        // the digests come in the records' order
        if (*stamp)
            records.emplace_hint(records.end(), path, InstalledFileRecord{digest, **stamp});
        ++stamp;
    }
    write(tree, paths, records);
}

void RefreshInstalledRecords(const QString& tree)
{
    std::optional<InstalledFiles> files = ReadInstalledFiles(tree);
    if (!files)
        return;
    bool moved = false;
    const platform::FolderStamps stamps(tree);
    for (auto& [path, record] : files->records) {
        const std::optional<platform::FileStamp> now = stamps.of(path);
        if (now && now->size == record.stamp.size && now->modifiedNs == record.stamp.modifiedNs
            && now->inode == record.stamp.inode && now->changedNs != record.stamp.changedNs) {
            record.stamp = *now;
            moved = true;
        }
    }
    try {
        if (moved)
            write(tree, files->placed, files->records);
    } catch (const Exception&) {
    }
}

std::optional<QByteArray> InstalledFileDigest(const QString& tree, const QString& relative, qint64 size,
                                              const InstalledFiles& files, platform::FileStamp* stampSeen)
{
    const std::optional<platform::FileStamp> stamp = platform::fileStamp(tree + relative);
    if (!stamp || stamp->size != size)
        return std::nullopt;
    if (stampSeen)
        *stampSeen = *stamp;
    const auto record = files.records.find(relative);
    if (record != files.records.end() && record->second.stamp == *stamp)
        return record->second.sha256;
    const QByteArray digest = digestOfFile(tree + relative);
    return digest.isEmpty() ? std::nullopt : std::optional(digest);
}
