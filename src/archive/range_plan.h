#pragma once
// Which bytes of a remote archive an update asks for, and in how many requests. The
// stretches wanted (an entry's local header and data each) are sorted and merged where
// they touch or lie close together, since the gap costs less than another part; the
// merged stretches are then grouped into requests of at most MaxRangesPerRequest ranges
// whose Range header stays under MaxRangeHeaderBytes, which servers and proxies accept.

#include <QByteArray>

#include <cstdint>
#include <vector>

// Bytes first..last of a file, both included.
struct ByteRange {
    int64_t first = 0;
    int64_t last = 0;
    int64_t size() const { return last - first + 1; }
    bool operator==(const ByteRange&) const = default;
};

// The ranges of one request, as its Range header lists them after "bytes=" ("0-9,20-29").
struct RangeRequest {
    std::vector<ByteRange> ranges;
    QByteArray text() const;
    int64_t bytes() const;
};

struct RangePlan {
    static constexpr int64_t MergeGapBytes = 64 << 10;
    static constexpr int MaxRangesPerRequest = 50;
    static constexpr int MaxRangeHeaderBytes = 4096;

    // Sorts `wanted` and joins those that overlap, touch or lie less than `gap` bytes apart.
    static std::vector<ByteRange> Merge(std::vector<ByteRange> wanted, int64_t gap = MergeGapBytes);
    // Groups sorted, disjoint ranges into requests in their order, each within the
    // limits; `maxRanges` 1 asks for one range a request.
    static std::vector<RangeRequest> Requests(const std::vector<ByteRange>& merged,
                                              int maxRanges = MaxRangesPerRequest,
                                              int maxHeaderBytes = MaxRangeHeaderBytes);
    // The bytes of `from` outside `taken` (both sorted and disjoint).
    static std::vector<ByteRange> Subtract(const std::vector<ByteRange>& from, const std::vector<ByteRange>& taken);
};
