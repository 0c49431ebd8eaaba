// The install script on the main thread with a scripted user: the first request,
// the self-update check, the language and licence pages, the first-choice page, and
// closing the window at every wait. Each test runs in a process of its own (ctest),
// since a closed main window leaves the program terminating for good.
#include "install/flow_support.h"

#include "app/application_extended.h"
#include "i18n/setup_translator.h"
#include "install/background_job.h"
#include "install/setup_installation.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "support/recording_dialogs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include "support/process_runner.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <thread>

#include <gtest/gtest.h>

using namespace flowtest;

namespace {

// The script's own records: those of the main thread, from the run's first line on.
QStringList mainThreadRecords()
{
    static const QRegularExpression record(
        QStringLiteral("\r\n\\[[^\\]\r\n]+\\] \\[(\\d+)\\] INFO  -> ([^\r\n]*)\r\n"));
    const QString main = QString::number(platform::currentThreadId());
    QStringList lines;
    for (const auto& match : record.globalMatch(nettest::logText()))
        if (match.captured(1) == main)
            lines << match.captured(2);
    return lines.mid(lines.indexOf(QStringLiteral("[CInstallation] Run - Begin")));
}

bool requested(const ReleaseServer& server, const std::string& target)
{
    const auto seen = server.requests();
    return std::any_of(seen.begin(), seen.end(), [&](const ReleaseServer::Seen& s) { return s.target == target; });
}

int indexOf(const QStringList& lines, const QString& text, int from = 0)
{
    for (int i = from; i < lines.size(); ++i)
        if (lines[i].contains(text))
            return i;
    return -1;
}

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        nettest::startLog(QStringLiteral("flow"));
        platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
        testDialogs().reset();
        server.serve("system.xml", descriptor(QStringLiteral("15")));
        server.serve("count", "counted");
        server.serve("beta/system.xml", descriptor(QStringLiteral("15")));
        server.serve("count-beta", "counted");
    }
    ReleaseServer server;
};

}  // namespace

// The whole road of a run up to the user's first choice, in order (the worker's and the
// counter's lines interleave with the script's, so only the main thread's are compared).
TEST_F(FlowTest, RunUpToFirstChoiceWritesItsStepsInOrder)
{
    if (!isChild()) {
        server.start();
        for (const QStringList& switches : {QStringList{}, QStringList{QStringLiteral("-stream:beta")}})
            runAsChild(switches, server.base());
        return;
    }
    gBetaMode = platform::commandLineArguments().contains(QStringLiteral("-stream:beta"));
    ScriptedUser user;
    user.press(QStringLiteral("lbBox")).acceptLicence().closeOn(QStringLiteral("rbInstall"));
    runScript(nullptr, QStringLiteral("en_GB"), qEnvironmentVariable("VRN_FLOW_BASE"));
    const QString base = qEnvironmentVariable("VRN_FLOW_BASE");
    const QString folder = gBetaMode ? QStringLiteral("beta/") : QString();
    QStringList expected = {
        "[CInstallation] Run - Begin", "[CInstallation] Create", "[TSource] Create",
        "[TSource] baseTemp: " + TempFolder(true), "[TSource] selfPath: " + SelfPath(),
        "[TSource] bUseBetaStream: " + BoolToStr(gBetaMode), "[CStringManager] Create: " + BoolToStr(gBetaMode),
        "[CInstallation] Main", "[CInstallation] ExtractSSl_Libs", "[CInstallation] CountAtBitLy",
        "[CInstallation] VerifyInstallation", "[CInstallation] AsyncRequest: system.xml",
        "[CInstallation] AsyncRequest: system.xml, Result: True",
        "[CInstallation] VerifyReleaseSignature: the release is not signed (this setup has no release key)",
        "[CInstallation] CheckSetupVersion",
        "[TSource] Use: system.xml", "[CInstallation] CheckSetupVersion: " + TempFolder(true) + "system.xml",
        "[CInstallation] CheckSetupVersion: 15 = 15, False", "[CInstallation] GetLangFromUser", "[UI] Hide Page",
        "[UI] page_SelectLang", "[UI] Page: \"Choose your language\", \"Continue\"", "[UI] createLangOptions",
        "[UI] btnLangChange", "[CSetupCore] WaitForUserAction", "[UI] btnNextClick_Langs", "[UI] Hide Page",
        "[UI] page_Prepare", "[UI] Page: \"\", \"\"", "[CInstallation] GetLangFromUser: en_GB",
        "[CTranslator] Work: MainWindow, Lang_en_GB, True", "[UI] page_Prepare", "[UI] Page: \"\", \"\"",
        "[TSource] RequestResource: EULA_en_GB", "[CInstallation] ShowEULAtoUSER", "[UI] Hide Page", "[UI] page_EULA",
        "[UI] Page: \"Read the Software License Terms\", \"Continue\"", "[TSource] Use: EULA_en_GB",
        "[CSetupCore] WaitForUserAction", "[UI] cbAcceptEULAChange", "[UI] btnNextClick_EULA", "[UI] Hide Page",
        "[UI] page_Prepare", "[UI] Page: \"\", \"\"", "[CInstallation] CheckDirectX", "[UI] Hide Page",
        "[UI] page_FirstChoose", "[UI] Page: \"Choose the installation you want\", \"Next\"",
        "[CSetupCore] WaitForUserAction", "[CInstallation] End Main", "[CInstallation] Destroy", "[TSource] Destroy",
        "[CInstallation] Run - End"};
    QStringList mainThread;
    for (const QString& line : mainThreadRecords())
        mainThread << line;
    EXPECT_EQ(mainThread, expected);
    EXPECT_TRUE(nettest::records().contains("INFO:[CNetwork class] Download: " + base + folder + "system.xml, "
                                            + TempFolder(true) + "system.xml, Result: True"));
    EXPECT_EQ(MainWindow->SHosting, QStringLiteral("Content host: 127.0.0.1"));
    EXPECT_TRUE(user.finished());
}

