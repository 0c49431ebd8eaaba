#pragma once
// The check of the setup archive against the release descriptor: its length in bytes
// and its number of entries must be those that the descriptor's size element announces,
// and its SHA-256 the one the descriptor names (required by a build with a release key).

#include "net/release_key.h"

#include <QString>

#include <memory>

class TSource;
class ZipArchive;

// The reason lines shown after the corrupted-download message.
inline const QString ZipSizeReason = QStringLiteral("\r\nZIP Size: Incorrect;");
inline const QString ZipCountReason = QStringLiteral("\r\nZIP File count: Incorrect;");
inline const QString ZipHashReason = QStringLiteral("\r\nZIP Hash: Incorrect;");

struct TZipPackageCheck {
    bool Result = false;
    // Empty, or one reason line; the count line wins when both values differ, and the
    // hash is compared only when both agree.
    QString Reason;
    // The archive as the check opened it, when it passed: the install reads it from there
    // instead of opening it again.
    std::shared_ptr<ZipArchive> Archive;
};

// Checks "vrnsetup.zip" against "system.xml" in the source's work folder, first writing
// the descriptor from resource 200 in a local installation. Logs the check's lines (the
// entry line, the ERROR detail or exception line, and the result line) and raises
// nothing; showing the failure to the user is the caller's. A local package is not
// hashed: the file the user carried is trusted. `PublicKey` is the build's release key.
TZipPackageCheck CheckZipPackage(TSource& Source, bool IsLocal,
                                 const QString& PublicKey = ReleaseIntegrity::CompiledPublicKey());
