// Core.xml, Application.xml, the installation key, the release number, and the check
// of the setup archive against its descriptor.
#include "install/installed_configuration.h"
#include "archive/package_check.h"
#include "archive/zip_archive.h"
#include "install/setup_installation.h"
#include "install_test_support.h"
#include "net/net_test_support.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "xml/ex_simple_xml.h"
#include "archive/zip_maker.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace installtest;

namespace {

const QString KeyPattern = QStringLiteral("^\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}$");

std::optional<QString> registryKey(bool beta)
{
    return platform::readRegistryString(InstallationKeyRegistryKey, InstallationKeyValueName(beta));
}

// The attributes of the root, "name=value", in document order.
QStringList rootAttributes(const QByteArray& text)
{
    pugi::xml_document document;
    document.load_buffer(text.constData(), text.size());
    QStringList found;
    for (const pugi::xml_attribute& a : document.document_element().attributes())
        found << QString::fromUtf8(a.name()) + QLatin1Char('=') + QString::fromUtf8(a.value());
    return found;
}

QStringList rootChildren(const QByteArray& text)
{
    pugi::xml_document document;
    document.load_buffer(text.constData(), text.size());
    QStringList found;
    for (const pugi::xml_node& n : document.document_element().children())
        found << QString::fromUtf8(n.name()) + QLatin1Char('=') + QString::fromUtf8(n.child_value());
    return found;
}

}  // namespace

TEST(InstalledConfiguration, CoreXmlKeepsItsContentAndGetsTheFourValues)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("core"));
    const QString core = folder + QStringLiteral("/Core.xml");
    const QString id = platform::machineIdentifier();
    const struct {
        const char* what;
        QByteArray before;  // no file when empty
        int number;
        QString root;
        QStringList attributesBeforeOurs;
        QStringList children;  // with "number=" standing for the new number
    } cases[] = {
        {"archive's own file",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<core build=\"7\" key=\"old\" flavour=\"x\">"
         "<a>1</a><number>3</number><b/></core>\r\n",
         42, QStringLiteral("core"), {QStringLiteral("build=7"), QStringLiteral("key=*"), QStringLiteral("flavour=x")},
         {QStringLiteral("a=1"), QStringLiteral("number=42"), QStringLiteral("b=")}},
        {"no number yet", "<Core><plugins>p</plugins></Core>", -1, QStringLiteral("Core"), {},
         {QStringLiteral("plugins=p"), QStringLiteral("number=-1")}},
        {"no file", "", 7, NewCoreRootName, {}, {QStringLiteral("number=7")}},
    };
    for (const auto& c : cases) {
        QFile::remove(core);
        if (!c.before.isEmpty())
            writeFile(core, c.before);
        MakeCoreXML(core, QStringLiteral("/inst/Vorlen/"), c.number, false);
        const QByteArray after = readFile(core);
        const QString key = registryKey(false).value_or(QString());
        EXPECT_TRUE(QRegularExpression(KeyPattern).match(key).hasMatch()) << key.toStdString();

        QStringList expected = c.attributesBeforeOurs;
        expected.replaceInStrings(QStringLiteral("key=*"), QStringLiteral("key=") + key);
        for (const QString& ours : {QStringLiteral("path=/inst/Vorlen/"), QStringLiteral("hid=") + id,
                                    QStringLiteral("key=") + key})
            if (!expected.contains(ours))
                expected << ours;
        EXPECT_EQ(rootAttributes(after), expected) << c.what;
        EXPECT_EQ(rootChildren(after), c.children) << c.what;
        pugi::xml_document document;
        document.load_buffer(after.constData(), after.size());
        EXPECT_EQ(QString::fromUtf8(document.document_element().name()), c.root) << c.what;
    }
}

