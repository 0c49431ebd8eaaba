#include "install/install_job.h"

#include "app/setup_logging.h"
#include "install/desktop_integration.h"
#include "install/installed_configuration.h"
#include "install/zip_archive.h"
#include "net/setup_source.h"
#include "platform/platform.h"

#include <QFile>

#include <chrono>
#include <thread>

std::atomic<int> gKillPauseMs{2000};

namespace {

void step(const QString& text)
{
    Logger().Info(QStringLiteral("[CInstallation] Install -> ") + text);
}

void makeFolder(const QString& path)
{
    if (!platform::forceDirectories(path))
        throw fileCreateError(path, QStringLiteral("The folder cannot be created."));
}

// The menu entry and the start after the install run the application, whatever mode
// the archive gave it.
void makeExecutable(const QString& path)
{
    if (!QFile::exists(path))
        return;
    const QFile::Permissions mode = QFile::permissions(path);
    QFile::setPermissions(path, mode | QFile::ExeOwner | QFile::ExeUser
                                    | (mode & QFile::ReadGroup ? QFile::ExeGroup : QFile::Permissions())
                                    | (mode & QFile::ReadOther ? QFile::ExeOther : QFile::Permissions()));
}

void extractArchive(const InstallJob& job)
{
    step(QStringLiteral("Open and extract ZIP archive"));
    const QString archive = TSource::UseIn(job.WorkFolder, QStringLiteral("vrnsetup.zip"));
    // the archive passed this test just before; one that fails it now is skipped
    if (ZipArchive::IsValid(archive))
        ZipArchive(archive).ExtractTo(job.CStr.U(vsInstallPath));
    makeExecutable(job.CStr.U(vsRunExe));
    step(QStringLiteral("ZIP archive excracted"));
}

void makeUninstaller(const InstallJob& job)
{
    step(QStringLiteral("Make uninstall exe"));
    const QString target = job.CStr.U(vsUninstallTool);
    if (!platform::copyFile(job.LInstallerExeName, target))
        throw EInOutError(QStringLiteral("Cannot copy \"%1\" to \"%2\".").arg(job.LInstallerExeName, target));
}

void CreateMenuLinks(const InstallJob& job)
{
    const QString group = job.CStr.U(vsProgramsGroup);
    platform::forceDirectories(group);
    const struct {
        QString target;
        QString arguments;
    } links[] = {
        {job.CStr.U(vsRunExe), QString()},
        {job.CStr.U(vsUninstallTool), QStringLiteral("-uninstall")},
        {job.ProductSiteUrl, QString()},
        {job.CStr.U(vsCommandLineTxt), QString()},
    };
    const platform::ShellLinkLook look = ProductLinkLook(job.CStr, ProductMenuTitle(job.CStr));
    for (int i = 0; i < 4; ++i)
        CSetupCore::CreateLink(links[i].target, group + job.Shortcuts.value(i) + platform::LinkExtension,
                               QString(), links[i].arguments, look);
    IntegrateWithDesktop(job.CStr);
}

void CreateDesktopLink(const InstallJob& job)
{
    if (job.Options.CreateDesktopIcon)
        CreateDesktopEntry(job.CStr, job.Shortcuts.value(0));
}

// The option is collected on every system, but Linux desktops offer no interface
// through which a program could pin itself, so nothing is done.
void PinToTaskbar(const InstallJob&) {}

void runSteps(InstallJob& job)
{
    step(QStringLiteral("Kill all runned Vorlen.exe"));
    platform::killUserProcesses(job.ApplicationExeName, gKillPauseMs.load());

    step(QStringLiteral("Create all directories"));
    makeFolder(job.CStr.U(vsInstallPath));
    makeFolder(job.CStr.U(vsConfigPath));

    extractArchive(job);
    makeUninstaller(job);

    step(QStringLiteral("Make Core xml"));
    MakeCoreXML(job.CStr.U(vsAppCoreXML), job.CStr.U(vsInstallPath), job.gReleaseNumber, job.BetaMode);
    std::this_thread::yield();
    step(QStringLiteral("Make Config xml"));
    MakeConfigXML(job.CStr.U(vsAppConfigXML), job.CStr.U(vsInstallPath), job.LangID);
    std::this_thread::yield();

    step(QStringLiteral("Create Links"));
    CreateMenuLinks(job);
    CreateDesktopLink(job);
    PinToTaskbar(job);
    step(QStringLiteral("Done"));
}

}  // namespace

void RunInstallSteps(InstallJob& job)
{
    step(QStringLiteral("Begin install"));
    runSteps(job);
}

bool RunInstallJobAndWait(const std::shared_ptr<InstallJob>& job)
{
    job->done = false;
    job->ReturnValue = false;
    StartJobWorker(job, QStringLiteral("Installing"), QStringLiteral("[CInstallation] Install: "), [job] {
        RunInstallSteps(*job);
        job->ReturnValue = true;
    });
    return WaitForJob(*job);
}
