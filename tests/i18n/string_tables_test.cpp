// The string tables start out showing their own indices.
#include "i18n/virtual_string_list.h"
#include "platform/platform_errors.h"

#include <QVariant>

#include <gtest/gtest.h>

TEST(TVirtualStringList, SetCountGivesOneLineMoreThanItsValue)
{
    TVirtualStringList table;
    table.SetSetCount(40);
    ASSERT_EQ(table.Lines()->Count(), 41);
    EXPECT_EQ((*table.Lines())[0], QStringLiteral("0"));
    EXPECT_EQ((*table.Lines())[40], QStringLiteral("40"));

    table.SetSetCount(0);
    EXPECT_EQ(table.Lines()->lines(), QStringList{QStringLiteral("0")});
    table.SetSetCount(-1);
    EXPECT_EQ(table.Lines()->Count(), 0);
    EXPECT_EQ(table.SetCount(), -1);

    // the largest count is taken; a larger one is invalid and changes nothing
    table.SetSetCount(TVirtualStringList::MaxSetCount);
    EXPECT_EQ(table.Lines()->Count(), TVirtualStringList::MaxSetCount + 1);
    table.SetSetCount(3);
    for (int invalid : {TVirtualStringList::MaxSetCount + 1, 2147483647}) {
        table.SetSetCount(invalid);
        EXPECT_EQ(table.SetCount(), 3) << invalid;
        EXPECT_EQ(table.Lines()->Count(), 4) << invalid;
    }
}

TEST(TVirtualStringList, ANewSetCountDiscardsTranslatedLines)
{
    TVirtualStringList table;
    table.SetSetCount(2);
    table.Lines()->Put(1, QStringLiteral("Continue"));
    table.SetSetCount(2);
    EXPECT_EQ(table.Lines()->lines(), (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}));
    EXPECT_THROW((*table.Lines())[3], Exception);
}

TEST(TVirtualStringList, TextEndsEveryLineWithCrLfAndSplitsAtAnyBreak)
{
    TVirtualStringList table;
    table.SetText(QStringLiteral("first\r\nsecond\nthird\rfourth"));
    EXPECT_EQ(table.Lines()->Count(), 4);
    table.SetText(QStringLiteral("Download size: %S Mb\r\nDo you want to continue?"));
    EXPECT_EQ(table.Text(), QStringLiteral("Download size: %S Mb\r\nDo you want to continue?\r\n"));
}

TEST(TVirtualStringList, PublishesItsPropertiesByName)
{
    TVirtualStringList table;
    ASSERT_TRUE(table.setProperty("SetCount", 5));
    ASSERT_TRUE(table.setProperty("Name", QStringLiteral("Shortcuts")));
    EXPECT_EQ(table.objectName(), QStringLiteral("Shortcuts"));
    EXPECT_EQ(table.Lines()->Count(), 6);
    auto* lines = table.property("Lines").value<TStrings*>();
    ASSERT_NE(lines, nullptr);
    EXPECT_STREQ(lines->metaObject()->className(), "TStrings");
}