// Core.xml is UTF-8 with its declaration whatever the archive's file declared, so a path
// outside the system's code page survives.
TEST(InstalledConfiguration, CoreXmlIsUtf8WithItsDeclaration)
{
    const QString core = sandbox::freshFolder(QStringLiteral("core-utf8")) + QStringLiteral("/Core.xml");
    const QString path = QStringLiteral("/home/J\u00FCrgen \u0412\u0430\u0441\u044F \u4E2D/Vorlen/");
    const std::pair<const char*, QByteArray> archiveFiles[] = {
        {"no declaration", "<core><note>plain</note></core>"},
        {"declared windows-1251", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><core><note>\xEA\xEE\xF2</note></core>"},
    };
    const QString notes[] = {QStringLiteral("plain"), QStringLiteral("\u043A\u043E\u0442")};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(archiveFiles[i].first);
        writeFile(core, archiveFiles[i].second);
        MakeCoreXML(core, path, 5, false);
        const QByteArray after = readFile(core);
        EXPECT_TRUE(after.startsWith("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"")) << after.constData();
        EXPECT_TRUE(after.contains(QStringLiteral("path=\"%1\"").arg(path).toUtf8())) << after.constData();
        EXPECT_TRUE(after.contains(QStringLiteral("<note>%1</note>").arg(notes[i]).toUtf8())) << after.constData();
    }
}

TEST(SelfUpdate, NewSetupStampIsDayMonthYearAndTime)
{
    EXPECT_EQ(NewSetupStamp(QDateTime(QDate(2013, 7, 6), QTime(9, 5, 3))), QStringLiteral("06072013090503"));
}

TEST(InstalledConfiguration, ApplicationXmlIsWrittenAnewExactly)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("config"));
    const QString file = folder + QStringLiteral("/Application.xml");
    writeFile(file, "<vrn path=\"old\" extra=\"1\"><global><lang>xx</lang><window>3</window></global><more/></vrn>");
    MakeConfigXML(file, QStringLiteral("/home/u/.local/share/Ostrelle/Apps/Vorlen/"), QStringLiteral("ru_RU"));
    const QByteArray expected =
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n"
        "<vrn path=\"/home/u/.local/share/Ostrelle/Apps/Vorlen/\" hid=\""
        + platform::machineIdentifier().toUtf8()
        + "\">\r\n"
          "  <global>\r\n"
          "    <lang>ru_RU</lang>\r\n"
          "    <workmode>1</workmode>\r\n"
          "    <eula>True</eula>\r\n"
          "  </global>\r\n"
          "</vrn>\r\n";
    EXPECT_EQ(readFile(file), expected);
}

TEST(InstalledConfiguration, EachInstallGetsANewKeyInItsEditionsValue)
{
    nettest::startLog(QStringLiteral("key-log"));
    platform::deleteRegistryValue(InstallationKeyRegistryKey, QStringLiteral("key"));
    platform::deleteRegistryValue(InstallationKeyRegistryKey, QStringLiteral("key-beta"));
    const QString release = MakeAndWriteInstallationKey(false);
    const QString beta = MakeAndWriteInstallationKey(true);
    EXPECT_NE(release, beta);
    EXPECT_EQ(registryKey(false), release);
    EXPECT_EQ(registryKey(true), beta);

    const QString second = MakeAndWriteInstallationKey(false);
    EXPECT_NE(second, release);
    EXPECT_EQ(registryKey(false), second);
    EXPECT_EQ(registryKey(true), beta) << "a release install leaves the beta value alone";
    EXPECT_TRUE(QFile::exists(sandbox::configHome() + QStringLiteral("/Tarnvek/vrn.conf")));
    EXPECT_EQ(nettest::recordsStartingWith(QStringLiteral("[CInstallation] MakeAndWriteInstallationKey")).mid(4),
              QStringList({QStringLiteral("INFO:[CInstallation] MakeAndWriteInstallationKey"),
                           QStringLiteral("INFO:[CInstallation] MakeAndWriteInstallationKey: ") + second}));
}

TEST(InstalledConfiguration, ReleaseNumberOfTheDescriptor)
{
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    nettest::startLog(QStringLiteral("number-log"));
    TSource source(QStringList{});
    const QString descriptor = source.baseTemp + QStringLiteral("system.xml");
    const std::pair<QByteArray, int> cases[] = {
        {"<vrn><version>15</version><number>1234</number></vrn>", 1234},
        {"<vrn><Number>9</Number></vrn>", 9},
        {"<vrn><version>15</version></vrn>", 0},
        {"<vrn><number>soon</number></vrn>", -1},
        {"", 0},  // no descriptor
    };
    for (const auto& [text, number] : cases) {
        QFile::remove(descriptor);
        if (!text.isEmpty())
            writeFile(descriptor, text);
        EXPECT_EQ(ReturnReleaseNumber(source, false), number) << text.constData();
    }
    EXPECT_EQ(nettest::recordsStartingWith(QStringLiteral("[CInstallation] ReturnReleaseNumber")).mid(0, 2),
              QStringList({QStringLiteral("INFO:[CInstallation] ReturnReleaseNumber"),
                           QStringLiteral("INFO:[CInstallation] ReturnReleaseNumber: 1234")}));
}

