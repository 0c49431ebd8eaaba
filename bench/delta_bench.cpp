// An update that fetches only what changed, against the whole install of the new release,
// both from nginx on 127.0.0.1: release A of 3,000 files (half incompressible, about
// 256 MiB as an archive), release B with 5 % of its files changed. In alternating runs,
// each a fresh process: the update of an installation of A to B (A installed untimed
// before), and the first install of B into an empty home. Prints the medians of time
// and of the archive's bytes nginx sent, and their ratios (the goals: at most 0.35 of
// the time, 8 % of the bytes); then the peak resident memory of both at smaller and
// larger releases (the update's must not grow with the archive, nor pass the install's).
//
// delta_bench [--runs N] [--size MIB] [--memory MIB,MIB...] [WORKFOLDER]
//   defaults: 5 runs, 256 MiB, memory at 64 and 256 MiB; a quick run:
//   delta_bench --runs 1 --size 16 --memory 8,16 /tmp/delta-bench

#include "bench_release.h"
#include "bench_support.h"
#include "support/nginx_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Options {
    int runs = 5;
    qint64 archiveMiB = 256;
    QList<qint64> memoryMiB{64, 256};
    QString work;
};

struct Outcome {
    double seconds = 0;
    double peakMiB = 0;
    qint64 bytes = 0;
};

double now()
{
    timespec clock{};
    ::clock_gettime(CLOCK_MONOTONIC, &clock);
    return clock.tv_sec + clock.tv_nsec / 1e9;
}

