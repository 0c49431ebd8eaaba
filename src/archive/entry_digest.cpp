#include "archive/entry_digest.h"

#include <zip.h>

std::optional<QByteArray> EntryDigestOf(zip_t* archive, uint64_t index)
{
    zip_uint16_t length = 0;
    const zip_uint8_t* data = zip_file_extra_field_get_by_id(archive, index, EntryDigestFieldId, 0, &length, ZIP_FL_CENTRAL);
    if (!data || length != EntryDigestSize)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(data), EntryDigestSize);
}

std::optional<QByteArray> EntryDigestIn(const QByteArray& extra)
{
    const auto le16 = [&](qsizetype at) {
        return static_cast<uint16_t>(static_cast<uint8_t>(extra[at]) | static_cast<uint8_t>(extra[at + 1]) << 8);
    };
    for (qsizetype at = 0; at + 4 <= extra.size();) {
        const uint16_t id = le16(at);
        const qsizetype size = le16(at + 2);
        if (at + 4 + size > extra.size())
            return std::nullopt;
        if (id == EntryDigestFieldId)
            return size == EntryDigestSize ? std::optional(extra.mid(at + 4, size)) : std::nullopt;
        at += 4 + size;
    }
    return std::nullopt;
}
