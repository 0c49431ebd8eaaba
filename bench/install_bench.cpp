// A whole install as a user meets it, against the naive pipeline: a release of about
// 256 MiB in 3,000 files (half incompressible) published with vrn-publish and served by
// vrn-serve on 127.0.0.1; in alternating runs, each a fresh process into a fresh home,
// `vrnsetup -silent -accepteula -norun` against `curl -s -o` followed by
// `unzip -q -o` of the same archive. Prints both medians and their ratio (the goal is
// at most 0.5), then the peak resident memory of whole installs of smaller and larger
// archives (it must not grow with the archive).
//
// install_bench [--runs N] [--size MIB] [--memory MIB,MIB...] [--setup PROGRAM] [WORKFOLDER]
//   defaults: 5 runs, 256 MiB, memory at 64 and 256 MiB, the setup built beside it,
//   a folder beside the program (--setup measures another build of the setup);
//   a quick run: install_bench --runs 1 --size 8 --memory 4,8 /tmp/bench

#include "bench_release.h"
#include "bench_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Options {
    int runs = 5;
    qint64 archiveMiB = 256;
    QList<qint64> memoryMiB{64, 256};
    QString setup = QStringLiteral(VRN_SETUP_PROGRAM);
    QString work;
};

// What one finished process cost.
struct Outcome {
    double seconds = 0;
    double peakMiB = 0;
};

double now()
{
    timespec clock{};
    ::clock_gettime(CLOCK_MONOTONIC, &clock);
    return clock.tv_sec + clock.tv_nsec / 1e9;
}

// The high-water mark of this process: the floor of every child's peak, since a spawned
// child's maximum starts from its parent's.
double ownPeakMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong() / 1024.0;
        }
    }
    return 0;
}

std::vector<QByteArray> encoded(const QStringList& texts)
{
    std::vector<QByteArray> bytes;
    for (const QString& text : texts)
        bytes.push_back(QFile::encodeName(text));
    return bytes;
}

// The null-terminated list of pointers into `texts` that exec takes.
std::vector<char*> pointersTo(std::vector<QByteArray>& texts)
{
    std::vector<char*> pointers;
    for (QByteArray& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Runs `program` with `arguments` in `environment` to its end; fails the bench unless it
// exits with 0. Spawned and reaped here, not through QProcess, for the child's own rusage.
Outcome run(const QString& program, const QStringList& arguments, const QStringList& environment)
{
    std::vector<QByteArray> texts = encoded(QStringList{program} + arguments);
    std::vector<QByteArray> variables = encoded(environment);
    const std::vector<char*> argv = pointersTo(texts);
    const std::vector<char*> envp = pointersTo(variables);

    // the child's output goes to a file, shown only when it fails
    const QByteArray output = QFile::encodeName(QDir::tempPath() + QStringLiteral("/install_bench-%1.out").arg(::getpid()));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const double start = now();
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        fail(QStringLiteral("cannot start ") + program);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        fail(QStringLiteral("cannot wait for ") + program);
    const Outcome outcome{now() - start, usage.ru_maxrss / 1024.0};
    QFile said(QFile::decodeName(output));
    said.open(QIODevice::ReadOnly);
    const QString text = QString::fromLocal8Bit(said.readAll().right(4000));
    said.remove();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(QStringLiteral("%1 %2 failed (status %3):\n%4").arg(program, arguments.join(QLatin1Char(' '))).arg(status).arg(text));
    return outcome;
}

QStringList freshUser(const QString& work, const QString& base)
{
    return freshUserEnvironment(work + QStringLiteral("/home"), base).toStringList();
}

Outcome install(const Options& options, const QString& base)
{
    return run(options.setup, {QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")},
               freshUser(options.work, base));
}

// `curl -s -o` of the archive, then `unzip -q -o` of it into a fresh folder, timed together.
double curlAndUnzip(const QString& work, const QString& base)
{
    const QStringList environment = freshUser(work, base);
    const QString home = work + QStringLiteral("/home");
    const QString archive = home + QStringLiteral("/tmp/vrnsetup.zip");
    const double download =
        run(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), archive, base + QStringLiteral("vrnsetup.zip")}, environment)
            .seconds;
    return download + run(QStringLiteral("unzip"), {QStringLiteral("-q"), QStringLiteral("-o"), archive, QStringLiteral("-d"),
                                                    home + QStringLiteral("/app")},
                          environment)
                          .seconds;
}

// vrn-serve on `folder`: its base address ("http://127.0.0.1:port/").
QString serve(QProcess& server, const QString& folder)
{
    server.start(QStringLiteral(VRN_SERVE_PROGRAM), {folder});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000))
        fail(QStringLiteral("vrn-serve did not start"));
    return QString::fromUtf8(server.readLine()).trimmed();
}

