// The uninstall script in this process, driven through its real window (offscreen) by a
// scripted user: the first page's choices, the removal of one edition next to the
// other, link-safe and forced deletion, running product processes, closing the window.
#include "install/setup_uninstallation.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "install/desktop_integration.h"
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "ui/main_window.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>

namespace {

const QString kKey = QStringLiteral("Software\\Tarnvek\\vrn");

QString valueName(bool beta)
{
    return beta ? QStringLiteral("key-beta") : QStringLiteral("key");
}

void writeFile(const QString& path, const QByteArray& content = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
}

// What an install of one edition leaves, built by hand.
void installEdition(bool beta)
{
    const CStringManager paths(beta);
    for (TVersionString file : {vsRunExe, vsUninstallTool, vsAppCoreXML, vsAppConfigXML})
        writeFile(paths.U(file));
    writeFile(paths.U(vsInstallPath) + QStringLiteral("data/level/deep.bin"));
    platform::writeRegistryString(kKey, valueName(beta), QStringLiteral("{0000-%1}").arg(beta));
    platform::writeShellLink(paths.U(vsRunExe), paths.U(vsDesktopLink), QString(), QString());
    QDir().mkpath(paths.U(vsProgramsGroup));
    for (const char* name : {"Run", "Uninstall", "Site", "Help"})
        writeFile(paths.U(vsProgramsGroup) + QLatin1String(name) + platform::LinkExtension);
    IntegrateWithDesktop(paths);
}

// The icon and the submenu's files that the desktop integration adds beside the links.
QStringList integrationFiles(bool beta)
{
    const QString menu = beta ? QStringLiteral("Vorlen-BETA") : QStringLiteral("Vorlen");
    return {sandbox::dataHome() + QStringLiteral("/icons/hicolor/256x256/apps/%1.png").arg(beta ? "vorlen-beta" : "vorlen"),
            sandbox::dataHome() + QStringLiteral("/desktop-directories/%1.directory").arg(menu),
            sandbox::configHome() + QStringLiteral("/menus/applications-merged/%1.menu").arg(menu)};
}

// Which of an edition's traces are present, as one comparable text.
std::string tracesOf(bool beta)
{
    const CStringManager paths(beta);
    QStringList present;
    if (QFileInfo::exists(paths.U(vsAppCoreXML)) && QFileInfo::exists(paths.U(vsInstallPath) + QStringLiteral("data/level/deep.bin")))
        present << QStringLiteral("files");
    if (QFileInfo::exists(paths.U(vsInstallPath)))
        present << QStringLiteral("install-folder");
    if (QFileInfo::exists(paths.U(vsConfigPath)))
        present << QStringLiteral("config");
    if (platform::readRegistryString(kKey, valueName(beta)))
        present << QStringLiteral("value");
    if (QFileInfo::exists(paths.U(vsDesktopLink)))
        present << QStringLiteral("desktop");
    if (QFileInfo::exists(paths.U(vsProgramsGroup)))
        present << QStringLiteral("menu");
    const QStringList integration = integrationFiles(beta);
    const qsizetype added = std::count_if(integration.begin(), integration.end(),
                                          [](const QString& file) { return QFileInfo::exists(file); });
    if (added > 0)
        present << (added == integration.size() ? QStringLiteral("icon-and-submenu") : QStringLiteral("part-of-icon-and-submenu"));
    return present.join(QLatin1Char(' ')).toStdString();
}

const std::string kComplete = "files install-folder config value desktop menu icon-and-submenu";
const std::string kCompleteButValue = "files install-folder config desktop menu icon-and-submenu";

QPushButton* visibleButton(const QString& name)
{
    auto* button = MainWindow ? MainWindow->findChild<QPushButton*>(name) : nullptr;
    return button && button->isVisible() ? button : nullptr;
}

// A user who performs queued steps on the window; a step returns false while what
// it needs is not on screen yet.
class ScriptedUser {
public:
    using Step = std::function<bool()>;
    explicit ScriptedUser(std::deque<Step> steps) : m_steps(std::move(steps))
    {
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            // one step per tick, so that the script sees each answer before the next one
            if (!m_steps.empty() && m_steps.front()())
                m_steps.pop_front();
        });
        m_tick.start(10);
    }
    bool finished() const { return m_steps.empty(); }

