// The install job in a private home: a whole install and a reinstall, and the faults
// that must end the wait with an ERROR line instead of a claimed install.
#include "install/install_job.h"
#include "install/installed_configuration.h"
#include "install/program_runner.h"
#include "install_test_support.h"
#include "net/net_test_support.h"
#include "platform/platform.h"
#include "archive/zip_maker.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace installtest;

namespace {

const QStringList ShortcutNames = {QStringLiteral("Run Vorlen"), QStringLiteral("Uninstall Vorlen"),
                                   QStringLiteral("Go to Vorlen web site"),
                                   QStringLiteral("Command line documentation")};

// A job as the install script makes it, with every input inside the sandbox. The
// application's executable gets a name of this test process's own, so that ending
// its running copies touches no other test on the machine.
std::shared_ptr<InstallJob> makeJob(const QString& folder, const QList<zipmaker::Entry>& archive, bool beta = false)
{
    gKillPauseMs = 0;
    auto job = std::make_shared<InstallJob>(CStringManager(beta));
    job->BetaMode = beta;
    job->LangID = QStringLiteral("en_GB");
    job->Shortcuts = ShortcutNames;
    job->Options = {true, true, true};
    job->WorkFolder = folder + QLatin1Char('/');
    zipmaker::write(folder + QStringLiteral("/vrnsetup.zip"), archive);
    job->LInstallerExeName = folder + QStringLiteral("/vrnsetup");
    writeFile(job->LInstallerExeName, pattern(300000, 5), 0755);
    job->ProductSiteUrl = QStringLiteral("http://www.vorlen.example/");
    job->gReleaseNumber = 321;
    job->ApplicationExeName = QStringLiteral("Vorlen-%1.exe").arg(getpid());
    return job;
}

QList<zipmaker::Entry> applicationArchive(const QByteArray& version = "1")
{
    return {zipmaker::file(QStringLiteral("Vorlen.exe"), "#!/bin/sh\necho " + version + "\n", std::nullopt),
            zipmaker::file(QStringLiteral("Core.xml"), "<core build=\"" + version + "\"><plugins>2</plugins></core>"),
            zipmaker::file(QStringLiteral("command line.txt"), "usage"),
            zipmaker::folder(QStringLiteral("lib/")),
            zipmaker::file(QStringLiteral("lib/engine.so"), pattern(200000, 1), 0100755)};
}

QStringList installSteps()
{
    QStringList steps;
    for (const QString& line : nettest::records()) {
        if (line.contains(QLatin1String("] Install")) || line.contains(QLatin1String("[TSource] Use")))
            steps << line;
    }
    return steps;
}

const QStringList AllSteps = {
    QStringLiteral("INFO:[CInstallation] Install -> Begin install"),
    QStringLiteral("INFO:[CInstallation] Install -> Create all directories"),
    QStringLiteral("INFO:[CInstallation] Install -> Open and extract ZIP archive"),
    QStringLiteral("INFO:[TSource] Use: vrnsetup.zip"),
    QStringLiteral("INFO:[CInstallation] Install -> ZIP archive excracted"),
    QStringLiteral("INFO:[CInstallation] Install -> Make uninstall exe"),
    QStringLiteral("INFO:[CInstallation] Install -> Make Core xml"),
    QStringLiteral("INFO:[CInstallation] Install -> Kill all runned Vorlen.exe"),
    QStringLiteral("INFO:[CInstallation] Install -> Replace the installation"),
    QStringLiteral("INFO:[CInstallation] Install -> Make Config xml"),
    QStringLiteral("INFO:[CInstallation] Install -> Create Links"),
    QStringLiteral("INFO:[CInstallation] Install -> Done"),
};

void expectValidEntry(const QString& path)
{
    ASSERT_TRUE(QFile::exists(path)) << path.toStdString();
    const ProcessResult check = runProcess(QStringLiteral("desktop-file-validate"), {path});
    EXPECT_EQ(check.exitCode, 0) << path.toStdString() << check.out.constData() << check.err.constData();
}

// Runs this test program again with only `test` selected and the probe variable set.
bool runProbe(const char* test)
{
    const ProcessResult run = runProcess(platform::executablePath(),
                                         {QStringLiteral("--gtest_filter=") + QLatin1String(test)},
                                         {{QStringLiteral("VRN_PROBE"), QLatin1String(test)}}, 120000);
    EXPECT_TRUE(run.out.contains("[  PASSED  ] 1 test.")) << run.out.constData() << run.err.constData();
    return run.finished && run.exitCode == 0;
}

bool isProbe(const char* test)
{
    return qgetenv("VRN_PROBE") == test;
}

}  // namespace

