// The pages of an install run: preparation, no connection, language, licence,
// first choice (install here or prepare a package), download progress, final.

#include "ui/main_window.h"

#include "app/application_extended.h"
#include "app/setup_logging.h"
#include "i18n/setup_translator.h"
#include "net/setup_config.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "ui/choice_list_box.h"
#include "ui/licence_viewer.h"
#include "ui/qt_translations.h"
#include "ui/window_fonts.h"
#include "xml/ex_simple_xml.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>

namespace {

// Line breaks as the translation documents write them.
const QString CRLF = QStringLiteral("\r\n");

QString logFileLine()
{
    return QStringLiteral("Log File: ") + Logger().GetFileName();
}

// The language list of the language page: id and locale identifier, in offer order.
struct OfferedLanguage {
    const char* id;
    quint32 localeId;
};
constexpr OfferedLanguage offeredLanguages[] = {{"en_GB", 2057}, {"ru_RU", 1049}};

// The exclusive group of some radio buttons of the window. A group of its own keeps
// them apart from every other radio button below the window (the toolkit's
// automatic grouping would join all of them).
QButtonGroup* exclusiveGroup(QWidget* window, const QString& name, const QList<QAbstractButton*>& buttons)
{
    auto* group = window->findChild<QButtonGroup*>(name, Qt::FindDirectChildrenOnly);
    if (!group) {
        group = new QButtonGroup(window);
        group->setObjectName(name);
    }
    for (QAbstractButton* button : buttons)
        group->addButton(button);
    return group;
}

// Each label of the first-choice page takes its text's size.
QLabel* placeLabel(QLabel* label, int left, int top, const QString& text)
{
    label->setText(text);
    label->move(left, top);
    label->adjustSize();
    return label;
}

}  // namespace

void TMainWindow::page_Prepare()
{
    logUI(QStringLiteral("page_Prepare"));
    ShowPage(1, QString(), QString());
    if (auto* existing = control<QLabel>(QStringLiteral("lbPrepareText"))) {
        existing->show();
        existing->setText(InstallString(0));
        return;
    }
    auto* text = makeControl<QLabel>(QStringLiteral("lbPrepareText"));
    text->setGeometry(0, 220, ClientWidth, 50);
    text->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    text->setFont(PageFont(12));
    text->setWordWrap(true);
    text->setText(InstallString(0));
}

void TMainWindow::page_NoInternet()
{
    logUI(QStringLiteral("page_NoInternet"));
    ShowPage(2, InstallString(16), QString());
    onClick(btnNext, &TMainWindow::btnNextClick_Final, true);
    auto* text = makeControl<QLabel>(QStringLiteral("lbText5"));
    text->setWordWrap(true);
    text->setGeometry(46, 146, ClientWidth - 92, ClientHeight - 200);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setText(InstallString(37) + CRLF + CRLF + ProductSiteUrl() + CRLF + CRLF + CRLF + logFileLine());
    arrangeTabOrder({});
}

void TMainWindow::page_final(bool IsSuccessfully)
{
    logUI(QStringLiteral("page_final: ") + BoolToStr(IsSuccessfully));
    ShowPage(2, InstallString(16), QString());
    auto* text = makeControl<QLabel>(QStringLiteral("lbText5"));
    text->setWordWrap(false);
    text->move(46, 146);
    onClick(btnNext, &TMainWindow::btnNextClick_Final, true);
    // the page's only way on: a failure after the package page disabled the button must
    // still let the user close the run
    btnNext->setEnabled(true);
    text->setText(IsSuccessfully ? InstallString(17) : InstallString(15) + CRLF + CRLF + CRLF + logFileLine());
    text->setMinimumWidth(0);
    text->adjustSize();
    arrangeTabOrder({});
}

void TMainWindow::btnNextClick_Final()
{
    logUI(QStringLiteral("btnNextClick_Final"));
    gUserActed = true;
}

// ---- language ---------------------------------------------------------------------------

void TMainWindow::page_SelectLang()
{
    logUI(QStringLiteral("page_SelectLang"));
    ShowPage(0, InstallString(1), InstallString(2));
    onClick(btnNext, &TMainWindow::btnNextClick_Langs, true);
    btnNext->setEnabled(false);
    auto* box = makeControl<TChoiceListBox>(QStringLiteral("lbBox"));
    box->setGeometry(46, 94, ClientWidth - 92, 294);
    box->setFocusPolicy(Qt::NoFocus);  // Tab goes to the language buttons inside it
    box->setAccessibleName(InstallString(2));
    createLangOptions(box);
    QList<QWidget*> chain;
    for (QRadioButton* option : box->findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly))
        chain.append(option);
    arrangeTabOrder(chain);
}

