// The executable's resources on Linux: a table appended to the executable file.
//
//   [executable, byte for byte] [blob] [blob] ... [index] [footer]
//
// The loader maps only what the program headers name, so bytes after the ELF image
// never reach the running program and the file stays runnable.
//
// index:  uint32 count, then per entry: uint32 type (10, RCDATA), uint16 language,
//         int32 id (-1 for a named entry), uint16 name length, the name in UTF-8,
//         uint64 offset, uint64 size
// footer: uint64 table start, uint64 index offset, uint32 index size, uint32 version,
//         8 bytes magic; always the last 32 bytes of the file
//
// Numbers are little-endian; offsets count from the start of the file.
//
// A file whose last bytes are not the magic value has no table; one that ends in the
// magic value but whose footer or index does not add up has a damaged table.
#include "platform/platform.h"
#include "platform/linux/file_copy.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr quint32 RcDataType = 10;
constexpr quint32 TableVersion = 1;
constexpr char Magic[8] = {'V', 'R', 'N', 'R', 'S', 'R', 'C', '\x1a'};
constexpr qint64 FooterSize = 32;
// No real index comes near this; a larger one is a damaged footer, not a reason to allocate.
constexpr quint32 MaxIndexSize = 16 * 1024 * 1024;

struct StoredEntry {
    ResourceId id;
    quint64 offset = 0;
    quint64 size = 0;
};

struct Table {
    quint64 start = 0;  // where the executable's own bytes end
    QList<StoredEntry> entries;
    bool damaged = false;  // a table is marked but cannot be read; it counts as none
};

// Reads little-endian fields from a buffer; any read past its end marks it failed.
class FieldReader {
public:
    explicit FieldReader(const QByteArray& bytes) : m_bytes(bytes) {}
    template <typename T>
    T number()
    {
        if (!take(sizeof(T)))
            return 0;
        return qFromLittleEndian<T>(m_bytes.constData() + m_pos - sizeof(T));
    }
    QByteArray bytes(qsizetype count)
    {
        return take(count) ? m_bytes.mid(m_pos - count, count) : QByteArray();
    }
    bool failed() const { return m_failed; }
    bool atEnd() const { return m_pos == m_bytes.size(); }

private:
    bool take(qsizetype count)
    {
        if (m_failed || count > m_bytes.size() - m_pos) {
            m_failed = true;
            return false;
        }
        m_pos += count;
        return true;
    }
    const QByteArray& m_bytes;
    qsizetype m_pos = 0;
    bool m_failed = false;
};

template <typename T>
void appendNumber(QByteArray& out, T value)
{
    char raw[sizeof(T)];
    qToLittleEndian<T>(value, raw);
    out.append(raw, sizeof(T));
}

bool fitsBefore(quint64 offset, quint64 size, quint64 limit)
{
    return offset <= limit && size <= limit - offset;
}

std::optional<QList<StoredEntry>> parseIndex(const QByteArray& index, quint64 start, quint64 indexOffset)
{
    FieldReader reader(index);
    const quint32 count = reader.number<quint32>();
    QList<StoredEntry> entries;
    for (quint32 i = 0; i < count && !reader.failed(); ++i) {
        const quint32 type = reader.number<quint32>();
        reader.number<quint16>();  // language: always neutral
        const qint32 id = reader.number<qint32>();
        const QByteArray name = reader.bytes(reader.number<quint16>());
        StoredEntry entry;
        entry.offset = reader.number<quint64>();
        entry.size = reader.number<quint64>();
        entry.id = id >= 0 ? ResourceId::numbered(id) : ResourceId::named(QString::fromUtf8(name));
        const bool valid = type == RcDataType && id >= -1 && (id >= 0 || !name.isEmpty())
                           && entry.offset >= start && fitsBefore(entry.offset, entry.size, indexOffset);
        if (reader.failed() || !valid)
            return std::nullopt;
        entries.append(entry);
    }
    if (reader.failed() || !reader.atEnd())
        return std::nullopt;
    return entries;
}

