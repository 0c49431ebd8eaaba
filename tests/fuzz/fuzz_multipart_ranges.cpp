// A multipart range reply from a server that owes nothing: bytes reach the archive only
// inside the ranges asked for, each once, and an accepted reply covered every range.
#include "fuzz_target.h"

#include "archive/multipart_ranges.h"

#include <set>

FUZZ_TARGET(multipart_ranges)
{
    const std::vector<ByteRange> asked = {{10, 19}, {100, 149}, {900, 999}};
    std::set<int64_t> delivered;
    TMultipartRanges reader("B0UND", 1000, asked, [&](int64_t offset, const char*, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            FUZZ_EXPECT(offset + static_cast<int64_t>(i) >= 10 && offset + static_cast<int64_t>(i) <= 999);
            FUZZ_EXPECT(delivered.insert(offset + static_cast<int64_t>(i)).second);
        }
    });
    // fed in two pieces, split where the first byte says, as a network would cut it
    const size_t cut = size ? data[0] % (size + 1) : 0;
    try {
        reader.Feed(reinterpret_cast<const char*>(data), cut);
        reader.Feed(reinterpret_cast<const char*>(data) + cut, size - cut);
        reader.Finish();
    } catch (const EMultipartError&) {
        return;
    }
    for (const ByteRange& range : asked) {
        for (int64_t at = range.first; at <= range.last; ++at)
            FUZZ_EXPECT(delivered.count(at));
    }
}