// Closing the window at any wait ends the run at once: no later page, no work folder.
class CloseTest : public FlowTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CloseTest, ClosingTheWindowEndsTheRunWithoutAnotherPage)
{
    const QString where = QString::fromLatin1(GetParam());
    if (where == QLatin1String("request"))
        server.servePaced("system.xml", descriptor(QStringLiteral("15")), 50, 2000);  // 100 seconds
    server.start();
    ScriptedUser user;
    if (where != QLatin1String("lbBox") && where != QLatin1String("request"))
        user.press(QStringLiteral("lbBox"));
    if (where == QLatin1String("rbInstall"))
        user.acceptLicence();
    user.then([where] { return visible(where == QLatin1String("request") ? QStringLiteral("NetWork") : where); },
              [] {
                  Logger().Info(QStringLiteral("closing"));
                  MainWindow->close();
              });
    QElapsedTimer clock;
    clock.start();
    runScript(&server);
    const QStringList got = nettest::records();
    const int closed = indexOf(got, QStringLiteral("INFO:closing"));
    ASSERT_GE(closed, 0);
    EXPECT_EQ(indexOf(got, QStringLiteral("[UI] page_"), closed), -1) << qPrintable(got.mid(closed).join('\n'));
    EXPECT_GT(indexOf(got, QStringLiteral("INFO:[CInstallation] End Main"), closed), closed);
    EXPECT_TRUE(gCancelled);
    EXPECT_LT(clock.elapsed(), 50000) << "a closed window does not wait for the request";
    // an abandoned request keeps its source (and work folder) until its worker ends, and
    // on a loaded machine the descriptor's request can still be under way at the first
    // page; the folder goes when the last holder lets go
    if (where != QLatin1String("request"))
        EXPECT_TRUE(waitUntil([] { return !QFileInfo::exists(TempFolder(false) + platform::applicationTitle()); }));
    else
        EXPECT_GE(indexOf(got, QStringLiteral("INFO:[CInstallation] AsyncRequest: system.xml, Result: False"), closed), 0);
}

INSTANTIATE_TEST_SUITE_P(AtEveryWait, CloseTest, ::testing::Values("lbBox", "cbAcceptEULA", "rbInstall", "request"));

TEST_F(FlowTest, RussianChoiceRetranslatesTheWindowAndShowsTheRussianLicence)
{
    server.start();
    ScriptedUser user;
    user.chooseLanguage(QStringLiteral("ru_RU")).closeOn(QStringLiteral("cbAcceptEULA"));
    runScript(&server);
    const QStringList got = nettest::records();
    EXPECT_GE(indexOf(got, QStringLiteral("INFO:[CInstallation] GetLangFromUser: ru_RU")), 0);
    EXPECT_GE(indexOf(got, QStringLiteral("INFO:[TSource] RequestResource: EULA_ru_RU")), 0);
    EXPECT_TRUE(MainWindow->windowTitle().contains(QStringLiteral("Установка"))) << qPrintable(MainWindow->windowTitle());
    EXPECT_EQ(MainWindow->InstallString(1), QStringLiteral("Продолжить"));
}

