// The parts of the platform interface that are the same on every system.
#include "platform/platform.h"

#include <QFileInfo>

namespace platform {

QString withTrailingSeparator(const QString& path)
{
    QString result = withoutTrailingSeparator(path);
    if (!result.endsWith(QLatin1Char(PathSeparator)))
        result += QLatin1Char(PathSeparator);
    return result;
}

QString withoutTrailingSeparator(const QString& path)
{
    QString result = path;
    while (result.size() > 1 && result.endsWith(QLatin1Char(PathSeparator)))
        result.chop(1);
    return result;
}

bool entryExists(const QString& path)
{
    const QFileInfo entry(withoutTrailingSeparator(path));
    return entry.exists() || entry.isSymLink();
}

ResourceId ResourceId::fromText(const QString& text)
{
    if (text.startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const int value = text.mid(1).toInt(&ok);
        if (ok && value >= 0)
            return numbered(value);
    }
    return named(text);
}

QString ResourceId::text() const
{
    return isNumbered() ? QStringLiteral("#%1").arg(id) : name;
}

bool ResourceId::matches(const ResourceId& other) const
{
    if (isNumbered() || other.isNumbered())
        return id == other.id;
    return name.compare(other.name, Qt::CaseInsensitive) == 0;
}

}  // namespace platform
