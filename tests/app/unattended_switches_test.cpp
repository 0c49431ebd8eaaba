// The switches of an unattended run: what they answer, and which command lines are
// usage errors. Without "-silent" nothing is read, so an interactive run never fails on them.
#include "app/unattended_switches.h"

#include <QDir>

#include <gtest/gtest.h>

TEST(UnattendedSwitches, AnswersAndUsageErrors)
{
    const struct {
        QStringList arguments;
        bool uninstallNow;
        QString lang;
        bool beta;
        QString error;  // a fragment of the usage error; empty: none
    } cases[] = {
        {{QStringLiteral("-lang:xx"), QStringLiteral("-package")}, false, {}, false, {}},
        {{QStringLiteral("/Silent"), QStringLiteral("-LANG:ru_ru")}, false, QStringLiteral("ru_RU"), false, {}},
        {{QStringLiteral("-silent"), QStringLiteral("-lang:")}, false, {}, false, QStringLiteral("unknown language")},
        {{QStringLiteral("-silent"), QStringLiteral("-lang:de_DE")}, false, {}, false, QStringLiteral("unknown language")},
        {{QStringLiteral("-silent"), QStringLiteral("-package:")}, false, {}, false, QStringLiteral("needs a folder")},
        {{QStringLiteral("-silent"), QStringLiteral("-edition:gold")}, false, {}, false, {}},
        {{QStringLiteral("-silent")}, true, {}, false, QStringLiteral("needs -edition")},
        {{QStringLiteral("-silent"), QStringLiteral("-edition:")}, true, {}, false, QStringLiteral("needs -edition")},
        {{QStringLiteral("-silent"), QStringLiteral("-edition:gold")}, true, {}, false, QStringLiteral("unknown edition")},
        {{QStringLiteral("-silent"), QStringLiteral("/EDITION:Beta")}, true, {}, true, {}},
        {{QStringLiteral("-silent"), QStringLiteral("-edition:release")}, true, {}, false, {}},
    };
    for (const auto& c : cases) {
        const TUnattendedOptions options = ParseUnattendedOptions(c.arguments, c.uninstallNow);
        const std::string what = c.arguments.join(' ').toStdString();
        EXPECT_EQ(options.Lang, c.lang) << what;
        EXPECT_EQ(options.BetaEdition, c.beta) << what;
        EXPECT_EQ(options.UsageError.isEmpty(), c.error.isEmpty()) << what << " " << options.UsageError.toStdString();
        EXPECT_TRUE(options.UsageError.contains(c.error)) << what << " " << options.UsageError.toStdString();
    }
}

TEST(UnattendedSwitches, FlagsAndAPackageFolderTakenFromTheCurrentFolder)
{
    const TUnattendedOptions options = ParseUnattendedOptions(
        {QStringLiteral("-silent"), QStringLiteral("-AcceptEULA"), QStringLiteral("/desktopicon"), QStringLiteral("-norun"),
         QStringLiteral("-progress"), QStringLiteral("-package:out/../pkg")},
        false);
    EXPECT_TRUE(options.Silent && options.AcceptEula && options.DesktopIcon && options.NoRun && options.Progress);
    EXPECT_EQ(options.PackageFolder, QDir::current().absoluteFilePath(QStringLiteral("pkg")));
    const TUnattendedOptions bare = ParseUnattendedOptions({QStringLiteral("-silent")}, false);
    EXPECT_FALSE(bare.AcceptEula || bare.DesktopIcon || bare.NoRun || bare.Progress || !bare.PackageFolder.isEmpty());
    EXPECT_TRUE(HelpRequested({QStringLiteral("/?")}));
    EXPECT_TRUE(HelpRequested({QStringLiteral("-HELP")}));
    EXPECT_FALSE(HelpRequested({QStringLiteral("help")}));
}
