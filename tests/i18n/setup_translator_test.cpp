// The setup's stored translation documents applied to its window, the macros,
// the language names, and the documents as resources of the program.
#include "app/setup_logging.h"
#include "i18n/setup_translator.h"
#include "i18n/xml_translator.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "translation_fixtures.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QString storedDocument(const char* language)
{
    return QStringLiteral(VRN_SOURCE_DIR "/resources/lang/%1.xml").arg(QLatin1String(language));
}

QString writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = sandbox::freshFolder(name) + QStringLiteral("/document.xml");
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
}

QStringList tableLines(const TVirtualStringList* table) { return table->Lines()->lines(); }

// Resets the edition after every test that changes it.
struct BetaMode {
    explicit BetaMode(bool beta) { CTranslator::SetBetaMode(beta); }
    ~BetaMode() { CTranslator::SetBetaMode(false); }
};

QStringList allLines(const TTestWindow& window)
{
    return tableLines(window.InstallStrings) + tableLines(window.Shortcuts) + tableLines(window.UninstallStrings);
}

}  // namespace

TEST(CTranslator, EnglishDocumentFillsTheTablesAndLeavesTheRestNumbered)
{
    EXPECT_TRUE(readFile(storedDocument("en_GB")).startsWith("\xEF\xBB\xBF<?xml "));
    TTestWindow window;
    CTranslator::Work(&window, storedDocument("en_GB"), false);

    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vorlen instalation (including flexLayers)"));
    const QStringList install = tableLines(window.InstallStrings);
    const QStringList shortcuts = tableLines(window.Shortcuts);
    const QStringList uninstall = tableLines(window.UninstallStrings);
    ASSERT_EQ(install.size(), 43);
    ASSERT_EQ(shortcuts.size(), 6);
    ASSERT_EQ(uninstall.size(), 11);
    EXPECT_EQ(install[11], QStringLiteral("Download size: %S Mb\r\nDo you want to continue?"));
    EXPECT_EQ(install[5], QStringLiteral("I &accept the terms of this agreement"));
    EXPECT_EQ(install[7], QStringLiteral("Install the Vorlen to this computer"));
    EXPECT_EQ(install[19], QString());
    EXPECT_TRUE(install[40].startsWith(QStringLiteral("Another Vorlen setup is already running.")));
    EXPECT_TRUE(install[41].contains(QStringLiteral("%1 MB are needed, %2 MB are free")));
    EXPECT_TRUE(install[42].contains(QStringLiteral("without losing \u201c%1\u201d")));
    EXPECT_TRUE(install[20].contains(QStringLiteral("don\u2019t")));
    EXPECT_TRUE(install[21].contains(QStringLiteral("Can't")));
    EXPECT_TRUE(install[37].startsWith(QStringLiteral("Vorlen installation has been cancelled.\r\n\r\n\r\nInternet")));
    EXPECT_TRUE(install[37].contains(QStringLiteral("Internet-connection,  also")));
    EXPECT_TRUE(install[37].contains(QStringLiteral("'Download the Vorlen for installation on a separate computer'")));
    EXPECT_EQ(shortcuts.mid(3), (QStringList{QStringLiteral("Command line documentation"), QStringLiteral("4"),
                                             QStringLiteral("5")}));
    EXPECT_EQ(uninstall[0], QStringLiteral("Uninstalling Vorlen (including flexLayers)"));
    EXPECT_EQ(uninstall.mid(5), (QStringList{QStringLiteral("Vorlen was deleted"), QStringLiteral("6"),
                                             QStringLiteral("7"), QStringLiteral("8"), QStringLiteral("9"),
                                             QStringLiteral("10")}));
    for (const QString& line : allLines(window))
        EXPECT_FALSE(line.contains(QLatin1Char('$')) || line.contains(QStringLiteral("\\n"))) << line.toStdString();
}

TEST(CTranslator, BetaModeNamesTheBetaEdition)
{
    const BetaMode beta(true);
    TTestWindow window;
    CTranslator::Work(&window, storedDocument("en_GB"), false);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vorlen BETA instalation (including flexLayers)"));
    EXPECT_EQ(tableLines(window.Shortcuts)[1], QStringLiteral("Uninstall Vorlen BETA"));
}

