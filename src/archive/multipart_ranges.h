#pragma once
// The body of a "206 Partial Content" reply to a request for several ranges
// (multipart/byteranges), read strictly as it arrives: an optional line break, then
// for each part the boundary, its headers with a Content-Range inside what was asked
// and naming the whole file's length, exactly that many bytes, and at the end the
// closing boundary with nothing after it. Each part's bytes are handed on with their
// place in the file; memory stays at a few kilobytes whatever the parts hold.

#include "archive/range_plan.h"
#include "platform/platform_errors.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <vector>

// The reply is not the parts that were asked for.
VRN_DECLARE_ERROR(EMultipartError, Exception)

class TMultipartRanges {
public:
    using DataSink = std::function<void(int64_t offset, const char* data, size_t size)>;

    // The boundary of a Content-Type "multipart/byteranges; boundary=..." (quoted or
    // not); nothing for any other type or a boundary that breaks the format's rules.
    static std::optional<QByteArray> BoundaryOf(const QByteArray& contentType);

    // `asked` sorted and disjoint, as RangePlan makes them. A part may join asked ranges
    // with the gap between them (servers coalesce near ranges) but may not reach
    // outside them, overlap another part or name another length than `total`.
    TMultipartRanges(QByteArray boundary, int64_t total, std::vector<ByteRange> asked, DataSink sink);

    // Throws EMultipartError at the first byte out of place.
    void Feed(const char* data, size_t size);
    // Throws EMultipartError unless the closing boundary was read and every asked byte arrived.
    void Finish() const;

    // Whether `part` lies inside the span of `asked`, beginning and ending in asked ranges.
    static bool Inside(const ByteRange& part, const std::vector<ByteRange>& asked);
    // Whether `parts` together cover every byte of `asked`.
    static bool Covers(std::vector<ByteRange> parts, const std::vector<ByteRange>& asked);

private:
    enum class State { Preamble, AfterBoundary, Headers, Data, AfterData, Closed, Ended };

    bool takeLiteral(const char*& data, size_t& size, const QByteArray& literal);
    void beginPart();
    [[noreturn]] void refuse(const QString& why) const;

    QByteArray m_delimiter;  // "--" + boundary
    int64_t m_total;
    std::vector<ByteRange> m_asked;
    DataSink m_sink;
    State m_state = State::Preamble;
    QByteArray m_pending;  // bytes of a delimiter or header block not yet whole
    int64_t m_offset = 0;  // where the current part's next byte belongs
    int64_t m_left = 0;    // bytes still to come of the current part
    std::vector<ByteRange> m_parts;
};
