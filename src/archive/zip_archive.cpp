#include "archive/zip_archive.h"

#include "app/crash_point.h"
#include "archive/entry_digest.h"
#include "archive/entry_file.h"
#include "archive/entry_inflater.h"
#include "archive/streaming_extraction.h"
#include "archive/zip_directory.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr mode_t DefaultFolderMode = 0755;
// Below this many files a second thread costs more than it saves.
constexpr size_t FilesPerThread = 32;

// One entry as it will be written: where, what and with which mode.
struct Entry : EntryPlace {
    zip_uint64_t index = 0;
};

QString libzipErrorText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

zip_t* openArchive(const QString& path)
{
    int code = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
    if (!archive)
        throw EZipError(QStringLiteral("Cannot open the archive \"%1\". %2").arg(path, libzipErrorText(code)));
    return archive;
}

Entry describeEntry(zip_t* archive, zip_uint64_t index, mode_t mask)
{
    const char* rawName = zip_get_name(archive, index, ZIP_FL_ENC_GUESS);
    if (!rawName)
        throw EZipError(QStringLiteral("Cannot read the name of entry %1: %2").arg(index).arg(zip_strerror(archive)));
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    zip_file_get_external_attributes(archive, index, 0, &system, &attributes);
    Entry entry;
    static_cast<EntryPlace&>(entry) = PlaceEntry(QString::fromUtf8(rawName), system, attributes, mask);
    entry.index = index;
    return entry;
}

// One stretch of compressed data unpacked as many entries is a known expansion attack.
void refuseSharedData(const std::vector<DirectoryEntry>& directory)
{
    const QString shared = EntryWithSharedData(directory);
    if (!shared.isEmpty())
        RefuseEntry(shared, QStringLiteral("its data overlaps another entry's"));
}

bool declaresAlike(zip_t* archive, zip_uint64_t index, const DirectoryEntry& entry)
{
    zip_stat_t stat;
    zip_stat_init(&stat);
    constexpr zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC;
    // the name too, byte for byte: a NUL byte in it would end the name the reader gives
    const char* rawName = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    return zip_stat_index(archive, index, 0, &stat) == 0 && (stat.valid & needed) == needed && stat.size == entry.size
           && stat.comp_size == entry.compressedSize && stat.comp_method == entry.method && stat.crc == entry.crc
           && rawName && QByteArray(rawName) == entry.rawName;
}

// The central directory as the checks read it, which must be the one libzip extracts.
std::vector<DirectoryEntry> readDirectory(zip_t* archive, const QString& path)
{
    const auto refuse = [&](const QString& why) {
        return EZipError(QStringLiteral("Cannot open the archive \"%1\". %2").arg(path, why));
    };
    std::vector<DirectoryEntry> directory;
    try {
        directory = ReadCentralDirectory(path);
    } catch (const EZipError& error) {
        throw refuse(error.message());
    }
    bool alike = zip_get_num_entries(archive, 0) == static_cast<zip_int64_t>(directory.size());
    for (zip_uint64_t i = 0; alike && i < directory.size(); ++i)
        alike = declaresAlike(archive, i, directory[i]);
    if (!alike)
        throw refuse(QStringLiteral("Its central directory is not the one its reader reads."));
    return directory;
}

// The umask is read once for all entries.
std::vector<Entry> describeEntries(zip_t* archive, mode_t mask)
{
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    std::vector<Entry> entries;
    entries.reserve(static_cast<size_t>(std::max<zip_int64_t>(count, 0)));
    for (zip_int64_t i = 0; i < count; ++i)
        entries.push_back(describeEntry(archive, static_cast<zip_uint64_t>(i), mask));
    RefuseClashingPaths(entries);
    return entries;
}

// Creates the folders below the target folder. A path that leads through a link
// already on disk is refused, so that nothing lands outside the target folder.
class FolderMaker {
public:
    FolderMaker(QByteArray root, mode_t mask) : m_root(std::move(root)), m_mask(mask) {}

    void make(const QByteArray& relative, const QString& entryName)
    {
        if (relative.isEmpty() || m_made.count(relative))
            return;
        const qsizetype slash = relative.lastIndexOf('/');
        if (slash > 0)
            make(relative.left(slash), entryName);
        const QByteArray full = m_root + '/' + relative;
        // only what was there already needs a look
        if (::mkdir(full.constData(), UsualFolderMode(m_mask)) != 0) {
            struct stat info {};
            if (errno != EEXIST || ::lstat(full.constData(), &info) != 0)
                throw fileCreateError(QFile::decodeName(full), systemErrorText(errno));
            if (S_ISLNK(info.st_mode))
                RefuseEntry(entryName, QStringLiteral("\"%1\" is a link").arg(QFile::decodeName(full)));
            if (!S_ISDIR(info.st_mode))
                throw fileCreateError(QFile::decodeName(full), QStringLiteral("A file of that name is in the way."));
            m_existing.insert(relative);
        }
        m_made.insert(relative);
    }