TEST(PackageCheck, ArchiveAgainstItsDescriptor)
{
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    nettest::startLog(QStringLiteral("check-log"));
    TSource source(QStringList{});
    const QString archive = source.baseTemp + QStringLiteral("vrnsetup.zip");
    const QString descriptor = source.baseTemp + QStringLiteral("system.xml");
    zipmaker::write(archive, {zipmaker::folder(QStringLiteral("bin/")), zipmaker::file(QStringLiteral("bin/a"), "a"),
                              zipmaker::file(QStringLiteral("b"), "b")});
    const qint64 bytes = QFileInfo(archive).size();
    const QByteArray zip = readFile(archive);
    const QString detail = QStringLiteral(
        "ERROR:[CInstallation] ValidateZipPackage: { zipSize: %1, actualZipSize: %2 }, { zipFileCount: %3, "
        "actualZipFileCount: %4 }");
    struct Case {
        const char* what;
        QByteArray descriptorText;  // no descriptor when empty
        QByteArray archiveBytes;    // no archive when null
        bool result;
        QString reason;
        QString errorLine;
    };
    auto sized = [](qint64 b, int count) {
        return QStringLiteral("<vrn><size bytes=\"%1\" fileCount=\"%2\"/></vrn>").arg(b).arg(count).toUtf8();
    };
    const Case cases[] = {
        {"matching", sized(bytes, 3), zip, true, {}, {}},
        {"one byte more", sized(bytes + 1, 3), zip, false, ZipSizeReason, detail.arg(bytes + 1).arg(bytes).arg(3).arg(3)},
        {"one byte less", sized(bytes - 1, 3), zip, false, ZipSizeReason, detail.arg(bytes - 1).arg(bytes).arg(3).arg(3)},
        {"an extra entry", sized(bytes, 2), zip, false, ZipCountReason, detail.arg(bytes).arg(bytes).arg(2).arg(3)},
        {"both differ", sized(bytes + 5, 4), zip, false, ZipCountReason, detail.arg(bytes + 5).arg(bytes).arg(4).arg(3)},
        {"no descriptor", "", zip, false, ZipCountReason, detail.arg(0).arg(bytes).arg(0).arg(3)},
        {"not a zip", sized(5, 0), "hello", false, {}, QStringLiteral("ERROR:[CInstallation] ValidateZipPackage: Cannot open the archive")},
        {"no archive", sized(bytes, 3), QByteArray(), false, {}, QStringLiteral("ERROR:[CInstallation] ValidateZipPackage: EInOutError: ")},
    };
    for (const Case& c : cases) {
        QFile::remove(descriptor);
        QFile::remove(archive);
        if (!c.descriptorText.isEmpty())
            writeFile(descriptor, c.descriptorText);
        if (!c.archiveBytes.isNull())
            writeFile(archive, c.archiveBytes);
        nettest::startLog(QStringLiteral("check-log"));
        const TZipPackageCheck check = CheckZipPackage(source, false);
        EXPECT_EQ(check.Result, c.result) << c.what;
        EXPECT_EQ(check.Reason, c.reason) << c.what;
        // the install reads the archive the check opened, and only one that passed
        EXPECT_EQ(check.Archive && check.Archive->Path() == archive, c.result) << c.what;
        const QStringList lines = nettest::recordsStartingWith(QStringLiteral("[CInstallation] ValidateZipPackage"));
        ASSERT_EQ(lines.size(), c.errorLine.isEmpty() ? 2 : 3) << c.what << "\n" << lines.join('\n').toStdString();
        EXPECT_EQ(lines.first(), QStringLiteral("INFO:[CInstallation] ValidateZipPackage"));
        if (!c.errorLine.isEmpty()) {
            EXPECT_TRUE(lines[1].startsWith(c.errorLine)) << c.what << ": " << lines[1].toStdString();
        }
        EXPECT_EQ(lines.last(), QStringLiteral("INFO:[CInstallation] ValidateZipPackage: ") + BoolToStr(c.result));
    }
}

// Run by LocalPackageReadsTheEmbeddedDescriptor in a copy of this program that carries
// the descriptor as resource 200 and the archive as resource 100.
TEST(PackageCheck, LocalPackageProbe)
{
    if (qgetenv("VRN_PROBE") != "PackageCheck.LocalPackageProbe")
        GTEST_SKIP() << "runs as the child of LocalPackageReadsTheEmbeddedDescriptor";
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    nettest::startLog(QStringLiteral("local-log"));
    TSource source(QStringList{});
    EXPECT_EQ(ReturnReleaseNumber(source, true), 77);
    EXPECT_FALSE(QFile::exists(source.baseTemp + QStringLiteral("system.xml"))) << "the copy is deleted";
    source.RequestResource2(QStringLiteral("vrnsetup.zip"), 100);
    EXPECT_TRUE(CheckZipPackage(source, true).Result);
}

