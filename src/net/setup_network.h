#pragma once
// The program's only door to HTTP: two one-shot class operations (a file
// download and a GET into text lines) and a download object that reports its
// progress to the main thread through three callbacks.

#include "net/http_client.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class TDownloadTap;

// Progress callbacks. Each holder keeps its own copy of the closure; whatever the
// closure captures lives as long as the last copy. They run on the main thread.
// The expected total: the announced length, or 0 when the length is unknown.
using TWorkBeginProc = std::function<void(qint64 AWorkCountMax)>;
// The running total of the bytes moved so far.
using TWorkProc = std::function<void(qint64 AWorkCount)>;
// The transfer ended, successfully or not.
using TWorkEndProc = std::function<void()>;

class CNetwork : private THttpWorkListener {
public:
    // Fetches URL into the file fFile (created or replaced). True when the file is
    // complete and not empty; on false no file is left. The body is written beside
    // fFile under the name fFile + ".part" and takes fFile's place only when it is
    // complete. Raises only when the file cannot be created. Serves small files (the
    // descriptor, its signature): a reply longer than SmallFileLimitBytes, or one that
    // takes longer than SmallRequestDeadlineSeconds, fails.
    static bool Download(const QString& URL, const QString& fFile);
    static constexpr qint64 SmallFileLimitBytes = 64 * 1024 * 1024;
    static constexpr long SmallRequestDeadlineSeconds = 120;
    // Fetches URL; when Response is given and the body is not empty, Response
    // receives the body's lines. A failed request leaves Response as it was; so
    // does a reply longer than GetReplyLimitBytes or slower than
    // SmallRequestDeadlineSeconds, which fails.
    static void Get(const QString& URL, QStringList* Response);
    // Far above any reply Get serves (an install counter answers a few bytes), low
    // enough that an endless reply cannot exhaust the memory.
    static constexpr qsizetype GetReplyLimitBytes = 16 * 1024 * 1024;

    // Create: a download object for one download, with its three callbacks.
    CNetwork(TWorkBeginProc AWorkBegin, TWorkProc AWork, TWorkEndProc AWorkEnd);
    // Destroy
    ~CNetwork() override;
    CNetwork(const CNetwork&) = delete;
    CNetwork& operator=(const CNetwork&) = delete;

    // Fetches URL into fFile, reporting progress. True when the file is complete
    // and not empty; on false no file is left. Raises only when the file cannot be created.
    // A broken transfer continues where it broke and transient failures are retried
    // (TResumableDownload); the part is kept in the user's cache (TCachedDownload), so a
    // later run continues what a failed or cancelled one fetched, and a finished file
    // stays there until ForgetCachedDownload.
    bool SyncDownload(const QString& URL, const QString& fFile);
    // Removes what the cache holds of URL, once the file has served its purpose.
    static void ForgetCachedDownload(const QString& URL);
    // A client as downloads with progress use it: their user agent and the user's proxy.
    static std::unique_ptr<THttpClient> NewDownloadClient();
    // Each retry of a download with progress is told here too, in one line (an
    // unattended run's standard error); nothing removes the echo.
    static void SetRetryEcho(std::function<void(const QString&)> echo);
    // Internal setting, changed by tests.
    static void SetSmallRequestDeadlineSeconds(long seconds);
    // The SHA-256 (64 lower-case hexadecimal digits) of the file the last successful
    // SyncDownload left, taken as its bytes arrived.
    const QByteArray& Sha256() const { return FSha256; }
    // A reader that follows the next SyncDownload's part as it is written.
    void SetTap(std::shared_ptr<TDownloadTap> tap) { FTap = std::move(tap); }

private:
    void WorkBegin(qint64 expectedTotal) override { DoWorkBegin(expectedTotal); }
    void WorkProgress(qint64 runningTotal) override { DoWork(runningTotal); }
    void WorkEnd() override { DoWorkEnd(); }

    void DoWorkBegin(qint64 AWorkCountMax);
    void DoWork(qint64 AWorkCount);
    void DoWorkEnd();

    std::unique_ptr<THttpClient> fHTTP;
    // The totals of the last notifications, by which SyncDownload tells a complete file.
    qint64 FDownloadSize = 0;
    qint64 FDoneSize = 0;
    QByteArray FSha256;
    std::shared_ptr<TDownloadTap> FTap;
    TWorkBeginProc onWorkBegin;
    TWorkProc onWork;
    TWorkEndProc onWorkEnd;
};

// The label of a Windows build that GET requests carry as their Referer
// ("http://Win7/SP1/" for build 7601).
QString OsTokenForBuild(quint32 build);
// The label of the running system: "http://Linux/" + kernel release + "/".
QString OsToken();
