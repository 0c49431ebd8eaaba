// The list of what an installation placed, read back as it was written.
#include "install/installed_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Every folder above a placed path is listed once, whatever order the paths come in (a
// folder whose name begins another's included), and each file with a digest has its
// record; names in any script come back as they went in.
TEST(InstalledFilesList, ListsEveryFolderOnceAndRecordsTheFilesWithDigests)
{
    QTemporaryDir dir;
    const QString tree = dir.path() + QLatin1Char('/');
    const QStringList placed = {QStringLiteral("ab/1.txt"),      QStringLiteral("a/x.txt"),
                                QStringLiteral("b/deep/x.txt"),  QStringLiteral("b/deep"),
                                QStringLiteral("b/deep/y.txt"),  QStringLiteral("b/z.txt"),
                                QStringLiteral("Ünï/файл.txt"), QStringLiteral("top.txt")};
    for (const QString& path : placed) {
        QDir().mkpath(QFileInfo(tree + path).path());
        QFile file(tree + path);
        if (path != QLatin1String("b/deep"))
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(path.toUtf8()) > 0);
    }
    const std::map<QString, QByteArray> digests = {{QStringLiteral("a/x.txt"), QByteArray(32, '\x01')},
                                                   {QStringLiteral("Ünï/файл.txt"), QByteArray(32, '\xfe')}};

    WriteInstalledFilesList(tree, placed, digests);

    const std::optional<InstalledFiles> files = ReadInstalledFiles(tree);
    ASSERT_TRUE(files);
    const QStringList folders = {QStringLiteral("a"), QStringLiteral("ab"), QStringLiteral("b"),
                                 QStringLiteral("b/deep"), QStringLiteral("Ünï")};
    std::set<QString> expected(folders.begin(), folders.end());
    expected.insert(placed.begin(), placed.end());
    EXPECT_EQ(files->placed, expected);
    ASSERT_EQ(files->records.size(), digests.size());
    for (const auto& [path, digest] : digests) {
        EXPECT_EQ(files->records.at(path).sha256, digest) << path.toStdString();
        EXPECT_EQ(files->records.at(path).stamp, platform::fileStamp(tree + path)) << path.toStdString();
    }
}
