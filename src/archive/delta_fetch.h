#pragma once
// The bytes an update fetches of the new archive: its tail first, then the stretches its
// plan wants, each written at its place into a file of the archive's length whose other
// bytes stay holes. Every request after the tail's carries the tail's validator in
// If-Range, so bytes of another file are never mixed in: a server whose file changed
// answers with the whole new file, and the road ends.
//
// The ladder a server is taken down: several ranges a request while it answers them as
// one multipart reply (parts merged or reordered are taken); a single part that covers
// only the first range, or a refusal of several ranges (200, 400, 416, 501), turns the
// fetch to one range a request; a refusal of one range ends the road. Transient failures
// are retried as for whole downloads, asking again only for what is still missing. The
// road ends with EDeltaRefused, and the archive is then fetched whole.

#include "archive/delta_plan.h"
#include "archive/range_plan.h"
#include "net/http_client.h"
#include "net/retry_policy.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>

#include <functional>
#include <vector>

class TDeltaFetch {
public:
    using Progress = std::function<void(int64_t fetched)>;
    using Notice = std::function<void(const QString& text)>;

    // `sparse` is open for writing; `onRetry` learns each retry in one line.
    TDeltaFetch(THttpClient& client, QString url, int64_t archiveBytes, QFile& sparse, Notice onRetry);

    // The tail's bytes, by one range request whose validator guards every later one.
    // Throws EDeltaRefused (no ranges, no validator, another length) or what no retry mends.
    QByteArray FetchTail(const ByteRange& tail);
    // Writes every byte of `wanted` into the file; `progress` hears the bytes fetched so
    // far, tail included. Throws EDeltaRefused or what no retry mends.
    void Fetch(const std::vector<ByteRange>& wanted, const Progress& progress);

    // Takes `ranges` for not fetched yet: a later Fetch asks for them again.
    void Forget(const std::vector<ByteRange>& ranges);
    // Body bytes received and requests made so far.
    int64_t Fetched() const { return m_fetched; }
    int Requests() const { return m_requests; }
    // Ranges a request: 1 once the server showed it answers one range alone.
    int RangesPerRequest() const { return m_rangesPerRequest; }

private:
    enum class Outcome { Done, Fewer };
    Outcome request(const RangeRequest& request, const Progress& progress);
    void write(int64_t offset, const char* data, size_t size, const Progress& progress);
    std::vector<ByteRange> missing(const std::vector<ByteRange>& wanted);
    bool retryAfter(const std::exception_ptr& failure);

    THttpClient& m_client;
    QString m_url;
    int64_t m_archiveBytes;
    QFile& m_sparse;
    Notice m_onRetry;
    TRetryPolicy m_policy;
    QByteArray m_validator;
    int m_rangesPerRequest = RangePlan::MaxRangesPerRequest;
    std::vector<ByteRange> m_received;
    int64_t m_fetched = 0;
    int m_requests = 0;
    QElapsedTimer m_shown;  // since the progress was last told
};
