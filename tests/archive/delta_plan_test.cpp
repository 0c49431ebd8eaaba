// What an update reads of the new archive's tail before it fetches anything: only a tail
// the descriptor vouches for, whose directory is whole, safe and apart, and whose files
// all carry their SHA-256, makes a plan; the plan fetches the files that differ.
#include "archive/delta_plan.h"
#include "archive/entry_digest.h"
#include "raw_zip.h"

#include <QCryptographicHash>
#include <QMap>

#include <gtest/gtest.h>

namespace {

rawzip::Entry signedEntry(const QByteArray& name, const QByteArray& content)
{
    rawzip::Entry entry = rawzip::stored(name, content);
    entry.centralExtra = rawzip::le(EntryDigestFieldId, 2) + rawzip::le(32, 2)
                         + QCryptographicHash::hash(content, QCryptographicHash::Sha256);
    return entry;
}

struct Tail {
    QByteArray archive, tail;
    TSignedTail signedTail;
};

// The archive's tail from its directory on, and the descriptor's word on it.
Tail tailOf(const QByteArray& archive, qsizetype directoryAt)
{
    const QByteArray tail = archive.mid(directoryAt);
    return {archive, tail, {tail.size(), QCryptographicHash::hash(tail, QCryptographicHash::Sha256).toHex()}};
}

Tail built(const QList<rawzip::Entry>& entries)
{
    const QByteArray archive = rawzip::archive(entries);
    qsizetype records = 0;
    for (const rawzip::Entry& entry : entries)
        records += rawzip::localRecord(entry).size();
    return tailOf(archive, records);
}

}  // namespace

TEST(DeltaPlan, OnlyASoundTailTheDescriptorVouchesForMakesAPlan)
{
    const QList<rawzip::Entry> sound{signedEntry("Vorlen.exe", "#!/bin/sh\n"), signedEntry("data/a.bin", QByteArray(5000, 'a')),
                                     signedEntry("data/b.bin", QByteArray(7000, 'b'))};
    rawzip::Entry unsigned_ = rawzip::stored("data/c.bin", "c");
    rawzip::Entry encrypted = signedEntry("data/d.bin", "d");
    encrypted.centralFlags = 1;
    QList<rawzip::Entry> overlapping = sound;
    overlapping[2].at = -rawzip::localRecord(sound[1]).size();  // b's record points at a's
    Tail cutShort = built(sound);
    cutShort = tailOf(cutShort.archive, cutShort.archive.size() - cutShort.tail.size() + 46);
    Tail otherHash = built(sound);
    otherHash.signedTail.sha256[0] = otherHash.signedTail.sha256[0] == 'a' ? 'b' : 'a';
    const struct {
        const char* what;
        Tail tail;
        int count;
        const char* refusal;  // empty: a plan
    } cases[] = {
        {"sound", built(sound), 3, ""},
        {"another hash", otherHash, 3, "does not have the hash"},
        {"another count", built(sound), 4, "holds 3 entries instead of 4"},
        {"a file without its hash", built({sound[0], unsigned_}), 2, "carries no SHA-256"},
        {"encrypted", built({sound[0], encrypted}), 2, "encrypted"},
        {"a path out of the folder", built({signedEntry("../x", "x")}), 1, "leads out of the folder"},
        {"two entries on one stretch", built(overlapping), 3, "overlaps another"},
        {"a tail that starts inside the directory", cutShort, 3, "cannot be read"},
    };
    for (const auto& c : cases) {
        try {
            const TDeltaPlan plan = TDeltaPlan::FromTail(c.tail.tail, c.tail.archive.size(), c.count, c.tail.signedTail);
            EXPECT_STREQ(c.refusal, "") << c.what << " made a plan";
            EXPECT_EQ(plan.Entries().size(), 3u) << c.what;
        } catch (const EDeltaRefused& refused) {
            EXPECT_TRUE(*c.refusal && refused.message().contains(QLatin1String(c.refusal))) << c.what << ": " << refused.message().toStdString();
        }
    }
}

TEST(DeltaPlan, FetchesTheLocalHeaderAndDataOfEachFileThatDiffers)
{
    const QMap<QByteArray, QByteArray> contents{{"Vorlen.exe", "#!/bin/sh\n"}, {"a.bin", QByteArray(90000, 'a')},
                                                {"b.bin", QByteArray(90000, 'b')}, {"c.bin", QByteArray(90000, 'c')}};
    QList<rawzip::Entry> entries;
    for (auto it = contents.begin(); it != contents.end(); ++it)
        entries << signedEntry(it.key(), it.value());
    const Tail tail = built(entries);
    TDeltaPlan plan = TDeltaPlan::FromTail(tail.tail, tail.archive.size(), 4, tail.signedTail);
    // the installation holds every file as it is but a.bin
    plan.Compare([&](const QByteArray& path, uint64_t) {
        return std::optional(TDeltaPlan::Installed{
            path == "a.bin" ? QByteArray(32, 'x') : QCryptographicHash::hash(contents[path], QCryptographicHash::Sha256), {}});
    });
    const qint64 aAt = rawzip::localRecord(entries[0]).size(), bAt = aAt + rawzip::localRecord(entries[1]).size();
    EXPECT_EQ(plan.ChangedFiles(), 1);
    EXPECT_EQ(plan.Wanted(), (std::vector<ByteRange>{{aAt, bAt - 1}}));
    EXPECT_EQ(plan.PlannedBytes(), bAt - aAt + tail.tail.size());
    EXPECT_TRUE(plan.WhyNotWorthIt().isEmpty()) << plan.WhyNotWorthIt().toStdString();
    plan.Compare([](const QByteArray&, uint64_t) { return std::optional<TDeltaPlan::Installed>(); });  // nothing installed
    EXPECT_TRUE(plan.WhyNotWorthIt().contains(QLatin1String("would fetch"))) << plan.WhyNotWorthIt().toStdString();
}
