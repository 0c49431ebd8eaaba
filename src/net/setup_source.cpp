#include "net/setup_source.h"

#include "app/application_extended.h"
#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "net/download_tap.h"
#include "net/release_integrity.h"
#include "net/setup_config.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <utility>

namespace {

void log(const QString& line)
{
    Logger().Info(QStringLiteral("[TSource] ") + line);
}

// Without an application title (or with one such as "..") the work folder is the
// temporary folder itself or a folder above it, which holds more than this run's files.
bool holdsTheTemporaryFolder(const QString& work)
{
    const QString folder = QFileInfo(work).canonicalFilePath();
    const QString temp = QFileInfo(TempFolder(false)).canonicalFilePath();
    if (folder.isEmpty() || temp.isEmpty())
        return true;  // nothing there, or nothing to compare with: delete nothing
    return temp == folder || temp.startsWith(folder + QLatin1Char('/')) || folder == QStringLiteral("/");
}

// The text between "//" and the next "/", without user information and port.
QString hostAsWritten(const QString& url)
{
    static const QRegularExpression authority(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://([^/?#]*)"));
    const QRegularExpressionMatch match = authority.match(url);
    if (!match.hasMatch())
        return {};
    QString host = match.captured(1);
    host = host.mid(host.lastIndexOf(QLatin1Char('@')) + 1);
    const qsizetype hostEnd = host.startsWith(QLatin1Char('[')) ? host.indexOf(QLatin1Char(']')) + 1 : 0;
    const qsizetype portStart = host.indexOf(QLatin1Char(':'), hostEnd);
    return portStart < 0 ? host : host.left(portStart);
}

}  // namespace

TSource::TSource() : TSource(platform::commandLineArguments())
{
}

TSource::TSource(const QStringList& arguments)
{
    log(QStringLiteral("Create"));
    topRequest.clear();
    RealSource = stUnknown;
    baseURL.clear();
    baseTemp = TempFolder(true);
    selfPath = SelfPath();
    QString stream;
    bUseBetaStream = GetCmdLineSwitchValue(QStringLiteral("stream"), stream, arguments)
                     && stream == QStringLiteral("beta");
    log(QStringLiteral("baseTemp: ") + baseTemp);
    log(QStringLiteral("selfPath: ") + selfPath);
    log(QStringLiteral("bUseBetaStream: ") + BoolToStr(bUseBetaStream));
}

TSource::~TSource()
{
    // what cannot be deleted stays behind unreported; a destructor must not raise
    try {
        log(QStringLiteral("Destroy"));
        // the folder made at creation, never made again here: the last holder may be a
        // worker that ends after the run has cleared its folder, while the program exits
        if (!holdsTheTemporaryFolder(baseTemp))
            platform::deleteTree(baseTemp);
    } catch (const std::exception&) {
    }
}

bool TSource::Request(const QString& fName)
{
    log(QStringLiteral("Request: ") + fName);
    log(QStringLiteral("$baseURL: ") + baseURL);
    topRequest = fName;
    RememberSha256(fName, {});
    bool result = false;
    switch (RealSource) {
    case stUnknown:
        log(QStringLiteral("$RealSource: stUnknown"));
        baseURL = bUseBetaStream ? BetaBaseUrl() : ReleaseBaseUrl();
        RealSource = stWebServer;
        result = Request(fName);
        if (!result) {
            // the web cannot serve the first file: the setup's own folder serves the whole run
            RealSource = stLocal;
            baseURL = selfPath;
            result = Request(fName);
        }
        break;
    case stWebServer:
        log(QStringLiteral("$RealSource: stWebServer"));
        result = RequestFromWeb(fName);
        break;
    case stLocal:
        log(QStringLiteral("$RealSource: stLocal"));
        result = CopyFromLocalFolder(fName);
        break;
    }
    log(QStringLiteral("Request: ") + fName + QStringLiteral(", Result: ") + BoolToStr(result));
    return result;
}

bool TSource::RequestFromWeb(const QString& fName)
{
    return CNetwork::Download(baseURL + fName, baseTemp + fName);
}

bool TSource::CopyFromLocalFolder(const QString& fName)
{
    const QString source = baseURL + fName;
    const QString target = baseTemp + fName;
    // a copy never replaces its target, so an earlier copy goes first
    QFile::remove(target);
    const bool result = QFile::exists(source) && QFile::copy(source, target);
    if (!result)
        QFile::remove(target);  // a half-made copy must not be used
    return result;
}

bool TSource::Request(const QString& fName, TWorkBeginProc onWorkBegin, TWorkProc onWork, TWorkEndProc onWorkEnd)
{
    log(QStringLiteral("Request2: ") + fName);
    bool result = false;
    {
        CNetwork download(std::move(onWorkBegin), std::move(onWork), std::move(onWorkEnd));
        download.SetTap(Tap);
        result = download.SyncDownload(baseURL + fName, baseTemp + fName);
        RememberSha256(fName, result ? download.Sha256() : QByteArray());
    }
    log(QStringLiteral("Request2: ") + fName + QStringLiteral(", Result: ") + BoolToStr(result));
    return result;
}

void TSource::ForgetDownload(const QString& fName)
{
    CNetwork::ForgetCachedDownload(baseURL + fName);
}

void TSource::RequestResource(const QString& fName)
{
    log(QStringLiteral("RequestResource: ") + fName);
    topRequest = fName;
    RememberSha256(fName, {});
    platform::extractResource(platform::executablePath(), platform::ResourceId::named(fName), baseTemp + fName);
}

void TSource::RequestResource2(const QString& fName, int ResID)
{
    log(QStringLiteral("RequestResource2: ") + fName + QStringLiteral(", ") + QString::number(ResID));
    topRequest = fName;
    RememberSha256(fName, {});
    const QString target = baseTemp + fName;
    const platform::ResourceId id = platform::ResourceId::numbered(ResID);
    if (!Tap) {
        platform::extractResource(platform::executablePath(), id, target);
        return;
    }
    // the reader follows the copy as it follows a download: a part file, renamed when whole
    const QString part = target + QStringLiteral(".part");
    try {
        bool opened = false;
        platform::extractResource(platform::executablePath(), id, part, [&](qint64 copied, qint64 size) {
            if (!std::exchange(opened, true)) {
                Tap->Opened(part);
                Tap->Expect(size);
            }
            Tap->Grew(copied);
        });
        if (!platform::replaceFile(part, target))
            throw EFCreateError(QStringLiteral("Cannot replace \"%1\"").arg(target));
    } catch (...) {
        Tap->Ended(false);
        QFile::remove(part);
        throw;
    }
    Tap->Ended(true);
}

QString TSource::Use(const QString& fName)
{
    return UseIn(baseTemp, fName);
}

QString TSource::UseIn(const QString& workFolder, const QString& fName)
{
    log(QStringLiteral("Use: ") + fName);
    return workFolder + fName;
}

void TSource::RememberSha256(const QString& fName, const QByteArray& sha256)
{
    const std::lock_guard lock(DigestsLock);
    if (sha256.isEmpty())
        DownloadDigests.erase(fName);
    else
        DownloadDigests[fName] = sha256;
}

QByteArray TSource::Sha256Of(const QString& fName)
{
    {
        const std::lock_guard lock(DigestsLock);
        if (const auto known = DownloadDigests.find(fName); known != DownloadDigests.end())
            return known->second;
    }
    return ReleaseIntegrity::Sha256OfFile(baseTemp + fName);
}

QString TSource::ExtractHostName() const
{
    return hostAsWritten(baseURL);
}
