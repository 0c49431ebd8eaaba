#include "net/setup_network.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "app/text_lines.h"
#include "net/http_proxy.h"
#include "net/main_thread_call.h"
#include "net/release_integrity.h"
#include "platform/platform.h"

#include <QFile>

#include <filesystem>
#include <map>
#include <system_error>

namespace {

const QString DownloadAgent = QStringLiteral("Tarnvek/Vorlen/1.0/INDY");
const QString GetAgent = QStringLiteral("Vor[NT]/INDY,201");

std::unique_ptr<THttpClient> newClient(const QString& userAgent, const QString& referer = QString())
{
    auto client = std::make_unique<THttpClient>();
    client->SetUserAgent(userAgent);
    client->SetReferer(referer);
    CProxyInformation::Setup(*client);
    return client;
}

// Runs a transfer; an error is logged with `prefix` and ends in false, never raised.
bool transferLogged(const QString& prefix, const std::function<void()>& transfer)
{
    try {
        transfer();
        return true;
    } catch (const Exception& error) {
        Logger().Error(prefix + errorText(error));
    } catch (const std::exception& error) {
        Logger().Error(prefix + QStringLiteral("Exception: ") + QString::fromLocal8Bit(error.what()));
    }
    return false;
}

// Streams the body of URL into the open file, hashing it on the way. A failed
// transfer is logged with `prefix` and leaves the file empty.
void transferInto(THttpClient& client, const QString& URL, QFile& file, const QString& prefix,
                  ReleaseIntegrity::Sha256Stream& digest)
{
    const auto cannotWrite = [&file] {
        return fileWriteError(file.fileName(), file.errorString());
    };
    const bool transferred = transferLogged(prefix, [&] {
        client.Get(URL, [&](const char* data, qsizetype size) {
            if (file.write(data, size) != size)
                throw cannotWrite();
            digest.add(data, size);
        });
        if (!file.flush())
            throw cannotWrite();
    });
    if (!transferred)
        file.resize(0);
}

// The name a download is written under until it is complete and accepted, so that
// a run ended half-way never leaves a partial file under the real name.
QString partName(const QString& fFile)
{
    return fFile + QStringLiteral(".part");
}

// Downloads URL into fFile; the file is put in place only when `complete` accepts
// its length, and `sha256` then holds its hash. On false neither the file nor its
// partial download is left.
bool downloadFile(THttpClient& client, const QString& URL, const QString& fFile, const QString& prefix,
                  const std::function<bool(qint64 length)>& complete, QByteArray& sha256)
{
    sha256.clear();
    QFile file(partName(fFile));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw fileCreateError(fFile, file.errorString());
    ReleaseIntegrity::Sha256Stream digest;
    transferInto(client, URL, file, prefix, digest);
    file.close();
    if (!complete(file.size())) {
        file.remove();
        QFile::remove(fFile);  // a failed download leaves no file of that name
        return false;
    }
    // one rename that replaces an earlier file, so that fFile is never missing or partial
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(file.fileName()).toStdString(), QFile::encodeName(fFile).toStdString(),
                            error);
    if (error) {
        file.remove();
        throw fileCreateError(fFile, QString::fromLocal8Bit(error.message()));
    }
    sha256 = digest.hex();
    return true;
}

}  // namespace

// ---- class operations ---------------------------------------------------------------

bool CNetwork::Download(const QString& URL, const QString& fFile)
{
    const QString prefix = QStringLiteral("[CNetwork class] Download: ");
    const QString subject = prefix + URL + QStringLiteral(", ") + fFile;
    Logger().Info(subject);
    QByteArray sha256;
    const bool result = downloadFile(
        *newClient(DownloadAgent), URL, fFile, prefix, [](qint64 length) { return length != 0; }, sha256);
    Logger().Info(subject + QStringLiteral(", Result: ") + BoolToStr(result));
    return result;
}

