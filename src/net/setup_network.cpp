#include "net/setup_network.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "app/text_lines.h"
#include "net/download_cache.h"
#include "net/download_tap.h"
#include "net/http_proxy.h"
#include "net/main_thread_call.h"
#include "net/resumable_download.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
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

// The name a download is written under until it is complete and accepted, so that
// a run ended half-way never leaves a partial file under the real name.
QString partName(const QString& fFile)
{
    return fFile + QStringLiteral(".part");
}

// A part file written straight through, so that a full disk fails the write that met it.
void openPart(QFile& part, const QString& fFile, QIODevice::OpenMode mode)
{
    if (!part.open(mode | QIODevice::Unbuffered))
        throw fileCreateError(fFile, part.errorString());
}

// A close that fails (a delayed write error of a network file system) fails the download.
void closeChecked(QFile& part)
{
    part.close();
    if (part.error() != QFileDevice::NoError)
        throw fileWriteError(part.fileName(), part.errorString());
}

// Puts the finished part in fFile's place with one rename, so that fFile is never missing or partial.
void putInPlace(const QString& part, const QString& fFile)
{
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(part).toStdString(), QFile::encodeName(fFile).toStdString(), error);
    if (error) {
        QFile::remove(part);
        throw fileCreateError(fFile, QString::fromLocal8Bit(error.message()));
    }
}

// A finished download kept in the cache appears in the work folder as a second name of
// the same file, or as a copy where the two folders lie on different file systems.
void linkInPlace(const QString& cached, const QString& fFile)
{
    const std::string target = QFile::encodeName(partName(fFile)).toStdString();
    std::error_code error;
    std::filesystem::remove(target, error);
    std::filesystem::create_hard_link(QFile::encodeName(cached).toStdString(), target, error);
    if (error && !QFile::copy(cached, partName(fFile))) {
        QFile::remove(partName(fFile));
        throw fileCreateError(fFile, QStringLiteral("The download cannot be copied from \"%1\".").arg(cached));
    }
    putInPlace(partName(fFile), fFile);
}

std::function<void(const QString&)>& retryEcho()
{
    static std::function<void(const QString&)> echo;
    return echo;
}

std::atomic<long> smallRequestDeadlineSeconds{CNetwork::SmallRequestDeadlineSeconds};

THttpRequestOptions smallRequestOptions(qint64 limit)
{
    THttpRequestOptions options;
    options.maxBodyBytes = limit;
    options.deadlineSeconds = smallRequestDeadlineSeconds;
    return options;
}

// Tells a download's reader that no more bytes come, also when the download raises.
struct TapEnd {
    TDownloadTap* tap;
    bool whole = false;
    ~TapEnd()
    {
        if (tap)
            tap->Ended(whole);
    }
};

}  // namespace

// ---- class operations ---------------------------------------------------------------

bool CNetwork::Download(const QString& URL, const QString& fFile)
{
    const QString prefix = QStringLiteral("[CNetwork class] Download: ");
    const QString subject = prefix + URL + QStringLiteral(", ") + fFile;
    Logger().Info(subject);
    QFile part(partName(fFile));
    openPart(part, fFile, QIODevice::WriteOnly | QIODevice::Truncate);
    const bool transferred = transferLogged(prefix, [&] {
        newClient(DownloadAgent)->Get(
            URL,
            [&part](const char* data, qsizetype size) {
                if (part.write(data, size) != size)
                    throw fileWriteError(part.fileName(), part.errorString());
            },
            smallRequestOptions(SmallFileLimitBytes));
        closeChecked(part);
    });
    part.close();
    const bool result = transferred && QFileInfo(part.fileName()).size() != 0;
    if (result) {
        putInPlace(part.fileName(), fFile);
    } else {
        part.remove();
        QFile::remove(fFile);  // a failed download leaves no file of that name
    }
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
                client->Get(
                    URL, [&body](const char* data, qsizetype size) { body.append(data, size); },
                    smallRequestOptions(GetReplyLimitBytes));
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
    const QString prefix = QStringLiteral("[CNetwork] SyncDownload: ");
    const QString subject = prefix + URL + QStringLiteral(", ") + fFile;
    Logger().Info(subject);
    FSha256.clear();
    // a part in the user's cache outlives a failed or cancelled run; without the cache
    // the part lives in the work folder and serves this run alone
    const std::unique_ptr<TCachedDownload> cached = TCachedDownload::Open(URL);
    QFile part(cached ? cached->PartPath() : partName(fFile));
    openPart(part, fFile, cached ? QIODevice::ReadWrite : QIODevice::ReadWrite | QIODevice::Truncate);
    TResumableDownload download(*fHTTP, *this, part, [prefix](const QString& text) {
        Logger().Info(prefix + text);
        if (const auto& echo = retryEcho())
            echo(QStringLiteral("download interrupted, ") + text);
    });
    // whatever ends the download, a reader following it is told
    TapEnd tapEnd{FTap.get()};
    if (FTap) {
        FTap->Opened(part.fileName());
        download.tap = FTap.get();
    }
    if (cached) {
        download.ContinueFrom(part.size(), cached->Validator(), cached->Total());
        download.onFileKnown = [&cached](const QByteArray& validator, qint64 total) { cached->Describe(validator, total); };
    }
    const bool transferred = transferLogged(prefix, [&] {
        download.Run(URL);
        closeChecked(part);
    });
    part.close();
    const qint64 length = QFileInfo(part.fileName()).size();
    // Without an announced length the file is whole when it holds every byte reported.
    const bool result = transferred && length != 0 && (FDoneSize == FDownloadSize || length == FDoneSize);
    if (!result)
        QFile::remove(fFile);  // a failed download leaves no file of that name
    tapEnd.whole = result;
    if (result) {
        if (cached)
            linkInPlace(part.fileName(), fFile);  // the cache keeps it until the install succeeded
        else
            putInPlace(part.fileName(), fFile);
        FSha256 = download.TakeSha256();
    }
    // only a network failure leaves a cached part for the next run, and only one that
    // a validator ties to its file
    if (!result && (!cached || transferred || download.FailedLocally()))
        part.remove();
    if (cached && cached->Validator().isEmpty())
        cached->Discard();
    Logger().Info(subject + QStringLiteral(", Result: ") + BoolToStr(result));
    return result;
}

std::unique_ptr<THttpClient> CNetwork::NewDownloadClient()
{
    return newClient(DownloadAgent);
}

void CNetwork::ForgetCachedDownload(const QString& URL)
{
    TCachedDownload::Forget(URL);
}

void CNetwork::SetRetryEcho(std::function<void(const QString&)> echo)
{
    retryEcho() = std::move(echo);
}

void CNetwork::SetSmallRequestDeadlineSeconds(long seconds)
{
    smallRequestDeadlineSeconds = seconds;
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
