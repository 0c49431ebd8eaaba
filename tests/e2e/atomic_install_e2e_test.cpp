// An installation is all or nothing: build/bin/vrnsetup -silent updates release A to
// release B, is killed at evenly spread moments (the program's crash points), runs out
// of disk space, meets a damaged archive, meets a second setup, and a removal is killed
// too. After each, the install folder holds A or B whole (with the user's own file).
#include "net/release_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_data.h"
#include "support/test_machine.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QStringList kInstall{QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")};
const QString kUserFile = QStringLiteral("notes/mine.txt");

void writeFile(const QString& path, const QByteArray& content, QFile::Permissions mode = {})
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
    file.close();
    if (mode)
        file.setPermissions(mode);
}

// A release's files: name -> content. B changes some, drops one and adds one.
QMap<QString, QByteArray> releaseFiles(char edition, int bigFileBytes = 0)
{
    QMap<QString, QByteArray> files;
    files[QStringLiteral("Vorlen.exe")] = "#!/bin/sh\necho " + QByteArray(1, edition) + " >> \"$HOME/started\"\n";
    files[QStringLiteral("Core.xml")] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<core/>\r\n";
    files[QStringLiteral("command line.txt")] = "usage";
    for (int i = 0; i < 12; ++i)
        files[QStringLiteral("data/part%1.dat").arg(i)] = noise(20000 + i, static_cast<quint32>(i * 7 + (i % 3 == 0 ? edition : 'A')));
    files[edition == 'A' ? QStringLiteral("plugins/old.so") : QStringLiteral("plugins/new.so")] = QByteArray(3000, edition);
    if (bigFileBytes)
        files[QStringLiteral("data/big.dat")] = QByteArray(bigFileBytes, 'x');
    return files;
}

struct Release {
    QByteArray descriptor;
    QByteArray archive;
};

Release publish(char edition, int bigFileBytes = 0)
{
    const QString work = sandbox::freshFolder(QStringLiteral("publish") + QChar(edition));
    const auto files = releaseFiles(edition, bigFileBytes);
    for (auto it = files.begin(); it != files.end(); ++it)
        writeFile(work + QStringLiteral("/app/") + it.key(), it.value(),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther);
    const ProcessResult made = runProcess(builtProgram(QStringLiteral("vrn-publish")),
                                          {QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"),
                                           QStringLiteral("15"), QStringLiteral("--number"),
                                           edition == 'A' ? QStringLiteral("1") : QStringLiteral("2"),
                                           work + QStringLiteral("/release")});
    EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
    return {readFile(work + QStringLiteral("/release/system.xml")), readFile(work + QStringLiteral("/release/vrnsetup.zip"))};
}

std::unique_ptr<ReleaseServer> serve(const Release& release, bool slow = false)
{
    auto server = std::make_unique<ReleaseServer>();
    server->serve("system.xml", release.descriptor);
    server->serve("count", "ok");
    if (slow)
        server->servePaced("vrnsetup.zip", release.archive, 60, 150);
    else
        server->serve("vrnsetup.zip", release.archive);
    server->start();
    return server;
}

// The install folder's files with their content; Core.xml by its release number alone,
// since its key and path change with every install, and the list of placed files by its
// paths alone, since its records name the files' times and inodes.
QMap<QString, QByteArray> installedFiles(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    static const QRegularExpression number(QStringLiteral("<number>(\\d+)</number>"));
    static const QRegularExpression record(QStringLiteral("^\t.*\n"), QRegularExpression::MultilineOption);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = path.mid(folder.size());
        if (name == QLatin1String("Core.xml"))
            files[name] = number.match(QString::fromUtf8(readFile(path))).captured(1).toUtf8();
        else if (name == QLatin1String(".vrnsetup-files"))
            files[name] = QString::fromUtf8(readFile(path)).remove(record).toUtf8();
        else
            files[name] = readFile(path);
    }
    return files;
}

