// Replacing an installation in one step: the folder exchange, renames that never
// replace, files that take their name only when whole, carrying files from one tree to
// another without copying their bytes, and the figures the free-space check needs.
#include "platform/platform.h"
#include "platform/linux/file_copy.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

QByteArray native(const QString& path)
{
    return QFile::encodeName(withoutTrailingSeparator(path));
}

[[noreturn]] void raiseSwapError(const QString& staging, const QString& target, int error)
{
    throw EInOutError(QStringLiteral("Cannot put \"%1\" in place of \"%2\". %3")
                          .arg(staging, target, systemErrorText(error)));
}

bool exists(const QByteArray& path)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0;
}

bool copyRegularFile(const QByteArray& from, const QByteArray& to, mode_t mode)
{
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    // a carried file keeps its mode exactly, whatever the umask
    bool ok = out >= 0 && ::fchmod(out, mode & 07777) == 0;
    std::vector<char> buffer(1 << 16);
    while (ok) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = ::write(out, buffer.data(), static_cast<size_t>(got)) == got;
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0)
        ok = false;
    if (!ok && out >= 0)
        ::unlink(to.constData());
    return ok;
}

}  // namespace

void swapFolderInto(const QString& staging, const QString& target)
{
    const QByteArray from = native(staging);
    const QByteArray to = native(target);
    if (!exists(to)) {
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0)
            raiseSwapError(staging, target, errno);
        return;
    }
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0)
        return;
    if (errno != EINVAL && errno != ENOSYS)
        raiseSwapError(staging, target, errno);
    // a file system without the exchange: the old tree goes aside for the moment of one rename
    const QByteArray aside = from + ".old";
    if (::rename(to.constData(), aside.constData()) != 0)
        raiseSwapError(staging, target, errno);
    if (::rename(from.constData(), to.constData()) != 0) {
        const int error = errno;
        ::rename(aside.constData(), to.constData());
        raiseSwapError(staging, target, error);
    }
    ::rename(aside.constData(), from.constData());
}

bool replaceFile(const QString& from, const QString& to)
{
    struct stat info {};
    if (::lstat(native(to).constData(), &info) == 0 && S_ISDIR(info.st_mode))
        return false;
    return ::rename(native(from).constData(), native(to).constData()) == 0;
}

namespace {

// Set once a file system made a file without a name but would not name it.
std::atomic<bool> namingRefused{false};

// Whether a file made without a name can be given one through /proc, asked once.
bool canNameUnnamedFiles()
{
    static const bool procIsMounted = ::access("/proc/self/fd", X_OK) == 0;
    return procIsMounted && !namingRefused;
}

// The bytes and mode of the unnamed file `fd` in a new file at `path` (replacing a file of
// that name): for a file system that made the file but will not name it. False, with
// errno set, on failure; nothing is left at `path` then.
bool copyUnnamedFile(int fd, const QByteArray& path)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || (::unlink(path.constData()) != 0 && errno != ENOENT))
        return false;
    const int named = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, info.st_mode & 07777);
    if (named < 0)
        return false;
    QFile from;
    QFile to;
    bool copied = from.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle)
                        && to.open(named, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle)
                        && from.seek(0) && copyBytes(from, -1, to) == CopyResult::Done
                        && ::fchmod(named, info.st_mode & 07777) == 0;
    int reason = errno;
    if (::close(named) != 0 && copied) {
        copied = false;
        reason = errno;
    }
    if (copied)
        return true;
    ::unlink(path.constData());
    errno = reason;
    return false;
}

}  // namespace

int createUnnamedFile(const QByteArray& path, unsigned mode)
{
    if (!canNameUnnamedFiles())
        return -1;
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? path.left(slash) : QByteArrayLiteral(".");
    return ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, static_cast<mode_t>(mode));
}

bool nameUnnamedFile(int fd, const QByteArray& path)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    const auto link = [&] { return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW) == 0; };
    if (link() || (errno == EEXIST && ::unlink(path.constData()) == 0 && link()))
        return true;
    // a file system without links, or a /proc that will not lead to the file: the bytes
    // go into a file made by name, and later files are made by name at once
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != ENOENT)
        return false;
    namingRefused = true;
    return copyUnnamedFile(fd, path);
}

