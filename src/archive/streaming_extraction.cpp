#include "archive/streaming_extraction.h"

#include "app/crash_point.h"
#include "archive/entry_file.h"
#include "archive/entry_inflater.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t LocalHeaderSignature = 0x04034b50;
constexpr uint32_t CentralHeaderSignature = 0x02014b50;
constexpr uint32_t EndOfDirectorySignature = 0x06054b50;
constexpr qint64 LocalHeaderSize = 30;
// encrypted (bit 0), sizes in a descriptor after the data (bit 3), strong encryption (bit 6)
constexpr uint16_t UnfollowableFlags = 0x0001 | 0x0008 | 0x0040;
constexpr uint16_t Utf8NameFlag = 0x0800;
constexpr uint32_t Zip64Marker = 0xffffffff;
// What the disk keeps free besides the rest of the download: the unpacked tree never
// takes the room the archive itself still needs.
constexpr qint64 SpareRoom = 64 << 20;
// The free space is looked at once per this many bytes written, well within the spare room.
constexpr uint64_t RoomCheckBytes = 16 << 20;
// How much of the part the walk reads at once.
constexpr size_t WindowBytes = 1 << 20;

// Why the head start ends; never shown, the job then extracts as it always did.
struct Unfollowable {};

uint16_t le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const unsigned char* p)
{
    return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16;
}

void readAt(int fd, void* data, size_t size, uint64_t offset)
{
    if (ReadFileAt(fd, data, size, offset) != size)
        throw Unfollowable{};
}

// The folders that `folder` needs made, outermost first.
QStringList missingFolders(const QString& folder)
{
    QStringList missing;
    for (QDir dir(folder); !dir.exists() && !dir.isRoot(); dir.setPath(QFileInfo(dir.path()).path()))
        missing.prepend(dir.path());
    return missing;
}

// How many queued entries a worker looks through for one of a folder nobody writes in.
constexpr size_t FolderLookahead = 256;

QByteArrayView folderOf(const StreamedEntry& entry)
{
    return QByteArrayView(entry.path).first(std::max<qsizetype>(entry.path.lastIndexOf('/'), 0));
}

// A name the finished archive's reader decodes alike: ASCII, or UTF-8 that says so.
QString decodedName(const QByteArray& raw, uint16_t flags)
{
    const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const QString name = QString::fromUtf8(raw);
    if (!ascii && (!(flags & Utf8NameFlag) || name.toUtf8() != raw))
        throw Unfollowable{};
    return name;
}

}  // namespace

mode_t StreamedFileMode(mode_t mask)
{
    return UsualFileMode(mask);
}

mode_t StreamedFolderMode(mode_t mask)
{
    return MadeFolderMode(mask);
}

StreamingExtraction::StreamingExtraction(std::shared_ptr<TDownloadTap> tap, QString tree, int threads)
    : m_tap(std::move(tap)), m_tree(std::move(tree)), m_mask(static_cast<mode_t>(platform::fileCreationMask())),
      m_uncheckedBytes(RoomCheckBytes)
{
    m_root = QFile::encodeName(platform::withoutTrailingSeparator(m_tree));
    platform::deleteTree(m_tree);
    const QString parent = QFileInfo(QFile::decodeName(m_root)).path();
    m_made = missingFolders(parent);
    // the owner's alone until it is taken: its files are written with the usual modes
    if (!platform::forceDirectories(parent) || ::mkdir(m_root.constData(), S_IRWXU) != 0) {
        m_failed = true;
        return;
    }
    platform::markTreeTop(m_root);
    const int workers = threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    m_threads.emplace_back(&StreamingExtraction::scan, this);
    m_writingIn.resize(static_cast<size_t>(workers));
    for (size_t worker = 0; worker < m_writingIn.size(); ++worker)
        m_threads.emplace_back(&StreamingExtraction::work, this, worker);
}

StreamingExtraction::~StreamingExtraction()
{
    m_tap->GiveUp();
    abandon();
    for (std::thread& thread : m_threads)
        thread.join();
    Discard();
    for (auto it = m_made.crbegin(); it != m_made.crend(); ++it)
        QDir().rmdir(*it);
}

std::optional<std::vector<StreamedEntry>> StreamingExtraction::Finish()
{
    // the download is over: a wait for bytes that never came ends now
    m_tap->Close();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
    if (m_failed || !m_complete || !m_tap->EndedWhole()) {
        Discard();
        return std::nullopt;
    }
    return std::vector<StreamedEntry>(m_entries.begin(), m_entries.end());
}

void StreamingExtraction::Discard()
{
    platform::deleteTree(m_tree);
}

void StreamingExtraction::abandon()
{
    {
        const std::lock_guard lock(m_mutex);
        m_failed = true;
    }
    m_queued.notify_all();
}