// What sits beside the install folders: only the product folders themselves.
QStringList besideInstallFolders(const Machine& machine)
{
    return QDir(machine.root + QStringLiteral("/data/Ostrelle/Apps"))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Every entry below `folder` with its mode and a file's content, read as root, which reads
// what the user closed.
QMap<QString, QPair<QFile::Permissions, QByteArray>> entriesOf(const QString& folder)
{
    QMap<QString, QPair<QFile::Permissions, QByteArray>> entries;
    for (QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        entries[path.mid(folder.size())] = {QFileInfo(path).permissions(), readFile(path)};
    }
    return entries;
}

// A machine whose runs are the user nobody's, since root ignores modes.
struct UsersMachine : Machine {
    using Machine::Machine;
    QString program() const { return root + "/vrnsetup"; }
    ProcessResult runAs(const QString& base, const QStringList& command, const QString& umask = "022") const
    {
        auto variables = environment(base);
        variables["QT_QPA_PLATFORM"] = "offscreen";  // the removal's copy shows its window
        const QStringList user{"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", "umask \"$0\"; exec \"$@\""};
        return runProcess("setpriv", user + QStringList{umask} + command, variables, 120000);
    }
    void handOver() const { runProcess("chown", {"-R", "65534:65534", root}); }
};

const char* const kNeedsOtherUser = "needs root, to run the setup as the user nobody (root ignores modes)";

// The machine and a copy of the program (mode 0755, as a downloaded setup) are nobody's;
// nothing unless the test is root and nobody can run the program there.
std::optional<UsersMachine> usersMachine(const QString& name)
{
    if (::geteuid() != 0)
        return std::nullopt;
    ::chmod(QFile::encodeName(sandbox::root()).constData(), 0711);  // nobody passes through, lists nothing
    UsersMachine machine(name);
    QFile::setPermissions(copyOfProgram(machine.root, "vrnsetup"), QFile::Permissions(0x7555));
    machine.handOver();
    return machine.runAs({}, {machine.program(), "-help"}).exitCode == 0 ? std::optional(machine) : std::nullopt;
}

// A machine with release A installed and a file of the user's in its folder, copied for each case.
struct Installed {
    QString templateRoot;
    QMap<QString, QByteArray> treeA;

    Machine copy(const QString& name) const
    {
        Machine machine(name);
        const ProcessResult copied = runProcess(QStringLiteral("cp"), {QStringLiteral("-a"), templateRoot + QStringLiteral("/."),
                                                                       machine.root});
        EXPECT_EQ(copied.exitCode, 0);
        return machine;
    }
};

Installed installA(const ReleaseServer& server)
{
    const Machine machine(QStringLiteral("templateA"));
    const ProcessResult result = machine.run(server.base(), kInstall);
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    writeFile(machine.installFolder(false) + kUserFile, "the user's own notes");
    return {machine.root, installedFiles(machine.installFolder(false))};
}

// Up to `wanted` moments spread evenly over 1..count.
QList<int> spread(int count, int wanted)
{
    QList<int> moments;
    for (int i = 0; i < wanted; ++i) {
        const int moment = 1 + (wanted > 1 ? i * (count - 1) / (wanted - 1) : 0);
        if (moments.isEmpty() || moments.last() != moment)
            moments << moment;
    }
    return moments;
}

int countCrashPoints(const ProcessResult& run)
{
    return static_cast<int>(run.err.count("crash point "));
}

struct AtomicInstall : ::testing::Test {
    static void SetUpTestSuite()
    {
        releaseA = publish('A');
        releaseB = publish('B');
    }
    static inline Release releaseA;
    static inline Release releaseB;
};

}  // namespace

