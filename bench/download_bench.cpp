// Download against curl: the same file from the same local server (vrn-serve),
// each download a whole process of its own, so that both sides pay their
// start-up, in alternating runs; the ratios of the medians are printed.
//   - curl -s -o
//   - the download object with progress callbacks, on a worker while the main
//     thread pumps and runs the callbacks, as during an install; a 5 ms timer on
//     the main thread shows how responsive the window stays (the longest gap
//     between two of its ticks)
//   - the plain download without callbacks (CNetwork::Download), up to its limit of
//     64 MiB (0 s above it)
// and what resuming costs: the download object over a connection cut at 25, 50 and
// 75 % of the file and resumed, against the same download uninterrupted, both from
// a server that answers ranges (retry pauses left out: they are waiting, not work).
//
// download_bench [--work DIR] [SIZE_MIB...]     (default sizes: 16 256)
// download_bench --fetch URL FILE [--no-callbacks]   one download, run by the bench itself

#include "app/setup_core.h"
#include "net/fault_injecting_server.h"
#include "net/retry_policy.h"
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

constexpr int Runs = 5;
// the resume comparison differs by milliseconds, so it takes more runs against the noise
constexpr int ResumeRuns = 11;
constexpr qint64 MiB = 1024 * 1024;

[[noreturn]] void fail(const QString& text)
{
    std::fprintf(stderr, "download_bench: %s\n", qPrintable(text));
    std::exit(1);
}

// ---- the child: one download ------------------------------------------------------------

// Prints "notifications N gap MS" for the harness.
int fetchWithCallbacks(const QString& url, const QString& target)
{
    std::atomic<bool> done{false};
    bool ok = false;
    int notifications = 0;
    std::thread worker([&] {
        CNetwork download([](qint64) {}, [&](qint64) { ++notifications; }, [] {});
        ok = download.SyncDownload(url, target);
        done = true;
        CSetupCore::WakeMainThread();
    });
    qint64 longestGapMs = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { longestGapMs = std::max(longestGapMs, sinceTick.restart()); });
    ticker.start(5);
    while (!done)
        CSetupCore::ProcessOneMessage();
    worker.join();
    std::printf("notifications %d gap %lld\n", notifications, static_cast<long long>(longestGapMs));
    return ok ? 0 : 1;
}

int fetch(const QStringList& arguments)
{
    if (arguments.size() < 2)
        fail(QStringLiteral("--fetch needs URL and FILE"));
    if (arguments.contains(QStringLiteral("--no-callbacks")))
        return CNetwork::Download(arguments[0], arguments[1]) ? 0 : 1;
    TRetryPolicy::SetPauseScale(0);
    return fetchWithCallbacks(arguments[0], arguments[1]);
}

// ---- the harness ---------------------------------------------------------------------------

