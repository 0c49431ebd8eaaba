// The local installation package: made from a served release on one computer, then
// started where no server answers, where it installs from its own resources.
#include "install/flow_support.h"

#include "app/application_extended.h"
#include "i18n/setup_translator.h"
#include "install/install_job.h"
#include "install/setup_installation.h"
#include "platform/platform.h"
#include "support/process_runner.h"
#include "install_test_support.h"
#include "support/recording_dialogs.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProgressBar>
#include <QTimer>

#include <gtest/gtest.h>

using namespace flowtest;

namespace {

struct Release {
    QByteArray archive;
    QByteArray descriptor;
};

// A small application published the way the release server gets it.
Release publishRelease()
{
    const QString root = sandbox::freshFolder(QStringLiteral("release"));
    QDir().mkpath(root + QStringLiteral("/app/docs"));
    const QList<QPair<QString, QByteArray>> files = {
        {QStringLiteral("Vorlen.exe"), "#!/bin/sh\nexit 0\n"},
        {QStringLiteral("Core.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<core build=\"3\"/>\r\n"},
        {QStringLiteral("docs/readme.txt"), "read me"},
    };
    for (const auto& [name, content] : files) {
        QFile file(root + QStringLiteral("/app/") + name);
        file.open(QIODevice::WriteOnly);
        file.write(content);
    }
    const ProcessResult published = runProcess(
        builtProgram(QStringLiteral("vrn-publish")),
        {QStringLiteral("--app"), root + QStringLiteral("/app"), QStringLiteral("--version"), QStringLiteral("15"),
         QStringLiteral("--number"), QStringLiteral("42"), root + QStringLiteral("/out")});
    EXPECT_EQ(published.exitCode, 0) << published.err.toStdString();
    return {readFile(root + QStringLiteral("/out/vrnsetup.zip")), readFile(root + QStringLiteral("/out/system.xml"))};
}

void pointAt(const QString& base)
{
    qputenv("VRN_RELEASE_BASE_URL", base.toUtf8());
    qputenv("VRN_BETA_BASE_URL", base.toUtf8());
    qputenv("VRN_COUNTER_RELEASE_URL", (base + QStringLiteral("count")).toUtf8());
    qputenv("VRN_COUNTER_BETA_URL", (base + QStringLiteral("count")).toUtf8());
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    gSystemLangAlias = QStringLiteral("en_GB");
    CTranslator::SetBetaMode(false);
    gKillPauseMs = 10;
}

bool pageDone()
{
    auto* bar = control<QProgressBar>(QStringLiteral("pbLocal"));
    return bar && bar->isVisible() && bar->value() == 100 && visible(QStringLiteral("btnNext"));
}

}  // namespace

// Made from the release server, then started as a process with no server: the package
// installs from its own resources and asks no server for anything.
TEST(LocalPackage, MadeOnTheDesktopThenInstallsFromItsOwnResourcesWithoutServer)
{
    if (qEnvironmentVariableIsSet("VRN_PACKAGE_CHILD"))
        GTEST_SKIP() << "the package's own run is the next test";
    nettest::startLog(QStringLiteral("package"));
    const Release release = publishRelease();
    ReleaseServer server;
    server.serve("system.xml", release.descriptor);
    server.serve("vrnsetup.zip", release.archive);
    server.serve("count", "ok");
    server.start();
    pointAt(server.base());
    QString revealed;
    platform::setFileManagerForTesting([&](const QString& file) { revealed = file; });

    ScriptedUser user;
    user.press(QStringLiteral("lbBox")).acceptLicence();
    user.then([] { return visible(QStringLiteral("rbDownload")); },
              [] { control<QAbstractButton>(QStringLiteral("rbDownload"))->click(); })
        .press(QStringLiteral("rbDownload"))
        .then(pageDone, [] { control<QAbstractButton>(QStringLiteral("btnNext"))->click(); });
    CreateMainWindow(QStringLiteral("en_GB"))->show();
    CInstallation::Run();

    const QString package = sandbox::desktop() + QStringLiteral("/VorlenSetup.exe");
    ASSERT_TRUE(user.finished());
    EXPECT_EQ(revealed, package);
    EXPECT_TRUE(QFileInfo(package).isExecutable());
    EXPECT_EQ(platform::readResource(package, platform::ResourceId::numbered(100)), release.archive);
    EXPECT_EQ(platform::readResource(package, platform::ResourceId::numbered(200)), release.descriptor);
    EXPECT_TRUE(nettest::records().contains(QStringLiteral("INFO:[UI] page_MakeLocalInstallation3")));

    // a package made from a package replaces its two resources instead of adding more
    platform::ResourceUpdate again(package);
    again.add(platform::ResourceId::numbered(100), release.archive);
    again.commit();
    EXPECT_EQ(platform::listResources(package).size(), platform::listResources(QCoreApplication::applicationFilePath()).size() + 2);

    // the package's own run, with no server anywhere
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VRN_PACKAGE_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(package, {QStringLiteral("--gtest_filter=LocalPackage.ChildInstallsFromResources")});
    ASSERT_TRUE(child.waitForFinished(120000));
    const QByteArray out = child.readAllStandardOutput();
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test.")) << out.toStdString();
}

TEST(LocalPackage, ChildInstallsFromResources)
{
    if (!qEnvironmentVariableIsSet("VRN_PACKAGE_CHILD"))
        GTEST_SKIP() << "runs inside the package that the test before makes";
    nettest::startLog(QStringLiteral("package-run"));
    pointAt(QStringLiteral("http://127.0.0.1:1/"));
    // the first request shows the image while the source is undecided; once the run is
    // local it never shows again
    bool decided = false;
    bool networkShown = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        decided = decided || visible(QStringLiteral("lbBox"));
        networkShown = networkShown || (decided && visible(QStringLiteral("NetWork")));
    });
    watch.start(1);
    ScriptedUser user;
    user.press(QStringLiteral("lbBox")).acceptLicence().press(QStringLiteral("rbInstall")).press(QStringLiteral("lbText5"));
    CreateMainWindow(QStringLiteral("en_GB"))->show();
    CInstallation::Run();

    const QStringList got = nettest::records();
    EXPECT_TRUE(user.finished());
    EXPECT_TRUE(got.contains(QStringLiteral("INFO:[UI] page_final: True"))) << qPrintable(got.join('\n'));
    EXPECT_TRUE(got.filter(QStringLiteral("[CNetwork class] Download:")).filter(QStringLiteral("vrnsetup.zip")).isEmpty());
    EXPECT_TRUE(got.filter(QStringLiteral("AsyncRequest2")).isEmpty()) << "nothing is downloaded";
    EXPECT_FALSE(networkShown) << "the network image never shows in local mode";
    EXPECT_TRUE(got.contains(QStringLiteral("INFO:[CInstallation] ReturnReleaseNumber: 42")));
    EXPECT_EQ(readFile(CStringManager(false).U(vsInstallPath) + QStringLiteral("docs/readme.txt")), "read me");
}

