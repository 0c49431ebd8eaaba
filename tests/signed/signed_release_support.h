#pragma once
// A release that vrn-publish signed with the tests' key, served on 127.0.0.1, and the
// ways the tests change it on the way.

#include "install/install_test_support.h"
#include "net/release_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QDir>
#include <QRandomGenerator>

#include <memory>

#include <gtest/gtest.h>

namespace signedtest {

struct SignedRelease {
    QByteArray descriptor, signature, archive, setup;  // a null signature is not served
};

// `version` above 15 offers the new setup: a script that leaves a mark in the home
// folder when it starts.
inline SignedRelease publishSignedRelease(const QString& version = QStringLiteral("15"))
{
    const QString root = sandbox::freshFolder(QStringLiteral("publish-") + version);
    QDir().mkpath(root + QStringLiteral("/app"));
    installtest::writeFile(root + QStringLiteral("/app/Vorlen.exe"), "#!/bin/sh\nexit 0\n", 0755);
    QByteArray noise(40000, Qt::Uninitialized);  // as large in the archive: its middle is file data
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    installtest::writeFile(root + QStringLiteral("/app/command line.txt"), noise);
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

inline std::unique_ptr<ReleaseServer> serveRelease(const SignedRelease& files)
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

// Another release number: the descriptor still reads, but not as it was signed.
inline QByteArray numberChanged(QByteArray descriptor)
{
    return descriptor.replace("<number>7<", "<number>8<");
}

// Same length, other bytes.
inline QByteArray flippedInTheMiddle(QByteArray bytes)
{
    bytes[bytes.size() / 2] = static_cast<char>(~bytes[bytes.size() / 2]);
    return bytes;
}

}  // namespace signedtest
