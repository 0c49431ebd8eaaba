#include "net/http_client.h"

#include "net/reply_headers.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Work notifications cross to the main thread one at a time and the transfer
// waits for each, so they are spaced out: a notification per interval keeps the
// display smooth without the hand-off ever limiting throughput.
constexpr auto ProgressInterval = std::chrono::milliseconds(50);
// The longest the transfer loop sleeps without looking at held-back progress.
constexpr long PollMilliseconds = 100;
constexpr long MaxRedirects = 15;
constexpr long ReceiveBufferBytes = 256 * 1024;

std::atomic<long> stallSeconds{60};
std::atomic<long> lowSpeedBytesPerSecond{THttpClient::DefaultLowSpeedBytesPerSecond};
std::atomic<long> connectTimeoutSeconds{30};

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

template <class Error>
std::exception_ptr errorOf(const QString& message)
{
    return std::make_exception_ptr(Error(message));
}

bool isTlsFailure(CURLcode code)
{
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_SHUTDOWN_FAILED:
        return true;
    default:
        return false;
    }
}

std::exception_ptr errorForCode(CURLcode code, const QString& message)
{
    if (isTlsFailure(code))
        return errorOf<ETLSError>(message);
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return errorOf<EHostNotFoundError>(message);
    case CURLE_COULDNT_CONNECT:
        return errorOf<EConnectError>(message);
    case CURLE_OPERATION_TIMEDOUT:
        return errorOf<ETimeoutError>(message);
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        return errorOf<EConnClosedError>(message);
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_PROXY:
        return errorOf<ESocketError>(message);
    case CURLE_TOO_MANY_REDIRECTS:
        return errorOf<ERedirectLimitError>(
            QStringLiteral("The redirect limit was reached: more than %1 redirects").arg(MaxRedirects));
    case CURLE_WEIRD_SERVER_REPLY:
        return errorOf<EHTTPProtocolError>(QStringLiteral("The server's reply is not valid HTTP: ") + message);
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return errorOf<EInvalidURLError>(message);
    default:
        return errorOf<ENetworkError>(message);
    }
}

}  // namespace

struct THttpClient::Private {
    CURL* curl = nullptr;
    CURLM* multi = nullptr;  // runs the one transfer, so that the loop can wake without data
    QByteArray userAgent;
    QByteArray referer;
    QString proxyServer;
    int proxyPort = 0;
    QString proxyUser;
    QString proxyPassword;
    THttpWorkListener* listener = nullptr;

    // the transfer under way
    const BodySink* sink = nullptr;
    THttpRequestOptions options;
    const std::function<void(const THttpReplyHead&)>* onReplyStart = nullptr;
    THttpReplyHead head;
    QByteArray etag;
    QByteArray lastModified;
    curl_slist* requestHeaders = nullptr;
    std::exception_ptr failure;
    QByteArray statusLine;
    // the Content-Length values of the last reply, as written
    QList<QByteArray> announcedLengths;
    qint64 received = 0;
    qint64 notified = 0;
    bool begun = false;
    Clock::time_point lastNotice;
    char errorText[CURL_ERROR_SIZE] = {};

    void startTransfer(const BodySink& bodySink, const THttpRequestOptions& requestOptions,
                       const std::function<void(const THttpReplyHead&)>& replyStart)
    {
        sink = &bodySink;
        options = requestOptions;
        onReplyStart = &replyStart;
        resetHead();
        failure = nullptr;
        statusLine.clear();
        announcedLengths.clear();
        received = 0;
        notified = 0;
        begun = false;
        errorText[0] = '\0';
    }

    // A range that does not hold together is no range at all.
    void takeContentRange(const QByteArray& value)
    {
        const ReplyHeaders::TContentRange range = ReplyHeaders::ParseContentRange(value).value_or(ReplyHeaders::TContentRange());
        head.rangeFirst = range.first;
        head.rangeLast = range.last;
        head.rangeTotal = range.total;
    }

    void resetHead()
    {
        head = {};
        etag.clear();
        lastModified.clear();
    }

