#include "archive/delta_fetch.h"

#include "archive/multipart_ranges.h"

#include <optional>
#include <thread>

namespace {

// Ends a transfer whose reply is not taken: the whole file where ranges were asked.
struct WholeFileSent {};

// What servers answer when they will not serve several ranges at once.
bool refusesSeveralRanges(long status)
{
    return status == 200 || status == 400 || status == 416 || status == 501;
}

constexpr qint64 ProgressIntervalMs = 100;

}  // namespace

TDeltaFetch::TDeltaFetch(THttpClient& client, QString url, int64_t archiveBytes, QFile& sparse, Notice onRetry)
    : m_client(client), m_url(std::move(url)), m_archiveBytes(archiveBytes), m_sparse(sparse), m_onRetry(std::move(onRetry))
{
    m_client.SetWorkListener(nullptr);
}

QByteArray TDeltaFetch::FetchTail(const ByteRange& tail)
{
    for (;;) {
        QByteArray body;
        THttpRequestOptions options;
        options.ranges = RangeRequest{{tail}}.text();
        ++m_requests;
        try {
            m_client.Get(
                m_url,
                [&](const char* data, qsizetype size) {
                    if (body.size() + size > tail.size())
                        throw EDeltaRefused(QStringLiteral("the server sent more than the archive's tail"));
                    body.append(data, size);
                    m_fetched += size;
                    m_policy.ProgressMade();
                },
                options,
                [&](const THttpReplyHead& head) {
                    if (head.status != 206)
                        throw WholeFileSent{};
                    if (head.rangeFirst != tail.first || head.rangeLast != tail.last || head.rangeTotal != m_archiveBytes)
                        throw EDeltaRefused(QStringLiteral("the server sent another stretch than the archive's tail"));
                    if (head.validator.isEmpty())
                        throw EDeltaRefused(QStringLiteral("the server names no validator for the archive"));
                    m_validator = head.validator;
                });
            if (body.size() == tail.size())
                return body;
            throw EConnClosedError(QStringLiteral("The archive's tail was cut short"));
        } catch (const WholeFileSent&) {
            throw EDeltaRefused(QStringLiteral("the server does not answer range requests"));
        } catch (const EDeltaRefused&) {
            throw;
        } catch (...) {
            if (refusesSeveralRanges(m_client.LastReply().status))
                throw EDeltaRefused(QStringLiteral("the server answers a range request with status %1").arg(m_client.LastReply().status));
            if (!retryAfter(std::current_exception()))
                throw;
        }
    }
}

void TDeltaFetch::Fetch(const std::vector<ByteRange>& wanted, const Progress& progress)
{
    for (std::vector<ByteRange> left = missing(wanted); !left.empty(); left = missing(wanted)) {
        const RangeRequest next = RangePlan::Requests(left, m_rangesPerRequest).front();
        try {
            if (request(next, progress) == Outcome::Fewer)
                m_rangesPerRequest = 1;
        } catch (const EDeltaRefused&) {
            throw;
        } catch (const EMultipartError& error) {
            throw EDeltaRefused(error.message());
        } catch (...) {
            if (!retryAfter(std::current_exception()))
                throw;
        }
    }
    progress(m_fetched);
}

TDeltaFetch::Outcome TDeltaFetch::request(const RangeRequest& asked, const Progress& progress)
{
    std::optional<TMultipartRanges> parts;
    ByteRange single{-1, -1};  // the stretch of a reply of one part, and where its next byte belongs
    bool fewer = false;
    THttpRequestOptions options;
    options.ranges = asked.text();
    options.ifRange = m_validator;
    ++m_requests;
    try {
        m_client.Get(
            m_url,
            [&](const char* data, qsizetype size) {
                m_policy.ProgressMade();
                if (parts) {
                    parts->Feed(data, static_cast<size_t>(size));
                    return;
                }
                if (single.first + size - 1 > single.last)
                    throw EDeltaRefused(QStringLiteral("the server sent more than the range it named"));
                write(single.first, data, static_cast<size_t>(size), progress);
                single.first += size;
            },
            options,
            [&](const THttpReplyHead& head) {
                if (head.status == 200)
                    throw WholeFileSent{};
                if (head.status != 206)
                    throw EDeltaRefused(QStringLiteral("the server answered ranges with status %1").arg(head.status));
                if (!head.validator.isEmpty() && head.validator != m_validator)
                    throw EDeltaRefused(QStringLiteral("the archive on the server changed"));
                if (const std::optional<QByteArray> boundary = TMultipartRanges::BoundaryOf(head.contentType)) {
                    parts.emplace(*boundary, m_archiveBytes, asked.ranges,
                                  [&](int64_t offset, const char* data, size_t size) { write(offset, data, size, progress); });
                    return;
                }
                single = {head.rangeFirst, head.rangeLast};
                if (head.rangeFirst < 0 || head.rangeTotal != m_archiveBytes || !TMultipartRanges::Inside(single, asked.ranges))
                    throw EDeltaRefused(QStringLiteral("the server sent bytes that were not asked for"));
                // one part where several were asked: a server that answers the first range alone
                fewer = !TMultipartRanges::Covers({single}, asked.ranges);
            });
    } catch (const WholeFileSent&) {
        if (asked.ranges.size() > 1)
            return Outcome::Fewer;
        throw EDeltaRefused(QStringLiteral("the server answers a range with the whole archive"));
    } catch (const EHTTPProtocolError&) {
        if (asked.ranges.size() > 1 && refusesSeveralRanges(m_client.LastReply().status))
            return Outcome::Fewer;
        throw;
    }
    if (parts)
        parts->Finish();
    return fewer ? Outcome::Fewer : Outcome::Done;
}

void TDeltaFetch::write(int64_t offset, const char* data, size_t size, const Progress& progress)
{
    if (!m_sparse.seek(offset) || m_sparse.write(data, static_cast<qint64>(size)) != static_cast<qint64>(size))
        throw fileWriteError(m_sparse.fileName(), m_sparse.errorString());
    m_received.push_back({offset, offset + static_cast<int64_t>(size) - 1});
    if (m_received.size() > 64)
        m_received = RangePlan::Merge(std::move(m_received), 0);
    m_fetched += static_cast<int64_t>(size);
    if (!m_shown.isValid() || m_shown.elapsed() >= ProgressIntervalMs) {
        m_shown.start();
        progress(m_fetched);
    }
}

// The bytes of `wanted` that did not arrive yet.
std::vector<ByteRange> TDeltaFetch::missing(const std::vector<ByteRange>& wanted)
{
    m_received = RangePlan::Merge(std::move(m_received), 0);
    return RangePlan::Subtract(wanted, m_received);
}

void TDeltaFetch::Forget(const std::vector<ByteRange>& ranges)
{
    m_received = RangePlan::Subtract(RangePlan::Merge(std::move(m_received), 0), RangePlan::Merge(ranges, 0));
}

bool TDeltaFetch::retryAfter(const std::exception_ptr& failure)
{
    const std::optional<std::chrono::milliseconds> pause = m_policy.NextPause(failure, m_client.LastReply());
    if (!pause)
        return false;
    m_onRetry(QStringLiteral("retry %1 in %2 s after %3")
                  .arg(m_policy.RetriesMade())
                  .arg(QString::number(pause->count() / 1000.0, 'f', 1), errorText(failure)));
    std::this_thread::sleep_for(*pause);
    return true;
}
