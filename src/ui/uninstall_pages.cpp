// The pages of an uninstall run: the choice of edition, progress, done.

#include "ui/main_window.h"

#include "ui/window_fonts.h"

#include <QLabel>
#include <QPushButton>

void TMainWindow::page_UninstallFirstPage(bool bCanUninstall, bool bShowBetaButton)
{
    logUI(QStringLiteral("page_UninstallFirstPage"));
    ShowPage(0, UninstallString(1), UninstallString(2));
    onClick(btnNext, &TMainWindow::btnNextClick_UninstFirst, true);

    // The edition names are fixed texts, whichever edition this setup is.
    auto* release = makeControl<QPushButton>(QStringLiteral("btnUninstall"));
    release->setGeometry(234, 156, 151, 55);
    release->setFont(WindowFont(12));
    release->setText(QString(UninstallString(3)).replace(QLatin1String("%S"), QLatin1String("Vorlen")));
    release->setEnabled(bCanUninstall);
    onClick(release, &TMainWindow::btnUninstallClick, true);
    QList<QWidget*> chain{release};

    if (bShowBetaButton) {
        auto* beta = makeControl<QPushButton>(QStringLiteral("btnUninstallBeta"));
        beta->setGeometry(234, 219, 151, 42);
        beta->setFont(WindowFont(10));
        beta->setText(QString(UninstallString(3)).replace(QLatin1String("%S"), QLatin1String("Vorlen BETA")));
        beta->setEnabled(true);
        onClick(beta, &TMainWindow::btnUninstallBetaClick, true);
        chain.append(beta);
    }
    arrangeTabOrder(chain);
}

void TMainWindow::btnNextClick_UninstFirst()
{
    logUI(QStringLiteral("btnNextClick_UninstFirst"));
    answer(QStringLiteral("Exit"));
}

void TMainWindow::btnUninstallClick()
{
    logUI(QStringLiteral("btnUninstallClick"));
    answer(QStringLiteral("Uninstall"));
}

void TMainWindow::btnUninstallBetaClick()
{
    logUI(QStringLiteral("btnUninstallBetaClick"));
    answer(QStringLiteral("Uninstall-Beta"));
}

void TMainWindow::page_UninstallProgress()
{
    logUI(QStringLiteral("page_UninstallProgress"));
    ShowPage(2, QString(), QString());
    makeMarqueeBar(QStringLiteral("PB"), 260);
    makeProgressLabel(260, UninstallString(4));
    arrangeTabOrder({});
}

void TMainWindow::page_UninstallDone()
{
    logUI(QStringLiteral("page_UninstallDone"));
    ShowPage(0, UninstallString(1), QString());
    onClick(btnNext, &TMainWindow::btnNextClick_Final, true);
    const struct {
        const char* name;
        QRect bounds;
        int points;
        QString text;
    } labels[] = {{"lbSad", QRect(46, 0, 79, 202), 114, QStringLiteral(":(")},
                  {"lbSadText", QRect(46, 208, 293, 45), 24, UninstallString(5)}};
    for (const auto& spec : labels) {
        auto* label = makeControl<QLabel>(QString::fromLatin1(spec.name));
        label->setGeometry(spec.bounds);
        label->setFont(PageFont(spec.points));
        label->setText(spec.text);
        label->adjustSize();  // auto-size: as large as its text
    }
    arrangeTabOrder({});
}