void CNetwork::Get(const QString& URL, QStringList* Response)
{
    const QString prefix = QStringLiteral("[CNetwork class] Get: ");
    Logger().Info(prefix + URL);
    {
        const std::unique_ptr<THttpClient> client = newClient(GetAgent, OsToken());
        QByteArray body;
        if (!transferLogged(prefix, [&] {
                client->Get(URL, [&body](const char* data, qsizetype size) {
                    if (body.size() + size > GetReplyLimitBytes)
                        throw ENetworkError(
                            QStringLiteral("The reply is longer than the limit of %1 bytes").arg(GetReplyLimitBytes));
                    body.append(data, size);
                });
            }))
            body.clear();
        if (Response && !body.isEmpty())
            *Response = SplitTextLines(platform::decodeCodePage(body));
    }
    if (Response)
        Logger().Info(prefix + URL + QStringLiteral(", Response.Text: <<") + JoinTextLines(*Response) + QStringLiteral(">>"));
    else
        Logger().Info(prefix + URL + QStringLiteral(", Response in nil"));
}

// ---- download object ----------------------------------------------------------------

CNetwork::CNetwork(TWorkBeginProc AWorkBegin, TWorkProc AWork, TWorkEndProc AWorkEnd)
{
    Logger().Info(QStringLiteral("[CNetwork] Create"));
    fHTTP = newClient(DownloadAgent);
    fHTTP->SetWorkListener(this);
    onWorkBegin = std::move(AWorkBegin);
    onWork = std::move(AWork);
    onWorkEnd = std::move(AWorkEnd);
}

CNetwork::~CNetwork()
{
    Logger().Info(QStringLiteral("[CNetwork] Destroy"));
}

bool CNetwork::SyncDownload(const QString& URL, const QString& fFile)
{
    const QString subject = QStringLiteral("[CNetwork] SyncDownload: ") + URL + QStringLiteral(", ") + fFile;
    Logger().Info(subject);
    // Without an announced length the file is whole when it holds every byte reported.
    const bool result = downloadFile(*fHTTP, URL, fFile, QStringLiteral("[CNetwork] SyncDownload: "),
                                     [this](qint64 length) {
                                         return length != 0 && (FDoneSize == FDownloadSize || length == FDoneSize);
                                     },
                                     FSha256);
    Logger().Info(subject + QStringLiteral(", Result: ") + BoolToStr(result));
    return result;
}

void CNetwork::DoWorkBegin(qint64 AWorkCountMax)
{
    Logger().Info(QStringLiteral("[CNetwork] DoWorkBegin: ") + QString::number(AWorkCountMax));
    FDownloadSize = AWorkCountMax;
    if (onWorkBegin)
        RunOnMainThread([callback = onWorkBegin, AWorkCountMax] { callback(AWorkCountMax); });
}

void CNetwork::DoWork(qint64 AWorkCount)
{
    FDoneSize = AWorkCount;
    if (onWork)
        RunOnMainThread([callback = onWork, AWorkCount] { callback(AWorkCount); });
}

void CNetwork::DoWorkEnd()
{
    Logger().Info(QStringLiteral("[CNetwork] DoWorkEnd"));
    if (onWorkEnd)
        RunOnMainThread([callback = onWorkEnd] { callback(); });
}

// ---- operating-system token -----------------------------------------------------------

QString OsTokenForBuild(quint32 build)
{
    static const std::map<quint32, const char*> named = {
        {2423, "WinHS/RTM"},     {2600, "WinXP/RTM"},     {3790, "Win2K3/RTM"},   {6000, "WinVista/RTM"},
        {6001, "WinVista/SP1"},  {6002, "WinVista/SP2"},  {6003, "WinVista/SP3"}, {6004, "WinVista/SP4"},
        {7100, "Win7/RC"},       {7600, "Win7/RTM"},      {7601, "Win7/SP1"},     {7602, "Win7/SP2"},
        {7603, "Win7/SP3"},      {7604, "Win7/SP4"},      {8102, "Win8/DP1"},     {8250, "Win8/CP1"},
        {8400, "Win8/RP1"},      {9200, "Win8/RTM"},
    };
    QString label;
    if (const auto it = named.find(build); it != named.end())
        label = QString::fromLatin1(it->second);
    else if (build >= 7101 && build <= 7599)
        label = QStringLiteral("Win7/RC_RTM");
    else if (build >= 8401 && build <= 9199)
        label = QStringLiteral("Win8/RP_RTM");
    else
        label = QStringLiteral("WinNT/") + QString::number(build);
    return QStringLiteral("http://") + label + QLatin1Char('/');
}

QString OsToken()
{
    // read once: the system does not change under a running program
    static const QString token = QStringLiteral("http://Linux/") + platform::kernelRelease() + QLatin1Char('/');
    return token;
}
