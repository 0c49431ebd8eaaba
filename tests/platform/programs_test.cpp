// Starting, waiting for and ending programs; copying and moving files; the system facts.
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <functional>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const QFile::Permissions Mode755 = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                                   | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup
                                   | QFile::ReadOther | QFile::ExeOther;
const QFile::Permissions Mode644 = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
                                   | QFile::ReadGroup | QFile::ReadOther;

void writeFile(const QString& path, const QByteArray& content, QFile::Permissions mode = Mode644)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    QFile::setPermissions(path, mode);
}

// A shell script that writes its arguments, one a line, to `marker`.
QString recordingScript(const QString& folder, const QString& name, const QString& marker)
{
    const QString path = folder + QLatin1Char('/') + name;
    writeFile(path, QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1'\n").arg(marker).toUtf8(), Mode755);
    return path;
}

bool waitForFile(const QString& path, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(path) || QFileInfo(path).size() == 0) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    QThread::msleep(50);  // the writer may still be writing
    return true;
}

// Prepends a folder to PATH for one test.
struct PathScope {
    QByteArray saved = qgetenv("PATH");
    explicit PathScope(const QString& folder) { qputenv("PATH", QFile::encodeName(folder) + ":" + saved); }
    ~PathScope() { qputenv("PATH", saved); }
};

// A copy of sleep under a name unique to this test process, so that no other
// process on the machine shares it.
QString uniqueSleeper(const QString& folder, const QString& tag)
{
    const QString path = folder + QStringLiteral("/%1-%2.exe").arg(tag).arg(getpid());
    QFile::remove(path);
    EXPECT_TRUE(QFile::copy(QStringLiteral("/usr/bin/sleep"), path));
    QFile::setPermissions(path, Mode755);
    return path;
}

}  // namespace

TEST(KillUserProcesses, EndsOnlyProcessesOfThatExecutableName)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("kill"));
    const QString target = uniqueSleeper(folder, QStringLiteral("target"));
    const QString bystander = uniqueSleeper(folder, QStringLiteral("bystander"));
    QProcess first, second, spared;
    first.start(target, {QStringLiteral("60")});
    second.start(target, {QStringLiteral("60")});
    spared.start(bystander, {QStringLiteral("60")});
    ASSERT_TRUE(first.waitForStarted() && second.waitForStarted() && spared.waitForStarted());

    // the wait ends as soon as the ended processes are gone, and at once when none ran
    QElapsedTimer clock;
    clock.start();
    platform::killUserProcesses(QFileInfo(target).fileName(), 60000);
    EXPECT_LT(clock.elapsed(), 30000);
    clock.restart();
    platform::killUserProcesses(QFileInfo(target).fileName(), 60000);
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_TRUE(first.waitForFinished(5000));
    EXPECT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(first.exitStatus(), QProcess::CrashExit);
    EXPECT_FALSE(spared.waitForFinished(300)) << "a process of another name was ended";
    spared.kill();
    spared.waitForFinished();
}

// Run in a child process by the test below: ends every process of its own name.
TEST(KillUserProcesses, SelfProbe)
{
    if (qEnvironmentVariableIsEmpty("VRN_KILL_SELF_PROBE"))
        GTEST_SKIP() << "runs only as the child of SparesTheRunningProcess";
    platform::killUserProcesses(platform::executableFileName());
    QThread::msleep(200);
}

TEST(KillUserProcesses, SparesTheRunningProcess)
{
    // a copy of this test program under a unique name, so that no sibling test dies
    const QString folder = sandbox::freshFolder(QStringLiteral("self"));
    const QString copy = folder + QStringLiteral("/self-probe-%1").arg(getpid());
    ASSERT_TRUE(QFile::copy(platform::executablePath(), copy));
    QFile::setPermissions(copy, Mode755);
    const ProcessResult run = runProcess(copy, {QStringLiteral("--gtest_filter=KillUserProcesses.SelfProbe")},
                                         {{QStringLiteral("VRN_KILL_SELF_PROBE"), QStringLiteral("1")}});
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err.constData();
    EXPECT_TRUE(run.out.contains("[  PASSED  ] 1 test.")) << run.out.constData();
}

TEST(StartDetached, RunsExecutablesAndOpensEverythingElse)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("open"));
    const QString opener = folder + QStringLiteral("/bin");
    QDir().mkpath(opener);
    recordingScript(opener, QStringLiteral("xdg-open"), folder + QStringLiteral("/opened.txt"));
    PathScope path(opener);

    const QString program = recordingScript(folder, QStringLiteral("program"), folder + QStringLiteral("/ran.txt"));
    ASSERT_TRUE(platform::startDetached(program, {QStringLiteral("-a"), QStringLiteral("two words")}));
    ASSERT_TRUE(waitForFile(folder + QStringLiteral("/ran.txt")));
    EXPECT_EQ(readFile(folder + QStringLiteral("/ran.txt")), QByteArray("-a\ntwo words\n"));

    struct Case {
        QString target;
        QByteArray opened;
    };
    writeFile(folder + QStringLiteral("/notes.txt"), "text");
    const Case cases[] = {
        {folder + QStringLiteral("/notes.txt"), (folder + QStringLiteral("/notes.txt\n")).toUtf8()},
        {QStringLiteral("http://www.vorlen.example/"), "http://www.vorlen.example/\n"},
    };
    for (const Case& c : cases) {
        QFile::remove(folder + QStringLiteral("/opened.txt"));
        ASSERT_TRUE(platform::startDetached(c.target, {QStringLiteral("ignored")}));
        ASSERT_TRUE(waitForFile(folder + QStringLiteral("/opened.txt"))) << c.target.toStdString();
        EXPECT_EQ(readFile(folder + QStringLiteral("/opened.txt")), c.opened);
    }
}