TEST(InstallJob, InstallsAndReinstallsOverARunningCopy)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("job"));
    nettest::startLog(QStringLiteral("job-log"));
    const CStringManager paths(false);
    auto job = makeJob(folder, applicationArchive("1"));
    ASSERT_TRUE(RunInstallJobAndWait(job));
    EXPECT_TRUE(job->done);
    EXPECT_EQ(installSteps(), AllSteps);
    const QString firstKey = platform::readRegistryString(InstallationKeyRegistryKey, QStringLiteral("key")).value();

    // a running copy of the application, an installed file and a desktop entry of the user's
    const QString running = paths.U(vsInstallPath) + job->ApplicationExeName;
    QFile::copy(QStringLiteral("/usr/bin/sleep"), running);
    ::chmod(QFile::encodeName(running).constData(), 0755);
    QProcess application;
    application.start(running, {QStringLiteral("60")});
    ASSERT_TRUE(application.waitForStarted());
    writeFile(paths.U(vsInstallPath) + QStringLiteral("lib/engine.so"), "changed by hand");

    nettest::startLog(QStringLiteral("job-log-2"));
    job = makeJob(folder, applicationArchive("2"));
    ASSERT_TRUE(RunInstallJobAndWait(job));
    EXPECT_EQ(installSteps(), AllSteps);
    application.waitForFinished(5000);  // the pump may have seen the end already
    EXPECT_EQ(application.state(), QProcess::NotRunning) << "the running copy was ended first";

    const QString install = paths.U(vsInstallPath);
    EXPECT_EQ(readFile(install + QStringLiteral("Vorlen.exe")), QByteArray("#!/bin/sh\necho 2\n"));
    EXPECT_EQ(modeOf(install + QStringLiteral("Vorlen.exe")), 0755u) << "the application is always executable";
    EXPECT_EQ(readFile(install + QStringLiteral("lib/engine.so")), pattern(200000, 1));
    EXPECT_EQ(readFile(paths.U(vsUninstallTool)), readFile(job->LInstallerExeName));
    EXPECT_EQ(modeOf(paths.U(vsUninstallTool)), 0755u);

    const QString key = platform::readRegistryString(InstallationKeyRegistryKey, QStringLiteral("key")).value();
    EXPECT_NE(key, firstKey);
    const QByteArray core = readFile(paths.U(vsAppCoreXML));
    for (const QString& part : {QStringLiteral("build=\"2\""), QStringLiteral("<plugins>2</plugins>"),
                                QStringLiteral("<number>321</number>"), QStringLiteral("key=\"") + key + '"',
                                QStringLiteral("path=\"") + install + '"'})
        EXPECT_TRUE(core.contains(part.toUtf8())) << part.toStdString() << "\n" << core.constData();
    EXPECT_TRUE(readFile(paths.U(vsAppConfigXML)).contains("<lang>en_GB</lang>"));

    const QString group = paths.U(vsProgramsGroup);
    const struct {
        QString file;
        QByteArray line;
    } entries[] = {
        {group + ShortcutNames[0] + platform::LinkExtension, "Exec=\"" + (install + "Vorlen.exe").toUtf8() + "\"\n"},
        {group + ShortcutNames[1] + platform::LinkExtension,
         "Exec=\"" + paths.U(vsUninstallTool).toUtf8() + "\" \"-uninstall\"\n"},
        {group + ShortcutNames[2] + platform::LinkExtension, "URL=http://www.vorlen.example/\n"},
        {group + ShortcutNames[3] + platform::LinkExtension, "xdg-open"},
        {paths.U(vsDesktopLink), "Exec=\"" + (install + "Vorlen.exe").toUtf8() + "\"\n"},
    };
    for (const auto& entry : entries) {
        expectValidEntry(entry.file);
        EXPECT_TRUE(readFile(entry.file).contains(entry.line)) << entry.file.toStdString() << "\n"
                                                               << readFile(entry.file).constData();
    }
}