TEST_F(AtomicInstall, UpdateKilledAtAnyMomentLeavesAOrBWholeAndTheNextRunEndsWithB)
{
    const auto serverA = serve(releaseA);
    const auto serverB = serve(releaseB);
    const Installed installed = installA(*serverA);
    QMap<QString, QByteArray> treeB;
    {
        const Machine clean = installed.copy(QStringLiteral("countB"));
        const ProcessResult all = clean.runKilledAt(serverB->base(), 1000000, kInstall);
        ASSERT_EQ(all.exitCode, 0) << all.err.toStdString();
        treeB = installedFiles(clean.installFolder(false));
        ASSERT_EQ(treeB.value(kUserFile), "the user's own notes") << "the user's file is carried into B";
        ASSERT_FALSE(treeB.contains(QStringLiteral("plugins/old.so"))) << "a file B dropped is gone";
        const qsizetype firstFile = all.err.indexOf("a file was unpacked as the archive arrived");
        EXPECT_TRUE(firstFile >= 0 && firstFile < all.err.indexOf("the remains of an interrupted run are gone"))
            << "the archive is unpacked while it downloads, before the install job begins";
        const QList<int> moments = spread(countCrashPoints(all), 20);
        ASSERT_EQ(moments.size(), 20) << all.err.toStdString();

        for (const int moment : moments) {
            const Machine machine = installed.copy(QStringLiteral("kill%1").arg(moment));
            const ProcessResult killed = machine.runKilledAt(serverB->base(), moment, kInstall);
            const std::string what = "killed at moment " + std::to_string(moment);
            EXPECT_NE(killed.exitCode, 0) << what;
            const auto tree = installedFiles(machine.installFolder(false));
            EXPECT_TRUE(tree == installed.treeA || tree == treeB) << what << ": " << tree.keys().join(' ').toStdString();

            const ProcessResult again = machine.run(serverB->base(), kInstall);
            EXPECT_EQ(again.exitCode, 0) << what << again.err.toStdString();
            EXPECT_TRUE(installedFiles(machine.installFolder(false)) == treeB) << what;
            EXPECT_EQ(besideInstallFolders(machine), QStringList{QStringLiteral("Vorlen")}) << what;
            EXPECT_FALSE(machine.workFolderLeft()) << what;
        }
    }
}

// A disk without room for B, and B with a damaged entry, leave A as it was and
// runnable from its menu entry; on an empty disk neither leaves a product folder.
TEST_F(AtomicInstall, FailedUpdateLeavesARunnableAndAFailedFirstInstallLeavesNothing)
{
    const auto serverA = serve(releaseA);
    const Installed installed = installA(*serverA);
    // larger than the room left beside the setup, however large the setup is
    const Release big = publish('B', QFileInfo(builtProgram()).size() + (32 << 20));
    Release damaged = releaseB;
    const qsizetype at = damaged.archive.indexOf("data/part5.dat") + 2000;  // inside its compressed data
    damaged.archive[at] = static_cast<char>(damaged.archive[at] ^ 0x55);
    // room for A and for B (each with the setup as its uninstaller), not for the big release
    const qint64 fileSystemSize = 2 * QFileInfo(builtProgram()).size() + (20 << 20);
    const auto serverBig = serve(big);
    const auto serverDamaged = serve(damaged);
    const struct {
        const ReleaseServer* server;
        QByteArray reason;
    } cases[] = {{serverBig.get(), "MB are needed"}, {serverDamaged.get(), "EZipError"}};
    for (const auto& c : cases) {
        for (const bool firstInstall : {false, true}) {
            const Machine machine = firstInstall ? Machine(QStringLiteral("first")) : installed.copy(QStringLiteral("update"));
            const QString apps = machine.root + QStringLiteral("/data/Ostrelle/Apps");
            const QString result = machine.root + QStringLiteral("/after");
            QDir().mkpath(apps);
            QDir().mkpath(result);
            // a small file system of its own for the install folders, in a mount namespace of the run's
            const QString script = QStringLiteral(
                "set -e; mount -t tmpfs -o size=$6 none \"$1\"; cp -a \"$2/.\" \"$1/\"; "
                "\"$3\" -silent -accepteula -norun || echo \"exit $?\" >&2; cp -a \"$1/.\" \"$4/\"; "
                "if [ -f \"$1/Vorlen/Vorlen.exe\" ]; then "
                "  sh -c \"$(sed -n 's/^Exec=//p' \"$5\"/*Run*.desktop)\"; fi");
            auto environment = machine.environment(c.server->base());
            const ProcessResult run = runProcess(
                QStringLiteral("unshare"),
                {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh"), apps,
                 firstInstall ? result : installed.templateRoot + QStringLiteral("/data/Ostrelle/Apps"), builtProgram(),
                 result, machine.root + QStringLiteral("/data/applications/Vorlen"), QString::number(fileSystemSize)},
                environment, 120000);
            const std::string what = c.reason.toStdString() + (firstInstall ? " first install" : " update");
            EXPECT_TRUE(run.err.contains("exit 1")) << what << run.err.toStdString();
            EXPECT_TRUE(run.err.contains(c.reason)) << what << run.err.toStdString();
            if (firstInstall) {
                EXPECT_TRUE(QDir(result).isEmpty()) << what;
                EXPECT_FALSE(QDir(machine.root + QStringLiteral("/config/Ostrelle")).exists()) << what;
            } else {
                EXPECT_TRUE(installedFiles(result + QStringLiteral("/Vorlen/")) == installed.treeA) << what;
                EXPECT_EQ(QDir(result).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                          QStringList{QStringLiteral("Vorlen")}) << what;
                EXPECT_EQ(readFile(machine.root + QStringLiteral("/home/started")), "A\n") << what << " runs from its menu";
            }
        }
    }
}

