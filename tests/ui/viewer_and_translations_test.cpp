// The licence viewer's decoding and links, Qt's own translations, and a
// translation document with lines missing.

#include "window_fixture.h"

#include "i18n/setup_translator.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "ui/licence_viewer.h"
#include "ui/qt_translations.h"

#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>

using namespace uitest;

namespace {

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

QString yesButtonText()
{
    QMessageBox box(QMessageBox::Question, "t", "x", QMessageBox::Yes | QMessageBox::No);
    return box.button(QMessageBox::Yes)->text();
}

}  // namespace

TEST(LicenceViewer, DecodesTheDeclaredEncoding)
{
    const QString russian = "Лицензионное соглашение";
    const QByteArray cp1251 = platform::encodeCodePage(russian, 1251);
    const QByteArray utf8 = russian.toUtf8();
    QByteArray utf16(QByteArray("\xFF\xFE", 2));
    utf16 += QByteArray(reinterpret_cast<const char*>(QString("<p>" + russian).utf16()), (3 + russian.size()) * 2);
    const struct {
        const char* what;
        QByteArray bytes;
    } pages[] = {
        {"undeclared windows-1251", "<html><body>" + cp1251 + "</body></html>"},
        {"declared windows-1251",
         "<meta http-equiv='Content-Type' content='text/html; charset=windows-1251'><p>" + cp1251},
        {"declared utf-8", "<meta charset=\"utf-8\"><p>" + utf8},
        {"undeclared utf-8", "<p>" + utf8},
        {"utf-8 with its mark", "\xEF\xBB\xBF<p>" + utf8},
        {"utf-16 with its mark", utf16},
    };
    for (const auto& page : pages)
        EXPECT_TRUE(TLicenceViewer::DecodeHtml(page.bytes).contains(russian)) << page.what;
    EXPECT_EQ(TLicenceViewer::DecodeHtml("<p>plain</p>"), "<p>plain</p>");
}

TEST(LicenceViewer, OnlyWebAndMailLinksOpenInTheUsersBrowser)
{
    const QString file = sandbox::freshFolder("licence") + "/EULA.html";
    const struct {
        const char* href;
        bool opened;
    } links[] = {
        {"http://www.vorlen.example/terms", true},
        {"https://www.vorlen.example/privacy", true},
        {"mailto:support@vorlen.example", true},
        {"#top", false},  // scrolls within the page
        {"more.html", false},  // resolves to a file beside the licence
        {"file:///etc/passwd", false},
        {"javascript:alert(1)", false},
    };
    QByteArray html;
    for (const auto& link : links)
        html += QByteArray("<a href='") + link.href + "'>" + link.href + "</a> ";
    QFile page(file);
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write(html);
    page.close();
    UrlRecorder recorder;
    const char* schemes[] = {"http", "https", "mailto", "file", "javascript"};
    for (const char* scheme : schemes)
        QDesktopServices::setUrlHandler(scheme, &recorder, "open");
    TLicenceViewer viewer;
    viewer.Navigate(file);
    const QString shown = viewer.toHtml();
    QList<QUrl> expected;
    for (const auto& link : links) {
        emit viewer.anchorClicked(QUrl(link.href));
        if (link.opened)
            expected << QUrl(link.href);
    }
    for (const char* scheme : schemes)
        QDesktopServices::unsetUrlHandler(scheme);
    EXPECT_EQ(recorder.opened, expected);
    EXPECT_EQ(viewer.toHtml(), shown);  // the viewer itself never navigates
    EXPECT_TRUE(viewer.source().isEmpty());
}

class QtTranslationsTest : public WindowTest {};

TEST_F(QtTranslationsTest, StandardDialogsSpeakTheRunsLanguage)
{
    ASSERT_TRUE(LoadQtTranslations("en_GB"));
    EXPECT_EQ(yesButtonText(), "&Yes");
    auto window = Open("ru_RU");
    EXPECT_EQ(yesButtonText(), "&Да");
    window->page_SelectLang();
    Click(*window, "Lang_en_GB");
    Click(*window, "btnNext");
    EXPECT_EQ(yesButtonText(), "&Yes");
    EXPECT_TRUE(LoadQtTranslations("ru_RU"));
    EXPECT_TRUE(LoadQtTranslations("ru_RU"));  // replaces, never stacks
    EXPECT_EQ(yesButtonText(), "&Да");
    EXPECT_FALSE(LoadQtTranslations("xx_XX"));
    EXPECT_EQ(yesButtonText(), "&Yes");
}

TEST_F(QtTranslationsTest, MissingLinesLeaveTextsEmpty)
{
    // The English document cut short: tables shorter than the pages expect.
    QString document = QString::fromUtf8(readFile(VRN_SOURCE_DIR "/resources/lang/en_GB.xml"));
    document.replace(QRegularExpression("<InstallStrings SetCount='\\d+'>"), "<InstallStrings SetCount='2'>");
    document.replace("<UninstallStrings SetCount='10'>", "<UninstallStrings SetCount='1'>");
    document.remove(QRegularExpression("\\s*<Item Index='([1-9]|[1-4][0-9])' Value='[^']*'/>"));
    const QString file = sandbox::freshFolder("short") + "/short.xml";
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(document.toUtf8());
    out.close();

    auto window = Open();
    CTranslator::Work(window.get(), file, false);
    window->HidePage();
    window->page_EULA();
    EXPECT_EQ(Find<QLabel>(*window, "lbText2")->text(), "");
    EXPECT_EQ(Find<QAbstractButton>(*window, "cbAcceptEULA")->text(), "");
    EXPECT_FALSE(Find(*window, "lbTitle")->isVisible());  // no title: the line is hidden
    window->HidePage();
    window->page_FirstChoose(false);
    EXPECT_EQ(Find<QAbstractButton>(*window, "rbInstall")->text(), "");
    window->HidePage();
    window->page_UninstallFirstPage(true, true);
    window->HidePage();
    window->page_UninstallDone();
    EXPECT_EQ(Find<QLabel>(*window, "lbSadText")->text(), "");
}

#include "viewer_and_translations_test.moc"
