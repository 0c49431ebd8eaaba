// The window on a real X display (Xvfb): shown with its translated caption, and
// a close request from the window system ends the wait with the run cancelled.

#include "window_fixture.h"

#include "app/setup_core.h"
#include "support/process_runner.h"

#include <QCoreApplication>
#include <QStandardPaths>

using namespace uitest;

// The program's side, started by the check below on the X display.
TEST(RealDisplayChild, WaitsUntilTheWindowSystemClosesTheWindow)
{
    if (qgetenv("VRN_REAL_DISPLAY_CHILD") != "1")
        GTEST_SKIP() << "started by RealDisplay.CloseRequestEndsTheRun";
    TMainWindow* window = CreateMainWindow("ru_RU");
    window->show();
    window->HidePage();
    window->page_SelectLang();
    CSetupCore::WaitForUserAction();
    EXPECT_TRUE(gCancelled);
    EXPECT_TRUE(gUserChoice.isEmpty());
}

TEST(RealDisplay, CloseRequestEndsTheRun)
{
    const QString xvfb = QStandardPaths::findExecutable("xvfb-run");
    if (xvfb.isEmpty())
        GTEST_SKIP() << "xvfb-run is not installed";
    const ProcessResult run = runProcess(
        xvfb, {"-a", "python3", VRN_SOURCE_DIR "/tests/ui/close_on_display.py", "--caption", "Установка Vorlen",
               "--", QCoreApplication::applicationFilePath(), "--gtest_filter=RealDisplayChild.*"},
        {{"VRN_REAL_DISPLAY_CHILD", "1"}}, 90000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("window caption: Установка Vorlen (включая flexLayers)")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("[  PASSED  ] 1 test.")) << run.out.toStdString();
}
