// An update that fetches only what changed, against nginx serving signed releases: A of
// 2,000 files and about 120 MB, B with 100 of them changed (one keeping its size and its
// CRC-32, which proves nothing), one added and one removed, over an installation of A
// in which an unchanged file was damaged. Whatever nginx answers to ranges, the update
// ends with B exactly, fetching a few percent of B's archive where ranges are served.
#include "archive/raw_zip.h"
#include "support/nginx_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_data.h"
#include "support/test_machine.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

const QString kKeyed = QStringLiteral(VRN_TESTKEY_SETUP);
using Files = QMap<QString, QByteArray>;

Files releaseFiles(char edition)
{
    Files files{{QStringLiteral("Vorlen.exe"), "#!/bin/sh\n"}};
    for (int i = 0; i < 2000; ++i)
        files[QStringLiteral("data/%1/f%2.bin").arg(i / 100).arg(i)] = noise(60000 + i % 997, static_cast<quint32>(i));
    if (edition == 'A')
        return files;
    for (int i = 3; i < 2000; i += 20) {
        const QString name = QStringLiteral("data/%1/f%2.bin").arg(i / 100).arg(i);
        // the first keeps its size and CRC-32
        files[name] = i == 3 ? rawzip::withCrc(noise(files[name].size() - 4, 77), rawzip::crc(files[name])) : noise(files[name].size(), i + 5000u);
    }
    const Files a = releaseFiles('A');
    const QString same = QStringLiteral("data/0/f3.bin");
    EXPECT_TRUE(files[same] != a[same] && files[same].size() == a[same].size() && rawzip::crc(files[same]) == rawzip::crc(a[same]));
    files.remove(QStringLiteral("data/0/f7.bin"));
    files[QStringLiteral("data/added.bin")] = noise(30000, 9);
    return files;
}

void publish(const Files& files, const QString& work, const QString& number, const QString& release)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        QDir().mkpath(QFileInfo(work + QStringLiteral("/app/") + it.key()).path());
        QFile file(work + QStringLiteral("/app/") + it.key());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(it.value());
    }
    const ProcessResult made = runProcess(
        builtProgram(QStringLiteral("vrn-publish")),
        {QStringLiteral("--key"), QStringLiteral(VRN_TEST_RELEASE_PRIVATE_KEY), QStringLiteral("--app"), work + QStringLiteral("/app"),
         QStringLiteral("--version"), QStringLiteral("15"), QStringLiteral("--number"), number, release},
        {}, 300000);
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
}

Files installedFiles(const QString& folder)
{
    Files files;
    for (QDirIterator it(folder + QStringLiteral("data"), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        files[path.mid(folder.size())] = readFile(path);
    }
    files[QStringLiteral("Vorlen.exe")] = readFile(folder + QStringLiteral("Vorlen.exe"));
    return files;
}

// Points the served release at `release` in one step.
void serveRelease(const QString& releases, const QString& release)
{
    QFile::remove(releases + QStringLiteral("/setup.new"));
    ASSERT_TRUE(QFile::link(release, releases + QStringLiteral("/setup.new")));
    ASSERT_EQ(::rename(QFile::encodeName(releases + QStringLiteral("/setup.new")).constData(),
                       QFile::encodeName(releases + QStringLiteral("/setup")).constData()),
              0);
}

}  // namespace

