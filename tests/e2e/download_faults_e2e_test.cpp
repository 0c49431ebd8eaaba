// Whole unattended installs over a network that breaks: the archive's server cuts
// connections, ignores ranges, replaces the file, is busy or misses it, and a run is
// cancelled half-way; the setup resumes, retries, starts over or gives up as it should.
#include "net/fault_injecting_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_machine.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

struct Release {
    QByteArray descriptor;
    QByteArray archive;
    QByteArray data;  // the application's data file, which makes the archive worth resuming
};

// A release whose data file is 256 KiB of bytes that do not compress, made from `seed`.
Release publish(quint32 seed)
{
    const QString work = sandbox::freshFolder(QStringLiteral("publish-%1").arg(seed));
    QDir().mkpath(work + QStringLiteral("/app"));
    QFile app(work + QStringLiteral("/app/Vorlen.exe"));
    EXPECT_TRUE(app.open(QIODevice::WriteOnly));
    app.write("#!/bin/sh\n");
    app.close();
    QByteArray data(256 * 1024, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    QFile dataFile(work + QStringLiteral("/app/data.bin"));
    EXPECT_TRUE(dataFile.open(QIODevice::WriteOnly));
    dataFile.write(data);
    dataFile.close();
    const ProcessResult made = runProcess(builtProgram(QStringLiteral("vrn-publish")),
                                          {QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"),
                                           QStringLiteral("15"), QStringLiteral("--number"), QStringLiteral("7"),
                                           QStringLiteral("--setup"), builtProgram(), work + QStringLiteral("/release")});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    return {readFile(work + QStringLiteral("/release/system.xml")), readFile(work + QStringLiteral("/release/vrnsetup.zip")),
            data};
}

const Release& first()
{
    static const Release release = publish(1);
    return release;
}

const Release& second()
{
    static const Release release = publish(2);
    return release;
}

const QStringList kInstall{QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun"),
                           QStringLiteral("-progress")};

qint64 share(double part)
{
    return static_cast<qint64>(static_cast<double>(first().archive.size()) * part);
}

}  // namespace

TEST(DownloadFaults, TheInstallResumesRetriesStartsOverOrGivesUpAsTheFailureDeserves)
{
    const qint64 length = first().archive.size();
    const std::vector<qint64> cuts{share(0.3), share(0.6), share(0.9)};
    const struct {
        const char* what;
        FaultPlan plan;
        int exitCode;
        double maxServedFactor;  // bytes served over the archive's length
        const Release* installed;
        int failedRuns = 0;  // runs that end in failure before the last one
        bool hashed = false;  // the descriptor names the archive's hash: the check finds a damage, else the install
    } cases[] = {
        {"cut at 30, 60 and 90 %", {.cutAt = cuts}, 0, 1.15, &first()},
        {"ranges ignored", {.cutAt = cuts, .ignoreRanges = true}, 0, 3.0, &first()},
        {"archive replaced", {.cutAt = {share(0.5)}, .replacement = second().archive}, 0, 1.6, &second()},
        {"503 twice", {.failingStatus = 503, .failingReplies = 2}, 0, 1.0, &first()},
        {"404", {.failingStatus = 404, .failingReplies = 100}, 1, 0.0, nullptr},
        {"damaged once, CRC", {.damagedReplies = 1}, 0, 2.0, &first(), 1},
        {"damaged once, hash", {.damagedReplies = 1}, 0, 2.0, &first(), 1, true},
    };
    for (const auto& c : cases) {
        FaultInjectingServer server;
        // the descriptor of the archive the run ends with, so that its checks pass
        QByteArray descriptor = (c.installed ? *c.installed : first()).descriptor;
        if (c.hashed)
            descriptor.replace("fileCount=", "sha256=\"" + QCryptographicHash::hash(first().archive, QCryptographicHash::Sha256).toHex() + "\" fileCount=");
        server.serve("system.xml", descriptor);
        server.serve("count", "ok");
        server.serve("vrnsetup.zip", first().archive, c.plan);
        server.start();
        const Machine machine(QStringLiteral("faults"));
        // a part that failed a check is not continued by the next run, which fetches it whole
        for (int run = 0; run < c.failedRuns; ++run)
            EXPECT_EQ(machine.run(server.base(), kInstall).exitCode, 1) << c.what;
        const ProcessResult result = machine.run(server.base(), kInstall);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.what << result.err.toStdString();
        EXPECT_LE(server.bytesServed("vrnsetup.zip"), static_cast<qint64>(c.maxServedFactor * length)) << c.what;
        const QByteArray installed = readFile(machine.installFolder(false) + QStringLiteral("data.bin"));
        EXPECT_TRUE(c.installed ? installed == c.installed->data : installed.isEmpty()) << c.what;
        // each retry is told on standard error as well as in the log
        const bool retried = !c.plan.cutAt.empty() || c.plan.failingStatus == 503;
        EXPECT_EQ(result.err.contains("download interrupted, retry"), retried) << c.what << result.err.toStdString();
        EXPECT_EQ(machine.log().contains(QStringLiteral("[CNetwork] SyncDownload: retry 1 in ")), retried) << c.what;
        if (c.plan.failingStatus == 404) {
            EXPECT_EQ(server.requests("vrnsetup.zip"), 1) << "a missing file is asked for once";
            EXPECT_TRUE(machine.log().contains(QStringLiteral("[UI] page_final: False")));
        }
        EXPECT_TRUE(machine.tree().filter(QStringLiteral(".cache/")).isEmpty()) << c.what << " the cache is emptied";
    }
}

