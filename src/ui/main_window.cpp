#include "ui/main_window.h"

#include "app/setup_core.h"

#include <QLabel>
#include <QPushButton>

TMainWindow* MainWindow = nullptr;

TMainWindow::TMainWindow(const QString& SystemLangAlias, QWidget* parent)
    : QWidget(parent),
      InstallStrings(new TVirtualStringList(this)),
      UninstallStrings(new TVirtualStringList(this)),
      Shortcuts(new TVirtualStringList(this))
{
    FormCreate(SystemLangAlias);
}

TMainWindow::~TMainWindow()
{
    if (MainWindow == this)
        MainWindow = nullptr;
}

void TMainWindow::FormCreate(const QString& SystemLangAlias) { FSystemLangAlias = SystemLangAlias; }
void TMainWindow::FormPaint() {}
void TMainWindow::paintEvent(QPaintEvent*) { FormPaint(); }
void TMainWindow::ControlNetworkImage(bool) {}
void TMainWindow::ShowPage(quint8, const QString&, const QString&) {}
void TMainWindow::HidePage() {}
void TMainWindow::page_Prepare() {}
void TMainWindow::page_NoInternet() {}
void TMainWindow::page_SelectLang() {}
void TMainWindow::page_EULA() {}
void TMainWindow::page_FirstChoose(bool) {}
void TMainWindow::ReadInstallOptions(TInstallationOptions& Options) { Options = TInstallationOptions(); }
void TMainWindow::page_Install(TWorkBeginProc& onWorkBegin, TWorkProc& onWork, TWorkEndProc& onWorkEnd)
{
    onWorkBegin = [](qint64) {};
    onWork = [](qint64) {};
    onWorkEnd = [] {};
}
void TMainWindow::page_final(bool) {}
QString TMainWindow::page_MakeLocalInstallation2(TWorkBeginProc& onWorkBegin, TWorkProc& onWork,
                                                 TWorkEndProc& onWorkEnd)
{
    page_Install(onWorkBegin, onWork, onWorkEnd);
    return QString();
}
void TMainWindow::page_MakeLocalInstallation3() {}
void TMainWindow::page_UninstallFirstPage(bool, bool) {}
void TMainWindow::page_UninstallProgress() {}
void TMainWindow::page_UninstallDone() {}
QString TMainWindow::InstallString(int) const { return QString(); }
QString TMainWindow::UninstallString(int) const { return QString(); }

TMainWindow* CreateMainWindow(const QString& SystemLangAlias)
{
    MainWindow = new TMainWindow(SystemLangAlias);
    CSetupCore::MarkAsMainWindow(MainWindow);
    return MainWindow;
}