// The descriptor decides the self-update; only a valid integer above 15 updates.
TEST_F(FlowTest, OnlyAVersionAboveTheSetupsOwnUpdates)
{
    struct Case {
        QByteArray descriptor;
        QString line;  // the check's verdict in the log
    };
    const QList<Case> cases = {
        {descriptor(QStringLiteral("15")), "INFO:[CInstallation] CheckSetupVersion: 15 = 15, False"},
        {descriptor(QStringLiteral("abc")), "INFO:[CInstallation] CheckSetupVersion: -1 = 15, False"},
        {descriptor(QStringLiteral("99999999999999999999")), "INFO:[CInstallation] CheckSetupVersion: -1 = 15, False"},
        {descriptor(QString()), "INFO:[CInstallation] CheckSetupVersion: 0 = 15, False"},
        {"<other><VERSION>15</VERSION></other>", "INFO:[CInstallation] CheckSetupVersion: 15 = 15, False"},
        {"<system><version>16", "ERROR:[CInstallation] CheckSetupVersion: "},
        {"", "ERROR:[CInstallation] CheckSetupVersion: "},
    };
    for (const Case& c : cases) {
        nettest::startLog(QStringLiteral("version"));
        QFile file(TempFolder(true) + QStringLiteral("system.xml"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(c.descriptor);
        file.close();
        CreateMainWindow(QStringLiteral("en_GB"));
        CInstallation installation;
        EXPECT_FALSE(installation.CheckSetupVersion()) << c.descriptor.toStdString();
        EXPECT_GE(indexOf(nettest::records(), c.line), 0) << c.descriptor.toStdString();
    }
}

TEST_F(FlowTest, NoServerAndNoPackageShowsTheNoInternetPageUntilItsButton)
{
    ScriptedUser user;
    user.press(QStringLiteral("lbText5"));
    runScript(nullptr);
    const QStringList got = nettest::records();
    EXPECT_GE(indexOf(got, QStringLiteral("INFO:[UI] page_NoInternet")), 0);
    EXPECT_EQ(indexOf(got, QStringLiteral("[CInstallation] GetLangFromUser")), -1);
    EXPECT_GE(indexOf(got, QStringLiteral("INFO:[CNetwork class] Get: http://127.0.0.1:1/count")), 0)
        << "the counter is asked also when the run turns local";
    EXPECT_TRUE(gCancelled);
    EXPECT_TRUE(user.finished());
    EXPECT_TRUE(MainWindow->SHosting.isEmpty());
}

TEST_F(FlowTest, BetaWithoutServerEndsAfterTheMessageBeforeTheLanguagePage)
{
    if (!isChild())
        return runAsChild({QStringLiteral("-stream:beta")}, QString());
    gBetaMode = true;
    ScriptedUser user;
    user.press(QStringLiteral("lbText5"));
    runScript(nullptr);
    const QStringList got = nettest::records();
    ASSERT_EQ(testDialogs().boxes.size(), 1);
    EXPECT_EQ(testDialogs().boxes[0].caption, QStringLiteral("Vorlen - setup"));
    EXPECT_EQ(testDialogs().boxes[0].text, QStringLiteral("You can't use BETA setup in local mode."));
    EXPECT_EQ(testDialogs().boxes[0].flags, 0u);
    EXPECT_GE(indexOf(got, QStringLiteral("INFO:[UI] page_final: False")), 0);
    EXPECT_EQ(indexOf(got, QStringLiteral("[CInstallation] GetLangFromUser")), -1);
    EXPECT_EQ(indexOf(got, QStringLiteral("page_NoInternet")), -1);
    EXPECT_TRUE(user.finished());
}

TEST_F(FlowTest, ACounterThatNeverAnswersDelaysNothing)
{
    server.serveStalling("count", 100, "o");  // holds the reply for two minutes
    server.start();
    ScriptedUser user;
    user.closeOn(QStringLiteral("lbBox"));
    QElapsedTimer clock;
    clock.start();
    runScript(&server);
    EXPECT_LT(clock.elapsed(), 60000);
    // the counter is fired and never waited for: on a busy machine it may ask after the run
    EXPECT_TRUE(waitUntil([&] { return requested(server, "/count"); }, 60000));
}

TEST(BackgroundJob, AWorkerThatEndsBeforeTheWaitIsNoticedAfterOnePumpStep)
{
    auto job = std::make_shared<TJobRecord>();
    StartJobWorker(job, QStringLiteral("quick"), QStringLiteral("quick: "), [job] { job->ReturnValue = true; });
    while (!job->done)
        QThread::msleep(1);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(WaitForJob(*job));
    EXPECT_LT(clock.elapsed(), 10000);
}

TEST(BackgroundJob, AFailingWorkerLogsAndStillEndsTheWait)
{
    nettest::startLog(QStringLiteral("failing"));
    auto job = std::make_shared<TJobRecord>();
    StartJobWorker(job, QStringLiteral("failing"), QStringLiteral("[X] Job: "),
                   [] { throw EInOutError(QStringLiteral("disk full")); });
    EXPECT_FALSE(WaitForJob(*job));
    EXPECT_TRUE(nettest::records().contains(QStringLiteral("ERROR:[X] Job: EInOutError: disk full")));
}
