// The per-user registry: the key "Software\A\...\Z" is the file
// $XDG_CONFIG_HOME/A/.../Z.conf holding the key's values (the user's configuration
// folder stands for the user's "Software" branch).
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace platform {

namespace {

// The store stands for the user's own branch, so "Software\A\B" lives in $XDG_CONFIG_HOME/A/B.conf.
QString keyFile(const QString& key)
{
    QStringList parts = key.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (parts.size() > 1 && parts.first().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
           + parts.join(QLatin1Char('/')) + QStringLiteral(".conf");
}

// QSettings has no empty key; the default value of a key gets a name of its own.
QString settingName(const QString& valueName)
{
    return valueName.isEmpty() ? QStringLiteral("(Default)") : valueName;
}

}  // namespace

std::optional<QString> readRegistryString(const QString& key, const QString& valueName)
{
    const QSettings settings(keyFile(key), QSettings::IniFormat);
    const QVariant value = settings.value(settingName(valueName));
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() != QMetaType::QString)
        throw ERegistryException(QStringLiteral("Invalid data type for '%1'").arg(valueName));
    return value.toString();
}

void writeRegistryString(const QString& key, const QString& valueName, const QString& value)
{
    QSettings settings(keyFile(key), QSettings::IniFormat);
    settings.setValue(settingName(valueName), value);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw ERegistryException(QStringLiteral("Failed to set data for '%1'").arg(valueName));
    // the store written anew took over the old file's mode
    applyCreationMask(keyFile(key));
}

bool deleteRegistryValue(const QString& key, const QString& valueName)
{
    QSettings settings(keyFile(key), QSettings::IniFormat);
    if (!settings.contains(settingName(valueName)))
        return false;
    settings.remove(settingName(valueName));
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw ERegistryException(QStringLiteral("Failed to delete '%1'").arg(valueName));
    applyCreationMask(keyFile(key));
    return true;
}

void createRegistryKey(const QString& key)
{
    const QString file = keyFile(key);
    if (QFileInfo::exists(file))
        return;
    QFile store(file);
    if (!QDir().mkpath(QFileInfo(file).absolutePath()) || !store.open(QIODevice::Append))
        throw ERegistryException(QStringLiteral("Failed to create key %1").arg(key));
}

}  // namespace platform