    // A folder made here has the usual mode already.
    bool madeWith(const QByteArray& relative, mode_t mode) const
    {
        return !m_existing.count(relative) && mode == MadeFolderMode(m_mask);
    }

private:
    QByteArray m_root;
    mode_t m_mask;
    std::set<QByteArray> m_made;
    std::set<QByteArray> m_existing;
};

void extractFile(zip_t* archive, const Entry& entry, const QByteArray& root, mode_t mask, EntryInflater& inflater)
{
    WriteEntryFile(root + '/' + entry.path, entry.mode, mask,
                   [&](const EntrySink& sink) { inflater.Inflate(archive, entry.index, entry.name, sink); });
}

// Folder modes last, so that a read-only folder does not stop its own files; a folder
// made with its mode keeps it.
template <typename MadeWith>
void setFolderModes(const std::vector<Entry>& entries, const QByteArray& root, const MadeWith& madeWith)
{
    for (const Entry& entry : entries) {
        if (entry.isFolder && !entry.path.isEmpty() && !madeWith(entry.path, entry.mode))
            ::chmod((root + '/' + entry.path).constData(), entry.mode);
    }
}

QByteArray rootOf(const QString& folder)
{
    return QFile::encodeName(platform::withoutTrailingSeparator(folder));
}

// Hands out the files to the extracting threads, and keeps the first error. Each thread
// takes the files of its own share of the archive one after another, then helps with the
// others' shares: a folder takes its new files one at a time, and the shares lie mostly in
// different folders.
class FileQueue {
public:
    FileQueue(const std::vector<const Entry*>& files, size_t threads) : m_files(files), m_shares(threads)
    {
        for (size_t share = 0; share < threads; ++share) {
            m_shares[share].next = share * files.size() / threads;
            m_shares[share].end = (share + 1) * files.size() / threads;
        }
    }

    const Entry* next(size_t thread)
    {
        if (m_failed)
            return nullptr;
        for (size_t i = 0; i < m_shares.size(); ++i) {
            Share& share = m_shares[(thread + i) % m_shares.size()];
            const size_t index = share.next.fetch_add(1);
            if (index < share.end)
                return m_files[index];
        }
        return nullptr;
    }

    void fail(std::exception_ptr error)
    {
        std::lock_guard lock(m_mutex);
        if (!m_error)
            m_error = error;
        m_failed = true;
    }

    void rethrow() const
    {
        if (m_error)
            std::rethrow_exception(m_error);
    }

private:
    struct Share {
        std::atomic<size_t> next{0};
        size_t end = 0;
    };

    const std::vector<const Entry*>& m_files;
    std::vector<Share> m_shares;
    std::atomic<bool> m_failed{false};
    std::mutex m_mutex;
    std::exception_ptr m_error;
};

void extractFiles(const QString& archivePath, zip_t* shared, FileQueue& queue, size_t thread, const QByteArray& root,
                  mode_t mask)
{
    try {
        // libzip handles are not shared between threads: each thread but the caller opens its own
        const std::unique_ptr<zip_t, void (*)(zip_t*)> own(shared ? nullptr : openArchive(archivePath), zip_discard);
        zip_t* archive = shared ? shared : own.get();
        EntryInflater inflater;
        while (const Entry* entry = queue.next(thread)) {
            extractFile(archive, *entry, root, mask, inflater);
            CrashPoint("a file was extracted");
        }
    } catch (...) {
        queue.fail(std::current_exception());
    }
}

int threadCount(int requested, size_t files)
{
    if (requested > 0)
        return requested;
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return static_cast<int>(std::clamp<size_t>(files / FilesPerThread, 1, static_cast<size_t>(cores)));
}

}  // namespace

bool ZipArchive::IsValid(const QString& path)
{
    return Refusal(path).isEmpty();
}

QString ZipArchive::Refusal(const QString& path)
{
    QString refusal;
    Open(path, refusal);
    return refusal;
}

std::unique_ptr<ZipArchive> ZipArchive::Open(const QString& path, QString& refusal)
{
    const QFileInfo file(path);
    refusal.clear();
    if (!file.exists()) {
        refusal = QStringLiteral("The archive \"%1\" does not exist.").arg(path);
        return nullptr;
    }
    // libzip opens an empty file as an empty archive, but it has no directory record
    if (file.size() == 0) {
        refusal = QStringLiteral("The archive \"%1\" is empty.").arg(path);
        return nullptr;
    }
    try {
        return std::make_unique<ZipArchive>(path);
    } catch (const EZipError& error) {
        refusal = error.message();
        return nullptr;
    }
}

