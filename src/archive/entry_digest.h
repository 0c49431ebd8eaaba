#pragma once
// The SHA-256 of an entry's inflated bytes, which the publishing tool writes into the
// entry's central directory record as an extra field of its own header ID. The
// descriptor signs the archive's tail (central directory and end records) by its hash,
// so each entry's digest is signed too: an update proves an installed file to be the
// release's by it, where a CRC-32 proves nothing. Readers that do not know the field
// skip it, as the format asks.

#include <QByteArray>

#include <cstdint>
#include <optional>

typedef struct zip zip_t;

// "hs" in the record's bytes; not among the IDs the format's keepers list.
constexpr uint16_t EntryDigestFieldId = 0x6873;
constexpr int EntryDigestSize = 32;

// The digest (32 raw bytes) the central directory record of entry `index` carries;
// nothing when it carries none or one of another length.
std::optional<QByteArray> EntryDigestOf(zip_t* archive, uint64_t index);
// The digest from a record's extra fields (`extra` the raw field block).
std::optional<QByteArray> EntryDigestIn(const QByteArray& extra);
