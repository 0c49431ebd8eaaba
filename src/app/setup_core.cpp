#include "app/setup_core.h"

#include "app/application_extended.h"
#include "app/setup_logging.h"
#include "platform/platform.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

std::atomic<bool> gUserActed{false};
std::atomic<bool> gCancelled{false};
QString gUserChoice;

QString BoolToStr(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

// ---- pump and waits -----------------------------------------------------------------

namespace {

std::atomic<bool> terminating{false};
std::function<void()> waitHook;

// Watches the windows marked as main for their close.
class MainWindowWatcher final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close)
            terminating = true;
        return QObject::eventFilter(watched, event);
    }
};

MainWindowWatcher& watcher()
{
    static MainWindowWatcher* const instance = new MainWindowWatcher;
    return *instance;
}

// Bounds a pump step once terminating: a step still returns at once when something is
// pending, and a wait for a worker polls every 20 ms instead of spinning the processor.
void armTerminatingTick()
{
    static QPointer<QTimer> tick;
    if (!tick) {
        tick = new QTimer(QCoreApplication::instance());
        tick->setSingleShot(true);
    }
    tick->start(20);
}

}  // namespace

void CSetupCore::MarkAsMainWindow(QWidget* window)
{
    window->installEventFilter(&watcher());
}

bool CSetupCore::IsTerminating()
{
    return terminating;
}

void CSetupCore::Terminate()
{
    terminating = true;
    WakeMainThread();
}

void CSetupCore::WakeMainThread()
{
    if (QCoreApplication* app = QCoreApplication::instance()) {
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(app->thread()))
            dispatcher->wakeUp();
    }
}

void CSetupCore::ProcessOneMessage()
{
    // Errors raised by handlers are shown and swallowed by the application object.
    // Once the program is terminating no step waits longer than a short tick, so that
    // a script that is being closed runs through its remaining waits.
    if (IsTerminating())
        armTerminatingTick();
    try {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    } catch (const std::exception& error) {
        ShowException(errorClassName(error), errorMessage(error));
    }
}

void CSetupCore::SetWaitHook(std::function<void()> hook)
{
    waitHook = std::move(hook);
}

void CSetupCore::WaitForUserAction()
{
    Logger().Info(QStringLiteral("[CSetupCore] WaitForUserAction"));
    gUserActed = false;
    if (waitHook)
        waitHook();
    for (;;) {
        ProcessOneMessage();
        if (IsTerminating()) {
            gCancelled = true;
            return;
        }
        if (gUserActed)
            return;
    }
}

bool CSetupCore::CreateLink(const QString& PathObj, const QString& PathLink, const QString& Desc,
                            const QString& Param, const platform::ShellLinkLook& look)
{
    const QString line = QStringLiteral("[CSetupCore] CreateLink: ") + PathObj + QStringLiteral(", ") + PathLink
                         + QStringLiteral(", ") + Desc + QStringLiteral(", ") + Param;
    Logger().Info(line);
    const bool saved = platform::writeShellLink(PathObj, PathLink, Desc, Param, look);
    Logger().Info(line + QStringLiteral(", Result: ") + BoolToStr(saved));
    return saved;
}

// ---- product paths ------------------------------------------------------------------------

CStringManager::CStringManager(bool UseBetaMode)
{
    Logger().Info(QStringLiteral("[CStringManager] Create: ") + BoolToStr(UseBetaMode));
    FWindowsDesktopPath = SpecialFolderPath(16);
    FWindowsProgramsMenuPath = SpecialFolderPath(2);
    FUserRoamingAppDataPath = SpecialFolderPath(26);
    FUserLocalAppDataPath = SpecialFolderPath(28);
    FBetaMode = UseBetaMode;
}

namespace {

const QString sep{QLatin1Char(platform::PathSeparator)};

QString productFolder(bool beta)
{
    return (beta ? QStringLiteral("Vorlen-beta") : QStringLiteral("Vorlen")) + sep;
}

QString installFolder(const QString& localRoot, bool beta)
{
    return localRoot + QStringLiteral("Ostrelle") + sep + QStringLiteral("Apps") + sep + productFolder(beta);
}

}  // namespace

QString CStringManager::U(TVersionString Index) const
{
    const QString install = installFolder(FUserLocalAppDataPath, FBetaMode);
    const QString config = FUserRoamingAppDataPath + QStringLiteral("Ostrelle") + sep + productFolder(FBetaMode);
    const QString productName = FBetaMode ? QStringLiteral("Vorlen BETA") : QStringLiteral("Vorlen");
    switch (Index) {
    case vsDesktopLink: return FWindowsDesktopPath + productName + platform::LinkExtension;
    case vsProgramsGroup: return FWindowsProgramsMenuPath + productName + sep;
    case vsInstallPath: return install;
    case vsConfigPath: return config;
    case vsRunExe: return install + QStringLiteral("Vorlen.exe");
    case vsUninstallTool: return install + QStringLiteral("uninstall.exe");
    case vsCommandLineTxt: return install + QStringLiteral("command line.txt");
    case vsAppCoreXML: return install + QStringLiteral("Core.xml");
    case vsAppConfigXML: return config + QStringLiteral("Application.xml");
    }
    return {};
}

QString CStringManager::InstalledExePath(bool bBeta)
{
    return installFolder(SpecialFolderPath(28), bBeta);
}
