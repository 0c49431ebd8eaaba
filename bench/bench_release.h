#pragma once
// The releases the whole-install benchmarks serve, published with vrn-publish into a
// release folder: an application folder of 3,000 files, half of them incompressible (as
// packed resources and media are) and half text-like (deflating about 2:1), or one of
// many small text-like files. Made once per shape and release number and kept in the
// work folder; each release number has other contents in the same files.

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

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
}

// Another release number, other bytes in every file.
int contentSeed(int number)
{
    return (number - 1) * 1000003;
}

// The folder vrn-publish packs: an archive of about `archiveMiB` once deflated.
[[maybe_unused]] void writeApplicationFolder(const QString& folder, qint64 archiveMiB, int number = 1)
{
    // half the bytes stay as they are, half deflate to about one half: 3/4 of the total
    const qint64 totalBytes = (archiveMiB << 20) * 4 / 3;
    for (int i = 0; i < Entries; ++i) {
        const int size = entrySize(i, totalBytes);
        const int seed = i + contentSeed(number);
        writeFile(folder + QStringLiteral("/dir%1/file%2.dat").arg(i % 40).arg(i),
                  isIncompressible(i) ? incompressibleContent(seed, size) : entryContent(seed, size));
    }
}

// `files` text-like files of 2 to 6 KB, a hundred to a folder.
void writeSmallFilesFolder(const QString& folder, int files, int number)
{
    for (int i = 0; i < files; ++i)
        writeFile(folder + QStringLiteral("/dir%1/file%2.txt").arg(i / 100).arg(i),
                  entryContent(i + contentSeed(number), 2048 + (i * 7919) % 4096));
}

// The release folder `name` below `work` (system.xml and vrnsetup.zip of version 15 and
// `number`), made with `publishTool` from what `write` puts into a folder, unless it is
// there already.
template <typename Write>
QString publishedAs(const QString& work, const QString& name, int number, const QString& publishTool, const Write& write)
{
    const QString release = work + QStringLiteral("/%1%2").arg(name, number == 1 ? QString() : QStringLiteral("-%1").arg(number));
    if (QFile::exists(release + QStringLiteral("/system.xml")))
        return release;
    std::printf("publishing %s ...\n", qPrintable(release));
    std::fflush(stdout);
    const QString app = work + QStringLiteral("/app-") + name;
    QDir(app).removeRecursively();
    write(app);
    const int published = QProcess::execute(publishTool, {QStringLiteral("--app"), app, QStringLiteral("--version"), QStringLiteral("15"),
                                                          QStringLiteral("--number"), QString::number(number), release});
    QDir(app).removeRecursively();
    if (published != 0) {
        std::fprintf(stderr, "vrn-publish failed\n");
        std::exit(1);
    }
    return release;
}

// The release of 3,000 files and about `archiveMiB`.
[[maybe_unused]] QString publishedRelease(const QString& work, qint64 archiveMiB, const QString& publishTool, int number = 1)
{
    return publishedAs(work, QStringLiteral("release-%1MiB").arg(archiveMiB), number, publishTool,
                       [&](const QString& app) { writeApplicationFolder(app, archiveMiB, number); });
}

// The release of `files` small files.
[[maybe_unused]] QString publishedSmallRelease(const QString& work, int files, const QString& publishTool, int number = 1)
{
    return publishedAs(work, QStringLiteral("release-%1-small").arg(files), number, publishTool,
                       [&](const QString& app) { writeSmallFilesFolder(app, files, number); });
}

}  // namespace
