#pragma once
// The release the whole-install benchmarks serve: an application folder of 3,000
// files, half of them incompressible (as packed resources and media are) and half
// text-like (deflating about 2:1), published with vrn-publish into a release folder.
// Made once per size and kept in the work folder.

#include "bench_archive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes no compressor can shrink, different for every entry.
QByteArray incompressibleContent(int index, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint64 state = 0x9E3779B97F4A7C15ull * static_cast<quint64>(index + 1);
    for (int i = 0; i < size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(bytes.data() + i, &state, static_cast<size_t>(std::min(8, size - i)));
    }
    return bytes;
}

// Half the small files and half the large ones, so that half the bytes are incompressible.
bool isIncompressible(int index)
{
    return (index % 100 == 0 ? index / 100 : index) % 2 == 1;
}

// The folder vrn-publish packs: an archive of about `archiveMiB` once deflated.
void writeApplicationFolder(const QString& folder, qint64 archiveMiB)
{
    // half the bytes stay as they are, half deflate to about one half: 3/4 of the total
    const qint64 totalBytes = (archiveMiB << 20) * 4 / 3;
    for (int i = 0; i < Entries; ++i) {
        const QString path = folder + QStringLiteral("/dir%1/file%2.dat").arg(i % 40).arg(i);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
        const int size = entrySize(i, totalBytes);
        file.write(isIncompressible(i) ? incompressibleContent(i, size) : entryContent(i, size));
    }
}

// A release folder (system.xml and vrnsetup.zip of version 15, number 1) of about
// `archiveMiB`, made with `publishTool` below `work` unless it is there already.
QString publishedRelease(const QString& work, qint64 archiveMiB, const QString& publishTool)
{
    const QString release = work + QStringLiteral("/release-%1MiB").arg(archiveMiB);
    if (QFile::exists(release + QStringLiteral("/system.xml")))
        return release;
    std::printf("publishing a release of about %lld MiB in %s ...\n", archiveMiB, qPrintable(release));
    std::fflush(stdout);
    const QString app = work + QStringLiteral("/app-%1MiB").arg(archiveMiB);
    QDir(app).removeRecursively();
    writeApplicationFolder(app, archiveMiB);
    const int published = QProcess::execute(publishTool, {QStringLiteral("--app"), app, QStringLiteral("--version"), QStringLiteral("15"),
                                                          QStringLiteral("--number"), QStringLiteral("1"), release});
    QDir(app).removeRecursively();
    if (published != 0) {
        std::fprintf(stderr, "vrn-publish failed\n");
        std::exit(1);
    }
    return release;
}

}  // namespace
