#include "archive/delta_plan.h"

#include "archive/entry_digest.h"
#include "archive/entry_file.h"
#include "platform/platform.h"

#include <QCryptographicHash>

#include <algorithm>
#include <numeric>

namespace {

constexpr uint64_t LocalHeaderSize = 30;
constexpr uint64_t MaxLocalExtraSize = 0xFFFF;
// encrypted (bit 0), strong encryption (bit 6), a masked local header (bit 13), and sizes
// after the data (bit 3), which leave the local header without the sizes to check
constexpr uint16_t RefusedFlags = 0x0001 | 0x0008 | 0x0040 | 0x2000;

[[noreturn]] void refuse(const QString& why)
{
    throw EDeltaRefused(why);
}

QString quoted(const QByteArray& name)
{
    return QStringLiteral("\"%1\"").arg(QString::fromUtf8(name));
}

// Each entry's local header and data lie in the archive before the directory, in order
// and apart from each other: a stretch shared by two entries is a known expansion attack.
std::vector<size_t> checkedOrder(const std::vector<TDeltaEntry>& entries, uint64_t directoryOffset)
{
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return entries[a].entry.localHeaderOffset < entries[b].entry.localHeaderOffset;
    });
    uint64_t free = 0;
    for (const size_t index : order) {
        const DirectoryEntry& entry = entries[index].entry;
        const uint64_t end = entry.localHeaderOffset + LocalHeaderSize + static_cast<uint64_t>(entry.rawName.size())
                             + entry.compressedSize;
        if (entry.localHeaderOffset < free || entry.compressedSize > directoryOffset || end > directoryOffset)
            refuse(QStringLiteral("the entry %1 overlaps another or the directory").arg(quoted(entry.rawName)));
        free = end;
    }
    return order;
}

// The name as the archive's reader decodes it: UTF-8 where it is (as the reader guesses
// too), anything else is left to the reader.
QString decodedName(const DirectoryEntry& entry)
{
    const QString name = QString::fromUtf8(entry.rawName);
    if (name.toUtf8() != entry.rawName)
        refuse(QStringLiteral("the name of an entry is not UTF-8"));
    return name;
}

TDeltaEntry placed(const DirectoryEntry& entry, mode_t mask)
{
    if (entry.flags & RefusedFlags)
        refuse(QStringLiteral("the entry %1 is encrypted or keeps its sizes after its data").arg(quoted(entry.rawName)));
    if (entry.method != 0 && entry.method != 8)
        refuse(QStringLiteral("the entry %1 is compressed with method %2").arg(quoted(entry.rawName)).arg(entry.method));
    if (entry.method == 0 && entry.compressedSize != entry.size)
        refuse(QStringLiteral("the stored entry %1 has two sizes").arg(quoted(entry.rawName)));
    TDeltaEntry result;
    result.entry = entry;
    const EntryPlace place = PlaceEntry(decodedName(entry), entry.central.system, entry.central.attributes, mask);
    result.name = place.name;
    result.path = place.path;
    result.isFolder = place.isFolder;
    result.mode = place.mode;
    if (!result.isFolder) {
        const std::optional<QByteArray> digest = EntryDigestIn(entry.central.extra);
        if (!digest)
            refuse(QStringLiteral("the entry %1 carries no SHA-256").arg(quoted(entry.rawName)));
        result.digest = *digest;
    }
    return result;
}

}  // namespace

QString MegabytesText(int64_t bytes)
{
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MB");
}

ByteRange TDeltaPlan::TailRange(int64_t archiveBytes, const TSignedTail& tail)
{
    return {archiveBytes - tail.bytes, archiveBytes - 1};
}