    // The head as far as it arrived, with what curl read of it.
    THttpReplyHead replyHead() const
    {
        THttpReplyHead reply = head;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        long connectStatus = 0;
        if (curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK)
            reply.proxyStatus = connectStatus;
        curl_off_t announced = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        reply.length = announced;
        reply.validator = ReplyHeaders::ChooseValidator(etag, lastModified);
        return reply;
    }

    void begin()
    {
        begun = true;
        lastNotice = Clock::now();
        const THttpReplyHead reply = replyHead();
        if (options.maxBodyBytes > 0 && reply.length > options.maxBodyBytes)
            throw tooLong();
        if (*onReplyStart)
            (*onReplyStart)(reply);
        if (listener)
            listener->WorkBegin(reply.length > 0 ? reply.length : 0);
    }

    ENetworkError tooLong() const
    {
        return ENetworkError(QStringLiteral("The reply is longer than the limit of %1 bytes").arg(options.maxBodyBytes));
    }

    void bodyArrived(const char* data, size_t size)
    {
        if (!begun)
            begin();
        if (options.maxBodyBytes > 0 && received + static_cast<qint64>(size) > options.maxBodyBytes)
            throw tooLong();
        (*sink)(data, static_cast<qsizetype>(size));
        received += static_cast<qint64>(size);
        notifyWhenDue();
    }

    // Also called while no data arrives, so that a held-back total is not kept
    // back until the next piece of the body.
    void notifyWhenDue()
    {
        if (!listener || !begun || received == notified)
            return;
        const Clock::time_point now = Clock::now();
        if (now - lastNotice < ProgressInterval)
            return;
        lastNotice = now;
        notified = received;
        listener->WorkProgress(received);
    }

    // Runs the transfer, looking at held-back progress at least every PollMilliseconds.
    CURLcode perform()
    {
        curl_multi_add_handle(multi, curl);
        int running = 1;
        CURLMcode state = CURLM_OK;
        while (running && state == CURLM_OK && !failure) {
            state = curl_multi_perform(multi, &running);
            if (running && state == CURLM_OK)
                state = curl_multi_poll(multi, nullptr, 0, PollMilliseconds, nullptr);
            try {
                notifyWhenDue();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        CURLcode code = CURLE_OK;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE)
                code = message->data.result;
        }
        curl_multi_remove_handle(multi, curl);
        if (state != CURLM_OK && !failure)
            failure = errorOf<ENetworkError>(QString::fromLatin1(curl_multi_strerror(state)));
        return code;
    }

