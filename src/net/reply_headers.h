#pragma once
// What the headers of a reply mean, read as the untrusted text they are: the range a
// partial reply carries, the pause a busy server asks for, the validator that ties a
// part to its file, and whether a partial reply may continue a part at all. Pure
// functions of their input, so that any bytes can be tried on them.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

struct THttpReplyHead;

namespace ReplyHeaders {

// The value of "Content-Range": "bytes FIRST-LAST/TOTAL" (a partial reply) or
// "bytes */TOTAL" (a range beyond the file, 416).
struct TContentRange {
    qint64 first = -1;  // -1 for "*"
    qint64 last = -1;   // -1 for "*"
    qint64 total = -1;  // -1 for an unknown total ("/*")
};
// Nothing unless the value is exactly such a range of plain decimal numbers that fit
// 64 bits with FIRST <= LAST < TOTAL (where TOTAL is known).
std::optional<TContentRange> ParseContentRange(QByteArrayView value);

// Far beyond any pause a retry waits for, small enough for any arithmetic on it.
constexpr long MaxRetryAfterSeconds = 24 * 60 * 60;
// The seconds "Retry-After" asks for, counted from `nowSeconds` (seconds since 1970)
// when it is an HTTP date: 0 for a date gone by, at most MaxRetryAfterSeconds; -1 when
// the value is neither a number of seconds nor a date.
long ParseRetryAfter(QByteArrayView value, qint64 nowSeconds);

// A validator is sent back in If-Range and kept in the download cache's description:
// one that is empty or holds a control character (NUL, CR, LF, ...) is not used.
bool IsUsableValidator(QByteArrayView value);
// A strong, usable ETag, else a usable Last-Modified date; empty when neither is.
QByteArray ChooseValidator(const QByteArray& etag, const QByteArray& lastModified);

// Why the partial reply `head` (status 206) cannot continue a part of `askedFrom`
// bytes of a file `knownTotal` long (-1: not known yet); empty when it can. It must
// carry a valid range from exactly `askedFrom` to the file's last byte, of the known
// total, and announce no other length than that range's.
QString RangeReplyRefusal(const THttpReplyHead& head, qint64 askedFrom, qint64 knownTotal);

}  // namespace ReplyHeaders
