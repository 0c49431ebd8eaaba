// An unattended install against a person's install of the same release, in one
// process: the same records in the same order (the unattended run adds only its
// "[Unattended] " reports), and the same installed files.
#include "install/flow_support.h"
#include "archive/zip_maker.h"

#include "app/unattended_switches.h"
#include "i18n/setup_translator.h"
#include "install/setup_installation.h"
#include "platform/platform.h"
#include "support/recording_dialogs.h"
#include "ui/answer_policy.h"

#include <QDirIterator>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace flowtest;

namespace {

// The records of the last run in the log, with what differs between any two runs masked.
QStringList lastRunRecords(const QString& base)
{
    QStringList lines = scriptRecords(base);
    const qsizetype start = lines.lastIndexOf(QStringLiteral("INFO:[CInstallation] Run - Begin"));
    lines = lines.mid(start);
    static const QRegularExpression variable(QStringLiteral("\\{[0-9A-Fa-f-]{36}\\}|0x[0-9A-F]{8}"));
    for (QString& line : lines)
        line.replace(variable, QStringLiteral("<masked>"));
    // the install counter runs on a thread nobody waits for: its records fall anywhere
    lines.removeIf([](const QString& line) { return line.startsWith(QLatin1String("INFO:[CNetwork class] Get: ")); });
    return lines;
}

QStringList installedFiles()
{
    QStringList files;
    for (const QString& root : {sandbox::dataHome(), sandbox::configHome() + QStringLiteral("/Ostrelle")}) {
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next();
    }
    files.sort();
    return files;
}

void startRun(ReleaseServer& server)
{
    const QString base = server.base();
    qputenv("VRN_RELEASE_BASE_URL", base.toUtf8());
    qputenv("VRN_COUNTER_RELEASE_URL", (base + QStringLiteral("count")).toUtf8());
    gSystemLangAlias = QStringLiteral("en_GB");
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    CTranslator::SetBetaMode(false);
}

}  // namespace

TEST(UnattendedFlow, AnswersThePagesAsAPersonDoesAndInstallsTheSameFiles)
{
    nettest::startLog(QStringLiteral("unattended-flow"));
    testDialogs().reset();
    const QString archive = sandbox::freshFolder(QStringLiteral("release")) + QStringLiteral("/vrnsetup.zip");
    zipmaker::write(archive, {zipmaker::file(QStringLiteral("Vorlen.exe"), "#!/bin/sh\n"),
                              zipmaker::file(QStringLiteral("command line.txt"), "options")});
    const QByteArray zip = readFile(archive);
    ReleaseServer server;
    server.serve("system.xml", descriptor(QStringLiteral("15"), zip.size(), 2));
    server.serve("vrnsetup.zip", zip);
    server.serve("count", "counted");
    server.start();
    startRun(server);

    // a person: default language, licence accepted, no start afterwards, Yes to the size question
    testDialogs().answers = {platform::IDYES};
    {
        ScriptedUser person;
        person.press(QStringLiteral("lbBox"))
            .acceptLicence()
            .then([] { return visible(QStringLiteral("cbRunAfterInstall")); },
                  [] { control<QAbstractButton>(QStringLiteral("cbRunAfterInstall"))->click(); })
            .press(QStringLiteral("rbInstall"))
            .press(QStringLiteral("lbText5"));
        CreateMainWindow(gSystemLangAlias)->show();
        CInstallation::Run();
        ASSERT_TRUE(person.finished());
    }
    const QStringList personRecords = lastRunRecords(server.base());
    const QStringList personFiles = installedFiles();
    delete MainWindow;

    TUnattendedOptions options;
    options.Silent = options.AcceptEula = options.NoRun = true;
    int exitCode = -1;
    {
        TAnswerPolicy answers(options);
        CreateMainWindow(gSystemLangAlias);
        CInstallation::Run();
        exitCode = answers.Finish();
    }
    EXPECT_EQ(exitCode, ecDone);
    QStringList unattendedRecords = lastRunRecords(server.base());
    const QStringList reports = unattendedRecords.filter(QStringLiteral("INFO:[Unattended] "));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].startsWith(QStringLiteral("INFO:[Unattended] Message box \""))) << reports[0].toStdString();
    EXPECT_TRUE(reports[0].endsWith(QStringLiteral("-> Yes"))) << reports[0].toStdString();
    unattendedRecords.removeAll(reports[0]);
    EXPECT_EQ(unattendedRecords.join(QLatin1Char('\n')).toStdString(), personRecords.join(QLatin1Char('\n')).toStdString());
    EXPECT_EQ(installedFiles(), personFiles);
    EXPECT_EQ(personFiles.size(), 11) << personFiles.join(QLatin1Char(' ')).toStdString();
}
