#include "archive/range_plan.h"

#include <algorithm>

namespace {

QByteArray rangeText(const ByteRange& range)
{
    return QByteArray::number(static_cast<qint64>(range.first)) + '-' + QByteArray::number(static_cast<qint64>(range.last));
}

}  // namespace

QByteArray RangeRequest::text() const
{
    QByteArray text;
    for (size_t i = 0; i < ranges.size(); ++i)
        text += (i ? "," : "") + rangeText(ranges[i]);
    return text;
}

int64_t RangeRequest::bytes() const
{
    int64_t total = 0;
    for (const ByteRange& range : ranges)
        total += range.size();
    return total;
}

std::vector<ByteRange> RangePlan::Merge(std::vector<ByteRange> wanted, int64_t gap)
{
    std::sort(wanted.begin(), wanted.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    std::vector<ByteRange> merged;
    for (const ByteRange& range : wanted) {
        // touching ranges always join, others when fewer than `gap` bytes lie between
        if (!merged.empty() && range.first - merged.back().last - 1 < std::max<int64_t>(gap, 1))
            merged.back().last = std::max(merged.back().last, range.last);
        else
            merged.push_back(range);
    }
    return merged;
}

std::vector<ByteRange> RangePlan::Subtract(const std::vector<ByteRange>& from, const std::vector<ByteRange>& taken)
{
    std::vector<ByteRange> left;
    for (ByteRange range : from) {
        for (const ByteRange& got : taken) {
            if (got.last < range.first || got.first > range.last)
                continue;
            if (got.first > range.first)
                left.push_back({range.first, got.first - 1});
            range.first = got.last + 1;
            if (range.first > range.last)
                break;
        }
        if (range.first <= range.last)
            left.push_back(range);
    }
    return left;
}

std::vector<RangeRequest> RangePlan::Requests(const std::vector<ByteRange>& merged, int maxRanges, int maxHeaderBytes)
{
    std::vector<RangeRequest> requests;
    qsizetype headerBytes = 0;
    for (const ByteRange& range : merged) {
        const qsizetype added = rangeText(range).size() + 1;  // with its comma or "bytes=" share
        if (requests.empty() || static_cast<int>(requests.back().ranges.size()) >= maxRanges
            || headerBytes + added > maxHeaderBytes) {
            requests.emplace_back();
            headerBytes = qsizetype(sizeof("Range: bytes=")) - 1;
        }
        requests.back().ranges.push_back(range);
        headerBytes += added;
    }
    return requests;
}