// The table of an open file; a file without one, or with a damaged one, has no
// entries and its executable part is the whole file.
Table readTable(QFile& file)
{
    const qint64 fileSize = file.size();
    const Table none{static_cast<quint64>(fileSize), {}, false};
    const Table damaged{static_cast<quint64>(fileSize), {}, true};
    if (fileSize < FooterSize || !file.seek(fileSize - FooterSize))
        return none;
    const QByteArray footerBytes = file.read(FooterSize);
    if (!footerBytes.endsWith(QByteArray(Magic, sizeof(Magic))))
        return none;
    FieldReader footer(footerBytes);
    const quint64 start = footer.number<quint64>();
    const quint64 indexOffset = footer.number<quint64>();
    const quint32 indexSize = footer.number<quint32>();
    const quint32 version = footer.number<quint32>();
    const quint64 indexEnd = static_cast<quint64>(fileSize - FooterSize);
    if (footer.failed() || version != TableVersion || indexSize > MaxIndexSize || start > indexOffset
        || indexOffset + indexSize != indexEnd || indexOffset > indexEnd
        || !file.seek(static_cast<qint64>(indexOffset)))
        return damaged;
    const QByteArray index = file.read(indexSize);
    if (index.size() != static_cast<qsizetype>(indexSize))
        return damaged;
    const auto entries = parseIndex(index, start, indexOffset);
    return entries ? Table{start, *entries, false} : damaged;
}

QByteArray serialiseIndex(const QList<StoredEntry>& entries)
{
    QByteArray index;
    appendNumber<quint32>(index, static_cast<quint32>(entries.size()));
    for (const StoredEntry& entry : entries) {
        const QByteArray name = entry.id.isNumbered() ? QByteArray() : entry.id.name.toUtf8();
        appendNumber<quint32>(index, RcDataType);
        appendNumber<quint16>(index, 0);
        appendNumber<qint32>(index, entry.id.isNumbered() ? entry.id.id : -1);
        appendNumber<quint16>(index, static_cast<quint16>(name.size()));
        index.append(name);
        appendNumber<quint64>(index, entry.offset);
        appendNumber<quint64>(index, entry.size);
    }
    return index;
}

QByteArray serialiseFooter(quint64 start, quint64 indexOffset, quint32 indexSize)
{
    QByteArray footer;
    appendNumber<quint64>(footer, start);
    appendNumber<quint64>(footer, indexOffset);
    appendNumber<quint32>(footer, indexSize);
    appendNumber<quint32>(footer, TableVersion);
    footer.append(Magic, sizeof(Magic));
    return footer;
}

QString notFoundText(const ResourceId& id)
{
    return QStringLiteral("Resource %1 not found").arg(id.isNumbered() ? QString::number(id.id) : id.name);
}

const StoredEntry* findEntry(const QList<StoredEntry>& entries, const ResourceId& id)
{
    for (const StoredEntry& entry : entries)
        if (entry.id.matches(id))
            return &entry;
    return nullptr;
}

// The file opened for reading, positioned at the entry's bytes. Throws EResNotFound.
struct OpenResource {
    std::unique_ptr<QFile> file;
    StoredEntry entry;
};

OpenResource openResource(const QString& exePath, const ResourceId& id)
{
    auto file = std::make_unique<QFile>(readableProgramFile(exePath));
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw EResNotFound(notFoundText(id));
    const Table table = readTable(*file);
    const StoredEntry* entry = findEntry(table.entries, id);
    if (!entry || !file->seek(static_cast<qint64>(entry->offset)))
        throw EResNotFound(notFoundText(id));
    return {std::move(file), *entry};
}

}  // namespace

QList<ResourceEntry> listResources(const QString& exePath)
{
    QFile file(readableProgramFile(exePath));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    const Table table = readTable(file);
    if (table.damaged)
        throw EInOutError(QStringLiteral("The resource table of \"%1\" is damaged.").arg(exePath));
    QList<ResourceEntry> result;
    for (const StoredEntry& entry : table.entries)
        result.append({entry.id, static_cast<qint64>(entry.size)});
    return result;
}

QByteArray readResource(const QString& exePath, const ResourceId& id)
{
    const OpenResource resource = openResource(exePath, id);
    const QByteArray bytes = resource.file->read(static_cast<qint64>(resource.entry.size));
    if (bytes.size() != static_cast<qsizetype>(resource.entry.size))
        throw fileReadError(exePath, resource.file->errorString());
    return bytes;
}

