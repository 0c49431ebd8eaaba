#include "net/download_cache.h"

#include "net/reply_headers.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

QString keyOf(const QString& url)
{
    return QString::fromLatin1(QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
}

bool tooOld(const QFileInfo& file)
{
    return file.lastModified() < QDateTime::currentDateTime().addDays(-TCachedDownload::MaxAgeDays);
}

// Entries of files no run asked for in a week go, whoever left them.
void removeStaleEntries(const QString& folder)
{
    const QFileInfoList entries =
        QDir(folder).entryInfoList({QStringLiteral("*.part"), QStringLiteral("*.meta")}, QDir::Files | QDir::Hidden);
    for (const QFileInfo& entry : entries) {
        if (tooOld(entry))
            QFile::remove(entry.filePath());
    }
}

}  // namespace

TCachedDownload::TCachedDownload(const QString& folder, const QString& key, const QString& url)
    : FFolder(folder), FKey(key), FUrl(url), FLock(folder + key + QStringLiteral(".lock"))
{
}

std::unique_ptr<TCachedDownload> TCachedDownload::Open(const QString& url)
{
    const QString folder = platform::userCacheFolder();
    if (folder.isEmpty())
        return nullptr;
    removeStaleEntries(folder);
    std::unique_ptr<TCachedDownload> entry(new TCachedDownload(folder, keyOf(url), url));
    // a second run fetching the same file writes its own part in its work folder
    if (!entry->FLock.tryLock(0))
        return nullptr;
    entry->ReadDescription();
    return entry;
}

void TCachedDownload::Forget(const QString& url)
{
    const QString folder = platform::userCacheFolder();
    if (folder.isEmpty())
        return;
    TCachedDownload entry(folder, keyOf(url), url);
    if (!entry.FLock.tryLock(0))
        return;  // another run is using it
    entry.Discard();
}

std::optional<TCachedDownload::TDescription> TCachedDownload::ParseDescription(const QByteArray& bytes, const QString& url)
{
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 3 || QString::fromUtf8(lines[0]) != url || !ReplyHeaders::IsUsableValidator(lines[1]))
        return std::nullopt;
    const QByteArray& length = lines[2];
    bool plain = !length.isEmpty() && std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; });
    const qint64 total = plain ? length.toLongLong(&plain) : 0;
    if (!plain || total <= 0)
        return std::nullopt;
    return TDescription{lines[1], total};
}

void TCachedDownload::ReadDescription()
{
    QFile meta(MetaPath());
    const std::optional<TDescription> description =
        meta.open(QIODevice::ReadOnly) ? ParseDescription(meta.readAll(), FUrl) : std::nullopt;
    const QFileInfo part(PartPath());
    if (!description || tooOld(part) || part.size() > description->total) {
        Discard();
        return;
    }
    FValidator = description->validator;
    FTotal = description->total;
}

void TCachedDownload::Describe(const QByteArray& validator, qint64 total)
{
    // a line break in the validator would make another description of it
    FValidator = ReplyHeaders::IsUsableValidator(validator) ? validator : QByteArray();
    FTotal = total;
    QFile meta(MetaPath());
    if (meta.open(QIODevice::WriteOnly | QIODevice::Truncate))
        meta.write(FUrl.toUtf8() + '\n' + FValidator + '\n' + QByteArray::number(total) + '\n');
}

void TCachedDownload::Discard()
{
    QFile::remove(PartPath());
    QFile::remove(MetaPath());
    FValidator.clear();
    FTotal = -1;
}
