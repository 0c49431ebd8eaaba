#include "app/application_extended.h"

#include "platform/platform.h"

#include <QMessageBox>

#include <cstdio>
#include <optional>

// ---- application object --------------------------------------------------------------

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(errorClassName(error), errorMessage(error));
    }
    return false;
}

void ShowException(const QString& className, const QString& message)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(className), qPrintable(message));
    std::fflush(stderr);
    ShowMessageBox(nullptr, platform::applicationTitle(), message, platform::MB_ICONERROR);
}

// ---- switches ----------------------------------------------------------------------------

namespace {

inline quint32 rot(quint32 x, int k)
{
    return (x << k) | (x >> (32 - k));
}

inline void mix(quint32& a, quint32& b, quint32& c)
{
    a -= c; a ^= rot(c, 4);  c += b;
    b -= a; b ^= rot(a, 6);  a += c;
    c -= b; c ^= rot(b, 8);  b += a;
    a -= c; a ^= rot(c, 16); c += b;
    b -= a; b ^= rot(a, 19); a += c;
    c -= b; c ^= rot(b, 4);  b += a;
}

inline void finalMix(quint32& a, quint32& b, quint32& c)
{
    c ^= b; c -= rot(b, 14);
    a ^= c; a -= rot(c, 11);
    b ^= a; b -= rot(a, 25);
    c ^= b; c -= rot(b, 16);
    a ^= c; a -= rot(c, 4);
    b ^= a; b -= rot(a, 14);
    c ^= b; c -= rot(b, 24);
}

// Little-endian word of up to four bytes starting at `p`.
quint32 word(const unsigned char* p, qsizetype count)
{
    quint32 value = 0;
    for (qsizetype i = 0; i < count && i < 4; ++i)
        value |= quint32(p[i]) << (8 * i);
    return value;
}

bool startsWithSwitchSign(const QString& argument)
{
    return argument.startsWith(QLatin1Char('-')) || argument.startsWith(QLatin1Char('/'));
}


}  // namespace

quint32 HashLittle(const QByteArray& bytes, quint32 initval)
{
    qsizetype length = bytes.size();
    quint32 a, b, c;
    a = b = c = 0xdeadbeef + quint32(4 * length) + initval;
    const auto* k = reinterpret_cast<const unsigned char*>(bytes.constData());
    while (length > 12) {
        a += word(k, 4);
        b += word(k + 4, 4);
        c += word(k + 8, 4);
        mix(a, b, c);
        length -= 12;
        k += 12;
    }
    if (length == 0)
        return c;
    a += word(k, length);
    b += length > 4 ? word(k + 4, length - 4) : 0;
    c += length > 8 ? word(k + 8, length - 8) : 0;
    finalMix(a, b, c);
    return c;
}

QString AsciiLowerCase(const QString& text)
{
    QString result = text;
    for (QChar& c : result)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    return result;
}

quint32 SwitchNameHash(const QString& name)
{
    return HashLittle(platform::encodeCodePage(AsciiLowerCase(name)), 0);
}

bool HasCmdLineSwitch(const QString& Name)
{
    return HasCmdLineSwitch(Name, platform::commandLineArguments());
}

namespace {

// The first switch whose name, cut at the first `cut` character, matches Name;
// gives what follows that character (empty when the switch has none).
std::optional<QString> findSwitch(const QString& Name, const QStringList& arguments, QChar cut)
{
    const quint32 wanted = SwitchNameHash(Name);
    for (const QString& argument : arguments) {
        if (!startsWithSwitchSign(argument))  // an argument without a sign is no switch
            continue;
        const QString rest = argument.mid(1);
        const qsizetype at = rest.indexOf(cut);
        if (SwitchNameHash(at >= 0 ? rest.left(at) : rest) == wanted)
            return at >= 0 ? rest.mid(at + 1) : QString();
    }
    return std::nullopt;
}

}  // namespace

bool HasCmdLineSwitch(const QString& Name, const QStringList& arguments)
{
    return findSwitch(Name, arguments, QLatin1Char('=')).has_value();
}

bool GetCmdLineSwitchValue(const QString& Name, QString& Value)
{
    return GetCmdLineSwitchValue(Name, Value, platform::commandLineArguments());
}

bool GetCmdLineSwitchValue(const QString& Name, QString& Value, const QStringList& arguments)
{
    const std::optional<QString> found = findSwitch(Name, arguments, QLatin1Char(':'));
    Value = found.value_or(QString());
    return found.has_value();
}

// ---- dialogs --------------------------------------------------------------------------

void ShowMessageBox(QWidget* Owner, const QString& Caption, const QString& Text, unsigned Flags)
{
    platform::dialogs().messageBox(Owner, Caption, Text, Flags);
}

bool AskYesNo(QWidget* Owner, const QString& Caption, const QString& Text, unsigned Flags)
{
    return platform::dialogs().messageBox(Owner, Caption, Text, Flags | platform::MB_YESNO) == platform::IDYES;
}

QString BrowseForFolderKey()
{
    return QStringLiteral("Software\\Shell\\") + platform::executableFileName() + QStringLiteral("\\BrowseForFolder\\");
}

QString BrowseCallback(const QString& rememberedFolder, const QString& root)
{
    return rememberedFolder.isEmpty() ? root : rememberedFolder;
}

bool BrowseForFolder(const QString& Title, QString& Folder, const QString& Root, const QString& ValueName,
                     QWidget* Owner)
{
    Folder.clear();
    const QString remembered = platform::readRegistryString(BrowseForFolderKey(), ValueName).value_or(QString());
    const std::optional<QString> chosen =
        platform::dialogs().chooseFolder(Owner, Title, BrowseCallback(remembered, Root));
    if (!chosen || chosen->isEmpty())
        return false;
    Folder = *chosen;
    platform::writeRegistryString(BrowseForFolderKey(), ValueName, Folder);
    Folder = platform::withTrailingSeparator(Folder);
    return true;
}

// ---- folders -----------------------------------------------------------------------------

namespace {
QString tempFolderCache;
QString selfPathCache;
}  // namespace

QString SystemTempPath()
{
    return platform::systemTempPath();
}

QString TempFolder(bool bOwnFolder)
{
    const QString title = platform::applicationTitle();
    if (tempFolderCache.isEmpty() || title.isEmpty())
        tempFolderCache = SystemTempPath();
    if (!bOwnFolder)
        return tempFolderCache;
    const QString folder = tempFolderCache + title + QLatin1Char(platform::PathSeparator);
    platform::forceDirectories(folder);
    return folder;
}

QString SelfPath()
{
    if (selfPathCache.isEmpty()) {
        const QString path = platform::executablePath();
        selfPathCache = path.left(path.lastIndexOf(QLatin1Char(platform::PathSeparator)) + 1);
    }
    return selfPathCache;
}

QString SpecialFolderPath(int CSIDL)
{
    const QString folder = platform::specialFolder(CSIDL);
    return folder.isEmpty() ? QString(QLatin1Char(platform::PathSeparator)) : platform::withTrailingSeparator(folder);
}
