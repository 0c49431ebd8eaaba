#include "install/delta_update.h"

#include "app/setup_logging.h"
#include "archive/delta_extraction.h"
#include "archive/delta_fetch.h"
#include "install/installed_files.h"
#include "net/setup_network.h"
#include "xml/ex_simple_xml.h"

#include <QFile>

namespace {

const QString StepPrefix = QStringLiteral("[CInstallation] Install -> ");

struct Announced {
    qint64 bytes = 0;
    qint64 count = 0;
    TSignedTail tail;
};

Announced readDescriptor(const QString& path)
{
    TExSimpleXML xml;
    xml.LoadXMLFile(path);
    Announced announced;
    announced.bytes = xml.ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), {}, static_cast<qint64>(0));
    announced.count = static_cast<qint32>(
        xml.ReadProperties(QStringLiteral("size"), QStringLiteral("fileCount"), {}, static_cast<qint64>(0)));
    announced.tail.bytes = xml.ReadProperties(QStringLiteral("tail"), QStringLiteral("bytes"), {}, static_cast<qint64>(0));
    announced.tail.sha256 = xml.ReadProperties(QStringLiteral("tail"), QStringLiteral("sha256"), {}, QString()).toLatin1();
    if (announced.tail.bytes <= 0 || announced.tail.sha256.size() != 64 || announced.bytes <= 0)
        throw EDeltaRefused(QStringLiteral("the release names no hash of its archive's tail"));
    return announced;
}

std::shared_ptr<TDeltaPlan> fetch(const TDeltaRequest& request, const TDeltaProgress& progress)
{
    const Announced announced = readDescriptor(request.descriptorPath);
    const std::optional<InstalledFiles> installed = ReadInstalledFiles(request.installPath);
    if (!installed)
        throw EDeltaRefused(QStringLiteral("no installation of this edition lists its files"));
    QFile archive(request.archivePath);
    // the stretches land at their places; the rest stays holes that take no room
    if (!archive.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered) || !archive.resize(announced.bytes))
        throw fileCreateError(request.archivePath, archive.errorString());
    const std::unique_ptr<THttpClient> client = CNetwork::NewDownloadClient();
    TDeltaFetch fetcher(*client, request.url, announced.bytes, archive, progress.retry);
    const QByteArray tail = fetcher.FetchTail(TDeltaPlan::TailRange(announced.bytes, announced.tail));
    auto plan = std::make_shared<TDeltaPlan>(TDeltaPlan::FromTail(tail, announced.bytes, announced.count, announced.tail));
    plan->Compare([&](const QByteArray& path, uint64_t size) -> std::optional<TDeltaPlan::Installed> {
        platform::FileStamp stamp;
        const std::optional<QByteArray> digest =
            InstalledFileDigest(request.installPath, QFile::decodeName(path), static_cast<qint64>(size), *installed, &stamp);
        return digest ? std::optional(TDeltaPlan::Installed{*digest, stamp}) : std::nullopt;
    });
    const QString whyNot = plan->WhyNotWorthIt();
    if (!whyNot.isEmpty())
        throw EDeltaRefused(whyNot);
    Logger().Info(StepPrefix + QStringLiteral("Update only what changed: ") + plan->Summary());
    progress.begin(plan->PlannedBytes());
    fetcher.Fetch(plan->Wanted(), progress.work);
    // a damaged entry is fetched once more, then the whole archive
    QStringList damaged = DamagedChangedEntries(request.archivePath, *plan);
    if (!damaged.isEmpty()) {
        fetcher.Forget(plan->Wanted(damaged));
        fetcher.Fetch(plan->Wanted(damaged), progress.work);
        damaged = DamagedChangedEntries(request.archivePath, *plan);
    }
    if (!damaged.isEmpty())
        throw EDeltaRefused(QStringLiteral("the entry \"%1\" came damaged twice").arg(damaged.first()));
    return plan;
}

}  // namespace

std::shared_ptr<const TDeltaPlan> FetchChangedEntries(const TDeltaRequest& request, const TDeltaProgress& progress)
{
    QString why;
    try {
        return fetch(request, progress);
    } catch (const EDeltaRefused& refused) {
        why = refused.message();
    } catch (const std::exception& error) {
        why = errorText(error);
    }
    Logger().Info(StepPrefix + QStringLiteral("Download the whole archive: ") + why);
    QFile::remove(request.archivePath);
    return nullptr;
}
