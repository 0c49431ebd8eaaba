// vrn-rc as the build and a person use it: list, add or replace, extract, the
// messages of its failures, and the memory it needs for a large archive.
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <memory>
#include <vector>

extern char** environ;

namespace {

ProcessResult vrnRc(const QStringList& arguments)
{
    return runProcess(builtProgram(QStringLiteral("vrn-rc")), arguments);
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

struct MeasuredRun {
    int exitCode = -1;
    long peakKiB = 0;
};

// Runs vrn-rc and reports the peak resident memory of exactly that process.
MeasuredRun measuredVrnRc(const QStringList& arguments)
{
    std::vector<QByteArray> storage{QFile::encodeName(builtProgram(QStringLiteral("vrn-rc")))};
    for (const QString& argument : arguments)
        storage.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    MeasuredRun run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) {
            run.exitCode = WEXITSTATUS(status);
            run.peakKiB = usage.ru_maxrss;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

QByteArray sha256Of(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result();
}

// Removes a folder of large files when the test ends, however it ends.
struct FolderRemover {
    QString folder;
    ~FolderRemover() { QDir(folder).removeRecursively(); }
};

}  // namespace

TEST(VrnRc, AddsListsReplacesAndExtracts)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("vrn-rc"));
    const QString exe = copyOfProgram(folder, QStringLiteral("VorlenSetup.exe"));
    const QByteArray archive = QByteArray(70000, 'z') + "end";
    writeFile(folder + QStringLiteral("/a.zip"), archive);
    writeFile(folder + QStringLiteral("/s.xml"), "<system/>");
    writeFile(folder + QStringLiteral("/eula.html"), "<html></html>");

    EXPECT_EQ(vrnRc({QStringLiteral("add"), exe, QStringLiteral("#100"), folder + QStringLiteral("/a.zip"),
                     QStringLiteral("#200"), folder + QStringLiteral("/s.xml")})
                  .exitCode,
              0);
    EXPECT_EQ(vrnRc({QStringLiteral("add"), exe, QStringLiteral("#200"), folder + QStringLiteral("/eula.html")})
                  .exitCode,
              0);
    const ProcessResult list = vrnRc({QStringLiteral("list"), exe});
    EXPECT_EQ(list.exitCode, 0);
    const QList<QByteArray> lines = list.out.trimmed().split('\n');
    EXPECT_TRUE(lines.contains("#100\t70003")) << list.out.toStdString();
    EXPECT_TRUE(lines.contains("#200\t13")) << list.out.toStdString();
    EXPECT_TRUE(lines.contains("LOGO\t" + QByteArray::number(QFile(QStringLiteral(VRN_SOURCE_DIR "/resources/logo.png")).size())))
        << "the program's own resources stay: " << list.out.toStdString();

    EXPECT_EQ(vrnRc({QStringLiteral("extract"), exe, QStringLiteral("#100"), folder + QStringLiteral("/out.zip")})
                  .exitCode,
              0);
    EXPECT_EQ(readFile(folder + QStringLiteral("/out.zip")), archive);
    EXPECT_EQ(vrnRc({QStringLiteral("extract"), exe, QStringLiteral("Logo"), folder + QStringLiteral("/logo.png")})
                  .exitCode,
              0);
    EXPECT_EQ(readFile(folder + QStringLiteral("/logo.png")),
              readFile(QStringLiteral(VRN_SOURCE_DIR "/resources/logo.png")));
}

TEST(VrnRc, FailuresExitNonZeroWithAMessage)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("vrn-rc-fail"));
    const QString exe = copyOfProgram(folder, QStringLiteral("vrnsetup"));
    const QString absent = folder + QStringLiteral("/absent");
    const QString damaged = folder + QStringLiteral("/damaged.exe");
    writeFile(damaged, QByteArray(100, 'q') + QByteArray(24, '\0') + QByteArray("VRNRSRC\x1a", 8));
    const QByteArray before = readFile(exe);
    struct Case {
        const char* what;
        QStringList arguments;
        int exitCode;
        QByteArray message;
    };
    const QList<Case> cases = {
        {"no command", {}, 2, "usage: vrn-rc list EXE"},
        {"unknown command", {QStringLiteral("remove"), exe}, 2, "usage:"},
        {"add without a file", {QStringLiteral("add"), exe, QStringLiteral("#100")}, 2, "usage:"},
        {"empty name", {QStringLiteral("extract"), exe, QString(), absent}, 2, "usage:"},
        {"mistyped id", {QStringLiteral("extract"), exe, QStringLiteral("#1OO"), absent}, 2, "usage:"},
        {"missing executable", {QStringLiteral("list"), absent}, 1, absent.toUtf8() + ": no such file"},
        {"missing data file",
         {QStringLiteral("add"), exe, QStringLiteral("#100"), absent},
         1,
         "EInOutError: Cannot open file \"" + absent.toUtf8() + "\". No such file or directory"},
        {"missing resource",
         {QStringLiteral("extract"), exe, QStringLiteral("NOPE"), absent},
         1,
         "EResNotFound: Resource NOPE not found"},
        {"unwritable target",
         {QStringLiteral("extract"), exe, QStringLiteral("logo"), absent + QStringLiteral("/x.png")},
         1,
         "EFCreateError: Cannot create file \"" + absent.toUtf8() + "/x.png\"."},
        {"extract onto the executable",
         {QStringLiteral("extract"), exe, QStringLiteral("logo"), exe},
         1,
         "It is the file the resource is read from."},
        {"damaged table",
         {QStringLiteral("list"), damaged},
         1,
         "EInOutError: The resource table of \"" + damaged.toUtf8() + "\" is damaged."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult result = vrnRc(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_TRUE(result.err.contains(c.message)) << result.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(absent));
    EXPECT_EQ(readFile(exe), before) << "a failed add leaves the executable as it was";
}

namespace {

// vrn-rc with a limit on the size of the files it writes: a disk that fills up.
ProcessResult vrnRcOnAFullDisk(const QStringList& arguments)
{
    QStringList quoted;
    for (const QString& argument : QStringList{builtProgram(QStringLiteral("vrn-rc"))} + arguments)
        quoted << QLatin1Char('\'') + argument + QLatin1Char('\'');
    // an ignored signal stays ignored in the program, so writes past the limit fail with an error
    return runProcess(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), QStringLiteral("trap '' XFSZ; ulimit -f 200; exec ") + quoted.join(' ')});
}

}  // namespace

