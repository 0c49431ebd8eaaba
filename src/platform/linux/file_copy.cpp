#include "platform/linux/file_copy.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr qint64 CopyChunk = 1024 * 1024;
// Large enough that the kernel copies at full speed, small enough for a progress bar.
constexpr qint64 KernelChunk = 8 * CopyChunk;

// Copies what the kernel will copy between the two files from their current positions,
// and moves both positions past it. It stops at the end of the source, at `count`, or at
// the first refusal (a device, another file system on an old kernel, a full disk), for
// the buffered copy to finish or to meet the failure and record its reason.
qint64 copyInKernel(QFileDevice& from, qint64 count, QFileDevice& to, const CopyProgress& copied)
{
    if (from.handle() < 0 || !to.flush() || to.handle() < 0)
        return 0;
    loff_t in = from.pos();
    loff_t out = to.pos();
    qint64 done = 0;
    while (count < 0 || done < count) {
        const qint64 wanted = count < 0 ? KernelChunk : std::min(KernelChunk, count - done);
        const ssize_t moved = ::copy_file_range(from.handle(), &in, to.handle(), &out, static_cast<size_t>(wanted), 0);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            break;
        done += moved;
        if (copied)
            copied(done);
    }
    if (done > 0 && !(from.seek(in) && to.seek(out)))
        return -1;
    return done;
}

}  // namespace

bool writeAll(QIODevice& to, const char* data, qint64 size)
{
    while (size > 0) {
        const qint64 written = to.write(data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool writeAll(QIODevice& to, const QByteArray& bytes) { return writeAll(to, bytes.constData(), bytes.size()); }

CopyResult copyBytes(QFileDevice& from, qint64 count, QFileDevice& to, const CopyProgress& copied)
{
    qint64 done = copyInKernel(from, count, to, copied);
    if (done < 0)
        return CopyResult::WriteFailed;
    QByteArray buffer(CopyChunk, Qt::Uninitialized);
    while (count < 0 || done < count) {
        const qint64 wanted = count < 0 ? CopyChunk : qMin(CopyChunk, count - done);
        const qint64 got = from.read(buffer.data(), wanted);
        if (got < 0 || (got == 0 && count >= 0))
            return CopyResult::ReadFailed;
        if (got == 0)
            break;
        if (!writeAll(to, buffer.constData(), got))
            return CopyResult::WriteFailed;
        done += got;
        if (copied)
            copied(done);
    }
    return CopyResult::Done;
}

bool giveCopiedMode(int from, int to)
{
    struct stat info {};
    if (::fstat(from, &info) != 0)
        return false;
    const mode_t mask = static_cast<mode_t>(fileCreationMask());
    return ::fchmod(to, (info.st_mode & 0777 & ~mask) | S_IRUSR | S_IWUSR) == 0;
}

}  // namespace platform
