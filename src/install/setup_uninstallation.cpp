#include "install/setup_uninstallation.h"

#include "app/application_extended.h"
#include "app/setup_logging.h"
#include "install/crash_point.h"
#include "install/installed_configuration.h"
#include "install/staged_tree.h"
#include "platform/platform.h"
#include "ui/main_window.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <chrono>
#include <thread>

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

// Looks at the entry itself (a folder path without its trailing separator), so that a
// link counts as an entry even when what it points to is gone.
bool EntryExists(const QString& path)
{
    QString entryPath = path;
    while (entryPath.size() > 1 && entryPath.endsWith(QLatin1Char(platform::PathSeparator)))
        entryPath.chop(1);
    const QFileInfo entry(entryPath);
    return entry.exists() || entry.isSymLink();
}

// Deletes a product folder (link-safe, read-only entries too). An entry that cannot be
// deleted is skipped; the folder is then named among the leftovers.
void DeleteFolder(const QString& folder, QStringList& leftovers)
{
    if (!EntryExists(folder))
        return;
    platform::deleteTree(folder);
    if (EntryExists(folder))
        leftovers << folder;
}

void ThrowIfLeftOver(const QStringList& leftovers)
{
    if (!leftovers.isEmpty())
        throw EInOutError(QStringLiteral("Not everything could be deleted in \"%1\"")
                              .arg(leftovers.join(QStringLiteral("\", \""))));
}

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
    while (!job->done)
        ProcessOneMessage();
}

void CUnInstallation::RemovalSteps()
{
    CrashPoint("the removal begins");
    platform::killUserProcesses(kProductExe);
    Pause(2000);  // lets the ended programs release their files
    RunStep(QStringLiteral("RemoveInstallationKey"), &CUnInstallation::RemoveInstallationKey);
    Pause(500);
    RunStep(QStringLiteral("RemoveDesktopLink"), &CUnInstallation::RemoveDesktopLink);
    Pause(500);
    RunStep(QStringLiteral("RemoveTaskbarIcon"), &CUnInstallation::RemoveTaskbarIcon);
    Pause(500);
    RunStep(QStringLiteral("RemoveProgramsLinks"), &CUnInstallation::RemoveProgramsLinks);
    Pause(500);
    RunStep(QStringLiteral("RemoveFilesAndConfig"), &CUnInstallation::RemoveFilesAndConfig);
    CrashPoint("the removal steps have run");
    Pause(500);
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

void CUnInstallation::RemoveInstallationKey()
{
    Log(QStringLiteral("RemoveInstallationKey"));
    // the key stays, with the other edition's value in it
    platform::createRegistryKey(InstallationKeyRegistryKey);
    platform::deleteRegistryValue(InstallationKeyRegistryKey, InstallationKeyValueName(IsBetaUninstall));
}

void CUnInstallation::RemoveDesktopLink()
{
    Log(QStringLiteral("RemoveDesktopLink"));
    const QString link = CStr->U(vsDesktopLink);
    if (EntryExists(link) && !QFile::remove(link))
        throw EInOutError(QStringLiteral("Cannot delete file \"%1\"").arg(link));
}

void CUnInstallation::RemoveTaskbarIcon()
{
    // the installer pins nothing to the taskbar
    Log(QStringLiteral("RemoveTaskbarIcon"));
}

void CUnInstallation::RemoveProgramsLinks()
{
    Log(QStringLiteral("RemoveProgramsLinks"));
    QStringList leftovers;
    DeleteFolder(CStr->U(vsProgramsGroup), leftovers);
    ThrowIfLeftOver(leftovers);
}

void CUnInstallation::RemoveFilesAndConfig()
{
    Log(QStringLiteral("RemoveFilesAndConfig"));
    QStringList leftovers;
    const QString install = CStr->U(vsInstallPath);
    RemoveInterruptedWork(install, kClass);
    // aside in one step first, so that a removal that ends half-way leaves the
    // installation whole or gone; where it cannot be renamed it is deleted in place
    const QString aside = RemovalFolderOf(install);
    const bool setAside = EntryExists(install) && platform::renameNoReplace(install, aside);
    CrashPoint("the installation is set aside");
    DeleteFolder(setAside ? aside : install, leftovers);
    CrashPoint("the installation is deleted");
    DeleteFolder(CStr->U(vsConfigPath), leftovers);
    CrashPoint("the configuration is deleted");
    ThrowIfLeftOver(leftovers);
}
