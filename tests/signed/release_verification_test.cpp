// What a setup accepts from a release server, by the key it was built with. This file
// runs in the signed test program (built with the tests' key) and in the keyless
// install test program, against the same served files; each case says what each
// build does. Whole runs go through the window with a scripted user, one per process.
#include "install/flow_support.h"
#include "install/install_test_support.h"
#include "install/installed_configuration.h"
#include "net/release_key.h"
#include "net/setup_source.h"
#include "support/process_runner.h"
#include "signed/signed_release_support.h"
#include "support/recording_dialogs.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

using namespace flowtest;
using namespace installtest;
using namespace signedtest;

namespace {

bool keyed()
{
    return !ReleaseIntegrity::CompiledPublicKey().isEmpty();
}

// The publisher's key the build made for the tests, or a fresh key of someone else.
class SigningKey {
public:
    static SigningKey publishers()
    {
        std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(VRN_TEST_RELEASE_PRIVATE_KEY, "r"), std::fclose);
        EXPECT_TRUE(file) << VRN_TEST_RELEASE_PRIVATE_KEY;
        return SigningKey(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    static SigningKey another() { return SigningKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }

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
    explicit SigningKey(EVP_PKEY* key) : m_key(key, EVP_PKEY_free) {}
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_key;
};

QByteArray descriptorNamingSetup(const QByteArray& setupHash)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<system>\r\n  <version>16</version>\r\n"
                          "  <size bytes=\"1\" fileCount=\"1\">0.1</size>\r\n  <setup sha256=\"%1\"/>\r\n</system>\r\n")
        .arg(QString::fromLatin1(setupHash))
        .toUtf8();
}

// `text` with one byte changed at `marker`.
QByteArray oneByteChanged(QByteArray text, const QByteArray& marker)
{
    const qsizetype at = text.indexOf(marker);
    EXPECT_GE(at, 0) << marker.constData();
    text[at + marker.size()] = text[at + marker.size()] == '1' ? '2' : '1';
    return text;
}

// A run whose first request has brought the served descriptor; a fresh log, and a work
// folder of its own: the previous run's last worker may still be removing its folder.
std::unique_ptr<CInstallation> runWithDescriptor(const ReleaseServer& server, const char* what)
{
    static int runs = 0;
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup %1").arg(++runs));
    qputenv("VRN_RELEASE_BASE_URL", server.base().toUtf8());
    qputenv("VRN_COUNTER_RELEASE_URL", server.url(QStringLiteral("count")).toUtf8());
    nettest::startLog(QStringLiteral("verify"));
    auto installation = std::make_unique<CInstallation>();
    EXPECT_TRUE(installation->AsyncRequest(QStringLiteral("system.xml"))) << what;
    return installation;
}

bool hasLineStartingWith(const QStringList& lines, const QString& start)
{
    return std::any_of(lines.begin(), lines.end(), [&](const QString& line) { return line.startsWith(start); });
}

}  // namespace

TEST(ReleaseVerification, OnlyTheCompiledKeysSignatureOfTheExactDescriptorIsAccepted)
{
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    const SigningKey publisher = SigningKey::publishers();
    const QByteArray xml = descriptorNamingSetup(QByteArray(64, 'a'));
    const QString refused = QStringLiteral("ERROR:[CInstallation] VerifyReleaseSignature: system.xml is not signed");
    const struct {
        const char* what;
        QByteArray served;
        QByteArray signature;  // no signature file when null
        bool acceptedWithKey;
        QString lineWithKey;
    } cases[] = {
        {"signed release", xml, publisher.sign(xml), true, "INFO:[CInstallation] VerifyReleaseSignature: signed by the publisher"},
        {"one byte changed", oneByteChanged(xml, "<version>1"), publisher.sign(xml), false, refused},
        {"another key's signature", xml, SigningKey::another().sign(xml), false, refused},
        {"signature not base64", xml, "not a signature!", false, refused},
        {"no signature file", xml, QByteArray(), false,
         "ERROR:[CInstallation] VerifyReleaseSignature: system.xml.sig could not be fetched"},
    };
    CreateMainWindow(QStringLiteral("en_GB"));
    for (const auto& c : cases) {
        ReleaseServer server;
        server.serve("system.xml", c.served);
        if (!c.signature.isNull())
            server.serve("system.xml.sig", c.signature);
        server.start();
        const auto installation = runWithDescriptor(server, c.what);
        EXPECT_EQ(installation->VerifyReleaseSignature(), !keyed() || c.acceptedWithKey) << c.what;
        const QString line = keyed() ? c.lineWithKey
                                     : QStringLiteral("INFO:[CInstallation] VerifyReleaseSignature: the release is not signed");
        EXPECT_TRUE(hasLineStartingWith(nettest::records(), line)) << c.what << "\n" << nettest::records().join('\n').toStdString();
        EXPECT_FALSE(installation->IsLocalInstallation()) << c.what << ": no fallback to the local folder";
    }
}

