// The lock that keeps a second run of the setup from working beside the first.
#include "platform/platform.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace platform {

std::unique_ptr<FileLock> FileLock::acquire(const QString& path, int waitMs)
{
    // close-on-exec: a program the run starts (the application, a newer setup) must not keep it
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw EInOutError(QStringLiteral("Cannot open the lock file \"%1\". %2").arg(path, systemErrorText(errno)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return std::unique_ptr<FileLock>(new FileLock(fd));
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

FileLock::~FileLock()
{
    ::close(m_fd);
}

}  // namespace platform
