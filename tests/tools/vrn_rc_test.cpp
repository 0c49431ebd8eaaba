// vrn-rc as the build and a person use it: list, add or replace, extract, the
// messages of its failures, and the memory it needs for a large archive.
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

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
