// The installed uninstaller as a process: started from its menu entry (or without
// arguments) it copies itself into the temporary folder as "vrn-uninstall.exe", starts
// that copy with "-uninstallnow" and ends; the copy waits on its first page.
#include "app/setup_core.h"
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

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