TDeltaPlan TDeltaPlan::FromTail(const QByteArray& tail, int64_t archiveBytes, int64_t expectedCount,
                                const TSignedTail& signedTail)
{
    if (signedTail.bytes <= 0 || signedTail.bytes > archiveBytes || tail.size() != signedTail.bytes)
        refuse(QStringLiteral("the archive's tail is not the length the descriptor gives"));
    if (QCryptographicHash::hash(tail, QCryptographicHash::Sha256).toHex() != signedTail.sha256.trimmed().toLower())
        refuse(QStringLiteral("the archive's tail does not have the hash the descriptor gives"));
    TDeltaPlan plan;
    plan.m_archiveBytes = archiveBytes;
    plan.m_tail = TailRange(archiveBytes, signedTail);
    std::vector<DirectoryEntry> entries;
    try {
        entries = ReadTailDirectory(tail, static_cast<uint64_t>(plan.m_tail.first), static_cast<uint64_t>(archiveBytes));
    } catch (const EZipError& error) {
        refuse(QStringLiteral("the archive's directory cannot be read: %1").arg(error.message()));
    }
    if (static_cast<int64_t>(entries.size()) != expectedCount)
        refuse(QStringLiteral("the archive's directory holds %1 entries instead of %2").arg(entries.size()).arg(expectedCount));
    try {
        const mode_t mask = static_cast<mode_t>(platform::fileCreationMask());
        for (const DirectoryEntry& entry : entries)
            plan.m_entries.push_back(placed(entry, mask));
        RefuseClashingPaths(plan.m_entries);
    } catch (const EZipError& error) {
        refuse(error.message());
    }
    checkedOrder(plan.m_entries, static_cast<uint64_t>(plan.m_tail.first));
    return plan;
}

void TDeltaPlan::Compare(const InstalledDigest& installedDigest)
{
    for (TDeltaEntry& entry : m_entries) {
        if (entry.isFolder)
            continue;
        const std::optional<Installed> installed = installedDigest(entry.path, entry.entry.size);
        entry.changed = !installed || installed->digest != entry.digest;
        entry.installed = installed ? installed->stamp : platform::FileStamp();
    }
}

std::vector<ByteRange> TDeltaPlan::Wanted(const QStringList& only) const
{
    // an entry reaches at most to the next one (or the directory): its local extra field
    // is not in the directory, but never longer than the format allows
    const std::vector<size_t> order = checkedOrder(m_entries, static_cast<uint64_t>(m_tail.first));
    std::vector<ByteRange> wanted;
    for (size_t i = 0; i < order.size(); ++i) {
        const TDeltaEntry& entry = m_entries[order[i]];
        if (!entry.changed || (!only.isEmpty() && !only.contains(entry.name)))
            continue;
        const uint64_t next = i + 1 < order.size() ? m_entries[order[i + 1]].entry.localHeaderOffset
                                                   : static_cast<uint64_t>(m_tail.first);
        const uint64_t longest = entry.entry.localHeaderOffset + LocalHeaderSize
                                 + static_cast<uint64_t>(entry.entry.rawName.size()) + MaxLocalExtraSize
                                 + entry.entry.compressedSize;
        wanted.push_back({static_cast<int64_t>(entry.entry.localHeaderOffset), static_cast<int64_t>(std::min(next, longest)) - 1});
    }
    return RangePlan::Merge(std::move(wanted));
}

int64_t TDeltaPlan::PlannedBytes() const
{
    int64_t bytes = m_tail.size();
    for (const ByteRange& range : Wanted())
        bytes += range.size();
    return bytes;
}

int TDeltaPlan::ChangedFiles() const
{
    return static_cast<int>(std::count_if(m_entries.begin(), m_entries.end(), [](const TDeltaEntry& e) { return e.changed; }));
}

QString TDeltaPlan::WhyNotWorthIt(int rangesPerRequest) const
{
    const int64_t planned = PlannedBytes();
    if (planned > m_archiveBytes / 2)
        return QStringLiteral("the changes would fetch %1 of %2").arg(MegabytesText(planned), MegabytesText(m_archiveBytes));
    const size_t requests = RangePlan::Requests(Wanted(), rangesPerRequest).size();
    if (requests > static_cast<size_t>(MaxRequests))
        return QStringLiteral("the changes need %1 requests").arg(requests);
    return {};
}

QString TDeltaPlan::Summary() const
{
    return QStringLiteral("%1 of %2 entries, %3 of %4")
        .arg(ChangedFiles())
        .arg(m_entries.size())
        .arg(MegabytesText(PlannedBytes()), MegabytesText(m_archiveBytes));
}
