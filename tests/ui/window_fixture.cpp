#include "window_fixture.h"

#include "app/setup_logging.h"
#include "i18n/setup_translator.h"
#include "support/process_runner.h"
#include "support/recording_dialogs.h"
#include "support/sandbox.h"
#include "platform/platform.h"
#include "ui/qt_translations.h"

#include <QAbstractButton>
#include <QDir>
#include <QLocale>
#include <QRegularExpression>
#include <QTest>
#include <QWidget>

namespace uitest {

QWidget* Find(const TMainWindow& window, const QString& name)
{
    return window.findChild<QWidget*>(name);
}

void ExpectControls(const TMainWindow& window, const std::vector<Control>& table)
{
    for (const Control& expected : table) {
        SCOPED_TRACE(expected.name);
        const QWidget* control = Find(window, QString::fromLatin1(expected.name));
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->inherits(expected.className)) << control->metaObject()->className();
        const QRect actual = control->geometry();
        EXPECT_EQ(actual.topLeft(), expected.geometry.topLeft());
        if (expected.geometry.width() >= 0)
            EXPECT_EQ(actual.width(), expected.geometry.width());
        if (expected.geometry.height() >= 0)
            EXPECT_EQ(actual.height(), expected.geometry.height());
        if (expected.points > 0)
            EXPECT_EQ(control->font().pointSize(), expected.points);
        if (expected.text)
            EXPECT_EQ(control->property("text").toString(), *expected.text);
        EXPECT_EQ(control->isEnabled(), expected.enabled);
        if (expected.checked >= 0)
            EXPECT_EQ(control->property("checked").toBool(), expected.checked == 1);
        EXPECT_EQ(control->isVisible(), expected.visible);
    }
}

QStringList LogLines(const QStringList& prefixes)
{
    static const QRegularExpression record(QStringLiteral("\\] \\[\\d+\\] INFO  -> ([^\r\n]*)"));
    QStringList found;
    const QString text = QString::fromUtf8(readFile(Logger().GetFileName()));
    for (const auto& match : record.globalMatch(text)) {
        const QString line = match.captured(1);
        for (const QString& prefix : prefixes) {
            if (line.startsWith(prefix)) {
                found << line;
                break;
            }
        }
    }
    return found;
}

void SaveScreenshot(QWidget& window, const QString& name)
{
    QDir().mkpath(QStringLiteral(VRN_SCREENSHOT_DIR));
    const QString path = QStringLiteral(VRN_SCREENSHOT_DIR "/") + name + QStringLiteral(".png");
    EXPECT_TRUE(window.grab().save(path, "PNG")) << path.toStdString();
}

void Click(const TMainWindow& window, const QString& name)
{
    QWidget* control = Find(window, name);
    ASSERT_NE(control, nullptr) << name.toStdString();
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(8, control->height() / 2));
}

void NextWait()
{
    gUserActed = false;
}

void WindowTest::SetUp()
{
    logFolder = sandbox::freshFolder(QString::fromLatin1(
        ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    Logger().Start(logFolder + QStringLiteral("/ui.log"));
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));  // the work folder of a TSource
    testDialogs().reset();
    gUserActed = false;
    gCancelled = false;
    gUserChoice.clear();
    QLocale::setDefault(QLocale(QStringLiteral("en_GB")));
}

void WindowTest::TearDown()
{
    CTranslator::SetBetaMode(false);
    LoadQtTranslations(QStringLiteral("en_GB"));
    testDialogs().reset();
}

std::unique_ptr<TMainWindow> WindowTest::Open(const QString& alias, bool beta)
{
    CTranslator::SetBetaMode(beta);
    auto window = std::make_unique<TMainWindow>(alias);
    window->show();
    return window;
}

}  // namespace uitest