void StreamingExtraction::scan()
{
    try {
        if (m_tap->WaitFor(4)) {
            m_fd = m_tap->ReadHandle();
            if (m_fd < 0)
                throw Unfollowable{};
            uint64_t offset = 0;
            while (!m_failed && scanEntry(offset))
                ;
        }
    } catch (...) {
        // an unsafe path, a folder that cannot be made, a format not followed
        m_failed = true;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_scanned = true;
    }
    m_queued.notify_all();
}

bool StreamingExtraction::scanEntry(uint64_t& offset)
{
    unsigned char header[LocalHeaderSize];
    if (!m_tap->WaitFor(static_cast<qint64>(offset) + 4))
        throw Unfollowable{};
    readAhead(header, 4, offset);
    const uint32_t signature = le32(header);
    if (signature == CentralHeaderSignature || signature == EndOfDirectorySignature) {
        m_complete = true;
        return false;
    }
    if (signature != LocalHeaderSignature || !m_tap->WaitFor(static_cast<qint64>(offset + LocalHeaderSize)))
        throw Unfollowable{};
    readAhead(header, LocalHeaderSize, offset);

    StreamedEntry entry;
    const uint16_t flags = le16(header + 6);
    entry.flags = flags;
    entry.localHeaderOffset = offset;
    entry.method = le16(header + 8);
    entry.crc = le32(header + 14);
    entry.compressedSize = le32(header + 18);
    entry.size = le32(header + 22);
    const uint16_t nameLength = le16(header + 26);
    const uint16_t extraLength = le16(header + 28);
    entry.dataOffset = offset + LocalHeaderSize + nameLength + extraLength;
    if ((flags & UnfollowableFlags) || (entry.method != 0 && entry.method != 8) || entry.compressedSize == Zip64Marker
        || entry.size == Zip64Marker || (entry.method == 0 && entry.compressedSize != entry.size)
        || entry.compressedSize + entry.size > EntryBound
        || !m_tap->WaitFor(static_cast<qint64>(entry.dataOffset + entry.compressedSize)))
        throw Unfollowable{};

    entry.rawName.resize(nameLength);
    readAhead(entry.rawName.data(), nameLength, offset + LocalHeaderSize);
    const QString name = decodedName(entry.rawName, flags);
    entry.isFolder = name.endsWith(QLatin1Char('/'));
    entry.path = SafeEntryPath(name);
    if ((entry.isFolder && entry.size != 0) || (!entry.isFolder && entry.path.isEmpty()))
        throw Unfollowable{};
    placeFolders(entry);
    offset = entry.dataOffset + entry.compressedSize;
    push(std::move(entry));
    return true;
}

// The walk's bytes come from a window over the part, read again from `offset` on when
// they lie outside it; the caller waited for them.
void StreamingExtraction::readAhead(void* data, size_t size, uint64_t offset)
{
    if (offset < m_windowStart || offset + size > m_windowStart + m_window.size()) {
        const uint64_t present = static_cast<uint64_t>(std::max<qint64>(m_tap->Present(), 0));
        const size_t length = std::max<size_t>(size, std::min<uint64_t>(WindowBytes, present > offset ? present - offset : 0));
        m_window.resize(length);
        m_windowStart = offset;
        readAt(m_fd, m_window.data(), length, offset);
    }
    std::memcpy(data, m_window.data() + (offset - m_windowStart), size);
}

// Two entries of one path, or a path that is a file and a folder at once, end the head
// start here: the finished archive is refused for them anyway.
void StreamingExtraction::placeFolders(const StreamedEntry& entry)
{
    const QByteArray folder = entry.isFolder ? entry.path : entry.path.left(std::max<qsizetype>(entry.path.lastIndexOf('/'), 0));
    if (!entry.isFolder && (m_files.count(entry.path) || m_folders.count(entry.path)))
        throw Unfollowable{};
    for (qsizetype slash = 0; slash >= 0 && !folder.isEmpty();) {
        slash = folder.indexOf('/', slash + 1);
        const QByteArray part = slash < 0 ? folder : folder.left(slash);
        if (m_files.count(part))
            throw Unfollowable{};
        if (m_folders.insert(part).second && ::mkdir((m_root + '/' + part).constData(), UsualFolderMode(m_mask)) != 0)
            throw Unfollowable{};
    }
    if (!entry.isFolder)
        m_files.insert(entry.path);
}

void StreamingExtraction::push(StreamedEntry entry)
{
    {
        const std::lock_guard lock(m_mutex);
        m_entries.push_back(std::move(entry));
        if (!m_entries.back().isFolder)
            m_queue.push_back(&m_entries.back());
    }
    m_queued.notify_one();
}

