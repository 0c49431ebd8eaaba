#include "install/installed_configuration.h"

#include "app/setup_logging.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "xml/ex_simple_xml.h"

#include <QFile>
#include <QUuid>

namespace {

void info(const QString& line)
{
    Logger().Info(QStringLiteral("[CInstallation] ") + line);
}

}  // namespace

QString InstallationKeyValueName(bool beta)
{
    return beta ? QStringLiteral("key-beta") : QStringLiteral("key");
}

namespace {

QString makeInstallationKey(bool beta, bool store)
{
    info(QStringLiteral("MakeAndWriteInstallationKey"));
    const QString key = NewInstallationKey();
    if (store)
        WriteInstallationKey(beta, key);
    info(QStringLiteral("MakeAndWriteInstallationKey: ") + key);
    return key;
}

}  // namespace

void MakeCoreXML(const QString& FileName, const QString& InstallPath, int Number, bool beta, QString* keyForLater)
{
    info(QStringLiteral("MakeCoreXML: ") + FileName + QStringLiteral(", ") + InstallPath + QStringLiteral(", ")
         + QString::number(Number));
    TExSimpleXML xml;
    if (!xml.LoadXMLFile(FileName))
        xml.Root().SetName(NewCoreRootName);
    WriteElemProperty(xml.Root(), QStringLiteral("path"), InstallPath);
    WriteElemProperty(xml.Root(), QStringLiteral("hid"), platform::machineIdentifier());
    const QString key = makeInstallationKey(beta, keyForLater == nullptr);
    if (keyForLater)
        *keyForLater = key;
    WriteElemProperty(xml.Root(), QStringLiteral("key"), key);
    xml.WriteValue(QStringLiteral("number"), {}, static_cast<qint64>(Number));
    xml.SaveXMLFile(seUTF8);  // also when the archive's file declared another encoding or none
}

void MakeConfigXML(const QString& FileName, const QString& InstallPath, const QString& LangID)
{
    info(QStringLiteral("MakeConfigXML: %1, %2").arg(FileName, InstallPath));
    TExSimpleXML xml;
    xml.Root().SetName(QStringLiteral("vrn"));
    WriteElemProperty(xml.Root(), QStringLiteral("path"), InstallPath);
    WriteElemProperty(xml.Root(), QStringLiteral("hid"), platform::machineIdentifier());
    const QStringList global{QStringLiteral("global")};
    xml.WriteValue(QStringLiteral("lang"), global, LangID);
    xml.WriteValue(QStringLiteral("workmode"), global, QStringLiteral("1"));
    xml.WriteValue(QStringLiteral("eula"), global, QStringLiteral("True"));
    xml.SaveToFile(FileName, seUTF8);
    // written over the file of an earlier install, it took over that file's mode
    platform::applyCreationMask(FileName);
}

QString NewInstallationKey()
{
    return QUuid::createUuid().toString(QUuid::WithBraces).toUpper();
}

QString MakeAndWriteInstallationKey(bool beta)
{
    return makeInstallationKey(beta, true);
}

void WriteInstallationKey(bool beta, const QString& key)
{
    platform::writeRegistryString(InstallationKeyRegistryKey, InstallationKeyValueName(beta), key);
}

int ReturnReleaseNumber(TSource& Source, bool IsLocal)
{
    info(QStringLiteral("ReturnReleaseNumber"));
    const QString descriptor = QStringLiteral("system.xml");
    if (IsLocal)
        Source.RequestResource2(descriptor, 200);
    int number = 0;
    {
        TExSimpleXML xml;
        xml.LoadXMLFile(Source.Use(descriptor));
        number = ReadElemItemInt(xml.Root(), QStringLiteral("number"), 0);
    }
    if (IsLocal)
        QFile::remove(Source.Use(descriptor));  // a failed deletion leaves only a file in the work folder
    info(QStringLiteral("ReturnReleaseNumber: %1").arg(number));
    return number;
}
