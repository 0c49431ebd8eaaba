#include "ui/answer_policy.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "net/setup_network.h"
#include "platform/platform.h"
#include "ui/main_window.h"
#include "ui/page_progress.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

namespace {

const QString kClass = QStringLiteral("[Unattended] ");

// Set by the script on the main thread, read by Finish on the main thread.
QString gRunOutcome;
QString gNothingToDo;

QString oneLine(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.simplified();
}

// A control of the window that the current page shows (the window itself stays hidden).
template <class T = QWidget>
T* shown(const char* name)
{
    T* widget = MainWindow ? MainWindow->findChild<T*>(QString::fromLatin1(name)) : nullptr;
    return widget && !widget->isHidden() ? widget : nullptr;
}

QAbstractButton* actionButton()
{
    return shown<QAbstractButton>("btnNext");
}

// Clicks a check box or radio button until it has the state wanted, as a person would.
void setChecked(QAbstractButton* button, bool checked)
{
    if (button && button->isChecked() != checked)
        button->click();
}

// Answers the program's questions as an administrator's unattended run wants them.
class UnattendedDialogs final : public platform::DialogHandler {
public:
    explicit UnattendedDialogs(QString packageFolder) : FPackageFolder(std::move(packageFolder)) {}

    int messageBox(QWidget*, const QString& caption, const QString& text, unsigned flags) override
    {
        int answer = platform::IDOK;
        if (flags & platform::MB_YESNO)
            answer = isGraphicsRuntimeQuestion(text) ? platform::IDNO : platform::IDYES;
        const QString name = answer == platform::IDOK ? QStringLiteral("OK")
                             : answer == platform::IDYES ? QStringLiteral("Yes")
                                                         : QStringLiteral("No");
        const QString report = QStringLiteral("Message box \"%1\": %2 -> %3").arg(caption, oneLine(text), name);
        Logger().Info(kClass + report);
        ReportOnStandardError(report);
        return answer;
    }

    std::optional<QString> chooseFolder(QWidget*, const QString& title, const QString&) override
    {
        Logger().Info(kClass + QStringLiteral("Folder \"%1\": %2").arg(title, FPackageFolder));
        if (FPackageFolder.isEmpty())
            return std::nullopt;
        return FPackageFolder;
    }

private:
    // The question whether to install the graphics runtime: declined, the application runs without it.
    static bool isGraphicsRuntimeQuestion(const QString& text)
    {
        return MainWindow && text == MainWindow->InstallString(20);
    }

    QString FPackageFolder;
};

}  // namespace

void ReportRunOutcome(const QString& text)
{
    gRunOutcome = text;
}

void ReportNothingToDo(const QString& text)
{
    gNothingToDo = text;
}

void ReportOnStandardError(const QString& text)
{
    std::fprintf(stderr, "vrnsetup: %s\n", oneLine(text).toLocal8Bit().constData());
    std::fflush(stderr);
}

TAnswerPolicy::TAnswerPolicy(const TUnattendedOptions& options)
    : FOptions(options), FDialogs(std::make_unique<UnattendedDialogs>(options.PackageFolder))
{
    gRunOutcome.clear();
    gNothingToDo.clear();
    FPreviousDialogs = platform::setDialogHandler(FDialogs.get());
    // answered from the wait's own pump, once the page is complete
    CSetupCore::SetWaitHook([this] { QTimer::singleShot(0, [this] { answerPage(); }); });
    if (options.Progress || platform::standardErrorIsTerminal()) {
        SetProgressEcho([this](const QString& text) { echoProgress(text); });
        CNetwork::SetRetryEcho(ReportOnStandardError);
    }
}

TAnswerPolicy::~TAnswerPolicy()
{
    SetProgressEcho({});
    CNetwork::SetRetryEcho({});
    CSetupCore::SetWaitHook({});
    platform::setDialogHandler(FPreviousDialogs);
}

void TAnswerPolicy::answerPage()
{
    if (gUserActed || CSetupCore::IsTerminating())
        return;
    if (shown("lbBox"))
        answerLanguage();
    else if (shown("cbAcceptEULA"))
        answerLicence();
    else if (shown("rbInstall"))
        answerFirstChoice();
    else if (shown("btnUninstall"))
        answerRemoval();
    else if (auto* text = shown<QLabel>("lbText5"))
        answerEndPage(text->text() == MainWindow->InstallString(17));
    else if (shown("lbSad"))
        // a removal that had to leave something logged it as an ERROR line
        answerEndPage(Logger().LastError().isEmpty());
    else if (shown("pbLocal"))
        answerEndPage(true);
    else
        fail(QStringLiteral("the page has no unattended answer"));
}

