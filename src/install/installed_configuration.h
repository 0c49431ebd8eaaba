#pragma once
// What ties an installed application to its installation: Core.xml in the install
// folder, Application.xml in the configuration folder, and the installation key in the
// user's registry. The same new key goes to the registry and into Core.xml.

#include <QString>

class TSource;

// The registry key of the installation keys, and the value of an edition.
inline const QString InstallationKeyRegistryKey = QStringLiteral("Software\\Tarnvek\\vrn\\");
QString InstallationKeyValueName(bool beta);

// Root element of a Core.xml that the archive did not carry.
inline const QString NewCoreRootName = QStringLiteral("vrn");

// Updates Core.xml in place: the root's path, hid and key attributes and its number
// element; everything else in the file stays. Raises when the file cannot be saved.
// With `keyForLater` the new key is made and logged but not stored: a Core.xml written
// into a tree that is not yet in place hands the key out, and the caller stores it with
// WriteInstallationKey once the tree has replaced the installation.
void MakeCoreXML(const QString& FileName, const QString& InstallPath, int Number, bool beta,
                 QString* keyForLater = nullptr);
// Stores a key made by MakeCoreXML as "key" or "key-beta".
void WriteInstallationKey(bool beta, const QString& key);
// Writes Application.xml anew: root vrn with path and hid, and global/lang, workmode, eula.
void MakeConfigXML(const QString& FileName, const QString& InstallPath, const QString& LangID);
// A new key ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"), stored as "key" or "key-beta".
QString MakeAndWriteInstallationKey(bool beta);
// A new key in the registry's form, without storing it.
QString NewInstallationKey();
// The release number of the descriptor "system.xml" in the source's work folder; in a
// local installation it is first taken from the program's resource 200 and the copy is
// deleted afterwards. 0 without a descriptor or a number.
int ReturnReleaseNumber(TSource& Source, bool IsLocal);
