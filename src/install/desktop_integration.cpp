#include "install/desktop_integration.h"

#include "app/setup_logging.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

void logError(const QString& step, const std::exception& error)
{
    Logger().Error(QStringLiteral("[CInstallation] ") + step + QStringLiteral(": ") + errorText(error));
}

QByteArray setupIcon()
{
    return platform::readResource(platform::executablePath(), platform::ResourceId::named(QStringLiteral("ICON")));
}

// The archive's own image when it carries a readable one, else the setup's icon.
void installProductIcon(const CStringManager& paths)
{
    QFile carried(paths.U(vsInstallPath) + ProductIconFile);
    if (carried.open(QIODevice::ReadOnly)) {
        try {
            platform::installIcon(ProductIconName(paths), carried.readAll());
            return;
        } catch (const EFCreateError& error) {
            // the setup's own icon stands in
            Logger().Info(QStringLiteral("[CInstallation] InstallIcon: ") + errorText(error));
        }
    }
    platform::installIcon(ProductIconName(paths), setupIcon());
}

}  // namespace

QString ProductIconName(const CStringManager& paths)
{
    return QFileInfo(QDir::cleanPath(paths.U(vsInstallPath))).fileName().toLower();
}

QString ProductMenuTitle(const CStringManager& paths)
{
    return QFileInfo(QDir::cleanPath(paths.U(vsProgramsGroup))).fileName();
}

platform::ShellLinkLook ProductLinkLook(const CStringManager& paths, const QString& comment)
{
    return {ProductIconName(paths), comment, {QStringLiteral("Utility")}};
}

void IntegrateWithDesktop(const CStringManager& paths)
{
    try {
        installProductIcon(paths);
    } catch (const std::exception& error) {
        logError(QStringLiteral("InstallIcon"), error);
    }
    try {
        platform::registerMenuFolder(paths.U(vsProgramsGroup), ProductMenuTitle(paths), ProductIconName(paths));
    } catch (const std::exception& error) {
        logError(QStringLiteral("CreateMenuLinks"), error);
    }
}

void CreateDesktopEntry(const CStringManager& paths, const QString& comment)
{
    const QString link = paths.U(vsDesktopLink);
    // a fresh account may have no desktop folder yet
    const QString folder = QFileInfo(link).absolutePath();
    if (!platform::forceDirectories(folder)) {
        logError(QStringLiteral("CreateDesktopLink"),
                 fileCreateError(folder, QStringLiteral("The desktop folder cannot be created.")));
        return;
    }
    if (CSetupCore::CreateLink(paths.U(vsRunExe), link, QString(), QString(), ProductLinkLook(paths, comment)))
        platform::markShellLinkTrusted(link);
    else
        logError(QStringLiteral("CreateDesktopLink"),
                 fileCreateError(link, QStringLiteral("The desktop entry cannot be written.")));
}

QStringList RemoveDesktopIntegration(const CStringManager& paths)
{
    return platform::removeIcon(ProductIconName(paths)) + platform::unregisterMenuFolder(paths.U(vsProgramsGroup));
}
