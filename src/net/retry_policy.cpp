#include "net/retry_policy.h"

#include <QRandomGenerator>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<double> pauseScale{1.0};

bool isTransientStatus(long status)
{
    switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
        return true;
    default:
        return false;
    }
}

}  // namespace

bool TRetryPolicy::IsTransient(const std::exception_ptr& failure, const THttpReplyHead& reply)
{
    try {
        std::rethrow_exception(failure);
    } catch (const EHostNotFoundError&) {
        return false;  // an unknown name stays unknown; a machine offline goes local at once
    } catch (const EHTTPProtocolError&) {
        return isTransientStatus(reply.status);
    } catch (const ESocketError&) {
        return reply.proxyStatus < 400;  // a proxy that refuses the tunnel refuses it again
    } catch (...) {
        return false;
    }
}

void TRetryPolicy::ProgressMade()
{
    FRetriesWithoutProgress = 0;
    FLastProgress = std::chrono::steady_clock::now();
}

std::optional<std::chrono::milliseconds> TRetryPolicy::NextPause(const std::exception_ptr& failure,
                                                                 const THttpReplyHead& reply)
{
    using namespace std::chrono;
    if (!IsTransient(failure, reply) || FRetries >= MaxRetries || FRetriesWithoutProgress >= MaxRetriesWithoutProgress)
        return std::nullopt;
    const milliseconds left = duration_cast<milliseconds>(FLastProgress + GiveUpAfter - steady_clock::now());
    // equal jitter: half the pause is fixed, half random, so that many clients spread out
    const milliseconds grown = std::min<milliseconds>(MaxPause, FirstPause * (1LL << std::min(FRetriesWithoutProgress, 20)));
    milliseconds pause = grown / 2 + milliseconds(QRandomGenerator::global()->bounded(static_cast<qint64>(grown.count() / 2 + 1)));
    if (reply.retryAfterSeconds >= 0) {
        // the server's number is weighed before it is scaled: no value can overflow
        if (reply.retryAfterSeconds > duration_cast<seconds>(left).count())
            return std::nullopt;
        pause = seconds(reply.retryAfterSeconds);
    }
    if (pause > left)
        return std::nullopt;
    ++FRetries;
    ++FRetriesWithoutProgress;
    return duration_cast<milliseconds>(pause * pauseScale.load());
}

void TRetryPolicy::SetPauseScale(double scale)
{
    pauseScale = scale;
}
