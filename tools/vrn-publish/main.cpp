// vrn-publish: makes a release folder that the setup can be served from:
//   vrnsetup.zip  the application folder, deflated (or a given archive)
//   system.xml    the release descriptor: setup version, release number, the
//                 archive's size for display, exact length and entry count, and the
//                 length and SHA-256 of the archive's tail (its central directory and
//                 end records), whose records carry each entry's SHA-256
//   vrnsetup.exe  the setup program, when given
//   system.xml.sig  with --key: the base64 Ed25519 signature of system.xml's exact
//                 bytes; the descriptor then also carries the SHA-256 of the archive
//                 and of the setup program
//
// vrn-publish (--app DIR | --zip FILE) --version N --number N [--setup EXE] [--key FILE] OUTDIR
// vrn-publish --new-key FILE   writes a new private key and prints its public key (base64)
//
// OUTDIR is a symbolic link to a folder beside it ("OUTDIR.XXXXXX") that holds one
// whole release. A new release is written into a new folder beside it, and one
// rename of the link swaps it in, so that a server resolving OUTDIR per request
// sees the old release or the new one, never a mix and never a missing file.
// The old release's folder is removed afterwards.

#include "archive/entry_digest.h"
#include "archive/zip_archive.h"
#include "archive/zip_directory.h"
#include "net/release_integrity.h"

#include <QCryptographicHash>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <pugixml.hpp>
#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <filesystem>
#include <map>
#include <utility>
#include <sstream>
#include <stdexcept>

namespace {

struct Options {
    QString appFolder;
    QString archive;
    QString setup;
    QString outFolder;
    QString key;
    long long version = 0;
    long long number = 0;
};

// zlib's default: within a fraction of a percent of the best level's size, at a
// fraction of its time (libzip's 0 would mean the slow best level 9).
constexpr zip_uint32_t DeflateLevel = 6;

const char* const usage =
    "usage: vrn-publish (--app DIR | --zip FILE) --version N --number N [--setup EXE] [--key FILE] OUTDIR\n"
    "       vrn-publish --new-key FILE\n";

class Failure : public std::runtime_error {
public:
    explicit Failure(const QString& text) : std::runtime_error(text.toStdString()) {}
};

long long integerArgument(const QString& name, const QString& text)
{
    bool ok = false;
    const long long value = text.toLongLong(&ok);
    if (!ok)
        throw Failure(QStringLiteral("%1 needs an integer, not \"%2\"").arg(name, text));
    return value;
}

Options parseArguments(const QStringList& arguments)
{
    Options options;
    std::map<QString, QString> values;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!argument.startsWith(QStringLiteral("--"))) {
            if (!options.outFolder.isEmpty())
                throw Failure(QStringLiteral("more than one output folder"));
            options.outFolder = argument;
            continue;
        }
        if (i + 1 >= arguments.size())
            throw Failure(argument + QStringLiteral(" needs a value"));
        values[argument] = arguments[++i];
    }
    for (const auto& [name, value] : values) {
        if (name == QStringLiteral("--app"))
            options.appFolder = value;
        else if (name == QStringLiteral("--zip"))
            options.archive = value;
        else if (name == QStringLiteral("--setup"))
            options.setup = value;
        else if (name == QStringLiteral("--key"))
            options.key = value;
        else if (name == QStringLiteral("--version"))
            options.version = integerArgument(name, value);
        else if (name == QStringLiteral("--number"))
            options.number = integerArgument(name, value);
        else
            throw Failure(QStringLiteral("unknown option ") + name);
    }
    if (options.appFolder.isEmpty() == options.archive.isEmpty())
        throw Failure(QStringLiteral("give either --app or --zip"));
    if (!values.count(QStringLiteral("--version")) || !values.count(QStringLiteral("--number")))
        throw Failure(QStringLiteral("--version and --number are required"));
    if (options.outFolder.isEmpty())
        throw Failure(QStringLiteral("no output folder"));
    return options;
}

QString zipErrorText(zip_t* archive)
{
    return QString::fromUtf8(zip_strerror(archive));
}

