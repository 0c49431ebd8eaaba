#include "net/download_cache.h"

#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

// Three lines: the address, the validator and the whole length.
void TCachedDownload::ReadDescription()
{
    QFile meta(MetaPath());
    const QList<QByteArray> lines = meta.open(QIODevice::ReadOnly) ? meta.readAll().split('\n') : QList<QByteArray>();
    const QFileInfo part(PartPath());
    bool known = lines.size() >= 3 && QString::fromUtf8(lines[0]) == FUrl && !lines[1].isEmpty();
    const qint64 total = known ? lines[2].toLongLong(&known) : -1;
    if (!known || tooOld(part) || part.size() > total) {
        Discard();
        return;
    }
    FValidator = lines[1];
    FTotal = total;
}

void TCachedDownload::Describe(const QByteArray& validator, qint64 total)
{
    FValidator = validator;
    FTotal = total;
    QFile meta(MetaPath());
    if (meta.open(QIODevice::WriteOnly | QIODevice::Truncate))
        meta.write(FUrl.toUtf8() + '\n' + validator + '\n' + QByteArray::number(total) + '\n');
}

void TCachedDownload::Discard()
{
    QFile::remove(PartPath());
    QFile::remove(MetaPath());
    FValidator.clear();
    FTotal = -1;
}
