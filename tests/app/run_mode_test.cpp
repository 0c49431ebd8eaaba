// The program started as a process: run mode, edition, language alias, the log
// of the mode and the work folder, as a user's command line and file name choose them.
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

struct SetupRun {
    ProcessResult process;
    QString temp;  // the run's temporary folder

    QByteArray log(const QString& name) const { return readFile(temp + QLatin1Char('/') + name); }
    QStringList infoLines(const QString& name) const
    {
        static const QRegularExpression record(QStringLiteral("\r\n\\[[^\\]]+\\] \\[\\d+\\] INFO  -> ([^\r\n]*)\r\n"));
        QStringList lines;
        for (const auto& match : record.globalMatch(QString::fromUtf8(log(name))))
            lines << match.captured(1);
        return lines;
    }
};

const QString installLog = QStringLiteral("Vorlen_Setup_Install.log");
const QString copyToTempLog = QStringLiteral("Vorlen_Setup_Uninstall_CopyToTemp.log");
const QString uninstallLog = QStringLiteral("Vorlen_Setup_Uninstall.log");

// Runs the program until its script waits for the user for the first time (in the log
// `watchedLog`), then ends it as a closing session does. No server answers, so an install
// run stops at its first page.
ProcessResult runToFirstWait(const QString& program, const QStringList& arguments, QMap<QString, QString> environment,
                             const QString& logFolder = QString(), const QString& watchedLog = installLog)
{
    const QString nowhere = QStringLiteral("http://127.0.0.1:1/");
    for (const char* name : {"VRN_RELEASE_BASE_URL", "VRN_BETA_BASE_URL", "VRN_COUNTER_RELEASE_URL", "VRN_COUNTER_BETA_URL"})
        environment.insert(QLatin1String(name), nowhere);
    const QString folder = logFolder.isEmpty() ? environment.value(QStringLiteral("TMPDIR")) : logFolder;
    const ProcessResult result = runProcessUntil(program, arguments, environment, folder + QLatin1Char('/') + watchedLog,
                                                 "WaitForUserAction");
    // the uninstaller copy that an uninstall run starts waits for its user on its first page: end it there
    const QString copy = folder + QStringLiteral("/vrn-uninstall.exe");
    if (QFile::exists(copy)) {
        waitUntil([&] { return readFile(folder + QLatin1Char('/') + uninstallLog).contains("WaitForUserAction"); });
        endProgramsRunning(copy);
    }
    return result;
}

SetupRun runSetup(const QStringList& arguments, const QString& lang = QStringLiteral("en_GB.UTF-8"),
                  const QString& program = builtProgram(), QMap<QString, QString> environment = {},
                  const QString& watchedLog = installLog)
{
    SetupRun run;
    run.temp = sandbox::freshFolder(QStringLiteral("run"));
    environment.insert(QStringLiteral("TMPDIR"), run.temp);
    environment.insert(QStringLiteral("LANG"), lang);
    for (const QString& name : {QStringLiteral("LC_ALL"), QStringLiteral("LC_MESSAGES")})
        if (!environment.contains(name))
            environment.insert(name, QString());
    run.process = runToFirstWait(program, arguments, environment, QString(), watchedLog);
    return run;
}

}  // namespace

TEST(Startup, PlainRunLogsVersionModeAndAliasAndRemovesTheWorkFolder)
{
    const SetupRun run = runSetup({});
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err.toStdString();
    const QStringList lines = run.infoLines(installLog);
    EXPECT_EQ(lines.mid(0, 4),
              (QStringList{QStringLiteral("CSetup Version: 15"), QStringLiteral("RELEASE MODE"),
                           QStringLiteral("AliasForSystemLang: en_GB"), QStringLiteral("[CSetup] Main - Start")}));
    EXPECT_EQ(lines.mid(lines.size() - 2), (QStringList{QStringLiteral("[CSetup] clearTemp"), QStringLiteral("[CSetup] Main - End")}));
    EXPECT_TRUE(QString::fromLatin1(run.log(installLog))
                    .contains(QRegularExpression(QStringLiteral("\tStart: \\d\\d/\\d\\d/\\d{4}( \\d\\d:\\d\\d:\\d\\d)?\r\n"))))
        << "en_GB time stamps read like 09/12/2026 06:20:45";
    EXPECT_FALSE(QDir(run.temp + QStringLiteral("/Vorlen Setup")).exists());
    EXPECT_EQ(QDir(run.temp).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).filter(QStringLiteral(".log")),
              QStringList{installLog});
}

