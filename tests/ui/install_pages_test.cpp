// The install pages: their controls, their handlers' answers and log lines.

#include "window_fixture.h"

#include "app/application_extended.h"
#include "app/setup_logging.h"
#include "net/setup_config.h"
#include "net/setup_source.h"
#include "support/process_runner.h"
#include "support/recording_dialogs.h"
#include "support/sandbox.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextBrowser>

using namespace uitest;

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

}  // namespace

class InstallPagesTest : public WindowTest {};

TEST_F(InstallPagesTest, PreparationPageReusesItsText)
{
    auto window = Open();
    window->HidePage();
    window->page_Prepare();
    EXPECT_EQ(window->findChildren<QLabel*>("lbPrepareText").size(), 1);
    EXPECT_TRUE(Find(*window, "lbPrepareText")->isVisible());
}

TEST_F(InstallPagesTest, LanguagePageChecksTheSystemLanguageBeforeAnyInput)
{
    for (const QString alias : {"ru_RU", "en_GB"}) {
        SCOPED_TRACE(alias.toStdString());
        auto window = Open(alias);
        window->HidePage();
        window->page_SelectLang();
        const int h = Find(*window, "Lang_en_GB")->height();
        const bool russian = alias == "ru_RU";
        ExpectControls(*window, {
            {"lbBox", "QListWidget", {46, 94, 518, 294}, 0, {}, true, -1, true},
            {"Lang_en_GB", "QRadioButton", {16, 4, -1, -1}, 0, "English", true, !russian, true},
            {"Lang_ru_RU", "QRadioButton", {16, h + 8, -1, -1}, 0, "Русский", true, russian, true},
            {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, window->InstallString(1), true, -1, true},
            {"lbTitle", "QLabel", {46, 31, 518, 48}, 14, window->InstallString(2), true, -1, true},
            {"appLogo", "QLabel", {53, 20, 505, 125}, 0, {}, true, -1, false},
        });
        EXPECT_EQ(Find(*window, "Lang_ru_RU")->parentWidget(), Find(*window, "lbBox"));
        EXPECT_EQ(Find(*window, "Lang_ru_RU")->property("Tag").toInt(), 1049);
        const QStringList log = LogLines();
        EXPECT_EQ(log.mid(log.lastIndexOf("[UI] page_SelectLang")),
                  QStringList({"[UI] page_SelectLang",
                               QString("[UI] Page: \"%1\", \"%2\"").arg(window->InstallString(2), window->InstallString(1)),
                               "[UI] createLangOptions", "[UI] btnLangChange"}));
    }
}

TEST_F(InstallPagesTest, LanguageButtonStoresTheIdAndShowsThePreparationPage)
{
    auto window = Open("ru_RU");
    window->HidePage();
    window->page_SelectLang();
    Click(*window, "Lang_en_GB");
    Click(*window, "btnNext");
    EXPECT_EQ(gUserChoice, "en_GB");
    EXPECT_TRUE(gUserActed);
    EXPECT_TRUE(Find(*window, "lbPrepareText")->isVisible());
    EXPECT_FALSE(Find(*window, "lbBox")->isVisible());
    const QStringList log = LogLines();
    EXPECT_EQ(log.mid(log.indexOf("[UI] btnNextClick_Langs")).mid(0, 4),
              QStringList({"[UI] btnNextClick_Langs", "[UI] Hide Page", "[UI] page_Prepare", "[UI] Page: \"\", \"\""}));
}

TEST_F(InstallPagesTest, LicencePageButtonFollowsTheCheckBox)
{
    auto window = Open("ru_RU");
    TSource source(QStringList{});
    source.RequestResource("EULA_ru_RU");
    window->Source = &source;
    window->HidePage();
    window->page_EULA();
    ExpectControls(*window, {
        {"lbText2", "QLabel", {46, 88, 518, 42}, 0, window->InstallString(4), true, -1, true},
        {"wbEULA", "QTextBrowser", {46, 138, 518, 274}, 0, {}, true, -1, true},
        {"cbAcceptEULA", "QCheckBox", {46, 420, 400, -1}, 0, window->InstallString(5), true, 0, true},
        {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, window->InstallString(1), false, -1, true},
        {"lbTitle", "QLabel", {46, 31, 518, 48}, 0, window->InstallString(3), true, -1, true},
    });
    // The Windows-1251 page reads as Cyrillic, not as mojibake.
    EXPECT_TRUE(Find<QTextBrowser>(*window, "wbEULA")->toPlainText().contains("Лицензионное соглашение Vorlen"));
    EXPECT_TRUE(LogLines({"[TSource] Use: "}).contains("[TSource] Use: EULA_ru_RU"));

    auto* accept = Find<QCheckBox>(*window, "cbAcceptEULA");
    auto* button = Find<QPushButton>(*window, "btnNext");
    for (const bool checked : {true, false, true}) {
        QTest::keyClick(accept, Qt::Key_Space);
        EXPECT_EQ(accept->isChecked(), checked);
        EXPECT_EQ(button->isEnabled(), checked);
    }
    EXPECT_EQ(LogLines().filter("cbAcceptEULAChange").size(), 3);
    Click(*window, "btnNext");
    EXPECT_TRUE(gUserActed);
    EXPECT_FALSE(button->isVisible());
    EXPECT_EQ(LogLines().mid(LogLines().indexOf("[UI] btnNextClick_EULA")).mid(0, 2),
              QStringList({"[UI] btnNextClick_EULA", "[UI] Hide Page"}));
}

