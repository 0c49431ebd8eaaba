#pragma once
// The setup's one window: a fixed-size wizard frame (logo, title line, action
// button, network-activity image, status line) on which every page of the
// install, local-package and uninstall dialogues is built. The scripts call one
// page operation, then wait for the user; the pages' buttons answer through the
// handshake values gUserChoice and gUserActed.
//
// Page controls are created once per run with fixed object names, parented to
// the window, and only hidden when the page is left.

#include "app/setup_core.h"
#include "i18n/virtual_string_list.h"
#include "net/setup_network.h"

#include <QString>
#include <QWidget>

class QAbstractButton;
class QKeyEvent;
class QLabel;
class QMovie;
class QProgressBar;
class QPushButton;
class TSource;

class TMainWindow : public QWidget {
    Q_OBJECT
    // The translator addresses the window by its name and sets its caption.
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ windowTitle WRITE setWindowTitle)
public:
    static constexpr int ClientWidth = 610;
    static constexpr int ClientHeight = 472;

    // Builds the frame (FormCreate): translated into the language alias given
    // ("en_GB" or "ru_RU"), showing the preparation page. The edition painted on the
    // status line is the translator's (CTranslator::BetaMode).
    explicit TMainWindow(const QString& SystemLangAlias, QWidget* parent = nullptr);
    ~TMainWindow() override;

    // The string tables, owned by the window and filled by each translation.
    TVirtualStringList* InstallStrings;
    TVirtualStringList* UninstallStrings;
    TVirtualStringList* Shortcuts;

    // The file source of the running install script; not owned, absent in an uninstall run.
    TSource* Source = nullptr;
    // Painted on the status line ("Content host: ..."); set by the install script.
    QString SHosting;

    // ---- frame (every page) ----------------------------------------------------------
    void ControlNetworkImage(bool BVisible);
    // LogoMode 0 hides the logo, 1 centres it at the top, 2 puts it top-left; an empty
    // caption or title hides the button or the title line.
    void ShowPage(quint8 LogoMode, const QString& ButtonCaption, const QString& Title);
    // Hides every control parented to the window, persistent ones included.
    void HidePage();

    // ---- install pages ---------------------------------------------------------------
    void page_Prepare();
    void page_NoInternet();
    void page_SelectLang();
    void page_EULA();
    void page_FirstChoose(bool bIsLocalInstallation);
    // The options of the first-choice page, which must have been built (hidden or not).
    void ReadInstallOptions(TInstallationOptions& Options);
    // The progress page of a download; hands out the three progress callbacks.
    void page_Install(TWorkBeginProc& onWorkBegin, TWorkProc& onWork, TWorkEndProc& onWorkEnd);
    void page_final(bool IsSuccessfully);

    // ---- local-package pages (rework the first-choice page still on screen) ----------
    // Returns the chosen target folder (the text of eLocalPath) and the download's callbacks.
    QString page_MakeLocalInstallation2(TWorkBeginProc& onWorkBegin, TWorkProc& onWork,
                                        TWorkEndProc& onWorkEnd);
    void page_MakeLocalInstallation3();

    // ---- uninstall pages ---------------------------------------------------------------
    void page_UninstallFirstPage(bool bCanUninstall, bool bShowBetaButton);
    void page_UninstallProgress();
    void page_UninstallDone();

    // Line n of a string table.
    QString InstallString(int n) const;
    QString UninstallString(int n) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    // Enter presses the focused push button, or else the page's action button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FormCreate(const QString& SystemLangAlias);
    void FormPaint();

    // ---- handlers (each logs "[UI] " and its name) --------------------------------------
    void btnNextClick_Final();
    void btnLangChange();
    void btnNextClick_Langs();
    void cbAcceptEULAChange();
    void btnNextClick_EULA();
    void rbInstallOrDownloadClick();
    void bntBrowsePathClick();
    void btnNextClick_main();
    void btnInstallCustomizedClick();
    void btnNextClick_MakeLocal();
    void btnNextClick_UninstFirst();
    void btnUninstallClick();
    void btnUninstallBetaClick();
    void createLangOptions(QWidget* box);

    // ---- helpers for the pages ------------------------------------------------------------
    // The window's control of that name and class, reused when a page is built again
    // (its click handlers are dropped), created otherwise.
    template <class T>
    T* makeControl(const QString& name, QWidget* parent = nullptr);
    template <class T>
    T* control(const QString& name) const;
    // Makes `handler` the one click handler of `button`; a page-ending handler runs
    // once per page (a second click before the script took the answer is dropped).
    void onClick(QAbstractButton* button, void (TMainWindow::*handler)(), bool endsPage);
    // The Tab order of a page, and the order in which a screen reader reads it: its
    // controls in order, then the action button; the first control that can take the
    // focus gets it.
    void arrangeTabOrder(const QList<QWidget*>& controls);
    // A progress page's moving bar at `top`, full width between the margins.
    QProgressBar* makeMarqueeBar(const QString& name, int top);
    // The progress label above a bar at `barTop`, as the progress pages place it.
    QLabel* makeProgressLabel(int barTop, const QString& text);
    // The bar and label of a download's progress, moved by the callbacks handed out;
    // the label ends with the install string `endString`.
    void makeDownloadProgress(const QString& barName, int top, int endString, TWorkBeginProc& onWorkBegin,
                              TWorkProc& onWork, TWorkEndProc& onWorkEnd);
    // An INFO record "[UI] " + step.
    static void logUI(const QString& step);
    // The user's answer to the waiting script.
    static void answer(const QString& choice);

    QLabel* appLogo = nullptr;
    QLabel* NetWork = nullptr;
    QPushButton* btnNext = nullptr;
    QLabel* lbTitle = nullptr;
    QString FSystemLangAlias;
    bool FInHandler = false;
};

template <class T>
T* TMainWindow::makeControl(const QString& name, QWidget* parent)
{
    QWidget* owner = parent ? parent : this;
    T* result = owner->template findChild<T*>(name, Qt::FindDirectChildrenOnly);
    if (result) {
        QObject::disconnect(result, nullptr, this, nullptr);
    } else {
        result = new T(owner);
        result->setObjectName(name);
    }
    result->show();
    return result;
}

template <class T>
T* TMainWindow::control(const QString& name) const
{
    return findChild<T*>(name);
}

// Decodes the program's GIF resource `Name`; the caller owns the movie (not started).
QMovie* LoadGIFResource(const QString& Name);

// The run's main window, for the scripts; null until CreateMainWindow.
extern TMainWindow* MainWindow;

// Creates the run's main window (translated into SystemLangAlias, showing the
// preparation page, not yet shown on screen), makes it the process-wide MainWindow
// and the window whose close puts the program into the terminating state.
TMainWindow* CreateMainWindow(const QString& SystemLangAlias);
