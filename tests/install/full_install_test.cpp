// Whole install runs in the test process: the window, the install script and a scripted
// user against a release that vrn-publish made from a small application folder and the
// test serves on 127.0.0.1. Each test runs in a process and a sandbox of its own
// (ctest), since a finished run leaves the program terminating.
#include "install/flow_support.h"

#include "install/install_job.h"
#include "install/installed_configuration.h"
#include "install_test_support.h"
#include "net/setup_config.h"
#include "support/recording_dialogs.h"
#include "archive/zip_maker.h"

#include <QCheckBox>
#include <QDir>
#include <QRegularExpression>
#include <QThread>

#include <signal.h>
#include <sys/resource.h>

using namespace flowtest;
using namespace installtest;

namespace {

const QByteArray kCoreXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                            "<core build=\"1207\" channel=\"stable\">\r\n"
                            "  <plugins>\r\n    <plugin name=\"render\"/>\r\n  </plugins>\r\n"
                            "  <theme>dark</theme>\r\n</core>\r\n";
const QString kMessage28 = QStringLiteral("The downloaded file is corrupted, please restart installation again.");
const QString kReleaseNumber = QStringLiteral("4711");

// Where the installed application notes each of its starts.
QString startRecord()
{
    return sandbox::root() + QStringLiteral("/started.txt");
}

// The application folder a release is published from; `bigFile` adds a file of that size.
QString makeApplication(const QString& folder, int bigFile)
{
    QDir().mkpath(folder + QStringLiteral("/plugins/maps"));
    writeFile(folder + QStringLiteral("/Vorlen.exe"),
              "#!/bin/sh\necho started >> '" + startRecord().toUtf8() + "'\n", 0755);
    writeFile(folder + QStringLiteral("/Core.xml"), kCoreXml);
    writeFile(folder + QStringLiteral("/command line.txt"), "usage: Vorlen.exe [project]");
    writeFile(folder + QStringLiteral("/plugins/render.so"), pattern(150000, 3), 0755);
    writeFile(folder + QStringLiteral("/plugins/maps/world.dat"), pattern(70000, 4));
    if (bigFile > 0)
        writeFile(folder + QStringLiteral("/plugins/maps/big.dat"), QByteArray(bigFile, 'z'));
    return folder;
}

struct Release {
    QString app;  // the folder it was made from
    QByteArray zip;
    QByteArray descriptor;
    qint64 bytes() const { return zip.size(); }
    int count() const
    {
        static const QRegularExpression attribute(QStringLiteral("fileCount=\"(\\d+)\""));
        return attribute.match(QString::fromUtf8(descriptor)).captured(1).toInt();
    }
};

Release publish(int bigFile = 0)
{
    const QString root = sandbox::freshFolder(QStringLiteral("release"));
    Release release{makeApplication(root + QStringLiteral("/app"), bigFile), {}, {}};
    const ProcessResult made = runProcess(builtProgram(QStringLiteral("vrn-publish")),
                                          {QStringLiteral("--app"), release.app, QStringLiteral("--version"),
                                           QStringLiteral("15"), QStringLiteral("--number"), kReleaseNumber,
                                           root + QStringLiteral("/out")});
    EXPECT_EQ(made.exitCode, 0) << made.err.constData();
    release.zip = readFile(root + QStringLiteral("/out/vrnsetup.zip"));
    release.descriptor = readFile(root + QStringLiteral("/out/system.xml"));
    return release;
}

// Serves the archive and descriptor to both streams, and the counters.
void serve(ReleaseServer& server, const QByteArray& zip, const QByteArray& descriptor)
{
    for (const std::string stream : {"", "beta/"}) {
        server.serve(stream + "system.xml", descriptor);
        server.serve(stream + "vrnsetup.zip", zip);
    }
    server.serve("count", "counted");
    server.serve("count-beta", "counted");
    server.start();
}

struct Choices {
    bool desktop = false;
    bool runAfter = false;
    QString lang = QStringLiteral("en_GB");
    bool closeFinalPage = false;  // the window closed instead of the final page's button
};

// Runs a whole install as the user: language, licence, the options, yes to the download
// size, and the final page's button. Notes whether the application had started before
// that button.
bool runInstall(ReleaseServer& server, Choices choices)
{
    bool startedBeforeButton = false;
    testDialogs().reset();
    testDialogs().answers.push_back(platform::IDYES);
    ScriptedUser user;
    user.chooseLanguage(choices.lang)
        .acceptLicence()
        .then([] { return visible(QStringLiteral("cbDesktopLink")); },
              [choices] {
                  control<QCheckBox>(QStringLiteral("cbDesktopLink"))->setChecked(choices.desktop);
                  control<QCheckBox>(QStringLiteral("cbRunAfterInstall"))->setChecked(choices.runAfter);
              })
        .press(QStringLiteral("rbInstall"))
        .then([] { return visible(QStringLiteral("lbText5")); },
              [&] { startedBeforeButton = QFile::exists(startRecord()); });
    if (choices.closeFinalPage)
        user.closeOn(QStringLiteral("lbText5"));
    else
        user.press(QStringLiteral("lbText5"));
    // a run that misses a step ends instead of waiting for ever
    QTimer::singleShot(90000, [] {
        if (MainWindow)
            MainWindow->close();
    });
    runScript(&server);
    EXPECT_TRUE(user.finished()) << "the run ended before the user's last step";
    return startedBeforeButton;
}

// Whether the lines hold each of `expected` (as a part of a line), in this order.
void expectInOrder(const QStringList& lines, const QStringList& expected)
{
    int at = 0;
    for (const QString& text : expected) {
        while (at < lines.size() && !lines[at].contains(text))
            ++at;
        ASSERT_LT(at, lines.size()) << "missing in order: " << text.toStdString() << "\n"
                                    << lines.join(QLatin1Char('\n')).toStdString();
    }
}

std::optional<QString> storedKey(bool beta)
{
    return platform::readRegistryString(InstallationKeyRegistryKey, InstallationKeyValueName(beta));
}

QStringList menuEntries(const CStringManager& paths)
{
    return QDir(paths.U(vsProgramsGroup)).entryList({QStringLiteral("*") + platform::LinkExtension}, QDir::Files);
}

void expectValidEntry(const QString& path)
{
    const ProcessResult check = runProcess(QStringLiteral("desktop-file-validate"), {path});
    EXPECT_EQ(check.exitCode, 0) << path.toStdString() << check.out.constData() << check.err.constData();
}

// The application has started (or has not) within a few seconds of the run's end.
bool applicationStarted(bool expected)
{
    for (int waited = 0; waited < (expected ? 10000 : 1000) && !QFile::exists(startRecord()); waited += 50)
        QThread::msleep(50);
    return QFile::exists(startRecord());
}

// The failure page, an ERROR line for `errorPrefix`, and nothing presented as installed.
void expectNothingInstalled(const QStringList& lines, const QString& errorPrefix)
{
    const CStringManager paths(gBetaMode);
    EXPECT_TRUE(lines.contains(QStringLiteral("INFO:[UI] page_final: False"))) << lines.join('\n').toStdString();
    EXPECT_FALSE(lines.contains(QStringLiteral("INFO:[UI] page_final: True")));
    EXPECT_FALSE(lines.contains(QStringLiteral("INFO:[CInstallation] Install -> Done")));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(errorPrefix); }))
        << errorPrefix.toStdString() << "\n" << lines.join('\n').toStdString();
    EXPECT_FALSE(storedKey(false).has_value());
    EXPECT_FALSE(storedKey(true).has_value());
    EXPECT_TRUE(menuEntries(paths).isEmpty());
    EXPECT_FALSE(QFile::exists(paths.U(vsUninstallTool)));
    EXPECT_FALSE(QFile::exists(startRecord()));
}

