#pragma once
// One archive entry's content, inflated and handed to a sink in pieces. A deflated
// entry whose compressed and inflated bytes fit under the bound together is read whole
// and inflated in one call by libdeflate, which does it in about half of zlib's time;
// larger entries and stored ones stream through zlib in a fixed buffer, so memory stays
// within the bound whatever the archive holds. Both roads take the same entries: a
// deflate stream must end within the compressed bytes, and the content must have exactly
// the declared size and CRC-32, or the entry is refused; a whole entry reaches the sink
// only once it has passed, a streamed one is refused after its last piece.

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

typedef struct zip zip_t;
struct libdeflate_decompressor;

// How an entry's bytes are read, as the central directory declares it.
struct DeclaredEntry {
    uint16_t method = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
};

class EntryInflater {
public:
    using Sink = std::function<void(const char* data, size_t size)>;
    // Reads up to `size` of the entry's compressed bytes; fewer only at their end.
    using Reader = std::function<size_t(char* data, size_t size)>;

    // Compressed and inflated bytes of one entry that are inflated in memory at most.
    static constexpr uint64_t DefaultWholeEntryBound = 64 << 20;

    explicit EntryInflater(uint64_t wholeEntryBound = DefaultWholeEntryBound);
    ~EntryInflater();
    EntryInflater(const EntryInflater&) = delete;
    EntryInflater& operator=(const EntryInflater&) = delete;

    // Hands the content of entry `index` to `sink`. Throws EZipError ("Cannot read the
    // archive entry ...") for an entry that cannot be read, is corrupt, or has another
    // size or CRC than declared; what the sink throws passes through.
    void Inflate(zip_t* archive, uint64_t index, const QString& name, const Sink& sink);
    // The same for a stored or deflated entry whose compressed bytes `read` gives.
    void Inflate(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink);

private:
    // Memory that keeps its largest size for the next entry, not zeroed.
    struct Buffer {
        std::unique_ptr<char[]> data;
        size_t size = 0;
        char* reserve(size_t wanted);
    };

    bool inflatesWhole(const DeclaredEntry& entry) const;
    void inflateWhole(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink);
    void copyStored(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink);
    void streamDeflated(const DeclaredEntry& entry, const Reader& read, const QString& name, const Sink& sink);
    void streamDecoded(zip_t* archive, uint64_t index, const DeclaredEntry& entry, const QString& name, const Sink& sink);

    uint64_t m_bound;
    std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> m_decompressor;
    Buffer m_compressed;
    Buffer m_inflated;
    Buffer m_stream;
};
