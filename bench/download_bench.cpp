// Download with progress against curl: the same 256 MiB file from the same
// local server (vrn-serve), alternating runs, the ratio of the medians printed.
// The download object runs on a worker while the main thread pumps and runs the
// progress callbacks, as during an install. A 5 ms timer on the main thread shows
// how responsive the window stays: the longest gap between two of its ticks is
// printed too.
//
// download_bench [WORKFOLDER]   (default: a folder beside the program)

#include "app/setup_core.h"
#include "net/setup_network.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr qint64 FileBytes = 256LL * 1024 * 1024;
constexpr int Runs = 5;

bool makeTestFile(const QString& path)
{
    QFile file(path);
    if (file.exists() && file.size() == FileBytes)
        return true;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (qint64 done = 0; done < FileBytes; done += block.size()) {
        for (int i = 0; i < block.size(); i += 4)
            *reinterpret_cast<quint32*>(block.data() + i) = static_cast<quint32>((done + i) * 2654435761u);
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

struct ProgressDisplay {
    qint64 expected = 0;
    qint64 shown = 0;
    int notifications = 0;
    qint64 longestGapMs = 0;
};

double timeDownloadObject(const QString& url, const QString& target, ProgressDisplay& display)
{
    std::atomic<bool> done{false};
    bool ok = false;
    QElapsedTimer timer;
    timer.start();
    std::thread worker([&] {
        CNetwork download([&](qint64 total) { display.expected = total; },
                          [&](qint64 total) {
                              display.shown = total;
                              ++display.notifications;
                          },
                          [] {});
        ok = download.SyncDownload(url, target);
        done = true;
        CSetupCore::WakeMainThread();
    });
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        display.longestGapMs = std::max(display.longestGapMs, sinceTick.restart());
    });
    ticker.start(5);
    while (!done)
        CSetupCore::ProcessOneMessage();
    worker.join();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!ok || QFile(target).size() != FileBytes) {
        std::fprintf(stderr, "download_bench: the download object failed\n");
        std::exit(1);
    }
    return seconds;
}

double timeCurl(const QString& url, const QString& target)
{
    QElapsedTimer timer;
    timer.start();
    const int exitCode = QProcess::execute(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), target, url});
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (exitCode != 0 || QFile(target).size() != FileBytes) {
        std::fprintf(stderr, "download_bench: curl failed (%d)\n", exitCode);
        std::exit(1);
    }
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString work = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                  : QCoreApplication::applicationDirPath() + QStringLiteral("/download-bench-work");
    QDir().mkpath(work + QStringLiteral("/release"));
    const QString source = work + QStringLiteral("/release/vrnsetup.zip");
    const QString target = work + QStringLiteral("/downloaded.zip");
    if (!makeTestFile(source)) {
        std::fprintf(stderr, "download_bench: cannot write %s\n", qPrintable(source));
        return 1;
    }

    QProcess server;
    server.start(QStringLiteral(VRN_SERVE_PROGRAM), {work + QStringLiteral("/release")});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "download_bench: vrn-serve did not start\n");
        return 1;
    }
    const QString url = QString::fromUtf8(server.readLine()).trimmed() + QStringLiteral("vrnsetup.zip");

    timeCurl(url, target);  // warms the page cache for both
    std::vector<double> curlTimes;
    std::vector<double> ownTimes;
    ProgressDisplay display;
    qint64 longestGapMs = 0;
    for (int run = 0; run < Runs; ++run) {
        QFile::remove(target);
        curlTimes.push_back(timeCurl(url, target));
        QFile::remove(target);
        display = {};
        ownTimes.push_back(timeDownloadObject(url, target, display));
        longestGapMs = std::max(longestGapMs, display.longestGapMs);
        std::printf("run %d: curl %.3f s, download object %.3f s (%d progress notifications, longest pump gap %lld ms)\n",
                    run + 1, curlTimes.back(), ownTimes.back(), display.notifications,
                    static_cast<long long>(display.longestGapMs));
        server.readAll();  // the server's request lines
    }
    server.kill();
    server.waitForFinished();
    if (argc > 1) {
        QFile::remove(target);
        QFile::remove(source);
    } else {
        QDir(work).removeRecursively();
    }

    const double ratio = median(ownTimes) / median(curlTimes);
    std::printf("256 MiB from vrn-serve: median curl %.3f s, median download object %.3f s\n", median(curlTimes),
                median(ownTimes));
    std::printf("ratio download object / curl: %.3f (target at most 1.10)\n", ratio);
    std::printf("longest gap between two pump steps during a download: %lld ms\n", static_cast<long long>(longestGapMs));
    return 0;
}
