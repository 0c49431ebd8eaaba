#include "setup/setup_application.h"

#include "app/application_extended.h"
#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "i18n/setup_translator.h"
#include "install/setup_installation.h"
#include "install/setup_uninstallation.h"
#include "platform/platform.h"
#include "ui/answer_policy.h"
#include "ui/main_window.h"

std::unique_ptr<TApplication> CSetup::application;
std::unique_ptr<TAnswerPolicy> CSetup::answers;
int CSetup::exitCode = 0;
std::unique_ptr<platform::FileLock> CSetup::runLock;

namespace {

// A setup that starts a newer one (or the removal's copy) ends a moment later: the
// successor waits that long for the lock before it gives up.
constexpr int RunLockWaitMs = 5000;

// The lock beside the work folders: one run per user installs or removes at a time.
std::unique_ptr<platform::FileLock> lockTheRun()
{
    return platform::FileLock::acquire(TempFolder(false) + QStringLiteral("Vorlen Setup.lock"), RunLockWaitMs);
}

bool isRussianSpeakingSystem(quint16 langId)
{
    return langId == 0x0419 || langId == 0x0422 || langId == 0x0423;
}

bool betaStreamRequested()
{
    QString value;
    return GetCmdLineSwitchValue(QStringLiteral("stream"), value) && value == QLatin1String("beta");
}

}  // namespace

TRunMode GetRunMode()
{
    if (HasCmdLineSwitch(QStringLiteral("uninstallnow")))
        return rmUninstallNow;
    if (HasCmdLineSwitch(QStringLiteral("uninstall")))
        return rmUninstallCopyToTemp;
    if (AsciiLowerCase(platform::executableFileName()).contains(QLatin1String("uninstall")))
        return rmUninstallCopyToTemp;
    return rmInstall;
}

QString LogFileName(TRunMode mode)
{
    switch (mode) {
    case rmUninstallCopyToTemp: return QStringLiteral("Vorlen_Setup_Uninstall_CopyToTemp.log");
    case rmUninstallNow: return QStringLiteral("Vorlen_Setup_Uninstall.log");
    case rmInstall: break;
    }
    return QStringLiteral("Vorlen_Setup_Install.log");
}

void CSetup::Initialize(int& argc, char** argv)
{
    platform::setCurrentThreadName(QStringLiteral("Main"));
    application = std::make_unique<TApplication>(argc, argv);
    // Closing the main window ends the run; a hidden window never keeps it alive.
    QApplication::setQuitOnLastWindowClosed(false);
    // a session that ends the program ends it like a closed window: the script stops at
    // its next wait and the work folder is removed
    platform::onTerminationRequest([] { CSetupCore::Terminate(); });
    gBetaMode = betaStreamRequested();
    CTranslator::SetBetaMode(gBetaMode);  // the text macros name the edition
    const QString title = gBetaMode ? QStringLiteral("Vorlen Setup [BETA]") : QStringLiteral("Vorlen Setup");
    platform::setApplicationTitle(title);
    gSystemLangAlias = isRussianSpeakingSystem(platform::systemDefaultLangId()) ? QStringLiteral("ru_RU")
                                                                                  : QStringLiteral("en_GB");
    gRunMode = GetRunMode();
    // before anything is written, so that nothing lands beside a folder the name points to
    platform::checkUserFolderNames();
    // the copy that only starts the removal touches no work folder; every other run
    // waits its turn, and a run that does not get it writes nothing, not even its log
    if (gRunMode != rmUninstallCopyToTemp) {
        runLock = lockTheRun();
        if (!runLock)
            return;
    }
    Logger().Start(TempFolder(false) + LogFileName(gRunMode));
    Logger().Info(QStringLiteral("CSetup Version: ") + QString::number(SetupVersion));
    Logger().Info(gBetaMode ? QStringLiteral("BETA MODE") : QStringLiteral("RELEASE MODE"));
    Logger().Info(QStringLiteral("AliasForSystemLang: ") + gSystemLangAlias);
}

void CSetup::Main()
{
    if (gRunMode != rmUninstallCopyToTemp && !runLock) {
        reportAnotherRun();
        return;
    }
    Logger().Info(QStringLiteral("[CSetup] Main - Start"));
    runScriptOfMode();
    clearTemp();
    if (answers) {
        exitCode = answers->Finish();
        answers.reset();
    }
    Logger().Info(QStringLiteral("[CSetup] Main - End"));
}

// The scripts of the three run modes: the uninstaller copy (no window), or the
// main window with the install or the uninstall script.
void CSetup::runScriptOfMode()
{
    if (gRunMode == rmUninstallCopyToTemp) {
        CUnInstallation::CopyUninstallAndRun();
        return;
    }
    TMainWindow* window = CreateMainWindow(gSystemLangAlias);
    // an unattended run answers its pages itself; its window is never shown
    if (gUnattended.Silent)
        answers = std::make_unique<TAnswerPolicy>(gUnattended);
    else
        window->show();
    if (gRunMode == rmInstall)
        CInstallation::Run();
    else
        CUnInstallation::Run();
}

// Says that another setup is at work, without touching its log or its work folder.
void CSetup::reportAnotherRun()
{
    CreateMainWindow(gSystemLangAlias);
    const QString text = MainWindow->InstallString(40);
    if (gUnattended.Silent) {
        ReportOnStandardError(text);
        exitCode = ecAnotherRunActive;
        return;
    }
    ShowMessageBox(MainWindow, MainWindow->InstallString(35), text, platform::MB_ICONWARNING);
}

int CSetup::ExitCode()
{
    return exitCode;
}

void CSetup::Finalize()
{
    runLock.reset();
    delete MainWindow;
    MainWindow = nullptr;
    application.reset();
}

void CSetup::clearTemp()
{
    Logger().Info(QStringLiteral("[CSetup] clearTemp"));
    platform::deleteTree(TempFolder(true));
}
