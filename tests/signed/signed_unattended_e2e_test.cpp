// Whole unattended runs of the setup built with the tests' release key
// (test-bin/vrnsetup-testkey) and of the keyless setup, against the same served files:
// a release signed by vrn-publish, and that release changed on the way.
#include "install/install_test_support.h"
#include "net/release_server.h"
#include "support/test_machine.h"

#include <QDir>
#include <QThread>

#include <functional>

#include <gtest/gtest.h>

namespace {

const QString kKeyed = QStringLiteral(VRN_TESTKEY_SETUP);

struct Served {
    QByteArray descriptor, signature, archive, setup;
};

// A release signed with the tests' key; `version` above 15 offers a new setup, a
// script that leaves a mark in the home folder when it starts.
Served publishSigned(const QString& version)
{
    const QString root = sandbox::freshFolder(QStringLiteral("publish-") + version);
    QDir().mkpath(root + QStringLiteral("/app"));
    installtest::writeFile(root + QStringLiteral("/app/Vorlen.exe"), "#!/bin/sh\nexit 0\n", 0755);
    installtest::writeFile(root + QStringLiteral("/app/command line.txt"), installtest::pattern(30000));
    installtest::writeFile(root + QStringLiteral("/newsetup"), "#!/bin/sh\ntouch \"$HOME/new-setup-ran\"\n", 0755);
    const ProcessResult made = runProcess(
        builtProgram(QStringLiteral("vrn-publish")),
        {QStringLiteral("--key"), QStringLiteral(VRN_TEST_RELEASE_PRIVATE_KEY), QStringLiteral("--app"), root + QStringLiteral("/app"),
         QStringLiteral("--version"), version, QStringLiteral("--number"), QStringLiteral("7"), QStringLiteral("--setup"),
         root + QStringLiteral("/newsetup"), root + QStringLiteral("/out")});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    const QString out = root + QStringLiteral("/out/");
    return {readFile(out + QStringLiteral("system.xml")), readFile(out + QStringLiteral("system.xml.sig")),
            readFile(out + QStringLiteral("vrnsetup.zip")), readFile(out + QStringLiteral("vrnsetup.exe"))};
}

// Another release number: the descriptor still reads, but not as it was signed.
QByteArray numberChanged(QByteArray descriptor)
{
    return descriptor.replace("<number>7<", "<number>8<");
}

QByteArray flippedInTheMiddle(QByteArray bytes)
{
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    return bytes;
}

std::unique_ptr<ReleaseServer> serve(const Served& files)
{
    auto server = std::make_unique<ReleaseServer>();
    server->serve("system.xml", files.descriptor);
    if (!files.signature.isNull())
        server->serve("system.xml.sig", files.signature);
    server->serve("vrnsetup.zip", files.archive);
    server->serve("vrnsetup.exe", files.setup);
    server->serve("count", "ok");
    server->start();
    return server;
}

}  // namespace

TEST(SignedUnattendedRun, EachBuildInstallsOrRefusesTheServedFilesAsItsKeySays)
{
    const Served release = publishSigned(QStringLiteral("15"));
    const Served update = publishSigned(QStringLiteral("16"));
    const QString notSigned = QStringLiteral("ERROR -> [CInstallation] VerifyReleaseSignature: system.xml is not signed");
    const QString hashRefused = QStringLiteral("ERROR -> [CInstallation] ValidateZipPackage: { zipSha256: ");
    const QString setupRefused = QStringLiteral("ERROR -> [CInstallation] DownloadAndRunNewInstaller: { setupSha256: ");
    const struct {
        const char* what;
        QString program;
        std::function<Served()> served;
        int exitCode;
        bool installed, newSetupStarted;
        QString logLine;  // a line the run's log holds
    } cases[] = {
        {"signed release, keyed", kKeyed, [&] { return release; }, 0, true, false,
         "INFO  -> [CInstallation] VerifyReleaseSignature: signed by the publisher"},
        {"descriptor changed, keyed", kKeyed, [&] { return Served{numberChanged(release.descriptor), release.signature, release.archive, {}}; },
         1, false, false, notSigned},
        {"signature missing, keyed", kKeyed, [&] { return Served{release.descriptor, QByteArray(), release.archive, {}}; }, 1, false, false,
         "ERROR -> [CInstallation] VerifyReleaseSignature: system.xml.sig could not be fetched"},
        {"archive replaced, keyed", kKeyed, [&] { return Served{release.descriptor, release.signature, flippedInTheMiddle(release.archive), {}}; },
         1, false, false, hashRefused},
        {"new setup replaced, keyed", kKeyed, [&] { return Served{update.descriptor, update.signature, update.archive, flippedInTheMiddle(update.setup)}; },
         1, false, false, setupRefused},
        {"new setup as published, keyed", kKeyed, [&] { return update; }, 1, false, true,
         "INFO  -> [CInstallation] DownloadAndRunNewInstaller"},
        // a keyless setup as before: only the hashes the descriptor names are checked
        {"descriptor changed, keyless", builtProgram(), [&] { return Served{numberChanged(release.descriptor), release.signature, release.archive, {}}; },
         0, true, false, "INFO  -> [CInstallation] VerifyReleaseSignature: the release is not signed"},
        {"archive replaced, keyless", builtProgram(), [&] { return Served{release.descriptor, QByteArray(), flippedInTheMiddle(release.archive), {}}; },
         1, false, false, hashRefused},
    };
    for (const auto& c : cases) {
        const auto server = serve(c.served());
        const Machine machine(QStringLiteral("signed"));
        const ProcessResult result = machine.run(server->base(), {QStringLiteral("-silent"), QStringLiteral("-accepteula"),
                                                                  QStringLiteral("-norun")}, c.program);
        ASSERT_TRUE(result.finished) << c.what;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.what << result.err.toStdString();
        EXPECT_EQ(QFile::exists(machine.installFolder(false) + QStringLiteral("Vorlen.exe")), c.installed) << c.what;
        EXPECT_TRUE(machine.log().contains(c.logLine)) << c.what << "\n" << machine.log().toStdString();
        // the message of a refused signature, answered on standard error
        EXPECT_EQ(result.err.contains("could not be verified"), c.logLine.contains(QStringLiteral("Signature: system.xml")))
            << c.what << result.err.toStdString();
        const QString mark = machine.root + QStringLiteral("/home/new-setup-ran");
        for (int i = 0; i < 50 && c.newSetupStarted && !QFile::exists(mark); ++i)
            QThread::msleep(100);
        EXPECT_EQ(QFile::exists(mark), c.newSetupStarted) << c.what;
        const QStringList moved = QDir(machine.root + QStringLiteral("/tmp")).entryList({QStringLiteral("vrnsetup-*.exe")});
        EXPECT_EQ(moved.size(), c.newSetupStarted ? 1 : 0) << c.what;
        EXPECT_FALSE(machine.workFolderLeft()) << c.what;
    }
}
