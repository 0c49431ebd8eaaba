#pragma once
// The window's fonts: the families the pages name, each replaced by the system's
// sans-serif font where that family is not installed.

#include <QFont>
#include <QString>

// The family itself when installed, otherwise the system's sans-serif family.
QString InstalledFamilyOr(const QString& family);
// The window's font: Tahoma, 8 points.
QFont WindowFont();
// The window's family at another size.
QFont WindowFont(int points);
// "Segoe UI" at `points`, drawn with natural (unhinted) antialiasing.
QFont PageFont(int points);