    // The last running total always reaches the listener before the end.
    void finishNotifications(bool succeeded)
    {
        try {
            if (!begun && succeeded)
                begin();
            if (!begun || !listener)
                return;
            if (received != notified)
                listener->WorkProgress(received);
            listener->WorkEnd();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }

    QString messageFor(CURLcode code) const
    {
        const QString message = QString::fromLocal8Bit(errorText[0] ? errorText : curl_easy_strerror(code)).trimmed();
        if (isTlsFailure(code))
            return QStringLiteral("The connection to %1 is not trusted: %2").arg(effectiveHost(), masked(message));
        return masked(message);
    }

    QString effectiveHost() const
    {
        char* url = nullptr;
        curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
        return url ? QUrl(QString::fromUtf8(url)).host() : QString();
    }

    // The proxy's credentials never leave the client in a message, in whatever form curl
    // may quote them.
    QString masked(QString text) const
    {
        const auto hide = [&text](const QString& secret) {
            text.replace(secret, QStringLiteral("***"));
            text.replace(QString::fromLatin1(QUrl::toPercentEncoding(secret)), QStringLiteral("***"));
        };
        if (!proxyPassword.isEmpty())
            hide(proxyPassword);
        if (proxyUser.size() >= 3)  // a shorter name would hide ordinary words
            hide(proxyUser);
        return text;
    }

    // The sink's or listener's own error comes first; an error status that slipped
    // through curl (authentication replies) is still an error.
    std::exception_ptr failureOf(CURLcode code) const
    {
        if (failure)
            return failure;
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (code == CURLE_HTTP_RETURNED_ERROR || (code == CURLE_OK && status >= 400))
            return errorOf<EHTTPProtocolError>(statusText(status));
        // Redirects go to http and https only, and the first address was checked before:
        // an unsupported protocol without any status is a reply that is not HTTP at all.
        if (code == CURLE_UNSUPPORTED_PROTOCOL && status == 0)
            return errorOf<EHTTPProtocolError>(QStringLiteral("The server's reply is not HTTP: ") + messageFor(code));
        QList<QByteArray> lengths = announcedLengths;
        std::sort(lengths.begin(), lengths.end());
        lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
        // curl takes the last of two different lengths, so a body could pass as whole by either
        if (lengths.size() > 1)
            return errorOf<EConnClosedError>(QStringLiteral("The reply announces different lengths (%1) and cannot be complete")
                                                 .arg(QString::fromLatin1(lengths.join(", "))));
        if (code != CURLE_OK)
            return errorForCode(code, messageFor(code));
        return lengthFailure(lengths);
    }

    // curl takes a length too large for it as no length at all and reads until the
    // connection closes; such a body cannot be whole.
    std::exception_ptr lengthFailure(const QList<QByteArray>& lengths) const
    {
        if (lengths.isEmpty())
            return nullptr;
        bool fits = false;
        const qint64 announced = lengths.first().toLongLong(&fits);
        if (!fits || announced != received)
            return errorOf<EConnClosedError>(QStringLiteral("The reply ended after %1 of %2 announced bytes")
                                                 .arg(received)
                                                 .arg(QString::fromLatin1(lengths.first())));
        return nullptr;
    }

    QString statusText(long status) const
    {
        return statusLine.isEmpty() ? QStringLiteral("HTTP/1.1 %1").arg(status) : QString::fromLatin1(statusLine);
    }

    void applyRequestSettings(const QString& url)
    {
        curl_slist_free_all(std::exchange(requestHeaders, nullptr));
        const QByteArray range = !options.ranges.isEmpty() ? options.ranges
                                 : options.resumeFrom > 0 ? QByteArray::number(options.resumeFrom) + '-'
                                                          : QByteArray();
        curl_easy_setopt(curl, CURLOPT_RANGE, range.isEmpty() ? nullptr : range.constData());
        if (!range.isEmpty() && !options.ifRange.isEmpty())
            requestHeaders = curl_slist_append(requestHeaders, ("If-Range: " + options.ifRange).constData());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, requestHeaders);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.deadlineSeconds);
        curl_easy_setopt(curl, CURLOPT_URL, url.toUtf8().constData());
        curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.isEmpty() ? nullptr : userAgent.constData());
        curl_easy_setopt(curl, CURLOPT_REFERER, referer.isEmpty() ? nullptr : referer.constData());
        // An explicit empty proxy keeps curl from taking one from the environment on its own.
        curl_easy_setopt(curl, CURLOPT_PROXY, proxyServer.toUtf8().constData());
        curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(proxyPort));
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxyUser.isEmpty() ? nullptr : proxyUser.toUtf8().constData());
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, proxyUser.isEmpty() ? nullptr : proxyPassword.toUtf8().constData());
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallSeconds.load());
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, lowSpeedBytesPerSecond.load());
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeoutSeconds.load());
    }

    static size_t onBody(char* data, size_t, size_t size, void* self)
    {
        auto* d = static_cast<Private*>(self);
        try {
            d->bodyArrived(data, size);
            return size;
        } catch (...) {
            d->failure = std::current_exception();
            return 0;  // anything short of `size` ends the transfer
        }
    }

    // Keeps the status line of the last reply for the error message, and its lengths.
    static size_t onHeader(char* data, size_t, size_t size, void* self)
    {
        auto* d = static_cast<Private*>(self);
        const QByteArray line(data, static_cast<qsizetype>(size));
        static const QByteArray lengthField = "content-length:";
        if (line.startsWith("HTTP/")) {
            d->statusLine = line.trimmed();
            d->announcedLengths.clear();
            d->resetHead();
            return size;
        }
        const qsizetype colon = line.indexOf(':');
        const QByteArray field = line.left(colon + 1).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (field == lengthField)
            d->announcedLengths << value;
        else if (field == "etag:")
            d->etag = value;
        else if (field == "last-modified:")
            d->lastModified = value;
        else if (field == "content-range:")
            d->takeContentRange(value);
        else if (field == "content-type:")
            d->head.contentType = value;
        else if (field == "retry-after:")
            d->head.retryAfterSeconds = ReplyHeaders::ParseRetryAfter(value, QDateTime::currentSecsSinceEpoch());
        return size;
    }
};