// Gives entry `index` the SHA-256 of its inflated bytes, replacing any it had.
void setEntryDigest(zip_t* archive, zip_uint64_t index, const QByteArray& digest, const QString& what)
{
    zip_file_extra_field_delete_by_id(archive, index, EntryDigestFieldId, ZIP_EXTRA_FIELD_ALL, ZIP_FL_CENTRAL);
    if (zip_file_extra_field_set(archive, index, EntryDigestFieldId, ZIP_EXTRA_FIELD_NEW,
                                 reinterpret_cast<const zip_uint8_t*>(digest.constData()),
                                 static_cast<zip_uint16_t>(digest.size()), ZIP_FL_CENTRAL)
        < 0)
        throw Failure(QStringLiteral("cannot record the hash of %1: %2").arg(what, zipErrorText(archive)));
}

QByteArray digestOfFile(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        throw Failure(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return hash.result();
}

// The SHA-256 of an entry's inflated bytes, read through the archive (its CRC checked).
QByteArray digestOfEntry(zip_t* archive, zip_uint64_t index)
{
    zip_file_t* entry = zip_fopen_index(archive, index, 0);
    if (!entry)
        throw Failure(QStringLiteral("cannot read entry %1: %2").arg(index).arg(zipErrorText(archive)));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    zip_int64_t got = 0;
    while ((got = zip_fread(entry, buffer.data(), static_cast<zip_uint64_t>(buffer.size()))) > 0)
        hash.addData(QByteArrayView(buffer.constData(), got));
    const QString error = QString::fromUtf8(zip_file_strerror(entry));
    zip_fclose(entry);
    if (got < 0)
        throw Failure(QStringLiteral("cannot read entry %1: %2").arg(index).arg(error));
    return hash.result();
}

bool isFolderEntry(zip_t* archive, zip_uint64_t index)
{
    const char* name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    return name && *name && name[std::strlen(name) - 1] == '/';
}

// A given archive gets the entries' hashes it lacks; one that carries them all, right,
// is published byte for byte as it was given.
void addMissingDigests(const QString& path)
{
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), 0, &error);
    if (!archive)
        return;  // the archive checks name the reason
    bool changed = false;
    try {
        for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
            const auto index = static_cast<zip_uint64_t>(i);
            if (isFolderEntry(archive, index))
                continue;
            const QByteArray digest = digestOfEntry(archive, index);
            if (EntryDigestOf(archive, index) != digest) {
                setEntryDigest(archive, index, digest, QString::fromUtf8(zip_get_name(archive, index, 0)));
                changed = true;
            }
        }
    } catch (...) {
        zip_discard(archive);
        throw;
    }
    if (!changed) {
        zip_discard(archive);
    } else if (zip_close(archive) < 0) {
        const QString text = zipErrorText(archive);
        zip_discard(archive);
        throw Failure(QStringLiteral("cannot write %1: %2").arg(path, text));
    }
}

// Every file and folder below `folder`, in a stable order.
QStringList entriesBelow(const QString& folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << it.next();
    entries.sort();
    return entries;
}

void addEntry(zip_t* archive, const QDir& root, const QString& path)
{
    const QFileInfo info(path);
    const QByteArray name = root.relativeFilePath(path).toUtf8();
    if (info.isDir()) {
        const zip_int64_t index = zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8);
        // the folder's own mode, not libzip's 0777 that would let anyone write into the install
        struct stat folder {};
        if (index < 0 || ::stat(QFile::encodeName(path).constData(), &folder) != 0
            || zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                                static_cast<zip_uint32_t>(S_IFDIR | (folder.st_mode & 0777)) << 16) < 0)
            throw Failure(QStringLiteral("cannot add the folder %1: %2").arg(path, zipErrorText(archive)));
        return;
    }
    zip_source_t* source = zip_source_file(archive, QFile::encodeName(path).constData(), 0, -1);
    if (!source)
        throw Failure(QStringLiteral("cannot read %1: %2").arg(path, zipErrorText(archive)));
    const zip_int64_t index = zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        throw Failure(QStringLiteral("cannot add %1: %2").arg(path, zipErrorText(archive)));
    }
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, DeflateLevel);
    setEntryDigest(archive, static_cast<zip_uint64_t>(index), digestOfFile(path), path);
}

