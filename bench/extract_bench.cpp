// Extraction of the install job against unzip: the same archive of about 200 MiB
// with a few thousand entries (every other one deflated, the rest stored), alternating
// runs into fresh folders, the ratio of the medians printed (below 1: the install job
// is faster). Then the peak resident memory of a whole install job of a 64 MiB and a
// 256 MiB archive, each in a child process of its own: it must not grow with the archive.
//
// extract_bench [--memory] [WORKFOLDER]   (default: a folder beside the program;
//                                        --memory: only the memory of whole installs)

#include "install/install_job.h"
#include "archive/zip_archive.h"
#include "platform/platform.h"
#include "bench_archive.h"
#include "bench_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int Runs = 5;

template <typename F>
double timed(F&& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e9;
}

void compareWithUnzip(const QString& folder)
{
    const QString archive = makeArchive(folder, 200);
    const QString target = folder + QStringLiteral("/out");
    std::vector<double> ours, unzip;
    for (int run = 0; run < Runs; ++run) {
        QDir(target).removeRecursively();
        ours.push_back(timed([&] { ZipArchive(archive).ExtractTo(target); }));
        QDir(target).removeRecursively();
        unzip.push_back(timed([&] {
            QProcess::execute(QStringLiteral("unzip"), {QStringLiteral("-q"), QStringLiteral("-o"), archive,
                                                        QStringLiteral("-d"), target});
        }));
        std::printf("run %d: install job %.3f s, unzip %.3f s\n", run + 1, ours.back(), unzip.back());
    }
    QDir(target).removeRecursively();
    std::printf("archive %.1f MiB, %d entries\n", QFileInfo(archive).size() / 1048576.0, Entries);
    std::printf("median: install job %.3f s, unzip %.3f s, ratio %.2f (target <= 1.0, goal 0.75)\n", median(ours),
                median(unzip), median(ours) / median(unzip));
}

// The high-water mark of this process's own memory. Not getrusage: its maximum survives
// exec and would include the parent's size at the fork.
qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The child: one whole install job of `archive` in a private home; prints its peak memory.
int installChild(const QString& archive, const QString& home)
{
    QDir(home).removeRecursively();
    QDir().mkpath(home);
    const std::pair<const char*, const char*> variables[] = {
        {"HOME", ""}, {"XDG_CONFIG_HOME", "/.config"}, {"XDG_DATA_HOME", "/.local/share"}, {"TMPDIR", ""}};
    for (const auto& [name, sub] : variables)
        qputenv(name, QFile::encodeName(home + QLatin1String(sub)));
    gKillPauseMs = 0;
    InstallJob job{CStringManager(false)};
    job.WorkFolder = home + QStringLiteral("/work/");
    QDir().mkpath(job.WorkFolder);
    QFile::link(archive, job.WorkFolder + QStringLiteral("vrnsetup.zip"));
    job.LInstallerExeName = platform::executablePath();
    job.Shortcuts = {QStringLiteral("Run"), QStringLiteral("Uninstall"), QStringLiteral("Site"), QStringLiteral("Doc")};
    job.LangID = QStringLiteral("en_GB");
    job.ApplicationExeName = QStringLiteral("bench-no-such-program.exe");
    try {
        RunInstallSteps(job);
        job.ReturnValue = true;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "install failed: %s\n", error.what());
    }
    std::printf("%d %lld\n", job.ReturnValue ? 1 : 0, peakResidentKiB());
    QDir(home).removeRecursively();
    return job.ReturnValue ? 0 : 1;
}

void measureInstallMemory(const QString& folder, const QString& self)
{
    for (qint64 mib : {64, 256}) {
        const QString archive = makeArchive(folder, mib);
        QProcess child;
        child.start(self, {QStringLiteral("--install"), archive, folder + QStringLiteral("/home")});
        child.waitForFinished(-1);
        const QList<QByteArray> answer = child.readAllStandardOutput().trimmed().split(' ');
        std::printf("whole install of a %lld MiB archive: %s, peak resident memory %.1f MiB\n", mib,
                    answer.value(0) == "1" ? "installed" : "FAILED", answer.value(1).toLongLong() / 1024.0);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--install"))
        return installChild(args[2], args[3]);
    const bool memoryOnly = args.size() > 1 && args[1] == QLatin1String("--memory");
    const int folderArg = memoryOnly ? 2 : 1;
    const QString folder =
        args.size() > folderArg ? args[folderArg] : app.applicationDirPath() + QStringLiteral("/extract-work");
    QDir().mkpath(folder);
    if (!memoryOnly)
        compareWithUnzip(folder);
    measureInstallMemory(folder, app.applicationFilePath());
    return 0;
}
