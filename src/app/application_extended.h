#pragma once
// Operations on the application object that the rest of the program uses
// instead of calling the platform directly: command-line switches, message
// boxes, the temporary and executable folders, shell folders, the folder picker.

#include <QApplication>
#include <QString>
#include <QStringList>

#include <atomic>

class QWidget;

// The application object: it shows and swallows an error raised while a window
// message is handled, so that an error in a page's handler never ends a wait.
class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The toolkit's standard display of an error: a message box, or stderr without a display.
void ShowException(const QString& className, const QString& message);

// ---- command-line switches -------------------------------------------------------
// A switch name's hash: lower-cased (A-Z only), as bytes of the locale's code
// page, hashed with lookup3's hashlittle whose state starts at
// 0xdeadbeef + 4 * length + initval.
quint32 SwitchNameHash(const QString& name);
// Lower case for the ASCII letters A-Z only, as switch names and file names are compared.
QString AsciiLowerCase(const QString& text);
quint32 HashLittle(const QByteArray& bytes, quint32 initval);

bool HasCmdLineSwitch(const QString& Name);
bool HasCmdLineSwitch(const QString& Name, const QStringList& arguments);
bool GetCmdLineSwitchValue(const QString& Name, QString& Value);
bool GetCmdLineSwitchValue(const QString& Name, QString& Value, const QStringList& arguments);

// ---- dialogs ----------------------------------------------------------------------
void ShowMessageBox(QWidget* Owner, const QString& Caption, const QString& Text, unsigned Flags);
bool AskYesNo(QWidget* Owner, const QString& Caption, const QString& Text, unsigned Flags);

// Lets the user pick a folder. The folder chosen is remembered per executable
// name and value name and preselected next time. On true, Folder ends with "/".
bool BrowseForFolder(const QString& Title, QString& Folder, const QString& Root, const QString& ValueName,
                     QWidget* Owner);
// Where the picker starts: the remembered folder when there is one.
QString BrowseCallback(const QString& rememberedFolder, const QString& root);

// ---- folders ------------------------------------------------------------------------
QString SystemTempPath();
// The temporary folder, or with bOwnFolder the run's work folder inside it
// (temporary folder + application title + "/"), created when missing.
QString TempFolder(bool bOwnFolder);
// The executable's folder, with a trailing "/".
QString SelfPath();
// A shell folder with a trailing "/"; "/" alone when it is unknown.
QString SpecialFolderPath(int CSIDL);

// The registry key of the folder picker's remembered folder.
QString BrowseForFolderKey();