TEST(PackageCheck, LocalPackageReadsTheEmbeddedDescriptor)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("local"));
    zipmaker::write(folder + QStringLiteral("/a.zip"), {zipmaker::file(QStringLiteral("a"), "a")});
    const QByteArray descriptor = QStringLiteral("<vrn><number>77</number><size bytes=\"%1\" fileCount=\"1\"/></vrn>")
                                      .arg(QFileInfo(folder + QStringLiteral("/a.zip")).size())
                                      .toUtf8();
    const QString package = folder + QStringLiteral("/VorlenSetup");
    ASSERT_TRUE(QFile::copy(platform::executablePath(), package));
    {
        platform::ResourceUpdate update(package);
        update.add(platform::ResourceId::numbered(200), descriptor);
        update.addFile(platform::ResourceId::numbered(100), folder + QStringLiteral("/a.zip"));
        update.commit();
    }
    QFile::setPermissions(package, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const ProcessResult run = runProcess(package, {QStringLiteral("--gtest_filter=PackageCheck.LocalPackageProbe")},
                                         {{QStringLiteral("VRN_PROBE"), QStringLiteral("PackageCheck.LocalPackageProbe")}});
    EXPECT_TRUE(run.out.contains("[  PASSED  ] 1 test.")) << run.out.constData() << run.err.constData();
}

// The archive's bytes against the descriptor's SHA-256: required by a build with a
// release key, and checked whenever named.
TEST(PackageCheck, ArchiveHashAgainstItsDescriptor)
{
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    TSource source(QStringList{});
    const QString archive = source.baseTemp + QStringLiteral("vrnsetup.zip");
    const QString descriptor = source.baseTemp + QStringLiteral("system.xml");
    zipmaker::Entry stored = zipmaker::file(QStringLiteral("a"), "published bytes");
    stored.deflate = false;
    zipmaker::write(archive, {stored});
    const QByteArray zip = readFile(archive);
    QByteArray replaced = zip;
    const qsizetype content = replaced.indexOf("published bytes");
    ASSERT_GT(content, 0);
    replaced[content] = 'P';  // same length, same entries, other bytes
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex());
    const QString key = QStringLiteral("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
    struct Case {
        const char* what;
        QString sha256;  // no attribute when empty
        QByteArray archiveBytes;
        QString key;
        bool result;
    };
    const Case cases[] = {
        {"signed release", hash, zip, key, true},
        {"hash in upper case", hash.toUpper(), zip, key, true},
        {"archive replaced", hash, replaced, key, false},
        {"no hash with a key", {}, zip, key, false},
        {"keyless, no hash", {}, replaced, {}, true},
        {"keyless, hash named", hash, zip, {}, true},
        {"keyless, archive replaced", hash, replaced, {}, false},
    };
    for (const Case& c : cases) {
        const QString attribute = c.sha256.isEmpty() ? QString() : QStringLiteral(" sha256=\"%1\"").arg(c.sha256);
        writeFile(archive, c.archiveBytes);
        writeFile(descriptor, QStringLiteral("<vrn><size bytes=\"%1\" fileCount=\"1\"%2/></vrn>")
                                  .arg(c.archiveBytes.size())
                                  .arg(attribute)
                                  .toUtf8());
        nettest::startLog(QStringLiteral("hash-log"));
        const TZipPackageCheck check = CheckZipPackage(source, false, c.key);
        EXPECT_EQ(check.Result, c.result) << c.what;
        EXPECT_EQ(check.Reason, c.result ? QString() : ZipHashReason) << c.what;
        const QStringList lines =
            nettest::recordsStartingWith(QStringLiteral("[CInstallation] ValidateZipPackage: { zipSha256: "));
        EXPECT_EQ(lines.size(), c.result ? 0 : 1) << c.what;
        if (!c.result && !lines.isEmpty())
            EXPECT_TRUE(lines[0].startsWith(QStringLiteral("ERROR:[CInstallation] ValidateZipPackage: { zipSha256: ")
                                            + c.sha256 + QStringLiteral(", actualZipSha256: ")))
                << lines[0].toStdString();
    }
}