TEST(InstallJob, BetaEditionWithoutDesktopEntryLeavesTheReleaseAlone)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("beta"));
    nettest::startLog(QStringLiteral("beta-log"));
    platform::writeRegistryString(InstallationKeyRegistryKey, QStringLiteral("key"), QStringLiteral("release"));
    const CStringManager paths(true);
    writeFile(paths.U(vsDesktopLink), "mine");
    auto job = makeJob(folder, applicationArchive(), true);
    job->Options = {false, false, false};
    ASSERT_TRUE(RunInstallJobAndWait(job));
    EXPECT_EQ(readFile(paths.U(vsDesktopLink)), QByteArray("mine")) << "an existing desktop entry is left alone";
    EXPECT_EQ(platform::readRegistryString(InstallationKeyRegistryKey, QStringLiteral("key")), QStringLiteral("release"));
    EXPECT_TRUE(readFile(paths.U(vsAppCoreXML))
                    .contains(platform::readRegistryString(InstallationKeyRegistryKey, QStringLiteral("key-beta"))
                                  .value_or(QStringLiteral("none"))
                                  .toUtf8()));
    EXPECT_TRUE(paths.U(vsInstallPath).endsWith(QStringLiteral("/Vorlen-beta/")));
    EXPECT_TRUE(QFile::exists(paths.U(vsProgramsGroup) + ShortcutNames[0] + platform::LinkExtension));
}

// The icon (the archive's own image, else the setup's), the entries that name it, the
// submenu, and the desktop entry also when the desktop folder is missing; a desktop
// folder that cannot be made is an ERROR line and the install goes on.
TEST(InstallJob, IntegratesWithTheDesktop)
{
    QImage red(8, 4, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QByteArray redPng;
    QBuffer buffer(&redPng);
    buffer.open(QIODevice::WriteOnly);
    red.save(&buffer, "PNG");
    const struct {
        const char* name;
        QByteArray archiveIcon;  // none when empty
        bool desktopBlocked;     // else the desktop folder is missing
    } cases[] = {{"the archive's icon, no desktop folder yet", redPng, false},
                 {"the setup's icon, a file where the desktop folder belongs", {}, true},
                 {"an archive image that is no PNG: the setup's icon", "GIF89a", false}};
    const CStringManager paths(false);
    const QString icon = sandbox::dataHome() + QStringLiteral("/icons/hicolor/256x256/apps/vorlen.png");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox::desktop()).removeRecursively();
        QFile::remove(sandbox::desktop());
        QDir(paths.U(vsInstallPath)).removeRecursively();
        QFile::remove(icon);
        if (c.desktopBlocked)
            writeFile(sandbox::desktop(), "in the way");
        const QString folder = sandbox::freshFolder(QStringLiteral("desktop"));
        nettest::startLog(QStringLiteral("desktop-log"));
        QList<zipmaker::Entry> archive = applicationArchive();
        if (!c.archiveIcon.isEmpty())
            archive << zipmaker::file(QStringLiteral("Vorlen.png"), c.archiveIcon);
        ASSERT_TRUE(RunInstallJobAndWait(makeJob(folder, archive)));

        const QImage installed(icon);
        EXPECT_EQ(installed.size(), QSize(256, 256));
        const bool red = c.archiveIcon == redPng;
        EXPECT_EQ(installed.pixelColor(128, 128) == QColor(Qt::red), red);
        EXPECT_EQ(installed.pixelColor(128, 8).alpha(), red ? 0 : 255) << "scaled into the square";
        QStringList entries = QDir(paths.U(vsProgramsGroup)).entryList({QStringLiteral("*.desktop")});
        entries.replaceInStrings(QRegularExpression(QStringLiteral("^")), paths.U(vsProgramsGroup));
        if (!c.desktopBlocked)
            entries << paths.U(vsDesktopLink);
        entries << sandbox::dataHome() + QStringLiteral("/desktop-directories/Vorlen.directory");
        for (const QString& entry : entries) {
            expectValidEntry(entry);
            EXPECT_TRUE(readFile(entry).contains("\nIcon=vorlen\n")) << entry.toStdString();
        }
        const QByteArray merge = readFile(sandbox::configHome() + QStringLiteral("/menus/applications-merged/Vorlen.menu"));
        for (const QString& name : ShortcutNames)
            EXPECT_TRUE(merge.contains("<Filename>Vorlen-" + name.toUtf8() + ".desktop</Filename>")) << merge.constData();
        EXPECT_EQ(nettest::records().filter(QStringLiteral("ERROR:[CInstallation] CreateDesktopLink: EFCreateError: ")).size(),
                  c.desktopBlocked ? 1 : 0);
    }
    QFile::remove(sandbox::desktop());
    QDir().mkpath(sandbox::desktop());
}

