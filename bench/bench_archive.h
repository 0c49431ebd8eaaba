#pragma once
// The archive the benchmarks install: a few thousand entries of text-like content, as
// a program folder holds, half of them stored and half deflated about 2:1. Made once
// per size and kept in the work folder.

#include "archive/zip_archive.h"
#include "archive/zip_maker.h"

#include <QFile>
#include <QString>

#include <cstdio>

namespace {

constexpr int Entries = 3000;

// Text-like content that deflates about as well as program files do.
QByteArray entryContent(int index, int size)
{
    static const char* const words[] = {"vorlen", "layer", "render", "::", "0x7f", "config", "\n", "    ",
                                        "struct", "{", "}", "return", "value", "node", "path", "=", ";"};
    QByteArray bytes;
    bytes.reserve(size + 16);
    quint32 state = 2166136261u ^ static_cast<quint32>(index);
    while (bytes.size() < size) {
        state = state * 1664525u + 1013904223u;
        if ((state >> 30) < 2)
            bytes.append(static_cast<char>(state >> 8));  // noise, so that deflate gains about 2:1
        else
            bytes.append(words[(state >> 16) % (sizeof(words) / sizeof(*words))]);
    }
    bytes.truncate(size);
    return bytes;
}

// Every hundredth entry is large; the rest are small files as a program folder holds.
int entrySize(int index, qint64 totalBytes)
{
    const qint64 large = totalBytes * 6 / 10 / (Entries / 100);
    if (index % 100 == 0)
        return static_cast<int>(large);
    const qint64 small = totalBytes * 4 / 10 / (Entries - Entries / 100);
    return static_cast<int>(small / 2 + (index * 7919) % small);
}

// An archive of about `archiveMiB`: half the entries stored, half deflated about 2:1.
[[maybe_unused]] QString makeArchive(const QString& folder, qint64 archiveMiB)
{
    const qint64 totalBytes = (archiveMiB << 20) * 173 / 100;
    const QString path = folder + QStringLiteral("/bench-%1MiB.zip").arg(archiveMiB);
    if (QFile::exists(path) && ZipArchive::IsValid(path))
        return path;
    std::printf("making %s ...\n", qPrintable(path));
    std::fflush(stdout);
    zipmaker::writeGenerated(
        path, Entries, [](int i) { return QStringLiteral("app/dir%1/file%2.dat").arg(i % 40).arg(i); },
        [totalBytes](int i) { return entryContent(i, entrySize(i, totalBytes)); });
    return path;
}

}  // namespace
