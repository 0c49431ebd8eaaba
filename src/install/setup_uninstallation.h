#pragma once
// The uninstaller. The installed "uninstall.exe" (a copy of the setup) cannot delete
// the folder it runs from, so it copies itself to the temporary folder and starts
// that copy with "-uninstallnow"; the copy asks which installed edition to remove
// and removes its processes, installation key value, shortcuts, install folder and
// configuration folder on a removal thread, while the window stays responsive.

#include "app/setup_core.h"
#include "install/background_job.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// The removal's pauses in milliseconds: the longest wait for ended application
// processes to be gone, and the pause after each removal step. Tests shorten them.
extern std::atomic<int> gRemovalKillWaitMs;
extern std::atomic<int> gRemovalStepPauseMs;

class CBaseUnInstallation : public CSetupCore {
public:
    CBaseUnInstallation();
    virtual ~CBaseUnInstallation();
    CBaseUnInstallation(const CBaseUnInstallation&) = delete;
    CBaseUnInstallation& operator=(const CBaseUnInstallation&) = delete;

protected:
    // The edition to remove: true for the beta; set once the user has chosen.
    bool IsBetaUninstall = false;
    // The paths of the edition to remove; absent until the removal starts.
    std::unique_ptr<CStringManager> CStr;
};

class CUnInstallation;

// Shared by the main thread and the removal thread until both are done with it.
struct UninstallJob : TJobRecord {
    CUnInstallation* Self = nullptr;
};

class CUnInstallation : public CBaseUnInstallation {
public:
    // Sets the window caption to uninstall string 0.
    CUnInstallation();

    // rmUninstallCopyToTemp: copies the running executable to the temporary folder as
    // "vrn-uninstall.exe" and starts it with "-uninstallnow" without waiting for it.
    // Throws EFCreateError when the copy cannot be written, EOSError when it cannot be started.
    static void CopyUninstallAndRun();
    // rmUninstallNow: the uninstall script on the already shown main window.
    static void Run();

    void Main();
    // An edition counts as installed exactly when its install folder exists.
    bool BetaInstalled();
    bool ReleaseInstalled();
    // Runs the removal of the chosen edition on its own thread and waits for it. The
    // wait ends only when the removal has finished, also once the window is closed.
    void uninstall();

    // The removal steps, run on the removal thread.
    void RemoveInstallationKey();
    void RemoveDesktopLink();
    void RemoveTaskbarIcon();
    void RemoveProgramsLinks();
    void RemoveFilesAndConfig();

private:
    void RemovalSteps();
    // Runs one removal step; an error in it is logged and the removal goes on.
    void RunStep(const QString& name, void (CUnInstallation::*step)());
    void DeleteFolders(const QStringList& folders, QStringList left = {});
    static QStringList DeleteFolderEntries(const QString& folder);
    static QStringList PutBackLeftovers(const QString& aside, const QString& install, QStringList left);
    // One ERROR line naming everything the removal had to leave, when anything.
    void ReportLeftBehind();

    // What the removal could not delete; written and read by the removal thread only.
    QStringList FLeftBehind;
};