// Zips the application folder; the files are read when the archive is closed.
// Entry names are relative to the folder however it was given (relative, ".", "x/").
void zipFolder(const QString& folder, const QString& target)
{
    const QDir root(QFileInfo(folder).absoluteFilePath());
    if (folder.isEmpty() || !root.exists())
        throw Failure(QStringLiteral("no such folder: ") + folder);
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(target).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        throw Failure(QStringLiteral("cannot create %1 (libzip error %2)").arg(target).arg(error));
    try {
        for (const QString& path : entriesBelow(root.absolutePath()))
            addEntry(archive, root, path);
    } catch (...) {
        zip_discard(archive);
        throw;
    }
    if (zip_close(archive) < 0) {
        const QString text = zipErrorText(archive);
        zip_discard(archive);
        throw Failure(QStringLiteral("cannot write %1: %2").arg(target, text));
    }
}

// The number of entries in the archive's central directory. The archive must pass the
// setup's own test and every check its extraction makes, so that nothing is published
// that the setup would refuse.
long long entryCount(const QString& path)
{
    const QString refusal = ZipArchive::Refusal(path);
    if (!refusal.isEmpty())
        throw Failure(QStringLiteral("%1 is no archive the setup can install: %2").arg(path, refusal));
    try {
        const ZipArchive archive(path);
        archive.Contents();
        return archive.EntryCount();
    } catch (const Exception& error) {
        throw Failure(QStringLiteral("%1 is no archive the setup can install: %2").arg(path, error.message()));
    }
}

void copyFile(const QString& source, const QString& target)
{
    if (!QFile::copy(source, target))
        throw Failure(QStringLiteral("cannot copy %1 to %2").arg(source, target));
}

// The download size as the setup shows it: megabytes with one decimal, never
// "0.0" for an archive that holds something.
QString sizeForDisplay(qint64 bytes)
{
    const QString text = QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1);
    return (text == QStringLiteral("0.0") && bytes > 0) ? QStringLiteral("0.1") : text;
}

using KeyPointer = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

QString opensslFailure(const QString& what)
{
    return QStringLiteral("%1 failed (OpenSSL)").arg(what);
}

// The SHA-256 of a file as 64 lower-case hexadecimal digits.
QByteArray sha256OfFile(const QString& path)
{
    const QByteArray digest = ReleaseIntegrity::Sha256OfFile(path);
    if (digest.isEmpty())
        throw Failure(QStringLiteral("cannot hash %1").arg(path));
    return digest;
}

KeyPointer readPrivateKey(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("cannot read the key %1: %2").arg(path, file.errorString()));
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), BIO_free);
    KeyPointer key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        throw Failure(QStringLiteral("%1 holds no Ed25519 private key").arg(path));
    return key;
}

QByteArray publicKeyBase64(EVP_PKEY* key)
{
    unsigned char raw[32];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1)
        throw Failure(opensslFailure(QStringLiteral("reading the public key")));
    return QByteArray(reinterpret_cast<const char*>(raw), static_cast<qsizetype>(length)).toBase64();
}

// The detached Ed25519 signature of `data`, base64.
QByteArray signatureBase64(EVP_PKEY* key, const QByteArray& data)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof signature;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1
        || EVP_DigestSign(context.get(), signature, &length, reinterpret_cast<const unsigned char*>(data.constData()),
                          static_cast<size_t>(data.size())) != 1)
        throw Failure(opensslFailure(QStringLiteral("signing")));
    return QByteArray(reinterpret_cast<const char*>(signature), static_cast<qsizetype>(length)).toBase64();
}

