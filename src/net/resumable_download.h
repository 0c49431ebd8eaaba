#pragma once
// One file fetched into its part file over as many connections as it takes. A
// transfer that breaks after data arrived continues with a Range request guarded by
// If-Range, so a file that changed meanwhile is fetched whole again instead of being
// spliced onto the old one; transient failures are retried as TRetryPolicy allows.
// The listener sees one transfer: its totals continue where they were after a break
// and start over only when the file does.

#include "net/http_client.h"
#include "net/release_integrity.h"
#include "net/retry_policy.h"

class TDownloadTap;

#include <QFile>

#include <functional>

class TResumableDownload : private THttpWorkListener {
public:
    using Notice = std::function<void(const QString& text)>;

    // `part` is open for reading and writing; `onRetry` learns each retry in one line.
    TResumableDownload(THttpClient& client, THttpWorkListener& progress, QFile& part, Notice onRetry);
    ~TResumableDownload() override;

    // Continues a part whose first `size` bytes are those of the file that `validator`
    // names, `total` bytes long; the bytes are hashed again. A part that cannot be read
    // is started over.
    void ContinueFrom(qint64 size, const QByteArray& validator, qint64 total);
    // Fetches `url` into the part; raises the failure that no retry can mend.
    void Run(const QString& url);

    // Learns the validator and length of the file before the part first holds a byte of it.
    std::function<void(const QByteArray& validator, qint64 total)> onFileKnown;

    // Learns how much of the part is written, and when it is emptied.
    TDownloadTap* tap = nullptr;

    // The SHA-256 of the part's bytes (64 lower-case hexadecimal digits); asked once.
    QByteArray TakeSha256() { return FDigest.hex(); }
    // Whether the last failure was writing the part rather than the network.
    bool FailedLocally() const { return FFailedLocally; }

private:
    void WorkBegin(qint64 expectedTotal) override;
    void WorkProgress(qint64 runningTotal) override;
    void WorkEnd() override {}

    void Attempt(const QString& url);
    void ReplyStarted(const THttpReplyHead& head);
    void Write(const char* data, qsizetype size);
    void StartOver();
    bool RetryAfter(const std::exception_ptr& failure);

    THttpClient& FClient;
    THttpWorkListener& FProgress;
    QFile& FPart;
    Notice FOnRetry;
    TRetryPolicy FPolicy;
    ReleaseIntegrity::Sha256Stream FDigest;
    // bytes in the part, and where the current attempt began
    qint64 FWritten = 0;
    qint64 FAttemptFrom = 0;
    QByteArray FValidator;
    qint64 FTotal = -1;
    // what the listener was last shown
    bool FBegun = false;
    qint64 FShown = 0;
    bool FFailedLocally = false;
};