TEST(InstallJob, FaultsEndTheWaitWithAnErrorLine)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("faults"));
    const QString outside = sandbox::freshFolder(QStringLiteral("faults-outside"));
    const CStringManager paths(false);
    const QString install = paths.U(vsInstallPath);
    const QString config = paths.U(vsConfigPath);
    auto asFile = [](const QString& folderPath) {
        QDir(folderPath).removeRecursively();
        QDir().mkpath(QFileInfo(folderPath.chopped(1)).path());
        writeFile(folderPath.chopped(1), "a file in the way");
    };
    const struct {
        const char* what;
        std::function<void(InstallJob&)> arrange;
        const char* errorClass;
        bool needsOrdinaryUser;
    } cases[] = {
        {"install folder is a file", [&](InstallJob&) { asFile(install); }, "EFCreateError", false},
        {"install folder not writable",
         [&](InstallJob&) {
             QDir().mkpath(install);
             ::chmod(QFile::encodeName(install).constData(), 0555);
         },
         "EFCreateError", true},
        {"configuration folder is a file", [&](InstallJob&) { asFile(config); }, "EFCreateError", false},
        {"archive reaching outside",
         [&](InstallJob& job) {
             zipmaker::write(job.WorkFolder + QStringLiteral("vrnsetup.zip"), {zipmaker::file(QStringLiteral("ok"), "x"),
                                               zipmaker::file(QStringLiteral("../../../../../faults-outside/x"), "x")});
         },
         "EZipUnsafeEntry", false},
        {"setup cannot be copied", [](InstallJob& job) { QFile::remove(job.LInstallerExeName); }, "EInOutError", false},
    };
    for (const auto& c : cases) {
        if (c.needsOrdinaryUser && ::geteuid() == 0)
            continue;  // permissions do not stop the superuser
        for (const QString& path : {install, config}) {
            QFile::remove(path.chopped(1));
            ::chmod(QFile::encodeName(path).constData(), 0755);
            QDir(path).removeRecursively();
        }
        nettest::startLog(QStringLiteral("faults-log"));
        auto job = makeJob(folder, applicationArchive());
        c.arrange(*job);
        EXPECT_FALSE(RunInstallJobAndWait(job)) << c.what;
        EXPECT_TRUE(job->done) << c.what;
        const QStringList steps = installSteps();
        EXPECT_FALSE(steps.contains(AllSteps.last())) << c.what;
        ASSERT_FALSE(steps.isEmpty()) << c.what;
        EXPECT_TRUE(steps.last().startsWith(QStringLiteral("ERROR:[CInstallation] Install: ") + QLatin1String(c.errorClass) + ": "))
            << c.what << ": " << steps.last().toStdString();
        EXPECT_TRUE(QDir(outside).isEmpty()) << c.what;
    }
    ::chmod(QFile::encodeName(install).constData(), 0755);
}