void TAnswerPolicy::answerLanguage()
{
    if (!FOptions.Lang.isEmpty())
        setChecked(shown("lbBox")->findChild<QAbstractButton*>(QStringLiteral("Lang_") + FOptions.Lang), true);
    press(actionButton());
}

void TAnswerPolicy::answerLicence()
{
    if (!FOptions.AcceptEula) {
        FLicenceRefused = true;
        FStopped = true;
        Logger().Info(kClass + QStringLiteral("Licence not accepted"));
        ReportOnStandardError(QStringLiteral("the licence was not accepted (give -accepteula to accept it); nothing was installed"));
        CSetupCore::Terminate();
        return;
    }
    setChecked(shown<QAbstractButton>("cbAcceptEULA"), true);
    press(actionButton());
}

void TAnswerPolicy::answerFirstChoice()
{
    if (FOptions.PackageFolder.isEmpty()) {
        setChecked(shown<QAbstractButton>("cbDesktopLink"), FOptions.DesktopIcon);
        setChecked(shown<QAbstractButton>("cbRunAfterInstall"), !FOptions.NoRun);
        press(actionButton());
        return;
    }
    auto* download = shown<QAbstractButton>("rbDownload");
    if (!download || !download->isEnabled()) {
        fail(QStringLiteral("a package cannot be prepared by a setup that installs from its own package"));
        return;
    }
    // a package folder that does not exist yet is made, as an administrator's script expects
    if (!platform::forceDirectories(FOptions.PackageFolder)) {
        fail(QStringLiteral("the package folder \"%1\" cannot be created").arg(FOptions.PackageFolder));
        return;
    }
    setChecked(download, true);
    press(shown<QAbstractButton>("btnBrowsePath"));
    press(actionButton());
}

void TAnswerPolicy::answerRemoval()
{
    auto* button = shown<QAbstractButton>(FOptions.BetaEdition ? "btnUninstallBeta" : "btnUninstall");
    if (!button || !button->isEnabled()) {
        fail(QStringLiteral("the %1 edition is not installed").arg(FOptions.BetaEdition ? QLatin1String("beta") : QLatin1String("release")));
        return;
    }
    press(button);
}

void TAnswerPolicy::answerEndPage(bool succeeded)
{
    // a run may pass more than one end page (a refused package, then its failure page)
    FSucceeded = succeeded && !FStopped;
    if (auto* text = shown<QLabel>("lbText5"))
        FPageText = text->text();
    press(actionButton());
}

void TAnswerPolicy::press(QAbstractButton* button)
{
    if (FStopped)
        return;
    // a button that cannot be pressed would leave the wait without an answer for ever
    if (!button || !button->isEnabled()) {
        fail(QStringLiteral("the page cannot be answered: \"%1\" cannot be pressed")
                 .arg(button ? button->text() : QStringLiteral("?")));
        return;
    }
    button->click();
}

void TAnswerPolicy::fail(const QString& reason)
{
    Logger().Error(kClass + reason);
    FStopped = true;
    FSucceeded = false;
    CSetupCore::Terminate();
}

void TAnswerPolicy::echoProgress(const QString& text)
{
    if (FLastProgress.isValid() && FLastProgress.elapsed() < 1000)
        return;
    FLastProgress.start();
    ReportOnStandardError(text);
}

int TAnswerPolicy::Finish()
{
    if (FLicenceRefused)
        return ecLicenceNotAccepted;
    if (CSetupCore::IsTerminating() && !FStopped) {
        ReportOnStandardError(QStringLiteral("cancelled; nothing more was done"));
        return ecCancelled;
    }
    if (FSucceeded)
        return ecDone;
    if (!gNothingToDo.isEmpty()) {
        std::printf("%s\n", oneLine(gNothingToDo).toLocal8Bit().constData());
        std::fflush(stdout);
        return ecDone;
    }
    if (!gRunOutcome.isEmpty()) {
        ReportOnStandardError(gRunOutcome);
        return ecFailed;
    }
    const QString reason = Logger().LastError();
    ReportOnStandardError(reason.isEmpty() ? (FPageText.isEmpty() ? QStringLiteral("the run did not finish") : FPageText)
                                           : reason);
    return ecFailed;
}