private:
    std::deque<Step> m_steps;
    QTimer m_tick;
};

// Clicks a button once it is on screen and enabled, and once `pageMark` (a control of
// the page meant) is on screen too.
ScriptedUser::Step click(const QString& name, const QString& pageMark = QString())
{
    return [name, pageMark] {
        QPushButton* button = visibleButton(name);
        if (!button || !button->isEnabled())
            return false;
        if (!pageMark.isEmpty()) {
            auto* mark = MainWindow->findChild<QWidget*>(pageMark);
            if (!mark || !mark->isVisible())
                return false;
        }
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    };
}

ScriptedUser::Step closeWindowWhenLogged(const QString& logFile, const QByteArray& line, bool* shownAfterClose = nullptr)
{
    return [logFile, line, shownAfterClose] {
        if (!readFile(logFile).contains(line))
            return false;
        MainWindow->close();
        if (shownAfterClose)
            *shownAfterClose = MainWindow->isVisible();
        return true;
    };
}

struct FirstPage {
    bool releaseEnabled = false;
    bool betaShown = false;
    QString caption;
};

ScriptedUser::Step lookAtFirstPage(FirstPage& seen)
{
    return [&seen] {
        QPushButton* release = visibleButton(QStringLiteral("btnUninstall"));
        if (!release)
            return false;
        seen.releaseEnabled = release->isEnabled();
        QPushButton* beta = visibleButton(QStringLiteral("btnUninstallBeta"));
        seen.betaShown = beta && beta->isEnabled();
        seen.caption = MainWindow->windowTitle();
        return true;
    };
}

// Runs the uninstall script as the "-uninstallnow" process does; returns its log.
QByteArray runUninstaller(std::deque<ScriptedUser::Step> steps, bool* stepsDone = nullptr)
{
    const QString log = sandbox::tmp() + QStringLiteral("/Vorlen_Setup_Uninstall.log");
    Logger().Start(log);
    gUserChoice.clear();
    gRemovalStepPauseMs = 10;
    CreateMainWindow(QStringLiteral("en_GB"))->show();
    {
        ScriptedUser user(std::move(steps));
        CUnInstallation::Run();
        if (stepsDone)
            *stepsDone = user.finished();
    }
    delete MainWindow;
    return readFile(log);
}

// Whether `lines` appear in the log in this order (other lines may lie between them).
::testing::AssertionResult inOrder(const QByteArray& log, const QStringList& lines)
{
    qsizetype from = 0;
    for (const QString& line : lines) {
        const qsizetype at = log.indexOf(line.toUtf8(), from);
        if (at < 0)
            return ::testing::AssertionFailure() << "missing or out of order: " << line.toStdString() << "\n"
                                                 << log.toStdString();
        from = at + line.size();
    }
    return ::testing::AssertionSuccess();
}

void skipWhenTerminating()
{
    if (CSetupCore::IsTerminating())
        GTEST_SKIP() << "the terminating state never clears: run this test in a process of its own (ctest does)";
}

ScriptedUser::Step exitFirstPage()
{
    return click(QStringLiteral("btnNext"), QStringLiteral("btnUninstall"));
}

ScriptedUser::Step exitDonePage()
{
    return click(QStringLiteral("btnNext"), QStringLiteral("lbSad"));
}

const QString kRemovalLines[] = {
    QStringLiteral("[CUnInstallation] uninstall"),
    QStringLiteral("[CUnInstallation] RemoveInstallationKey"),
    QStringLiteral("[CUnInstallation] RemoveDesktopLink"),
    QStringLiteral("[CUnInstallation] RemoveTaskbarIcon"),
    QStringLiteral("[CUnInstallation] RemoveProgramsLinks"),
    QStringLiteral("[CUnInstallation] RemoveFilesAndConfig"),
};