TEST_F(InstallPagesTest, MissingLicenceShowsAnEmptyViewerAndCanStillBeAccepted)
{
    auto window = Open();
    TSource source(QStringList{});
    source.topRequest = "EULA_en_GB";  // never extracted
    window->Source = &source;
    window->page_EULA();
    EXPECT_TRUE(Find<QTextBrowser>(*window, "wbEULA")->toPlainText().isEmpty());
    QTest::keyClick(window.get(), Qt::Key_Return);  // disabled: nothing
    EXPECT_FALSE(gUserActed);
    Click(*window, "cbAcceptEULA");
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_TRUE(gUserActed);
}

TEST_F(InstallPagesTest, FirstChoicePageAndItsDefaults)
{
    auto window = Open();
    window->HidePage();
    window->page_FirstChoose(false);
    const QString desktop = SpecialFolderPath(16);
    ExpectControls(*window, {
        {"lbTitle", "QLabel", {46, 31, 518, 48}, 0, "Choose the installation you want", true, -1, true},
        {"rbInstall", "QRadioButton", {46, 96, 518, -1}, 0, "Install the Vorlen to this computer", true, 1, true},
        {"lb_installOptions", "QLabel", {76, 120, -1, -1}, 0, "Install options:", true, -1, true},
        {"cbDesktopLink", "QCheckBox", {76, 138, 300, -1}, 0, "Create desktop icon", true, 0, true},
        {"cbTaskbarPin", "QCheckBox", {76, 168, 300, -1}, 0, "Pin to taskbar", true, 0, true},
        {"cbRunAfterInstall", "QCheckBox", {76, 198, 300, -1}, 0, "Run Vorlen after installation", true, 1, true},
        {"rbDownload", "QRadioButton", {46, 240, 518, -1}, 0,
         "Download the Vorlen for installation on a separate computer", true, 0, true},
        {"lb_donwloadPath", "QLabel", {76, 264, -1, -1}, 0, "Donwload path:", true, -1, true},
        {"eLocalPath", "QLineEdit", {76, 282, 400, -1}, 0, desktop, false, -1, true},
        {"btnBrowsePath", "QPushButton", {482, 280, -1, -1}, 0, "Browse...", false, -1, true},
        {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, "Next", true, -1, true},
    });
    EXPECT_TRUE(desktop.endsWith('/'));
    EXPECT_TRUE(Find<QLineEdit>(*window, "eLocalPath")->isReadOnly());
    EXPECT_EQ(LogLines().filter("rbInstallOrDownloadClick").size(), 0);  // checked before it was wired

    TInstallationOptions options;
    options.RunAfterInstall = false;
    window->ReadInstallOptions(options);
    EXPECT_FALSE(options.CreateDesktopIcon);
    EXPECT_FALSE(options.PinInTaskBar);
    EXPECT_TRUE(options.RunAfterInstall);
    Click(*window, "cbTaskbarPin");
    window->HidePage();  // the page may be hidden when the options are read
    window->ReadInstallOptions(options);
    EXPECT_TRUE(options.PinInTaskBar);
    EXPECT_EQ(LogLines().last(), "[UI] ReadInstallOptions");
}

