// Every product path of both editions, from the folders of the test home.
#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QFile>

#include <gtest/gtest.h>

TEST(CStringManager, GivesEveryPathOfBothEditions)
{
    const QString D = sandbox::desktop() + QLatin1Char('/');
    const QString P = sandbox::dataHome() + QStringLiteral("/applications/");
    const QString R = sandbox::configHome() + QLatin1Char('/');
    const QString L = sandbox::dataHome() + QLatin1Char('/');
    const QString release = L + QStringLiteral("Ostrelle/Apps/Vorlen/");
    const QString beta = L + QStringLiteral("Ostrelle/Apps/Vorlen-beta/");

    const CStringManager r(false);
    EXPECT_EQ(r.U(vsDesktopLink), D + QStringLiteral("Vorlen.desktop"));
    EXPECT_EQ(r.U(vsProgramsGroup), P + QStringLiteral("Vorlen/"));
    EXPECT_EQ(r.U(vsInstallPath), release);
    EXPECT_EQ(r.U(vsConfigPath), R + QStringLiteral("Ostrelle/Vorlen/"));
    EXPECT_EQ(r.U(vsRunExe), release + QStringLiteral("Vorlen.exe"));
    EXPECT_EQ(r.U(vsUninstallTool), release + QStringLiteral("uninstall.exe"));
    EXPECT_EQ(r.U(vsCommandLineTxt), release + QStringLiteral("command line.txt"));
    EXPECT_EQ(r.U(vsAppCoreXML), release + QStringLiteral("Core.xml"));
    EXPECT_EQ(r.U(vsAppConfigXML), R + QStringLiteral("Ostrelle/Vorlen/Application.xml"));

    const CStringManager b(true);
    EXPECT_EQ(b.U(vsDesktopLink), D + QStringLiteral("Vorlen BETA.desktop"));
    EXPECT_EQ(b.U(vsProgramsGroup), P + QStringLiteral("Vorlen BETA/"));
    EXPECT_EQ(b.U(vsInstallPath), beta);
    EXPECT_EQ(b.U(vsConfigPath), R + QStringLiteral("Ostrelle/Vorlen-beta/"));
    EXPECT_EQ(b.U(vsRunExe), beta + QStringLiteral("Vorlen.exe"));
    EXPECT_EQ(b.U(vsUninstallTool), beta + QStringLiteral("uninstall.exe"));
    EXPECT_EQ(b.U(vsCommandLineTxt), beta + QStringLiteral("command line.txt"));
    EXPECT_EQ(b.U(vsAppCoreXML), beta + QStringLiteral("Core.xml"));
    EXPECT_EQ(b.U(vsAppConfigXML), R + QStringLiteral("Ostrelle/Vorlen-beta/Application.xml"));

    EXPECT_EQ(CStringManager::InstalledExePath(true), b.U(vsInstallPath));
    EXPECT_EQ(CStringManager::InstalledExePath(false), r.U(vsInstallPath));
}

TEST(CStringManager, LogsItsEditionAndInstalledExePathLooksAgain)
{
    const QString log = sandbox::freshFolder(QStringLiteral("paths")) + QStringLiteral("/paths.log");
    Logger().Start(log);
    const CStringManager b(true);
    EXPECT_TRUE(readFile(log).contains("INFO  -> [CStringManager] Create: True\r\n"));

    const QByteArray old = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(sandbox::home() + QStringLiteral("/elsewhere")));
    EXPECT_EQ(CStringManager::InstalledExePath(true), sandbox::home() + QStringLiteral("/elsewhere/Ostrelle/Apps/Vorlen-beta/"));
    EXPECT_EQ(b.U(vsInstallPath), sandbox::dataHome() + QStringLiteral("/Ostrelle/Apps/Vorlen-beta/"))
        << "an object keeps the folders of its construction";
    qputenv("XDG_DATA_HOME", old);
}