TEST(Startup, RunModeFollowsTheSwitchesAndTheExecutableName)
{
    struct Case {
        QStringList arguments;
        QString fileName;
        QString log;
    };
    const QList<Case> cases = {
        {{QStringLiteral("-uninstall=x")}, QStringLiteral("vrnsetup.exe"), copyToTempLog},
        {{QStringLiteral("-uninstall:x")}, QStringLiteral("vrnsetup.exe"), installLog},
        {{QStringLiteral("--uninstall")}, QStringLiteral("vrnsetup.exe"), installLog},
        {{QStringLiteral("uninstall")}, QStringLiteral("vrnsetup.exe"), installLog},
        {{QStringLiteral("/UNINSTALL")}, QStringLiteral("vrnsetup.exe"), copyToTempLog},
        {{QStringLiteral("-uninstall"), QStringLiteral("-uninstallnow")}, QStringLiteral("vrnsetup.exe"), uninstallLog},
        {{}, QStringLiteral("UNINSTALL.EXE"), copyToTempLog},
        {{QStringLiteral("-uninstallnow")}, QStringLiteral("vrn-uninstall.exe"), uninstallLog},
        {{QStringLiteral("-unknown"), QStringLiteral("plain")}, QStringLiteral("vrnsetup.exe"), installLog},
    };
    const QString folder = sandbox::freshFolder(QStringLiteral("programs"));
    for (const Case& c : cases) {
        const QString program = copyOfProgram(folder, c.fileName);
        const SetupRun run = runSetup(c.arguments, QStringLiteral("en_GB.UTF-8"), program, {}, c.log);
        const std::string what = (c.fileName + QLatin1Char(' ') + c.arguments.join(QLatin1Char(' '))).toStdString();
        EXPECT_EQ(run.process.exitCode, 0) << what << run.process.err.toStdString();
        QStringList logs = QDir(run.temp).entryList(QStringList{QStringLiteral("*.log")}, QDir::Files);
        // the copy that a copying run starts writes the log of its own mode
        QStringList expected{c.log};
        if (c.log == copyToTempLog)
            expected << uninstallLog;
        logs.sort();
        expected.sort();
        EXPECT_EQ(logs, expected) << what;
        EXPECT_TRUE(run.infoLines(c.log).contains(QStringLiteral("[CSetup] Main - End"))) << what;
    }
}

TEST(Startup, BetaModeNeedsTheExactValueBeta)
{
    const QList<QPair<QStringList, bool>> cases = {
        {{QStringLiteral("/STREAM:beta")}, true},
        {{QStringLiteral("-stream:beta")}, true},
        {{QStringLiteral("-stream:Beta")}, false},
        {{QStringLiteral("-stream=beta")}, false},
        {{QStringLiteral("-stream")}, false},
        {{QStringLiteral("-stream:beta:x")}, false},
        {{QStringLiteral("-stream:a"), QStringLiteral("-stream:beta")}, false},
    };
    for (const auto& [arguments, beta] : cases) {
        const SetupRun run = runSetup(arguments);
        const QStringList lines = run.infoLines(installLog);
        ASSERT_GE(lines.size(), 2) << arguments.join(' ').toStdString();
        EXPECT_EQ(lines[1], beta ? QStringLiteral("BETA MODE") : QStringLiteral("RELEASE MODE"))
            << arguments.join(' ').toStdString();
        EXPECT_FALSE(QDir(run.temp + QStringLiteral("/Vorlen Setup [BETA]")).exists());
        EXPECT_FALSE(QDir(run.temp + QStringLiteral("/Vorlen Setup")).exists());
    }
}

