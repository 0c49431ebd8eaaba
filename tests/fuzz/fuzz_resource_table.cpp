// An executable's resource table as the setup finds it in a package someone carried:
// every resource the table lists is read back with exactly its listed size, or the
// table is refused as damaged.
#include "fuzz_target.h"

#include "platform/platform.h"
#include "platform/platform_errors.h"

#include <QFile>
#include <QTemporaryDir>

FUZZ_TARGET(resource_table)
{
    static QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("package.exe"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
        return;
    file.close();
    QList<platform::ResourceEntry> entries;
    try {
        entries = platform::listResources(path);
    } catch (const EInOutError&) {
        return;
    }
    for (const platform::ResourceEntry& entry : entries) {
        FUZZ_EXPECT(entry.size >= 0 && entry.size <= static_cast<qint64>(size));
        try {
            FUZZ_EXPECT(platform::readResource(path, entry.id).size() == entry.size);
        } catch (const EResNotFound&) {
            // a later entry of the same id shadows this one
        }
    }
}
