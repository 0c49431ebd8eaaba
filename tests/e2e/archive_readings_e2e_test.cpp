// An archive whose local header says deflate where its central directory says stored,
// installed unattended: the setup installs the stored bytes, as every ZIP reader shows
// them, whether the archive was unpacked as it arrived or after the download (a download
// that starts over ends the unpacking ahead).
#include "archive/raw_zip.h"
#include "net/fault_injecting_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_machine.h"

#include <QFile>

#include <gtest/gtest.h>

TEST(ArchiveReadings, TheStoredBytesAreInstalledAsArrivedAndAfterTheDownload)
{
    const rawzip::Mismatch mismatch = rawzip::methodMismatch();
    const QString work = sandbox::freshFolder(QStringLiteral("mismatch-publish"));
    QFile zip(work + QStringLiteral("/vrnsetup.zip"));
    ASSERT_TRUE(zip.open(QIODevice::WriteOnly) && zip.write(mismatch.archive) == mismatch.archive.size());
    zip.close();
    const ProcessResult published = runProcess(
        builtProgram(QStringLiteral("vrn-publish")),
        {QStringLiteral("--zip"), zip.fileName(), QStringLiteral("--version"), QStringLiteral("15"), QStringLiteral("--number"),
         QStringLiteral("7"), QStringLiteral("--setup"), builtProgram(), work + QStringLiteral("/release")});
    ASSERT_EQ(published.exitCode, 0) << published.err.toStdString();
    ASSERT_TRUE(readFile(work + QStringLiteral("/release/vrnsetup.zip")) == mismatch.archive) << "published as it is";
    const struct {
        const char* what;
        FaultPlan plan;
    } cases[] = {
        {"as it arrived", {}},
        {"after the download", {.cutAt = {mismatch.archive.size() / 2}, .ignoreRanges = true}},
    };
    for (const auto& c : cases) {
        FaultInjectingServer server;
        server.serve("system.xml", readFile(work + QStringLiteral("/release/system.xml")));
        server.serve("count", "ok");
        server.serve("vrnsetup.zip", mismatch.archive, c.plan);
        server.start();
        const Machine machine(QStringLiteral("mismatch"));
        const ProcessResult result = machine.run(
            server.base(), {QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")});
        EXPECT_EQ(result.exitCode, 0) << c.what << result.err.toStdString();
        EXPECT_TRUE(readFile(machine.installFolder(false) + QStringLiteral("readme.txt")) == mismatch.stored) << c.what;
    }
}