bool makeTestFile(const QString& path, qint64 bytes)
{
    QFile file(path);
    if (file.exists() && file.size() == bytes)
        return true;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(MiB, Qt::Uninitialized);
    for (qint64 done = 0; done < bytes; done += block.size()) {
        for (int i = 0; i < block.size(); i += 4)
            *reinterpret_cast<quint32*>(block.data() + i) = static_cast<quint32>((done + i) * 2654435761u);
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

struct Timed {
    double seconds = 0;
    QByteArray out;
};

// Runs a whole download process and checks the file it left.
Timed timeProcess(const QString& program, const QStringList& arguments, const QString& target, qint64 bytes)
{
    QFile::remove(target);
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        fail(QStringLiteral("%1 %2 failed (exit code %3): %4")
                 .arg(program, arguments.join(QLatin1Char(' ')))
                 .arg(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1)
                 .arg(QString::fromLocal8Bit(process.readAllStandardError())));
    const Timed timed{timer.nsecsElapsed() / 1e9, process.readAllStandardOutput()};
    if (QFile(target).size() != bytes)
        fail(QStringLiteral("%1 left a file of the wrong size").arg(program));
    return timed;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void compare(const QString& work, qint64 mebibytes)
{
    const qint64 bytes = mebibytes * MiB;
    const QString release = work + QStringLiteral("/release-%1").arg(mebibytes);
    QDir().mkpath(release);
    const QString source = release + QStringLiteral("/vrnsetup.zip");
    const QString target = work + QStringLiteral("/downloaded.zip");
    if (!makeTestFile(source, bytes))
        fail(QStringLiteral("cannot write ") + source);

    QProcess server;
    server.start(QStringLiteral(VRN_SERVE_PROGRAM), {release});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000))
        fail(QStringLiteral("vrn-serve did not start"));
    const QString url = QString::fromUtf8(server.readLine()).trimmed() + QStringLiteral("vrnsetup.zip");
    const QString self = QCoreApplication::applicationFilePath();
    const QString curl = QStringLiteral("curl");
    const QStringList curlArguments{QStringLiteral("-s"), QStringLiteral("-o"), target, url};
    const QStringList withCallbacks{QStringLiteral("--fetch"), url, target};
    const QStringList withoutCallbacks = withCallbacks + QStringList{QStringLiteral("--no-callbacks")};

    timeProcess(curl, curlArguments, target, bytes);  // warms the page cache for all
    std::vector<double> curlTimes, ownTimes, plainTimes;
    long long longestGapMs = 0;
    for (int run = 0; run < Runs; ++run) {
        curlTimes.push_back(timeProcess(curl, curlArguments, target, bytes).seconds);
        const Timed own = timeProcess(self, withCallbacks, target, bytes);
        ownTimes.push_back(own.seconds);
        // the plain download serves small files and refuses more than its limit
        plainTimes.push_back(bytes <= CNetwork::SmallFileLimitBytes ? timeProcess(self, withoutCallbacks, target, bytes).seconds
                                                                     : 0.0);
        int notifications = 0;
        long long gapMs = 0;
        std::sscanf(own.out.constData(), "notifications %d gap %lld", &notifications, &gapMs);
        longestGapMs = std::max(longestGapMs, gapMs);
        std::printf("%lld MiB run %d: curl %.3f s, with callbacks %.3f s (%d notifications, longest pump gap %lld ms), "
                    "without callbacks %.3f s\n",
                    mebibytes, run + 1, curlTimes.back(), ownTimes.back(), notifications, gapMs, plainTimes.back());
        server.readAll();  // the server's request lines
    }
    server.kill();
    server.waitForFinished();
    QFile::remove(target);
    QFile::remove(source);

    std::printf("%lld MiB from vrn-serve, whole processes: median curl %.3f s, with callbacks %.3f s, without %.3f s\n",
                mebibytes, median(curlTimes), median(ownTimes), median(plainTimes));
    std::printf("%lld MiB ratio with callbacks / curl: %.3f, without callbacks / curl: %.3f (target at most 1.10)\n",
                mebibytes, median(ownTimes) / median(curlTimes), median(plainTimes) / median(curlTimes));
    std::printf("%lld MiB longest gap between two pump steps during a download: %lld ms\n", mebibytes, longestGapMs);
}

// The download object uninterrupted and cut three times, alternating, each from a
// fresh server and with an empty cache (a part left by the last run would be resumed).
void compareResume(const QString& work, qint64 mebibytes)
{
    const qint64 bytes = mebibytes * MiB;
    const QString source = work + QStringLiteral("/resume-source.zip");
    const QString target = work + QStringLiteral("/downloaded.zip");
    const QString cache = work + QStringLiteral("/cache");
    if (!makeTestFile(source, bytes))
        fail(QStringLiteral("cannot write ") + source);
    QFile file(source);
    file.open(QIODevice::ReadOnly);
    const QByteArray body = file.readAll();
    qputenv("XDG_CACHE_HOME", cache.toLocal8Bit());
    const QString self = QCoreApplication::applicationFilePath();
    const auto timeOne = [&](const FaultPlan& plan, qint64* served) {
        QDir(cache).removeRecursively();
        FaultInjectingServer server;
        server.serve("vrnsetup.zip", body, plan);
        server.start();
        const double seconds =
            timeProcess(self, {QStringLiteral("--fetch"), server.base() + QStringLiteral("vrnsetup.zip"), target}, target, bytes)
                .seconds;
        *served = server.bytesServed("vrnsetup.zip");
        return seconds;
    };
    const FaultPlan cut{.cutAt = {bytes / 4, bytes / 2, bytes * 3 / 4}};
    std::vector<double> whole, resumed;
    qint64 served = 0;
    timeOne({}, &served);  // warms the page cache
    for (int run = 0; run < ResumeRuns; ++run) {
        whole.push_back(timeOne({}, &served));
        resumed.push_back(timeOne(cut, &served));
        std::printf("%lld MiB run %d: uninterrupted %.3f s, cut 3 times and resumed %.3f s (%.3f of the file served)\n",
                    mebibytes, run + 1, whole.back(), resumed.back(), static_cast<double>(served) / bytes);
    }
    QDir(cache).removeRecursively();
    QFile::remove(target);
    QFile::remove(source);
    std::printf("%lld MiB resume ratio, cut 3 times / uninterrupted: %.3f (median %.3f s / %.3f s; target at most 1.03)\n",
                mebibytes, median(resumed) / median(whole), median(resumed), median(whole));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QStringLiteral("--fetch"))
        return fetch(arguments.mid(1));

    QString work = QCoreApplication::applicationDirPath() + QStringLiteral("/download-bench-work");
    const bool ownWork = arguments.value(0) != QStringLiteral("--work");
    if (!ownWork) {
        work = arguments.value(1);
        arguments = arguments.mid(2);
    }
    std::vector<qint64> sizes;
    for (const QString& argument : arguments) {
        bool ok = false;
        const qint64 size = argument.toLongLong(&ok);
        if (!ok || size <= 0)
            fail(QStringLiteral("a size is a positive number of MiB, not \"%1\"").arg(argument));
        sizes.push_back(size);
    }
    if (sizes.empty())
        sizes = {16, 256};
    for (const qint64 size : sizes) {
        compare(work, size);
        compareResume(work, size);
    }
    if (ownWork)
        QDir(work).removeRecursively();
    return 0;
}
