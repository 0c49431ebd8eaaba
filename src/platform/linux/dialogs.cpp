// Message boxes and the folder picker with Qt widgets.
#include "platform/platform.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace platform {

namespace {

QMessageBox::Icon iconOf(unsigned flags)
{
    switch (flags & 0xF0) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

class InteractiveDialogs final : public DialogHandler {
public:
    int messageBox(QWidget* owner, const QString& caption, const QString& text, unsigned flags) override
    {
        const bool yesNo = (flags & 0x0F) == MB_YESNO;
        if (!hasDisplay())  // nobody could answer: the safe answer
            return yesNo ? IDNO : IDOK;
        QMessageBox box(iconOf(flags), caption, text,
                        yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
        const int answer = box.exec();
        if (!yesNo)
            return IDOK;
        return answer == QMessageBox::Yes ? IDYES : IDNO;
    }

    std::optional<QString> chooseFolder(QWidget* owner, const QString& title, const QString& startFolder) override
    {
        if (!hasDisplay())
            return std::nullopt;
        const QString folder = QFileDialog::getExistingDirectory(owner, title, startFolder);
        if (folder.isEmpty())
            return std::nullopt;
        return folder;
    }
};

InteractiveDialogs interactive;
DialogHandler* current = &interactive;

}  // namespace

DialogHandler& dialogs()
{
    return *current;
}

DialogHandler* setDialogHandler(DialogHandler* handler)
{
    DialogHandler* previous = current;
    current = handler ? handler : &interactive;
    return previous;
}

bool hasDisplay()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return false;
    const QString name = QGuiApplication::platformName();
    return name != QLatin1String("offscreen") && name != QLatin1String("minimal");
}

}  // namespace platform