namespace {

// Extracting a resource onto the executable it comes from would destroy both.
void refuseSource(const QFile& source, const QString& targetFile)
{
    struct stat from {};
    struct stat to {};
    if (::fstat(source.handle(), &from) == 0 && ::stat(QFile::encodeName(targetFile).constData(), &to) == 0
        && from.st_dev == to.st_dev && from.st_ino == to.st_ino)
        throw fileCreateError(targetFile, QStringLiteral("It is the file the resource is read from."));
}

// A regular file (or a new one) is replaced only once the new content is complete, unless
// it is to be written in place; a device or pipe ("/dev/stdout") has nothing to replace
// and is written directly.
std::unique_ptr<QFileDevice> openTarget(const QString& targetFile, bool inPlace)
{
    const QFileInfo info(targetFile);
    std::unique_ptr<QFileDevice> target;
    if (inPlace || (info.exists() && !info.isFile()))
        target = std::make_unique<QFile>(targetFile);
    else
        target = std::make_unique<QSaveFile>(targetFile);
    if (!target->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw fileCreateError(targetFile, target->errorString());
    return target;
}

bool finish(QFileDevice& target)
{
    if (auto* saveFile = qobject_cast<QSaveFile*>(&target))
        return saveFile->commit();
    return target.flush();
}

}  // namespace

void extractResource(const QString& exePath, const ResourceId& id, const QString& targetFile,
                     const std::function<void(qint64 copied, qint64 size)>& copied)
{
    const OpenResource resource = openResource(exePath, id);
    refuseSource(*resource.file, targetFile);
    const std::unique_ptr<QFileDevice> target = openTarget(targetFile, bool(copied));
    const auto size = static_cast<qint64>(resource.entry.size);
    CopyProgress progress;
    if (copied)
        progress = [&](qint64 done) { copied(done, size); };
    const CopyResult result = copyBytes(*resource.file, size, *target, progress);
    if (result == CopyResult::Done && finish(*target))
        return;
    // an unfinished QSaveFile is discarded, so the target keeps what it held before
    if (result == CopyResult::ReadFailed)
        throw fileReadError(exePath, resource.file->errorString());
    throw fileCreateError(targetFile, target->errorString());
}

// ---- update --------------------------------------------------------------------

namespace {

struct PendingEntry {
    ResourceId id;
    QByteArray data;
    std::unique_ptr<QFile> file;  // streamed at commit when set
};

// An exclusive lock on the file that is at `path` while the lock is held: a second
// update waits for the first and then reads the file the first one wrote.
class UpdateLock {
public:
    explicit UpdateLock(const QString& path)
    {
        const QByteArray native = QFile::encodeName(path);
        for (;;) {
            m_fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
            if (m_fd < 0)
                throw fileOpenError(path, systemErrorText(errno));
            if (lockAndCheck(native))
                return;
            ::close(m_fd);  // replaced while we waited: lock the file that is there now
        }
    }
    ~UpdateLock() { ::close(m_fd); }
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    int fd() const { return m_fd; }

private:
    bool lockAndCheck(const QByteArray& native) const
    {
        while (::flock(m_fd, LOCK_EX) != 0)
            if (errno != EINTR)
                return false;
        struct stat held {};
        struct stat current {};
        return ::fstat(m_fd, &held) == 0 && ::stat(native.constData(), &current) == 0
               && held.st_dev == current.st_dev && held.st_ino == current.st_ino;
    }

    int m_fd = -1;
};

void checkName(const ResourceId& id)
{
    if (!id.isNumbered() && (id.name.isEmpty() || id.name.toUtf8().size() > 0xFFFF))
        throw Exception(QStringLiteral("Invalid resource name \"%1\"").arg(id.name));
}

// Raises a failed copy into `target` (written through `out`) with the reason of the side
// that failed.
void checkCopy(CopyResult result, const QFile& from, const QFileDevice& out, const QString& target)
{
    if (result == CopyResult::ReadFailed)
        throw fileReadError(from.fileName(), from.errorString());
    if (result == CopyResult::WriteFailed)
        throw fileWriteError(target, out.errorString());
}

// Copies `count` bytes (to the end when negative) of `from` from `offset` on to `out`.
void copyRange(QFile& from, qint64 offset, qint64 count, QFileDevice& out, const QString& target)
{
    checkCopy(from.seek(offset) ? copyBytes(from, count, out) : CopyResult::ReadFailed, from, out, target);
}

// The index and the footer after the entries' bytes: the table is complete.
bool writeTable(QFileDevice& out, const QList<StoredEntry>& entries, quint64 start)
{
    const quint64 indexOffset = static_cast<quint64>(out.pos());
    const QByteArray index = serialiseIndex(entries);
    return writeAll(out, index) && writeAll(out, serialiseFooter(start, indexOffset, static_cast<quint32>(index.size())));
}

}  // namespace

struct ResourceUpdate::Private {
    QString exePath;
    std::vector<PendingEntry> pending;

