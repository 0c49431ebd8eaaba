// Every page in both languages and both editions: saved as a picture for review
// under build/screenshots/, checked for clipped texts and accessible names, and
// walked with the keyboard.

#include "window_fixture.h"

#include "app/setup_logging.h"
#include "net/setup_source.h"
#include "support/recording_dialogs.h"
#include "support/sandbox.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QTest>

#include <functional>

using namespace uitest;

namespace {

QList<QWidget*> visibleControls(const TMainWindow& window)
{
    QList<QWidget*> controls;
    for (QWidget* child : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!child->isVisible())
            continue;
        controls << child;
        if (child->objectName() == "lbBox")
            for (QWidget* option : child->findChildren<QAbstractButton*>(QString(), Qt::FindDirectChildrenOnly))
                controls << option;
    }
    return controls;
}

// Every text shows whole, inside the window, and every control has a name for a screen reader.
void expectReadable(const TMainWindow& window)
{
    for (QWidget* control : visibleControls(window)) {
        const std::string name = control->objectName().toStdString();
        const QRect inWindow = QRect(control->mapTo(&window, QPoint(0, 0)), control->size());
        EXPECT_TRUE(window.rect().contains(inWindow)) << name;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(accessible, nullptr) << name;
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << name;
        if (auto* label = qobject_cast<QLabel*>(control); label && !label->text().isEmpty()) {
            if (label->wordWrap())
                EXPECT_LE(label->heightForWidth(label->width()), label->height()) << name;
            else
                EXPECT_LE(label->sizeHint().width(), label->width()) << name;
        }
        if (auto* button = qobject_cast<QAbstractButton*>(control))
            EXPECT_LE(button->sizeHint().width(), button->width()) << name;
    }
}

}  // namespace

class ScreenshotsTest : public WindowTest {};

TEST_F(ScreenshotsTest, EveryPageInBothLanguagesAndEditions)
{
    for (const QString alias : {"en_GB", "ru_RU"}) {
        for (const bool beta : {false, true}) {
            const QString suffix = alias.left(2) + (beta ? "_beta" : "");
            SCOPED_TRACE(suffix.toStdString());
            // The log where a run keeps it, so that the failure page shows a real path.
            Logger().Start(sandbox::tmp() + "/Vorlen_Setup_Install.log");
            auto window = Open(alias, beta);
            TSource source(QStringList{});
            source.RequestResource(alias == "ru_RU" ? "EULA_ru_RU" : "EULA_en_GB");
            window->Source = &source;
            window->SHosting = "Content host: www.vorlen.example";
            TWorkBeginProc begin;
            TWorkProc work;
            TWorkEndProc end;
            const std::vector<std::pair<QString, std::function<void()>>> pages = {
                {"prepare", [] {}},
                {"no_internet", [&] { window->page_NoInternet(); }},
                {"select_lang", [&] { window->page_SelectLang(); }},
                {"eula", [&] {
                     window->page_EULA();
                     Click(*window, "cbAcceptEULA");
                 }},
                {"first_choose", [&] {
                     window->page_FirstChoose(false);
                     window->ControlNetworkImage(true);
                 }},
                {"first_choose_download", [&] {
                     window->page_FirstChoose(false);
                     Click(*window, "rbDownload");
                 }},
                {"local_progress", [&] {
                     window->page_MakeLocalInstallation2(begin, work, end);
                     begin(qint64(8.1 * 1048576));
                     work(qint64(8.1 * 1048576) / 2);
                 }},
                {"local_done", [&] { window->page_MakeLocalInstallation3(); }},
                {"install_progress", [&] {
                     window->page_Install(begin, work, end);
                     begin(qint64(3) << 30);
                     work(qint64(3) << 29);
                 }},
                {"final_success", [&] { window->page_final(true); }},
                {"final_failure", [&] { window->page_final(false); }},
                {"uninstall_first", [&] { window->page_UninstallFirstPage(true, true); }},
                {"uninstall_progress", [&] { window->page_UninstallProgress(); }},
                {"uninstall_done", [&] { window->page_UninstallDone(); }},
            };
            int number = 0;
            for (const auto& [page, show] : pages) {
                SCOPED_TRACE(page.toStdString());
                if (page != "prepare" && !page.startsWith("local_"))
                    window->HidePage();
                show();
                expectReadable(*window);
                SaveScreenshot(*window, QString("%1_%2_%3").arg(++number, 2, 10, QChar('0')).arg(page, suffix));
            }
            window->Source = nullptr;
        }
    }
}

TEST_F(ScreenshotsTest, TabWalksTheFirstChoicePageAndSpaceToggles)
{
    auto window = Open();
    QApplication::setActiveWindow(window.get());
    window->page_FirstChoose(false);
    QStringList walked;
    for (int step = 0; step < 7; ++step) {
        walked << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(walked, QStringList({"rbInstall", "cbDesktopLink", "cbTaskbarPin", "cbRunAfterInstall",
                                   "btnNext", "rbInstall", "cbDesktopLink"}));
    auto* box = Find<QCheckBox>(*window, "cbDesktopLink");
    QTest::keyClick(box, Qt::Key_Space);
    EXPECT_TRUE(box->isChecked());
    Find(*window, "rbInstall")->setFocus();
    QTest::keyClick(Find(*window, "rbInstall"), Qt::Key_Down);  // arrows move within the choice
    QTest::qWait(200);
    EXPECT_TRUE(Find<QAbstractButton>(*window, "rbDownload")->isChecked());
    EXPECT_FALSE(box->isEnabled());
}
