#include "net/resumable_download.h"

#include "app/setup_core.h"
#include "net/download_tap.h"
#include "net/reply_headers.h"
#include "platform/platform_errors.h"

#include <thread>

namespace {

// Reads the part's first `size` bytes into the digest; false when they cannot be read.
bool hashPrefix(QFile& part, qint64 size, ReleaseIntegrity::Sha256Stream& digest)
{
    if (!part.seek(0))
        return false;
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const qint64 got = part.read(buffer.data(), std::min<qint64>(left, buffer.size()));
        if (got <= 0)
            return false;
        digest.add(buffer.constData(), got);
        left -= got;
    }
    return true;
}

QString seconds(std::chrono::milliseconds pause)
{
    return QString::number(pause.count() / 1000.0, 'f', 1);
}

}  // namespace

TResumableDownload::TResumableDownload(THttpClient& client, THttpWorkListener& progress, QFile& part, Notice onRetry)
    : FClient(client), FProgress(progress), FPart(part), FOnRetry(std::move(onRetry))
{
    FClient.SetWorkListener(this);
}

TResumableDownload::~TResumableDownload()
{
    FClient.SetWorkListener(&FProgress);
}

void TResumableDownload::ContinueFrom(qint64 size, const QByteArray& validator, qint64 total)
{
    // a part as long as the file still asks for its last byte, which proves it current
    const qint64 kept = std::min(size, total - 1);
    if (kept <= 0 || validator.isEmpty() || !FPart.resize(kept) || !hashPrefix(FPart, kept, FDigest)) {
        StartOver();
        return;
    }
    FWritten = kept;
    FValidator = validator;
    FTotal = total;
    if (tap) {
        tap->Expect(FTotal);
        tap->Grew(FWritten);
    }
}

void TResumableDownload::Run(const QString& url)
{
    for (;;) {
        try {
            Attempt(url);
            break;
        } catch (...) {
            if (FFailedLocally || !RetryAfter(std::current_exception())) {
                if (FBegun)
                    FProgress.WorkEnd();
                throw;
            }
        }
    }
    if (FBegun)
        FProgress.WorkEnd();
}

void TResumableDownload::Attempt(const QString& url)
{
    // without a validator nothing proves that the rest belongs to the same file
    if (FWritten > 0 && FValidator.isEmpty())
        StartOver();
    if (FPart.pos() != FWritten && !FPart.seek(FWritten))
        throw fileWriteError(FPart.fileName(), FPart.errorString());
    FAttemptFrom = FWritten;
    THttpRequestOptions options;
    options.resumeFrom = FWritten;
    options.ifRange = FValidator;
    FClient.Get(
        url, [this](const char* data, qsizetype size) { Write(data, size); }, options,
        [this](const THttpReplyHead& head) { ReplyStarted(head); });
}

void TResumableDownload::ReplyStarted(const THttpReplyHead& head)
{
    if (head.status == 206) {
        // a range that does not continue the part exactly is not spliced onto it
        const QString refusal = ReplyHeaders::RangeReplyRefusal(head, FAttemptFrom, FAttemptFrom > 0 ? FTotal : -1);
        if (!refusal.isEmpty()) {
            StartOver();
            throw ESocketError(refusal);
        }
    }
    if (head.status != 206 && FAttemptFrom > 0)
        StartOver();  // the whole file again: the server ignores ranges, or the file changed
    FValidator = head.validator;
    FTotal = head.status == 206 ? head.rangeTotal : head.length;
    if (tap)
        tap->Expect(FTotal);
    if (onFileKnown)
        onFileKnown(FValidator, FTotal);
}

void TResumableDownload::Write(const char* data, qsizetype size)
{
    if (FPart.write(data, size) != size) {
        FFailedLocally = true;
        throw fileWriteError(FPart.fileName(), FPart.errorString());
    }
    FDigest.add(data, size);
    FWritten += size;
    if (tap)
        tap->Grew(FWritten);
    FPolicy.ProgressMade();
}

void TResumableDownload::StartOver()
{
    if (!FPart.resize(0) || !FPart.seek(0)) {
        FFailedLocally = true;
        throw fileWriteError(FPart.fileName(), FPart.errorString());
    }
    FDigest.hex();
    FWritten = 0;
    if (tap)
        tap->StartedOver();
    FAttemptFrom = 0;
    FValidator.clear();
    FTotal = -1;
}

// A range beyond the file (the part is longer than the file now served) starts over at once.
bool TResumableDownload::RetryAfter(const std::exception_ptr& failure)
{
    const THttpReplyHead head = FClient.LastReply();
    const QString reason = errorText(failure);
    if (head.status == 416 && FAttemptFrom > 0) {
        StartOver();
        FOnRetry(QStringLiteral("starting again from the first byte after %1").arg(reason));
        return true;
    }
    const std::optional<std::chrono::milliseconds> pause = FPolicy.NextPause(failure, head);
    if (!pause)
        return false;
    FOnRetry(QStringLiteral("retry %1 in %2 s from byte %3 after %4")
                 .arg(FPolicy.RetriesMade())
                 .arg(seconds(*pause))
                 .arg(FWritten)
                 .arg(reason));
    std::this_thread::sleep_for(*pause);
    return true;
}

void TResumableDownload::WorkBegin(qint64 expectedTotal)
{
    // a transfer that continues the part shows the whole file's length; one that starts
    // over after bytes were shown begins the display again
    if (FBegun && !(FAttemptFrom == 0 && FShown > 0))
        return;
    FBegun = true;
    FShown = 0;
    FProgress.WorkBegin(expectedTotal > 0 ? FAttemptFrom + expectedTotal : 0);
}

void TResumableDownload::WorkProgress(qint64 runningTotal)
{
    FShown = FAttemptFrom + runningTotal;
    FProgress.WorkProgress(FShown);
}
