// Moving and copying files, and the facts about the system that the installer records
// or checks: the machine identifier, the system folder, the graphics runtime.
#include "platform/platform.h"
#include "platform/linux/file_copy.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace platform {

bool moveFile(const QString& from, const QString& to)
{
    // QFile::rename never replaces an existing target and copies across file systems
    return !QFile::exists(to) && QFile::rename(from, to);
}

bool copyFile(const QString& from, const QString& to)
{
    // a copy of the running program is the program that runs, even when its file was replaced
    QFile source(readableProgramFile(from));
    if (!source.open(QIODevice::ReadOnly))
        return false;
    // a new file renamed over the target, so that a running target program is no obstacle
    // and a failed copy leaves the old target whole
    QSaveFile target(to);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly))
        return false;
    if (copyBytes(source, -1, target) != CopyResult::Done)
        return false;
    // the mode is the new file's before it takes the target's place
    if (!giveCopiedMode(source.handle(), target.handle()))
        return false;
    return target.commit();
}

UnnamedCopy::UnnamedCopy(const QString& from, const QString& folder) : m_from(readableProgramFile(from))
{
    const qint64 size = QFileInfo(m_from).size();
    m_fd = size > 0 ? createUnnamedFile(QFile::encodeName(withTrailingSeparator(folder)), 0600) : -1;
    // a file system that cannot reserve the room is not given zeros to write instead
    if (m_fd >= 0 && ::fallocate(m_fd, 0, 0, size) != 0)
        drop();
    m_reserved = size;
}

UnnamedCopy::UnnamedCopy(UnnamedCopy&& other) noexcept
    : m_from(std::move(other.m_from)), m_fd(std::exchange(other.m_fd, -1)), m_reserved(other.m_reserved)
{
}

UnnamedCopy& UnnamedCopy::operator=(UnnamedCopy&& other) noexcept
{
    std::swap(m_from, other.m_from);
    std::swap(m_fd, other.m_fd);
    std::swap(m_reserved, other.m_reserved);
    return *this;
}

UnnamedCopy::~UnnamedCopy()
{
    drop();
}

void UnnamedCopy::drop()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool UnnamedCopy::copy()
{
    QFile source(m_from);
    QFile target;
    const bool copied = m_fd >= 0 && source.open(QIODevice::ReadOnly)
                        && target.open(m_fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)
                        && copyBytes(source, -1, target) == CopyResult::Done && target.flush()
                        && target.pos() == m_reserved && giveCopiedMode(source.handle(), m_fd)
                        && ::fdatasync(m_fd) == 0;
    if (!copied)
        drop();
    return copied;
}

bool UnnamedCopy::nameAs(const QString& path)
{
    return m_fd >= 0 && nameUnnamedFile(m_fd, QFile::encodeName(path));
}

QString formatVolumeSerial(quint32 serial)
{
    return QStringLiteral("%1-%2")
        .arg(serial >> 16, 4, 16, QLatin1Char('0'))
        .arg(serial & 0xFFFF, 4, 16, QLatin1Char('0'))
        .toUpper();
}

QString machineIdentifier()
{
    struct statvfs info {};
    if (::statvfs("/", &info) != 0)
        return {};
    return formatVolumeSerial(static_cast<quint32>(info.f_fsid & 0xFFFFFFFFu));
}

QString systemDir()
{
    return QStringLiteral("/usr/lib");
}

namespace {
std::mutex graphicsMutex;
std::optional<bool> graphicsAnswer;
}  // namespace

bool graphicsRuntimePresent()
{
    std::lock_guard lock(graphicsMutex);
    return graphicsAnswer.value_or(true);
}

void setGraphicsRuntimePresentForTesting(std::optional<bool> answer)
{
    std::lock_guard lock(graphicsMutex);
    graphicsAnswer = answer;
}

}  // namespace platform