void TMainWindow::createLangOptions(QWidget* box)
{
    logUI(QStringLiteral("createLangOptions"));
    int y = 0;
    for (const OfferedLanguage& language : offeredLanguages) {
        const QString id = QString::fromLatin1(language.id);
        auto* option = makeControl<QRadioButton>(QStringLiteral("Lang_") + id, box);
        exclusiveGroup(this, QStringLiteral("grpLangs"), {option});
        connect(option, &QRadioButton::toggled, this, [this](bool checked) {
            if (checked)
                btnLangChange();
        });
        option->setText(CTranslator::GetLangDisplayNameFormID(language.localeId));
        option->setProperty("Tag", language.localeId);
        option->setProperty("Hint", id);
        option->adjustSize();
        option->move(16, y + 4);
        // Checking runs the handler, so the action button is enabled before any input.
        if (id == FSystemLangAlias) {
            if (option->isChecked())  // the page built again: nothing toggles
                btnLangChange();
            option->setChecked(true);
        }
        y += option->height() + 4;
    }
}

void TMainWindow::btnLangChange()
{
    logUI(QStringLiteral("btnLangChange"));
    btnNext->setEnabled(true);
}

void TMainWindow::btnNextClick_Langs()
{
    logUI(QStringLiteral("btnNextClick_Langs"));
    QString choice;
    if (auto* box = control<QWidget>(QStringLiteral("lbBox"))) {
        for (QRadioButton* option : box->findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (option->isChecked()) {
                choice = option->property("Hint").toString();
                break;
            }
        }
    }
    if (choice.isEmpty())
        choice = FSystemLangAlias;
    LoadQtTranslations(choice);
    answer(choice);
    HidePage();
    page_Prepare();
}

// ---- licence ----------------------------------------------------------------------------

void TMainWindow::page_EULA()
{
    logUI(QStringLiteral("page_EULA"));
    ShowPage(0, InstallString(1), InstallString(3));
    onClick(btnNext, &TMainWindow::btnNextClick_EULA, true);
    btnNext->setEnabled(false);

    auto* text = makeControl<QLabel>(QStringLiteral("lbText2"));
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setGeometry(46, 88, ClientWidth - 92, 42);
    text->setText(InstallString(4));

    auto* viewer = makeControl<TLicenceViewer>(QStringLiteral("wbEULA"));
    viewer->setGeometry(46, 138, ClientWidth - 92, 274);
    viewer->setAccessibleName(InstallString(3));
    // its scroll bars are controls too: a screen reader names them after the text they move
    for (QScrollBar* bar : {viewer->verticalScrollBar(), viewer->horizontalScrollBar()})
        bar->setAccessibleName(InstallString(3));

    auto* accept = makeControl<QCheckBox>(QStringLiteral("cbAcceptEULA"));
    accept->setGeometry(46, 420, 400, accept->sizeHint().height());
    accept->setText(InstallString(5));
    accept->setChecked(false);
    connect(accept, &QCheckBox::toggled, this, &TMainWindow::cbAcceptEULAChange);

    viewer->Navigate(Source ? Source->Use(Source->topRequest) : QString());
    arrangeTabOrder({viewer, accept});
    accept->setFocus();
}

void TMainWindow::cbAcceptEULAChange()
{
    logUI(QStringLiteral("cbAcceptEULAChange"));
    btnNext->setEnabled(control<QCheckBox>(QStringLiteral("cbAcceptEULA"))->isChecked());
}

void TMainWindow::btnNextClick_EULA()
{
    logUI(QStringLiteral("btnNextClick_EULA"));
    HidePage();
    gUserActed = true;
}

// ---- first choice -------------------------------------------------------------------------

void TMainWindow::page_FirstChoose(bool bIsLocalInstallation)
{
    logUI(QStringLiteral("page_FirstChoose"));
    ShowPage(0, QStringLiteral("Next"), InstallString(6));
    onClick(btnNext, &TMainWindow::btnNextClick_main, true);

    // the two choices: checked before the handler is connected, so that nothing runs
    const auto makeChoice = [this](const QString& name, int text, int top, bool checked) {
        auto* choice = makeControl<QRadioButton>(name);
        exclusiveGroup(this, QStringLiteral("grpInstallOrDownload"), {choice});
        choice->setText(InstallString(text));
        choice->setGeometry(46, top, ClientWidth - 92, choice->sizeHint().height());
        choice->setChecked(checked);
        connect(choice, &QRadioButton::toggled, this, [this](bool on) {
            if (on)
                rbInstallOrDownloadClick();
        });
        return choice;
    };
    auto* install = makeChoice(QStringLiteral("rbInstall"), 7, 96, true);
    placeLabel(makeControl<QLabel>(QStringLiteral("lb_installOptions")), 76, 120, InstallString(9));

    const struct {
        const char* name;
        int top, text;
        bool checked;
    } optionBoxes[] = {{"cbDesktopLink", 138, 24, false}, {"cbTaskbarPin", 168, 25, false},
                       {"cbRunAfterInstall", 198, 26, true}};
    QList<QWidget*> chain{install};
    for (const auto& spec : optionBoxes) {
        auto* box = makeControl<QCheckBox>(QString::fromLatin1(spec.name));
        box->setText(InstallString(spec.text));
        box->setGeometry(76, spec.top, 300, box->sizeHint().height());
        box->setChecked(spec.checked);
        box->setEnabled(true);
        chain.append(box);
    }

    auto* download = makeChoice(QStringLiteral("rbDownload"), 8, 240, false);
    download->setEnabled(!bIsLocalInstallation);
    auto* pathHeading = placeLabel(makeControl<QLabel>(QStringLiteral("lb_donwloadPath")), 76, 264, InstallString(18));

    auto* path = makeControl<QLineEdit>(QStringLiteral("eLocalPath"));
    path->setGeometry(76, 282, 400, path->sizeHint().height());
    path->setText(SpecialFolderPath(16));
    path->setReadOnly(true);
    path->setEnabled(false);
    path->setAccessibleName(InstallString(18));
    pathHeading->setBuddy(path);

    auto* browse = makeControl<QPushButton>(QStringLiteral("btnBrowsePath"));
    browse->setText(InstallString(33));
    browse->move(482, 280);
    browse->adjustSize();
    browse->setEnabled(false);
    onClick(browse, &TMainWindow::bntBrowsePathClick, false);

    chain << download << path << browse;
    arrangeTabOrder(chain);
}