TEST_F(InstallPagesTest, DownloadChoiceAndTheFolderPicker)
{
    auto window = Open();
    window->page_SelectLang();  // its radio buttons stay below the window, hidden
    window->HidePage();
    window->page_FirstChoose(false);
    Click(*window, "rbDownload");
    EXPECT_FALSE(Find<QRadioButton>(*window, "rbInstall")->isChecked());
    EXPECT_TRUE(Find<QRadioButton>(*window, "Lang_en_GB")->isChecked());
    for (const char* name : {"cbDesktopLink", "cbTaskbarPin", "cbRunAfterInstall"})
        EXPECT_FALSE(Find(*window, name)->isEnabled()) << name;
    EXPECT_TRUE(Find(*window, "eLocalPath")->isEnabled());
    EXPECT_TRUE(Find(*window, "btnBrowsePath")->isEnabled());

    const QString existing = sandbox::freshFolder("target") + "/";
    const QString readOnly = sandbox::freshFolder("read-only") + "/";
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner);
    const QString missing = sandbox::root() + "/no-such-folder/";
    const struct {
        std::optional<QString> picked;
        QString path;
        bool buttonEnabled;
    } browses[] = {
        {missing, missing, false},
        {std::nullopt, missing, false},  // cancelled: the missing folder stays
        {readOnly, readOnly, true},      // the package job reports what it cannot write
        {existing, existing, true},
        {std::nullopt, existing, true},
    };
    for (const auto& browse : browses) {
        SCOPED_TRACE(browse.path.toStdString());
        testDialogs().folders.push_back(browse.picked);
        Click(*window, "btnBrowsePath");
        EXPECT_EQ(Find<QLineEdit>(*window, "eLocalPath")->text(), browse.path);
        EXPECT_EQ(Find(*window, "btnNext")->isEnabled(), browse.buttonEnabled);
        EXPECT_EQ(LogLines().last(), "[UI] LocalPath: " + browse.picked.value_or(QString()));
    }
    testDialogs().folders.push_back(missing);
    Click(*window, "btnBrowsePath");
    Click(*window, "rbInstall");  // back to install: still disabled
    EXPECT_FALSE(Find(*window, "btnNext")->isEnabled());
    EXPECT_TRUE(Find(*window, "cbDesktopLink")->isEnabled());
    EXPECT_FALSE(Find(*window, "btnBrowsePath")->isEnabled());

    testDialogs().folders.push_back(existing);
    Click(*window, "rbDownload");
    Click(*window, "btnBrowsePath");
    Click(*window, "btnNext");
    EXPECT_EQ(gUserChoice, "MakeInstallNow");
    EXPECT_TRUE(testDialogs().boxes.isEmpty());
    EXPECT_EQ(LogLines().mid(LogLines().size() - 2),
              QStringList({"[UI] btnNextClick_main", "[UI] btnNextClick_MakeLocal"}));
}

TEST_F(InstallPagesTest, LocalModeInstallsWithoutAsking)
{
    auto window = Open();
    TSource source(QStringList{});
    source.RealSource = stLocal;
    window->Source = &source;
    window->page_FirstChoose(true);
    EXPECT_FALSE(Find(*window, "rbDownload")->isEnabled());
    Click(*window, "btnNext");
    EXPECT_EQ(gUserChoice, "CustomizedInstall");
    EXPECT_TRUE(gUserActed);
    EXPECT_TRUE(testDialogs().boxes.isEmpty());
}

TEST_F(InstallPagesTest, InstallFromTheServerAsksWithTheDownloadSize)
{
    auto window = Open();
    TSource source(QStringList{});
    source.RealSource = stWebServer;
    window->Source = &source;
    window->page_FirstChoose(false);

    // No descriptor: the error, and the run ends.
    Click(*window, "btnNext");
    ASSERT_EQ(testDialogs().boxes.size(), 1);
    EXPECT_EQ(testDialogs().boxes[0].caption, "Vorlen instalation");
    EXPECT_EQ(testDialogs().boxes[0].text, window->InstallString(36) + "\r\n" + ProductSiteUrl());
    EXPECT_EQ(testDialogs().boxes[0].flags, 0x10u);
    EXPECT_EQ(gUserChoice, "Terminate");

    const struct {
        QByteArray descriptor;
        QString size;
    } descriptors[] = {
        {"<system><version>15</version></system>", "8.1"},
        {"<system><size bytes='1'>123.4</size></system>", "123.4"},
    };
    for (const auto& case_ : descriptors) {
        SCOPED_TRACE(case_.size.toStdString());
        writeFile(source.baseTemp + "system.xml", case_.descriptor);
        testDialogs().reset();
        NextWait();
        gUserChoice.clear();
        testDialogs().answers = {platform::IDNO};
        Click(*window, "btnNext");  // declined: the page stays
        EXPECT_FALSE(gUserActed);
        EXPECT_TRUE(gUserChoice.isEmpty());
        testDialogs().answers = {platform::IDYES};
        Click(*window, "btnNext");
        Click(*window, "btnNext");  // the answer is not taken yet: no second question
        ASSERT_EQ(testDialogs().boxes.size(), 2);
        EXPECT_EQ(testDialogs().boxes[1].caption, "Vorlen instalation - Confirm downloading");
        EXPECT_EQ(testDialogs().boxes[1].text, "Download size: " + case_.size + " Mb\r\nDo you want to continue?");
        EXPECT_EQ(testDialogs().boxes[1].flags, 0x24u);
        EXPECT_EQ(gUserChoice, "CustomizedInstall");
        EXPECT_TRUE(gUserActed);
    }
    EXPECT_EQ(LogLines({"[TSource] Use: "}).filter("system.xml").size(), 1 + 2 * 2 * 2);
}

