#include "install/install_job.h"

#include "app/setup_logging.h"
#include "app/crash_point.h"
#include "install/desktop_integration.h"
#include "install/installed_files.h"
#include "install/installed_configuration.h"
#include "install/staged_tree.h"
#include "archive/delta_extraction.h"
#include "archive/zip_archive.h"
#include "net/setup_source.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <future>

std::atomic<int> gKillPauseMs{2000};

namespace {

const QString StepPrefix = QStringLiteral("[CInstallation] Install -> ");

void step(const QString& text)
{
    Logger().Info(StepPrefix + text);
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

// The folders above the install folder that this run made, removed again (when empty)
// if the install fails, so that a failed first install leaves no product folders.
class MadeFolders {
public:
    void make(const QString& folder)
    {
        QStringList missing;
        for (QDir dir(folder); !dir.exists() && !dir.isRoot(); dir.setPath(QFileInfo(dir.path()).path()))
            missing.prepend(dir.path());
        makeFolder(folder);
        m_made << missing;
    }
    // Folders made for this run before the job began.
    void adopt(const QStringList& made) { m_made = made + m_made; }
    void removeEmpty() const
    {
        for (auto it = m_made.crbegin(); it != m_made.crend(); ++it)
            QDir().rmdir(*it);
    }

private:
    QStringList m_made;
};

// The staging folder holds the new tree until the swap and the old one after it: it
// goes whatever ends the job. Folders made for a tree that never came go with it.
class StagingGuard {
public:
    StagingGuard(QString staging, const MadeFolders& made, StreamingExtraction* streamed)
        : m_staging(std::move(staging)), m_made(made), m_streamed(streamed)
    {
    }
    ~StagingGuard()
    {
        platform::deleteTree(m_staging);
        if (m_streamed)
            m_streamed->Discard();
        if (!swapped)
            m_made.removeEmpty();
    }
    bool swapped = false;

private:
    QString m_staging;
    const MadeFolders& m_made;
    StreamingExtraction* m_streamed;
};

qint64 wholeMegabytes(qint64 bytes)
{
    return (bytes + (1 << 20) - 1) >> 20;
}

// Refuses before anything is written when the new tree would not fit: the entries'
// sizes (each file rounded up to a block), the uninstaller and a margin.
// The tree unpacked while the archive downloaded already holds its room: it counts as free.
constexpr qint64 Block = 4096;

qint64 roomTaken(const std::optional<std::vector<StreamedEntry>>& streamed)
{
    qint64 bytes = 0;
    for (const StreamedEntry& entry : streamed.value_or(std::vector<StreamedEntry>()))
        bytes += static_cast<qint64>(entry.size) + Block;
    return bytes;
}

void checkFreeSpace(InstallJob& job, const QString& folder, const ZipContents& contents, qint64 alreadyTaken)
{
    constexpr qint64 Margin = 16 << 20;
    const qint64 needed = contents.unpackedBytes + contents.paths.size() * Block
                          + QFileInfo(job.LInstallerExeName).size() + Margin;
    std::optional<qint64> available = platform::freeSpace(folder);
    if (available)
        *available += alreadyTaken;
    if (!available || *available >= needed)
        return;
    const qint64 neededMb = wholeMegabytes(needed);
    const qint64 freeMb = *available >> 20;
    job.FailureText = job.NotEnoughSpaceText.arg(neededMb).arg(freeMb);
    throw ENotEnoughSpace(QStringLiteral("Not enough free space in \"%1\": %2 MB are needed, %3 MB are free.")
                              .arg(folder)
                              .arg(neededMb)
                              .arg(freeMb));
}

// Whatever stands at the install folder's place is exchanged with the new tree and then
// deleted: only a folder may stand there.
void refuseFileInTheWay(const QString& installPath)
{
    if (platform::entryExists(installPath) && !QFileInfo(installPath.chopped(1)).isDir())
        throw fileCreateError(installPath, QStringLiteral("A file of that name is in the way."));
}

QString parentFolder(const QString& folder)
{
    return platform::withTrailingSeparator(QFileInfo(platform::withoutTrailingSeparator(folder)).path());
}

// A path of the install folder at its place in the staging folder.
struct StagedPaths {
    QString install;
    QString staging;
    QString of(const QString& installed) const { return staging + installed.mid(install.size()); }
    QString relative(const QString& installed) const { return installed.mid(install.size()); }
};

// The tree unpacked during the download becomes the staging folder when it is exactly
// the archive's; otherwise it goes.
bool takeStreamedTree(InstallJob& job, const ZipArchive& archive,
                      const std::optional<std::vector<StreamedEntry>>& streamed, const QString& staging)
{
    if (!streamed)
        return false;
    if (archive.Adopt(*streamed, job.Streamed->Tree())
        && platform::renameNoReplace(QDir::cleanPath(job.Streamed->Tree()), QDir::cleanPath(staging)))
        return true;
    job.Streamed->Discard();
    return false;
}

// A file the new tree shares with the old one that the application wrote to after it was
// found to be the release's (it runs until just before the swap) is not the release's:
// the update then fetches the whole archive.
void refuseTakenFilesWrittenSince(const TDeltaPlan& plan, const QString& staging)
{
    for (const TDeltaEntry& entry : plan.Entries()) {
        if (entry.isFolder || entry.changed)
            continue;
        // a copy (a file that takes another mode) was made of what was found; a link shares what was written since
        const std::optional<platform::FileStamp> now = platform::fileStamp(staging + QFile::decodeName(entry.path));
        if (!now || (now->inode == entry.installed.inode
                     && (now->size != entry.installed.size || now->modifiedNs != entry.installed.modifiedNs)))
            throw EZipError(QStringLiteral("The installed file \"%1\" changed while the update was made.").arg(entry.name));
    }
}

// What the plan places; the room it takes is that of the changed files alone.
ZipContents contentsOf(const TDeltaPlan& plan)
{
    ZipContents contents;
    for (const TDeltaEntry& entry : plan.Entries()) {
        if (entry.path.isEmpty())
            continue;
        contents.paths << QFile::decodeName(entry.path);
        if (entry.isFolder)
            continue;
        contents.digests[QFile::decodeName(entry.path)] = entry.digest;
        if (entry.changed)
            contents.unpackedBytes += static_cast<qint64>(entry.entry.size);
    }
    return contents;
}

const QString ArchiveName = QStringLiteral("vrnsetup.zip");

// Whether the archive its check opened is the one the job unpacks.
bool checkedArchiveServes(const InstallJob& job)
{
    return job.Archive && job.Archive->Path() == job.WorkFolder + ArchiveName;
}

// The uninstaller, copied on another thread while the job waits for or unpacks the tree,
// into a file without a name beside the staging folder that holds its room from the start.
class UninstallerAhead {
public:
    void start(const QString& program, const QString& folder)
    {
        m_copy = platform::UnnamedCopy(program, folder);
        // asked before the copy begins: the copy is its thread's alone until it ends
        m_reserved = m_copy.reservedBytes();
        if (m_reserved > 0)
            m_copied = std::async(std::launch::async, [this] { return m_copy.copy(); });
    }
    qint64 reservedBytes() const { return m_reserved; }
    // False when no copy was made ahead or it cannot be named.
    bool placeAt(const QString& target) { return m_copied.valid() && m_copied.get() && m_copy.nameAs(target); }

private:
    platform::UnnamedCopy m_copy;
    qint64 m_reserved = 0;
    std::future<bool> m_copied;  // goes first, waiting for the copy
};

// What the job works out on other threads while it waits for or writes the tree.
struct WorkAhead {
    std::future<ZipContents> contents;
    UninstallerAhead uninstaller;
    std::future<void> archiveFreed;
};

// The checked archive's contents, worked out while the head start writes its last entries;
// nothing when the job will open or build its archive itself.
std::future<ZipContents> contentsAhead(const InstallJob& job)
{
    if (job.Delta || !checkedArchiveServes(job))
        return {};
    return std::async(std::launch::async, [archive = job.Archive] { return archive->Contents(); });
}

// Unpacks the archive into the staging folder; a missing or unreadable archive fails the job.
ZipContents extractArchive(InstallJob& job, const StagedPaths& paths,
                           const std::optional<std::vector<StreamedEntry>>& streamed, WorkAhead& ahead)
{
    step(QStringLiteral("Open and extract ZIP archive"));
    const QString archivePath = TSource::UseIn(job.WorkFolder, ArchiveName);
    if (job.Delta) {
        ZipContents contents = contentsOf(*job.Delta);
        checkFreeSpace(job, parentFolder(paths.install), contents, ahead.uninstaller.reservedBytes());
        BuildDeltaTree(archivePath, *job.Delta, paths.install, paths.staging);
        makeExecutable(paths.of(job.CStr.U(vsRunExe)));
        step(QStringLiteral("ZIP archive excracted"));
        return contents;
    }
    QString refusal;
    std::shared_ptr<ZipArchive> archive =
        checkedArchiveServes(job) ? std::move(job.Archive) : ZipArchive::Open(archivePath, refusal);
    if (!archive)
        throw EZipError(refusal);
    // an unsafe entry fails the job here, whichever thread found it
    ZipContents contents = ahead.contents.valid() ? ahead.contents.get() : archive->Contents();
    checkFreeSpace(job, parentFolder(paths.install), contents, roomTaken(streamed) + ahead.uninstaller.reservedBytes());
    if (!takeStreamedTree(job, *archive, streamed, paths.staging))
        archive->ExtractTo(paths.staging);
    // what the archive knows of every entry takes a while to free: another thread does that
    ahead.archiveFreed = std::async(std::launch::async, [archive = std::move(archive)]() mutable { archive.reset(); });
    makeExecutable(paths.of(job.CStr.U(vsRunExe)));
    step(QStringLiteral("ZIP archive excracted"));
    return contents;
}

// The copy made ahead takes its name; without one, the uninstaller is copied now.
void makeUninstaller(const InstallJob& job, const QString& target, UninstallerAhead& ahead)
{
    step(QStringLiteral("Make uninstall exe"));
    if (!ahead.placeAt(target) && !platform::copyFile(job.LInstallerExeName, target))
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

// The user learns which of their entries keeps the update from going ahead.
void carryUserEntries(InstallJob& job, const StagedPaths& paths)
{
    try {
        CarryUserEntries(paths.install, paths.staging);
    } catch (const EUserEntryNotCarried& error) {
        job.FailureText = job.NotCarriedText.arg(error.entry());
        throw;
    }
}

void endRunningCopies(const InstallJob& job)
{
    step(QStringLiteral("Kill all runned Vorlen.exe"));
    platform::killUserProcesses(job.ApplicationExeName, gKillPauseMs.load());
}

void runSteps(InstallJob& job)
{
    const StagedPaths paths{job.CStr.U(vsInstallPath), StagingFolderOf(job.CStr.U(vsInstallPath))};
    WorkAhead ahead{contentsAhead(job), {}};
    // the head start's folder is there already: the copy runs while it finishes
    if (job.Streamed)
        ahead.uninstaller.start(job.LInstallerExeName, parentFolder(paths.install));
    // the unpacking that followed the download finishes its last entries first
    const std::optional<std::vector<StreamedEntry>> streamed =
        job.Streamed ? job.Streamed->Finish() : std::nullopt;
    RemoveInterruptedWork(paths.install, StepPrefix, streamed ? job.Streamed->Tree() : QString());
    CrashPoint("the remains of an interrupted run are gone");
    MadeFolders made;
    if (job.Streamed)
        made.adopt(job.Streamed->MadeFolders());
    StagingGuard guard(paths.staging, made, job.Streamed.get());

    step(QStringLiteral("Create all directories"));
    made.make(parentFolder(paths.install));
    if (!job.Streamed)
        ahead.uninstaller.start(job.LInstallerExeName, parentFolder(paths.install));
    made.make(job.CStr.U(vsConfigPath));
    refuseFileInTheWay(paths.install);
    const ZipContents contents = extractArchive(job, paths, streamed, ahead);
    CrashPoint("the archive is extracted");
    makeUninstaller(job, paths.of(job.CStr.U(vsUninstallTool)), ahead.uninstaller);
    CrashPoint("the uninstaller is in place");

    step(QStringLiteral("Make Core xml"));
    QString key;
    MakeCoreXML(paths.of(job.CStr.U(vsAppCoreXML)), paths.install, job.gReleaseNumber, job.BetaMode, &key);
    WriteInstalledFilesList(paths.staging,
                            contents.paths + QStringList{paths.relative(job.CStr.U(vsUninstallTool)),
                                                         paths.relative(job.CStr.U(vsAppCoreXML))},
                            contents.digests);
    carryUserEntries(job, paths);
    CrashPoint("the new tree is complete");

    endRunningCopies(job);
    // what the application wrote while the new tree was unpacked comes along too
    carryUserEntries(job, paths);
    if (job.Delta)
        refuseTakenFilesWrittenSince(*job.Delta, paths.staging);
    CrashPoint("the running copies are ended");
    step(QStringLiteral("Replace the installation"));
    platform::swapFolderInto(paths.staging, paths.install);
    guard.swapped = true;
    CrashPoint("the new tree is in place");

    step(QStringLiteral("Make Config xml"));
    MakeConfigXML(job.CStr.U(vsAppConfigXML), paths.install, job.LangID);
    WriteInstallationKey(job.BetaMode, key);
    CrashPoint("the configuration is written");

    step(QStringLiteral("Create Links"));
    CreateMenuLinks(job);
    CreateDesktopLink(job);
    PinToTaskbar(job);
    CrashPoint("the links are made");
    step(QStringLiteral("Done"));
}

}  // namespace

void RunInstallSteps(InstallJob& job)
{
    step(QStringLiteral("Begin install"));
    runSteps(job);
    // the old tree is gone: files it shared with the new one show their final change times
    // (only an update that took unchanged files from it shares any)
    if (job.Delta)
        RefreshInstalledRecords(job.CStr.U(vsInstallPath));
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
