// An update that fetches only what changed, as build/bin/vrnsetup -silent meets servers:
// every way a server answers ranges ends with release B installed exactly, or with A
// untouched when the files on the server are not the release's, and never with a mix;
// a run killed at any moment of the road leaves A or B whole.
#include "e2e/range_fault_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_data.h"
#include "support/test_machine.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

const QStringList kInstall{QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")};

using Files = QMap<QString, QByteArray>;

// A's files; B changes three far apart, drops one and adds one; C is another release.
Files releaseFiles(char edition)
{
    Files files{{QStringLiteral("Vorlen.exe"), "#!/bin/sh\n"}};
    for (int i = 0; i < 60; ++i) {
        const bool changed = edition != 'A' && (i == 5 || i == 30 || i == 55);
        files[QStringLiteral("data/f%1.bin").arg(i)] = noise(20000 + i, i * 31u + (changed ? edition : 'A'));
    }
    if (edition != 'A') {
        files.remove(QStringLiteral("data/f40.bin"));
        files[QStringLiteral("data/added.txt")] = QByteArray(edition == 'C' ? 70000 : 700, edition);
    }
    return files;
}

struct Release {
    Files files;
    QByteArray descriptor, archive;
};

Release publish(char edition)
{
    const QString work = sandbox::freshFolder(QStringLiteral("publish") + QChar(edition));
    const Files files = releaseFiles(edition);
    for (auto it = files.begin(); it != files.end(); ++it) {
        QDir().mkpath(QFileInfo(work + QStringLiteral("/app/") + it.key()).path());
        QFile file(work + QStringLiteral("/app/") + it.key());
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(it.value());
    }
    const ProcessResult made = runProcess(builtProgram(QStringLiteral("vrn-publish")),
                                          {QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"),
                                           QStringLiteral("15"), QStringLiteral("--number"), QString::number(edition - 'A' + 1),
                                           work + QStringLiteral("/release")});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    return {files, readFile(work + QStringLiteral("/release/system.xml")), readFile(work + QStringLiteral("/release/vrnsetup.zip"))};
}

std::map<std::string, QByteArray> served(const Release& release)
{
    return {{"system.xml", release.descriptor}, {"vrnsetup.zip", release.archive}, {"count", "ok"}};
}

// The release's files as installed, besides what the setup adds.
Files installedFiles(const QString& folder)
{
    Files files;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        const QString name = it.next().mid(folder.size());
        if (!QStringList{QStringLiteral("Core.xml"), QStringLiteral("uninstall.exe"), QStringLiteral(".vrnsetup-files")}.contains(name))
            files[name] = readFile(folder + name);
    }
    return files;
}

struct DeltaUpdate : ::testing::Test {
    static void SetUpTestSuite()
    {
        a = publish('A');
        b = publish('B');
        c = publish('C');
    }
    // A machine with A installed through the road of a first install.
    static Machine installedA(const QString& name)
    {
        Machine machine(name);
        const RangeFaultServer server(served(a), RangeFault::None);
        const ProcessResult result = machine.run(server.base(), kInstall);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        EXPECT_TRUE(installedFiles(machine.installFolder(false)) == a.files);
        return machine;
    }
    static inline Release a, b, c;
};

}  // namespace

TEST_F(DeltaUpdate, EveryWayAServerAnswersRangesEndsWithBExactlyOrAUntouched)
{
    const qint64 damagedAt = b.archive.indexOf("data/f30.bin") + 12 + 10;  // inside a changed entry's data
    const struct {
        const char* what;
        RangeFault fault;
        bool onlyWhatChanged;  // the road that ends it; else the whole archive
        const Release* installed;
    } cases[] = {
        {"multipart as nginx sends it", RangeFault::None, true, &b},
        {"parts merged and reordered", RangeFault::MergedAndReordered, true, &b},
        {"cut in the middle of a part", RangeFault::CutInAPart, true, &b},
        {"only the first range answered", RangeFault::FirstRangeOnly, true, &b},
        {"501 to several ranges", RangeFault::SeveralNotImplemented, true, &b},
        {"another boundary in the body", RangeFault::WrongBoundary, false, &b},
        {"a part outside the ranges asked", RangeFault::PartOutside, false, &b},
        {"an entry's bytes not those signed", RangeFault::DamagedEntry, false, &b},
        {"a tail not the descriptor's", RangeFault::DamagedTail, false, &b},
        {"the archive replaced after the tail", RangeFault::ReplacedAfterTail, false, &a},
    };
    for (const auto& c : cases) {
        const Machine machine = installedA(QStringLiteral("fault"));
        const RangeFaultServer server(served(b), c.fault, DeltaUpdate::c.archive, damagedAt);
        const ProcessResult result = machine.run(server.base(), kInstall);
        EXPECT_EQ(result.exitCode, c.installed == &b ? 0 : 1) << c.what << result.err.toStdString();
        EXPECT_TRUE(installedFiles(machine.installFolder(false)) == c.installed->files) << c.what;
        EXPECT_EQ(machine.log().contains(QStringLiteral("Install -> Download the whole archive")), !c.onlyWhatChanged)
            << c.what << machine.log().toStdString();
        EXPECT_TRUE(machine.log().contains(QStringLiteral("Install -> Update only what changed: 4 of 62 entries")) || c.fault == RangeFault::DamagedTail)
            << c.what;
        if (c.fault == RangeFault::None)
            EXPECT_LT(server.archiveBytesSent(), b.archive.size() / 5) << c.what;
    }
}

TEST_F(DeltaUpdate, AnUpdateKilledAtAnyMomentLeavesAOrBWholeAndTheNextRunEndsWithB)
{
    const RangeFaultServer server(served(b), RangeFault::None);
    const auto runKilledAt = [&](const Machine& machine, int moment) {
        return machine.runKilledAt(server.base(), moment, kInstall);
    };
    const ProcessResult all = runKilledAt(installedA(QStringLiteral("count")), 1000000);
    ASSERT_EQ(all.exitCode, 0) << all.err.toStdString();
    const int moments = static_cast<int>(all.err.count("crash point "));
    ASSERT_GT(moments, 60) << "a moment a file: " << all.err.toStdString();
    for (int moment = 1; moment <= moments; moment += moments / 12) {
        const Machine machine = installedA(QStringLiteral("kill%1").arg(moment));
        EXPECT_NE(runKilledAt(machine, moment).exitCode, 0) << moment;
        const Files tree = installedFiles(machine.installFolder(false));
        EXPECT_TRUE(tree == a.files || tree == b.files) << "killed at moment " << moment;
        EXPECT_EQ(machine.run(server.base(), kInstall).exitCode, 0) << moment;
        EXPECT_TRUE(installedFiles(machine.installFolder(false)) == b.files) << "after the kill at moment " << moment;
    }
}
