#pragma once
// Copying bytes between open files: in the kernel where it can, so that the bytes of a
// large archive or program never pass through this process (and a file system that
// shares blocks between files shares them), else through a bounded buffer.

#include <QFileDevice>

#include <functional>

namespace platform {

enum class CopyResult { Done, ReadFailed, WriteFailed };

// Hears the running total of the bytes copied.
using CopyProgress = std::function<void(qint64 copied)>;

// Writes all bytes. A write that stops short (a full disk) is repeated for the rest,
// so that the device records the system's reason instead of an unexplained short count.
bool writeAll(QIODevice& to, const char* data, qint64 size);
bool writeAll(QIODevice& to, const QByteArray& bytes);

// Copies `count` bytes (all up to the end when negative) from the current position of
// `from` to the current position of `to`; both positions move past the bytes copied. On
// a failure the device that failed tells the reason.
CopyResult copyBytes(QFileDevice& from, qint64 count, QFileDevice& to, const CopyProgress& copied = {});

// Gives the open file `to` the mode of a copy of the open file `from`: its permission bits
// narrowed by the user's umask, as every file the program creates, and readable and
// writable by its owner. False, with errno set, on failure.
bool giveCopiedMode(int from, int to);

}  // namespace platform
