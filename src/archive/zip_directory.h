#pragma once
// The archive's central directory read directly, for what the ZIP reader does not tell:
// where each entry's data lies in the file. Entries whose data overlap (one stretch of
// compressed data unpacked again and again, a known expansion attack) are refused.

#include <QString>

// The name of an entry whose local record and data overlap another entry's; empty when
// every entry has its own stretch of the file, or when the directory cannot be read
// (the reader then refuses the archive itself).
QString EntryWithSharedData(const QString& path);
