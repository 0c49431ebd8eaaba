#pragma once
// The setup archive unpacked while it is still being downloaded. Each entry's local
// header precedes its data, so an entry can be written as soon as its last byte is in
// the part file: one thread walks the headers as the bytes arrive, the others inflate the
// entries already whole. The tree grows in a folder beside the install folder and is
// only a head start: the install job takes it only when the finished archive passed
// every check and its central directory names exactly the entries written. Whatever is
// unusual (entries with their sizes after the data, ZIP64, encryption, names that are
// not UTF-8, a download that starts over, a disk that would not keep room for the rest of
// the download) ends the head start, and the job
// extracts the finished archive as it always did.

#include "archive/zip_directory.h"
#include "net/download_tap.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/types.h>
#include <thread>
#include <vector>

// One entry as its local header describes it (where the central directory would say
// where its local header is), written below the tree.
struct StreamedEntry : DirectoryEntry {
    QByteArray path;  // relative to the tree, as extraction normalises it
    bool isFolder = false;
};

// For each entry of the central directory, the entry written from the local header at the
// directory's offset, when that header agrees with the directory on name, flags, method,
// sizes, CRC-32 and where the data starts, and every entry written is one of them; nothing
// otherwise. The central directory alone says how an entry's bytes are read.
std::optional<std::vector<const StreamedEntry*>> StreamedEntriesOf(const std::vector<DirectoryEntry>& directory,
                                                                   const std::vector<StreamedEntry>& written);

// The modes the tree's files and folders have under the umask `mask` until it is taken:
// the usual ones, unseen by others while the tree's own folder is the owner's alone.
mode_t StreamedFileMode(mode_t mask);
mode_t StreamedFolderMode(mode_t mask);

class StreamingExtraction {
public:
    // Compressed and inflated bytes of one entry held in memory at most; a larger entry
    // ends the head start.
    static constexpr uint64_t EntryBound = 64 << 20;

    // Starts following `tap` into `tree` (removed first if a killed run left it) with
    // `threads` inflating threads (0: one a core). The folders above `tree` that are
    // missing are made and listed in MadeFolders().
    StreamingExtraction(std::shared_ptr<TDownloadTap> tap, QString tree, int threads = 0);
    // Stops the threads, removes the tree unless it was taken, and the folders made for
    // it that are empty.
    ~StreamingExtraction();
    StreamingExtraction(const StreamingExtraction&) = delete;
    StreamingExtraction& operator=(const StreamingExtraction&) = delete;

    // The download's reader, for the source's requests.
    const std::shared_ptr<TDownloadTap>& Tap() const { return m_tap; }
    // Waits for the threads once the download has ended. The entries written, in the
    // archive's order, when every entry up to the central directory was written; nothing
    // (and the tree is gone) otherwise.
    std::optional<std::vector<StreamedEntry>> Finish();
    // The tree's folder, and the folders above it that were made for it (outermost first).
    const QString& Tree() const { return m_tree; }
    const QStringList& MadeFolders() const { return m_made; }
    // Removes the tree (also after it was renamed away: then nothing is left to remove).
    void Discard();

private:
    void scan();
    bool scanEntry(uint64_t& offset);
    void readAhead(void* data, size_t size, uint64_t offset);
    void placeFolders(const StreamedEntry& entry);
    void push(StreamedEntry entry);
    const StreamedEntry* pop(size_t worker);
    void work(size_t worker);
    bool roomFor(uint64_t bytes);
    void abandon();

    std::shared_ptr<TDownloadTap> m_tap;
    QString m_tree;
    QByteArray m_root;
    QStringList m_made;
    int m_fd = -1;  // the tap's handle on the part file
    mode_t m_mask = 0;  // the umask, read once
    // the walk reads the part in large blocks, as far as it has arrived
    std::vector<char> m_window;
    uint64_t m_windowStart = 0;
    // what the walk placed so far, only touched by the walking thread
    std::set<QByteArray> m_files;
    std::set<QByteArray> m_folders;

    std::deque<StreamedEntry> m_entries;  // stable addresses for the workers
    std::deque<const StreamedEntry*> m_queue;
    std::vector<QByteArrayView> m_writingIn;  // each worker's folder, of its entry's path
    std::mutex m_mutex;
    std::condition_variable m_queued;
    bool m_scanned = false;
    std::atomic<bool> m_failed{false};
    std::atomic<uint64_t> m_uncheckedBytes;  // written since the free space was last looked at
    bool m_complete = false;

    std::vector<std::thread> m_threads;
};
