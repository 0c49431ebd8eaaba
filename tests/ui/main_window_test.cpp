// The window frame: creation, page switching, the status line, the images, the
// keyboard, and closing the window during a wait.

#include "window_fixture.h"

#include "app/setup_core.h"
#include "i18n/setup_translator.h"
#include "platform/platform.h"
#include "ui/window_fonts.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace uitest;

namespace {

const QString none;

// Pixels clearly darker than the white background inside `area`.
int inkIn(QWidget& window, const QRect& area)
{
    const QImage picture = window.grab().toImage();
    int ink = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ink += qGray(picture.pixel(x, y)) < 160;
    return ink;
}

}  // namespace

class MainWindowTest : public WindowTest {};

TEST_F(MainWindowTest, CreationShowsThePreparationPageTranslated)
{
    auto window = Open();
    EXPECT_EQ(window->objectName(), "MainWindow");
    EXPECT_EQ(window->windowTitle(), "Vorlen instalation (including flexLayers)");
    EXPECT_EQ(window->size(), QSize(610, 472));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // not resizable
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(window->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(window->font().pointSize(), 8);
    ExpectControls(*window, {
        {"appLogo", "QLabel", {53, 20, 505, 125}, 0, {}, true, -1, true},
        {"lbPrepareText", "QLabel", {0, 220, 610, 50}, 12, window->InstallString(0), true, -1, true},
        {"NetWork", "QLabel", {588, 2, 20, 20}, 0, {}, true, -1, false},
        {"btnNext", "QPushButton", {507, 432, 94, 29}, 8, "Action", true, -1, false},
        {"lbTitle", "QLabel", {46, 31, 518, 48}, 14, "Title", true, -1, false},
    });
    EXPECT_EQ(window->InstallString(0), "Please wait while setup prepares the necessary files.");
    EXPECT_EQ(LogLines({"[UI] ", "[CTranslator] "}),
              QStringList({"[UI] OnCreateWindow", "[CTranslator] Work: MainWindow, Lang_en_GB, True",
                           "[UI] page_Prepare", "[UI] Page: \"\", \"\"", "[UI] OnCreateWindow - Done"}));
}

TEST_F(MainWindowTest, ShowPagePlacesLogoButtonAndTitle)
{
    auto window = Open();
    auto* button = Find<QPushButton>(*window, "btnNext");
    button->setEnabled(false);
    const struct {
        quint8 logoMode;
        QString caption, title;
        QPoint logoAt;
        bool logo, buttonShown, titleShown;
    } steps[] = {
        {2, "Go", "First", {16, 16}, true, true, true},
        {7, "", "Second", {16, 16}, true, false, true},  // an unknown mode leaves the logo
        {1, "Again", "", {53, 20}, true, true, false},
        {0, "", "", {53, 20}, false, false, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.title.toStdString());
        window->ShowPage(step.logoMode, step.caption, step.title);
        const QWidget* logo = Find(*window, "appLogo");
        EXPECT_EQ(logo->pos(), step.logoAt);
        EXPECT_EQ(logo->isVisible(), step.logo);
        EXPECT_EQ(button->isVisible(), step.buttonShown);
        EXPECT_EQ(Find(*window, "lbTitle")->isVisible(), step.titleShown);
        if (step.buttonShown)
            EXPECT_EQ(button->text(), step.caption);
        if (step.titleShown)
            EXPECT_EQ(Find<QLabel>(*window, "lbTitle")->text(), step.title);
        EXPECT_EQ(LogLines().last(), QString("[UI] Page: \"%1\", \"%2\"").arg(step.title, step.caption));
    }
    EXPECT_FALSE(button->isEnabled());  // the page, not ShowPage, decides
}

TEST_F(MainWindowTest, HidePageHidesEverythingTheNetworkImageToo)
{
    auto window = Open();
    window->page_SelectLang();
    window->ControlNetworkImage(true);
    auto* network = Find<QLabel>(*window, "NetWork");
    ASSERT_TRUE(network->isVisible());
    EXPECT_EQ(network->movie()->state(), QMovie::Running);

    window->HidePage();
    for (QWidget* child : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        EXPECT_FALSE(child->isVisible()) << child->objectName().toStdString();
    EXPECT_EQ(network->movie()->state(), QMovie::NotRunning);  // a hidden image wakes nobody
    EXPECT_EQ(LogLines().last(), "[UI] Hide Page");

    window->page_Prepare();
    EXPECT_FALSE(network->isVisible());
    window->ControlNetworkImage(true);
    EXPECT_TRUE(network->isVisible());
    window->ControlNetworkImage(false);
    EXPECT_FALSE(network->isVisible());
}

TEST_F(MainWindowTest, StatusLinePaintsTheStreamOnlyInBeta)
{
    const QRect streamText(305, 2, 90, 12), hostText(405, 2, 190, 12);
    for (const bool beta : {false, true}) {
        SCOPED_TRACE(beta);
        auto window = Open("en_GB", beta);
        EXPECT_EQ(inkIn(*window, hostText), 0);
        EXPECT_EQ(inkIn(*window, streamText) > 0, beta);
        window->SHosting = "Content host: www.vorlen.example";
        window->HidePage();  // repaints
        EXPECT_GT(inkIn(*window, hostText), 0);
        EXPECT_EQ(inkIn(*window, streamText) > 0, beta);
        window->ControlNetworkImage(true);
        window->SHosting = "Content host: a-much-longer-host-name.vorlen.example";
        window->repaint();
        EXPECT_EQ(inkIn(*window, QRect(585, 2, 2, 14)), 0);  // never under the network image
        EXPECT_EQ(window->windowTitle(),
                  beta ? "Vorlen BETA instalation (including flexLayers)" : "Vorlen instalation (including flexLayers)");
    }
}

TEST_F(MainWindowTest, ImagesAreTheProgramsResources)
{
    QPixmap logo;
    ASSERT_TRUE(logo.loadFromData(platform::readResource(platform::executablePath(),
                                                         platform::ResourceId::named("LOGO"))));
    EXPECT_EQ(logo.size(), QSize(505, 125));
    EXPECT_TRUE(logo.hasAlphaChannel());

    std::unique_ptr<QMovie> network(LoadGIFResource("NETWORK"));
    ASSERT_TRUE(network->isValid());
    EXPECT_EQ(network->frameCount(), 20);
    EXPECT_EQ(network->loopCount(), -1);  // for ever
    for (int frame = 0; frame < 20; ++frame) {
        ASSERT_TRUE(network->jumpToFrame(frame));
        EXPECT_EQ(network->currentPixmap().size(), QSize(20, 20));
    }
    // the delays as the file states them: a movie shortens its own by the time it took to decode
    QByteArray gif = platform::readResource(platform::executablePath(), platform::ResourceId::named("NETWORK"));
    QBuffer buffer(&gif);
    QImageReader reader(&buffer, "gif");
    for (int frame = 0; frame < 20; ++frame) {
        ASSERT_FALSE(reader.read().isNull()) << frame;
        EXPECT_EQ(reader.nextImageDelay(), 100) << frame;
    }
}

TEST_F(MainWindowTest, EnterPressesTheEnabledActionButtonOnce)
{
    auto window = Open();
    window->page_final(true);
    auto* button = Find<QPushButton>(*window, "btnNext");
    button->setEnabled(false);
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_FALSE(gUserActed);
    button->setEnabled(true);
    QTest::keyClick(window.get(), Qt::Key_Enter);
    QTest::keyClick(window.get(), Qt::Key_Return);  // the answer is not taken yet: dropped
    EXPECT_TRUE(gUserActed);
    EXPECT_EQ(LogLines().filter("btnNextClick_Final").size(), 1);
}

TEST_F(MainWindowTest, ClosingTheWindowDuringAWaitCancelsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child process: the terminating state, once reached, lasts for the process.
    EXPECT_EXIT(
        {
            TMainWindow* window = CreateMainWindow("en_GB");
            window->show();
            window->HidePage();
            window->page_UninstallFirstPage(true, false);
            QTimer::singleShot(0, window, &QWidget::close);
            CSetupCore::WaitForUserAction();
            const bool cancelled = gCancelled && gUserChoice.isEmpty() && MainWindow == window;
            gCancelled = false;
            CSetupCore::WaitForUserAction();  // a later wait returns at once
            std::exit(cancelled && gCancelled ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(WindowFonts, MissingFamiliesFallBackToTheSystemsSansSerif)
{
    const QString sans = InstalledFamilyOr("No Such Family Anywhere");
    EXPECT_TRUE(QFontDatabase::hasFamily(sans)) << sans.toStdString();
    EXPECT_EQ(InstalledFamilyOr(sans), sans);  // an installed family stays
    for (const QFont& font : {WindowFont(), PageFont(114)})
        EXPECT_TRUE(QFontDatabase::hasFamily(font.family())) << font.family().toStdString();
    EXPECT_EQ(WindowFont().pointSize(), 8);
    EXPECT_EQ(PageFont(114).pointSize(), 114);
    EXPECT_EQ(PageFont(12).styleStrategy() & QFont::PreferAntialias, QFont::PreferAntialias);
}
