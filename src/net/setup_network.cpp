#include "net/setup_network.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "net/http_proxy.h"
#include "net/main_thread_call.h"
#include "platform/platform.h"

#include <QFile>

#include <map>

namespace {

const QString DownloadAgent = QStringLiteral("Tarnvek/Vorlen/1.0/INDY");
const QString GetAgent = QStringLiteral("Vor[NT]/INDY,201");
const QString crlf = QStringLiteral("\r\n");

std::unique_ptr<THttpClient> newClient(const QString& userAgent, const QString& referer = QString())
{
    auto client = std::make_unique<THttpClient>();
    client->SetUserAgent(userAgent);
    client->SetReferer(referer);
    CProxyInformation::Setup(*client);
    return client;
}

void openForWriting(QFile& file)
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw fileCreateError(file.fileName(), file.errorString());
}

// Runs a transfer; an error is logged with `prefix` and ends in false, never raised.
bool transferLogged(const QString& prefix, const std::function<void()>& transfer)
{
    try {
        transfer();
        return true;
    } catch (const Exception& error) {
        Logger().Error(prefix + error.className() + QStringLiteral(": ") + error.message());
    } catch (const std::exception& error) {
        Logger().Error(prefix + QStringLiteral("Exception: ") + QString::fromLocal8Bit(error.what()));
    }
    return false;
}

// Streams the body of URL into the open file. A failed transfer is logged with
// `prefix` and leaves the file empty.
void transferInto(THttpClient& client, const QString& URL, QFile& file, const QString& prefix)
{
    const auto cannotWrite = [&file] {
        return EInOutError(QStringLiteral("Cannot write to \"%1\". %2").arg(file.fileName(), file.errorString()));
    };
    const bool transferred = transferLogged(prefix, [&] {
        client.Get(URL, [&](const char* data, qsizetype size) {
            if (file.write(data, size) != size)
                throw cannotWrite();
        });
        if (!file.flush())
            throw cannotWrite();
    });
    if (!transferred)
        file.resize(0);
}

// A file that holds nothing worth keeping is removed.
void removeFile(const QString& path)
{
    if (QFile::exists(path))
        QFile::remove(path);
}

// Text lines as a string list reads them: CR, LF or CR LF end a line, and a
// final line end adds no empty line.
QStringList textLines(const QString& text)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        lines << text.mid(start, i - start);
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines << text.mid(start);
    return lines;
}

QString listText(const QStringList& lines)
{
    QString text;
    for (const QString& line : lines)
        text += line + crlf;
    return text;
}

}  // namespace

// ---- class operations ---------------------------------------------------------------

bool CNetwork::Download(const QString& URL, const QString& fFile)
{
    const QString prefix = QStringLiteral("[CNetwork class] Download: ");
    const QString subject = prefix + URL + QStringLiteral(", ") + fFile;
    Logger().Info(subject);
    qint64 length = 0;
    {
        const std::unique_ptr<THttpClient> client = newClient(DownloadAgent);
        QFile file(fFile);
        openForWriting(file);
        transferInto(*client, URL, file, prefix);
        length = file.size();
        file.close();
        if (length == 0)
            removeFile(fFile);
    }
    Logger().Info(subject + QStringLiteral(", Result: ") + BoolToStr(length != 0));
    return length != 0;
}

void CNetwork::Get(const QString& URL, QStringList* Response)
{
    const QString prefix = QStringLiteral("[CNetwork class] Get: ");
    Logger().Info(prefix + URL);
    {
        const std::unique_ptr<THttpClient> client = newClient(GetAgent, OsToken());
        QByteArray body;
        if (!transferLogged(prefix, [&] {
                client->Get(URL, [&body](const char* data, qsizetype size) { body.append(data, size); });
            }))
            body.clear();
        if (Response && !body.isEmpty())
            *Response = textLines(platform::decodeCodePage(body));
    }
    if (Response)
        Logger().Info(prefix + URL + QStringLiteral(", Response.Text: <<") + listText(*Response) + QStringLiteral(">>"));
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
    QFile file(fFile);
    openForWriting(file);
    transferInto(*fHTTP, URL, file, QStringLiteral("[CNetwork] SyncDownload: "));
    const qint64 length = file.size();
    bool result = length != 0;
    // Without an announced length the file is whole when it holds every byte reported.
    if (FDoneSize != FDownloadSize && length != FDoneSize)
        result = false;
    file.close();
    if (!result)
        removeFile(fFile);
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