QStringList removalLines(bool beta)
{
    QStringList lines(std::begin(kRemovalLines), std::end(kRemovalLines));
    lines.insert(1, QStringLiteral("[CStringManager] Create: ") + BoolToStr(beta));
    return lines;
}

}  // namespace

TEST(UninstallFirstPage, OffersTheInstalledEditionsAndExitRemovesNothing)
{
    skipWhenTerminating();
    struct Case {
        bool release, beta;
    };
    for (const Case c : {Case{false, false}, Case{false, true}, Case{true, true}, Case{true, false}}) {
        SCOPED_TRACE(testing::Message() << "release " << c.release << ", beta " << c.beta);
        QDir(sandbox::home()).removeRecursively();
        QDir().mkpath(sandbox::desktop());
        if (c.release)
            installEdition(false);
        if (c.beta)
            installEdition(true);
        FirstPage seen;
        const QByteArray log = runUninstaller({lookAtFirstPage(seen), exitFirstPage()});

        EXPECT_EQ(seen.releaseEnabled, c.release);
        EXPECT_EQ(seen.betaShown, c.beta);
        EXPECT_TRUE(seen.caption.startsWith(QStringLiteral("Uninstalling Vorlen (including "))) << seen.caption.toStdString();
        EXPECT_TRUE(inOrder(log, {QStringLiteral("[CUnInstallation] Run - Begin"),
                                  QStringLiteral("[CUnInstallation] Create"),
                                  QStringLiteral("[CUnInstallation] Main"),
                                  QStringLiteral("[CUnInstallation] BetaInstalled: ") + BoolToStr(c.beta),
                                  QStringLiteral("[CUnInstallation] ReleaseInstalled: ") + BoolToStr(c.release),
                                  QStringLiteral("[CSetupCore] WaitForUserAction"),
                                  QStringLiteral("[CUnInstallation] End Main"),
                                  QStringLiteral("[CUnInstallation] Destroy"),
                                  QStringLiteral("[CUnInstallation] Run - End")}));
        EXPECT_FALSE(log.contains("[CUnInstallation] uninstall"));
        EXPECT_EQ(tracesOf(false), c.release ? kComplete : std::string());
        EXPECT_EQ(tracesOf(true), c.beta ? kComplete : std::string());
    }
}

TEST(UninstallFirstPage, ClosingTheWindowRemovesNothing)
{
    skipWhenTerminating();
    installEdition(false);
    installEdition(true);
    const QString log = sandbox::tmp() + QStringLiteral("/Vorlen_Setup_Uninstall.log");
    const QByteArray text = runUninstaller({closeWindowWhenLogged(log, "[CSetupCore] WaitForUserAction")});
    EXPECT_TRUE(text.contains("[CUnInstallation] End Main"));
    EXPECT_FALSE(text.contains("[CUnInstallation] uninstall"));
    EXPECT_EQ(tracesOf(false), kComplete);
    EXPECT_EQ(tracesOf(true), kComplete);
}

// One edition goes with every trace; the other stays complete, and so do the shared
// key and the parent folders.
TEST(Uninstall, RemovesTheChosenEditionOnly)
{
    skipWhenTerminating();
    for (const bool beta : {false, true}) {
        SCOPED_TRACE(beta ? "beta" : "release");
        installEdition(false);
        installEdition(true);
        bool done = false;
        const QByteArray log = runUninstaller(
            {click(beta ? QStringLiteral("btnUninstallBeta") : QStringLiteral("btnUninstall")),
             exitDonePage()},
            &done);

        EXPECT_TRUE(done) << "the done page's Exit was never offered";
        EXPECT_EQ(tracesOf(beta), "");
        EXPECT_EQ(tracesOf(!beta), kComplete);
        EXPECT_TRUE(QFileInfo::exists(sandbox::configHome() + QStringLiteral("/Tarnvek/vrn.conf")));
        EXPECT_TRUE(QFileInfo(sandbox::dataHome() + QStringLiteral("/Ostrelle/Apps")).isDir());
        EXPECT_TRUE(QFileInfo(sandbox::configHome() + QStringLiteral("/Ostrelle")).isDir());
        EXPECT_TRUE(inOrder(log, removalLines(beta) + QStringList{QStringLiteral("[CSetupCore] WaitForUserAction"),
                                                                  QStringLiteral("[CUnInstallation] End Main")}));
        EXPECT_FALSE(log.contains("ERROR"));
    }
}

