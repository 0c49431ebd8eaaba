#pragma once
// Where and how an archive entry lands on disk, shared by the extraction of a finished
// archive and the one that follows a download: the path below the target folder that no
// entry can escape, and the file written whole with its mode.

#include "archive/zip_archive.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <functional>
#include <sys/types.h>

[[noreturn]] void RefuseEntry(const QString& name, const QString& why);

// The entry's path below the target folder ("/"-separated, without "." parts);
// EZipUnsafeEntry for an absolute path or one with "..".
QByteArray SafeEntryPath(const QString& name);

using EntrySink = std::function<void(const char* data, size_t size)>;

// Creates (or replaces) the file at `path` with `mode`, hands `produce` a sink that
// appends to it, and closes it. Where the file system allows, the file is written without
// a name and named only when whole, so a failure leaves nothing at `path`. Throws
// EFCreateError or EInOutError; what `produce` throws passes through.
void WriteEntryFile(const QByteArray& path, mode_t mode, const std::function<void(const EntrySink&)>& produce);