// A write that fails names the system's reason, and nothing that existed is lost.
TEST(VrnRc, AFullDiskNamesTheReasonAndKeepsEveryFileAsItWas)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("vrn-rc-full"));
    const QString exe = folder + QStringLiteral("/small.exe");
    const QString big = folder + QStringLiteral("/big.zip");
    writeFile(exe, QByteArray(20000, 'x'));
    writeFile(big, QByteArray(1024 * 1024, 'b'));
    const QByteArray before = readFile(exe);

    ProcessResult add = vrnRcOnAFullDisk({QStringLiteral("add"), exe, QStringLiteral("#100"), big});
    EXPECT_EQ(add.exitCode, 1);
    EXPECT_TRUE(add.err.contains("Cannot write file \"" + exe.toUtf8() + "\". File too large")) << add.err.toStdString();
    EXPECT_EQ(readFile(exe), before);

    ASSERT_EQ(vrnRc({QStringLiteral("add"), exe, QStringLiteral("#100"), big}).exitCode, 0);
    const QString target = folder + QStringLiteral("/existing.zip");
    writeFile(target, "old content");
    const ProcessResult extract = vrnRcOnAFullDisk({QStringLiteral("extract"), exe, QStringLiteral("#100"), target});
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_TRUE(extract.err.contains("Cannot create file \"" + target.toUtf8() + "\". File too large"))
        << extract.err.toStdString();
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 3) << "no temporary file stays behind";
}

// Two updates of one executable at the same moment: the second waits for the first
// and builds on it, so both sets of resources survive.
TEST(VrnRc, ConcurrentAddsLoseNothing)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("vrn-rc-concurrent"));
    const QString exe = copyOfProgram(folder, QStringLiteral("VorlenSetup.exe"));
    writeFile(folder + QStringLiteral("/data"), QByteArray(2 * 1024 * 1024, 'd'));
    for (int round = 0; round < 4; ++round) {
        std::vector<std::unique_ptr<QProcess>> runs;
        for (int i = 0; i < 2; ++i) {
            runs.push_back(std::make_unique<QProcess>());
            runs.back()->start(builtProgram(QStringLiteral("vrn-rc")),
                               {QStringLiteral("add"), exe, QStringLiteral("R%1_%2").arg(round).arg(i),
                                folder + QStringLiteral("/data")});
        }
        for (auto& run : runs) {
            ASSERT_TRUE(run->waitForFinished(60000));
            EXPECT_EQ(run->exitCode(), 0) << run->readAllStandardError().toStdString();
        }
    }
    const QList<QByteArray> lines = vrnRc({QStringLiteral("list"), exe}).out.split('\n');
    for (int round = 0; round < 4; ++round)
        for (int i = 0; i < 2; ++i)
            EXPECT_TRUE(lines.contains(QStringLiteral("R%1_%2\t2097152").arg(round).arg(i).toUtf8())) << round << i;
}

// The local installation package embeds the whole setup archive: the update must
// stream it, so the memory it needs does not grow with the archive.
TEST(VrnRc, LargeArchiveIsEmbeddedWithBoundedMemory)
{
    const FolderRemover cleanup{sandbox::freshFolder(QStringLiteral("large"))};
    const QString folder = cleanup.folder;
    const QString archive = folder + QStringLiteral("/vrnsetup.zip");
    {
        QFile file(archive);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        QByteArray chunk(1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < 300; ++i) {
            chunk.fill(static_cast<char>(i * 31 + 7));
            chunk.replace(0, 4, QByteArray::number(i).rightJustified(4, '0'));
            ASSERT_EQ(file.write(chunk), chunk.size());
        }
    }
    const QString exe = copyOfProgram(folder, QStringLiteral("VorlenSetup.exe"));

    const MeasuredRun idle = measuredVrnRc({QStringLiteral("list"), exe});
    const MeasuredRun adding = measuredVrnRc({QStringLiteral("add"), exe, QStringLiteral("#100"), archive});
    ASSERT_EQ(idle.exitCode, 0);
    ASSERT_EQ(adding.exitCode, 0);
    EXPECT_LT(adding.peakKiB - idle.peakKiB, 64 * 1024) << "peak " << adding.peakKiB << " KiB";

    const ProcessResult list = vrnRc({QStringLiteral("list"), exe});
    EXPECT_TRUE(list.out.split('\n').contains("#100\t314572800")) << list.out.toStdString();
    const QString extracted = folder + QStringLiteral("/extracted.zip");
    ASSERT_EQ(vrnRc({QStringLiteral("extract"), exe, QStringLiteral("#100"), extracted}).exitCode, 0);
    EXPECT_EQ(sha256Of(extracted), sha256Of(archive));
}
