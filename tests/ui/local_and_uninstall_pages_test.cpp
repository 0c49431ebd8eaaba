// The local-package pages on top of the first-choice page, and the uninstall pages.

#include "window_fixture.h"

#include "app/application_extended.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

using namespace uitest;

class LocalPackagePagesTest : public WindowTest {};

TEST_F(LocalPackagePagesTest, FirstChoicePageTurnsIntoProgressAndDone)
{
    auto window = Open();
    window->page_FirstChoose(false);
    Click(*window, "rbDownload");
    TWorkBeginProc onWorkBegin;
    TWorkProc onWork;
    TWorkEndProc onWorkEnd;
    const QString folder = window->page_MakeLocalInstallation2(onWorkBegin, onWork, onWorkEnd);
    EXPECT_EQ(folder, SpecialFolderPath(16));
    const int labelHeight = Find(*window, "lbText4")->height();
    ExpectControls(*window, {
        {"lbTitle", "QLabel", {46, 31, 518, 48}, 0, "Choose the installation you want", true, -1, true},
        {"rbInstall", "QRadioButton", {46, 96, 518, -1}, 0, {}, true, 0, false},
        {"lb_installOptions", "QLabel", {76, 120, -1, -1}, 0, {}, true, -1, false},
        {"cbDesktopLink", "QCheckBox", {76, 138, 300, -1}, 0, {}, false, 0, false},
        {"cbTaskbarPin", "QCheckBox", {76, 168, 300, -1}, 0, {}, false, 0, false},
        {"cbRunAfterInstall", "QCheckBox", {76, 198, 300, -1}, 0, {}, false, 1, false},
        {"rbDownload", "QRadioButton", {46, 240, 518, -1}, 0, {}, true, 1, true},
        {"lb_donwloadPath", "QLabel", {76, 264, -1, -1}, 0, {}, true, -1, true},
        {"eLocalPath", "QLineEdit", {76, 282, 400, -1}, 0, folder, false, -1, true},
        {"btnBrowsePath", "QPushButton", {482, 280, -1, -1}, 0, {}, false, -1, true},
        {"pbLocal", "QProgressBar", {46, 340, 518, -1}, 0, {}, true, -1, true},
        {"lbText4", "QLabel", {46, 338 - labelHeight, 518, -1}, 0, "Prepare for download...", true, -1, true},
        {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, "Close", false, -1, true},
    });
    auto* bar = Find<QProgressBar>(*window, "pbLocal");
    auto* label = Find<QLabel>(*window, "lbText4");
    onWorkBegin(qint64(8.1 * 1048576));
    onWork(qint64(8.1 * 1048576) / 2);
    EXPECT_EQ(label->text(), "Downloaded: 4.05 Mb from 8.10 Mb");
    onWorkEnd();
    EXPECT_EQ(label->text(), "Preparing a local installation...");
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_FALSE(Find(*window, "btnNext")->isEnabled());

    window->page_MakeLocalInstallation3();
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 100);
    EXPECT_EQ(label->text(), "Done.");
    EXPECT_TRUE(label->font().bold());
    EXPECT_TRUE(Find(*window, "btnNext")->isEnabled());
    const QString choice = gUserChoice;
    NextWait();
    Click(*window, "btnNext");
    EXPECT_TRUE(gUserActed);
    EXPECT_EQ(gUserChoice, choice);
    const QStringList log = LogLines();
    EXPECT_EQ(log.mid(log.indexOf("[UI] page_MakeLocalInstallation2")),
              QStringList({"[UI] page_MakeLocalInstallation2", "[UI] page_MakeLocalInstallation3",
                           "[UI] btnNextClick_Final"}));
}

class UninstallPagesTest : public WindowTest {};

