#pragma once
// The new tree of an update that fetched only what changed: the changed files come out
// of the stretches fetched into the archive's file (the rest of it are holes), each read
// by its own local header, which must say what the directory says, and written only when
// its size, CRC-32 and SHA-256 are those the signed directory gives; every other file is
// the installed one, linked (or copied where it takes another mode), so the installation
// stays whole until the new tree takes its place.

#include "archive/delta_plan.h"

#include <QString>
#include <QStringList>

// The changed entries whose fetched bytes are not what the directory says, by name.
QStringList DamagedChangedEntries(const QString& archive, const TDeltaPlan& plan);

// Makes `folder` (missing) the new release: its folders, the unchanged files from
// `installed` (the install folder) and the changed ones from `archive`. Throws EZipError
// for an entry whose bytes are not the directory's, EFCreateError or EInOutError.
void BuildDeltaTree(const QString& archive, const TDeltaPlan& plan, const QString& installed, const QString& folder);
