// What checking the archive's SHA-256 adds to a whole install. The keyless setup
// (bin/vrnsetup -silent) installs the same archive from vrn-serve, once with a
// descriptor that names its hash (the setup checks it) and once with one that does not,
// in alternating whole processes, each into a fresh home; the ratio of the medians is
// printed. One more pass of SHA-256 over the archive is timed as well: what checking
// after the download, instead of while downloading, would add.
//
// hash_cost_bench [WORKFOLDER] [ARCHIVE_MIB]   (defaults: a folder beside the program, 256)

#include "bench_archive.h"
#include "bench_support.h"
#include "net/release_integrity.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Runs = 5;

// A release folder serving `archive` (hard-linked) with a descriptor naming `sha256`, or no hash.
void writeRelease(const QString& folder, const QString& archive, qint64 entries, const QByteArray& sha256)
{
    QDir().mkpath(folder);
    const QString served = folder + QStringLiteral("/vrnsetup.zip");
    QFile::remove(served);
    if (::link(QFile::encodeName(archive).constData(), QFile::encodeName(served).constData()) != 0)
        fail(QStringLiteral("cannot link the archive into ") + folder);
    const QString hash = sha256.isEmpty() ? QString() : QStringLiteral(" sha256=\"%1\"").arg(QString::fromLatin1(sha256));
    QFile descriptor(folder + QStringLiteral("/system.xml"));
    if (!descriptor.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(QStringLiteral("cannot write ") + descriptor.fileName());
    descriptor.write(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<system>\r\n  <version>15</version>\r\n"
                                    "  <number>1</number>\r\n  <size bytes=\"%1\" fileCount=\"%2\"%3>1.0</size>\r\n</system>\r\n")
                         .arg(QFileInfo(archive).size())
                         .arg(entries)
                         .arg(hash)
                         .toUtf8());
}

// One whole unattended install from `base` into a fresh home under `work`; its seconds.
double timeInstall(const QString& work, const QString& base)
{
    const QString home = work + QStringLiteral("/home");
    QProcess setup;
    setup.setProcessEnvironment(freshUserEnvironment(home, base));
    QElapsedTimer timer;
    timer.start();
    setup.start(QStringLiteral(VRN_SETUP_PROGRAM), {QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")});
    if (!setup.waitForFinished(-1) || setup.exitStatus() != QProcess::NormalExit || setup.exitCode() != 0)
        fail(QStringLiteral("the install failed: ") + QString::fromLocal8Bit(setup.readAllStandardError()));
    const double seconds = timer.nsecsElapsed() / 1e9;
    QDir(home).removeRecursively();
    return seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString work = args.size() > 1 ? args[1] : app.applicationDirPath() + QStringLiteral("/hash-cost-work");
    const qint64 mebibytes = args.size() > 2 ? args[2].toLongLong() : 256;
    if (mebibytes <= 0)
        fail(QStringLiteral("the archive size is a positive number of MiB"));
    QDir().mkpath(work);
    const QString archive = makeArchive(work, mebibytes);
    const qint64 entries = ZipArchive(archive).EntryCount();

    QElapsedTimer timer;
    timer.start();
    const QByteArray sha256 = ReleaseIntegrity::Sha256OfFile(archive);
    const double secondPass = timer.nsecsElapsed() / 1e9;
    writeRelease(work + QStringLiteral("/served/hashed"), archive, entries, sha256);
    writeRelease(work + QStringLiteral("/served/plain"), archive, entries, {});

    QProcess server;
    server.start(QStringLiteral(VRN_SERVE_PROGRAM), {work + QStringLiteral("/served")});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000))
        fail(QStringLiteral("vrn-serve did not start"));
    const QString base = QString::fromUtf8(server.readLine()).trimmed();

    timeInstall(work, base + QStringLiteral("plain/"));  // warms the page cache
    std::vector<double> hashed, plain;
    for (int run = 0; run < Runs; ++run) {
        plain.push_back(timeInstall(work, base + QStringLiteral("plain/")));
        hashed.push_back(timeInstall(work, base + QStringLiteral("hashed/")));
        std::printf("run %d: without a hash %.3f s, hash checked %.3f s\n", run + 1, plain.back(), hashed.back());
        std::fflush(stdout);
        server.readAll();
    }
    server.kill();
    server.waitForFinished();

    std::printf("archive %.1f MiB, %lld entries; whole unattended installs from vrn-serve, %d runs each\n",
                QFileInfo(archive).size() / 1048576.0, entries, Runs);
    std::printf("median: without a hash %.3f s, hash checked while downloading %.3f s, cost %+.1f %% (target at most 5 %%)\n",
                median(plain), median(hashed), (median(hashed) / median(plain) - 1) * 100);
    std::printf("one more pass of SHA-256 over the archive (a check after the download): %.3f s, %.1f %% of an install\n",
                secondPass, secondPass / median(plain) * 100);
    return 0;
}
