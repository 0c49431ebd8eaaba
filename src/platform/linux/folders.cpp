// Folders on Linux: the private temporary folder, the XDG shell folders,
// creating and deleting folder trees.
#include "platform/platform.h"

#include <QDir>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace platform {

namespace {

QString firstTempCandidate()
{
    for (const char* name : {"TMPDIR", "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return QString::fromLocal8Bit(value);
    }
    return QStringLiteral("/tmp");
}

bool othersMayWrite(const struct stat& info)
{
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// A shared folder such as /tmp gets a subfolder of our own, mode 0700.
QString privateSubfolder(const QString& shared)
{
    const QString folder = withTrailingSeparator(shared) + QStringLiteral("vorlen-%1").arg(getuid());
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        throw ETempFolderError(QStringLiteral("Cannot create the temporary folder \"%1\". %2")
                                   .arg(folder, systemErrorText(errno)));
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw ETempFolderError(QStringLiteral("The temporary folder \"%1\" is not a folder.").arg(folder));
    if (info.st_uid != getuid())
        throw ETempFolderError(
            QStringLiteral("The temporary folder \"%1\" belongs to another user.").arg(folder));
    if (othersMayWrite(info))
        throw ETempFolderError(
            QStringLiteral("The temporary folder \"%1\" may be written by other users.").arg(folder));
    return folder;
}

}  // namespace

QString systemTempPath()
{
    const QString candidate = firstTempCandidate();
    struct stat info {};
    if (::stat(QFile::encodeName(candidate).constData(), &info) != 0) {
        if (errno == ENOENT)
            throw ETempFolderError(QStringLiteral("The temporary folder \"%1\" does not exist.").arg(candidate));
        throw ETempFolderError(
            QStringLiteral("The temporary folder \"%1\" cannot be used. %2").arg(candidate, systemErrorText(errno)));
    }
    if (!S_ISDIR(info.st_mode))
        throw ETempFolderError(QStringLiteral("The temporary folder \"%1\" is not a folder.").arg(candidate));
    if (othersMayWrite(info))
        return withTrailingSeparator(privateSubfolder(candidate));
    if (info.st_uid != getuid())
        throw ETempFolderError(
            QStringLiteral("The temporary folder \"%1\" belongs to another user.").arg(candidate));
    return withTrailingSeparator(candidate);
}

QString userCacheFolder()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (base.isEmpty() || !QDir().mkpath(base))
        return {};
    const QString folder = withTrailingSeparator(base) + QStringLiteral("vorlen-setup");
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid())
        return {};
    // what a run leaves there is the user's own business: others may not even list it
    if ((info.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0)
        return {};
    return withTrailingSeparator(folder);
}

QString specialFolder(int csidl)
{
    switch (csidl) {
    case 16:
        return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    case 2:
        return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    case 26:
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    case 28:
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    default:
        return {};
    }
}

bool forceDirectories(const QString& path)
{
    return !path.isEmpty() && QDir().mkpath(path);
}

namespace {

void deleteEntry(const fs::path& entry)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(entry, error);
    if (error)
        return;
    if (fs::is_directory(status)) {
        // a folder without write access would keep its entries
        fs::permissions(entry, fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, error);
        std::vector<fs::path> children;
        for (fs::directory_iterator it(entry, error), end; !error && it != end; it.increment(error))
            children.push_back(it->path());
        for (const fs::path& child : children)
            deleteEntry(child);
    }
    fs::remove(entry, error);
}

}  // namespace

void deleteTree(const QString& path)
{
    if (path.isEmpty())
        return;
    QString native = path;
    while (native.size() > 1 && native.endsWith(QLatin1Char(PathSeparator)))
        native.chop(1);
    deleteEntry(fs::path(QFile::encodeName(native).toStdString()));
}

}  // namespace platform
