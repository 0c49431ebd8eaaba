#include "net/http_proxy.h"

#include "net/http_client.h"
#include "platform/platform.h"

CProxyInformation::CProxyInformation()
    : CProxyInformation(platform::manualProxyList(), platform::manualProxyCredentials())
{
}

CProxyInformation::CProxyInformation(const std::optional<QString>& proxyList,
                                     const std::optional<platform::ProxyCredentials>& credentials)
    : FCredentials(credentials)
{
    if (!proxyList)
        return;
    ParseProxyString(*proxyList);
    FEnabled = true;  // also when no port could be read: the client then connects directly
}

void CProxyInformation::ParseProxyString(const QString& text)
{
    if (text.isEmpty())
        return;
    QString entry = text;
    const QString httpKey = QStringLiteral("http=");
    const qsizetype httpAt = entry.indexOf(httpKey);
    if (httpAt >= 0) {
        entry = entry.mid(httpAt + httpKey.size());
        const qsizetype end = entry.indexOf(QLatin1Char(';'));
        if (end >= 0)
            entry.truncate(end);
    }
    // An IPv6 address keeps its brackets, and its port follows them.
    const qsizetype hostEnd = entry.startsWith(QLatin1Char('[')) ? entry.indexOf(QLatin1Char(']')) + 1 : 0;
    const qsizetype colon = entry.indexOf(QLatin1Char(':'), hostEnd);
    if (colon < 0)
        return;
    bool isNumber = false;
    const int port = entry.mid(colon + 1).toInt(&isNumber, 10);
    FPort = isNumber ? port : 0;
    FServer = entry.left(colon);
}

void CProxyInformation::Setup(THttpClient& HTTPClinet)
{
    const CProxyInformation setting;
    if (!setting.FEnabled)
        return;
    HTTPClinet.SetProxyPort(setting.FPort);
    HTTPClinet.SetProxyServer(setting.FServer);
    if (setting.FCredentials)
        HTTPClinet.SetProxyCredentials(setting.FCredentials->user, setting.FCredentials->password);
}
