// A setup with a release key against a served release: the descriptor must carry
// the key's signature, and the new setup program its published hash, or nothing
// is started or moved.
#include "install/flow_support.h"

#include "app/application_extended.h"
#include "install/setup_installation.h"
#include "net/setup_source.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>

#include <openssl/evp.h>

#include <memory>

#include <gtest/gtest.h>

using namespace flowtest;

namespace {

// A publisher's key made for the test.
class TestKey {
public:
    TestKey() : m_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {}
    QString publicBase64() const
    {
        unsigned char raw[32];
        size_t length = sizeof raw;
        EVP_PKEY_get_raw_public_key(m_key.get(), raw, &length);
        return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(raw), 32).toBase64());
    }
    QByteArray sign(const QByteArray& data) const
    {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        unsigned char signature[64];
        size_t length = sizeof signature;
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, m_key.get());
        EVP_DigestSign(context.get(), signature, &length, reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<size_t>(data.size()));
        return QByteArray(reinterpret_cast<const char*>(signature), 64).toBase64();
    }

private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_key;
};

QByteArray signedDescriptor(const QByteArray& setupHash)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<system>\r\n  <version>16</version>\r\n"
                          "  <size bytes=\"1\" fileCount=\"1\">0.1</size>\r\n  <setup sha256=\"%1\"/>\r\n</system>\r\n")
        .arg(QString::fromLatin1(setupHash))
        .toUtf8();
}

void pointAt(const ReleaseServer& server)
{
    qputenv("VRN_RELEASE_BASE_URL", server.base().toUtf8());
    qputenv("VRN_COUNTER_RELEASE_URL", server.url(QStringLiteral("count")).toUtf8());
}

// A run with `key` whose first request has brought the served descriptor; a fresh log.
std::unique_ptr<CInstallation> runWithDescriptor(const ReleaseServer& server, const QString& key, const char* what)
{
    pointAt(server);
    nettest::startLog(QStringLiteral("signed"));
    auto installation = std::make_unique<CInstallation>();
    installation->ReleaseKey = key;
    EXPECT_TRUE(installation->AsyncRequest(QStringLiteral("system.xml"))) << what;
    return installation;
}

QStringList newSetupsIn(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("vrnsetup-*.exe")}, QDir::Files);
}

}  // namespace

TEST(SignedReleaseFlow, OnlyTheKeysSignatureOfTheExactDescriptorIsAccepted)
{
    nettest::startLog(QStringLiteral("signature"));
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    const TestKey key;
    const TestKey other;
    const QByteArray xml = signedDescriptor(QByteArray(64, 'a'));
    QByteArray changed = xml;
    changed[changed.indexOf("<version>16") + 10] = '7';
    const struct {
        const char* what;
        QByteArray served;
        QByteArray signature;  // no signature file when null
        QString key;
        bool accepted;
        const char* line;
    } cases[] = {
        {"signed release", xml, key.sign(xml), key.publicBase64(), true, "INFO:[CInstallation] VerifyReleaseSignature: signed by the publisher"},
        {"one byte changed", changed, key.sign(xml), key.publicBase64(), false, "ERROR:[CInstallation] VerifyReleaseSignature: system.xml is not signed"},
        {"another key's signature", xml, other.sign(xml), key.publicBase64(), false, "ERROR:[CInstallation] VerifyReleaseSignature: system.xml is not signed"},
        {"no signature file", xml, QByteArray(), key.publicBase64(), false, "ERROR:[CInstallation] VerifyReleaseSignature: system.xml.sig could not be fetched"},
        {"keyless build, unsigned release", xml, QByteArray(), QString(), true, "INFO:[CInstallation] VerifyReleaseSignature: the release is not signed"},
    };
    CreateMainWindow(QStringLiteral("en_GB"));
    for (const auto& c : cases) {
        ReleaseServer server;
        server.serve("system.xml", c.served);
        if (!c.signature.isNull())
            server.serve("system.xml.sig", c.signature);
        server.start();
        const auto installation = runWithDescriptor(server, c.key, c.what);
        EXPECT_EQ(installation->VerifyReleaseSignature(), c.accepted) << c.what;
        const QStringList lines = nettest::records();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(QLatin1String(c.line)); }))
            << c.what << "\n" << lines.join('\n').toStdString();
        EXPECT_FALSE(installation->IsLocalInstallation()) << c.what << ": no fallback to the local folder";
    }
    EXPECT_TRUE(ReleaseNotVerifiedText(QStringLiteral("en_GB")).startsWith(QStringLiteral("The release on the server could not be verified")));
    EXPECT_NE(ReleaseNotVerifiedText(QStringLiteral("ru_RU")), ReleaseNotVerifiedText(QStringLiteral("en_GB")));
}

TEST(SignedReleaseFlow, ANewSetupRunsOnlyWithItsPublishedHash)
{
    nettest::startLog(QStringLiteral("newsetup"));
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    const QByteArray setup = "#!/bin/sh\nexit 0\n";
    QByteArray replaced = setup;
    replaced[replaced.size() - 2] = '1';  // same length, other bytes
    const QByteArray hash = QCryptographicHash::hash(setup, QCryptographicHash::Sha256).toHex();
    const QString key = TestKey().publicBase64();
    const struct {
        const char* what;
        QByteArray descriptor;
        QByteArray served;
        QString key;
        bool started;
    } cases[] = {
        {"published setup", signedDescriptor(hash), setup, key, true},
        {"setup replaced", signedDescriptor(hash), replaced, key, false},
        {"no hash with a key", descriptor(QStringLiteral("16")), setup, key, false},
        {"keyless, no hash", descriptor(QStringLiteral("16")), replaced, QString(), true},
        {"keyless, setup replaced", signedDescriptor(hash), replaced, QString(), false},
    };
    CreateMainWindow(QStringLiteral("en_GB"));
    const QString temp = TempFolder(false);
    for (const auto& c : cases) {
        for (const QString& old : newSetupsIn(temp))
            QFile::remove(temp + old);
        ReleaseServer server;
        server.serve("system.xml", c.descriptor);
        server.serve("vrnsetup.exe", c.served);
        server.start();
        const auto installation = runWithDescriptor(server, c.key, c.what);
        installation->DownloadAndRunNewInstaller();
        EXPECT_EQ(newSetupsIn(temp).size(), c.started ? 1 : 0) << c.what;
        const QStringList errors = nettest::recordsStartingWith(QStringLiteral("[CInstallation] DownloadAndRunNewInstaller: { setupSha256: "));
        EXPECT_EQ(errors.size(), c.started ? 0 : 1) << c.what;
        if (!c.started)
            EXPECT_TRUE(QFile::exists(installation->Source->Use(QStringLiteral("vrnsetup.exe")))) << "not moved";
    }
}
