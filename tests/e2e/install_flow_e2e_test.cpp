// The install script as a user starts it: build/bin/vrnsetup as a process against a
// release served on 127.0.0.1, with a private temporary folder per run.
#include "net/release_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

namespace {

const QString kInstallLog = QStringLiteral("Vorlen_Setup_Install.log");

QByteArray descriptorWithVersion(const QByteArray& version)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<system>\r\n  <version>" + version
           + "</version>\r\n  <number>7</number>\r\n</system>\r\n";
}

struct SetupRun {
    QString temp;
    ProcessResult process;
    QStringList infoLines() const
    {
        static const QRegularExpression record(QStringLiteral("\\] \\[\\d+\\] INFO  -> ([^\r\n]*)\r\n"));
        QStringList lines;
        for (const auto& match : record.globalMatch(QString::fromUtf8(readFile(temp + QLatin1Char('/') + kInstallLog))))
            lines << match.captured(1);
        return lines;
    }
};

// Runs the setup until its log holds `stopAt` (then ends it as a closing session does),
// or to its own end when `stopAt` is empty.
SetupRun runSetup(const QString& base, const QStringList& arguments, const QByteArray& stopAt = {},
             QMap<QString, QString> environment = {})
{
    SetupRun run;
    run.temp = sandbox::freshFolder(QStringLiteral("e2e"));
    environment.insert(QStringLiteral("TMPDIR"), run.temp);
    environment.insert(QStringLiteral("VRN_RELEASE_BASE_URL"), base);
    environment.insert(QStringLiteral("VRN_BETA_BASE_URL"), base + QStringLiteral("beta/"));
    environment.insert(QStringLiteral("VRN_COUNTER_RELEASE_URL"), base + QStringLiteral("count"));
    environment.insert(QStringLiteral("VRN_COUNTER_BETA_URL"), base + QStringLiteral("count"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("en_GB.UTF-8"));
    run.process = stopAt.isEmpty()
                      ? runProcess(builtProgram(), arguments, environment)
                      : runProcessUntil(builtProgram(), arguments, environment, run.temp + QLatin1Char('/') + kInstallLog,
                                        stopAt);
    return run;
}

}  // namespace

TEST(InstallFlowProcess, NewerSetupIsDownloadedMovedStartedWithoutSwitchesAndTheRunEnds)
{
    ReleaseServer server;
    server.serve("system.xml", descriptorWithVersion("16"));
    const QString record = sandbox::freshFolder(QStringLiteral("record")) + QStringLiteral("/started");
    server.serve("vrnsetup.exe", "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$PWD\" > \"$VRN_RECORD\"\n");
    server.serve("count", "ok");
    server.start();
    const SetupRun run = runSetup(server.base(), {QStringLiteral("-lang:x")}, {}, {{QStringLiteral("VRN_RECORD"), record}});

    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err.toStdString();
    // moved into a folder of its own in the temporary folder
    const QStringList folders = QDir(run.temp).entryList({QStringLiteral("vrnsetup-*")}, QDir::Dirs);
    ASSERT_EQ(folders.size(), 1);
    const QString folder = run.temp + QLatin1Char('/') + folders[0];
    const QStringList moved = QDir(folder).entryList(QDir::Files);
    ASSERT_EQ(moved.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^vrnsetup-\\d{14}\\.exe$")).match(moved[0]).hasMatch()) << moved[0].toStdString();
    EXPECT_TRUE(QFileInfo(folder + QLatin1Char('/') + moved[0]).isExecutable());
    for (int i = 0; i < 100 && !QFile::exists(record); ++i)
        QThread::msleep(50);
    EXPECT_EQ(readFile(record).split('\n').value(0), "0") << "the new setup gets no switches";
    const QStringList lines = run.infoLines();
    EXPECT_TRUE(lines.contains(QStringLiteral("[CInstallation] CheckSetupVersion: 16 = 15, True")));
    EXPECT_FALSE(lines.contains(QStringLiteral("[CInstallation] GetLangFromUser")));
    EXPECT_GT(lines.indexOf(QStringLiteral("[CInstallation] End Main")), lines.indexOf(QStringLiteral("[CInstallation] DownloadAndRunNewInstaller")));
    EXPECT_FALSE(QDir(run.temp + QStringLiteral("/Vorlen Setup")).exists());
}

TEST(InstallFlowProcess, RunsThatCannotGoOnStopAtTheirPage)
{
    struct Case {
        QStringList arguments;
        QByteArray version;  // empty: nothing is served
        QByteArray page;
        QString absent;
    };
    const QList<Case> cases = {
        {{}, {}, "[UI] page_NoInternet", QStringLiteral("[CInstallation] GetLangFromUser")},
        {{QStringLiteral("-stream:beta")}, {}, "[UI] page_final: False", QStringLiteral("[CInstallation] GetLangFromUser")},
        {{}, "15", "[UI] page_SelectLang", QStringLiteral("[CInstallation] DownloadAndRunNewInstaller")},
        {{}, "-1", "[UI] page_SelectLang", QStringLiteral("[CInstallation] DownloadAndRunNewInstaller")},
        {{}, "99999999999999999999", "[UI] page_SelectLang", QStringLiteral("[CInstallation] DownloadAndRunNewInstaller")},
    };
    for (const Case& c : cases) {
        ReleaseServer server;
        if (!c.version.isEmpty())
            server.serve("system.xml", descriptorWithVersion(c.version));
        server.start();
        const QString base = c.version.isEmpty() ? QStringLiteral("http://127.0.0.1:1/") : server.base();
        const SetupRun run = runSetup(base, c.arguments, c.page);
        const std::string what = (c.arguments.join(' ') + QLatin1Char(' ') + QString::fromLatin1(c.version)).toStdString();
        ASSERT_TRUE(run.process.finished) << what;
        EXPECT_EQ(run.process.exitCode, 0) << what;
        const QStringList lines = run.infoLines();
        EXPECT_FALSE(lines.contains(c.absent)) << what;
        // the counter's worker may still log after the script; only the order is fixed
        EXPECT_GT(lines.indexOf(QStringLiteral("[CInstallation] End Main")), lines.indexOf(QString::fromLatin1(c.page))) << what;
        EXPECT_GT(lines.indexOf(QStringLiteral("[CSetup] Main - End")), lines.indexOf(QStringLiteral("[CInstallation] End Main"))) << what;
        EXPECT_FALSE(QDir(run.temp + QStringLiteral("/Vorlen Setup")).exists()) << what;
    }
}