TEST_F(UninstallPagesTest, FirstPageOffersWhatIsInstalled)
{
    const struct {
        const char* what;
        bool release, beta;
    } installs[] = {{"nothing", false, false}, {"only beta", false, true}, {"both", true, true}};
    for (const auto& installed : installs) {
        SCOPED_TRACE(installed.what);
        auto window = Open();
        window->HidePage();
        window->page_UninstallFirstPage(installed.release, installed.beta);
        ExpectControls(*window, {
            {"lbTitle", "QLabel", {46, 31, 518, 48}, 14, "What do you want to do?", true, -1, true},
            {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, "Exit", true, -1, true},
            {"btnUninstall", "QPushButton", {234, 156, 151, 55}, 12, "Uninstall Vorlen", installed.release, -1, true},
            {"appLogo", "QLabel", {53, 20, 505, 125}, 0, {}, true, -1, false},
        });
        if (installed.beta)
            ExpectControls(*window, {{"btnUninstallBeta", "QPushButton", {234, 219, 151, 42}, 10,
                                      "Uninstall Vorlen BETA", true, -1, true}});
        else
            EXPECT_EQ(Find(*window, "btnUninstallBeta"), nullptr);
    }
}

TEST_F(UninstallPagesTest, ButtonsAnswerTheScript)
{
    const struct {
        const char* button;
        const char* choice;
    } buttons[] = {{"btnNext", "Exit"}, {"btnUninstall", "Uninstall"}, {"btnUninstallBeta", "Uninstall-Beta"}};
    for (const auto& button : buttons) {
        SCOPED_TRACE(button.button);
        auto window = Open("en_GB", true);  // the names stay fixed in a beta setup
        window->page_UninstallFirstPage(true, true);
        EXPECT_EQ(Find<QPushButton>(*window, "btnUninstall")->text(), "Uninstall Vorlen");
        NextWait();
        Click(*window, button.button);
        EXPECT_EQ(gUserChoice, button.choice);
        EXPECT_TRUE(gUserActed);
        const QString handler = QString(button.button) == "btnNext" ? "btnNextClick_UninstFirst"
                                                                     : QString(button.button) + "Click";
        EXPECT_EQ(LogLines().last(), "[UI] " + handler);
    }
}

TEST_F(UninstallPagesTest, ProgressAndDonePages)
{
    auto window = Open();
    window->page_UninstallFirstPage(true, false);
    window->HidePage();
    window->page_UninstallProgress();
    const int labelHeight = Find(*window, "lbText4")->height();
    ExpectControls(*window, {
        {"PB", "QProgressBar", {46, 260, 518, -1}, 0, {}, true, -1, true},
        {"lbText4", "QLabel", {46, 258 - labelHeight, 518, -1}, 0, "Uninstalling...", true, -1, true},
        {"appLogo", "QLabel", {16, 16, 505, 125}, 0, {}, true, -1, true},
        {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, {}, true, -1, false},
        {"btnUninstall", "QPushButton", {234, 156, 151, 55}, 0, {}, true, -1, false},
    });
    EXPECT_EQ(Find<QProgressBar>(*window, "PB")->maximum(), 0);

    window->HidePage();
    window->page_UninstallDone();
    ExpectControls(*window, {
        {"lbSad", "QLabel", {46, 0, -1, -1}, 114, ":(", true, -1, true},
        {"lbSadText", "QLabel", {46, 208, -1, -1}, 24, "Vorlen was deleted", true, -1, true},
        {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, "Exit", true, -1, true},
        {"appLogo", "QLabel", {16, 16, 505, 125}, 0, {}, true, -1, false},
        {"lbTitle", "QLabel", {46, 31, 518, 48}, 0, {}, true, -1, false},
    });
    // Auto-sized: each label holds its whole text.
    for (const char* name : {"lbSad", "lbSadText"})
        EXPECT_GE(Find(*window, name)->width(), Find(*window, name)->sizeHint().width()) << name;
    gUserChoice = "Uninstall";
    NextWait();
    Click(*window, "btnNext");
    EXPECT_TRUE(gUserActed);
    EXPECT_EQ(gUserChoice, "Uninstall");
    const QStringList log = LogLines();
    EXPECT_EQ(log.mid(log.indexOf("[UI] page_UninstallProgress")),
              QStringList({"[UI] page_UninstallProgress", "[UI] Page: \"\", \"\"", "[UI] Hide Page",
                           "[UI] page_UninstallDone", "[UI] Page: \"\", \"Exit\"", "[UI] btnNextClick_Final"}));
}