TEST(SignedDeltaUpdate, NginxServesOnlyWhatChangedAndTheUpdateEndsWithBExactly)
{
    if (nginxProgram().isEmpty())
        GTEST_SKIP() << "nginx is not installed (scripts/install-deps installs it)";
    const QString folder = sandbox::freshFolder(QStringLiteral("delta"));
    const QString releases = folder + QStringLiteral("/releases");
    const Files a = releaseFiles('A'), b = releaseFiles('B');
    publish(a, folder + QStringLiteral("/workA"), QStringLiteral("1"), releases + QStringLiteral("/A"));
    publish(b, folder + QStringLiteral("/workB"), QStringLiteral("2"), releases + QStringLiteral("/B"));
    // an older release folder: the same release without the tail's hash in its descriptor
    QDir().mkpath(releases + QStringLiteral("/older"));
    for (const char* name : {"vrnsetup.zip", "system.xml.sig"})
        QFile::copy(releases + QStringLiteral("/B/") + QLatin1String(name), releases + QStringLiteral("/older/") + QLatin1String(name));
    QByteArray older = readFile(releases + QStringLiteral("/B/system.xml"));
    older.remove(older.indexOf("  <tail "), older.indexOf("\n", older.indexOf("  <tail ")) - older.indexOf("  <tail ") + 1);
    QFile olderDescriptor(releases + QStringLiteral("/older/system.xml"));
    ASSERT_TRUE(olderDescriptor.open(QIODevice::WriteOnly) && olderDescriptor.write(older) == older.size());
    olderDescriptor.close();
    const qint64 archiveB = QFileInfo(releases + QStringLiteral("/B/vrnsetup.zip")).size();

    const struct {
        const char* what;
        int maxRanges;
        QString program;
        QString release;
        bool onlyWhatChanged;
    } cases[] = {
        {"ranges served", -1, kKeyed, QStringLiteral("B"), true},
        {"one range a request (max_ranges 1)", 1, kKeyed, QStringLiteral("B"), true},
        {"no ranges (max_ranges 0)", 0, kKeyed, QStringLiteral("B"), false},
        {"a setup without a key", -1, builtProgram(), QStringLiteral("B"), true},
        {"an older release folder, no tail", -1, builtProgram(), QStringLiteral("older"), false},
    };
    for (const auto& c : cases) {
        const QString server = folder + QStringLiteral("/nginx-") + QString::number(c.maxRanges) + QLatin1Char('-') + c.release;
        QDir().mkpath(server);
        const Nginx nginx(server, releases, {false, c.maxRanges});
        if (!nginx.listening())
            GTEST_SKIP() << "nginx cannot start here: " << nginx.whyNot().toStdString();
        const Machine machine(QStringLiteral("delta-client"));
        auto environment = machine.environment(nginx.base(QStringLiteral("setup")));
        environment[QStringLiteral("VRN_COUNTER_RELEASE_URL")] = nginx.base(QStringLiteral("count")).chopped(1);
        const auto run = [&](const QStringList& arguments) {
            return runProcess(c.program, QStringList{QStringLiteral("-silent"), QStringLiteral("-accepteula")} + arguments, environment, 300000);
        };
        serveRelease(releases, QStringLiteral("A"));
        ASSERT_EQ(run({QStringLiteral("-norun")}).exitCode, 0) << c.what;
        // an unchanged file damaged on disk is simply a changed one
        const QString damaged = machine.installFolder(false) + QStringLiteral("data/1/f111.bin");
        QFile file(damaged);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.seek(100) && file.write("!") == 1);
        file.close();

        serveRelease(releases, c.release);
        nginx.emptyLog();
        const ProcessResult updated = run({QStringLiteral("-norun")});
        EXPECT_EQ(updated.exitCode, 0) << c.what << updated.err.toStdString() << machine.log().toStdString();
        EXPECT_TRUE(installedFiles(machine.installFolder(false)) == b) << c.what;
        EXPECT_EQ(machine.log().contains(QStringLiteral("Install -> Update only what changed: 102 of ")), c.onlyWhatChanged)
            << c.what << machine.log().toStdString();
        const qint64 sent = nginx.bytesSent(QStringLiteral("vrnsetup.zip"));
        if (c.onlyWhatChanged)
            EXPECT_LE(sent, archiveB / 10) << c.what << ": " << sent << " of " << archiveB << "\n" << nginx.accessLog().toStdString();
        else
            EXPECT_GE(sent, archiveB) << c.what;

        // an update with nothing to do asks for no archive and says so in one line
        nginx.emptyLog();
        const ProcessResult upToDate = run({QStringLiteral("-update")});
        EXPECT_EQ(upToDate.exitCode, 0) << c.what << upToDate.err.toStdString();
        EXPECT_EQ(upToDate.out.count('\n'), 1) << upToDate.out.toStdString();
        EXPECT_TRUE(upToDate.out.startsWith("Vorlen is up to date: release 2 is installed in ")) << upToDate.out.toStdString();
        EXPECT_FALSE(nginx.accessLog().contains(QStringLiteral("vrnsetup.zip"))) << nginx.accessLog().toStdString();
    }
}
