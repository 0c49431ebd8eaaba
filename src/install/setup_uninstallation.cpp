#include "install/setup_uninstallation.h"

#include "app/application_extended.h"
#include "app/setup_logging.h"
#include "app/crash_point.h"
#include "install/desktop_integration.h"
#include "install/installed_configuration.h"
#include "install/staged_tree.h"
#include "platform/platform.h"
#include "ui/main_window.h"

#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStringList>

#include <chrono>
#include <thread>

std::atomic<int> gRemovalKillWaitMs{2000};
std::atomic<int> gRemovalStepPauseMs{500};

namespace {

const QString kClass = QStringLiteral("[CUnInstallation] ");
// Both editions run under this executable name.
const QString kProductExe = QStringLiteral("Vorlen.exe");

void Log(const QString& text)
{
    Logger().Info(kClass + text);
}

void Pause(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// At most `shown` items are named, so that a tree of undeletable files gives a readable line.
QString quotedList(const QStringList& items, qsizetype shown = 20)
{
    QString text = QLatin1Char('"') + items.mid(0, shown).join(QStringLiteral("\", \"")) + QLatin1Char('"');
    if (items.size() > shown)
        text += QStringLiteral(" and %1 more").arg(items.size() - shown);
    return text;
}

// Keeps the window on screen while a removal runs, since a closed window would look
// like a finished removal. The close still puts the program into the terminating state,
// so the done page's wait returns at once.
class KeepShownWhileRemoving final : public QObject {
public:
    explicit KeepShownWhileRemoving(QWidget* window) : m_window(window)
    {
        if (m_window)
            m_window->installEventFilter(this);
    }
    ~KeepShownWhileRemoving() override
    {
        if (m_window)
            m_window->removeEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::Close)
            return false;
        CSetupCore::Terminate();
        event->ignore();
        return true;
    }

private:
    QPointer<QWidget> m_window;
};

}  // namespace

// ---- the two objects ---------------------------------------------------------------------

CBaseUnInstallation::CBaseUnInstallation()
{
    Log(QStringLiteral("Create"));
}

CBaseUnInstallation::~CBaseUnInstallation()
{
    Log(QStringLiteral("Destroy"));
}

CUnInstallation::CUnInstallation()
{
    if (MainWindow)
        MainWindow->setWindowTitle(MainWindow->UninstallString(0));
}

// ---- the first process: the copy in the temporary folder -----------------------------------

void CUnInstallation::CopyUninstallAndRun()
{
    const QString target = TempFolder(false) + QStringLiteral("vrn-uninstall.exe");
    if (!platform::copyFile(platform::executablePath(), target))
        throw fileCreateError(target, QStringLiteral("The uninstaller could not be copied."));
    // a copy that does not start would end this run as if the removal were under way
    if (!platform::startDetached(target, {QStringLiteral("-uninstallnow")}))
        throw EOSError(QStringLiteral("The uninstaller \"%1\" could not be started.").arg(target));
}

// ---- the second process: the uninstall script ------------------------------------------------

void CUnInstallation::Run()
{
    Log(QStringLiteral("Run - Begin"));
    {
        CUnInstallation uninstallation;
        uninstallation.Main();
    }
    Log(QStringLiteral("Run - End"));
}

void CUnInstallation::Main()
{
    Log(QStringLiteral("Main"));
    MainWindow->HidePage();
    const bool bShowBetaButton = BetaInstalled();  // logged before the release edition
    const bool bCanUninstall = ReleaseInstalled();
    MainWindow->page_UninstallFirstPage(bCanUninstall, bShowBetaButton);
    WaitForUserAction();
    if (gUserChoice == QLatin1String("Uninstall") || gUserChoice == QLatin1String("Uninstall-Beta")) {
        MainWindow->HidePage();
        MainWindow->page_UninstallProgress();
        IsBetaUninstall = gUserChoice == QLatin1String("Uninstall-Beta");
        uninstall();
        MainWindow->HidePage();
        MainWindow->page_UninstallDone();
        WaitForUserAction();
    }
    Log(QStringLiteral("End Main"));
}

bool CUnInstallation::BetaInstalled()
{
    const bool installed = QFileInfo(CStringManager::InstalledExePath(true)).isDir();
    Log(QStringLiteral("BetaInstalled: ") + BoolToStr(installed));
    return installed;
}

bool CUnInstallation::ReleaseInstalled()
{
    const bool installed = QFileInfo(CStringManager::InstalledExePath(false)).isDir();
    Log(QStringLiteral("ReleaseInstalled: ") + BoolToStr(installed));
    return installed;
}

void CUnInstallation::uninstall()
{
    auto job = std::make_shared<UninstallJob>();
    job->Self = this;
    Log(QStringLiteral("uninstall"));
    job->done = false;
    CStr = std::make_unique<CStringManager>(IsBetaUninstall);
    StartJobWorker(job, QStringLiteral("Uninstalling"), kClass + QStringLiteral("uninstall: "),
                   [self = job->Self] { self->RemovalSteps(); });
    // Unlike the other waits, this one outlasts a closed window: a removal is never
    // left half done.
    const KeepShownWhileRemoving keepShown(MainWindow);
    while (!job->done)
        ProcessOneMessage();
}