// Makes a package into a folder where `inTheWay` (a folder) blocks it, next to an earlier
// package when there is one. The wait ends with an ERROR line and the failure page; the
// finished page and the file manager are skipped, and what stood there stays as it was.
void expectPackageFailure(const QString& inTheWay, const QByteArray& earlierPackage)
{
    nettest::startLog(QStringLiteral("package-fails"));
    const Release release = publishRelease();
    ReleaseServer server;
    server.serve("system.xml", release.descriptor);
    server.serve("vrnsetup.zip", release.archive);
    server.start();
    pointAt(server.base());
    bool revealed = false;
    platform::setFileManagerForTesting([&](const QString&) { revealed = true; });
    const QString target = sandbox::freshFolder(QStringLiteral("target"));
    QDir().mkpath(target + QLatin1Char('/') + inTheWay);
    if (!earlierPackage.isNull())
        installtest::writeFile(target + QStringLiteral("/VorlenSetup.exe"), earlierPackage);
    testDialogs().reset();
    testDialogs().folders.push_back(target + QLatin1Char('/'));

    ScriptedUser user;
    user.press(QStringLiteral("lbBox")).acceptLicence();
    user.then([] { return visible(QStringLiteral("rbDownload")); },
              [] {
                  control<QAbstractButton>(QStringLiteral("rbDownload"))->click();
                  control<QAbstractButton>(QStringLiteral("btnBrowsePath"))->click();
              })
        .press(QStringLiteral("rbDownload"))
        .press(QStringLiteral("lbText5"));
    CreateMainWindow(QStringLiteral("en_GB"))->show();
    CInstallation::Run();

    const QStringList got = nettest::records();
    EXPECT_TRUE(user.finished());
    EXPECT_FALSE(got.filter(QStringLiteral("ERROR:[CInstallation] MakeLocalInstallation: ")).isEmpty()) << qPrintable(got.join('\n'));
    EXPECT_TRUE(got.contains(QStringLiteral("INFO:[UI] page_final: False")));
    EXPECT_FALSE(got.contains(QStringLiteral("INFO:[UI] page_MakeLocalInstallation3")));
    EXPECT_FALSE(revealed);
    EXPECT_TRUE(QFileInfo(target + QLatin1Char('/') + inTheWay).isDir()) << "nothing of the user's is lost";
    if (!earlierPackage.isNull())
        EXPECT_EQ(readFile(target + QStringLiteral("/VorlenSetup.exe")), earlierPackage) << "replaced only by a whole package";
}

TEST(LocalPackage, APackageThatCannotBeWrittenShowsTheFailurePage)
{
    expectPackageFailure(QStringLiteral("VorlenSetup.exe/in-the-way"), {});
}

TEST(LocalPackage, AnEarlierPackageStaysWholeWhenTheNewOneCannotBeWritten)
{
    expectPackageFailure(QStringLiteral("VorlenSetup.exe.part/in-the-way"), "earlier package");
}