TEST_F(AtomicInstall, SecondSetupStartedMeanwhileEndsWithItsOwnCodeAndTouchesNothing)
{
    const auto server = serve(releaseB, true);
    const Machine machine(QStringLiteral("twice"));
    QProcess first;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto variables = machine.environment(server->base());
    for (auto it = variables.begin(); it != variables.end(); ++it)
        environment.insert(it.key(), it.value());
    first.setProcessEnvironment(environment);
    first.start(builtProgram(), kInstall);
    ASSERT_TRUE(waitUntil([&] { return machine.log().contains(QStringLiteral("AsyncRequest2: vrnsetup.zip")); }));
    const QString logBefore = machine.log();
    const ProcessResult second = machine.run(server->base(), kInstall);
    EXPECT_EQ(second.exitCode, 5) << second.err.toStdString();
    EXPECT_TRUE(second.err.contains("already running")) << second.err.toStdString();
    EXPECT_TRUE(machine.log().startsWith(logBefore)) << "the first run's log is its own";
    ASSERT_TRUE(first.waitForFinished(120000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().toStdString();
    EXPECT_TRUE(installedFiles(machine.installFolder(false)).contains(QStringLiteral("plugins/new.so")));
    EXPECT_FALSE(machine.workFolderLeft());
}

TEST_F(AtomicInstall, RemovalKilledAtAnyMomentLeavesTheInstallationWholeOrGone)
{
    const auto server = serve(releaseA);
    const Installed installed = installA(*server);
    const QStringList removal{QStringLiteral("-uninstallnow"), QStringLiteral("-silent"), QStringLiteral("-edition:release")};
    const Machine counting = installed.copy(QStringLiteral("countRemoval"));
    const ProcessResult all = counting.runKilledAt(server->base(), 1000000, removal);
    ASSERT_EQ(all.exitCode, 0) << all.err.toStdString();
    const QList<int> moments = spread(countCrashPoints(all), 10);
    ASSERT_EQ(moments.size(), 10) << all.err.toStdString();
    for (const int moment : moments) {
        const Machine machine = installed.copy(QStringLiteral("removal%1").arg(moment));
        machine.runKilledAt(server->base(), moment, removal);
        const QString what = QStringLiteral("killed at moment %1").arg(moment);
        const bool whole = installedFiles(machine.installFolder(false)) == installed.treeA;
        const bool gone = !QFileInfo::exists(machine.installFolder(false));
        EXPECT_TRUE(whole || gone) << what.toStdString();
        // a new install after it finds nothing of the killed removal
        EXPECT_EQ(machine.run(server->base(), kInstall).exitCode, 0) << what.toStdString();
        EXPECT_EQ(besideInstallFolders(machine), QStringList{QStringLiteral("Vorlen")}) << what.toStdString();
    }
}

// A folder the user closed (a drop box 0300, 0000) cannot be read, and one where B puts a
// file would be lost: each stops the update before anything changes, named. Then B takes
// every folder and file along with its mode (a release folder the user closed stays
// closed), and a removal leaves a folder it cannot read where it is, naming it.
TEST_F(AtomicInstall, UpdateOverFoldersTheUserClosedKeepsEveryFileAndModeOrChangesNothing)
{
    const std::optional<UsersMachine> users = usersMachine("closed");
    if (!users)
        GTEST_SKIP() << kNeedsOtherUser;
    const auto serverA = serve(releaseA);
    const auto serverB = serve(releaseB);
    const QStringList update = QStringList{users->program()} + kInstall;
    ASSERT_EQ(users->runAs(serverA->base(), update).exitCode, 0);
    const QString install = users->installFolder(false);
    const auto setMode = [&](const QString& path, unsigned mode) { ::chmod(QFile::encodeName(install + path).constData(), mode); };
    const QStringList releaseA = entriesOf(install).keys();
    const QPair<QString, unsigned> own[] = {{"drop/", 0300}, {"drop/in", 0600}, {"locked/", 0000}, {"locked/in", 0640},
                                            {"ro/", 0555}, {"ro/sub/", 0700}, {"ro/sub/in", 0444}, {"data/", 0700},
                                            {"data/in", 0640}, {"plugins/new.so/", 0700}, {"plugins/new.so/in", 0600}};
    for (const auto& [path, mode] : own)
        path.endsWith('/') ? void(QDir().mkpath(install + path)) : writeFile(install + path, path.toUtf8());
    users->handOver();
    for (auto it = std::crbegin(own); it != std::crend(own); ++it)
        setMode(it->first, it->second);
    // each is in the way until the user opens it or moves it away
    for (const auto& [blocker, opened] : {std::pair{"drop", 0700}, {"locked", 0500}, {"plugins/new.so", -1}}) {
        const auto before = entriesOf(install);
        const ProcessResult refused = users->runAs(serverB->base(), update);
        EXPECT_TRUE(refused.exitCode == 1 && refused.err.contains((install + blocker).toUtf8())) << refused.err.toStdString();
        EXPECT_TRUE(entriesOf(install) == before) << blocker << ": the old installation is whole";
        opened < 0 ? void(QDir().rename(install + blocker, install + "moved")) : setMode(blocker, opened);
    }
    const auto ready = entriesOf(install);
    ASSERT_EQ(users->runAs(serverB->base(), update).exitCode, 0);
    const auto after = entriesOf(install);
    for (const QString& path : ready.keys())
        EXPECT_TRUE((releaseA.contains(path) && path != "data") || after.value(path) == ready.value(path)) << path.toStdString();
    EXPECT_TRUE(after.contains("plugins/new.so") && besideInstallFolders(*users) == QStringList{"Vorlen"});

    setMode("locked", 0000);
    const ProcessResult removal = users->runAs(serverB->base(), {users->program(), "-uninstallnow", "-silent", "-edition:release"});
    EXPECT_TRUE(removal.exitCode == 1 && removal.err.contains((install + "locked").toUtf8())) << removal.err.toStdString();
    EXPECT_EQ(entriesOf(install).keys(), (QStringList{"locked", "locked/in"}));
    EXPECT_EQ(entriesOf(install).value("locked/in"), ready.value("locked/in"));
}

// Under umask 077 nothing the setup writes is open to others: an install over one made
// under umask 022 (whose files it writes anew), a package, the removal's copy of the
// uninstaller, and the removal.
TEST_F(AtomicInstall, UnderUmask077NothingTheSetupWritesIsOpenToOthers)
{
    const std::optional<UsersMachine> users = usersMachine("umask");
    if (!users)
        GTEST_SKIP() << kNeedsOtherUser;
    const auto server = serve(releaseA);
    const QString& root = users->root;
    const QStringList runs[] = {QStringList{users->program(), "-desktopicon"} + kInstall,
                                {users->program(), "-silent", "-accepteula", "-package:" + root + "/home/package"},
                                {users->installFolder(false) + "uninstall.exe", "-uninstall"},
                                {users->program(), "-uninstallnow", "-silent", "-edition:release"}};
    ASSERT_EQ(users->runAs(server->base(), runs[0]).exitCode, 0);
    // the folders made so far may stay open, not the files written anew
    runProcess("find", {root, "-mindepth", "1", "-type", "d", "-exec", "chmod", "go-rwx", "{}", "+"});
    for (const QStringList& run : runs) {
        ASSERT_EQ(users->runAs(server->base(), run, "077").exitCode, 0) << run.join(' ').toStdString();
        if (run.contains("-uninstall")) {  // its copy waits on its first page
            EXPECT_TRUE(waitUntil([&] { return readFile(root + "/tmp/Vorlen_Setup_Uninstall.log").contains("WaitForUserAction"); }));
            EXPECT_TRUE(endProgramsRunning(root + "/tmp/vrn-uninstall.exe"));
        }
        const ProcessResult open = runProcess("find", {root, "-mindepth", "1", "-perm", "/077", "!", "-type", "l", "!", "-name",
                                                       "user-dirs.dirs", "!", "-name", "vrnsetup", "-printf", "%m %P\n"});
        EXPECT_EQ(open.out.toStdString(), "") << run.join(' ').toStdString();
    }
}