// Damaged installs and removal steps that fail: the removal still runs to its end,
// deletes what belongs to the edition and nothing else, and says what went wrong.
TEST(Uninstall, DamagedInstallsAndFailingStepsStillFinish)
{
    skipWhenTerminating();
    const CStringManager release(false);
    struct Case {
        const char* name;
        std::function<void()> damage;
        QByteArray error;  // empty: no ERROR line expected
        std::string betaAfter = kComplete;
    };
    const Case cases[] = {
        {"config folder, links and value deleted by hand",
         [&] {
             QDir(release.U(vsConfigPath)).removeRecursively();
             QDir(release.U(vsProgramsGroup)).removeRecursively();
             QFile::remove(release.U(vsDesktopLink));
             platform::deleteRegistryValue(kKey, QStringLiteral("key"));
         },
         {}},
        {"half the install folder deleted by hand",
         [&] {
             QDir(release.U(vsInstallPath) + QStringLiteral("data")).removeRecursively();
             QFile::remove(release.U(vsRunExe));
         },
         {}},
        {"no registry key file, the desktop link dangling",
         [&] {
             QFile::remove(sandbox::configHome() + QStringLiteral("/Tarnvek/vrn.conf"));
             QFile::remove(release.U(vsDesktopLink));
             QFile::link(sandbox::root() + QStringLiteral("/gone"), release.U(vsDesktopLink));
         },
         {},
         kCompleteButValue},
        {"the registry key cannot be created",
         [&] {
             QDir(sandbox::configHome() + QStringLiteral("/Tarnvek")).removeRecursively();
             writeFile(sandbox::configHome() + QStringLiteral("/Tarnvek"));
         },
         "[CUnInstallation] RemoveInstallationKey: ERegistryException: ", kCompleteButValue},
        {"the desktop link is a folder with content",
         [&] {
             QFile::remove(release.U(vsDesktopLink));
             writeFile(release.U(vsDesktopLink) + QStringLiteral("/inside"));
         },
         "[CUnInstallation] RemoveDesktopLink: EInOutError: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(sandbox::home()).removeRecursively();
        QDir().mkpath(sandbox::desktop());
        installEdition(false);
        installEdition(true);
        c.damage();
        const QByteArray log = runUninstaller({click(QStringLiteral("btnUninstall")), exitDonePage()});

        EXPECT_TRUE(inOrder(log, removalLines(false) << QStringLiteral("[CUnInstallation] End Main")));
        EXPECT_EQ(tracesOf(true), c.betaAfter);
        EXPECT_FALSE(QFileInfo(release.U(vsDesktopLink)).isSymLink());
        // the key stays, and is there even when it was missing
        EXPECT_EQ(QFileInfo(sandbox::configHome() + QStringLiteral("/Tarnvek/vrn.conf")).isFile(),
                  !c.error.contains("RemoveInstallationKey"));
        EXPECT_FALSE(QFileInfo::exists(release.U(vsInstallPath)));
        EXPECT_FALSE(QFileInfo::exists(release.U(vsConfigPath)));
        EXPECT_FALSE(QFileInfo::exists(release.U(vsProgramsGroup)));
        if (c.error.isEmpty())
            EXPECT_FALSE(log.contains("ERROR")) << log.toStdString();
        else
            EXPECT_TRUE(log.contains("ERROR -> " + c.error)) << log.toStdString();
    }
}

// Hazards inside the edition's folders: links are removed, never followed; read-only
// entries go; every running "Vorlen.exe" of the user is ended, the one in the install
// folder before that folder goes, and one started elsewhere as well.
TEST(Uninstall, RemovesLinksNotTheirTargetsReadOnlyEntriesAndRunningProducts)
{
    skipWhenTerminating();
    installEdition(false);
    const CStringManager release(false);
    const QString install = release.U(vsInstallPath);
    const QString outside = sandbox::freshFolder(QStringLiteral("outside"));
    writeFile(outside + QStringLiteral("/keep.txt"), "keep");
    writeFile(outside + QStringLiteral("/sub/keep2.txt"), "keep2");
    writeFile(sandbox::home() + QStringLiteral("/letter.txt"), "dear");
    ASSERT_TRUE(QFile::link(outside, install + QStringLiteral("to-outside")));
    ASSERT_TRUE(QFile::link(sandbox::home(), install + QStringLiteral("data/to-home")));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/keep.txt"), release.U(vsConfigPath) + QStringLiteral("to-file")));
    ASSERT_TRUE(QFile::link(outside, release.U(vsProgramsGroup) + QStringLiteral("to-outside")));
    writeFile(install + QStringLiteral("readonly.dat"));
    QFile::setPermissions(install + QStringLiteral("readonly.dat"), QFile::ReadOwner);
    QFile::setPermissions(install + QStringLiteral("data/level"), QFile::ReadOwner | QFile::ExeOwner);

    const QString elsewhere = outside + QStringLiteral("/Vorlen.exe");
    QProcess inside, outsider;
    bool folderWasThereAtItsEnd = false;
    QObject::connect(&inside, &QProcess::finished, [&] { folderWasThereAtItsEnd = QFileInfo::exists(install); });
    for (auto [process, exe] : {std::pair{&inside, release.U(vsRunExe)}, std::pair{&outsider, elsewhere}}) {
        QFile::remove(exe);
        ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), exe));
        process->start(exe, {QStringLiteral("300")});
        ASSERT_TRUE(process->waitForStarted());
    }

    const QByteArray log = runUninstaller({click(QStringLiteral("btnUninstall")), exitDonePage()});

    for (QProcess* process : {&inside, &outsider}) {
        const bool ended = process->state() == QProcess::NotRunning || process->waitForFinished(5000);
        EXPECT_TRUE(ended);
        EXPECT_EQ(process->exitStatus(), QProcess::CrashExit);
        if (!ended)
            process->kill();
    }
    EXPECT_TRUE(folderWasThereAtItsEnd);
    EXPECT_EQ(tracesOf(false), "");
    EXPECT_EQ(readFile(outside + QStringLiteral("/keep.txt")), "keep");
    EXPECT_EQ(readFile(outside + QStringLiteral("/sub/keep2.txt")), "keep2");
    EXPECT_TRUE(QFileInfo(elsewhere).isExecutable());
    EXPECT_EQ(readFile(sandbox::home() + QStringLiteral("/letter.txt")), "dear");
    EXPECT_TRUE(QFileInfo(sandbox::desktop()).isDir());
    EXPECT_FALSE(log.contains("ERROR")) << log.toStdString();
}

// A closed window ends no removal: the window stays on screen until the removal has run
// to its end, and the done page's wait returns.
TEST(Uninstall, ClosingTheWindowDuringTheRemovalLetsItFinish)
{
    skipWhenTerminating();
    installEdition(false);
    installEdition(true);
    const QString logFile = sandbox::tmp() + QStringLiteral("/Vorlen_Setup_Uninstall.log");
    bool shownAfterClose = false;
    const QByteArray log = runUninstaller({click(QStringLiteral("btnUninstallBeta")),
                                           closeWindowWhenLogged(logFile, "[CStringManager] Create: True", &shownAfterClose)});

    EXPECT_TRUE(shownAfterClose) << "a closed window must not look like a finished removal";
    EXPECT_TRUE(inOrder(log, removalLines(true) << QStringLiteral("[CUnInstallation] End Main")
                                                << QStringLiteral("[CUnInstallation] Run - End")));
    EXPECT_EQ(tracesOf(true), "");
    EXPECT_EQ(tracesOf(false), kComplete);
}
