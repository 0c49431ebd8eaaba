#pragma once
// One archive entry's content, inflated and handed to a sink in pieces. A deflated
// entry whose compressed and inflated bytes fit under the bound together is read whole
// and inflated in one call by libdeflate, which does it in about half of zlib's time;
// larger entries and stored ones stream through libzip (zlib) in a fixed buffer, so
// memory stays within the bound whatever the archive holds. Either way the content's
// CRC-32 is checked against the archive's; a whole entry reaches the sink only once it
// has passed.

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

typedef struct zip zip_t;
struct libdeflate_decompressor;

class EntryInflater {
public:
    using Sink = std::function<void(const char* data, size_t size)>;

    // Compressed and inflated bytes of one entry that are inflated in memory at most.
    static constexpr uint64_t DefaultWholeEntryBound = 64 << 20;

    explicit EntryInflater(uint64_t wholeEntryBound = DefaultWholeEntryBound);
    ~EntryInflater();
    EntryInflater(const EntryInflater&) = delete;
    EntryInflater& operator=(const EntryInflater&) = delete;

    // Hands the content of entry `index` to `sink`. Throws EZipError ("Cannot read the
    // archive entry ...") for an entry that cannot be read, is corrupt or fails its CRC;
    // what the sink throws passes through.
    void Inflate(zip_t* archive, uint64_t index, const QString& name, const Sink& sink);

private:
    // Memory that keeps its largest size for the next entry, not zeroed.
    struct Buffer {
        std::unique_ptr<char[]> data;
        size_t size = 0;
        char* reserve(size_t wanted);
    };

    bool inflatesWhole(const struct zip_stat& stat) const;
    void inflateWhole(zip_t* archive, const struct zip_stat& stat, const QString& name, const Sink& sink);
    void stream(zip_t* archive, uint64_t index, const QString& name, const Sink& sink);

    uint64_t m_bound;
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> m_decompressor;
    Buffer m_compressed;
    Buffer m_inflated;
    Buffer m_stream;
};
