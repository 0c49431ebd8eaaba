// Signed releases: vrn-publish makes the publisher's key and signs what it publishes,
// and the setup's check accepts exactly the descriptor that key signed.
#include "net/release_integrity.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QString sha256(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

ProcessResult publish(const QStringList& arguments)
{
    return runProcess(builtProgram(QStringLiteral("vrn-publish")), arguments);
}

// A new key: its public half on standard output, its private half readable by its owner only.
QString newKey(const QString& path)
{
    const ProcessResult made = publish({QStringLiteral("--new-key"), path});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    return QString::fromLatin1(made.out).trimmed();
}

}  // namespace

TEST(SignedRelease, NewKeyIsPrivateAndNeverOverwritten)
{
    const QString work = sandbox::freshFolder(QStringLiteral("newkey"));
    const QString path = work + QStringLiteral("/release.key");
    const QString publicKey = newKey(path);
    EXPECT_EQ(QByteArray::fromBase64(publicKey.toLatin1()).size(), 32) << publicKey.toStdString();
    EXPECT_EQ(std::filesystem::status(path.toStdString()).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const QByteArray first = readFile(path);

    EXPECT_NE(publish({QStringLiteral("--new-key"), path}).exitCode, 0) << "the only copy of a key in use is kept";
    EXPECT_EQ(readFile(path), first);
    EXPECT_NE(newKey(work + QStringLiteral("/other.key")), publicKey);
}

TEST(SignedRelease, ASignedReleaseNamesItsHashesAndOnlyItsKeyVerifiesIt)
{
    const QString work = sandbox::freshFolder(QStringLiteral("signed"));
    writeFile(work + QStringLiteral("/app/vorlen.exe"), "the program");
    writeFile(work + QStringLiteral("/newsetup"), "the newer setup");
    const QString key = newKey(work + QStringLiteral("/release.key"));
    const QString otherKey = newKey(work + QStringLiteral("/other.key"));
    const QString release = work + QStringLiteral("/release");
    const ProcessResult published =
        publish({QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"), QStringLiteral("16"),
                 QStringLiteral("--number"), QStringLiteral("3"), QStringLiteral("--setup"), work + QStringLiteral("/newsetup"),
                 QStringLiteral("--key"), work + QStringLiteral("/release.key"), release});
    ASSERT_EQ(published.exitCode, 0) << published.err.toStdString();

    const QByteArray descriptor = readFile(release + QStringLiteral("/system.xml"));
    const QByteArray signature = readFile(release + QStringLiteral("/system.xml.sig"));
    EXPECT_TRUE(descriptor.contains(
        QStringLiteral("sha256=\"%1\"").arg(sha256(readFile(release + QStringLiteral("/vrnsetup.zip")))).toLatin1()));
    EXPECT_TRUE(descriptor.contains(
        QStringLiteral("<setup sha256=\"%1\"").arg(sha256("the newer setup")).toLatin1()));

    QByteArray changed = descriptor;
    changed[changed.indexOf("<number>3") + 8] = '4';
    const struct {
        const char* what;
        QByteArray data;
        QByteArray signature;
        QString key;
        bool valid;
    } cases[] = {
        {"as published", descriptor, signature, key, true},
        {"one byte changed", changed, signature, key, false},
        {"another key", descriptor, signature, otherKey, false},
        {"no signature", descriptor, QByteArray(), key, false},
        {"not base64", descriptor, "!!" + signature, key, false},
        {"signature cut short", descriptor, signature.left(40), key, false},
        {"key cut short", descriptor, signature, key.left(20), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReleaseIntegrity::IsValidSignature(c.data, c.signature, c.key), c.valid) << c.what;

    // a keyless publish hashes neither the archive nor the setup and signs nothing; the
    // tail's hash lets an update fetch only what changed
    ASSERT_EQ(publish({QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"),
                       QStringLiteral("16"), QStringLiteral("--number"), QStringLiteral("4"), release})
                  .exitCode,
              0);
    const QByteArray keyless = readFile(release + QStringLiteral("/system.xml"));
    EXPECT_EQ(keyless.count("sha256"), 1) << keyless.toStdString();
    EXPECT_TRUE(keyless.contains("<tail bytes=\"")) << keyless.toStdString();
    EXPECT_FALSE(QFile::exists(release + QStringLiteral("/system.xml.sig")));
}

TEST(SignedRelease, AnUnusableKeyPublishesNothing)
{
    const QString work = sandbox::freshFolder(QStringLiteral("badkey"));
    writeFile(work + QStringLiteral("/app/vorlen.exe"), "the program");
    writeFile(work + QStringLiteral("/not.key"), "no key");
    for (const QString& keyFile : {work + QStringLiteral("/not.key"), work + QStringLiteral("/missing.key")}) {
        const ProcessResult result =
            publish({QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"), QStringLiteral("1"),
                     QStringLiteral("--number"), QStringLiteral("1"), QStringLiteral("--key"), keyFile,
                     work + QStringLiteral("/release")});
        EXPECT_EQ(result.exitCode, 1) << keyFile.toStdString();
        EXPECT_FALSE(QFileInfo::exists(work + QStringLiteral("/release"))) << keyFile.toStdString();
    }
}
