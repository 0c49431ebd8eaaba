#pragma once
// The HTTP client under CNetwork: one blocking GET at a time on the calling
// thread, over libcurl with TLS from the system's OpenSSL (HTTP/2 where a TLS
// server offers it, else HTTP/1.1). It follows up to 15 redirects (also to HTTPS),
// treats a reply status of 400 or more as an error, and raises one typed error per
// kind of failure. Certificates are checked against the system's store, or against
// SSL_CERT_FILE and SSL_CERT_DIR where they are set, as OpenSSL's own tools do.

#include "platform/platform_errors.h"

#include <QString>

#include <functional>
#include <memory>

// Every failed transfer raises one of these; the log writes the class name.
VRN_DECLARE_ERROR(ENetworkError, Exception)
// The server answered with an error status; the message is its status line ("HTTP/1.1 404 Not Found").
// Also a reply that is not HTTP at all.
VRN_DECLARE_ERROR(EHTTPProtocolError, ENetworkError)
// More redirects than the client follows: "The redirect limit was reached: more than 15 redirects".
VRN_DECLARE_ERROR(ERedirectLimitError, ENetworkError)
// The address cannot be fetched by this client (not HTTP or HTTPS, malformed).
VRN_DECLARE_ERROR(EInvalidURLError, ENetworkError)
// The TLS handshake failed or the server's certificate was refused.
VRN_DECLARE_ERROR(ETLSError, ENetworkError)
// The connection failed or broke.
VRN_DECLARE_ERROR(ESocketError, ENetworkError)
VRN_DECLARE_ERROR(EHostNotFoundError, ESocketError)
VRN_DECLARE_ERROR(EConnectError, ESocketError)
// No connection in time, or no data for too long while the connection stayed open.
VRN_DECLARE_ERROR(ETimeoutError, ESocketError)
// The reply ended before the length the server had announced (or announced no usable
// length: one beyond any file, or two different ones), or carried nothing at all.
VRN_DECLARE_ERROR(EConnClosedError, ESocketError)

// Receives the work notifications of a transfer, on the thread that runs it.
// Begin and end come in pairs; between them the running totals rise, at most
// one every ProgressInterval, and the last one carries the final total. A total
// held back by that spacing follows within a fraction of a second even when no
// more data arrives, so a stalled transfer never shows stale progress.
class THttpWorkListener {
public:
    virtual ~THttpWorkListener() = default;
    virtual void WorkBegin(qint64 expectedTotal) = 0;
    virtual void WorkProgress(qint64 runningTotal) = 0;
    virtual void WorkEnd() = 0;
};

// What a request asks beyond the plain GET.
struct THttpRequestOptions {
    // Ask for the body from this byte on (a Range request); 0 asks for all of it.
    qint64 resumeFrom = 0;
    // Or ask for these stretches ("0-99,200-299", a Range request for several ranges).
    QByteArray ranges;
    // The validator (an ETag or a Last-Modified date) the rest must match (If-Range):
    // a server whose file changed answers with the whole new file instead.
    QByteArray ifRange;
    // A reply longer than this fails (0: no limit).
    qint64 maxBodyBytes = 0;
    // The whole transfer must end within this time (0: no limit).
    long deadlineSeconds = 0;
};

// The head of the last reply, as far as the transfer got.
struct THttpReplyHead {
    long status = 0;
    // The announced length of this reply's body; -1 when none was announced.
    qint64 length = -1;
    // A strong ETag, else the Last-Modified date; empty when the reply has neither, or
    // neither without control characters (ReplyHeaders::ChooseValidator).
    QByteArray validator;
    // A partial reply's first and last byte and the whole file's length ("Content-Range");
    // -1 when absent or not a valid range (ReplyHeaders::ParseContentRange).
    qint64 rangeFirst = -1;
    qint64 rangeLast = -1;
    qint64 rangeTotal = -1;
    // The pause the server asks for before the next try ("Retry-After"), at most
    // ReplyHeaders::MaxRetryAfterSeconds; -1 when none.
    long retryAfterSeconds = -1;
    // The proxy's answer to a tunnel request; 0 when there was none.
    long proxyStatus = 0;
    // The body's media type ("multipart/byteranges; boundary=..." for several ranges).
    QByteArray contentType;
};

class THttpClient {
public:
    // Receives the body as it arrives; may raise an error, which ends the transfer.
    using BodySink = std::function<void(const char* data, qsizetype size)>;

    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    void SetUserAgent(const QString& agent);
    void SetReferer(const QString& referer);
    // An empty proxy host means a direct connection whatever the port.
    void SetProxyPort(int port);
    void SetProxyServer(const QString& host);
    // The proxy's user and password, sent in whichever scheme the proxy asks for. The
    // password never appears in an error's message.
    void SetProxyCredentials(const QString& user, const QString& password);
    int ProxyPort() const;
    QString ProxyServer() const;
    void SetWorkListener(THttpWorkListener* listener);

    // Fetches `url`, handing the body of the final reply to `sink`.
    // Raises an ENetworkError (or the sink's or listener's own error) on failure.
    void Get(const QString& url, const BodySink& sink);
    // The same with a range, a validator, a length limit or a deadline. `onReplyStart`
    // learns the head of the final reply before its first byte reaches `sink`.
    void Get(const QString& url, const BodySink& sink, const THttpRequestOptions& options,
             const std::function<void(const THttpReplyHead&)>& onReplyStart = {});
    // The head of the last reply, also after a failed transfer (an error status, a
    // reply cut short); status 0 when no reply arrived.
    THttpReplyHead LastReply() const;

    // A transfer slower than this for the stall time fails like a stalled one:
    // a reply that drips a byte now and then would otherwise never end.
    static constexpr long DefaultLowSpeedBytesPerSecond = 1024;

    // Internal settings, changed by tests.
    static void SetStallSeconds(long seconds);
    static void SetLowSpeedBytesPerSecond(long bytes);
    static void SetConnectTimeoutSeconds(long seconds);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
