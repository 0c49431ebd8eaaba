// Shell links as freedesktop Desktop Entry files.
#include "platform/platform.h"

#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

namespace platform {

namespace {

// Escapes of a string value: backslash and line breaks.
QString escapeValue(const QString& value)
{
    QString result = value;
    result.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    result.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    result.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    result.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    return result;
}

// One argument of Exec: quoted, with the characters that quoting reserves escaped.
QString quoteExecArgument(const QString& argument)
{
    QString quoted;
    for (QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString execLine(const QStringList& command)
{
    QStringList quoted;
    for (const QString& argument : command)
        quoted << quoteExecArgument(argument);
    return escapeValue(quoted.join(QLatin1Char(' ')));
}

bool isWebAddress(const QString& target)
{
    const QUrl url(target);
    return url.isValid() && !url.scheme().isEmpty() && url.scheme().size() > 1 && !url.isLocalFile();
}

QString entryText(const QString& target, const QString& name, const QString& description,
                  const QString& arguments, const ShellLinkLook& look)
{
    QString text = QStringLiteral("[Desktop Entry]\n");
    const QFileInfo file(target);
    const bool program = !isWebAddress(target);
    if (!program) {
        text += QStringLiteral("Type=Link\nURL=%1\n").arg(escapeValue(target));
    } else {
        QStringList command;
        if (file.isFile() && file.isExecutable())
            command << target << splitCommandLine(arguments);
        else
            command << QStringLiteral("xdg-open") << target;
        text += QStringLiteral("Type=Application\nExec=%1\n").arg(execLine(command));
    }
    text += QStringLiteral("Name=%1\n").arg(escapeValue(name));
    const QString comment = description.isEmpty() ? look.comment : description;
    if (!comment.isEmpty())
        text += QStringLiteral("Comment=%1\n").arg(escapeValue(comment));
    if (!look.icon.isEmpty())
        text += QStringLiteral("Icon=%1\n").arg(escapeValue(look.icon));
    // the only type that menus sort into categories
    if (program && !look.categories.isEmpty())
        text += QStringLiteral("Categories=%1;\n").arg(escapeValue(look.categories.join(QLatin1Char(';'))));
    return text;
}

}  // namespace

bool writeShellLink(const QString& target, const QString& linkPath, const QString& description,
                    const QString& arguments, const ShellLinkLook& look)
{
    const QString name = QFileInfo(linkPath).completeBaseName();
    QSaveFile file(linkPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(entryText(target, name, description, arguments, look).toUtf8());
    if (!file.commit())
        return false;
    // desktops start only entries that their owner marked executable; others read them as the umask allows
    const unsigned mask = fileCreationMask();
    QFile::setPermissions(linkPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                        | (mask & 040 ? QFile::Permissions() : QFile::ReadGroup)
                                        | (mask & 004 ? QFile::Permissions() : QFile::ReadOther));
    return true;
}

void markShellLinkTrusted(const QString& linkPath)
{
    // GNOME's desktop asks before it starts an entry that lacks this mark; gio fails at
    // once where no desktop keeps such marks, which is no error.
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty())
        return;
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(gio, {QStringLiteral("set"), QStringLiteral("-t"), QStringLiteral("string"), linkPath,
                        QStringLiteral("metadata::trusted"), QStringLiteral("true")});
    if (process.waitForStarted() && !process.waitForFinished(5000))
        process.kill();
}

}  // namespace platform
