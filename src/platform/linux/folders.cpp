// Folders on Linux: the private temporary folder, the XDG shell folders,
// creating and deleting folder trees.
#include "platform/platform.h"

#include <QDir>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
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

void checkUserFolderNames()
{
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "TMPDIR", "XDG_RUNTIME_DIR"}) {
        const QByteArray raw = qgetenv(name);
        if (raw.isEmpty() || QFile::encodeName(QFile::decodeName(raw)) == raw)
            continue;
        throw EFolderNameError(QStringLiteral("The folder \"%1\" (%2) has a name that is not valid UTF-8, so nothing "
                                              "can be installed into it. Rename the folder, or set %2 to another one.")
                                   .arg(QFile::decodeName(raw), QLatin1String(name)));
    }
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

void markTreeTop(const QByteArray& folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    // the flags are an int whatever the request's declared type says
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && !(flags & FS_TOPDIR_FL)) {
        flags |= FS_TOPDIR_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

namespace {

// Where an entry lives: its device and mount, and whether it is the root of a mount.
struct Placement {
    dev_t device = 0;
    quint64 mountId = 0;
    bool mountRoot = false;
    bool folder = false;
};

std::optional<Placement> placementOf(const fs::path& entry)
{
    struct statx info {};
    if (::statx(AT_FDCWD, entry.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &info) != 0)
        return std::nullopt;
    Placement placement;
    placement.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    placement.mountId = (info.stx_mask & STATX_MNT_ID) ? info.stx_mnt_id : 0;
    placement.mountRoot = (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
                          && (info.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    placement.folder = S_ISDIR(info.stx_mode);
    return placement;
}

// A bind mount of another folder of the same disk has the same device, so the mount
// itself is compared too.
bool onAnotherMount(const Placement& entry, const Placement& tree)
{
    return entry.device != tree.device || entry.mountId != tree.mountId || entry.mountRoot;
}

// A folder itself, not a link to one, as the listing tells (the entry is looked at only
// where the file system does not say).
bool isFolder(const fs::directory_entry& entry)
{
    std::error_code error;
    return !entry.is_symlink(error) && entry.is_directory(error);
}

// Whether the listed entry is a folder (a link to one is not), from the type the listing
// gives where the file system gives one.
bool isFolder(int folder, const dirent& entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_DIR;
    struct stat info {};
    return ::fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// Each unlink waits for the disk to drop the file's blocks, and the entries of one folder
// go one after another under its lock: folders are emptied side by side, by helper
// threads taken while any is spare (a folder is emptied by its caller otherwise).
class TreeDeletion {
public:
    // with the caller, sixteen unlinks wait for the disk at once: on this kind of disk a
    // 20,000-file tree went a quarter faster than with eight, and 32 gained nothing more
    static constexpr std::ptrdiff_t HelperThreads = 15;

    TreeDeletion(fs::path root, const Placement& tree) : m_root(std::move(root)), m_tree(tree) {}

    // True when the entry is gone.
    bool remove(const fs::path& entry)
    {
        const std::optional<Placement> placement = placementOf(entry);
        if (!placement)
            return true;  // gone already
        if (placement->folder && !removeFolderContent(entry, *placement))
            return false;
        const bool gone = (placement->folder ? ::rmdir(entry.c_str()) : ::unlink(entry.c_str())) == 0 || errno == ENOENT;
        if (!gone)
            leave(entry);
        return gone;
    }

    QStringList left() const
    {
        QStringList sorted = m_left;
        sorted.sort();
        return sorted;
    }

private:
    // False when the folder must stay: it is another mount, or something in it stayed.
    bool removeFolderContent(const fs::path& folder, const Placement& placement)
    {
        // the tree's own folder is the reference, even when it is a mount itself
        if (folder != m_root && onAnotherMount(placement, m_tree)) {
            leave(folder);
            return false;
        }
        // what the user cannot list or reach was never seen, so it is not deleted unseen
        struct stat info {};
        if (::access(folder.c_str(), R_OK | X_OK) != 0 || ::lstat(folder.c_str(), &info) != 0) {
            leave(folder);
            return false;
        }
        // a folder without write access would keep its entries
        const bool opened = !(info.st_mode & S_IWUSR) && ::chmod(folder.c_str(), (info.st_mode & 07777) | S_IWUSR) == 0;
        std::error_code error;
        std::vector<fs::directory_entry> children;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            children.push_back(*it);
        if (error)
            leave(folder);
        const bool emptied = removeChildren(children) && !error;
        // a folder that stays keeps the mode it had
        if (!emptied && opened)
            ::chmod(folder.c_str(), info.st_mode & 07777);
        return emptied;
    }

    bool removeChildren(const std::vector<fs::directory_entry>& children)
    {
        std::atomic<bool> allGone{true};
        std::vector<std::thread> helpers;
        for (const fs::directory_entry& child : children) {
            const bool folder = isFolder(child);
            if (folder && m_spareHelpers.try_acquire()) {
                try {
                    helpers.emplace_back([this, &allGone, path = child.path()] {
                        if (!remove(path))
                            allGone = false;
                        m_spareHelpers.release();
                    });
                    continue;
                } catch (const std::system_error&) {
                    m_spareHelpers.release();  // no thread to be had: the folder is emptied here
                }
            }
            if (!removeChild(child, folder))
                allGone = false;
        }
        for (std::thread& helper : helpers)
            helper.join();
        return allGone;
    }

    // What the listing says is no folder is unlinked without another look at it; where
    // that fails, the entry gets the look and the reasons `remove` gives.
    bool removeChild(const fs::directory_entry& child, bool folder)
    {
        if (folder)
            return remove(child.path());
        return ::unlink(child.path().c_str()) == 0 || errno == ENOENT || remove(child.path());
    }

    void leave(const fs::path& entry)
    {
        const std::lock_guard lock(m_leftMutex);
        m_left << QFile::decodeName(entry.c_str());
    }

    fs::path m_root;
    Placement m_tree;
    std::counting_semaphore<HelperThreads> m_spareHelpers{HelperThreads};
    std::mutex m_leftMutex;
    QStringList m_left;
};

}  // namespace

std::optional<std::vector<FolderEntry>> folderEntries(const QString& folder)
{
    const QByteArray path = QFile::encodeName(withoutTrailingSeparator(folder));
    // a folder that can be read but not searched lists names whose entries cannot be reached
    if (::access(path.constData(), R_OK | X_OK) != 0)
        return std::nullopt;
    // read as the kernel lists it: a path object for every entry cost more than the listing
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.constData()), ::closedir);
    if (!dir)
        return std::nullopt;
    std::vector<FolderEntry> entries;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry)
            break;
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            entries.push_back({QFile::decodeName(entry->d_name), isFolder(::dirfd(dir.get()), *entry)});
    }
    if (errno != 0)
        return std::nullopt;
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return entries;
}

QStringList deleteTree(const QString& path)
{
    if (path.isEmpty())
        return {};
    QString native = path;
    while (native.size() > 1 && native.endsWith(QLatin1Char(PathSeparator)))
        native.chop(1);
    const fs::path root(QFile::encodeName(native).toStdString());
    const std::optional<Placement> tree = placementOf(root);
    if (!tree)
        return {};
    TreeDeletion deletion(root, *tree);
    deletion.remove(root);
    return deletion.left();
}

}  // namespace platform