const StreamedEntry* StreamingExtraction::pop(size_t worker)
{
    std::unique_lock lock(m_mutex);
    m_queued.wait(lock, [this] { return m_failed || m_scanned || !m_queue.empty(); });
    if (m_failed || m_queue.empty())
        return nullptr;
    // a folder takes its new files one after another, under its lock: a worker takes the
    // first entry near the front whose folder no other worker is writing in
    auto chosen = m_queue.begin();
    const auto lookedAt = m_queue.begin() + static_cast<std::ptrdiff_t>(std::min(m_queue.size(), FolderLookahead));
    const auto othersWriteIn = [&](const StreamedEntry* entry) {
        const QByteArrayView folder = folderOf(*entry);
        for (size_t other = 0; other < m_writingIn.size(); ++other)
            if (other != worker && m_writingIn[other] == folder)
                return true;
        return false;
    };
    while (chosen != lookedAt && othersWriteIn(*chosen))
        ++chosen;
    if (chosen == lookedAt)
        chosen = m_queue.begin();
    const StreamedEntry* entry = *chosen;
    m_queue.erase(chosen);
    m_writingIn[worker] = folderOf(*entry);
    return entry;
}

bool StreamingExtraction::roomFor(uint64_t bytes)
{
    // whichever worker's entry crosses the step looks, for all written since the last look
    uint64_t unchecked = m_uncheckedBytes.load();
    uint64_t written = 0;
    do {
        written = unchecked + bytes;
    } while (!m_uncheckedBytes.compare_exchange_weak(unchecked, written >= RoomCheckBytes ? 0 : written));
    if (written < RoomCheckBytes)
        return true;
    const std::optional<qint64> available = platform::freeSpace(m_tree);
    return !available || *available >= static_cast<qint64>(written) + m_tap->StillToCome() + SpareRoom;
}

void StreamingExtraction::work(size_t worker)
{
    try {
        // the extraction after the download inflates alike, so both write the same bytes
        EntryInflater inflater(EntryBound);
        while (const StreamedEntry* entry = pop(worker)) {
            if (!roomFor(entry->size))
                throw Unfollowable{};
            uint64_t offset = entry->dataOffset;
            // the walk waited for every compressed byte of the entry
            const EntryInflater::Reader read = [&](char* data, size_t size) {
                readAt(m_fd, data, size, offset);
                offset += size;
                return size;
            };
            const DeclaredEntry declared{entry->method, entry->compressedSize, entry->size, entry->crc};
            WriteEntryFile(m_root + '/' + entry->path, StreamedFileMode(m_mask), m_mask, [&](const EntrySink& sink) {
                inflater.Inflate(declared, read, QString::fromUtf8(entry->rawName), sink);
            });
            CrashPoint("a file was unpacked as the archive arrived");
        }
    } catch (...) {
        // a damaged entry, a full disk: the finished archive is extracted and reports it
        abandon();
    }
}

std::optional<std::vector<const StreamedEntry*>> StreamedEntriesOf(const std::vector<DirectoryEntry>& directory,
                                                                   const std::vector<StreamedEntry>& written)
{
    // the head start takes the entries in the order of their headers: the sort has little to do
    std::vector<const StreamedEntry*> byHeader;
    byHeader.reserve(written.size());
    for (const StreamedEntry& entry : written)
        byHeader.push_back(&entry);
    const auto headerOrder = [](const StreamedEntry* a, const StreamedEntry* b) { return a->localHeaderOffset < b->localHeaderOffset; };
    std::sort(byHeader.begin(), byHeader.end(), headerOrder);
    const auto sameHeader = [](const StreamedEntry* a, const StreamedEntry* b) { return a->localHeaderOffset == b->localHeaderOffset; };
    if (directory.size() != written.size() || std::adjacent_find(byHeader.begin(), byHeader.end(), sameHeader) != byHeader.end())
        return std::nullopt;
    std::vector<const StreamedEntry*> streamed;
    streamed.reserve(directory.size());
    std::vector<bool> taken(byHeader.size());
    for (const DirectoryEntry& entry : directory) {
        const auto found = std::lower_bound(byHeader.begin(), byHeader.end(), entry.localHeaderOffset,
                                            [](const StreamedEntry* a, uint64_t offset) { return a->localHeaderOffset < offset; });
        if (found == byHeader.end() || (*found)->localHeaderOffset != entry.localHeaderOffset)
            return std::nullopt;
        const auto index = static_cast<size_t>(found - byHeader.begin());
        if (taken[index] || static_cast<const DirectoryEntry&>(**found) != entry)
            return std::nullopt;
        taken[index] = true;
        streamed.push_back(*found);
    }
    return streamed;
}
