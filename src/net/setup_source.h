#pragma once
// Where the setup's files come from. The first request of a run decides, for the
// rest of the run, between the web (the release server, or the beta stream when
// the run is started with -stream:beta) and the folder that holds the setup
// (local mode). Requested files land in the run's work folder, which the source
// removes when it is freed.

#include "net/setup_network.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <mutex>

enum TSourceType { stUnknown, stWebServer, stLocal };

class TBaseSource {
public:
    virtual ~TBaseSource() = default;
};

class TSource : public TBaseSource {
public:
    // Create: reads the stream switch from the program's command line.
    TSource();
    // Create with the given command-line arguments instead of the program's own.
    explicit TSource(const QStringList& arguments);
    // Destroy: removes the work folder with everything in it, unless it is the
    // temporary folder itself or a folder above it.
    ~TSource() override;
    TSource(const TSource&) = delete;
    TSource& operator=(const TSource&) = delete;

    // Brings fName into the work folder from the decided source; the first call decides.
    bool Request(const QString& fName);
    // Downloads baseURL + fName into the work folder with progress; web mode only.
    bool Request(const QString& fName, TWorkBeginProc onWorkBegin, TWorkProc onWork, TWorkEndProc onWorkEnd);
    // Drops what the user's cache keeps of the download of fName (CNetwork::SyncDownload).
    void ForgetDownload(const QString& fName);
    // Writes the executable's resource named fName to the work folder as fName.
    void RequestResource(const QString& fName);
    // Writes the executable's resource with the id ResID to the work folder as fName.
    void RequestResource2(const QString& fName, int ResID);
    // The path of fName in the work folder; the file need not exist.
    QString Use(const QString& fName);
    // Use for a copy of baseTemp, for a worker that may outlive the source.
    static QString UseIn(const QString& workFolder, const QString& fName);
    // The SHA-256 of fName in the work folder (64 lower-case hexadecimal digits): the
    // one taken while a download with progress wrote it, else read from the file;
    // empty when the file cannot be read.
    QByteArray Sha256Of(const QString& fName);
    // The host of baseURL as written there (no user information, no port); empty
    // while undecided and in local mode.
    QString ExtractHostName() const;

    // Written by the first plain Request on a worker thread; read by the main thread
    // only after that worker has reported done.
    TSourceType RealSource = stUnknown;
    QString baseURL;
    QString baseTemp;
    QString selfPath;
    QString topRequest;
    // Follows the part of the next downloads with progress (set by the main thread
    // before the request, cleared after it).
    std::shared_ptr<TDownloadTap> Tap;

private:
    bool RequestFromWeb(const QString& fName);
    bool CopyFromLocalFolder(const QString& fName);

    void RememberSha256(const QString& fName, const QByteArray& sha256);

    bool bUseBetaStream = false;
    // Written by the worker that downloads, read by the main thread after it.
    std::mutex DigestsLock;
    std::map<QString, QByteArray> DownloadDigests;
};
