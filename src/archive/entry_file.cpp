#include "archive/entry_file.h"

#include "platform/platform.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int WriteFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;

// Files are made in trees nobody else sees, so a new one is made by its name: cheaper
// than an unnamed file, whose creation and naming pass through the file system's orphan
// list one at a time.
int createNewFile(const QByteArray& path, mode_t mode)
{
    return ::open(path.constData(), WriteFlags | O_EXCL, mode);
}

int replaceFile(const QByteArray& path, mode_t mode)
{
    int fd = ::open(path.constData(), WriteFlags | O_TRUNC, mode);
    if (fd < 0 && (errno == ELOOP || errno == ETXTBSY || errno == EACCES || errno == EPERM)) {
        // a link, a running program or a read-only file is replaced by a new file
        if (::unlink(path.constData()) == 0)
            fd = createNewFile(path, mode);
    }
    return fd;
}

void writeAll(int fd, const char* data, size_t size, const QByteArray& path)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw fileWriteError(QFile::decodeName(path), systemErrorText(errno));
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

void RefuseEntry(const QString& name, const QString& why)
{
    throw EZipUnsafeEntry(QStringLiteral("The archive entry \"%1\" is refused: %2.").arg(name, why));
}

QByteArray SafeEntryPath(const QString& name)
{
    if (name.isEmpty())
        RefuseEntry(name, QStringLiteral("it has no name"));
    if (name.startsWith(QLatin1Char('/')) || (name.size() > 1 && name[1] == QLatin1Char(':')))
        RefuseEntry(name, QStringLiteral("its path is absolute"));
    QStringList parts;
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".."))
            RefuseEntry(name, QStringLiteral("its path leads out of the folder"));
        if (part != QLatin1String("."))
            parts << part;
    }
    return QFile::encodeName(parts.join(QLatin1Char('/')));
}

mode_t UsualFileMode(mode_t mask)
{
    return (0644 & ~mask) | S_IRUSR | S_IWUSR;
}

mode_t UsualFolderMode(mode_t mask)
{
    return (0755 & ~mask) | S_IRWXU;
}

mode_t MadeFolderMode(mode_t mask)
{
    return UsualFolderMode(mask) & ~mask;
}

EntryPlace PlaceEntry(const QString& name, uint8_t system, uint32_t attributes, mode_t mask)
{
    constexpr uint8_t UnixSystem = 3;
    EntryPlace place;
    place.name = name;
    place.path = SafeEntryPath(name);
    const mode_t unixMode = system == UnixSystem ? static_cast<mode_t>(attributes >> 16) : 0;
    const mode_t type = unixMode & S_IFMT;
    if (type == S_IFLNK)
        RefuseEntry(name, QStringLiteral("it is a symbolic link"));
    if (type != 0 && type != S_IFREG && type != S_IFDIR)
        RefuseEntry(name, QStringLiteral("it is not a file or a folder"));
    place.isFolder = name.endsWith(QLatin1Char('/')) || type == S_IFDIR;
    if (place.path.isEmpty() && !place.isFolder)
        RefuseEntry(name, QStringLiteral("it has no name"));
    // the user's umask narrows every stored mode, as it narrows what the user makes
    const mode_t permissions = unixMode & 0777;
    if (place.isFolder)
        place.mode = permissions ? (permissions & ~mask) | S_IRWXU : UsualFolderMode(mask);
    else
        place.mode = permissions ? (permissions & ~mask) | S_IRUSR | S_IWUSR : UsualFileMode(mask);
    return place;
}

void WriteEntryFile(const QByteArray& path, mode_t mode, mode_t mask, const std::function<void(const EntrySink&)>& produce)
{
    FileDescriptor target{createNewFile(path, mode)};
    const bool created = target.fd >= 0;
    bool unnamed = false;
    if (!created && errno == EEXIST) {
        target.fd = platform::createUnnamedFile(path, mode);
        unnamed = target.fd >= 0;
        if (!unnamed)
            target.fd = replaceFile(path, mode);
    }
    if (target.fd < 0)
        throw fileCreateError(QFile::decodeName(path), systemErrorText(errno));
    try {
        produce([&](const char* data, size_t size) { writeAll(target.fd, data, size, path); });
        // a replaced file keeps its old mode through O_TRUNC, and the umask may narrow a new one
        if ((!created || (mode & mask) != 0) && ::fchmod(target.fd, mode) != 0)
            throw fileWriteError(QFile::decodeName(path), systemErrorText(errno));
        if (unnamed && !platform::nameUnnamedFile(target.fd, path))
            throw fileCreateError(QFile::decodeName(path), systemErrorText(errno));
        const int fd = target.fd;
        target.fd = -1;
        if (::close(fd) != 0)
            throw fileWriteError(QFile::decodeName(path), systemErrorText(errno));
    } catch (...) {
        if (created)
            ::unlink(path.constData());
        throw;
    }
}
