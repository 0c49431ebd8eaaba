#include "ui/window_fonts.h"

#include <QFontDatabase>
#include <QFontInfo>

QString InstalledFamilyOr(const QString& family)
{
    if (QFontDatabase::hasFamily(family))
        return family;
    QFont sans;
    sans.setStyleHint(QFont::SansSerif);
    sans.setFamily(sans.defaultFamily());
    return QFontInfo(sans).family();
}

QFont WindowFont(int points)
{
    static const QString family = InstalledFamilyOr(QStringLiteral("Tahoma"));
    return QFont(family, points);
}

QFont WindowFont()
{
    return WindowFont(8);
}

QFont PageFont(int points)
{
    static const QString family = InstalledFamilyOr(QStringLiteral("Segoe UI"));
    QFont font(family, points);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}
