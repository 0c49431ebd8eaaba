#include "net/reply_headers.h"

#include "net/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <limits>

namespace ReplyHeaders {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmedBlanks(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

// The decimal number at the start of `text`, which it leaves behind; nothing without a
// digit or beyond `limit`. Only plain digits: no sign, no blanks.
std::optional<qint64> takeNumber(QByteArrayView& text, qint64 limit = std::numeric_limits<qint64>::max())
{
    qint64 number = 0;
    qsizetype digits = 0;
    for (; digits < text.size() && isDigit(text[digits]); ++digits) {
        const int digit = text[digits] - '0';
        if (number > (limit - digit) / 10)
            return std::nullopt;
        number = number * 10 + digit;
    }
    if (digits == 0)
        return std::nullopt;
    text = text.sliced(digits);
    return number;
}

bool takeChar(QByteArrayView& text, char expected)
{
    if (text.isEmpty() || text.front() != expected)
        return false;
    text = text.sliced(1);
    return true;
}

// The range unit, compared without regard to case, and the blanks after it.
bool takeBytesUnit(QByteArrayView& text)
{
    constexpr QByteArrayView unit("bytes");
    if (text.size() <= unit.size() || text.first(unit.size()).compare(unit, Qt::CaseInsensitive) != 0
        || !isBlank(text[unit.size()]))
        return false;
    text = trimmedBlanks(text.sliced(unit.size()));
    return true;
}

std::optional<TContentRange> parseRange(QByteArrayView text)
{
    TContentRange range;
    if (!takeChar(text, '*')) {
        const std::optional<qint64> first = takeNumber(text);
        if (!first || !takeChar(text, '-'))
            return std::nullopt;
        const std::optional<qint64> last = takeNumber(text);
        if (!last || *last < *first)
            return std::nullopt;
        range.first = *first;
        range.last = *last;
    }
    if (!takeChar(text, '/'))
        return std::nullopt;
    if (range.first >= 0 && takeChar(text, '*'))
        return text.isEmpty() ? std::optional(range) : std::nullopt;
    const std::optional<qint64> total = takeNumber(text);
    if (!total || !text.isEmpty() || range.last >= *total)
        return std::nullopt;
    range.total = *total;
    return range;
}

QString rangeText(const THttpReplyHead& head)
{
    return QStringLiteral("bytes %1-%2/%3")
        .arg(head.rangeFirst)
        .arg(head.rangeLast)
        .arg(head.rangeTotal < 0 ? QStringLiteral("*") : QString::number(head.rangeTotal));
}

}  // namespace

std::optional<TContentRange> ParseContentRange(QByteArrayView value)
{
    QByteArrayView text = trimmedBlanks(value);
    if (!takeBytesUnit(text))
        return std::nullopt;
    return parseRange(text);
}

long ParseRetryAfter(QByteArrayView value, qint64 nowSeconds)
{
    QByteArrayView text = trimmedBlanks(value);
    if (!text.isEmpty() && std::all_of(text.begin(), text.end(), isDigit)) {
        // a number too long for 64 bits still asks for more than any retry waits
        const std::optional<qint64> seconds = takeNumber(text);
        return seconds ? static_cast<long>(std::min<qint64>(*seconds, MaxRetryAfterSeconds)) : MaxRetryAfterSeconds;
    }
    if (text.isEmpty() || !IsUsableValidator(text))
        return -1;
    const time_t when = curl_getdate(text.toByteArray().constData(), nullptr);
    if (when == -1)
        return -1;
    qint64 wait = 0;
    if (__builtin_sub_overflow(static_cast<qint64>(when), nowSeconds, &wait))
        wait = when > nowSeconds ? MaxRetryAfterSeconds : 0;
    return static_cast<long>(std::clamp<qint64>(wait, 0, MaxRetryAfterSeconds));
}

bool IsUsableValidator(QByteArrayView value)
{
    return !value.isEmpty()
           && std::none_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

QByteArray ChooseValidator(const QByteArray& etag, const QByteArray& lastModified)
{
    // a weak ETag may name a file that differs byte for byte, so only a strong one resumes
    if (IsUsableValidator(etag) && !etag.startsWith("W/"))
        return etag;
    return IsUsableValidator(lastModified) ? lastModified : QByteArray();
}

QString RangeReplyRefusal(const THttpReplyHead& head, qint64 askedFrom, qint64 knownTotal)
{
    if (head.rangeFirst < 0)
        return QStringLiteral("The server's partial reply carries no valid byte range");
    if (head.rangeFirst != askedFrom)
        return QStringLiteral("The server sent the file from byte %1 instead of byte %2").arg(head.rangeFirst).arg(askedFrom);
    // the rest was asked for; a part that stops short would pass as the whole file
    if (head.rangeTotal < 0 || head.rangeLast != head.rangeTotal - 1)
        return QStringLiteral("The server sent %1 instead of the rest of the file").arg(rangeText(head));
    if (knownTotal >= 0 && head.rangeTotal != knownTotal)
        return QStringLiteral("The server sent %1 of a file of %2 bytes").arg(rangeText(head)).arg(knownTotal);
    if (head.length >= 0 && head.length != head.rangeLast - head.rangeFirst + 1)
        return QStringLiteral("The server announced %1 bytes for %2").arg(head.length).arg(rangeText(head));
    return {};
}

}  // namespace ReplyHeaders
