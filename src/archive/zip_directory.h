#pragma once
// The archive's central directory read directly, for what the ZIP reader does not tell:
// where each entry's data lies in the file. Entries whose data overlap (one stretch of
// compressed data unpacked again and again, a known expansion attack) are refused.

#include <QString>

#include <optional>

// The name of an entry whose local record and data overlap another entry's; empty when
// every entry has its own stretch of the file, or when the directory cannot be read
// (the reader then refuses the archive itself).
QString EntryWithSharedData(const QString& path);

// Where the central directory begins: the archive's tail from there to its end (the
// directory, the ZIP64 records and the end record) is what an update reads first.
// Nothing when the directory cannot be located.
std::optional<quint64> CentralDirectoryOffset(const QString& path);