TEST_F(InstallPagesTest, ProgressPageShowsMegabytesAndAScaledBar)
{
    const qint64 small = qint64(8.1 * 1048576);
    const qint64 huge = qint64(3) << 30;
    const struct {
        const char* locale;
        qint64 total, done;
        QString begin, during;
    } transfers[] = {
        {"en_GB", small, small / 2, "Downloaded: 0.00 Mb from 8.10 Mb", "Downloaded: 4.05 Mb from 8.10 Mb"},
        {"ru_RU", small, small / 2, "Downloaded: 0,00 Mb from 8,10 Mb", "Downloaded: 4,05 Mb from 8,10 Mb"},
        {"en_GB", huge, huge / 2, "Downloaded: 0.00 Mb from 3072.00 Mb", "Downloaded: 1536.00 Mb from 3072.00 Mb"},
        {"en_GB", (qint64(5) << 30) + 3, qint64(5) << 30, "Downloaded: 0.00 Mb from 5120.00 Mb",
         "Downloaded: 5120.00 Mb from 5120.00 Mb"},
    };
    for (const auto& transfer : transfers) {
        SCOPED_TRACE(transfer.during.toStdString());
        QLocale::setDefault(QLocale(transfer.locale));
        auto window = Open();
        window->HidePage();
        TWorkBeginProc onWorkBegin;
        TWorkProc onWork;
        TWorkEndProc onWorkEnd;
        window->page_Install(onWorkBegin, onWork, onWorkEnd);
        auto* bar = Find<QProgressBar>(*window, "PB");
        auto* label = Find<QLabel>(*window, "lbText4");
        ExpectControls(*window, {
            {"PB", "QProgressBar", {46, 260, 518, -1}, 0, {}, true, -1, true},
            {"lbText4", "QLabel", {46, 258 - label->height(), 518, -1}, 0, "Prepare for download...", true, -1, true},
            {"appLogo", "QLabel", {16, 16, 505, 125}, 0, {}, true, -1, true},
            {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, {}, true, -1, false},
        });
        EXPECT_EQ(bar->maximum(), 0);  // moving until the size is known
        onWorkBegin(transfer.total);
        EXPECT_EQ(label->text(), transfer.begin);
        EXPECT_EQ(bar->value(), 0);
        EXPECT_GT(bar->maximum(), 0);
        onWork(transfer.done);
        EXPECT_EQ(label->text(), transfer.during);
        EXPECT_NEAR(double(bar->value()) / bar->maximum(), double(transfer.done) / transfer.total, 1e-6);
        onWorkEnd();
        EXPECT_EQ(label->text(), "Installing...");
        EXPECT_EQ(bar->maximum(), 0);
        window.reset();
        onWork(1);  // the callbacks outlive the page harmlessly
    }
}

TEST_F(InstallPagesTest, FinalAndNoConnectionPages)
{
    auto window = Open();
    const QString log = "Log File: " + Logger().GetFileName();
    const struct {
        bool success;
        QString text;
    } finals[] = {
        {false, "Vorlen installation has been cancelled.\r\n\r\n\r\n" + log},
        {true, "Installation of Vorlen has been completed successfully."},
    };
    for (const auto& final : finals) {
        window->HidePage();
        window->page_final(final.success);
        ExpectControls(*window, {
            {"lbText5", "QLabel", {46, 146, -1, -1}, 0, final.text, true, -1, true},
            {"btnNext", "QPushButton", {507, 432, 94, 29}, 0, "Close", true, -1, true},
            {"appLogo", "QLabel", {16, 16, 505, 125}, 0, {}, true, -1, true},
        });
        EXPECT_TRUE(LogLines().contains(QString("[UI] page_final: ") + (final.success ? "True" : "False")));
    }
    window->HidePage();
    window->page_NoInternet();
    const QString text = Find<QLabel>(*window, "lbText5")->text();
    EXPECT_TRUE(text.startsWith("Vorlen installation has been cancelled.\r\n\r\n\r\nInternet connection failed."));
    EXPECT_TRUE(text.endsWith(".\r\n\r\n" + ProductSiteUrl() + "\r\n\r\n\r\n" + log));
    EXPECT_EQ(Find(*window, "lbText5")->geometry(), QRect(46, 146, 518, 272));
    NextWait();
    Click(*window, "btnNext");
    EXPECT_TRUE(gUserActed);
    EXPECT_EQ(LogLines().last(), "[UI] btnNextClick_Final");
}
