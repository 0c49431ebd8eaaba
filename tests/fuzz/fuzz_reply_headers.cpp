// A server's reply headers, which nothing vouches for: each value read holds together
// (a range inside its file, a pause within its bound, a validator without control
// characters), and a partial reply is taken only where it continues the part exactly.
// The input is the header values one a line: Content-Range, Retry-After, ETag,
// Last-Modified, then the byte asked from and the total already known.
#include "fuzz_target.h"

#include "net/http_client.h"
#include "net/reply_headers.h"

#include <QList>

namespace {

bool usable(const QByteArray& validator)
{
    return !validator.isEmpty() && std::none_of(validator.begin(), validator.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

}  // namespace

FUZZ_TARGET(reply_headers)
{
    QList<QByteArray> fields = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).split('\n');
    while (fields.size() < 6)
        fields << QByteArray();
    THttpReplyHead head;
    head.status = 206;
    if (const auto range = ReplyHeaders::ParseContentRange(fields[0])) {
        FUZZ_EXPECT((range->first == -1 && range->last == -1) || (0 <= range->first && range->first <= range->last));
        FUZZ_EXPECT(range->total == -1 || range->total > range->last);
        head.rangeFirst = range->first;
        head.rangeLast = range->last;
        head.rangeTotal = range->total;
    }
    const long pause = ReplyHeaders::ParseRetryAfter(fields[1], 1'700'000'000);
    FUZZ_EXPECT(pause >= -1 && pause <= ReplyHeaders::MaxRetryAfterSeconds);
    FUZZ_EXPECT(ReplyHeaders::IsUsableValidator(fields[2]) == usable(fields[2]));
    head.validator = ReplyHeaders::ChooseValidator(fields[2], fields[3]);
    FUZZ_EXPECT(head.validator.isEmpty() || usable(head.validator));
    const qint64 askedFrom = fields[4].toLongLong();
    const qint64 knownTotal = fields[5].isEmpty() ? -1 : fields[5].toLongLong();
    head.length = head.rangeLast >= head.rangeFirst && head.rangeFirst >= 0 ? head.rangeLast - head.rangeFirst + 1 : -1;
    if (ReplyHeaders::RangeReplyRefusal(head, askedFrom, knownTotal).isEmpty()) {
        FUZZ_EXPECT(head.rangeFirst == askedFrom && head.rangeLast == head.rangeTotal - 1);
        FUZZ_EXPECT(knownTotal < 0 || head.rangeTotal == knownTotal);
    }
}
