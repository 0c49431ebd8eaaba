// The folder picker remembers the last folder per executable name.
#include "app/application_extended.h"
#include "platform/platform.h"
#include "support/recording_dialogs.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

TEST(BrowseForFolder, RemembersTheChoiceAndPreselectsItNextTime)
{
    testDialogs().reset();
    const QString chosen = sandbox::freshFolder(QStringLiteral("downloads"));
    testDialogs().folders = {chosen, std::nullopt, QStringLiteral("/")};

    QString folder = QStringLiteral("ignored");
    ASSERT_TRUE(BrowseForFolder(QStringLiteral("Select"), folder, QString(), QString(), nullptr));
    EXPECT_EQ(folder, chosen + QLatin1Char('/'));
    EXPECT_EQ(testDialogs().folderStarts.value(0), QString()) << "nothing remembered yet";
    EXPECT_EQ(platform::readRegistryString(BrowseForFolderKey(), QString()), chosen) << "stored without the separator";

    folder = QStringLiteral("ignored");
    EXPECT_FALSE(BrowseForFolder(QStringLiteral("Select"), folder, QString(), QString(), nullptr));
    EXPECT_TRUE(folder.isEmpty());
    EXPECT_EQ(testDialogs().folderStarts.value(1), chosen) << "the remembered folder is preselected";

    ASSERT_TRUE(BrowseForFolder(QStringLiteral("Select"), folder, QString(), QString(), nullptr));
    EXPECT_EQ(folder, QStringLiteral("/")) << "a root keeps its single separator";
    EXPECT_EQ(platform::readRegistryString(BrowseForFolderKey(), QString()), QStringLiteral("/"));
    EXPECT_TRUE(BrowseForFolderKey().startsWith(QStringLiteral("Software\\Shell\\test_app\\BrowseForFolder")));
}

TEST(SpecialFolderPath, EndsWithOneSeparator)
{
    EXPECT_EQ(SpecialFolderPath(16), sandbox::desktop() + QLatin1Char('/'));
    EXPECT_EQ(SpecialFolderPath(12345), QStringLiteral("/"));
}
