#pragma once
// The setup archive: the validity test, the number of entries, and extraction into a
// folder that nothing in the archive can escape. Extraction streams every entry
// through a fixed buffer, so memory does not grow with the archive, and spreads the
// entries over the processor's cores, one archive handle per thread.

#include "archive/zip_directory.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

typedef struct zip zip_t;
struct StreamedEntry;

// An entry that would be written outside the target folder: an absolute path, "..",
// a symbolic link, or a path leading through a link already on disk.
VRN_DECLARE_ERROR(EZipUnsafeEntry, EZipError)

// What an archive would place: the entries' paths below the target folder (relative,
// "/"-separated, as extraction normalises them), the bytes they unpack to, and the
// SHA-256 (32 raw bytes) the directory records for each file that carries one.
struct ZipContents {
    QStringList paths;
    qint64 unpackedBytes = 0;
    std::map<QString, QByteArray> digests;
};

class ZipArchive {
public:
    // True when the file is a ZIP archive with a readable end-of-central-directory record.
    // The one rule of the setup and the publishing tool: an archive is valid when it can
    // be opened as extraction opens it (data after the archive is ignored; data in front
    // of it is refused, since the reader cannot locate the archive then) and its checks
    // read the same central directory as extraction: only one end record leads to one.
    static bool IsValid(const QString& path);
    // Why the file is not a valid archive (the reader's reason); empty when it is.
    static QString Refusal(const QString& path);
    // The archive opened once for all that follows, or nothing, with the reason in `refusal`.
    static std::unique_ptr<ZipArchive> Open(const QString& path, QString& refusal);

    // Opens the archive for reading and reads its central directory; throws EZipError,
    // also when the directory the checks read is not the one libzip reads.
    explicit ZipArchive(const QString& path);
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    const QString& Path() const { return m_path; }
    // Entries of the central directory, folders included.
    qint64 EntryCount() const;

    // Checks every entry as extraction does (EZipUnsafeEntry for an unsafe path, two
    // entries of one path, a path that is a file and a folder at once, entries that
    // share their compressed data) and says what it would place.
    ZipContents Contents() const;

    // Writes every entry at its path below `folder`, creating folders and replacing
    // files. Refuses the whole archive with EZipUnsafeEntry before writing anything
    // when one entry is unsafe. Restores the entries' Unix permission bits (without
    // set-id and sticky bits; the owner may always read and write); entries without
    // them get 0644, folders 0755. Throws EZipError, EFCreateError or EInOutError.
    // `threads` 0 chooses by the number of cores and entries.
    void ExtractTo(const QString& folder, int threads = 0) const;

    // True when `written` (what followed the download into `folder`) is exactly what
    // ExtractTo would write: each entry of the central directory was read from the local
    // header at the directory's offset, which agrees with it on name, flags, method,
    // sizes and CRC-32, and lands at the same path; none more, none fewer. The tree then
    // gets the entries' modes as ExtractTo gives them; the checks of Contents() are not
    // repeated.
    bool Adopt(const std::vector<StreamedEntry>& written, const QString& folder) const;

private:
    struct DescribedEntries;
    const DescribedEntries& described() const;

    QString m_path;
    zip_t* m_zip = nullptr;
    std::vector<DirectoryEntry> m_directory;  // in libzip's order
    // the entries as they will be written, described once (an archive, like its libzip
    // handle, serves one thread at a time)
    mutable std::unique_ptr<DescribedEntries> m_described;
};
