// The main thread's waits with a real window (offscreen), and shell links.
#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "support/process_runner.h"
#include "support/recording_dialogs.h"
#include "support/sandbox.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/stat.h>

namespace {

// A page with one button that ends it, as the wizard's pages do.
struct Page {
    QWidget window;
    QPushButton* next = new QPushButton(QStringLiteral("Next"), &window);
    int clicks = 0;

    Page()
    {
        CSetupCore::MarkAsMainWindow(&window);
        QObject::connect(next, &QPushButton::clicked, [this] {
            ++clicks;
            gUserChoice = QStringLiteral("CustomizedInstall");
            gUserActed = true;
        });
        window.show();
    }
};

QString startLog(const QString& name)
{
    const QString path = sandbox::freshFolder(name) + QStringLiteral("/core.log");
    Logger().Start(path);
    return path;
}

void skipWhenTerminating()
{
    if (CSetupCore::IsTerminating())
        GTEST_SKIP() << "the terminating state never clears: run this test in a process of its own (ctest does)";
}

}  // namespace

TEST(WaitForUserAction, AClickBeforeTheWaitDoesNotEndIt)
{
    skipWhenTerminating();
    Page page;
    QTest::mouseClick(page.next, Qt::LeftButton);  // a click while no wait runs
    ASSERT_TRUE(gUserActed);
    QTimer::singleShot(100, page.next, [&] { QTest::mouseClick(page.next, Qt::LeftButton); });
    CSetupCore::WaitForUserAction();
    EXPECT_EQ(page.clicks, 2) << "the wait ended only with the second click";
    EXPECT_FALSE(gCancelled);
    EXPECT_EQ(gUserChoice, QStringLiteral("CustomizedInstall"));
}

TEST(WaitForUserAction, ErrorInAHandlerIsShownAndTheWaitGoesOn)
{
    skipWhenTerminating();
    testDialogs().reset();
    Page page;
    QPushButton failing(QStringLiteral("Fail"), &page.window);
    QObject::connect(&failing, &QPushButton::clicked, [] { throw EInOutError(QStringLiteral("disk gone")); });
    QTimer::singleShot(20, &failing, [&] { QTest::mouseClick(&failing, Qt::LeftButton); });
    QTimer::singleShot(80, page.next, [&] { QTest::mouseClick(page.next, Qt::LeftButton); });
    CSetupCore::WaitForUserAction();
    EXPECT_EQ(page.clicks, 1);
    ASSERT_EQ(testDialogs().boxes.size(), 1);
    EXPECT_EQ(testDialogs().boxes[0].text, QStringLiteral("disk gone"));
    EXPECT_EQ(testDialogs().boxes[0].flags, platform::MB_ICONERROR);
}

TEST(WaitForUserAction, ClosingTheWindowCancelsAndLaterWaitsReturnAtOnce)
{
    const QString log = startLog(QStringLiteral("close"));
    gUserChoice = QStringLiteral("previous");
    gCancelled = false;
    Page page;
    QTimer::singleShot(50, &page.window, [&] { page.window.close(); });
    CSetupCore::WaitForUserAction();
    EXPECT_TRUE(gCancelled);
    EXPECT_TRUE(CSetupCore::IsTerminating());
    EXPECT_EQ(gUserChoice, QStringLiteral("previous"));

    // nothing is queued now: each wait must still return after one pump step
    for (int i = 0; i < 2; ++i) {
        gCancelled = false;
        QElapsedTimer timer;
        timer.start();
        CSetupCore::WaitForUserAction();
        EXPECT_TRUE(gCancelled);
        EXPECT_LT(timer.elapsed(), 10000);
    }
    EXPECT_EQ(QString::fromLatin1(readFile(log)).count(QStringLiteral("INFO  -> [CSetupCore] WaitForUserAction\r\n")), 3);

    // a wait for a worker that never comes polls instead of spinning the processor
    int steps = 0;
    QElapsedTimer polling;
    polling.start();
    while (polling.elapsed() < 200) {
        CSetupCore::ProcessOneMessage();
        ++steps;
    }
    EXPECT_LT(steps, 40);
}

