// A whole install as a user meets it, against the naive pipeline: releases published
// with vrn-publish and served by vrn-serve on 127.0.0.1, one of about 256 MiB in 3,000
// files (half incompressible) and one of 20,000 small files. For each, in alternating
// runs, each a whole process: `vrnsetup -silent -accepteula -norun` against `curl -s -o`
// followed by `unzip -q -o` of the same archive, first into a folder that is not there
// (a fresh home for ours, an emptied folder for the peer), then as an update of that
// tree to the next release, whose every file has other contents. Prints both medians,
// their spread and their ratio, then the peak resident memory of whole installs of
// smaller and larger archives (it must not grow with the archive).
//
// install_bench [--runs N] [--size MIB] [--small FILES] [--memory MIB,MIB...] [--setup PROGRAM] [WORKFOLDER]
//   defaults: 5 runs, 256 MiB, 20,000 small files (0: none), memory at 64 and 256 MiB,
//   the setup built beside it, a folder beside the program (--setup measures another
//   build of the setup); a quick run: install_bench --runs 1 --size 8 --small 500 --memory 4,8 /tmp/bench

#include "bench_release.h"
#include "bench_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
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
    int smallFiles = 20000;
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

QString archiveMiB(const QString& release)
{
    return QString::number(QFileInfo(release + QStringLiteral("/vrnsetup.zip")).size() / 1048576.0, 'f', 1);
}

// Hands the page cache of the written tree at `folder` back to the free memory.
// A virtual machine that reports free memory to its host makes the first touch of such
// memory cost a host fault: with every earlier tree held in the cache, each run's writes
// would land in reported memory only, and the runs slow down one after another.
void evictFromPageCache(const QString& folder)
{
    QDirIterator files(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const int descriptor = ::open(QFile::encodeName(files.next()).constData(), O_RDONLY | O_CLOEXEC);
        if (descriptor >= 0) {
            ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
            ::close(descriptor);
        }
    }
}

// What the previous run left to write goes to disk first, untimed, so that no run pays
// for another's writeback, and the tree a run replaces is no longer in the page cache, as
// an installation is not when its update comes days later.
void settle(const QString& tree)
{
    ::sync();
    evictFromPageCache(tree);
}

// Each timed run starts from a tree that is not there: earlier trees are renamed into one
// folder, deleted only after the timed runs (ext4 passes over inodes freed in the last
// minute, which would slow whichever side runs right after a deletion), and their pages
// leave the cache.
class SetAside {
public:
    explicit SetAside(QString folder) : m_folder(std::move(folder)) { QDir().mkpath(m_folder); }
    ~SetAside() { QDir(m_folder).removeRecursively(); }
    void move(const QString& path)
    {
        if (!QFileInfo::exists(path))
            return;
        const QString aside = m_folder + QStringLiteral("/%1-%2").arg(::getpid()).arg(m_count++);
        if (!QDir().rename(path, aside))
            fail(QStringLiteral("cannot move %1 aside").arg(path));
        settle(aside);
    }

private:
    QString m_folder;
    int m_count = 0;
};

Outcome install(const QString& setup, const QString& home, const QString& release)
{
    settle(home);
    return run(setup, {QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")},
               userEnvironment(home, release).toStringList());
}

// `curl -s -o` of the archive, then `unzip -q -o` of it over the peer's tree, timed together.
double curlAndUnzip(const QString& folder, const QString& release)
{
    const QStringList environment = userEnvironment(folder, release).toStringList();
    const QString archive = folder + QStringLiteral("/tmp/vrnsetup.zip");
    QFile::remove(archive);
    settle(folder);
    const QStringList curl{QStringLiteral("-s"), QStringLiteral("-o"), archive, release + QStringLiteral("vrnsetup.zip")};
    const QStringList unzip{QStringLiteral("-q"), QStringLiteral("-o"), archive, QStringLiteral("-d"), folder + QStringLiteral("/app")};
    return run(QStringLiteral("curl"), curl, environment).seconds + run(QStringLiteral("unzip"), unzip, environment).seconds;
}

// vrn-serve on `folder`: its base address ("http://127.0.0.1:port/").
QString serve(QProcess& server, const QString& folder)
{
    server.start(QStringLiteral(VRN_SERVE_PROGRAM), {folder});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000))
        fail(QStringLiteral("vrn-serve did not start"));
    return QString::fromUtf8(server.readLine()).trimmed();
}

struct Timings {
    std::vector<double> ours, peer;
};

void report(const char* what, const Timings& timings)
{
    const auto [ourLow, ourHigh] = std::minmax_element(timings.ours.begin(), timings.ours.end());
    const auto [peerLow, peerHigh] = std::minmax_element(timings.peer.begin(), timings.peer.end());
    std::printf("  %s: install %.3f s (%.3f-%.3f), curl + unzip %.3f s (%.3f-%.3f), ratio %.2f\n", what,
                median(timings.ours), *ourLow, *ourHigh, median(timings.peer), *peerLow, *peerHigh,
                median(timings.ours) / median(timings.peer));
}