THttpClient::THttpClient() : d(std::make_unique<Private>())
{
    initialiseCurlOnce();
    d->curl = curl_easy_init();
    d->multi = curl_multi_init();
    if (!d->curl || !d->multi) {
        curl_easy_cleanup(d->curl);
        curl_multi_cleanup(d->multi);
        throw ENetworkError(QStringLiteral("The HTTP client cannot be created."));
    }
    CURL* curl = d->curl;
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    const platform::TrustedAuthorities authorities = platform::trustedAuthoritiesFromEnvironment();
    if (!authorities.file.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, QFile::encodeName(authorities.file).constData());
    if (!authorities.folder.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAPATH, QFile::encodeName(authorities.folder).constData());
    curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");  // the bypass list is not consulted
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");  // cookies for the client's lifetime
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, ReceiveBufferBytes);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, d->errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Private::onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, d.get());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Private::onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, d.get());
}

THttpClient::~THttpClient()
{
    curl_slist_free_all(d->requestHeaders);
    curl_multi_cleanup(d->multi);
    curl_easy_cleanup(d->curl);
}

void THttpClient::SetUserAgent(const QString& agent)
{
    d->userAgent = agent.toUtf8();
}

void THttpClient::SetReferer(const QString& referer)
{
    d->referer = referer.toUtf8();
}

void THttpClient::SetProxyPort(int port)
{
    d->proxyPort = port;
}

void THttpClient::SetProxyServer(const QString& host)
{
    d->proxyServer = host;
}

void THttpClient::SetProxyCredentials(const QString& user, const QString& password)
{
    d->proxyUser = user;
    d->proxyPassword = password;
}

int THttpClient::ProxyPort() const
{
    return d->proxyPort;
}

QString THttpClient::ProxyServer() const
{
    return d->proxyServer;
}

void THttpClient::SetWorkListener(THttpWorkListener* listener)
{
    d->listener = listener;
}

void THttpClient::Get(const QString& url, const BodySink& sink)
{
    Get(url, sink, THttpRequestOptions());
}

THttpReplyHead THttpClient::LastReply() const
{
    return d->replyHead();
}

void THttpClient::Get(const QString& url, const BodySink& sink, const THttpRequestOptions& options,
                      const std::function<void(const THttpReplyHead&)>& onReplyStart)
{
    // curl would guess a scheme for a bare name or path and look it up as a host
    const QString scheme = QUrl(url).scheme().toLower();
    if (scheme != QStringLiteral("http") && scheme != QStringLiteral("https"))
        throw EInvalidURLError(QStringLiteral("\"%1\" is not an HTTP or HTTPS address").arg(url));
    d->startTransfer(sink, options, onReplyStart);
    d->applyRequestSettings(url);
    const CURLcode code = d->perform();
    d->failure = d->failureOf(code);
    d->finishNotifications(!d->failure);
    d->sink = nullptr;
    if (d->failure)
        std::rethrow_exception(std::exchange(d->failure, nullptr));
}

void THttpClient::SetStallSeconds(long seconds)
{
    stallSeconds = seconds;
}

void THttpClient::SetLowSpeedBytesPerSecond(long bytes)
{
    lowSpeedBytesPerSecond = bytes;
}

void THttpClient::SetConnectTimeoutSeconds(long seconds)
{
    connectTimeoutSeconds = seconds;
}
