#pragma once
// The install script: one object per install run that takes the user from the first
// request to an installed application, a prepared local package, or an orderly stop.
// It runs on the main thread, drives the window's pages, waits for the user, and hands
// file requests and long jobs to worker threads while it keeps the window alive.

#include "app/setup_core.h"
#include "net/setup_network.h"

#include <QString>

#include <memory>
#include <optional>

class TDeltaPlan;

class TSource;

namespace platform {
class ResourceUpdate;
}

class CBaseInstallation : public CSetupCore {
public:
    CBaseInstallation();
    virtual ~CBaseInstallation();
    CBaseInstallation(const CBaseInstallation&) = delete;
    CBaseInstallation& operator=(const CBaseInstallation&) = delete;

    // True once the first request has turned the source to the setup's own folder.
    bool IsLocalInstallation() const;
    // Brings fName through the source on a worker thread while the window stays alive.
    bool AsyncRequest(const QString& fName);
    bool AsyncRequest(const QString& fName, TWorkBeginProc onWorkBegin, TWorkProc onWork, TWorkEndProc onWorkEnd);
    // Adds the whole file to the executable open for update as RCDATA resource ResID.
    void AttachFile2(platform::ResourceUpdate& hUpdate, const QString& FileName, int ResID);

protected:
    // The line AttachFile2 logs for the update `hUpdate`.
    void logAttachFile2(const void* hUpdate, const QString& FileName);

    // Shared with the workers of the requests, so that a request abandoned when the
    // window closes can still finish on a source that exists.
    std::shared_ptr<TSource> Source;
    QString LangID;
};

class PackageDraft;
class StreamingExtraction;
class ZipArchive;

class CInstallation : public CBaseInstallation {
public:
    static void Run();

    CInstallation();
    ~CInstallation() override;

    void Main();

    TInstallationOptions Options;
    std::unique_ptr<CStringManager> CStr;
    // The publisher's release key (base64); the build's own, replaceable by tests.
    QString ReleaseKey;

    // The steps of Main; public so that tests can drive them one at a time.
    void ExtractSSl_Libs();
    void CountAtBitLy();
    void VerifyInstallation();
    bool CheckSetupVersion();
    // Whether system.xml, just brought from the web, carries the publisher's signature
    // ("system.xml.sig" beside it); always true for a build without a release key.
    bool VerifyReleaseSignature();
    void DownloadAndRunNewInstaller();
    QString GetLangFromUser();
    void ShowEULAtoUSER();
    void CheckDirectX();
    void DownloadAndInstallThenRun();
    bool ValidateZipPackage();
    // The install job; with `delta`, the new tree is made of the installed files and the
    // changed entries that plan fetched.
    bool Install(std::shared_ptr<const TDeltaPlan> delta = nullptr);
    int ReturnReleaseNumber();
    void MakeLocalInstallation();
    // Adds the archive as resource 100 and the descriptor as resource 200 to ExeFile.
    void AttachResourcesTo(const QString& ExeFile, const QString& ZipFile, const QString& XmlFile);
    // AttachResourcesTo for the package written while the archive downloaded: the archive
    // is in ExeFile already, the descriptor and the table follow. The log tells the same steps.
    void CompleteDraft(PackageDraft& draft, const QString& ExeFile, const QString& ZipFile, const QString& XmlFile);

private:
    struct ReleaseNumbers {
        int offered = 0;
        int installed = 0;
    };
    bool requestReleaseDescriptor();
    void refuseRelease(const QString& text);
    std::optional<ReleaseNumbers> olderThanInstalled();
    bool installedIsOffered();
    bool startNewSetup(const QString& target);
    void showInstallFailure();
    bool updateOnlyWhatChanged(TWorkBeginProc onWorkBegin, TWorkProc onWork, TWorkEndProc onWorkEnd);
    bool installTheWholeArchive(TWorkBeginProc onWorkBegin, TWorkProc onWork, TWorkEndProc onWorkEnd);
    // What the failed install job asks the user to mend (too little disk space); empty otherwise.
    QString installFailureText;
    // The archive unpacked while it downloads, until the install job takes or drops it.
    std::shared_ptr<StreamingExtraction> streamedTree;
    // the archive its check opened, for the install
    std::shared_ptr<ZipArchive> checkedArchive;
    void retranslateWindow();
    void extractLicence();
    void dispatchFirstChoice();
};

// The message of a release that could not be verified, in the language `langId`
// (English unless Russian); kept apart from the window's string tables.
QString ReleaseNotVerifiedText(const QString& langId);

// The message of a signed release older than the installed edition (release numbers
// `offered` and `installed`), in the language `langId`, beside the message above.
QString ReleaseOlderText(const QString& langId, int offered, int installed);

// Why the file at `path` is no readable release descriptor, with a short plain excerpt
// of its text; empty when it is one.
QString UnreadableDescriptorReason(const QString& path);
// At most the first 80 characters of `bytes`, on one line, with "..." when cut.
QString PlainExcerpt(const QByteArray& bytes);

// "ddmmyyyyhhmmss" of a local date and time: the name stamp of a downloaded new setup.
QString NewSetupStamp(const class QDateTime& localTime);
