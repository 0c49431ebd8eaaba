// The installed uninstaller as a process: started from its menu entry (or without
// arguments) it copies itself into the temporary folder as "vrn-uninstall.exe", starts
// that copy with "-uninstallnow" and ends; the copy waits on its first page.
#include "app/setup_core.h"
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_machine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

// The release's install folder with the uninstaller and its menu entry, as an install leaves them.
QString installRelease()
{
    const CStringManager release(false);
    QDir().mkpath(release.U(vsInstallPath));
    QFile core(release.U(vsAppCoreXML));
    EXPECT_TRUE(core.open(QIODevice::WriteOnly));
    copyOfProgram(release.U(vsInstallPath), QStringLiteral("uninstall.exe"));
    QDir().mkpath(release.U(vsProgramsGroup));
    const QString entry = release.U(vsProgramsGroup) + QStringLiteral("Uninstall Vorlen") + platform::LinkExtension;
    EXPECT_TRUE(platform::writeShellLink(release.U(vsUninstallTool), entry, QString(), QStringLiteral("-uninstall")));
    return entry;
}

// The command of a menu entry's Exec line, as the desktop starts it.
QStringList commandOf(const QString& entry)
{
    for (const QByteArray& line : readFile(entry).split('\n')) {
        if (line.startsWith("Exec="))
            return platform::splitCommandLine(QString::fromUtf8(line.mid(5)));
    }
    return {};
}

}  // namespace

TEST(UninstallerProcess, CopiesItselfToTheTemporaryFolderAndStartsTheCopy)
{
    struct Case {
        const char* name;
        bool fromMenuEntry;  // else "uninstall.exe" without arguments
    };
    for (const Case c : {Case{"the menu entry's command", true}, Case{"uninstall.exe alone", false}}) {
        SCOPED_TRACE(c.name);
        const QString entry = installRelease();
        QStringList command = commandOf(entry);
        ASSERT_EQ(command, (QStringList{CStringManager(false).U(vsUninstallTool), QStringLiteral("-uninstall")}));
        if (!c.fromMenuEntry)
            command = command.mid(0, 1);
        const QString copy = sandbox::tmp() + QStringLiteral("/vrn-uninstall.exe");
        const QString log = sandbox::tmp() + QStringLiteral("/Vorlen_Setup_Uninstall.log");
        QFile::remove(copy);
        QFile::remove(log);

        const ProcessResult run = runProcess(command.first(), command.mid(1), {}, 20000);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QByteArray copyLog = readFile(sandbox::tmp() + QStringLiteral("/Vorlen_Setup_Uninstall_CopyToTemp.log"));
        EXPECT_TRUE(copyLog.contains("[CSetup] Main - End")) << copyLog.toStdString();
        EXPECT_FALSE(copyLog.contains("[CUnInstallation]")) << "the copying process shows no page";
        EXPECT_TRUE(QFileInfo(copy).isExecutable());
        EXPECT_EQ(QFileInfo(copy).size(), QFileInfo(builtProgram()).size());

        EXPECT_TRUE(waitUntil([&] { return readFile(log).contains("[CSetupCore] WaitForUserAction"); }))
            << readFile(log).toStdString();
        EXPECT_EQ(argumentsOfProgramsRunning(copy), QList<QStringList>{{QStringLiteral("-uninstallnow")}});
        EXPECT_TRUE(endProgramsRunning(copy));
        EXPECT_TRUE(readFile(log).contains("[CUnInstallation] ReleaseInstalled: True"));
        EXPECT_TRUE(QFileInfo::exists(CStringManager(false).U(vsAppCoreXML))) << "nothing is removed unasked";
    }
}

// A copy that cannot be written ends the run with the standard error report naming it,
// and nothing is started.
TEST(UninstallerProcess, ACopyThatCannotBeWrittenIsReported)
{
    const QString entry = installRelease();
    const QString copy = sandbox::tmp() + QStringLiteral("/vrn-uninstall.exe");
    ASSERT_TRUE(QDir().mkpath(copy + QStringLiteral("/in-the-way")));

    const QStringList command = commandOf(entry);
    const ProcessResult run = runProcess(command.first(), command.mid(1), {}, 20000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("EFCreateError")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(copy.toUtf8())) << run.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(sandbox::tmp() + QStringLiteral("/Vorlen_Setup_Uninstall.log")));
    EXPECT_TRUE(QFileInfo::exists(CStringManager(false).U(vsAppCoreXML)));
}

// A removal that has to leave something (a folder of the user's bound into the install
// folder, the installation key on a read-only mount) removes everything else, never
// enters the mount, and an unattended run ends with 1 naming what it left.
TEST(UnattendedRemoval, LeavesMountsAndUndeletableValuesAndSaysSo)
{
    if (runProcess(QStringLiteral("unshare"), {QStringLiteral("-Urm"), QStringLiteral("true")}).exitCode != 0)
        GTEST_SKIP() << "this machine offers no user and mount namespaces";
    const Machine machine(QStringLiteral("mounted"));
    const QString install = machine.installFolder(false);
    const QString pictures = machine.root + QStringLiteral("/home/Pictures");
    const QString keys = machine.root + QStringLiteral("/config/Tarnvek");
    for (const QString& folder : {install + QStringLiteral("cache"), pictures, keys})
        ASSERT_TRUE(QDir().mkpath(folder));
    const std::pair<QString, QByteArray> files[] = {
        {install + QStringLiteral("Core.xml"), "<vrn/>"},
        {pictures + QStringLiteral("/holiday.jpg"), "sunny"},
        {keys + QStringLiteral("/vrn.conf"), "[General]\nkey={1}\nkey-beta={2}\n"},
    };
    for (const auto& [path, content] : files) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const QString mountThenRun = QStringLiteral(
        "mount --bind \"$1\" \"$2\" && mount --bind \"$3\" \"$3\" && mount -o remount,bind,ro \"$3\" && shift 3 && exec \"$@\"");
    const ProcessResult run = machine.run(
        QString(),
        {QStringLiteral("-Urm"), QStringLiteral("sh"), QStringLiteral("-c"), mountThenRun, QStringLiteral("sh"), pictures,
         install + QStringLiteral("cache"), keys, builtProgram(), QStringLiteral("-uninstallnow"), QStringLiteral("-silent"),
         QStringLiteral("-edition:release")},
        QStringLiteral("unshare"));

    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    for (const QByteArray& named : {(install + QStringLiteral("cache")).toUtf8(), QByteArray("Software\\Tarnvek\\vrn\\key")})
        EXPECT_TRUE(run.err.contains(named)) << named.toStdString() << "\n" << run.err.toStdString();
    EXPECT_EQ(readFile(pictures + QStringLiteral("/holiday.jpg")), QByteArray("sunny"));
    EXPECT_FALSE(QFileInfo::exists(install + QStringLiteral("Core.xml")));
    EXPECT_TRUE(readFile(keys + QStringLiteral("/vrn.conf")).contains("key={1}"));
}
