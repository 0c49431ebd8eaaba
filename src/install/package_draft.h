#pragma once
// The local package written while its archive downloads: a copy of the running setup
// to which the archive is appended as resource 100 as its bytes arrive, in a file without
// a name in the package's folder (a run killed meanwhile leaves nothing there). Only a
// checked archive may go into a package, so the draft is named (the package's part file)
// only after the finished archive passed its checks; a draft that does not hold exactly
// that archive (the download started over or ended short, a write failed) is dropped, and
// the package is made after the download as it always was.

#include "net/download_tap.h"

#include <QString>

#include <atomic>
#include <memory>
#include <thread>

namespace platform {
class ResourceWriter;
}

class PackageDraft {
public:
    // Starts following `tap` into `part`, a copy of `setup` without resources 100 and 200.
    PackageDraft(std::shared_ptr<TDownloadTap> tap, QString setup, QString part);
    // Stops following and drops the draft unless it was completed.
    ~PackageDraft();
    PackageDraft(const PackageDraft&) = delete;
    PackageDraft& operator=(const PackageDraft&) = delete;

    // The download's reader, for the source's request.
    const std::shared_ptr<TDownloadTap>& Tap() const { return m_tap; }
    // Waits for the thread once the download has ended; true when the part holds the
    // setup and, as resource 100, every byte of the file `archive` that the download made.
    bool Finish(const QString& archive);
    // Appends `descriptor` as resource 200 and the table, and names the draft `part`.
    void Complete(const QString& descriptor);

private:
    void follow();

    std::shared_ptr<TDownloadTap> m_tap;
    QString m_setup;
    QString m_part;
    std::unique_ptr<platform::ResourceWriter> m_writer;
    qint64 m_copied = 0;
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};