// ---- a whole install -----------------------------------------------------------------

struct InstallCase {
    const char* name;
    bool beta;
    Choices choices;
};

void PrintTo(const InstallCase& c, std::ostream* out)
{
    *out << c.name;
}

class FullInstall : public ::testing::TestWithParam<InstallCase> {};

void expectInstalled(const Release& release, bool beta, const Choices& choices)
{
    const CStringManager paths(beta);
    const QString install = paths.U(vsInstallPath);
    for (const QString& file : treeOf(release.app)) {
        const QString installed = install + QDir(release.app).relativeFilePath(file);
        if (QFileInfo(file).isFile() && !file.endsWith(QLatin1String("/Core.xml"))) {
            EXPECT_EQ(readFile(installed), readFile(file)) << installed.toStdString();
        }
    }
    EXPECT_TRUE(modeOf(paths.U(vsRunExe)) & 0100);

    const QString key = storedKey(beta).value_or(QString());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}$")).match(key).hasMatch())
        << key.toStdString();
    EXPECT_FALSE(storedKey(!beta).has_value()) << "the other edition's value stays unset";
    EXPECT_TRUE(readFile(sandbox::configHome() + QStringLiteral("/Tarnvek/vrn.conf")).contains(key.toUtf8()));

    const QByteArray hid = platform::machineIdentifier().toUtf8();
    const QByteArray core = readFile(paths.U(vsAppCoreXML));
    for (const QByteArray& part : {QByteArray("build=\"1207\""), QByteArray("channel=\"stable\""),
                                   QByteArray("<plugin name=\"render\"/>"), QByteArray("<theme>dark</theme>"),
                                   "path=\"" + install.toUtf8() + '"', "hid=\"" + hid + '"', "key=\"" + key.toUtf8() + '"',
                                   "<number>" + kReleaseNumber.toUtf8() + "</number>"})
        EXPECT_TRUE(core.contains(part)) << part.constData() << "\n" << core.constData();

    EXPECT_EQ(readFile(paths.U(vsAppConfigXML)),
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<vrn path=\""
                  + install.toUtf8() + "\" hid=\"" + hid
                  + "\">\r\n  <global>\r\n    <lang>" + choices.lang.toUtf8() + "</lang>\r\n    <workmode>1</workmode>\r\n"
                    "    <eula>True</eula>\r\n  </global>\r\n</vrn>\r\n");

    EXPECT_EQ(readFile(paths.U(vsUninstallTool)), readFile(platform::executablePath()));
    EXPECT_TRUE(modeOf(paths.U(vsUninstallTool)) & 0100);

    const QStringList entries = menuEntries(paths);
    EXPECT_EQ(entries.size(), 4) << entries.join(',').toStdString();
    QByteArray allEntries;
    for (const QString& entry : entries) {
        expectValidEntry(paths.U(vsProgramsGroup) + entry);
        allEntries += readFile(paths.U(vsProgramsGroup) + entry);
    }
    for (const QByteArray& exec : {"Exec=\"" + paths.U(vsRunExe).toUtf8() + "\"\n",
                                   "Exec=\"" + paths.U(vsUninstallTool).toUtf8() + "\" \"-uninstall\"\n",
                                   "\"" + paths.U(vsCommandLineTxt).toUtf8() + "\"", "URL=" + ProductSiteUrl().toUtf8() + "\n"})
        EXPECT_TRUE(allEntries.contains(exec)) << exec.constData() << "\n" << allEntries.constData();
    EXPECT_EQ(QFile::exists(paths.U(vsDesktopLink)), choices.desktop);
    if (choices.desktop)
        expectValidEntry(paths.U(vsDesktopLink));
}

}  // namespace

