#pragma once
// When a broken transfer is tried again, and after how long. Transient failures (no
// connection, a connection reset or cut short, a time-out or stall, a server that is
// busy or briefly failing: 408, 429, 500, 502, 503, 504) are retried with growing,
// jittered pauses; everything else (404, 403, a refused certificate or redirect, a
// local write failure) ends the transfer at once.

#include "net/http_client.h"

#include <chrono>
#include <exception>
#include <optional>

class TRetryPolicy {
public:
    // At most this many retries in a row without a byte arriving in between...
    static constexpr int MaxRetriesWithoutProgress = 8;
    // ...and at most this many for one download in all.
    static constexpr int MaxRetries = 50;
    // The first pause; each further one without progress doubles it, up to MaxPause.
    static constexpr std::chrono::milliseconds FirstPause{1000};
    static constexpr std::chrono::milliseconds MaxPause{30000};
    // No retry starts when this long has passed since the last byte arrived.
    static constexpr std::chrono::minutes GiveUpAfter{10};

    // Whether `failure` may pass on a retry; `reply` is the head of the failed reply.
    static bool IsTransient(const std::exception_ptr& failure, const THttpReplyHead& reply);

    // Notes that bytes arrived: the next pause starts again from FirstPause.
    void ProgressMade();
    // The pause before the next retry of `failure`, or nothing when the transfer must
    // end: a permanent failure, no retries left, or a server's Retry-After that lies
    // beyond the time left.
    std::optional<std::chrono::milliseconds> NextPause(const std::exception_ptr& failure, const THttpReplyHead& reply);
    // Retries so far, counting the one NextPause granted last.
    int RetriesMade() const { return FRetries; }

    // Internal setting, changed by tests and benchmarks: a factor on every pause.
    static void SetPauseScale(double scale);

private:
    int FRetries = 0;
    int FRetriesWithoutProgress = 0;
    std::chrono::steady_clock::time_point FLastProgress = std::chrono::steady_clock::now();
};