TEST(ProcessOneMessage, AWorkerSettingItsFlagIsNoticedWithoutAnyWindowMessage)
{
    skipWhenTerminating();
    QWidget window;
    window.show();
    QCoreApplication::processEvents();  // nothing else is pending from here on
    // without the wake the pump would sleep until this guard, a minute later
    QTimer guard;
    guard.start(60000);
    std::atomic<bool> done{false};
    std::chrono::steady_clock::time_point setAt;
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        setAt = std::chrono::steady_clock::now();
        done = true;
        CSetupCore::WakeMainThread();
    });
    while (!done)
        CSetupCore::ProcessOneMessage();
    const auto noticed = std::chrono::steady_clock::now();
    worker.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(noticed - setAt).count(), 10000);
}

// ---- links ----------------------------------------------------------------------------

namespace {

bool desktopFileValid(const QString& path, QByteArray* report)
{
    const ProcessResult result = runProcess(QStringLiteral("desktop-file-validate"), {path});
    *report = result.out + result.err;
    return result.finished && result.exitCode == 0 && report->isEmpty();
}

}  // namespace

TEST(CreateLink, WritesValidEntriesForAProgramAWebAddressAndADocument)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("links"));
    const QString program = copyOfProgram(folder, QStringLiteral("Vorlen.exe"));
    const QString document = folder + QStringLiteral("/command line.txt");
    QFile(document).open(QIODevice::WriteOnly);
    startLog(QStringLiteral("links-log"));

    struct Case {
        QString target, link, params, expectedLine;
    };
    const QList<Case> cases = {
        {program, folder + QStringLiteral("/Uninstall Vorlen.desktop"), QStringLiteral("-uninstall \"two words\""),
         QStringLiteral("Exec=\"%1\" \"-uninstall\" \"two words\"").arg(program)},
        {QStringLiteral("http://www.vorlen.example/"), folder + QStringLiteral("/Go to Vorlen web site.desktop"),
         QString(), QStringLiteral("URL=http://www.vorlen.example/")},
        {document, folder + QStringLiteral("/Command line documentation.desktop"), QString(),
         QStringLiteral("Exec=\"xdg-open\" \"%1\"").arg(document)},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(CSetupCore::CreateLink(c.target, c.link, QStringLiteral("Vorlen 100%"), c.params));
        const QString text = QString::fromUtf8(readFile(c.link));
        EXPECT_TRUE(text.contains(c.expectedLine + QLatin1Char('\n'))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("Comment=Vorlen 100%\n"))) << text.toStdString();
        QByteArray report;
        EXPECT_TRUE(desktopFileValid(c.link, &report)) << report.toStdString();
    }
}

TEST(CreateLink, LinkInAMissingFolderFailsAndLogsBothLines)
{
    const QString log = startLog(QStringLiteral("missing-log"));
    const QString link = sandbox::root() + QStringLiteral("/no/such/folder/Vorlen.desktop");
    EXPECT_FALSE(CSetupCore::CreateLink(QStringLiteral("/bin/true"), link, QStringLiteral("Run"), QStringLiteral("-x")));
    EXPECT_FALSE(QFile::exists(link));
    const QString expected = QStringLiteral("[CSetupCore] CreateLink: /bin/true, %1, Run, -x").arg(link);
    const QString text = QString::fromLatin1(readFile(log));
    EXPECT_TRUE(text.contains(QStringLiteral("INFO  -> ") + expected + QStringLiteral("\r\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("INFO  -> ") + expected + QStringLiteral(", Result: False\r\n")));
}

// Entries are executable for their owner (desktops start only those) and readable by
// others as far as the user's umask allows.
TEST(CreateLink, EntriesFollowTheUmask)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("link-modes"));
    const struct {
        mode_t umask;
        unsigned mode;
    } cases[] = {{022, 0744}, {027, 0740}, {077, 0700}};
    for (const auto& c : cases) {
        const QString link = folder + QStringLiteral("/Run %1.desktop").arg(c.umask, 0, 8);
        const mode_t previous = ::umask(c.umask);
        EXPECT_TRUE(CSetupCore::CreateLink(QStringLiteral("/bin/true"), link, QString(), QString()));
        ::umask(previous);
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(link).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode) << c.umask;
    }
}