TEST(CTranslator, RussianAfterEnglishLeavesNoEnglishBehind)
{
    TTestWindow window;
    CTranslator::Work(&window, storedDocument("en_GB"), false);
    CTranslator::Work(&window, storedDocument("ru_RU"), false);

    const QStringList install = tableLines(window.InstallStrings);
    ASSERT_EQ(install.size(), 43);
    EXPECT_EQ(tableLines(window.Shortcuts).size(), 6);
    EXPECT_EQ(tableLines(window.UninstallStrings).size(), 11);
    EXPECT_EQ(install[32], QString());
    EXPECT_TRUE(install[5].startsWith(QStringLiteral("Я &")));
    EXPECT_TRUE(install[11].contains(QStringLiteral("%S")) && install[11].contains(QStringLiteral("\r\n")));
    EXPECT_EQ(install[13].count(QStringLiteral("%f")), 2);
    EXPECT_TRUE(tableLines(window.UninstallStrings)[3].contains(QStringLiteral("%S")));

    static const QRegularExpression latinWord(QStringLiteral("[A-Za-z]+"));
    static const QStringList allowed{QStringLiteral("Vorlen"), QStringLiteral("flexLayers"),
                                     QStringLiteral("DirectX"), QStringLiteral("S"), QStringLiteral("f")};
    const QStringList texts = allLines(window) << window.windowTitle();
    for (const QString& line : texts) {
        for (const auto& match : latinWord.globalMatch(line))
            EXPECT_TRUE(allowed.contains(match.captured())) << line.toStdString();
    }
}

TEST(CTranslator, MacrosAreExactAndCaseSensitive)
{
    QString text = QStringLiteral("$AppName$ and $AppName$ with $BuildWith$, not $appname$");
    CTranslator::DoAnalyseString(text);
    EXPECT_EQ(text, QStringLiteral("Vorlen and Vorlen with flexLayers, not $appname$"));

    const BetaMode beta(true);
    QString betaText = QStringLiteral("Run $AppName$");
    CTranslator::DoAnalyseString(betaText);
    EXPECT_EQ(betaText, QStringLiteral("Run Vorlen BETA"));
}

TEST(CTranslator, WorkLogsAndPostsItsEventAfterwards)
{
    const QString log = sandbox::freshFolder(QStringLiteral("translator-log")) + QStringLiteral("/setup.log");
    Logger().Start(log);
    TTestWindow window;
    CTranslator::Work(&window, storedDocument("en_GB"), false);
    EXPECT_TRUE(window.receivedEvents.isEmpty()) << "the event is posted, not sent";
    QCoreApplication::sendPostedEvents(&window);
    EXPECT_EQ(window.receivedEvents, QList<int>{CTranslator::TranslatedEventType});
    EXPECT_TRUE(QString::fromUtf8(readFile(log))
                    .contains(QStringLiteral("INFO  -> [CTranslator] Work: MainWindow, ") + storedDocument("en_GB") +
                              QStringLiteral(", False\r\n")));
}

TEST(CTranslator, FailuresRiseAndNothingIsPosted)
{
    TTestWindow window;
    window.setWindowTitle(QStringLiteral("before"));
    const QString broken = writeFile(QStringLiteral("broken-document"), "\xEF\xBB\xBF<Translation><MainWindow>");
    EXPECT_THROW(CTranslator::Work(&window, broken, false), EXmlParseError);
    EXPECT_THROW(CTranslator::Work(&window, QStringLiteral("Lang_xx_XX"), true), EResNotFound);
    QCoreApplication::sendPostedEvents(&window);
    EXPECT_TRUE(window.receivedEvents.isEmpty());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("before"));
}

TEST(CTranslator, ReadsTheDocumentFromTheProgramsResources)
{
    TTestWindow window;
    CTranslator::Work(&window, QStringLiteral("Lang_en_GB"), true);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vorlen instalation (including flexLayers)"));
    CTranslator::Work(&window, QStringLiteral("lang_RU_ru"), true);
    EXPECT_EQ(tableLines(window.Shortcuts).size(), 6);
    EXPECT_EQ(tableLines(window.Shortcuts)[0], QStringLiteral("Запустить Vorlen"));
}

TEST(CTranslator, LanguageNames)
{
    EXPECT_EQ(CTranslator::GetLangDisplayNameFormID(2057), QStringLiteral("English"));
    EXPECT_EQ(CTranslator::GetLangDisplayNameFormID(1049), QStringLiteral("Русский"));
    EXPECT_EQ(CTranslator::GetLangNameFormID(2057), QStringLiteral("en_GB"));
    EXPECT_EQ(CTranslator::GetLangNameFormID(1049), QStringLiteral("ru_RU"));
    EXPECT_EQ(CTranslator::GetLangDisplayNameFormID(0x7fff), QString());
}