TEST(DownloadFaults, ARunAfterACancelledOneFetchesOnlyTheRest)
{
    const qint64 length = first().archive.size();
    FaultInjectingServer server;
    server.serve("system.xml", first().descriptor);
    server.serve("count", "ok");
    server.serve("vrnsetup.zip", first().archive, {.stallAt = share(0.6)});
    server.start();
    const Machine machine(QStringLiteral("resumed"));
    // ended once its part holds what the server sent before stalling, not merely sent: a
    // busy machine may not have read those bytes yet
    const auto partHoldsTheStall = [&] {
        const QStringList parts = machine.tree().filter(QStringLiteral(".cache/vorlen-setup/")).filter(QStringLiteral(".part"));
        return !parts.isEmpty() && QFileInfo(machine.root + QLatin1Char('/') + parts.first()).size() >= share(0.6);
    };
    const ProcessResult cancelled = runProcessUntil(builtProgram(), kInstall, machine.environment(server.base()), partHoldsTheStall);
    EXPECT_EQ(cancelled.exitCode, 4) << cancelled.err.toStdString();
    ASSERT_TRUE(waitUntil([&] { return server.bytesServed("vrnsetup.zip") == share(0.6); }));
    EXPECT_FALSE(machine.tree().filter(QStringLiteral(".cache/vorlen-setup/")).isEmpty()) << "the part is kept";

    const ProcessResult resumed = machine.run(server.base(), kInstall);
    EXPECT_EQ(resumed.exitCode, 0) << resumed.err.toStdString();
    const std::vector<qint64> asked = server.rangesAsked("vrnsetup.zip");
    ASSERT_EQ(asked.size(), 2U);
    EXPECT_GT(asked[1], 0) << "the second run asks for the rest";
    EXPECT_LE(server.bytesServed("vrnsetup.zip"), length + length / 10);
    EXPECT_EQ(readFile(machine.installFolder(false) + QStringLiteral("data.bin")), first().data);
    EXPECT_TRUE(machine.tree().filter(QStringLiteral(".cache/vorlen-setup/")).filter(QStringLiteral(".part")).isEmpty());
}

// The cache keeps a finished download until the install succeeded: a run killed after
// unpacking it leaves the whole archive to the next, which fetches none of it again.
TEST(DownloadFaults, ARunKilledAfterUnpackingLeavesItsWholeDownloadToTheNext)
{
    FaultInjectingServer server;
    server.serve("system.xml", first().descriptor);
    server.serve("count", "ok");
    server.serve("vrnsetup.zip", first().archive);
    server.start();
    // a whole run numbers the moments
    const ProcessResult counted = Machine(QStringLiteral("countingMoments")).runKilledAt(server.base(), 1000000, kInstall);
    const QRegularExpressionMatch unpacked =
        QRegularExpression(QStringLiteral("crash point (\\d+): the archive is extracted")).match(counted.err);
    ASSERT_TRUE(unpacked.hasMatch()) << counted.err.toStdString();

    const Machine machine(QStringLiteral("killedAfterUnpacking"));
    EXPECT_NE(machine.runKilledAt(server.base(), unpacked.captured(1).toLong(), kInstall).exitCode, 0);
    const qint64 servedBefore = server.bytesServed("vrnsetup.zip");
    const ProcessResult again = machine.run(server.base(), kInstall);
    EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_LT(server.bytesServed("vrnsetup.zip") - servedBefore, first().archive.size() / 10);
    EXPECT_EQ(readFile(machine.installFolder(false) + QStringLiteral("data.bin")), first().data);
}