    void queue(PendingEntry entry);
    PendingEntry* pendingFor(const ResourceId& id);
    void writeEntry(QSaveFile& out, QFile& source, const StoredEntry& old, PendingEntry* replacement,
                    QList<StoredEntry>& written);
};

void ResourceUpdate::Private::queue(PendingEntry entry)
{
    checkName(entry.id);
    if (PendingEntry* earlier = pendingFor(entry.id))
        *earlier = std::move(entry);
    else
        pending.push_back(std::move(entry));
}

PendingEntry* ResourceUpdate::Private::pendingFor(const ResourceId& id)
{
    for (PendingEntry& entry : pending)
        if (entry.id.matches(id))
            return &entry;
    return nullptr;
}

// Writes one entry at the output's end: the replacement's bytes when there is one,
// otherwise the old bytes copied from the source.
void ResourceUpdate::Private::writeEntry(QSaveFile& out, QFile& source, const StoredEntry& old,
                                         PendingEntry* replacement, QList<StoredEntry>& written)
{
    const qint64 offset = out.pos();
    if (!replacement) {
        copyRange(source, static_cast<qint64>(old.offset), static_cast<qint64>(old.size), out, exePath);
    } else if (replacement->file) {
        // from the start again, so that a commit retried after a failure copies the whole file
        copyRange(*replacement->file, 0, -1, out, exePath);
    } else if (!writeAll(out, replacement->data)) {
        checkCopy(CopyResult::WriteFailed, source, out, exePath);
    }
    const ResourceId id = replacement ? replacement->id : old.id;
    written.append({id, static_cast<quint64>(offset), static_cast<quint64>(out.pos() - offset)});
}

ResourceUpdate::ResourceUpdate(const QString& exePath) : d(std::make_unique<Private>())
{
    d->exePath = exePath;
    QFile file(exePath);
    if (!file.open(QIODevice::ReadOnly))
        throw fileOpenError(exePath, file.errorString());
}

ResourceUpdate::~ResourceUpdate() = default;

void ResourceUpdate::add(const ResourceId& id, const QByteArray& data)
{
    d->queue({id, data, nullptr});
}

void ResourceUpdate::addFile(const ResourceId& id, const QString& file)
{
    // Opened now so that a missing file fails this call, not a later commit of other entries.
    auto source = std::make_unique<QFile>(file);
    if (!source->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw fileOpenError(file, source->errorString());
    d->queue({id, QByteArray(), std::move(source)});
}

// Writes the new file beside the old one, flushes it to disk and renames it over the
// old one, so that a failure at any point leaves the old file as it was. The lock is
// held from reading the old table to the rename, so no concurrent update is lost.
void ResourceUpdate::commit()
{
    const UpdateLock lock(d->exePath);
    QFile source(d->exePath);
    if (!source.open(lock.fd(), QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle))
        throw fileOpenError(d->exePath, source.errorString());
    const Table old = readTable(source);
    QSaveFile out(d->exePath);
    // unbuffered, so that every failed write reports the system's reason at once
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw fileCreateError(d->exePath, out.errorString());
    copyRange(source, 0, static_cast<qint64>(old.start), out, d->exePath);

    // Entries keep their order; a replaced one takes its new bytes in its old place.
    QList<StoredEntry> written;
    for (const StoredEntry& entry : old.entries)
        if (!findEntry(written, entry.id))
            d->writeEntry(out, source, entry, d->pendingFor(entry.id), written);
    for (PendingEntry& entry : d->pending)
        if (!findEntry(written, entry.id))
            d->writeEntry(out, source, StoredEntry{}, &entry, written);

    if (!writeTable(out, written, old.start) || !out.commit())
        checkCopy(CopyResult::WriteFailed, source, out, d->exePath);
    d->pending.clear();
}

// ---- writing a new executable in one pass ----------------------------------------

struct ResourceWriter::Private {
    QString target;
    QFile out;
    bool unnamed = false;  // named at finish(): a killed run leaves no part behind
    quint64 start = 0;
    QList<StoredEntry> entries;
    std::optional<StoredEntry> current;
    bool finished = false;

    void copy(QFile& from, qint64 offset, qint64 count) { copyRange(from, offset, count, out, target); }
    // An unnamed file goes with its handle; a named one is removed.
    void discard()
    {
        if (unnamed)
            out.close();
        else
            out.remove();
    }
    void close()
    {
        if (!current)
            return;
        current->size = static_cast<quint64>(out.pos()) - current->offset;
        entries.append(*current);
        current.reset();
    }
};

ResourceWriter::ResourceWriter(const QString& exePath, const QString& target, const QList<ResourceId>& leftOut)
    : d(std::make_unique<Private>())
{
    d->target = target;
    QFile source(readableProgramFile(exePath));
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw fileOpenError(exePath, source.errorString());
    const Table table = readTable(source);
    if (table.damaged)
        throw EInOutError(QStringLiteral("The resource table of \"%1\" is damaged.").arg(exePath));
    const int unnamed = createUnnamedFile(QFile::encodeName(target), 0600);
    d->unnamed = unnamed >= 0;
    const bool opened = d->unnamed ? d->out.open(unnamed, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)
                                   : (d->out.setFileName(target), d->out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    if (!opened)
        throw fileCreateError(target, d->out.errorString());
    d->start = table.start;
    try {
        d->copy(source, 0, static_cast<qint64>(table.start));
        for (const StoredEntry& entry : table.entries) {
            if (std::any_of(leftOut.begin(), leftOut.end(), [&](const ResourceId& id) { return id.matches(entry.id); }))
                continue;
            begin(entry.id);
            d->copy(source, static_cast<qint64>(entry.offset), static_cast<qint64>(entry.size));
        }
        d->close();
        if (!giveCopiedMode(source.handle(), d->out.handle()))
            throw fileWriteError(target, systemErrorText(errno));
    } catch (...) {
        d->discard();
        throw;
    }
}

ResourceWriter::~ResourceWriter()
{
    if (!d->finished)
        d->discard();
}

void ResourceWriter::begin(const ResourceId& id)
{
    checkName(id);
    if (d->current && d->current->id.matches(id)) {
        // the resource starts over: what it wrote so far goes
        if (!d->out.resize(static_cast<qint64>(d->current->offset)) || !d->out.seek(static_cast<qint64>(d->current->offset)))
            throw fileWriteError(d->target, d->out.errorString());
        return;
    }
    d->close();
    d->current = StoredEntry{id, static_cast<quint64>(d->out.pos()), 0};
}

void ResourceWriter::append(int fd, qint64 offset, qint64 count)
{
    QFile from;
    if (!from.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle))
        throw fileReadError(d->target, from.errorString());
    d->copy(from, offset, count);
}

void ResourceWriter::appendFile(const ResourceId& id, const QString& file)
{
    QFile from(file);
    if (!from.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw fileOpenError(file, from.errorString());
    begin(id);
    d->copy(from, 0, -1);
}

void ResourceWriter::finish()
{
    d->close();
    if (!writeTable(d->out, d->entries, d->start))
        throw fileWriteError(d->target, d->out.errorString());
    if (d->unnamed && !nameUnnamedFile(d->out.handle(), QFile::encodeName(d->target)))
        throw fileCreateError(d->target, systemErrorText(errno));
    // on disk before the caller renames it into place, as a committed update is (the
    // named file: where the file system would not name the draft, a copy of it)
    QFile named(d->target);
    if (!named.open(QIODevice::ReadOnly) || ::fdatasync(named.handle()) != 0)
        throw fileWriteError(d->target, systemErrorText(errno));
    d->out.close();
    d->finished = true;
}

}  // namespace platform
