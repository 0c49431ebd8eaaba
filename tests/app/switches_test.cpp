// Switch names are compared through a variant of lookup3's hashlittle; the
// expected values were worked out with an independent implementation of the
// published function (checked against its published test values) whose state
// starts at 0xdeadbeef + 4 * length + initval.
#include "app/application_extended.h"

#include <gtest/gtest.h>

TEST(SwitchNameHash, MatchesIndependentlyComputedValues)
{
    EXPECT_EQ(HashLittle(QByteArray(), 0), 0xdeadbeefu);                               // 0 bytes
    EXPECT_EQ(HashLittle("x", 0), 0x6fca75bfu);                                         // 1 byte
    EXPECT_EQ(HashLittle("uninstallnow", 0), 0x2bed8115u);                              // 12 bytes
    EXPECT_EQ(HashLittle("abcdefghijklm", 0), 0x1e3e298cu);                             // 13 bytes
    EXPECT_EQ(HashLittle("abcdefghijklmnopqrstuvwx", 0), 0xfbed6578u);                  // 24 bytes
    EXPECT_EQ(SwitchNameHash(QStringLiteral("STREAM")), 0x1931fe20u);
    EXPECT_EQ(SwitchNameHash(QStringLiteral("UnInstall")), 0x75e563feu);
}

TEST(SwitchNameHash, LowerCasesAsciiLettersOnlyAndHashesCodePageBytes)
{
    qputenv("LC_ALL", "en_GB.UTF-8");  // a Western code page: windows-1252
    EXPECT_EQ(SwitchNameHash(QStringLiteral("Stream")), SwitchNameHash(QStringLiteral("stream")));
    EXPECT_NE(SwitchNameHash(QStringLiteral("STRÄM")), SwitchNameHash(QStringLiteral("sträm")));
    EXPECT_EQ(SwitchNameHash(QStringLiteral("sträm")), HashLittle("str\xE4m", 0));
    // letters the code page lacks become "?"
    EXPECT_EQ(SwitchNameHash(QStringLiteral("поток")), HashLittle("?????", 0));
    qputenv("LC_ALL", "ru_RU.UTF-8");  // windows-1251
    EXPECT_EQ(SwitchNameHash(QStringLiteral("поток")), HashLittle("\xEF\xEE\xF2\xEE\xEA", 0));
    qunsetenv("LC_ALL");
}

TEST(HasCmdLineSwitch, CutsAtTheEqualsSignAndNeedsASwitchSign)
{
    const QString name = QStringLiteral("uninstall");
    EXPECT_TRUE(HasCmdLineSwitch(name, {QStringLiteral("/uninstall")}));
    EXPECT_FALSE(HasCmdLineSwitch(QStringLiteral("uninstallnow"), {QStringLiteral("/uninstall")}));
    EXPECT_TRUE(HasCmdLineSwitch(name, {QStringLiteral("-UNINSTALL")}));
    EXPECT_TRUE(HasCmdLineSwitch(name, {QStringLiteral("-uninstall=x")}));
    EXPECT_FALSE(HasCmdLineSwitch(name, {QStringLiteral("-uninstall:x")}));
    EXPECT_FALSE(HasCmdLineSwitch(name, {QStringLiteral("--uninstall")}));
    EXPECT_FALSE(HasCmdLineSwitch(name, {}));
    EXPECT_FALSE(HasCmdLineSwitch(name, {QStringLiteral("-other"), QStringLiteral("+uninstall")}));
}

TEST(GetCmdLineSwitchValue, SplitsAtTheFirstColonAndTheFirstMatchWins)
{
    struct Case {
        QStringList arguments;
        bool found;
        QString value;
    };
    const QList<Case> cases = {
        {{QStringLiteral("-stream:beta")}, true, QStringLiteral("beta")},
        {{QStringLiteral("/STREAM:beta")}, true, QStringLiteral("beta")},
        {{QStringLiteral("-Stream:Beta")}, true, QStringLiteral("Beta")},
        {{QStringLiteral("-stream")}, true, QString()},
        {{QStringLiteral("-stream=beta")}, false, QString()},
        {{QStringLiteral("-stream:beta:x")}, true, QStringLiteral("beta:x")},
        {{QStringLiteral("-stream:a"), QStringLiteral("-stream:beta")}, true, QStringLiteral("a")},
        {{QStringLiteral("stream:beta")}, false, QString()},
        {{}, false, QString()},
    };
    for (const Case& c : cases) {
        QString value = QStringLiteral("stale");
        EXPECT_EQ(GetCmdLineSwitchValue(QStringLiteral("stream"), value, c.arguments), c.found)
            << c.arguments.join(' ').toStdString();
        EXPECT_EQ(value, c.value) << c.arguments.join(' ').toStdString();
    }
}