TEST_P(FullInstall, InstallsTheServedReleaseAndStartsItOnlyWhenAsked)
{
    const InstallCase c = GetParam();
    if (c.beta && !isChild())
        return runAsChild({QStringLiteral("-stream:beta")});
    gBetaMode = c.beta;
    nettest::startLog(QStringLiteral("full"));
    const Release release = publish();
    ReleaseServer server;
    serve(server, release.zip, release.descriptor);

    const bool startedEarly = runInstall(server, {c.choices});
    EXPECT_FALSE(startedEarly) << "the application starts only after the final page's button";
    EXPECT_EQ(applicationStarted(c.choices.runAfter), c.choices.runAfter);

    const QStringList lines = scriptRecords(server.base());
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const QString& l) { return l.startsWith("ERROR:"); }))
        << lines.join('\n').toStdString();
    expectInOrder(lines, {QStringLiteral("INFO:[CInstallation] DownloadAndInstallThenRun"),
                          QStringLiteral("INFO:[CInstallation] ValidateZipPackage: True"),
                          QStringLiteral("INFO:[CInstallation] Install -> Begin install"),
                          QStringLiteral("INFO:[CInstallation] Install -> Done"),
                          QStringLiteral("INFO:[CInstallation] Install: True"),
                          QStringLiteral("INFO:[UI] page_final: True"), QStringLiteral("INFO:[UI] btnNextClick_Final")});
    expectInstalled(release, c.beta, c.choices);
}

