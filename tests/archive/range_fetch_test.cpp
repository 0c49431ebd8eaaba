// The ranges an update asks for and the multipart replies it accepts.
#include "archive/multipart_ranges.h"
#include "archive/range_plan.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const QByteArray File = [] {
    QByteArray bytes;
    for (int i = 0; i < 1000; ++i)
        bytes += static_cast<char>('a' + i % 26);
    return bytes;
}();

QByteArray part(const QByteArray& boundary, int64_t first, int64_t last, int64_t total = 1000)
{
    return "\r\n--" + boundary + "\r\nContent-Type: application/zip\r\nContent-Range: bytes " + QByteArray::number(first)
           + "-" + QByteArray::number(last) + "/" + QByteArray::number(total) + "\r\n\r\n"
           + File.mid(first, last - first + 1);
}

// Feeds `body` in pieces of `piece` bytes; the bytes received by offset, or the error.
std::pair<std::map<int64_t, char>, QString> read(const QByteArray& body, size_t piece)
{
    std::map<int64_t, char> got;
    TMultipartRanges reader("B0UND", 1000, {{10, 19}, {100, 149}, {900, 999}},
                            [&](int64_t offset, const char* data, size_t size) {
                                for (size_t i = 0; i < size; ++i)
                                    got[offset + static_cast<int64_t>(i)] = data[i];
                            });
    try {
        for (qsizetype at = 0; at < body.size(); at += static_cast<qsizetype>(piece))
            reader.Feed(body.constData() + at, std::min<size_t>(piece, static_cast<size_t>(body.size() - at)));
        reader.Finish();
    } catch (const EMultipartError& error) {
        return {got, error.message()};
    }
    return {got, {}};
}

}  // namespace

TEST(RangePlan, MergesNearRangesAndKeepsRequestsWithinTheirLimits)
{
    EXPECT_EQ(RangePlan::Merge({{200, 299}, {0, 99}, {50, 120}, {300 + RangePlan::MergeGapBytes, 400000}}),
              (std::vector<ByteRange>{{0, 299}, {300 + RangePlan::MergeGapBytes, 400000}}));
    EXPECT_EQ(RangePlan::Merge({{0, 9}, {10 + RangePlan::MergeGapBytes - 1, 20 + RangePlan::MergeGapBytes}}).size(), 1u);
    EXPECT_EQ(RangePlan::Merge({{0, 9}, {10, 19}}, 0), (std::vector<ByteRange>{{0, 19}}));

    std::vector<ByteRange> many;
    for (int64_t i = 0; i < 120; ++i)
        many.push_back({i * 1000000000000, i * 1000000000000 + 5});
    const struct {
        int maxRanges;
        int maxHeaderBytes;
        size_t requests;
    } limits[] = {{RangePlan::MaxRangesPerRequest, RangePlan::MaxRangeHeaderBytes, 3}, {1, 4096, 120}, {1000, 200, 21}};
    for (const auto& [maxRanges, maxHeaderBytes, requests] : limits) {
        const std::vector<RangeRequest> planned = RangePlan::Requests(many, maxRanges, maxHeaderBytes);
        EXPECT_EQ(planned.size(), requests) << maxRanges << " " << maxHeaderBytes;
        size_t ranges = 0;
        for (const RangeRequest& request : planned) {
            EXPECT_LE(request.ranges.size(), static_cast<size_t>(maxRanges));
            EXPECT_LE(request.text().size() + qsizetype(sizeof("Range: bytes=")) - 1, maxHeaderBytes);
            ranges += request.ranges.size();
        }
        EXPECT_EQ(ranges, many.size());
    }
    EXPECT_EQ((RangeRequest{{{0, 9}, {20, 29}}}.text()), QByteArray("0-9,20-29"));
}

TEST(MultipartRanges, ReadsOnlyTheAskedPartsStrictly)
{
    const QByteArray end = "\r\n--B0UND--\r\n";
    const QByteArray asked = part("B0UND", 10, 19) + part("B0UND", 100, 149) + part("B0UND", 900, 999);
    const struct {
        const char* what;
        QByteArray body;
        const char* error;  // empty: accepted
    } cases[] = {
        {"as nginx sends it", asked + end, ""},
        {"without the first line break", asked.mid(2) + end, ""},
        {"reordered", part("B0UND", 900, 999) + part("B0UND", 10, 19) + part("B0UND", 100, 149) + end, ""},
        {"coalesced with the gap", part("B0UND", 10, 149) + part("B0UND", 900, 999) + end, ""},
        {"without a closing line break", asked + end.chopped(2), ""},
        {"another boundary", part("OTHER", 10, 19) + end, "where"},
        {"a part outside", part("B0UND", 10, 19) + part("B0UND", 150, 160) + end, "not asked for"},
        {"a part reaching beyond", part("B0UND", 10, 25) + end, "not asked for"},
        {"another length", part("B0UND", 10, 19, 2000) + end, "2000 bytes"},
        {"a range backwards", part("B0UND", 19, 10) + end, "malformed range"},
        {"twice", asked + part("B0UND", 10, 19) + end, "came twice"},
        {"cut in a part", asked.chopped(30), "ended before"},
        {"a range missing", part("B0UND", 10, 19) + part("B0UND", 900, 999) + end, "did not come"},
        {"garbage after the end", asked + end + "x", "after the closing"},
        {"data beyond the range", part("B0UND", 10, 19) + "zz" + end, "where"},
        {"a part without a range", "\r\n--B0UND\r\nContent-Type: x\r\n\r\n" + end, "without its range"},
        {"headers without end", "\r\n--B0UND\r\n" + QByteArray(5000, 'h'), "never end"},
    };
    for (const auto& c : cases) {
        for (const size_t piece : {size_t(1), size_t(7), size_t(1 << 20)}) {
            const auto [got, error] = read(c.body, piece);
            if (*c.error) {
                EXPECT_TRUE(error.contains(QLatin1String(c.error))) << c.what << ": " << error.toStdString();
                continue;
            }
            EXPECT_TRUE(error.isEmpty()) << c.what << ": " << error.toStdString();
            for (const auto& [offset, byte] : got)
                ASSERT_EQ(byte, File.at(static_cast<qsizetype>(offset))) << c.what << " at " << offset;
            EXPECT_EQ(got.size(), c.what == std::string("coalesced with the gap") ? 240u : 160u) << c.what;
        }
    }
}

TEST(MultipartRanges, TheBoundaryIsReadAsTheFormatDefinesIt)
{
    EXPECT_EQ(TMultipartRanges::BoundaryOf("multipart/byteranges; boundary=00000000000000000001"),
              QByteArray("00000000000000000001"));
    EXPECT_EQ(TMultipartRanges::BoundaryOf("Multipart/ByteRanges;charset=x; boundary=\"a b:c\""), QByteArray("a b:c"));
    for (const QByteArray& refused : {QByteArray("application/zip"), QByteArray("multipart/byteranges"),
                                      QByteArray("multipart/byteranges; boundary=\"\""), QByteArray("multipart/byteranges; boundary=a\r\nb"),
                                      QByteArray("multipart/byteranges; boundary=") + QByteArray(71, 'a')})
        EXPECT_FALSE(TMultipartRanges::BoundaryOf(refused)) << refused.toStdString();
}
