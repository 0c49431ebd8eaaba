#pragma once
// The answers of an unattended run: while it lives, every wait for a user action is
// answered through the shown page's own controls (the option checked, the button
// pressed, so the log reads as a person's run), every message box and the folder
// picker are answered and reported on the log and standard error, and the download
// progress goes to standard error. At the end it turns the run's course into the
// exit code and reports a failure's reason.

#include "app/unattended_switches.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>

class QAbstractButton;

namespace platform {
class DialogHandler;
}

class TAnswerPolicy {
public:
    // Takes over the waits, the dialogs and the progress until destroyed.
    explicit TAnswerPolicy(const TUnattendedOptions& options);
    ~TAnswerPolicy();
    TAnswerPolicy(const TAnswerPolicy&) = delete;
    TAnswerPolicy& operator=(const TAnswerPolicy&) = delete;

    // The exit code of the run so far; a failure's reason goes to standard error.
    int Finish();

private:
    void answerPage();
    void answerLanguage();
    void answerLicence();
    void answerFirstChoice();
    void answerRemoval();
    void answerEndPage(bool succeeded);
    // Presses a button of the page, or fails the run when it cannot be pressed.
    void press(QAbstractButton* button);
    // Stops the run at this wait with a failure and its reason.
    void fail(const QString& reason);
    void echoProgress(const QString& text);

    TUnattendedOptions FOptions;
    std::unique_ptr<platform::DialogHandler> FDialogs;
    platform::DialogHandler* FPreviousDialogs = nullptr;
    QElapsedTimer FLastProgress;
    bool FSucceeded = false;
    bool FLicenceRefused = false;
    bool FStopped = false;
    QString FPageText;
};

// Writes `text` on standard error as one line "vrnsetup: text" (line breaks flattened).
void ReportOnStandardError(const QString& text);
// What the run did in place of its task (a newer setup started instead): an unattended
// run that ends without its task done reports this as the reason, not its last error.
void ReportRunOutcome(const QString& text);
// The run's task needed nothing done (an update with the release already installed):
// an unattended run ends with exit code 0 and prints `text` on standard output.
void ReportNothingToDo(const QString& text);
