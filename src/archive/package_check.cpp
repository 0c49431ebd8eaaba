#include "archive/package_check.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "archive/zip_archive.h"
#include "net/setup_source.h"
#include "xml/ex_simple_xml.h"

#include <QFile>

namespace {

const QString Prefix = QStringLiteral("[CInstallation] ValidateZipPackage");

struct Expected {
    qint64 count = 0;
    qint64 bytes = 0;
    QString sha256;  // empty when the descriptor carries none
};

Expected readDescriptor(TSource& Source)
{
    TExSimpleXML xml;
    xml.LoadXMLFile(Source.Use(QStringLiteral("system.xml")));
    Expected expected;
    // the count is a 32-bit value in the descriptor's contract
    expected.count = static_cast<qint32>(
        xml.ReadProperties(QStringLiteral("size"), QStringLiteral("fileCount"), {}, static_cast<qint64>(0)));
    expected.bytes = xml.ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), {}, static_cast<qint64>(0));
    expected.sha256 = xml.ReadProperties(QStringLiteral("size"), QStringLiteral("sha256"), {}, QString());
    return expected;
}

// Length and count agree: the bytes themselves must be the published ones. A build
// with a key accepts no archive whose descriptor names no hash.
TZipPackageCheck compareHash(const Expected& expected, TSource& Source, bool keyCompiledIn)
{
    TZipPackageCheck check;
    if (expected.sha256.isEmpty() && !keyCompiledIn) {
        check.Result = true;
        return check;
    }
    // taken while the archive was downloaded: no second pass over it
    const QByteArray actual = Source.Sha256Of(QStringLiteral("vrnsetup.zip"));
    check.Result = !expected.sha256.isEmpty() && actual == expected.sha256.trimmed().toLower().toLatin1();
    if (!check.Result) {
        Logger().Error(Prefix + QStringLiteral(": { zipSha256: %1, actualZipSha256: %2 }")
                                    .arg(expected.sha256, QString::fromLatin1(actual)));
        check.Reason = ZipHashReason;
    }
    return check;
}

qint64 fileLength(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw fileOpenError(path, file.errorString());
    return file.size();
}

TZipPackageCheck compare(const Expected& expected, qint64 actualBytes, qint64 actualCount)
{
    TZipPackageCheck check;
    check.Result = expected.bytes == actualBytes && expected.count == actualCount;
    if (check.Result)
        return check;
    Logger().Error(Prefix + QStringLiteral(": { zipSize: %1, actualZipSize: %2 }, { zipFileCount: %3, actualZipFileCount: %4 }")
                                .arg(expected.bytes)
                                .arg(actualBytes)
                                .arg(expected.count)
                                .arg(actualCount));
    if (expected.bytes != actualBytes)
        check.Reason = ZipSizeReason;
    if (expected.count != actualCount)
        check.Reason = ZipCountReason;
    return check;
}

TZipPackageCheck checkGuarded(TSource& Source, bool IsLocal, const QString& PublicKey)
{
    if (IsLocal)
        Source.RequestResource2(QStringLiteral("system.xml"), 200);
    const Expected expected = readDescriptor(Source);
    const QString archive = Source.Use(QStringLiteral("vrnsetup.zip"));
    const qint64 actualBytes = fileLength(archive);
    QString refusal;
    std::shared_ptr<ZipArchive> opened = ZipArchive::Open(archive, refusal);
    if (!opened) {
        // the reader's reason, which an unattended run reports as its own
        Logger().Error(Prefix + QStringLiteral(": ") + refusal);
        return {};
    }
    const qint64 actualCount = opened->EntryCount();
    TZipPackageCheck check = compare(expected, actualBytes, actualCount);
    // the package the user carried was verified when it was made
    if (check.Result && !IsLocal)
        check = compareHash(expected, Source, !PublicKey.isEmpty());
    if (check.Result)
        check.Archive = std::move(opened);
    return check;
}

}  // namespace

TZipPackageCheck CheckZipPackage(TSource& Source, bool IsLocal, const QString& PublicKey)
{
    Logger().Info(Prefix);
    TZipPackageCheck check;
    try {
        check = checkGuarded(Source, IsLocal, PublicKey);
    } catch (const std::exception& error) {
        Logger().Error(Prefix + QStringLiteral(": ") + errorText(error));
        check = {};
    }
    Logger().Info(Prefix + QStringLiteral(": ") + BoolToStr(check.Result));
    return check;
}