// An install asks for the contents and then writes or adopts them: describing every
// entry, with its checks, is done once for both, under the umask of that moment.
struct ZipArchive::DescribedEntries {
    mode_t mask = 0;
    std::vector<Entry> entries;
};

const ZipArchive::DescribedEntries& ZipArchive::described() const
{
    const mode_t mask = static_cast<mode_t>(platform::fileCreationMask());
    if (!m_described || m_described->mask != mask)
        m_described = std::make_unique<DescribedEntries>(DescribedEntries{mask, describeEntries(m_zip, mask)});
    return *m_described;
}

ZipArchive::ZipArchive(const QString& path) : m_path(path), m_zip(openArchive(path))
{
    try {
        m_directory = readDirectory(m_zip, path);
    } catch (...) {
        zip_discard(m_zip);
        throw;
    }
}

ZipArchive::~ZipArchive()
{
    zip_discard(m_zip);
}

qint64 ZipArchive::EntryCount() const
{
    return zip_get_num_entries(m_zip, 0);
}

ZipContents ZipArchive::Contents() const
{
    refuseSharedData(m_directory);
    ZipContents contents;
    for (const Entry& entry : described().entries) {
        if (entry.path.isEmpty())
            continue;
        const QString path = QFile::decodeName(entry.path);
        contents.paths << path;
        if (const std::optional<QByteArray> digest = entry.isFolder ? std::nullopt : EntryDigestOf(m_zip, entry.index))
            contents.digests[path] = *digest;
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (!entry.isFolder && zip_stat_index(m_zip, entry.index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE))
            contents.unpackedBytes += static_cast<qint64>(stat.size);
    }
    return contents;
}

void ZipArchive::ExtractTo(const QString& folder, int threads) const
{
    // every entry is checked before the first byte is written
    refuseSharedData(m_directory);
    const auto& [mask, entries] = described();
    const QByteArray root = rootOf(folder);
    if (::mkdir(root.constData(), DefaultFolderMode) == 0)
        platform::markTreeTop(root);
    else if (errno != EEXIST)
        throw fileCreateError(folder, systemErrorText(errno));

    FolderMaker folders(root, mask);
    std::vector<const Entry*> files;
    for (const Entry& entry : entries) {
        const qsizetype slash = entry.path.lastIndexOf('/');
        folders.make(entry.isFolder ? entry.path : entry.path.left(std::max<qsizetype>(slash, 0)), entry.name);
        if (!entry.isFolder)
            files.push_back(&entry);
    }

    const size_t threadsUsed = static_cast<size_t>(threadCount(threads, files.size()));
    FileQueue queue(files, threadsUsed);
    std::vector<std::thread> helpers;
    for (size_t thread = 1; thread < threadsUsed; ++thread)
        helpers.emplace_back(extractFiles, m_path, nullptr, std::ref(queue), thread, std::cref(root), mask);
    extractFiles(m_path, m_zip, queue, 0, root, mask);
    for (std::thread& helper : helpers)
        helper.join();
    queue.rethrow();
    setFolderModes(entries, root, [&](const QByteArray& path, mode_t mode) { return folders.madeWith(path, mode); });
}

bool ZipArchive::Adopt(const std::vector<StreamedEntry>& written, const QString& folder) const
{
    const std::optional<std::vector<const StreamedEntry*>> streamed = StreamedEntriesOf(m_directory, written);
    if (!streamed)
        return false;
    const auto& [mask, entries] = described();
    for (const Entry& entry : entries) {
        const StreamedEntry& placed = *(*streamed)[entry.index];
        if (placed.path != entry.path || placed.isFolder != entry.isFolder)
            return false;
    }
    // the tree was written with the usual modes, unseen by others until now
    const QByteArray root = rootOf(folder);
    for (const Entry& entry : entries) {
        const QByteArray path = root + '/' + entry.path;
        if (!entry.isFolder && entry.mode != StreamedFileMode(mask) && ::chmod(path.constData(), entry.mode) != 0)
            throw fileWriteError(QFile::decodeName(path), systemErrorText(errno));
    }
    setFolderModes(entries, root, [&](const QByteArray&, mode_t mode) { return mode == StreamedFolderMode(mask); });
    if (::chmod(root.constData(), DefaultFolderMode & ~mask) != 0)
        throw fileWriteError(folder, systemErrorText(errno));
    return true;
}