void TMainWindow::rbInstallOrDownloadClick()
{
    logUI(QStringLiteral("rbInstallOrDownloadClick"));
    const bool install = control<QRadioButton>(QStringLiteral("rbInstall"))->isChecked();
    for (const char* name : {"cbDesktopLink", "cbTaskbarPin", "cbRunAfterInstall"})
        control<QWidget>(QString::fromLatin1(name))->setEnabled(install);
    for (const char* name : {"eLocalPath", "btnBrowsePath"})
        control<QWidget>(QString::fromLatin1(name))->setEnabled(!install);
}

void TMainWindow::bntBrowsePathClick()
{
    logUI(QStringLiteral("bntBrowsePathClick"));
    auto* path = control<QLineEdit>(QStringLiteral("eLocalPath"));
    QString folder;
    if (BrowseForFolder(InstallString(32), folder, QString(), QString(), this))
        path->setText(folder);
    // A folder without write permission is accepted here; the package job reports it.
    btnNext->setEnabled(QFileInfo(path->text()).isDir());
    logUI(QStringLiteral("LocalPath: ") + folder);
}

void TMainWindow::btnNextClick_main()
{
    logUI(QStringLiteral("btnNextClick_main"));
    if (control<QRadioButton>(QStringLiteral("rbInstall"))->isChecked())
        btnInstallCustomizedClick();
    else
        btnNextClick_MakeLocal();
}

void TMainWindow::btnInstallCustomizedClick()
{
    logUI(QStringLiteral("btnInstallCustomizedClick"));
    if (Source && Source->RealSource == stLocal) {
        answer(QStringLiteral("CustomizedInstall"));
        return;
    }
    const QString descriptor = Source ? Source->Use(QStringLiteral("system.xml")) : QString();
    if (!QFileInfo(descriptor).isFile()) {
        ShowMessageBox(this, InstallString(35), InstallString(36) + CRLF + ProductSiteUrl(),
                       platform::MB_ICONERROR);
        answer(QStringLiteral("Terminate"));
        return;
    }
    TExSimpleXML release;
    release.LoadXMLFile(Source->Use(QStringLiteral("system.xml")));  // asked again: each use is logged
    const QString size = release.ReadValue(QStringLiteral("size"), QStringList(), QStringLiteral("8.1"));
    QString question = InstallString(11);
    question.replace(QLatin1String("%S"), size);
    if (AskYesNo(this, InstallString(10), question, platform::MB_ICONQUESTION | platform::MB_YESNO))
        answer(QStringLiteral("CustomizedInstall"));
}

void TMainWindow::btnNextClick_MakeLocal()
{
    logUI(QStringLiteral("btnNextClick_MakeLocal"));
    answer(QStringLiteral("MakeInstallNow"));
}

void TMainWindow::ReadInstallOptions(TInstallationOptions& Options)
{
    logUI(QStringLiteral("ReadInstallOptions"));
    Options.CreateDesktopIcon = control<QCheckBox>(QStringLiteral("cbDesktopLink"))->isChecked();
    Options.PinInTaskBar = control<QCheckBox>(QStringLiteral("cbTaskbarPin"))->isChecked();
    Options.RunAfterInstall = control<QCheckBox>(QStringLiteral("cbRunAfterInstall"))->isChecked();
}

// ---- download progress ----------------------------------------------------------------------

void TMainWindow::page_Install(TWorkBeginProc& onWorkBegin, TWorkProc& onWork, TWorkEndProc& onWorkEnd)
{
    logUI(QStringLiteral("page_Install"));
    ShowPage(2, QString(), QString());
    makeDownloadProgress(QStringLiteral("PB"), 260, 14, onWorkBegin, onWork, onWorkEnd);
    arrangeTabOrder({});
}