INSTANTIATE_TEST_SUITE_P(Streams, FullInstall,
                         ::testing::Values(InstallCase{"ReleaseDesktopRun", false, {true, true}},
                                           InstallCase{"ReleasePlain", false, {false, false}},
                                           InstallCase{"ReleaseRussian", false, {true, false, QStringLiteral("ru_RU")}},
                                           InstallCase{"BetaDesktop", true, {true, false}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The application starts after the final page's wait whatever ended it.
TEST(FullInstallClosed, ClosingTheWindowOnTheFinalPageStillStartsTheApplication)
{
    nettest::startLog(QStringLiteral("closed-final"));
    const Release release = publish();
    ReleaseServer server;
    serve(server, release.zip, release.descriptor);
    EXPECT_FALSE(runInstall(server, {false, true, QStringLiteral("en_GB"), true}));
    EXPECT_TRUE(applicationStarted(true));
    EXPECT_TRUE(scriptRecords(server.base()).contains(QStringLiteral("INFO:[UI] page_final: True")));
}

TEST(FullInstallOver, AnExistingInstallEndsItsRunningCopyAndIsReplaced)
{
    gKillPauseMs = 100;
    nettest::startLog(QStringLiteral("reinstall"));
    const Release release = publish();
    const CStringManager paths(false);
    const QString install = paths.U(vsInstallPath);
    QDir().mkpath(install + QStringLiteral("plugins"));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), paths.U(vsRunExe)));
    ::chmod(QFile::encodeName(paths.U(vsRunExe)).constData(), 0755);
    writeFile(install + QStringLiteral("plugins/render.so"), "an older build");
    writeFile(paths.U(vsAppCoreXML), "<core build=\"1100\" key=\"{OLD}\"/>");
    platform::writeRegistryString(InstallationKeyRegistryKey, QStringLiteral("key"), QStringLiteral("{OLD}"));
    QProcess running;
    running.start(paths.U(vsRunExe), {QStringLiteral("120")});
    ASSERT_TRUE(running.waitForStarted());

    ReleaseServer server;
    serve(server, release.zip, release.descriptor);
    runInstall(server, {false, false});
    running.waitForFinished(5000);
    EXPECT_EQ(running.state(), QProcess::NotRunning) << "the running copy was ended before the files were replaced";
    expectInOrder(scriptRecords(server.base()), {QStringLiteral("Install -> Open and extract ZIP archive"),
                                                 QStringLiteral("Install -> Kill all runned Vorlen.exe"),
                                                 QStringLiteral("Install -> Replace the installation"),
                                                 QStringLiteral("INFO:[UI] page_final: True")});
    EXPECT_NE(storedKey(false), QStringLiteral("{OLD}"));
    EXPECT_FALSE(readFile(paths.U(vsAppCoreXML)).contains("1100"));
    expectInstalled(release, false, {});
}

// ---- an archive that fails its check ----------------------------------------------------

namespace {

struct CheckCase {
    const char* name;
    qint64 bytesOff;    // the announced length minus the real one
    int countOff;       // the announced entry count minus the real one
    bool notAZip;       // serves other bytes, announced with their own length
    bool withoutSize;   // the descriptor has no size element: both announced values 0
    QString reason;
};

const QString kSizeLine = QStringLiteral("\r\nZIP Size: Incorrect;");
const QString kCountLine = QStringLiteral("\r\nZIP File count: Incorrect;");
const QByteArray kNotAZip = "this is no archive at all";

void PrintTo(const CheckCase& c, std::ostream* out)
{
    *out << c.name;
}

class FailedCheck : public ::testing::TestWithParam<CheckCase> {};

}  // namespace

