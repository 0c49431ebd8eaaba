#pragma once
// An update that fetches only what changed. The new archive's tail (its central
// directory and end records), fetched by one range request and proven by the hash the
// signed descriptor gives for it, names each entry with the SHA-256 of its bytes. Each
// file is compared with the installed file of its path; only those that differ are
// fetched, each by its local header and data, and every other file is taken from the
// installation. The plan is only worth it when it fetches at most half of the archive
// in few requests; otherwise the whole archive is fetched as always.

#include "archive/range_plan.h"
#include "archive/zip_directory.h"
#include "platform/platform.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <sys/types.h>
#include <vector>

// Why an update fetches the whole archive after all; the message says it in the log.
VRN_DECLARE_ERROR(EDeltaRefused, Exception)

// The descriptor's word on the archive's tail: its length and SHA-256 (hexadecimal).
struct TSignedTail {
    int64_t bytes = 0;
    QByteArray sha256;
};

// One entry of the new archive as the update places it.
struct TDeltaEntry {
    DirectoryEntry entry;
    QString name;      // as stored, for messages
    QByteArray path;   // below the install folder, as extraction normalises it
    bool isFolder = false;
    mode_t mode = 0;   // as extraction gives it
    QByteArray digest; // the SHA-256 of a file's bytes (32 raw bytes)
    bool changed = false;
    // An unchanged file's stamp when it was found to be the release's: the new tree takes
    // it only while nothing wrote to it since.
    platform::FileStamp installed;
};

class TDeltaPlan {
public:
    static constexpr int MaxRequests = 300;

    // The plan's tail as the descriptor announces it: where it starts in the archive.
    static ByteRange TailRange(int64_t archiveBytes, const TSignedTail& tail);
    // Reads the tail fetched from `TailRange`: its hash must be the descriptor's, its
    // directory the archive's only one with `expectedCount` entries, every entry inside
    // the archive before the directory, apart from every other, on a safe path, stored
    // or deflated without encryption, and every file with its SHA-256. Throws EDeltaRefused.
    static TDeltaPlan FromTail(const QByteArray& tail, int64_t archiveBytes, int64_t expectedCount, const TSignedTail& signedTail);

    // The SHA-256 (32 raw bytes) of the installed file at a path when it is a regular
    // file of that size, and the stamp it had; nothing otherwise.
    struct Installed {
        QByteArray digest;
        platform::FileStamp stamp;
    };
    using InstalledDigest = std::function<std::optional<Installed>(const QByteArray& path, uint64_t size)>;
    // Marks each file that the installation does not hold byte for byte as changed.
    void Compare(const InstalledDigest& installedDigest);

    const std::vector<TDeltaEntry>& Entries() const { return m_entries; }
    // The local header and data of each changed file (of those named in `only`, when
    // given), merged into the stretches fetched.
    std::vector<ByteRange> Wanted(const QStringList& only = {}) const;
    int64_t ArchiveBytes() const { return m_archiveBytes; }
    int64_t TailBytes() const { return m_tail.size(); }
    // What the road fetches: the tail and the wanted stretches.
    int64_t PlannedBytes() const;
    int ChangedFiles() const;
    // Empty when fetching the changes is worth it: at most half the archive, at most
    // MaxRequests requests of `rangesPerRequest` ranges; else why not.
    QString WhyNotWorthIt(int rangesPerRequest = RangePlan::MaxRangesPerRequest) const;
    // "102 of 2001 entries, 6.1 MB of 121.3 MB"
    QString Summary() const;

private:
    std::vector<TDeltaEntry> m_entries;
    int64_t m_archiveBytes = 0;
    ByteRange m_tail;
};

// Megabytes with one decimal, as the log shows sizes ("6.1 MB").
QString MegabytesText(int64_t bytes);
