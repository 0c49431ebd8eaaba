#pragma once
// How an installed edition meets the desktop beyond its links: its icon in the user's
// icon theme, its programs-menu folder shown as one submenu, the look its links share,
// the desktop entry marked as trusted; and the removal of all of it.

#include "app/setup_core.h"

#include <QString>
#include <QStringList>

// The image in the install folder that becomes the edition's icon when the archive
// carries one; otherwise the setup's own icon is used.
inline const QString ProductIconFile = QStringLiteral("Vorlen.png");

// The edition's icon name in the icon theme: its install folder's name in lower case
// ("vorlen", "vorlen-beta"), so both editions keep their own.
QString ProductIconName(const CStringManager& paths);
// The look of the edition's links: its icon, `comment`, and a menu category.
platform::ShellLinkLook ProductLinkLook(const CStringManager& paths, const QString& comment);
// The title of the edition's submenu: the name of its programs-menu folder.
QString ProductMenuTitle(const CStringManager& paths);

// Installs the icon and shows the programs-menu folder, with the links already in it, as
// one submenu. A failure is an ERROR line; the links work without either.
void IntegrateWithDesktop(const CStringManager& paths);
// Writes the desktop entry, creating the desktop folder when it is missing (a failure
// is an ERROR line), and marks the entry as trusted.
void CreateDesktopEntry(const CStringManager& paths, const QString& comment);
// Removes the icon and the submenu's files; returns what could not be deleted.
QStringList RemoveDesktopIntegration(const CStringManager& paths);