// Alternating runs of both cases for the release folder `name` (number 1) and its next
// release ("name-2"): first installs of the one, then updates from either to the other.
// An update deletes the tree it replaced (ours after the swap; the peer overwrites in
// place), and ext4 then passes over those inodes for a while: the first installs run
// before any update.
void compareWithCurlAndUnzip(const Options& options, SetAside& aside, const QString& base, const QString& shape,
                             const QString& name)
{
    const QString releases[] = {base + name + QLatin1Char('/'), base + name + QStringLiteral("-2/")};
    const QString ourHome = options.work + QStringLiteral("/home");
    const QString peerFolder = options.work + QStringLiteral("/peer");
    // warms the page cache and the programs' libraries
    install(options.setup, ourHome, releases[0]);
    curlAndUnzip(peerFolder, releases[0]);
    Timings firstInstall, update;
    // each side goes first in every other pair, so that neither always follows the other
    const auto pair = [](int i, const std::function<void()>& ours, const std::function<void()>& peer) {
        (i % 2 ? peer : ours)();
        (i % 2 ? ours : peer)();
    };
    for (int i = 0; i < options.runs; ++i) {
        pair(i, [&] {
            aside.move(ourHome);
            firstInstall.ours.push_back(install(options.setup, ourHome, releases[0]).seconds);
        }, [&] {
            aside.move(peerFolder);
            firstInstall.peer.push_back(curlAndUnzip(peerFolder, releases[0]));
        });
        std::printf("run %d: first install %.3f s against %.3f s\n", i + 1, firstInstall.ours.back(), firstInstall.peer.back());
        std::fflush(stdout);
    }
    for (int i = 0; i < options.runs; ++i) {
        const QString& next = releases[(i + 1) % 2];
        pair(i, [&] { update.ours.push_back(install(options.setup, ourHome, next).seconds); },
             [&] { update.peer.push_back(curlAndUnzip(peerFolder, next)); });
        std::printf("run %d: update %.3f s against %.3f s\n", i + 1, update.ours.back(), update.peer.back());
        std::fflush(stdout);
    }
    aside.move(ourHome);
    aside.move(peerFolder);
    std::printf("%s (%s MiB archive), medians of %d alternating runs (lowest-highest):\n", qPrintable(shape),
                qPrintable(archiveMiB(options.work + QLatin1Char('/') + name)), options.runs);
    report("first install", firstInstall);
    report("update", update);
}

void measureMemory(const Options& options, SetAside& aside, const QString& base)
{
    const QString home = options.work + QStringLiteral("/memory-home");
    for (qint64 mib : options.memoryMiB) {
        const QString release = QStringLiteral("release-%1MiB").arg(mib);
        aside.move(home);
        const Outcome outcome = install(options.setup, home, base + release + QLatin1Char('/'));
        std::printf("whole install of a %s MiB archive: %.3f s, peak resident memory %.1f MiB\n",
                    qPrintable(archiveMiB(options.work + QLatin1Char('/') + release)), outcome.seconds, outcome.peakMiB);
    }
    aside.move(home);
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
        } else if (args[i] == QLatin1String("--small") && valued) {
            ++i;
            options.smallFiles = args[i] == QLatin1String("0") ? 0 : static_cast<int>(positive(args[i]));
        } else if (args[i] == QLatin1String("--setup") && valued) {
            options.setup = args[++i];
        } else if (!args[i].startsWith(QLatin1String("--"))) {
            options.work = args[i];
        } else {
            fail(QStringLiteral("usage: install_bench [--runs N] [--size MIB] [--small FILES] [--memory MIB,MIB...] [--setup PROGRAM] [WORKFOLDER]"));
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
    for (int number : {1, 2}) {
        publishedRelease(options.work, options.archiveMiB, publish, number);
        if (options.smallFiles > 0)
            publishedSmallRelease(options.work, options.smallFiles, publish, number);
    }
    for (qint64 mib : options.memoryMiB)
        publishedRelease(options.work, mib, publish);

    QProcess server;
    const QString base = serve(server, options.work);
    // every tree set aside goes only at the end
    SetAside aside(options.work + QStringLiteral("/aside"));
    compareWithCurlAndUnzip(options, aside, base, QStringLiteral("%1 files").arg(Entries),
                            QStringLiteral("release-%1MiB").arg(options.archiveMiB));
    if (options.smallFiles > 0)
        compareWithCurlAndUnzip(options, aside, base, QStringLiteral("%1 small files").arg(options.smallFiles),
                                QStringLiteral("release-%1-small").arg(options.smallFiles));
    measureMemory(options, aside, base);
    server.kill();
    server.waitForFinished();
    return 0;
}
