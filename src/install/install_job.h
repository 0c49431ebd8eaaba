#pragma once
// The install job: on a worker thread it ends the running copies of the application,
// creates the product folders, unpacks the setup archive, places the uninstaller,
// writes the installed configuration and creates the shortcuts. The main thread
// meanwhile pumps its messages. A job that fails logs an ERROR line and still reports
// itself done, so that no wait for it hangs.

#include "app/setup_core.h"
#include "install/background_job.h"
#include "archive/delta_plan.h"
#include "archive/streaming_extraction.h"
#include "net/setup_config.h"
#include "platform/platform_errors.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// How long the job waits at most for ended application processes to be gone, in milliseconds.
// Tests shorten it.
extern std::atomic<int> gKillPauseMs;

class ZipArchive;

// The job record shared by the waiting main thread and the worker. Every input is a
// copy taken before the worker starts; the worker writes ReturnValue before done.
struct InstallJob : TJobRecord {
    explicit InstallJob(const CStringManager& paths) : CStr(paths) {}

    CStringManager CStr;
    TInstallationOptions Options;
    bool BetaMode = false;
    QString LangID;
    // The four shortcut names: run, uninstall, web site, command-line documentation.
    QStringList Shortcuts;
    QString WorkFolder;         // the run's work folder (the source's baseTemp), holding "vrnsetup.zip"
    QString LInstallerExeName;  // the running setup, copied as the uninstaller
    QString ProductSiteUrl = ::ProductSiteUrl();
    int gReleaseNumber = 0;
    // The executable name whose running processes are ended before the swap.
    QString ApplicationExeName = QStringLiteral("Vorlen.exe");
    // The translated text for too little disk space, with %1 needed and %2 free MB.
    QString NotEnoughSpaceText;
    // The translated text for an entry of the user's that an update cannot take along (%1).
    QString NotCarriedText;
    // Written by the worker before done: what the user is told when the job failed for
    // a reason of their own to mend (empty: the failure page alone).
    QString FailureText;
    // The archive unpacked while it downloaded, taken instead of extracting it again
    // when it is exactly the archive that passed the checks (none: extracted as always).
    std::shared_ptr<StreamingExtraction> Streamed;
    // "vrnsetup.zip" as its check opened it (none: the job opens it).
    std::shared_ptr<ZipArchive> Archive;
    // An update that fetched only what changed: the new tree is made of the installed
    // files and the changed entries in "vrnsetup.zip" (none: the whole archive).
    std::shared_ptr<const TDeltaPlan> Delta;
};

// The disk does not have room for the new tree; the message names both figures.
VRN_DECLARE_ERROR(ENotEnoughSpace, EInOutError)


// The job's steps on the calling thread, with their log lines; raises on the first
// failure. The new release is built in a staging folder beside the install folder while
// the application may still run; the running copies are ended just before the staging
// folder takes the install folder's place in one step. Until then a failure (or a kill)
// leaves the previous installation as it was; the configuration, the key and the links
// follow the swap. What a killed run left is removed first.
void RunInstallSteps(InstallJob& job);

// Runs the job on a worker thread named "Installing" and pumps the main thread's
// messages until it is done. When the program is terminating meanwhile, sets
// gCancelled and returns false at once (the worker finishes on its own).
bool RunInstallJobAndWait(const std::shared_ptr<InstallJob>& job);