TEST(ReleaseVerification, ANewSetupRunsOnlyWithItsPublishedHashFromAFolderOfItsOwn)
{
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    const QByteArray setup = "#!/bin/sh\necho 1 >> \"$0.ran\"\n";  // notes its start beside itself
    const QByteArray replaced = oneByteChanged(setup, "echo ");  // same length, other bytes
    const QByteArray hash = QCryptographicHash::hash(setup, QCryptographicHash::Sha256).toHex();
    const QString temp = TempFolder(false);
    // files that wait under the new setup's name for the coming seconds
    const auto plant = [&] {
        for (int second = 0; second < 30; ++second)
            writeFile(temp + QStringLiteral("vrnsetup-%1.exe").arg(NewSetupStamp(QDateTime::currentDateTime().addSecs(second))),
                      setup, 0755);
    };
    const struct {
        const char* what;
        QByteArray descriptor;
        QByteArray served;
        std::function<void()> before;
        bool startedWithKey, startedWithout;
    } cases[] = {
        {"published setup", descriptorNamingSetup(hash), setup, {}, true, true},
        {"setup replaced", descriptorNamingSetup(hash), replaced, {}, false, false},
        {"descriptor without its hash", descriptor(QStringLiteral("16")), replaced, {}, false, true},
        {"its name already taken", descriptorNamingSetup(hash), setup, plant, true, true},
    };
    CreateMainWindow(QStringLiteral("en_GB"));
    for (const auto& c : cases) {
        ReleaseServer server;
        server.serve("system.xml", c.descriptor);
        server.serve("vrnsetup.exe", c.served);
        server.start();
        const auto installation = runWithDescriptor(server, c.what);
        if (c.before)
            c.before();
        installation->DownloadAndRunNewInstaller();
        const bool started = keyed() ? c.startedWithKey : c.startedWithout;
        QStringList ran;
        for (int waited = 0; waited < (started ? 5000 : 300) && ran.isEmpty(); waited += 50) {
            QThread::msleep(50);
            for (QDirIterator it(temp, {QStringLiteral("*.ran")}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
                ran << it.next().mid(temp.size());
        }
        // only the checked file runs, from a folder of its own; a refused one leaves nothing
        static const QRegularExpression ownFolder(QStringLiteral("^vrnsetup-\\w{6}/vrnsetup-\\d{14}\\.exe\\.ran$"));
        EXPECT_TRUE(started ? ran.size() == 1 && ownFolder.match(ran[0]).hasMatch() : ran.isEmpty()) << c.what << ": " << ran.join(' ').toStdString();
        const QStringList folders = QDir(temp).entryList({QStringLiteral("vrnsetup-*")}, QDir::Dirs);
        EXPECT_EQ(folders.size(), started ? 1 : 0) << c.what;
        EXPECT_EQ(nettest::recordsStartingWith(QStringLiteral("[CInstallation] DownloadAndRunNewInstaller: { setupSha256: ")).size(),
                  started ? 0 : 1)
            << c.what;
        for (const QString& folder : folders)
            QDir(temp + folder).removeRecursively();
        for (const QString& planted : QDir(temp).entryList({QStringLiteral("vrnsetup-*.exe")}, QDir::Files))
            QFile::remove(temp + planted);
    }
}

// The window closed while the signature is on its way: the run ends as quietly as at
// any other request, with no error, no failure page and no message.
TEST(ReleaseVerification, ClosingTheWindowDuringTheSignatureRequestEndsQuietly)
{
    if (!keyed())
        GTEST_SKIP() << "a setup without a key asks for no signature";
    nettest::startLog(QStringLiteral("closed"));
    const QByteArray xml = descriptor(QStringLiteral("15"));
    ReleaseServer server;
    server.serve("system.xml", xml);
    server.servePaced("system.xml.sig", SigningKey::publishers().sign(xml), 1, 5000);
    server.serve("count", "ok");
    server.start();
    testDialogs().reset();
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (MainWindow && !nettest::recordsStartingWith(QStringLiteral("[CInstallation] AsyncRequest: system.xml.sig")).isEmpty())
            MainWindow->close();
    });
    closer.start(20);
    runScript(&server);

    const QStringList lines = scriptRecords(server.base());
    EXPECT_TRUE(lines.contains(QStringLiteral("INFO:[CInstallation] End Main")));
    EXPECT_FALSE(hasLineStartingWith(lines, QStringLiteral("ERROR:")) || lines.contains(QStringLiteral("INFO:[UI] page_final: False")))
        << lines.join('\n').toStdString();
    EXPECT_TRUE(testDialogs().boxes.isEmpty());
}

// ---- whole runs through the window ----------------------------------------------------