// A new private key, readable by its owner only from the start; an existing file is
// never overwritten (it may be the only copy of a key in use).
void writeNewKey(const QString& path)
{
    KeyPointer key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
    if (!key)
        throw Failure(opensslFailure(QStringLiteral("making a key")));
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw Failure(opensslFailure(QStringLiteral("writing the key")));
    char* pem = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &pem);
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Failure(QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    const bool written = ::write(fd, pem, static_cast<size_t>(length)) == length;
    if (::close(fd) != 0 || !written) {
        QFile::remove(path);
        throw Failure(QStringLiteral("cannot write %1").arg(path));
    }
    std::printf("%s\n", publicKeyBase64(key.get()).constData());
}

// The archive's tail from the start of its central directory to its end.
struct Tail {
    qint64 bytes = 0;
    QByteArray sha256;
};

Tail tailOf(const QString& archive)
{
    const std::optional<quint64> offset = CentralDirectoryOffset(archive);
    QFile file(archive);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!offset || !file.open(QIODevice::ReadOnly) || !file.seek(static_cast<qint64>(*offset)) || !hash.addData(&file))
        throw Failure(QStringLiteral("cannot read the central directory of %1").arg(archive));
    return {file.size() - static_cast<qint64>(*offset), hash.result().toHex()};
}

