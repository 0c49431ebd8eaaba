#pragma once
// The switches of an unattended run ("-silent"), read once at start-up, and the exit
// codes by which such a run tells the calling script how it ended.

#include <QString>
#include <QStringList>

enum TExitCode : int {
    ecDone = 0,
    ecFailed = 1,
    ecUsage = 2,
    ecLicenceNotAccepted = 3,
    ecCancelled = 4,
    ecAnotherRunActive = 5,
};

struct TUnattendedOptions {
    bool Silent = false;
    // "en_GB" or "ru_RU"; empty: the language the system suggests.
    QString Lang;
    bool AcceptEula = false;
    // Absolute folder of the local package to prepare; empty: install here.
    QString PackageFolder;
    bool DesktopIcon = false;
    bool NoRun = false;
    // The edition an unattended removal removes: false release, true beta.
    bool BetaEdition = false;
    // Progress on standard error also when it is no terminal.
    bool Progress = false;
    // An update: nothing is fetched when the installed edition is the server's release.
    bool Update = false;
    // Why the switches cannot start an unattended run; empty when they can.
    QString UsageError;
};

// Reads the unattended switches; `uninstallNow` asks for the edition switch a removal needs.
// Without "-silent" nothing else is read and no usage error arises.
TUnattendedOptions ParseUnattendedOptions(const QStringList& arguments, bool uninstallNow);
// "-help" or "-?".
bool HelpRequested(const QStringList& arguments);
// The text "-help" prints: every switch of the program.
QString SwitchesHelp();

// The switches of this run; set by start-up before the run begins.
extern TUnattendedOptions gUnattended;