void compareWithCurlAndUnzip(const Options& options, const QString& base)
{
    const QString release = base + QStringLiteral("release-%1MiB/").arg(options.archiveMiB);
    install(options, release);  // warms the page cache and the program's libraries
    curlAndUnzip(options.work, release);
    std::vector<double> ours, naive;
    for (int i = 0; i < options.runs; ++i) {
        ours.push_back(install(options, release).seconds);
        naive.push_back(curlAndUnzip(options.work, release));
        std::printf("run %d: install %.3f s, curl + unzip %.3f s\n", i + 1, ours.back(), naive.back());
        std::fflush(stdout);
    }
    const QString archive = options.work + QStringLiteral("/release-%1MiB/vrnsetup.zip").arg(options.archiveMiB);
    std::printf("archive %.1f MiB, %d files; medians of %d alternating runs: install %.3f s, curl + unzip %.3f s, "
                "ratio %.2f (goal at most 0.5)\n",
                QFileInfo(archive).size() / 1048576.0, Entries, options.runs, median(ours), median(naive),
                median(ours) / median(naive));
}

void measureMemory(const Options& options, const QString& base)
{
    for (qint64 mib : options.memoryMiB) {
        const QString archive = options.work + QStringLiteral("/release-%1MiB/vrnsetup.zip").arg(mib);
        const Outcome outcome = install(options, base + QStringLiteral("release-%1MiB/").arg(mib));
        std::printf("whole install of a %.1f MiB archive: %.3f s, peak resident memory %.1f MiB\n",
                    QFileInfo(archive).size() / 1048576.0, outcome.seconds, outcome.peakMiB);
    }
    std::printf("(a child's peak cannot be measured below this bench's own: %.1f MiB)\n", ownPeakMiB());
}

qint64 positive(const QString& text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value <= 0)
        fail(QStringLiteral("\"%1\" is not a positive number").arg(text));
    return value;
}

Options parse(const QStringList& args, const QString& programFolder)
{
    Options options;
    options.work = programFolder + QStringLiteral("/install-work");
    for (int i = 1; i < args.size(); ++i) {
        const bool valued = i + 1 < args.size();
        if (args[i] == QLatin1String("--runs") && valued) {
            options.runs = static_cast<int>(positive(args[++i]));
        } else if (args[i] == QLatin1String("--size") && valued) {
            options.archiveMiB = positive(args[++i]);
        } else if (args[i] == QLatin1String("--memory") && valued) {
            options.memoryMiB.clear();
            for (const QString& size : args[++i].split(QLatin1Char(','), Qt::SkipEmptyParts))
                options.memoryMiB << positive(size);
        } else if (args[i] == QLatin1String("--setup") && valued) {
            options.setup = args[++i];
        } else if (!args[i].startsWith(QLatin1String("--"))) {
            options.work = args[i];
        } else {
            fail(QStringLiteral("usage: install_bench [--runs N] [--size MIB] [--memory MIB,MIB...] [--setup PROGRAM] [WORKFOLDER]"));
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Options options = parse(app.arguments(), app.applicationDirPath());
    QDir().mkpath(options.work);
    const QString publish = QStringLiteral(VRN_PUBLISH_PROGRAM);
    publishedRelease(options.work, options.archiveMiB, publish);
    for (qint64 mib : options.memoryMiB)
        publishedRelease(options.work, mib, publish);

    QProcess server;
    const QString base = serve(server, options.work);
    compareWithCurlAndUnzip(options, base);
    measureMemory(options, base);
    server.kill();
    server.waitForFinished();
    QDir(options.work + QStringLiteral("/home")).removeRecursively();
    return 0;
}
