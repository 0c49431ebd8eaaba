#pragma once
// What both scripts stand on: one step of the main thread's message pump, the
// wait for a user action, shell links, the handshake values between pages and
// scripts, and the table of product paths of either edition.

#include "platform/platform.h"

#include <QString>

#include <atomic>
#include <functional>

class QWidget;

// ---- handshake values (main thread) --------------------------------------------------
// Set by a page button that ends a page; cleared when a wait begins.
extern std::atomic<bool> gUserActed;
// Set when the program is terminating during a wait; the install flow skips its steps then.
extern std::atomic<bool> gCancelled;
// What the page button chose ("en_GB", "CustomizedInstall", "Uninstall", ...); never cleared.
extern QString gUserChoice;

class CSetupCore {
public:
    // One step of the message pump: handles what is queued, or waits for the next
    // message. An error raised while a message is handled is shown and swallowed.
    static void ProcessOneMessage();
    // Pumps until a page button acts or the program is terminating (then gCancelled is set).
    static void WaitForUserAction();
    // Writes a link file at PathLink to PathObj (a file or a web address), showing
    // itself as `look` says.
    static bool CreateLink(const QString& PathObj, const QString& PathLink, const QString& Desc,
                           const QString& Param, const platform::ShellLinkLook& look = {});

    // Closing a window marked as main puts the program into the terminating state.
    static void MarkAsMainWindow(QWidget* window);
    static bool IsTerminating();
    // Puts the program into the terminating state, as closing the main window does.
    static void Terminate();
    // Called by a worker after it set its done flag, so that a pumping wait notices it.
    static void WakeMainThread();
    // Runs `hook` on the main thread each time a wait for a user action begins, before
    // its first pump step; an unattended run answers the page from there. Empty: none.
    static void SetWaitHook(std::function<void()> hook);
};

// ---- product paths ---------------------------------------------------------------------
enum TVersionString : unsigned char {
    vsDesktopLink,
    vsProgramsGroup,
    vsInstallPath,
    vsConfigPath,
    vsRunExe,
    vsUninstallTool,
    vsCommandLineTxt,
    vsAppCoreXML,
    vsAppConfigXML,
};

struct TInstallationOptions {
    bool CreateDesktopIcon = false;
    bool PinInTaskBar = false;
    bool RunAfterInstall = true;
};

// Every place where an edition of the product lives, from the user's shell
// folders at the moment of construction. Immutable; readable from any thread.
class CStringManager {
public:
    explicit CStringManager(bool UseBetaMode);
    virtual ~CStringManager() = default;

    QString U(TVersionString Index) const;
    // The installation folder of an edition, from the shell folders of this moment.
    static QString InstalledExePath(bool bBeta);

private:
    QString FWindowsDesktopPath;
    QString FWindowsProgramsMenuPath;
    QString FUserRoamingAppDataPath;
    QString FUserLocalAppDataPath;
    bool FBetaMode;
};

// "True" or "False", as the log writes Booleans.
QString BoolToStr(bool value);