// The descriptor in the program's own XML layout: CR LF line ends, two-space indent.
// `hashes` (archive, setup) are empty unless the release is signed.
QByteArray descriptor(const Options& options, qint64 bytes, long long entries, const Tail& tail,
                      const std::pair<QByteArray, QByteArray>& hashes)
{
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    pugi::xml_node root = document.append_child("system");
    root.append_child("version").text() = options.version;
    root.append_child("number").text() = options.number;
    pugi::xml_node size = root.append_child("size");
    size.append_attribute("bytes") = static_cast<long long>(bytes);
    size.append_attribute("fileCount") = entries;
    if (!hashes.first.isEmpty())
        size.append_attribute("sha256") = hashes.first.constData();
    size.text() = sizeForDisplay(bytes).toUtf8().constData();
    if (!hashes.second.isEmpty())
        root.append_child("setup").append_attribute("sha256") = hashes.second.constData();
    pugi::xml_node tailNode = root.append_child("tail");
    tailNode.append_attribute("bytes") = static_cast<long long>(tail.bytes);
    tailNode.append_attribute("sha256") = tail.sha256.constData();
    std::ostringstream out;
    document.save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
    return QByteArray::fromStdString(out.str()).replace("\n", "\r\n");
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        throw Failure(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
}

std::filesystem::path fsPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Where a release lives: the link OUTDIR and the folders beside it.
struct ReleaseLink {
    QString link;    // OUTDIR, absolute, without a trailing "/"
    QString parent;  // the folder that holds the link and the release folders
    QString name;    // the link's own name

    explicit ReleaseLink(const QString& outFolder)
    {
        const QFileInfo info(QDir::cleanPath(QFileInfo(outFolder).absoluteFilePath()));
        link = info.absoluteFilePath();
        parent = info.absolutePath();
        name = info.fileName();
    }

    // The release folder the link points to now, when it is one this tool made.
    QString currentRelease() const
    {
        const QFileInfo info(link);
        if (!info.isSymLink())
            return {};
        const QString target = QFileInfo(info.symLinkTarget()).fileName();
        static const QRegularExpression made(QStringLiteral("^(.*)\\.[A-Za-z0-9]{6}$"));
        const QRegularExpressionMatch match = made.match(target);
        if (!match.hasMatch() || match.captured(1) != name || QFileInfo(info.symLinkTarget()).absolutePath() != parent)
            return {};
        return parent + QLatin1Char('/') + target;
    }

    // An older layout kept the files in OUTDIR itself: swapping that in one step is
    // impossible, so such a folder must be moved aside by hand first.
    void checkReplaceable() const
    {
        const QFileInfo info(link);
        if (info.isSymLink() || !info.exists() || isEmptyFolder())
            return;
        throw Failure(QStringLiteral("%1 is not a release link made by vrn-publish; move it aside first").arg(link));
    }

    // Points the link at `release` in one rename (an empty folder in its place goes first).
    void swapTo(const QString& release) const
    {
        const QString newLink = release + QStringLiteral(".link");
        std::error_code error;
        std::filesystem::create_symlink(fsPath(QFileInfo(release).fileName()), fsPath(newLink), error);
        if (!error && isEmptyFolder())
            std::filesystem::remove(fsPath(link), error);
        if (!error)
            std::filesystem::rename(fsPath(newLink), fsPath(link), error);
        if (error) {
            QFile::remove(newLink);
            throw Failure(QStringLiteral("cannot put the release in place as %1: %2")
                              .arg(link, QString::fromLocal8Bit(error.message())));
        }
    }

private:
    bool isEmptyFolder() const
    {
        const QFileInfo info(link);
        return !info.isSymLink() && info.isDir()
               && QDir(link).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }
};

// Writes the whole release into `folder`, which nobody serves yet; returns the
// archive's length and entry count.
std::pair<qint64, long long> writeRelease(const Options& options, const QString& folder)
{
    const QString archive = folder + QStringLiteral("/vrnsetup.zip");
    if (!options.appFolder.isEmpty()) {
        zipFolder(options.appFolder, archive);
    } else {
        copyFile(options.archive, archive);
        entryCount(archive);  // what the setup would refuse is refused before it is rewritten
        addMissingDigests(archive);
    }
    const qint64 bytes = QFileInfo(archive).size();
    const long long entries = entryCount(archive);
    const Tail tail = tailOf(archive);
    const QString setup = folder + QStringLiteral("/vrnsetup.exe");
    if (!options.setup.isEmpty())
        copyFile(options.setup, setup);
    if (options.key.isEmpty()) {
        writeFile(folder + QStringLiteral("/system.xml"), descriptor(options, bytes, entries, tail, {}));
        return {bytes, entries};
    }
    const KeyPointer key = readPrivateKey(options.key);
    const QByteArray setupHash = options.setup.isEmpty() ? QByteArray() : sha256OfFile(setup);
    const QByteArray xml = descriptor(options, bytes, entries, tail, {sha256OfFile(archive), setupHash});
    writeFile(folder + QStringLiteral("/system.xml"), xml);
    writeFile(folder + QStringLiteral("/system.xml.sig"), signatureBase64(key.get(), xml));
    return {bytes, entries};
}

// The new release is written beside the one being served and swapped in with one
// rename; a failure before that rename leaves the old release as it was.
void publish(const Options& options)
{
    const ReleaseLink release(options.outFolder);
    if (!QDir().mkpath(release.parent))
        throw Failure(QStringLiteral("cannot create the folder ") + release.parent);
    release.checkReplaceable();
    QTemporaryDir made(release.parent + QLatin1Char('/') + release.name + QStringLiteral(".XXXXXX"));
    if (!made.isValid())
        throw Failure(QStringLiteral("cannot create a folder beside %1: %2").arg(release.link, made.errorString()));
    // readable by a web server that runs as another user, like any published folder
    QFile::setPermissions(made.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                           | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    const auto [bytes, entries] = writeRelease(options, made.path());
    const QString old = release.currentRelease();
    release.swapTo(made.path());
    made.setAutoRemove(false);
    if (!old.isEmpty())
        QDir(old).removeRecursively();
    std::printf("%s/vrnsetup.zip: %lld bytes, %lld entries\n", QFile::encodeName(release.link).constData(),
                static_cast<long long>(bytes), entries);
}

}  // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (arguments.size() == 2 && arguments[0] == QStringLiteral("--new-key")) {
        try {
            writeNewKey(arguments[1]);
        } catch (const Failure& failure) {
            std::fprintf(stderr, "vrn-publish: %s\n", failure.what());
            return 1;
        }
        return 0;
    }
    Options options;
    try {
        options = parseArguments(arguments);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "vrn-publish: %s\n%s", failure.what(), usage);
        return 2;
    }
    try {
        publish(options);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "vrn-publish: %s\n", failure.what());
        return 1;
    }
    return 0;
}