TEST_P(FailedCheck, ShowsTheFailurePageAndMessageAndInstallsNothing)
{
    const CheckCase c = GetParam();
    nettest::startLog(QStringLiteral("check"));
    const Release release = publish();
    const QByteArray zip = c.notAZip ? kNotAZip : release.zip;
    const qint64 bytes = c.withoutSize ? 0 : zip.size() + c.bytesOff;
    const int count = c.withoutSize || c.notAZip ? 0 : release.count() + c.countOff;
    QByteArray served = descriptor(QStringLiteral("15"), bytes, count, kReleaseNumber);
    if (c.withoutSize)
        served = QString::fromUtf8(served).remove(QRegularExpression(QStringLiteral("  <size[^\n]*\n"))).toUtf8();
    ReleaseServer server;
    serve(server, zip, served);
    runInstall(server, {true, true});

    const QStringList lines = scriptRecords(server.base());
    const QString detail = QStringLiteral("ERROR:[CInstallation] ValidateZipPackage: { zipSize: %1, actualZipSize: %2 }, "
                                          "{ zipFileCount: %3, actualZipFileCount: %4 }")
                               .arg(bytes)
                               .arg(zip.size())
                               .arg(count)
                               .arg(release.count());
    EXPECT_EQ(lines.filter(QStringLiteral("ValidateZipPackage: {")),
              c.notAZip ? QStringList() : QStringList{detail});
    EXPECT_TRUE(lines.contains(QStringLiteral("INFO:[CInstallation] ValidateZipPackage: False")));
    EXPECT_FALSE(lines.contains(QStringLiteral("INFO:[CInstallation] Install -> Begin install")));
    expectNothingInstalled(lines, QStringLiteral("INFO:[CInstallation] ValidateZipPackage: False"));
    const auto& boxes = testDialogs().boxes;
    ASSERT_FALSE(boxes.isEmpty());
    EXPECT_EQ(boxes.last().text, kMessage28 + c.reason);
    EXPECT_TRUE(boxes.last().flags & platform::MB_ICONERROR);
    EXPECT_FALSE(QDir(CStringManager(false).U(vsInstallPath)).exists());
}