TEST(InstallJob, DiskFullProbe)
{
    if (!isProbe("InstallJob.DiskFullProbe"))
        GTEST_SKIP() << "runs as the child of DiskFullDuringExtraction";
    const QString folder = sandbox::freshFolder(QStringLiteral("full"));
    nettest::startLog(QStringLiteral("full-log"));
    auto job = makeJob(folder, {zipmaker::file(QStringLiteral("big.bin"), QByteArray(8 << 20, 'z'))});
    // files may grow to 1 MiB only; the signal would end the process instead of failing the write
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 20, 1 << 20};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_FALSE(RunInstallJobAndWait(job));
    EXPECT_TRUE(job->done);
    const QStringList steps = installSteps();
    ASSERT_FALSE(steps.isEmpty());
    EXPECT_TRUE(steps.last().startsWith(QStringLiteral("ERROR:[CInstallation] Install: EInOutError: Cannot write file")))
        << steps.last().toStdString();
}

TEST(InstallJob, DiskFullDuringExtraction)
{
    runProbe("InstallJob.DiskFullProbe");
}

TEST(InstallJob, ClosingTheWindowProbe)
{
    if (!isProbe("InstallJob.ClosingTheWindowProbe"))
        GTEST_SKIP() << "runs as the child of ClosingTheWindowEndsTheWait";
    const QString folder = sandbox::freshFolder(QStringLiteral("closing"));
    nettest::startLog(QStringLiteral("closing-log"));
    auto job = makeJob(folder, applicationArchive());
    // the setup that becomes the uninstaller is a pipe that nobody writes yet, so the job
    // is still at work when the window closes
    QFile::remove(job->LInstallerExeName);
    ASSERT_EQ(::mkfifo(QFile::encodeName(job->LInstallerExeName).constData(), 0700), 0);
    QWidget window;
    CSetupCore::MarkAsMainWindow(&window);
    window.show();
    QTimer::singleShot(100, &window, &QWidget::close);
    QElapsedTimer timer;
    timer.start();
    gCancelled = false;
    EXPECT_FALSE(RunInstallJobAndWait(job));
    EXPECT_LT(timer.elapsed(), 30000);
    EXPECT_TRUE(gCancelled);
    // the job reads an empty setup and ends before this process does
    QFile writer(job->LInstallerExeName);
    ASSERT_TRUE(writer.open(QIODevice::WriteOnly));
    writer.close();
    for (int i = 0; i < 500 && !job->done; ++i)
        QThread::msleep(10);
    EXPECT_TRUE(job->done);
}

TEST(InstallJob, ClosingTheWindowEndsTheWait)
{
    runProbe("InstallJob.ClosingTheWindowProbe");
}

TEST(ProgramRunner, RunAndWaitPassesTheQuietSwitchAndPumps)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("runner"));
    const QString program = folder + QStringLiteral("/dxwebsetup.exe");
    writeFile(program, QStringLiteral("#!/bin/sh\nsleep 0.2\necho \"$@\" > '%1/args'\n").arg(folder).toUtf8(), 0755);
    bool pumped = false;
    QTimer::singleShot(50, [&] { pumped = true; });
    EXPECT_TRUE(RunAndWait(program));
    EXPECT_EQ(readFile(folder + QStringLiteral("/args")), QByteArray("/Q\n"));
    EXPECT_TRUE(pumped) << "the main thread handled its messages meanwhile";
}