namespace {

const QString kCorrupted = QStringLiteral("The downloaded file is corrupted, please restart installation again.");

enum class Outcome { Installed, NotVerified, HashRefused, OlderRefused };

struct WholeRunCase {
    const char* name;
    std::function<void(SignedRelease&)> tamper;
    Outcome withKey, withoutKey;
};

void PrintTo(const WholeRunCase& c, std::ostream* out)
{
    *out << c.name;
}

class WholeRun : public ::testing::TestWithParam<WholeRunCase> {};

// An edition of release `number` installed before the run.
void installCore(int number)
{
    const QString core = CStringManager(false).U(vsAppCoreXML);
    QDir().mkpath(QFileInfo(core).path());
    writeFile(core, QStringLiteral("<vrn><number>%1</number></vrn>").arg(number).toUtf8());
}

// Language, licence, install, yes to the size, and the final page's button; only the
// final page when the release is refused before the language page.
void runAsUser(ReleaseServer& server, bool refusedFirst)
{
    testDialogs().reset();
    testDialogs().answers.push_back(platform::IDYES);
    ScriptedUser user;
    if (!refusedFirst)
        user.chooseLanguage(QStringLiteral("en_GB")).acceptLicence().press(QStringLiteral("rbInstall"));
    user.press(QStringLiteral("lbText5"));
    QTimer::singleShot(90000, [] {
        if (MainWindow)
            MainWindow->close();
    });
    runScript(&server);
    EXPECT_TRUE(user.finished()) << "the run ended before the user's last step";
}

}  // namespace

TEST_P(WholeRun, InstallsOnlyWhatThePublisherPublished)
{
    const WholeRunCase c = GetParam();
    nettest::startLog(QStringLiteral("whole"));
    SignedRelease release = publishSignedRelease();
    c.tamper(release);
    const auto server = serveRelease(release);
    const Outcome outcome = keyed() ? c.withKey : c.withoutKey;
    runAsUser(*server, outcome == Outcome::NotVerified || outcome == Outcome::OlderRefused);

    const QStringList lines = scriptRecords(server->base());
    const std::string log = lines.join('\n').toStdString();
    const CStringManager paths(false);
    EXPECT_EQ(lines.contains(QStringLiteral("INFO:[UI] page_final: True")), outcome == Outcome::Installed) << log;
    EXPECT_EQ(QFile::exists(paths.U(vsInstallPath) + QStringLiteral("Vorlen.exe")), outcome == Outcome::Installed) << log;
    EXPECT_EQ(platform::readRegistryString(InstallationKeyRegistryKey, InstallationKeyValueName(false)).has_value(),
              outcome == Outcome::Installed);
    if (outcome == Outcome::Installed)
        return;
    EXPECT_TRUE(lines.contains(QStringLiteral("INFO:[UI] page_final: False"))) << log;
    const auto& boxes = testDialogs().boxes;
    ASSERT_FALSE(boxes.isEmpty()) << log;
    EXPECT_TRUE(boxes.last().flags & platform::MB_ICONERROR);
    if (outcome == Outcome::OlderRefused) {
        EXPECT_EQ(boxes.last().text, ReleaseOlderText(QStringLiteral("en_GB"), 7, 8));
        EXPECT_TRUE(lines.contains(QStringLiteral("ERROR:[CInstallation] VerifyInstallation: the release on the server (7) "
                                                  "is older than the installed one (8)")))
            << log;
        EXPECT_EQ(readFile(paths.U(vsAppCoreXML)), "<vrn><number>8</number></vrn>") << "the installed edition stays as it was";
        return;
    }
    EXPECT_FALSE(QDir(paths.U(vsInstallPath)).exists()) << log;
    if (outcome == Outcome::NotVerified) {
        EXPECT_EQ(boxes.last().text, ReleaseNotVerifiedText(QStringLiteral("en_GB")));
        EXPECT_TRUE(hasLineStartingWith(lines, QStringLiteral("ERROR:[CInstallation] VerifyReleaseSignature: "))) << log;
        EXPECT_FALSE(lines.contains(QStringLiteral("INFO:[UI] page_SelectLang"))) << log;
    } else {
        EXPECT_EQ(boxes.last().text, kCorrupted + QStringLiteral("\r\nZIP Hash: Incorrect;"));
        EXPECT_TRUE(hasLineStartingWith(lines, QStringLiteral("ERROR:[CInstallation] ValidateZipPackage: { zipSha256: "))) << log;
        EXPECT_FALSE(lines.contains(QStringLiteral("INFO:[CInstallation] Install -> Begin install"))) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Served, WholeRun,
    ::testing::Values(
        WholeRunCase{"AsPublished", [](SignedRelease&) {}, Outcome::Installed, Outcome::Installed},
        WholeRunCase{"DescriptorChanged", [](SignedRelease& r) { r.descriptor = numberChanged(r.descriptor); },
                     Outcome::NotVerified, Outcome::Installed},
        WholeRunCase{"SignatureMissing", [](SignedRelease& r) { r.signature = QByteArray(); }, Outcome::NotVerified,
                     Outcome::Installed},
        // same length and entry count, other bytes: only the hash tells
        WholeRunCase{"ArchiveReplaced",
                     [](SignedRelease& r) { r.archive = flippedInTheMiddle(r.archive); },
                     Outcome::HashRefused, Outcome::HashRefused},
        // the signed release 7 replayed over an installed release 8; the same number reinstalls
        WholeRunCase{"OlderThanInstalled", [](SignedRelease&) { installCore(8); }, Outcome::OlderRefused,
                     Outcome::Installed},
        WholeRunCase{"AsNewAsInstalled", [](SignedRelease&) { installCore(7); }, Outcome::Installed, Outcome::Installed}),
    [](const auto& info) { return std::string(info.param.name); });