// Runs the setup unattended as a fresh process; its time and peak memory.
Outcome runSetup(const QProcessEnvironment& environment)
{
    const double started = now();
    const pid_t child = ::fork();
    if (child == 0) {
        for (const QString& name : environment.keys())
            ::setenv(qPrintable(name), qPrintable(environment.value(name)), 1);
        ::execl(VRN_SETUP_PROGRAM, VRN_SETUP_PROGRAM, "-silent", "-accepteula", "-norun", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(QStringLiteral("the setup failed (status %1)").arg(status));
    return {now() - started, usage.ru_maxrss / 1024.0, 0};
}

// The application folder of `archiveMiB`, and B's: every twentieth file changed.
void makeReleases(const QString& work, qint64 archiveMiB, QString& a, QString& b)
{
    a = work + QStringLiteral("/A-%1MiB").arg(archiveMiB);
    b = work + QStringLiteral("/B-%1MiB").arg(archiveMiB);
    if (QFile::exists(a + QStringLiteral("/system.xml")) && QFile::exists(b + QStringLiteral("/system.xml")))
        return;
    std::printf("publishing releases A and B of about %lld MiB in %s ...\n", archiveMiB, qPrintable(work));
    std::fflush(stdout);
    const QString app = work + QStringLiteral("/app-%1MiB").arg(archiveMiB);
    QDir(app).removeRecursively();
    writeApplicationFolder(app, archiveMiB);
    const auto publish = [&](const QString& number, const QString& release) {
        if (QProcess::execute(QStringLiteral(VRN_PUBLISH_PROGRAM), {QStringLiteral("--app"), app, QStringLiteral("--version"),
                                                                   QStringLiteral("15"), QStringLiteral("--number"), number, release})
            != 0)
            fail(QStringLiteral("vrn-publish failed"));
    };
    publish(QStringLiteral("1"), a);
    for (int i = 7; i < Entries; i += 20) {
        QFile file(app + QStringLiteral("/dir%1/file%2.dat").arg(i % 40).arg(i));
        if (!file.open(QIODevice::ReadWrite) || !file.seek(file.size() / 2) || file.write("changed in B") != 12)
            fail(QStringLiteral("cannot change %1").arg(file.fileName()));
    }
    publish(QStringLiteral("2"), b);
    QDir(app).removeRecursively();
}

void serve(const QString& served, const QString& release)
{
    QFile::remove(served);
    if (!QFile::link(release, served))
        fail(QStringLiteral("cannot link %1").arg(served));
}

struct Bench {
    const Options& options;
    QString nginxFolder;
    QString served;  // the link nginx serves, at /vrn/setup/

    // The update of an installation of A to B, and the first install of B.
    std::pair<Outcome, Outcome> pair(const QString& a, const QString& b, const Nginx& nginx)
    {
        const QString home = options.work + QStringLiteral("/home");
        const QProcessEnvironment environment = freshUserEnvironment(home, nginx.base(QStringLiteral("setup")));
        serve(served, a);
        runSetup(environment);
        serve(served, b);
        nginx.emptyLog();
        Outcome update = runSetup(environment);
        update.bytes = nginx.bytesSent(QStringLiteral("vrnsetup.zip"));
        const QProcessEnvironment empty = freshUserEnvironment(home, nginx.base(QStringLiteral("setup")));
        nginx.emptyLog();
        Outcome whole = runSetup(empty);
        whole.bytes = nginx.bytesSent(QStringLiteral("vrnsetup.zip"));
        return {update, whole};
    }
};

Options parse(const QStringList& arguments)
{
    Options options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QStringLiteral("--runs") && i + 1 < arguments.size())
            options.runs = arguments[++i].toInt();
        else if (argument == QStringLiteral("--size") && i + 1 < arguments.size())
            options.archiveMiB = arguments[++i].toLongLong();
        else if (argument == QStringLiteral("--memory") && i + 1 < arguments.size()) {
            options.memoryMiB.clear();
            for (const QString& size : arguments[++i].split(QLatin1Char(',')))
                options.memoryMiB << size.toLongLong();
        } else
            options.work = argument;
    }
    if (options.work.isEmpty())
        options.work = QCoreApplication::applicationDirPath() + QStringLiteral("/delta-bench");
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Options options = parse(app.arguments());
    QDir().mkpath(options.work);
    if (nginxProgram().isEmpty())
        fail(QStringLiteral("nginx is not installed"));
    Bench bench{options, options.work + QStringLiteral("/nginx"), options.work + QStringLiteral("/releases/setup")};
    QDir().mkpath(bench.nginxFolder);
    QDir().mkpath(options.work + QStringLiteral("/releases"));
    const Nginx nginx(bench.nginxFolder, options.work + QStringLiteral("/releases"), {false, -1});
    if (!nginx.listening())
        fail(QStringLiteral("nginx cannot start: ") + nginx.whyNot());

    QString a, b;
    makeReleases(options.work, options.archiveMiB, a, b);
    std::vector<double> updateSeconds, wholeSeconds, updateBytes, wholeBytes;
    for (int run = 0; run < options.runs; ++run) {
        const auto [update, whole] = bench.pair(a, b, nginx);
        updateSeconds.push_back(update.seconds);
        wholeSeconds.push_back(whole.seconds);
        updateBytes.push_back(static_cast<double>(update.bytes));
        wholeBytes.push_back(static_cast<double>(whole.bytes));
        std::printf("run %d: update %.2f s, %lld bytes; whole install %.2f s, %lld bytes\n", run + 1, update.seconds,
                    update.bytes, whole.seconds, whole.bytes);
        std::fflush(stdout);
    }
    std::printf("update of 5 %% of %d files, %lld MiB release, medians of %d: %.2f s against %.2f s (%.2f); "
                "%.1f MiB against %.1f MiB fetched (%.1f %%)\n",
                Entries, options.archiveMiB, options.runs, median(updateSeconds), median(wholeSeconds),
                median(updateSeconds) / median(wholeSeconds), median(updateBytes) / (1 << 20), median(wholeBytes) / (1 << 20),
                100.0 * median(updateBytes) / median(wholeBytes));
    for (const qint64 size : options.memoryMiB) {
        QString smallA, smallB;
        makeReleases(options.work, size, smallA, smallB);
        const auto [update, whole] = bench.pair(smallA, smallB, nginx);
        std::printf("peak resident memory, %lld MiB release: update %.1f MiB, whole install %.1f MiB\n", size, update.peakMiB,
                    whole.peakMiB);
    }
    return 0;
}
