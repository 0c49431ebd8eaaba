#include "archive/multipart_ranges.h"

#include "net/reply_headers.h"

#include <QList>

#include <algorithm>

namespace {

constexpr qsizetype MaxHeaderBlockBytes = 4096;
// RFC 2046: at most 70 characters of a restricted set
constexpr qsizetype MaxBoundaryLength = 70;

bool isBoundaryCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
           || QByteArrayView("'()+_,-./:=? ").contains(c);
}

// Whether `offset` lies in one of the sorted ranges.
bool inAsked(int64_t offset, const std::vector<ByteRange>& asked)
{
    const auto after = std::upper_bound(asked.begin(), asked.end(), offset,
                                        [](int64_t value, const ByteRange& range) { return value < range.first; });
    return after != asked.begin() && offset <= std::prev(after)->last;
}

}  // namespace

std::optional<QByteArray> TMultipartRanges::BoundaryOf(const QByteArray& contentType)
{
    const QList<QByteArray> fields = contentType.split(';');
    if (fields.front().trimmed().toLower() != "multipart/byteranges")
        return std::nullopt;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        const QByteArray field = fields[i].trimmed();
        const qsizetype equals = field.indexOf('=');
        if (equals < 0 || field.left(equals).trimmed().toLower() != "boundary")
            continue;
        QByteArray value = field.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        if (value.isEmpty() || value.size() > MaxBoundaryLength || value.endsWith(' ')
            || !std::all_of(value.begin(), value.end(), isBoundaryCharacter))
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

bool TMultipartRanges::Inside(const ByteRange& part, const std::vector<ByteRange>& asked)
{
    return !asked.empty() && part.first <= part.last && inAsked(part.first, asked) && inAsked(part.last, asked);
}

bool TMultipartRanges::Covers(std::vector<ByteRange> parts, const std::vector<ByteRange>& asked)
{
    const std::vector<ByteRange> received = RangePlan::Merge(std::move(parts), 0);
    return std::all_of(asked.begin(), asked.end(), [&](const ByteRange& range) {
        return std::any_of(received.begin(), received.end(), [&](const ByteRange& got) {
            return got.first <= range.first && range.last <= got.last;
        });
    });
}

TMultipartRanges::TMultipartRanges(QByteArray boundary, int64_t total, std::vector<ByteRange> asked, DataSink sink)
    : m_delimiter("--" + boundary), m_total(total), m_asked(std::move(asked)), m_sink(std::move(sink))
{
}

void TMultipartRanges::refuse(const QString& why) const
{
    throw EMultipartError(QStringLiteral("The server's parts are not those asked for: %1").arg(why));
}

// Gathers `literal` across pieces; false while it is not yet whole.
bool TMultipartRanges::takeLiteral(const char*& data, size_t& size, const QByteArray& literal)
{
    const size_t wanted = static_cast<size_t>(literal.size() - m_pending.size());
    const size_t taken = std::min(wanted, size);
    m_pending.append(data, static_cast<qsizetype>(taken));
    data += taken;
    size -= taken;
    if (!literal.startsWith(m_pending))
        refuse(QStringLiteral("\"%1\" where \"%2\" belongs")
                   .arg(QString::fromLatin1(m_pending.toPercentEncoding()), QString::fromLatin1(literal.toPercentEncoding())));
    if (m_pending.size() < literal.size())
        return false;
    m_pending.clear();
    return true;
}

void TMultipartRanges::beginPart()
{
    std::optional<ByteRange> range;
    int64_t total = -1;
    const QList<QByteArray> lines = m_pending.chopped(4).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!lines[i].endsWith('\r') && i + 1 < lines.size())
            refuse(QStringLiteral("a header line without its line break"));
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            refuse(QStringLiteral("a malformed part header"));
        if (line.left(colon).trimmed().toLower() == "content-range") {
            if (range)
                refuse(QStringLiteral("two ranges for one part"));
            const auto parsed = ReplyHeaders::ParseContentRange(line.mid(colon + 1));
            if (parsed && parsed->first >= 0 && parsed->total >= 0) {
                range = ByteRange{parsed->first, parsed->last};
                total = parsed->total;
            }
            if (!range)
                refuse(QStringLiteral("a malformed range \"%1\"").arg(QString::fromLatin1(line.mid(colon + 1).trimmed())));
        }
    }
    m_pending.clear();
    if (!range)
        refuse(QStringLiteral("a part without its range"));
    if (total != m_total)
        refuse(QStringLiteral("a part of a file of %1 bytes instead of %2").arg(total).arg(m_total));
    if (!Inside(*range, m_asked))
        refuse(QStringLiteral("bytes %1-%2 were not asked for").arg(range->first).arg(range->last));
    for (const ByteRange& part : m_parts) {
        if (range->first <= part.last && part.first <= range->last)
            refuse(QStringLiteral("bytes %1-%2 came twice").arg(range->first).arg(range->last));
    }
    m_parts.push_back(*range);
    m_offset = range->first;
    m_left = range->size();
    m_state = State::Data;
}

void TMultipartRanges::Feed(const char* data, size_t size)
{
    while (size > 0) {
        switch (m_state) {
        case State::Preamble:
            // some servers put a line break before the first boundary
            if (takeLiteral(data, size, m_pending.startsWith('\r') || (m_pending.isEmpty() && *data == '\r')
                                            ? "\r\n" + m_delimiter
                                            : m_delimiter))
                m_state = State::AfterBoundary;
            break;
        case State::AfterBoundary:
            if ((m_pending.isEmpty() ? *data : m_pending.front()) == '-') {
                if (takeLiteral(data, size, "--"))
                    m_state = State::Closed;
            } else if (takeLiteral(data, size, "\r\n")) {
                m_state = State::Headers;
                m_pending = "\r\n";  // so that a part without headers ends at once
            }
            break;
        case State::Headers: {
            const size_t taken = std::min(size, static_cast<size_t>(MaxHeaderBlockBytes));
            const qsizetype before = m_pending.size();
            m_pending.append(data, static_cast<qsizetype>(taken));
            const qsizetype end = m_pending.indexOf("\r\n\r\n");
            if (end < 0) {
                if (m_pending.size() > MaxHeaderBlockBytes)
                    refuse(QStringLiteral("a part's headers never end"));
                data += taken;
                size -= taken;
                break;
            }
            const size_t used = static_cast<size_t>(end + 4 - before);
            data += used;
            size -= used;
            m_pending.truncate(end + 4);
            beginPart();
            break;
        }
        case State::Data: {
            const size_t taken = static_cast<size_t>(std::min<int64_t>(m_left, static_cast<int64_t>(size)));
            m_sink(m_offset, data, taken);
            m_offset += static_cast<int64_t>(taken);
            m_left -= static_cast<int64_t>(taken);
            data += taken;
            size -= taken;
            if (m_left == 0)
                m_state = State::AfterData;
            break;
        }
        case State::AfterData:
            if (takeLiteral(data, size, "\r\n" + m_delimiter))
                m_state = State::AfterBoundary;
            break;
        case State::Closed:
            // one line break may end the body, nothing else
            if (takeLiteral(data, size, "\r\n"))
                m_state = State::Ended;
            break;
        case State::Ended:
            refuse(QStringLiteral("data after the closing boundary"));
        }
    }
}

void TMultipartRanges::Finish() const
{
    if (!(m_state == State::Ended || (m_state == State::Closed && m_pending.isEmpty())))
        refuse(QStringLiteral("the reply ended before its closing boundary"));
    if (!Covers(m_parts, m_asked))
        refuse(QStringLiteral("some of the ranges asked for did not come"));
}