INSTANTIATE_TEST_SUITE_P(Archives, FailedCheck,
                         ::testing::Values(CheckCase{"OneByteMore", 1, 0, false, false, kSizeLine},
                                           CheckCase{"OneByteLess", -1, 0, false, false, kSizeLine},
                                           CheckCase{"ExtraEntry", 0, -1, false, false, kCountLine},
                                           CheckCase{"SizeAndCount", 1, -1, false, false, kCountLine},
                                           CheckCase{"NotAZip", 0, 0, true, false, QString()},
                                           CheckCase{"DescriptorWithoutSize", 0, 0, false, true, kCountLine}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- an archive reaching outside the install folder ------------------------------------

namespace {

// Whether `path` is inside one of `folders` or a folder on the way to one of them.
bool allowedNewPath(const QString& path, const QStringList& folders)
{
    return std::any_of(folders.begin(), folders.end(), [&](const QString& folder) {
        return path.startsWith(folder) || folder.startsWith(path + QLatin1Char('/'));
    });
}

}  // namespace

TEST(FullInstallUnsafe, AnArchiveReachingOutsideIsRefusedAndNothingIsWrittenOutside)
{
    nettest::startLog(QStringLiteral("unsafe"));
    const QString made = sandbox::freshFolder(QStringLiteral("unsafe-zip")) + QStringLiteral("/vrnsetup.zip");
    zipmaker::write(made, {zipmaker::file(QStringLiteral("Vorlen.exe"), "#!/bin/sh\n"),
                           zipmaker::file(QStringLiteral("../outside"), "escaped"),
                           zipmaker::file(QStringLiteral("/abs/path"), "escaped"),
                           zipmaker::link(QStringLiteral("home"), sandbox::home()),
                           zipmaker::file(QStringLiteral("home/planted"), "escaped")});
    const QByteArray zip = readFile(made);
    const QStringList before = treeOf(sandbox::root());
    ReleaseServer server;
    serve(server, zip, descriptor(QStringLiteral("15"), zip.size(), 5, kReleaseNumber));
    runInstall(server, {true, true});

    const QStringList lines = scriptRecords(server.base());
    expectNothingInstalled(lines, QStringLiteral("ERROR:[CInstallation] Install: EZipUnsafeEntry: "));
    const CStringManager paths(false);
    // the user's cache holds the download's part between runs
    const QStringList allowed = {paths.U(vsInstallPath), paths.U(vsConfigPath), sandbox::tmp() + QLatin1Char('/'),
                                 sandbox::home() + QStringLiteral("/.cache/vorlen-setup")};
    for (const QString& path : treeOf(sandbox::root())) {
        if (!before.contains(path)) {
            EXPECT_TRUE(allowedNewPath(path, allowed)) << "written outside: " << path.toStdString();
        }
        EXPECT_FALSE(QFileInfo(path).isSymLink() && path.startsWith(paths.U(vsInstallPath))) << path.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/abs/path")));
    EXPECT_FALSE(QFileInfo::exists(sandbox::home() + QStringLiteral("/planted")));
}

// ---- faults during the install job -------------------------------------------------------

namespace {

struct FaultCase {
    const char* name;
    std::function<void()> arrange;
    int bigFile;       // bytes of a well-compressible file in the release
    bool fileLimit;    // files may grow to 1 MiB only (a full disk)
    const char* errorClass;
};

// Puts a file where the folder `path` (with its trailing separator) belongs.
void fileInsteadOf(const QString& path)
{
    QDir().mkpath(QFileInfo(path.chopped(1)).path());
    writeFile(path.chopped(1), "a file in the way");
}

void PrintTo(const FaultCase& c, std::ostream* out)
{
    *out << c.name;
}

class FailedJob : public ::testing::TestWithParam<FaultCase> {};

}  // namespace

TEST_P(FailedJob, EndsWithAnErrorLineAndTheFailurePage)
{
    const FaultCase c = GetParam();
    // the file size limit would hold for every later test of the process
    if (c.fileLimit && !isChild())
        return runAsChild({});
    gKillPauseMs = 0;
    nettest::startLog(QStringLiteral("fault"));
    const Release release = publish(c.bigFile);
    c.arrange();
    if (c.fileLimit) {
        ::signal(SIGXFSZ, SIG_IGN);  // the signal would end the process instead of failing the write
        const rlimit limit{1 << 20, 1 << 20};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ReleaseServer server;
    serve(server, release.zip, release.descriptor);
    runInstall(server, {true, true});

    const QStringList lines = scriptRecords(server.base());
    expectNothingInstalled(lines, QStringLiteral("ERROR:[CInstallation] Install: ") + QLatin1String(c.errorClass) + ": ");
    expectInOrder(lines, {QStringLiteral("ERROR:[CInstallation] Install: "), QStringLiteral("INFO:[CInstallation] Install: False"),
                          QStringLiteral("INFO:[UI] page_final: False"), QStringLiteral("INFO:[UI] btnNextClick_Final")});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedJob,
    ::testing::Values(
        FaultCase{"InstallFolderIsAFile", [] { fileInsteadOf(CStringManager(false).U(vsInstallPath)); }, 0, false,
                  "EFCreateError"},
        FaultCase{"ConfigurationFolderIsAFile", [] { fileInsteadOf(CStringManager(false).U(vsConfigPath)); }, 0,
                  false, "EFCreateError"},
        FaultCase{"DiskFullDuringExtraction", [] {}, 8 << 20, true, "EInOutError"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FullInstallDownload, AFailedDownloadShowsTheFailurePageAndInstallsNothing)
{
    nettest::startLog(QStringLiteral("download"));
    const Release release = publish();
    ReleaseServer server;
    // the first handler registered for a path answers
    server.serveStatus("vrnsetup.zip", 404);
    serve(server, release.zip, release.descriptor);
    runInstall(server, {true, true});

    const QStringList lines = scriptRecords(server.base());
    expectNothingInstalled(lines, QStringLiteral("INFO:[CInstallation] AsyncRequest2: vrnsetup.zip, Result: False"));
    EXPECT_FALSE(lines.contains(QStringLiteral("INFO:[CInstallation] ValidateZipPackage")));
    EXPECT_FALSE(QDir(CStringManager(false).U(vsInstallPath)).exists());
}
