// The local-package pages: the first-choice page, still on screen, turned into
// the progress page of the package and then into its completion page.

#include "ui/main_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

QString TMainWindow::page_MakeLocalInstallation2(TWorkBeginProc& onWorkBegin, TWorkProc& onWork,
                                                 TWorkEndProc& onWorkEnd)
{
    logUI(QStringLiteral("page_MakeLocalInstallation2"));
    btnNext->setText(InstallString(16));
    btnNext->setEnabled(false);
    for (const char* name : {"rbInstall", "lb_installOptions", "cbDesktopLink", "cbTaskbarPin", "cbRunAfterInstall"})
        control<QWidget>(QString::fromLatin1(name))->hide();
    auto* path = control<QLineEdit>(QStringLiteral("eLocalPath"));
    const QString folder = path->text();
    path->setEnabled(false);
    control<QWidget>(QStringLiteral("btnBrowsePath"))->setEnabled(false);

    makeDownloadProgress(QStringLiteral("pbLocal"), 340, 23, onWorkBegin, onWork, onWorkEnd);
    btnNext->raise();  // read after the progress, as on every page
    return folder;
}

void TMainWindow::page_MakeLocalInstallation3()
{
    logUI(QStringLiteral("page_MakeLocalInstallation3"));
    if (auto* bar = control<QProgressBar>(QStringLiteral("pbLocal"))) {
        bar->setRange(0, 100);
        bar->setValue(100);
    }
    if (auto* label = control<QLabel>(QStringLiteral("lbText4"))) {
        label->setText(InstallString(34));
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
    }
    btnNext->setText(InstallString(16));
    btnNext->setEnabled(true);
    onClick(btnNext, &TMainWindow::btnNextClick_Final, true);
    btnNext->setFocus();
}