bool renameNoReplace(const QString& from, const QString& to)
{
    return ::renameat2(AT_FDCWD, native(from).constData(), AT_FDCWD, native(to).constData(), RENAME_NOREPLACE) == 0;
}

bool duplicateEntry(const QString& from, const QString& to)
{
    const QByteArray source = native(from);
    const QByteArray target = native(to);
    struct stat info {};
    if (::lstat(source.constData(), &info) != 0)
        return false;
    if (S_ISLNK(info.st_mode)) {
        std::vector<char> link(static_cast<size_t>(info.st_size) + 1);
        const ssize_t length = ::readlink(source.constData(), link.data(), link.size());
        if (length < 0 || static_cast<size_t>(length) >= link.size())
            return false;
        link[static_cast<size_t>(length)] = '\0';
        return ::symlink(link.data(), target.constData()) == 0;
    }
    if (!S_ISREG(info.st_mode))
        return false;
    if (::link(source.constData(), target.constData()) == 0)
        return true;
    return errno != EEXIST && copyRegularFile(source, target, info.st_mode);
}

std::optional<unsigned> entryMode(const QString& path)
{
    struct stat info {};
    if (::lstat(native(path).constData(), &info) != 0)
        return std::nullopt;
    return info.st_mode & 07777;
}

bool setEntryMode(const QString& path, unsigned mode)
{
    return ::chmod(native(path).constData(), static_cast<mode_t>(mode & 07777)) == 0;
}

namespace {

// The stamp of the regular file `at` names from the folder `folder` (a link is not followed).
std::optional<FileStamp> stampAt(int folder, const char* at)
{
    struct stat info {};
    if (::fstatat(folder, at, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    const auto nanoseconds = [](const timespec& time) { return static_cast<qint64>(time.tv_sec) * 1000000000 + time.tv_nsec; };
    return FileStamp{static_cast<qint64>(info.st_size), nanoseconds(info.st_mtim), nanoseconds(info.st_ctim),
                     static_cast<quint64>(info.st_ino)};
}

}  // namespace

std::optional<FileStamp> fileStamp(const QString& path)
{
    return stampAt(AT_FDCWD, native(path).constData());
}

FolderStamps::FolderStamps(const QString& folder)
    : m_folder(folder), m_fd(::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
}

FolderStamps::~FolderStamps()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<FileStamp> FolderStamps::of(const QString& relative) const
{
    return m_fd < 0 ? fileStamp(m_folder + relative) : stampAt(m_fd, native(relative).constData());
}

std::optional<qint64> freeSpace(const QString& path)
{
    struct statvfs info {};
    if (::statvfs(native(path).constData(), &info) != 0)
        return std::nullopt;
    return static_cast<qint64>(info.f_bavail) * static_cast<qint64>(info.f_frsize);
}

namespace {

// The mask as the kernel tells it in the process's status (Linux 4.7 and later).
std::optional<unsigned> statusUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray& line : status.readAll().split('\n')) {
        bool ok = false;
        const unsigned mask = line.startsWith("Umask:") ? line.mid(6).trimmed().toUInt(&ok, 8) : 0;
        if (ok)
            return mask;
    }
    return std::nullopt;
}

}  // namespace

unsigned fileCreationMask()
{
    // read where the kernel tells it: setting the mask, even back at once, would give a file
    // another thread creates meanwhile the wrong mode
    if (const std::optional<unsigned> told = statusUmask())
        return *told;
    static std::mutex guard;
    std::lock_guard lock(guard);
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

void applyCreationMask(const QString& file)
{
    const QByteArray path = native(file);
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    // the owner keeps reading and writing it, as every file the program makes
    const mode_t mode = (info.st_mode & 07777 & ~static_cast<mode_t>(fileCreationMask())) | S_IRUSR | S_IWUSR;
    if ((info.st_mode & 07777) != mode)
        ::chmod(path.constData(), mode);
}

}  // namespace platform
