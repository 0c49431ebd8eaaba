// Whole unattended runs of the setup built with the tests' release key
// (test-bin/vrnsetup-testkey) and of the keyless setup, against the same served files:
// a release signed by vrn-publish, and that release changed on the way.
#include "signed/signed_release_support.h"
#include "support/test_machine.h"

#include <QDir>
#include <QThread>

#include <functional>

#include <gtest/gtest.h>

using namespace signedtest;

namespace {

const QString kKeyed = QStringLiteral(VRN_TESTKEY_SETUP);

}  // namespace

TEST(SignedUnattendedRun, EachBuildInstallsOrRefusesTheServedFilesAsItsKeySays)
{
    const SignedRelease release = publishSignedRelease(QStringLiteral("15"));
    const SignedRelease update = publishSignedRelease(QStringLiteral("16"));
    const QString notSigned = QStringLiteral("ERROR -> [CInstallation] VerifyReleaseSignature: system.xml is not signed");
    const QString hashRefused = QStringLiteral("ERROR -> [CInstallation] ValidateZipPackage: { zipSha256: ");
    const QString setupRefused = QStringLiteral("ERROR -> [CInstallation] DownloadAndRunNewInstaller: { setupSha256: ");
    const QByteArray portal = "<html><head><title>Sign in to the network</title></head><body><form>" + QByteArray(9000, 'x');
    const struct {
        const char* what;
        QString program;
        std::function<SignedRelease()> served;
        int exitCode;
        bool installed, newSetupStarted;
        QString logLine;  // a line the run's log holds
        bool package;  // a package is asked for (and made or not) instead of an install
    } cases[] = {
        {"signed release, keyed", kKeyed, [&] { return release; }, 0, true, false,
         "INFO  -> [CInstallation] VerifyReleaseSignature: signed by the publisher", false},
        {"descriptor changed, keyed", kKeyed, [&] { return SignedRelease{numberChanged(release.descriptor), release.signature, release.archive, {}}; },
         1, false, false, notSigned, false},
        {"signature missing, keyed", kKeyed, [&] { return SignedRelease{release.descriptor, QByteArray(), release.archive, {}}; }, 1, false, false,
         "ERROR -> [CInstallation] VerifyReleaseSignature: system.xml.sig could not be fetched", false},
        {"archive replaced, keyed", kKeyed, [&] { return SignedRelease{release.descriptor, release.signature, flippedInTheMiddle(release.archive), {}}; },
         1, false, false, hashRefused, false},
        // the package's resources are trusted where it is started: none is made of that archive
        {"archive replaced, package, keyed", kKeyed, [&] { return SignedRelease{release.descriptor, release.signature, flippedInTheMiddle(release.archive), {}}; },
         1, false, false, hashRefused, true},
        {"new setup replaced, keyed", kKeyed, [&] { return SignedRelease{update.descriptor, update.signature, update.archive, flippedInTheMiddle(update.setup)}; },
         1, false, false, setupRefused, false},
        {"new setup as published, keyed", kKeyed, [&] { return update; }, 1, false, true,
         "INFO  -> [CInstallation] DownloadAndRunNewInstaller", false},
        // a keyless setup as before: only the hashes the descriptor names are checked
        {"descriptor changed, keyless", builtProgram(), [&] { return SignedRelease{numberChanged(release.descriptor), release.signature, release.archive, {}}; },
         0, true, false, "INFO  -> [CInstallation] VerifyReleaseSignature: the release is not signed", false},
        {"archive replaced, keyless", builtProgram(), [&] { return SignedRelease{release.descriptor, QByteArray(), flippedInTheMiddle(release.archive), {}}; },
         1, false, false, hashRefused, false},
        // a login page instead of the descriptor: the road of an unreachable server, quoted briefly
        {"captive portal, keyless", builtProgram(), [&] { return SignedRelease{portal, QByteArray(), portal, portal}; }, 1, false, false,
         "ERROR -> [CInstallation] VerifyInstallation: the server's system.xml is no release descriptor: not well-formed XML: "
         "\"<html><head><title>Sign in to the network</title></head><body><form>xxxxxxxxxxxx...\"\r\n",
         false},
    };
    for (const auto& c : cases) {
        const auto server = serveRelease(c.served());
        const Machine machine(QStringLiteral("signed"));
        const QString packageFolder = machine.root + QStringLiteral("/package");
        QStringList switches{QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")};
        if (c.package)
            switches << QStringLiteral("-package:") + packageFolder;
        const ProcessResult result = machine.run(server->base(), switches, c.program);
        ASSERT_TRUE(result.finished) << c.what;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.what << result.err.toStdString();
        const QString made = c.package ? packageFolder + QStringLiteral("/VorlenSetup.exe")
                                       : machine.installFolder(false) + QStringLiteral("Vorlen.exe");
        EXPECT_EQ(QFile::exists(made), c.installed) << c.what;
        EXPECT_TRUE(machine.log().contains(c.logLine)) << c.what << "\n" << machine.log().toStdString();
        // the message of a refused signature, answered on standard error
        EXPECT_EQ(result.err.contains("could not be verified"), c.logLine.contains(QStringLiteral("Signature: system.xml")))
            << c.what << result.err.toStdString();
        const QString mark = machine.root + QStringLiteral("/home/new-setup-ran");
        for (int i = 0; i < 50 && c.newSetupStarted && !QFile::exists(mark); ++i)
            QThread::msleep(100);
        EXPECT_EQ(QFile::exists(mark), c.newSetupStarted) << c.what;
        const QStringList moved = QDir(machine.root + QStringLiteral("/tmp")).entryList({QStringLiteral("vrnsetup-*")});
        EXPECT_EQ(moved.size(), c.newSetupStarted ? 1 : 0) << c.what;
        if (c.newSetupStarted) {  // what an administrator's script reads instead of an unrelated error
            EXPECT_TRUE(result.err.contains("vrnsetup: a newer setup was started: " + QFile::encodeName(machine.root)
                                            + "/tmp/" + QFile::encodeName(moved.value(0)) + "/vrnsetup-"))
                << result.err.toStdString();
        }
        EXPECT_FALSE(machine.workFolderLeft()) << c.what;
    }
}
