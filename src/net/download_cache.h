#pragma once
// Partial downloads kept across runs in the user's private cache folder, so that a
// run that failed or was cancelled half-way leaves what it fetched for the next run
// of the same file. An entry is keyed by the file's address and remembers the
// validator (ETag or Last-Modified date) and length of the file it holds part of:
// a later run continues it only while the server still serves that file.

#include <QByteArray>
#include <QLockFile>
#include <QString>

#include <memory>
#include <optional>

class TCachedDownload {
public:
    // The cache entry of `url`, held by this run until it is freed; nothing when the
    // cache folder cannot be used or another run is fetching the same file. An entry
    // older than MaxAge, one without its description, or one longer than its file is
    // emptied first, and so are entries of other files older than MaxAge.
    static std::unique_ptr<TCachedDownload> Open(const QString& url);
    // Removes the entry of `url` (a finished install no longer needs it).
    static void Forget(const QString& url);
    static constexpr int MaxAgeDays = 7;

    // What an entry's description says of the file its part belongs to.
    struct TDescription {
        QByteArray validator;
        qint64 total = 0;
    };
    // The description `bytes` of the part of `url`: three lines, the address, the
    // validator and the whole length. Nothing when it is of another address, its
    // validator is not usable (ReplyHeaders::IsUsableValidator) or its length is not a
    // plain number above zero.
    static std::optional<TDescription> ParseDescription(const QByteArray& bytes, const QString& url);

    // The file the download is written into.
    QString PartPath() const { return FFolder + FKey + QStringLiteral(".part"); }
    // The validator and whole length of the file the part belongs to; empty and -1
    // when unknown (the part is then empty).
    QByteArray Validator() const { return FValidator; }
    qint64 Total() const { return FTotal; }
    // Notes which file the part now holds; written before its first byte. A validator
    // that is not usable is noted as none, so that the part is not continued.
    void Describe(const QByteArray& validator, qint64 total);
    // Empties the entry.
    void Discard();

private:
    TCachedDownload(const QString& folder, const QString& key, const QString& url);
    QString MetaPath() const { return FFolder + FKey + QStringLiteral(".meta"); }
    void ReadDescription();

    QString FFolder;
    QString FKey;
    QString FUrl;
    QLockFile FLock;
    QByteArray FValidator;
    qint64 FTotal = -1;
};
