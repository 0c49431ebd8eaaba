#include "app/unattended_switches.h"

#include "app/application_extended.h"

#include <QDir>

#include <optional>

TUnattendedOptions gUnattended;

namespace {

bool has(const QStringList& arguments, const char* name)
{
    return HasCmdLineSwitch(QString::fromLatin1(name), arguments);
}

// The value of "-name:value"; nothing when the switch is absent.
std::optional<QString> valueOf(const QStringList& arguments, const char* name)
{
    QString value;
    if (!GetCmdLineSwitchValue(QString::fromLatin1(name), value, arguments))
        return std::nullopt;
    return value;
}

QString readLanguage(const QStringList& arguments, TUnattendedOptions& options)
{
    const std::optional<QString> lang = valueOf(arguments, "lang");
    if (!lang)
        return {};
    for (const char* offered : {"en_GB", "ru_RU"}) {
        if (lang->compare(QLatin1String(offered), Qt::CaseInsensitive) == 0) {
            options.Lang = QString::fromLatin1(offered);
            return {};
        }
    }
    return QStringLiteral("unknown language \"%1\" (-lang:en_GB or -lang:ru_RU)").arg(*lang);
}

QString readPackageFolder(const QStringList& arguments, TUnattendedOptions& options)
{
    const std::optional<QString> folder = valueOf(arguments, "package");
    if (!folder)
        return {};
    if (folder->isEmpty())
        return QStringLiteral("-package needs a folder (-package:DIR)");
    options.PackageFolder = QDir::cleanPath(QDir::current().absoluteFilePath(*folder));
    return {};
}

QString readEdition(const QStringList& arguments, TUnattendedOptions& options)
{
    const std::optional<QString> edition = valueOf(arguments, "edition");
    if (!edition || edition->isEmpty())
        return QStringLiteral("an unattended removal needs -edition:release or -edition:beta");
    const QString name = AsciiLowerCase(*edition);
    if (name != QLatin1String("release") && name != QLatin1String("beta"))
        return QStringLiteral("unknown edition \"%1\" (-edition:release or -edition:beta)").arg(*edition);
    options.BetaEdition = name == QLatin1String("beta");
    return {};
}

}  // namespace

TUnattendedOptions ParseUnattendedOptions(const QStringList& arguments, bool uninstallNow)
{
    TUnattendedOptions options;
    options.Silent = has(arguments, "silent");
    if (!options.Silent)
        return options;
    options.AcceptEula = has(arguments, "accepteula");
    options.DesktopIcon = has(arguments, "desktopicon");
    options.NoRun = has(arguments, "norun");
    options.Progress = has(arguments, "progress");
    options.Update = has(arguments, "update");
    for (const QString& error : {readLanguage(arguments, options), readPackageFolder(arguments, options),
                                 uninstallNow ? readEdition(arguments, options) : QString()}) {
        if (options.UsageError.isEmpty())
            options.UsageError = error;
    }
    return options;
}

bool HelpRequested(const QStringList& arguments)
{
    return has(arguments, "help") || has(arguments, "?");
}

QString SwitchesHelp()
{
    return QStringLiteral(
        "Usage: vrnsetup [switches]   (a switch starts with \"-\" or \"/\"; case is ignored)\n"
        "\n"
        "Interactive runs:\n"
        "  -stream:beta        install the beta edition\n"
        "  -uninstall          remove an installed edition (the uninstaller's own switch)\n"
        "  -uninstallnow       remove an edition from this copy, without copying it first\n"
        "\n"
        "Unattended runs (no window is shown, no display is needed):\n"
        "  -silent             install, prepare a package or remove without questions\n"
        "  -lang:en_GB|ru_RU   the language (default: the system's)\n"
        "  -accepteula         accept the licence; without it nothing is installed\n"
        "  -package:DIR        prepare the local installation package in DIR instead of installing\n"
        "  -desktopicon        put a link on the desktop\n"
        "  -norun              do not start the application after the install\n"
        "  -update             end at once (exit code 0) when the installed edition is the\n"
        "                      server's release; install it otherwise\n"
        "  -uninstallnow -silent -edition:release|beta\n"
        "                      remove that edition\n"
        "  -progress           download progress on standard error also when it is no terminal\n"
        "  -help, -?           print this text\n"
        "\n"
        "Exit codes of an unattended run: 0 done, 1 failed (the reason is printed),\n"
        "2 usage error, 3 licence not accepted, 4 cancelled by a termination signal.\n");
}
