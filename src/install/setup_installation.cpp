#include "install/setup_installation.h"

#include "app/application_extended.h"
#include "app/run_state.h"
#include "app/setup_logging.h"
#include "app/unattended_switches.h"
#include "i18n/setup_translator.h"
#include "install/background_job.h"
#include "install/delta_update.h"
#include "install/install_job.h"
#include "install/package_draft.h"
#include "install/installed_configuration.h"
#include "archive/package_check.h"
#include "install/program_runner.h"
#include "install/staged_tree.h"
#include "archive/streaming_extraction.h"
#include "net/release_integrity.h"
#include "net/download_tap.h"
#include "net/main_thread_call.h"
#include "net/release_key.h"
#include "net/setup_config.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "ui/answer_policy.h"
#include "ui/main_window.h"
#include "xml/ex_simple_xml.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <thread>

namespace {

const QString kClass = QStringLiteral("[CInstallation] ");

void log(const QString& text)
{
    Logger().Info(kClass + text);
}

struct RequestJob : TJobRecord {
    std::shared_ptr<TSource> source;
    QString fName;
};

struct ProgressRequestJob : RequestJob {
    TWorkBeginProc onWorkBegin;
    TWorkProc onWork;
    TWorkEndProc onWorkEnd;
};

// The request loop of both AsyncRequest overloads: the network image shows while the
// source is undecided or on the web, the worker runs, the main thread pumps.
bool runRequest(const std::shared_ptr<RequestJob>& job, const QString& logName, const QString& threadName,
                std::function<bool()> request)
{
    log(logName + QStringLiteral(": ") + job->fName);
    MainWindow->ControlNetworkImage(job->source->RealSource != stLocal);
    job->done = false;
    job->ReturnValue = false;
    StartJobWorker(job, threadName, kClass + logName + QStringLiteral(": "),
                   [job, request = std::move(request)] { job->ReturnValue = request(); });
    const bool result = WaitForJob(*job);
    MainWindow->ControlNetworkImage(false);
    log(logName + QStringLiteral(": ") + job->fName + QStringLiteral(", Result: ") + BoolToStr(result));
    return result;
}

// The failure page, with a message box over it when there is a text, until the user
// has pressed its button.
void showFailurePage(const QString& caption = {}, const QString& text = {}, unsigned flags = 0)
{
    MainWindow->HidePage();
    MainWindow->page_final(false);
    if (!text.isEmpty())
        ShowMessageBox(MainWindow, caption, text, flags);
    CSetupCore::WaitForUserAction();
}

// The release number a descriptor or an installed Core.xml holds; 0 when the file is
// missing or cannot be read.
int releaseNumberIn(const QString& path)
{
    try {
        TExSimpleXML xml;
        return xml.LoadXMLFile(path) ? ReadElemItemInt(xml.Root(), QStringLiteral("number"), 0) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

// The archive a package carries as resource 100, written into the work folder; a failure
// (a full disk) ends the install like a failed download.
bool writeEmbeddedArchive(TSource& source)
{
    try {
        source.RequestResource2(QStringLiteral("vrnsetup.zip"), 100);
        return true;
    } catch (const std::exception& error) {
        Logger().Error(QStringLiteral("[CInstallation] DownloadAndInstallThenRun: ") + errorText(error));
        return false;
    }
}

bool hasOwnResource(int id)
{
    const auto entries = platform::listResources(platform::executablePath());
    return std::any_of(entries.begin(), entries.end(),
                       [id](const platform::ResourceEntry& entry) { return entry.id.id == id; });
}

}  // namespace

// ---- CBaseInstallation ------------------------------------------------------------------

CBaseInstallation::CBaseInstallation()
{
    log(QStringLiteral("Create"));
    LangID = gSystemLangAlias;
    gCancelled = false;
    Source = std::make_shared<TSource>();
    MainWindow->Source = Source.get();
}

CBaseInstallation::~CBaseInstallation()
{
    log(QStringLiteral("Destroy"));
    MainWindow->Source = nullptr;
}

bool CBaseInstallation::IsLocalInstallation() const
{
    return Source->RealSource == stLocal;
}

bool CBaseInstallation::AsyncRequest(const QString& fName)
{
    auto job = std::make_shared<RequestJob>();
    job->source = Source;
    job->fName = fName;
    return runRequest(job, QStringLiteral("AsyncRequest"), QStringLiteral("Request:") + fName,
                      [source = Source, fName] { return source->Request(fName); });
}

bool CBaseInstallation::AsyncRequest(const QString& fName, TWorkBeginProc onWorkBegin, TWorkProc onWork,
                                     TWorkEndProc onWorkEnd)
{
    auto job = std::make_shared<ProgressRequestJob>();
    job->source = Source;
    job->fName = fName;
    job->onWorkBegin = std::move(onWorkBegin);
    job->onWork = std::move(onWork);
    job->onWorkEnd = std::move(onWorkEnd);
    return runRequest(job, QStringLiteral("AsyncRequest2"), QStringLiteral("getFile"), [job] {
        return job->source->Request(job->fName, job->onWorkBegin, job->onWork, job->onWorkEnd);
    });
}

void CBaseInstallation::logAttachFile2(const void* hUpdate, const QString& FileName)
{
    const auto handle = static_cast<quint32>(reinterpret_cast<quintptr>(hUpdate));
    log(QStringLiteral("AttachFile2: 0x") + QStringLiteral("%1").arg(handle, 8, 16, QLatin1Char('0')).toUpper()
        + QStringLiteral(", ") + FileName);
}

void CBaseInstallation::AttachFile2(platform::ResourceUpdate& hUpdate, const QString& FileName, int ResID)
{
    logAttachFile2(&hUpdate, FileName);
    if (!QFile::exists(FileName))
        throw fileOpenError(FileName, systemErrorText(ENOENT));
    // streamed at commit: a large archive never sits in memory
    hUpdate.addFile(platform::ResourceId::numbered(ResID), FileName);
}

// ---- CInstallation ------------------------------------------------------------------------

void CInstallation::Run()
{
    log(QStringLiteral("Run - Begin"));
    {
        CInstallation installation;
        installation.Main();
    }
    log(QStringLiteral("Run - End"));
}

CInstallation::CInstallation()
    : CStr(std::make_unique<CStringManager>(gBetaMode)), ReleaseKey(ReleaseIntegrity::CompiledPublicKey())
{
    Options = TInstallationOptions{false, false, true};
}

CInstallation::~CInstallation() = default;

void CInstallation::Main()
{
    log(QStringLiteral("Main"));
    ExtractSSl_Libs();
    CountAtBitLy();
    if (!gCancelled)
        VerifyInstallation();
    if (!gCancelled)
        LangID = GetLangFromUser();
    if (!gCancelled)
        retranslateWindow();
    if (!gCancelled)
        extractLicence();
    if (!gCancelled)
        ShowEULAtoUSER();
    if (!gCancelled && !IsLocalInstallation()) {
        MainWindow->page_Prepare();
        CheckDirectX();
    }
    if (!gCancelled) {
        MainWindow->HidePage();
        MainWindow->page_FirstChoose(IsLocalInstallation());
        WaitForUserAction();
    }
    if (!gCancelled)
        dispatchFirstChoice();
    log(QStringLiteral("End Main"));
}

void CInstallation::retranslateWindow()
{
    CTranslator::Work(MainWindow, QStringLiteral("Lang_") + LangID, true);
    MainWindow->page_Prepare();
}

void CInstallation::extractLicence()
{
    Source->RequestResource(LangID == QLatin1String("ru_RU") ? QStringLiteral("EULA_ru_RU")
                                                             : QStringLiteral("EULA_en_GB"));
}

void CInstallation::dispatchFirstChoice()
{
    if (gUserChoice == QLatin1String("CustomizedInstall")) {
        MainWindow->ReadInstallOptions(Options);
        DownloadAndInstallThenRun();
    } else if (gUserChoice == QLatin1String("MakeInstallNow")) {
        MakeLocalInstallation();
    }
}

void CInstallation::CountAtBitLy()
{
    log(QStringLiteral("CountAtBitLy"));
    const QString url = gBetaMode ? CounterBetaUrl() : CounterReleaseUrl();
    // counted only; nobody waits for it, and it may outlive the run
    std::thread([url] {
        platform::setCurrentThreadName(QStringLiteral("BitLy"));
        try {
            CNetwork::Get(url, nullptr);
        } catch (...) {
        }
    }).detach();
}

void CInstallation::VerifyInstallation()
{
    log(QStringLiteral("VerifyInstallation"));
    const bool fetched = requestReleaseDescriptor();
    if (fetched && !IsLocalInstallation()) {
        if (!VerifyReleaseSignature()) {
            // no fallback to the local folder: the server answered, with a release nobody vouches for
            refuseRelease(ReleaseNotVerifiedText(LangID));
            return;
        }
        if (const auto older = olderThanInstalled()) {
            refuseRelease(ReleaseOlderText(LangID, older->offered, older->installed));
            return;
        }
        if (gUnattended.Update && installedIsOffered()) {
            gCancelled = true;
            return;
        }
    }
    if (fetched && CheckSetupVersion()) {
        DownloadAndRunNewInstaller();
        gCancelled = true;
    }
    if (!IsLocalInstallation())
        MainWindow->SHosting = QStringLiteral("Content host: ") + Source->ExtractHostName();
    if (gBetaMode && IsLocalInstallation()) {
        showFailurePage(QStringLiteral("Vorlen - setup"), QStringLiteral("You can't use BETA setup in local mode."));
        gCancelled = true;
    }
    if (!gCancelled && IsLocalInstallation() && !hasOwnResource(100)) {
        MainWindow->HidePage();
        MainWindow->page_NoInternet();
        WaitForUserAction();
        gCancelled = true;
    }
}

// The first request decides the source. A reply that is no descriptor (a reply cut
// short, the login page of a captive portal served with status 200) counts as a failed
// request: like an unreachable server, it turns the run to the setup's own folder.
bool CInstallation::requestReleaseDescriptor()
{
    const QString name = QStringLiteral("system.xml");
    if (!AsyncRequest(name))
        return false;
    if (IsLocalInstallation() || gCancelled)
        return true;
    // the work folder's copy, looked at without a "Use" line: the step's logged reads come later
    const QString path = Source->baseTemp + name;
    const QString reason = UnreadableDescriptorReason(path);
    if (reason.isEmpty())
        return true;
    Logger().Error(kClass + QStringLiteral("VerifyInstallation: the server's system.xml is no release descriptor: ")
                   + reason);
    QFile::remove(path);
    Source->RealSource = stLocal;
    Source->baseURL = Source->selfPath;
    return AsyncRequest(name);
}

// The release is refused: the failure page and the message, unless the user has
// closed the window meanwhile; the run ends either way.
void CInstallation::refuseRelease(const QString& text)
{
    if (!gCancelled)
        showFailurePage(MainWindow->InstallString(22), text, platform::MB_ICONERROR);
    gCancelled = true;
}

// A signed release older than the installed edition is a replay of an old release:
// a keyed build installs only forward. A keyless build, or no readable Core.xml, checks nothing.
std::optional<CInstallation::ReleaseNumbers> CInstallation::olderThanInstalled()
{
    if (ReleaseKey.isEmpty())
        return std::nullopt;
    const ReleaseNumbers numbers{releaseNumberIn(Source->baseTemp + QStringLiteral("system.xml")),
                                 releaseNumberIn(CStr->U(vsAppCoreXML))};
    log(QStringLiteral("VerifyInstallation: release %1, installed %2").arg(numbers.offered).arg(numbers.installed));
    if (numbers.offered >= numbers.installed)
        return std::nullopt;
    Logger().Error(kClass + QStringLiteral("VerifyInstallation: the release on the server (%1) is older than the installed one (%2)")
                                .arg(numbers.offered)
                                .arg(numbers.installed));
    return numbers;
}

// An unattended update whose edition already holds the server's release has nothing to do.
bool CInstallation::installedIsOffered()
{
    const QString installed = CStr->U(vsAppCoreXML);
    const int offered = releaseNumberIn(Source->baseTemp + QStringLiteral("system.xml"));
    if (!QFileInfo::exists(installed) || releaseNumberIn(installed) != offered)
        return false;
    log(QStringLiteral("VerifyInstallation: release %1 is installed already").arg(offered));
    ReportNothingToDo(QStringLiteral("%1 is up to date: release %2 is installed in %3")
                          .arg(gBetaMode ? QStringLiteral("Vorlen BETA") : QStringLiteral("Vorlen"))
                          .arg(offered)
                          .arg(CStr->U(vsInstallPath)));
    return true;
}

bool CInstallation::CheckSetupVersion()
{
    log(QStringLiteral("CheckSetupVersion"));
    TExSimpleXML xml;
    const QString path = Source->Use(QStringLiteral("system.xml"));
    log(QStringLiteral("CheckSetupVersion: ") + path);
    bool result = false;
    try {
        if (xml.LoadXMLFile(path)) {
            const int version = ReadElemItemInt(xml.Root(), QStringLiteral("version"), 0);
            result = version > SetupVersion;
            log(QStringLiteral("CheckSetupVersion: %1 = %2, ").arg(version).arg(SetupVersion) + BoolToStr(result));
        } else {
            log(QStringLiteral("CheckSetupVersion: LoadXMLFile failed, ") + BoolToStr(result));
        }
    } catch (const Exception& error) {
        Logger().Error(kClass + QStringLiteral("CheckSetupVersion: ") + errorText(error));
        result = false;
    }
    return result;
}

bool CInstallation::VerifyReleaseSignature()
{
    if (ReleaseKey.isEmpty()) {
        log(QStringLiteral("VerifyReleaseSignature: the release is not signed (this setup has no release key)"));
        return true;
    }
    const bool fetched = AsyncRequest(QStringLiteral("system.xml.sig"));
    if (gCancelled)
        return false;
    if (!fetched) {
        Logger().Error(kClass + QStringLiteral("VerifyReleaseSignature: system.xml.sig could not be fetched"));
        return false;
    }
    QFile descriptor(Source->Use(QStringLiteral("system.xml")));
    QFile signature(Source->Use(QStringLiteral("system.xml.sig")));
    const bool valid = descriptor.open(QIODevice::ReadOnly) && signature.open(QIODevice::ReadOnly)
                       && ReleaseIntegrity::IsValidSignature(descriptor.readAll(), signature.readAll(), ReleaseKey);
    if (!valid)
        Logger().Error(kClass + QStringLiteral("VerifyReleaseSignature: system.xml is not signed by the publisher's key"));
    else
        log(QStringLiteral("VerifyReleaseSignature: signed by the publisher"));
    return valid;
}

QString ReleaseNotVerifiedText(const QString& langId)
{
    if (langId == QLatin1String("ru_RU"))
        return QStringLiteral("Не удалось проверить подлинность выпуска на сервере. Повторите попытку позже "
                              "или загрузите программу установки с сайта продукта: ")
               + ProductSiteUrl();
    return QStringLiteral("The release on the server could not be verified. Please try again later, "
                          "or download the setup from the product's site: ")
           + ProductSiteUrl();
}

QString ReleaseOlderText(const QString& langId, int offered, int installed)
{
    if (langId == QLatin1String("ru_RU"))
        return QStringLiteral("Выпуск на сервере (номер %1) более ранний, чем установленный (номер %2), и не будет установлен. "
                              "Повторите попытку позже или загрузите программу установки с сайта продукта: ")
                   .arg(offered)
                   .arg(installed)
               + ProductSiteUrl();
    return QStringLiteral("The release on the server (number %1) is older than the installed one (number %2) "
                          "and is not installed. Please try again later, or download the setup from the product's site: ")
               .arg(offered)
               .arg(installed)
           + ProductSiteUrl();
}

QString UnreadableDescriptorReason(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    const QByteArray bytes = file.readAll();
    try {
        TExSimpleXML xml;
        if (xml.LoadXMLFile(path))
            return {};
    } catch (const std::exception&) {
        // the error's message holds the whole reply; only an excerpt is shown
    }
    return QStringLiteral("not well-formed XML: \"%1\"").arg(PlainExcerpt(bytes));
}

QString PlainExcerpt(const QByteArray& bytes)
{
    constexpr int kLength = 80;
    QString text = QString::fromUtf8(bytes.left(4 * kLength));
    for (QChar& c : text) {
        if (!c.isPrint())
            c = QLatin1Char(' ');
    }
    text = text.simplified();
    return text.size() > kLength || bytes.size() > 4 * kLength ? text.left(kLength) + QStringLiteral("...") : text;
}

QString NewSetupStamp(const QDateTime& localTime)
{
    return localTime.toString(QStringLiteral("ddMMyyyyHHmmss"));
}

// With a key, the descriptor must name the new setup's hash; without one, a named hash
// is still checked. The file hashed is the one that will be started.
static bool newSetupIsPublished(const QString& file, const QString& expected, bool keyCompiledIn)
{
    if (expected.isEmpty() && !keyCompiledIn)
        return true;
    const QByteArray actual = ReleaseIntegrity::Sha256OfFile(file);
    const bool matches = !actual.isEmpty() && actual == expected.trimmed().toLower().toLatin1();
    if (!matches)
        Logger().Error(kClass + QStringLiteral("DownloadAndRunNewInstaller: { setupSha256: %1, actualSetupSha256: %2 }")
                                    .arg(expected, QString::fromLatin1(actual)));
    return matches;
}

// A folder made for this setup alone in the temporary folder: the new setup's name there
// cannot already be taken by a file nobody checked. Empty when it cannot be made.
static QString privateSetupFolder()
{
    QTemporaryDir folder(TempFolder(false) + QStringLiteral("vrnsetup-XXXXXX"));
    if (!folder.isValid()) {
        Logger().Error(kClass + QStringLiteral("DownloadAndRunNewInstaller: Cannot create a folder in \"%1\". %2")
                                    .arg(TempFolder(false), folder.errorString()));
        return {};
    }
    folder.setAutoRemove(false);
    return platform::withTrailingSeparator(folder.path());
}

void CInstallation::DownloadAndRunNewInstaller()
{
    log(QStringLiteral("DownloadAndRunNewInstaller"));
    MainWindow->HidePage();
    TWorkBeginProc onWorkBegin;
    TWorkProc onWork;
    TWorkEndProc onWorkEnd;
    MainWindow->page_Install(onWorkBegin, onWork, onWorkEnd);
    const bool ok = AsyncRequest(QStringLiteral("vrnsetup.exe"), onWorkBegin, onWork, onWorkEnd);
    if (!ok || gCancelled)
        return;
    // a newer setup is never resumed in a later run: it is started now or not at all
    Source->ForgetDownload(QStringLiteral("vrnsetup.exe"));
    const QString folder = privateSetupFolder();
    if (folder.isEmpty())
        return;
    const QString target = folder + QStringLiteral("vrnsetup-") + NewSetupStamp(QDateTime::currentDateTime())
                           + QStringLiteral(".exe");
    if (!startNewSetup(target))
        platform::deleteTree(folder);  // nothing unchecked stays behind
}

// Moves the downloaded setup to `target`, checks the moved file and starts it; nothing
// starts on any failure.
bool CInstallation::startNewSetup(const QString& target)
{
    const QString downloaded = Source->Use(QStringLiteral("vrnsetup.exe"));
    if (!platform::moveFile(downloaded, target)) {
        Logger().Error(kClass + QStringLiteral("DownloadAndRunNewInstaller: Cannot move \"%1\" to \"%2\"").arg(downloaded, target));
        return false;
    }
    TExSimpleXML release;
    release.LoadXMLFile(Source->Use(QStringLiteral("system.xml")));
    const QString expected = release.ReadProperties(QStringLiteral("setup"), QStringLiteral("sha256"), {}, QString());
    if (!newSetupIsPublished(target, expected, !ReleaseKey.isEmpty()))
        return false;
    // a downloaded file carries no execute bit; without it the new setup cannot start
    const bool started = QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                           | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                           | QFile::ExeOther)
                         && platform::startDetached(target, {});
    if (!started) {
        Logger().Error(kClass + QStringLiteral("DownloadAndRunNewInstaller: Cannot start \"%1\"").arg(target));
        return false;
    }
    ReportRunOutcome(QStringLiteral("a newer setup was started: ") + target);
    return true;
}

QString CInstallation::GetLangFromUser()
{
    log(QStringLiteral("GetLangFromUser"));
    QString result = gSystemLangAlias;
    if (!gCancelled) {
        MainWindow->HidePage();
        MainWindow->page_SelectLang();
        WaitForUserAction();
        result = gUserChoice;
    }
    log(QStringLiteral("GetLangFromUser: ") + result);
    return result;
}

void CInstallation::ShowEULAtoUSER()
{
    log(QStringLiteral("ShowEULAtoUSER"));
    MainWindow->HidePage();
    MainWindow->page_EULA();
    WaitForUserAction();
}

// ---- the install branch ------------------------------------------------------------------

void CInstallation::ExtractSSl_Libs()
{
    // the system's TLS serves the transfers; no libraries are written out
    log(QStringLiteral("ExtractSSl_Libs"));
}

void CInstallation::CheckDirectX()
{
    log(QStringLiteral("CheckDirectX"));
    if (platform::graphicsRuntimePresent())
        return;
    if (!AskYesNo(MainWindow, MainWindow->InstallString(10), MainWindow->InstallString(20), platform::MB_ICONQUESTION))
        return;
    if (AsyncRequest(QStringLiteral("dxwebsetup.exe")))
        RunAndWait(Source->Use(QStringLiteral("dxwebsetup.exe")));
    else
        ShowMessageBox(MainWindow, MainWindow->InstallString(22), MainWindow->InstallString(21),
                       platform::MB_ICONERROR);
}

void CInstallation::DownloadAndInstallThenRun()
{
    log(QStringLiteral("DownloadAndInstallThenRun"));
    MainWindow->HidePage();
    TWorkBeginProc onWorkBegin;
    TWorkProc onWork;
    TWorkEndProc onWorkEnd;
    MainWindow->page_Install(onWorkBegin, onWork, onWorkEnd);
    const bool installed = updateOnlyWhatChanged(onWorkBegin, onWork, onWorkEnd)
                           || (!gCancelled && installTheWholeArchive(onWorkBegin, onWork, onWorkEnd));
    if (!installed)
        return;
    Source->ForgetDownload(QStringLiteral("vrnsetup.zip"));
    MainWindow->HidePage();
    MainWindow->page_final(true);
    WaitForUserAction();
    // started after the wait whatever ended it, also when the window was closed on the page
    const QString application = CStr->U(vsRunExe);
    if (Options.RunAfterInstall)
        platform::startDetached(application);
}

namespace {

struct DeltaJob : TJobRecord {
    TDeltaRequest request;
    std::shared_ptr<const TDeltaPlan> plan;
};

}  // namespace

// An installed edition fetches only what changed where it can; any failure on that road
// ends in the whole archive (false), except one the user must mend, which ends the run.
bool CInstallation::updateOnlyWhatChanged(TWorkBeginProc onWorkBegin, TWorkProc onWork, TWorkEndProc onWorkEnd)
{
    if (IsLocalInstallation())
        return false;
    auto job = std::make_shared<DeltaJob>();
    job->request = {Source->baseURL + QStringLiteral("vrnsetup.zip"), Source->baseTemp + QStringLiteral("vrnsetup.zip"),
                    Source->baseTemp + QStringLiteral("system.xml"), CStr->U(vsInstallPath)};
    const TDeltaProgress progress{
        [onWorkBegin](qint64 planned) { RunOnMainThread([&] { onWorkBegin(planned); }); },
        [onWork](qint64 fetched) { RunOnMainThread([&] { onWork(fetched); }); },
        [](const QString& text) { Logger().Info(QStringLiteral("[CInstallation] Install -> ") + text); }};
    StartJobWorker(job, QStringLiteral("Updating"), kClass + QStringLiteral("Install -> "), [job, progress] {
        job->plan = FetchChangedEntries(job->request, progress);
        job->ReturnValue = job->plan != nullptr;
    });
    const bool fetched = WaitForJob(*job);
    if (fetched)
        onWorkEnd();
    if (!fetched || gCancelled)
        return false;
    if (Install(job->plan))
        return true;
    if (!gCancelled && !installFailureText.isEmpty())
        showInstallFailure();
    else if (!gCancelled)
        log(QStringLiteral("Install -> Download the whole archive: the new tree could not be made of the changes"));
    return false;
}

bool CInstallation::installTheWholeArchive(TWorkBeginProc onWorkBegin, TWorkProc onWork, TWorkEndProc onWorkEnd)
{
    if (!installFailureText.isEmpty())
        return false;  // the update stopped for a reason of the user's; the whole archive would too
    // the archive is unpacked beside the install folder while it arrives or is copied out
    // of the package
    streamedTree = std::make_shared<StreamingExtraction>(std::make_shared<TDownloadTap>(),
                                                         UnpackingFolderOf(CStr->U(vsInstallPath)));
    Source->Tap = streamedTree->Tap();
    const bool ok = IsLocalInstallation() ? writeEmbeddedArchive(*Source)
                                          : AsyncRequest(QStringLiteral("vrnsetup.zip"), onWorkBegin, onWork, onWorkEnd);
    Source->Tap.reset();
    if (!ok || gCancelled) {
        streamedTree.reset();
        showInstallFailure();
        return false;
    }
    if (!ValidateZipPackage())
        return false;
    if (!Install() || gCancelled) {
        if (!gCancelled)
            Source->ForgetDownload(QStringLiteral("vrnsetup.zip"));  // as a failed check does
        showInstallFailure();
        return false;
    }
    return true;
}

// A user who did not cancel always learns that nothing was installed: the failure
// page with the log's path, until its button is pressed. A cancelled run ends quietly.
void CInstallation::showInstallFailure()
{
    if (gCancelled)
        return;
    if (installFailureText.isEmpty())
        showFailurePage();
    else
        showFailurePage(MainWindow->InstallString(35), installFailureText, platform::MB_ICONERROR);
}

bool CInstallation::ValidateZipPackage()
{
    TZipPackageCheck check = CheckZipPackage(*Source, IsLocalInstallation(), ReleaseKey);
    checkedArchive = std::move(check.Archive);
    if (!check.Result) {
        // a cached part that fails is never continued: the next run fetches the file whole
        Source->ForgetDownload(QStringLiteral("vrnsetup.zip"));
        streamedTree.reset();
        showFailurePage(MainWindow->InstallString(22), MainWindow->InstallString(28) + check.Reason,
                        platform::MB_ICONERROR);
    }
    return check.Result;
}

bool CInstallation::Install(std::shared_ptr<const TDeltaPlan> delta)
{
    auto job = std::make_shared<InstallJob>(*CStr);
    job->Delta = std::move(delta);
    log(QStringLiteral("Install"));
    job->Options = Options;
    job->BetaMode = gBetaMode;
    job->LangID = LangID;
    job->Shortcuts = MainWindow->Shortcuts->Lines()->lines();
    job->WorkFolder = Source->baseTemp;
    job->LInstallerExeName = platform::executablePath();
    job->gReleaseNumber = ReturnReleaseNumber();
    job->NotEnoughSpaceText = MainWindow->InstallString(41);
    job->NotCarriedText = MainWindow->InstallString(42);
    job->Streamed = std::move(streamedTree);
    job->Archive = std::move(checkedArchive);
    const bool result = RunInstallJobAndWait(job);
    installFailureText = result ? QString() : job->FailureText;
    log(QStringLiteral("Install: ") + BoolToStr(result));
    return result;
}

int CInstallation::ReturnReleaseNumber()
{
    return ::ReturnReleaseNumber(*Source, IsLocalInstallation());
}

// ---- the local installation package ---------------------------------------------------------

namespace {

struct LocalPackageJob : TJobRecord {
    QString SystemXML;
    QString CurrentZip;
    QString CurrentExe;
    QString WorkPath;
    std::shared_ptr<PackageDraft> Draft;  // the package written while the archive downloaded
};

const QString kPackageName = QStringLiteral("VorlenSetup.exe");

QString partialPackage(const QString& workPath)
{
    return workPath + kPackageName + QStringLiteral(".part");
}

// The worker's part: the draft written while the archive downloaded, completed, or else
// a fresh copy of the running setup with the archive and the descriptor embedded. It is
// made under a name of its own beside the package and takes the package's name only
// when complete, so a failure leaves an earlier package whole and never a plain setup
// under the package's name.
void makePackage(CInstallation& installation, LocalPackageJob& job)
{
    const QString target = job.WorkPath + kPackageName;
    const QString partial = partialPackage(job.WorkPath);
    if (job.Draft && job.Draft->Finish(job.CurrentZip)) {
        installation.CompleteDraft(*job.Draft, partial, job.CurrentZip, job.SystemXML);
        if (!platform::replaceFile(partial, target))
            throw EFCreateError(QStringLiteral("Cannot replace \"%1\"").arg(target));
        return;
    }
    job.Draft.reset();
    QFile::remove(partial);
    try {
        if (!platform::copyFile(job.CurrentExe, partial))
            throw EFCreateError(QStringLiteral("Cannot copy the setup to \"%1\"").arg(partial));
        installation.AttachResourcesTo(partial, job.CurrentZip, job.SystemXML);
        if (!platform::replaceFile(partial, target))
            throw EFCreateError(QStringLiteral("Cannot replace \"%1\"").arg(target));
    } catch (...) {
        QFile::remove(partial);
        throw;
    }
}

}  // namespace

void CInstallation::MakeLocalInstallation()
{
    auto job = std::make_shared<LocalPackageJob>();
    log(QStringLiteral("MakeLocalInstallation"));
    TWorkBeginProc onWorkBegin;
    TWorkProc onWork;
    TWorkEndProc onWorkEnd;
    job->WorkPath = platform::withTrailingSeparator(MainWindow->page_MakeLocalInstallation2(onWorkBegin, onWork, onWorkEnd));
    job->CurrentExe = platform::executablePath();
    // the package is written under its part name while the archive arrives
    job->Draft = std::make_shared<PackageDraft>(std::make_shared<TDownloadTap>(), job->CurrentExe,
                                                partialPackage(job->WorkPath));
    Source->Tap = job->Draft->Tap();
    const bool downloaded = AsyncRequest(QStringLiteral("vrnsetup.zip"), onWorkBegin, onWork, onWorkEnd);
    Source->Tap.reset();
    if (!downloaded || gCancelled) {
        job->Draft.reset();
        showInstallFailure();
        return;
    }
    // the package's resources are trusted where it is started: only a checked archive goes in
    if (!ValidateZipPackage()) {
        job->Draft.reset();
        return;
    }
    job->CurrentZip = Source->Use(QStringLiteral("vrnsetup.zip"));
    job->SystemXML = Source->Use(QStringLiteral("system.xml"));
    StartJobWorker(job, QStringLiteral("Making"), kClass + QStringLiteral("MakeLocalInstallation: "), [this, job] {
        makePackage(*this, *job);
        job->ReturnValue = true;
    });
    const bool made = WaitForJob(*job);
    if (!made) {
        showInstallFailure();
        return;
    }
    Source->ForgetDownload(QStringLiteral("vrnsetup.zip"));
    MainWindow->page_MakeLocalInstallation3();
    WaitForUserAction();
    // shown after the wait whatever ended it, also when the window was closed on the page
    platform::showInFileManager(job->WorkPath + kPackageName);
}

namespace {

// The line AttachResourcesTo begins with.
void logAttachResourcesTo(const QString& ExeFile, const QString& ZipFile, const QString& XmlFile)
{
    log(QStringLiteral("AttachResourcesTo: ") + ExeFile + QStringLiteral(", ") + ZipFile + QStringLiteral(", ")
        + XmlFile);
}

}  // namespace

void CInstallation::CompleteDraft(PackageDraft& draft, const QString& ExeFile, const QString& ZipFile, const QString& XmlFile)
{
    logAttachResourcesTo(ExeFile, ZipFile, XmlFile);
    logAttachFile2(&draft, ZipFile);
    logAttachFile2(&draft, XmlFile);
    draft.Complete(XmlFile);
}

void CInstallation::AttachResourcesTo(const QString& ExeFile, const QString& ZipFile, const QString& XmlFile)
{
    logAttachResourcesTo(ExeFile, ZipFile, XmlFile);
    platform::ResourceUpdate update(ExeFile);
    // what was added is written also when a later attach fails; the error still rises
    try {
        AttachFile2(update, ZipFile, 100);
        AttachFile2(update, XmlFile, 200);
    } catch (...) {
        update.commit();
        throw;
    }
    update.commit();
}