void CUnInstallation::RemovalSteps()
{
    CrashPoint("the removal begins");
    // waits only while an ended program is still alive, so that its files are free
    platform::killUserProcesses(kProductExe, gRemovalKillWaitMs.load());
    const struct {
        const char* name;
        void (CUnInstallation::*step)();
    } steps[] = {
        {"RemoveInstallationKey", &CUnInstallation::RemoveInstallationKey},
        {"RemoveDesktopLink", &CUnInstallation::RemoveDesktopLink},
        {"RemoveTaskbarIcon", &CUnInstallation::RemoveTaskbarIcon},
        {"RemoveProgramsLinks", &CUnInstallation::RemoveProgramsLinks},
        {"RemoveFilesAndConfig", &CUnInstallation::RemoveFilesAndConfig},
    };
    for (const auto& step : steps) {
        RunStep(QString::fromLatin1(step.name), step.step);
        if (step.step == &CUnInstallation::RemoveFilesAndConfig)
            CrashPoint("the removal steps have run");
        Pause(gRemovalStepPauseMs.load());
    }
    ReportLeftBehind();
}

void CUnInstallation::RunStep(const QString& name, void (CUnInstallation::*step)())
{
    CrashPoint("a removal step begins");
    const QString prefix = kClass + name + QStringLiteral(": ");
    try {
        (this->*step)();
    } catch (const std::exception& error) {
        Logger().Error(prefix + errorText(error));
    }
}

// ---- the removal steps ----------------------------------------------------------------------------

void CUnInstallation::ReportLeftBehind()
{
    if (!FLeftBehind.isEmpty())
        Logger().Error(kClass + QStringLiteral("uninstall: ")
                       + errorText(EInOutError(QStringLiteral("Left behind: ") + quotedList(FLeftBehind))));
}

void CUnInstallation::RemoveInstallationKey()
{
    Log(QStringLiteral("RemoveInstallationKey"));
    const QString valueName = InstallationKeyValueName(IsBetaUninstall);
    // the key stays, with the other edition's value in it
    platform::createRegistryKey(InstallationKeyRegistryKey);
    try {
        platform::deleteRegistryValue(InstallationKeyRegistryKey, valueName);
    } catch (const ERegistryException&) {
        FLeftBehind << InstallationKeyRegistryKey + valueName;  // it exists, or deleting it would not fail
        throw;
    }
}

void CUnInstallation::RemoveDesktopLink()
{
    Log(QStringLiteral("RemoveDesktopLink"));
    const QString link = CStr->U(vsDesktopLink);
    if (platform::entryExists(link) && !QFile::remove(link)) {
        FLeftBehind << link;
        throw EInOutError(QStringLiteral("Cannot delete file \"%1\"").arg(link));
    }
}

void CUnInstallation::RemoveTaskbarIcon()
{
    // the installer pins nothing to the taskbar
    Log(QStringLiteral("RemoveTaskbarIcon"));
}

void CUnInstallation::RemoveProgramsLinks()
{
    Log(QStringLiteral("RemoveProgramsLinks"));
    // the menu's icon and submenu files go with the folder
    DeleteFolders({CStr->U(vsProgramsGroup)}, RemoveDesktopIntegration(*CStr));
}

void CUnInstallation::RemoveFilesAndConfig()
{
    Log(QStringLiteral("RemoveFilesAndConfig"));
    const QString install = CStr->U(vsInstallPath);
    RemoveInterruptedWork(install, kClass);
    // aside in one step first, so that a removal that ends half-way leaves the
    // installation whole or gone; where it cannot be renamed it is deleted in place
    const QString aside = RemovalFolderOf(install);
    const bool setAside = platform::entryExists(install) && platform::renameNoReplace(install, aside);
    CrashPoint("the installation is set aside");
    QStringList left = DeleteFolderEntries(setAside ? aside : install);
    if (setAside && !left.isEmpty())
        left = PutBackLeftovers(aside, install, left);
    CrashPoint("the installation is deleted");
    left << DeleteFolderEntries(CStr->U(vsConfigPath));
    CrashPoint("the configuration is deleted");
    DeleteFolders({}, left);
}

// What could not be deleted from the folder set aside (a mount of the user's inside it)
// goes back to the install folder's name, where the user put it; returns its names there.
QStringList CUnInstallation::PutBackLeftovers(const QString& aside, const QString& install, QStringList left)
{
    if (!platform::renameNoReplace(aside, install))
        return left;
    const QString asideFolder = platform::withTrailingSeparator(aside);
    for (QString& path : left) {
        if (path.startsWith(asideFolder))
            path = platform::withTrailingSeparator(install) + path.mid(asideFolder.size());
    }
    return left;
}

// Deletes a product folder (link-safe, read-only entries too, never into another mount)
// and returns what stayed.
QStringList CUnInstallation::DeleteFolderEntries(const QString& folder)
{
    return platform::entryExists(folder) ? platform::deleteTree(folder) : QStringList();
}

// Deletes product folders; raises naming what stayed, with what an earlier part of the
// step left, once every folder has been tried.
void CUnInstallation::DeleteFolders(const QStringList& folders, QStringList left)
{
    for (const QString& folder : folders)
        left << DeleteFolderEntries(folder);
    if (left.isEmpty())
        return;
    FLeftBehind << left;
    throw EInOutError(QStringLiteral("Not everything could be deleted: ") + quotedList(left));
}