TEST(StartProgram, ItsEndIsSeenWhileTheMainThreadPumps)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("wait"));
    const QString program = folder + QStringLiteral("/installer");
    writeFile(program, "#!/bin/sh\nsleep 0.3\n[ \"$1\" = /Q ] && exit 3\nexit 9\n", Mode755);
    auto started = platform::startProgram(program, {QStringLiteral("/Q")});
    ASSERT_TRUE(started);
    QElapsedTimer timer;
    timer.start();
    int pumps = 0;
    while (started->isRunning() && timer.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++pumps;
    }
    EXPECT_FALSE(started->isRunning());
    EXPECT_EQ(started->exitCode(), 3);
    EXPECT_GE(pumps, 1);

    PathScope path(folder + QStringLiteral("/nothing-here"));
    qputenv("PATH", QFile::encodeName(folder + QStringLiteral("/nothing-here")));
    EXPECT_FALSE(platform::startProgram(folder + QStringLiteral("/missing.exe"), {})) << "xdg-open is not on PATH";
}

TEST(CopyFile, ReplacesTheTargetAndKeepsTheSourcesMode)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("copy"));
    struct Case {
        const char* name;
        QFile::Permissions sourceMode;
        QFile::Permissions oldTargetMode;  // no old target when empty
    };
    const Case cases[] = {
        {"new executable", Mode755, {}},
        {"executable over a plain file", Mode755, Mode644},
        {"plain over an executable", Mode644, Mode755},
        {"over a read-only file", Mode644, QFile::ReadOwner | QFile::ReadUser},
    };
    // the copy made ahead, without a name until it takes the target's, ends the same
    const auto copyAhead = [&](const QString& source, const QString& target) {
        platform::UnnamedCopy ahead(source, folder);
        EXPECT_EQ(ahead.reservedBytes(), 3 << 20);
        const QStringList before = QDir(folder).entryList(QDir::Files);
        return ahead.copy() && QDir(folder).entryList(QDir::Files) == before && ahead.nameAs(target);
    };
    using Copy = std::function<bool(const QString&, const QString&)>;
    for (const Copy& copy : {Copy(platform::copyFile), Copy(copyAhead)}) {
        for (const Case& c : cases) {
            const QString source = folder + QStringLiteral("/source");
            const QString target = folder + QStringLiteral("/target");
            QFile::remove(target);
            writeFile(source, QByteArray(3 << 20, 'n'), c.sourceMode);
            if (c.oldTargetMode)
                writeFile(target, "old", c.oldTargetMode);
            EXPECT_TRUE(copy(source, target)) << c.name;
            EXPECT_EQ(readFile(target), QByteArray(3 << 20, 'n')) << c.name;
            EXPECT_EQ(QFile::permissions(target) & Mode755, c.sourceMode) << c.name;
        }
    }
}

TEST(CopyFile, ReplacesARunningProgramAndLeavesTheTargetOnFailure)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("copy-running"));
    const QString running = uniqueSleeper(folder, QStringLiteral("running"));
    QProcess process;
    process.start(running, {QStringLiteral("30")});
    ASSERT_TRUE(process.waitForStarted());
    writeFile(folder + QStringLiteral("/new"), "#!/bin/sh\n", Mode755);
    EXPECT_TRUE(platform::copyFile(folder + QStringLiteral("/new"), running));
    EXPECT_EQ(readFile(running), QByteArray("#!/bin/sh\n"));
    process.kill();
    process.waitForFinished();

    EXPECT_FALSE(platform::copyFile(folder + QStringLiteral("/missing"), running));
    EXPECT_EQ(readFile(running), QByteArray("#!/bin/sh\n"));
    EXPECT_FALSE(platform::copyFile(running, folder + QStringLiteral("/no/such/folder/file")));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2) << "no temporary file is left";
}

TEST(MoveFile, NeverReplacesAnExistingTarget)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("move"));
    writeFile(folder + QStringLiteral("/a"), "a");
    writeFile(folder + QStringLiteral("/b"), "b");
    EXPECT_FALSE(platform::moveFile(folder + QStringLiteral("/a"), folder + QStringLiteral("/b")));
    EXPECT_EQ(readFile(folder + QStringLiteral("/b")), QByteArray("b"));
    EXPECT_TRUE(platform::moveFile(folder + QStringLiteral("/a"), folder + QStringLiteral("/c")));
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/a")));
    EXPECT_EQ(readFile(folder + QStringLiteral("/c")), QByteArray("a"));
}

TEST(SystemFacts, MachineIdentifierAndGraphicsRuntime)
{
    const std::pair<quint32, const char*> serials[] = {
        {0x1234ABCDu, "1234-ABCD"}, {0x0000000Fu, "0000-000F"}, {0xFFFF0000u, "FFFF-0000"}};
    for (const auto& [serial, text] : serials)
        EXPECT_EQ(platform::formatVolumeSerial(serial), QLatin1String(text));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{4}-[0-9A-F]{4}$"))
                    .match(platform::machineIdentifier())
                    .hasMatch());

    EXPECT_TRUE(platform::graphicsRuntimePresent());
    platform::setGraphicsRuntimePresentForTesting(false);
    EXPECT_FALSE(platform::graphicsRuntimePresent());
    platform::setGraphicsRuntimePresentForTesting(std::nullopt);
    EXPECT_TRUE(platform::graphicsRuntimePresent());
    EXPECT_FALSE(platform::systemDir().endsWith(QLatin1Char('/')));
}
