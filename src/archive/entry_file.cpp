#include "archive/entry_file.h"

#include "platform/platform.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int createFile(const QByteArray& path, mode_t mode)
{
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.constData(), flags, mode);
    if (fd < 0 && (errno == ELOOP || errno == ETXTBSY || errno == EACCES || errno == EPERM)) {
        // a link, a running program or a read-only file is replaced by a new file
        if (::unlink(path.constData()) == 0)
            fd = ::open(path.constData(), flags | O_EXCL, mode);
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

void WriteEntryFile(const QByteArray& path, mode_t mode, const std::function<void(const EntrySink&)>& produce)
{
    FileDescriptor target{platform::createUnnamedFile(path, mode)};
    const bool unnamed = target.fd >= 0;
    if (!unnamed)
        target.fd = createFile(path, mode);
    if (target.fd < 0)
        throw fileCreateError(QFile::decodeName(path), systemErrorText(errno));
    produce([&](const char* data, size_t size) { writeAll(target.fd, data, size, path); });
    // an existing file keeps its old mode through O_TRUNC, and the umask narrowed a new one
    if (::fchmod(target.fd, mode) != 0)
        throw fileWriteError(QFile::decodeName(path), systemErrorText(errno));
    if (unnamed && !platform::nameUnnamedFile(target.fd, path))
        throw fileCreateError(QFile::decodeName(path), systemErrorText(errno));
    const int fd = target.fd;
    target.fd = -1;
    if (::close(fd) != 0)
        throw fileWriteError(QFile::decodeName(path), systemErrorText(errno));
}