TEST(Startup, LanguageAliasFollowsTheSystemLanguage)
{
    const QList<QPair<QString, QString>> cases = {
        {QStringLiteral("ru_RU.UTF-8"), QStringLiteral("ru_RU")}, {QStringLiteral("uk_UA.UTF-8"), QStringLiteral("ru_RU")},
        {QStringLiteral("be_BY.UTF-8"), QStringLiteral("ru_RU")}, {QStringLiteral("ru_MD.UTF-8"), QStringLiteral("en_GB")},
        {QStringLiteral("en_US.UTF-8"), QStringLiteral("en_GB")}, {QStringLiteral("C"), QStringLiteral("en_GB")},
    };
    for (const auto& [lang, alias] : cases) {
        const SetupRun run = runSetup({}, lang);
        EXPECT_TRUE(run.infoLines(installLog).contains(QStringLiteral("AliasForSystemLang: ") + alias))
            << lang.toStdString();
    }
    // LC_ALL wins over LANG
    const SetupRun run = runSetup({}, QStringLiteral("en_GB.UTF-8"), builtProgram(),
                                  {{QStringLiteral("LC_ALL"), QStringLiteral("uk_UA.UTF-8")}});
    EXPECT_TRUE(run.infoLines(installLog).contains(QStringLiteral("AliasForSystemLang: ru_RU")));
}

TEST(Startup, NonAsciiTimeStampInTheHeaderIsWrittenAsUtf8WithAMark)
{
    const SetupRun run = runSetup({}, QStringLiteral("bg_BG.UTF-8"));
    const QByteArray bytes = run.log(installLog);
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF")) << bytes.left(200).toStdString();
    const QString text = QString::fromUtf8(bytes.mid(3));
    EXPECT_TRUE(text.contains(QStringLiteral("\tStart: ")) && text.contains(QChar(0x447))) << "the Bulgarian hour mark";
    EXPECT_FALSE(text.contains(QChar::ReplacementCharacter));
    EXPECT_EQ(run.infoLines(installLog).first(), QStringLiteral("CSetup Version: 15"));
}

TEST(Startup, LogThatCannotBeCreatedEndsWithTheStandardReport)
{
    const QString temp = sandbox::freshFolder(QStringLiteral("blocked"));
    ASSERT_TRUE(QDir().mkpath(temp + QLatin1Char('/') + installLog));  // a folder where the log should go
    const ProcessResult result = runProcess(builtProgram(), {}, {{QStringLiteral("TMPDIR"), temp}});
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.err.contains("EInOutError: ")) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(installLog.toUtf8())) << result.err.toStdString();
}

TEST(Startup, SharedTemporaryFolderGetsAPrivateSubfolder)
{
    const QString shared = sandbox::freshFolder(QStringLiteral("shared"));
    QFile::setPermissions(shared, QFileDevice::Permissions(0x7777));  // rwx for everyone
    const QString own = shared + QStringLiteral("/vorlen-%1").arg(getuid());
    const ProcessResult result = runToFirstWait(builtProgram(), {}, {{QStringLiteral("TMPDIR"), shared}}, own);
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(QFile::exists(own + QLatin1Char('/') + installLog));
    EXPECT_EQ(QFile::permissions(own) & 0x0077, 0) << "nobody else may enter the private folder";
    EXPECT_FALSE(QFile::exists(shared + QLatin1Char('/') + installLog));

    // a link planted in the private folder's place must not redirect the work folder
    const QString target = sandbox::freshFolder(QStringLiteral("planted"));
    QDir(own).removeRecursively();
    ASSERT_TRUE(QFile::link(target, own));
    const ProcessResult planted = runToFirstWait(builtProgram(), {}, {{QStringLiteral("TMPDIR"), shared}});
    EXPECT_EQ(planted.exitCode, 1);
    EXPECT_TRUE(planted.err.contains("ETempFolderError: ")) << planted.err.toStdString();
    EXPECT_TRUE(QDir(target).isEmpty());
}

TEST(Startup, TemporaryFolderOfAnotherUserIsRefused)
{
    if (getuid() != 0)
        GTEST_SKIP() << "only root can hand a folder to another user";
    const QString foreign = sandbox::freshFolder(QStringLiteral("foreign"));
    ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
    const ProcessResult result = runProcess(builtProgram(), {}, {{QStringLiteral("TMPDIR"), foreign}});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.err.contains("ETempFolderError: ")) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(foreign.toUtf8())) << "the message names the folder";
    EXPECT_TRUE(QDir(foreign).isEmpty());
}
