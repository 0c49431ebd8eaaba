// The programs menu and icons on freedesktop desktops: a folder of the menu becomes a
// submenu through a ".directory" entry and a merge file that desktops merge into their menu,
// and icons go into the user's "hicolor" icon theme.
#include "platform/platform.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamWriter>

namespace platform {

namespace {

constexpr int IconSize = 256;

QString dataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString iconFile(const QString& name)
{
    return dataHome() + QStringLiteral("/icons/hicolor/%1x%1/apps/%2.png").arg(IconSize).arg(name);
}

// The base name of the files that describe a menu folder: its own name, in characters
// that every desktop accepts in a file name.
QString menuFileBase(const QString& folder)
{
    QString base = QFileInfo(QDir::cleanPath(folder)).fileName();
    for (QChar& c : base) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('-');
    }
    return base;
}

QString directoryEntryFile(const QString& folder)
{
    return dataHome() + QStringLiteral("/desktop-directories/") + menuFileBase(folder) + QStringLiteral(".directory");
}

QString mergeFile(const QString& folder)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/menus/applications-merged/") + menuFileBase(folder) + QStringLiteral(".menu");
}

void saveFile(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly))
        throw fileCreateError(path, file.errorString());
    file.write(content);
    if (!file.commit())
        throw fileCreateError(path, file.errorString());
    // a file written over an older one took over its mode
    applyCreationMask(path);
}

QByteArray directoryEntry(const QString& title, const QString& icon)
{
    return QStringLiteral("[Desktop Entry]\nType=Directory\nName=%1\nIcon=%2\n").arg(title, icon).toUtf8();
}

// The desktop-file ids of the links in the folder: their path below the menu's
// applications folder with "/" as "-".
QStringList entryIds(const QString& folder)
{
    const QDir applications(specialFolder(2));
    QStringList ids;
    for (const QFileInfo& entry : QDir(folder).entryInfoList({QStringLiteral("*") + LinkExtension}, QDir::Files, QDir::Name))
        ids << applications.relativeFilePath(entry.absoluteFilePath()).replace(QLatin1Char('/'), QLatin1Char('-'));
    return ids;
}

QByteArray mergeMenu(const QString& folder, const QString& title)
{
    QByteArray text;
    QXmlStreamWriter xml(&text);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeDTD(QStringLiteral("<!DOCTYPE Menu PUBLIC \"-//freedesktop//DTD Menu 1.0//EN\"\n"
                                " \"http://www.freedesktop.org/standards/menu-spec/1.0/menu.dtd\">"));
    xml.writeStartElement(QStringLiteral("Menu"));
    xml.writeTextElement(QStringLiteral("Name"), QStringLiteral("Applications"));
    xml.writeStartElement(QStringLiteral("Menu"));
    xml.writeTextElement(QStringLiteral("Name"), title);
    xml.writeTextElement(QStringLiteral("Directory"), QFileInfo(directoryEntryFile(folder)).fileName());
    xml.writeStartElement(QStringLiteral("Include"));
    for (const QString& id : entryIds(folder))
        xml.writeTextElement(QStringLiteral("Filename"), id);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return text;
}

QStringList removeFiles(const QStringList& files)
{
    QStringList left;
    for (const QString& file : files) {
        const QFileInfo info(file);
        if ((info.exists() || info.isSymLink()) && !QFile::remove(file))
            left << file;
    }
    return left;
}

}  // namespace

void installIcon(const QString& name, const QByteArray& png)
{
    const QString target = iconFile(name);
    const QImage image = QImage::fromData(png, "PNG");
    if (image.isNull())
        throw fileCreateError(target, QStringLiteral("The image is not a readable PNG file."));
    // the theme's folder promises square icons of its size
    QImage icon(IconSize, IconSize, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    const QImage scaled = image.scaled(IconSize, IconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    {
        QPainter painter(&icon);
        painter.drawImage((IconSize - scaled.width()) / 2, (IconSize - scaled.height()) / 2, scaled);
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    icon.save(&buffer, "PNG");
    saveFile(target, encoded);
}

QStringList removeIcon(const QString& name)
{
    return removeFiles({iconFile(name)});
}

void registerMenuFolder(const QString& folder, const QString& title, const QString& icon)
{
    saveFile(directoryEntryFile(folder), directoryEntry(title, icon));
    saveFile(mergeFile(folder), mergeMenu(folder, title));
}

QStringList unregisterMenuFolder(const QString& folder)
{
    return removeFiles({mergeFile(folder), directoryEntryFile(folder)});
}

}  // namespace platform
