// Unattended runs as an administrator's script starts them: build/bin/vrnsetup -silent
// as a process with no display at all, against a release published by vrn-publish and
// served on 127.0.0.1, each "machine" a fresh home with its own folders.
#include "net/release_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_machine.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

namespace {

// A published release: the descriptor and the archive of a tiny application.
struct Release {
    QByteArray descriptor;
    QByteArray archive;
};

const Release& release()
{
    static const Release published = [] {
        const QString work = sandbox::freshFolder(QStringLiteral("publish"));
        QDir().mkpath(work + QStringLiteral("/app"));
        QFile app(work + QStringLiteral("/app/Vorlen.exe"));
        EXPECT_TRUE(app.open(QIODevice::WriteOnly));
        app.write("#!/bin/sh\ntouch \"$HOME/ran\"\n");
        app.close();
        QFile text(work + QStringLiteral("/app/command line.txt"));
        EXPECT_TRUE(text.open(QIODevice::WriteOnly));
        const ProcessResult made = runProcess(builtProgram(QStringLiteral("vrn-publish")),
                                              {QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"),
                                               QStringLiteral("15"), QStringLiteral("--number"), QStringLiteral("7"),
                                               QStringLiteral("--setup"), builtProgram(), work + QStringLiteral("/release")});
        EXPECT_EQ(made.exitCode, 0) << made.err.toStdString();
        return Release{readFile(work + QStringLiteral("/release/system.xml")),
                       readFile(work + QStringLiteral("/release/vrnsetup.zip"))};
    }();
    return published;
}

std::unique_ptr<ReleaseServer> serveRelease(bool slowArchive = false)
{
    auto server = std::make_unique<ReleaseServer>();
    server->serve("system.xml", release().descriptor);
    server->serve("count", "ok");
    if (slowArchive)
        server->servePaced("vrnsetup.zip", release().archive, 200, 100);
    else
        server->serve("vrnsetup.zip", release().archive);
    server->start();
    return server;
}

QStringList installedTree(bool beta, bool desktop)
{
    const QString product = beta ? QStringLiteral("Vorlen-beta") : QStringLiteral("Vorlen");
    const QString menu = beta ? QStringLiteral("Vorlen BETA") : QStringLiteral("Vorlen");
    QStringList files = {QStringLiteral("config/Ostrelle/%1/Application.xml").arg(product),
                         QStringLiteral("data/Ostrelle/Apps/%1/.vrnsetup-files").arg(product),
                         QStringLiteral("data/Ostrelle/Apps/%1/Core.xml").arg(product),
                         QStringLiteral("data/Ostrelle/Apps/%1/Vorlen.exe").arg(product),
                         QStringLiteral("data/Ostrelle/Apps/%1/command line.txt").arg(product),
                         QStringLiteral("data/Ostrelle/Apps/%1/uninstall.exe").arg(product),
                         // the icon and the submenu's files of the desktop integration
                         QStringLiteral("data/icons/hicolor/256x256/apps/%1.png").arg(product.toLower()),
                         QStringLiteral("data/desktop-directories/%1.directory").arg(QString(menu).replace(' ', '-')),
                         QStringLiteral("config/menus/applications-merged/%1.menu").arg(QString(menu).replace(' ', '-'))};
    if (desktop)
        files << QStringLiteral("home/Desktop/%1.desktop").arg(menu);
    files.sort();
    return files;
}

// The tree without the menu entries and the installation key, whose names follow the shortcuts table.
QStringList withoutMenuAndKey(QStringList files)
{
    files.removeIf([](const QString& file) {
        return file.startsWith(QLatin1String("data/applications/")) || file.endsWith(QLatin1String(".conf"));
    });
    return files;
}

}  // namespace

TEST(UnattendedRun, InstallsEachEditionWithTheFilesLinksAndLogOfAPersonsRun)
{
    const auto server = serveRelease();
    const struct {
        QStringList arguments;
        bool beta, desktop, started;
    } cases[] = {
        {{QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")}, false, false, false},
        {{QStringLiteral("/SILENT"), QStringLiteral("/AcceptEula"), QStringLiteral("-desktopicon"), QStringLiteral("-stream:beta"),
          QStringLiteral("-lang:ru_RU"), QStringLiteral("-progress")},
         true, true, true},
    };
    for (const auto& c : cases) {
        const Machine machine(QStringLiteral("install"));
        const ProcessResult result = machine.run(server->base(), c.arguments);
        const std::string what = c.arguments.join(' ').toStdString();
        ASSERT_TRUE(result.finished) << what;
        EXPECT_EQ(result.exitCode, 0) << what << result.err.toStdString();
        EXPECT_EQ(withoutMenuAndKey(machine.tree()).join('\n').toStdString(),
                  installedTree(c.beta, c.desktop).join('\n').toStdString()) << what;
        EXPECT_EQ(machine.tree().filter(QStringLiteral("data/applications/")).size(), 4) << what;
        EXPECT_EQ(machine.tree().filter(QStringLiteral(".conf")).size(), 1) << what;
        EXPECT_TRUE(QFileInfo(machine.installFolder(c.beta) + QStringLiteral("Vorlen.exe")).isExecutable()) << what;
        const QString config = QString::fromUtf8(readFile(machine.root + QStringLiteral("/config/Ostrelle/")
                                                          + (c.beta ? QStringLiteral("Vorlen-beta") : QStringLiteral("Vorlen"))
                                                          + QStringLiteral("/Application.xml")));
        EXPECT_TRUE(config.contains(c.beta ? QStringLiteral("ru_RU") : QStringLiteral("en_GB"))) << what;
        // the pages were answered through their own handlers, in a person's order
        const QString log = machine.log();
        qsizetype at = 0;
        for (const char* line : {"[UI] page_SelectLang", "[UI] btnNextClick_Langs", "[UI] page_EULA", "[UI] cbAcceptEULAChange",
                                 "[UI] btnNextClick_EULA", "[UI] page_FirstChoose", "[UI] btnInstallCustomizedClick",
                                 "[UI] page_final: True", "[UI] btnNextClick_Final", "[CSetup] Main - End"}) {
            const qsizetype next = log.indexOf(QLatin1String(line), at);
            EXPECT_GT(next, at) << what << " " << line;
            at = next;
        }
        EXPECT_TRUE(log.contains(QStringLiteral("[Unattended] Message box"))) << what << " the size question is logged";
        EXPECT_TRUE(result.err.contains("-> Yes")) << what << result.err.toStdString();
        // progress only on request when standard error is no terminal: the question's line alone, or more
        EXPECT_EQ(c.arguments.contains(QStringLiteral("-progress")), result.err.count("\n") > 1) << what << result.err.toStdString();
        EXPECT_FALSE(machine.workFolderLeft()) << what;
        for (int i = 0; i < 50 && c.started && !QFile::exists(machine.root + QStringLiteral("/home/ran")); ++i)
            QThread::msleep(100);
        EXPECT_EQ(QFile::exists(machine.root + QStringLiteral("/home/ran")), c.started) << what;
    }
}

TEST(UnattendedRun, PackageMadeUnattendedInstallsUnattendedWithoutTheServer)
{
    const auto server = serveRelease();
    const Machine first(QStringLiteral("packager"));
    const QString folder = first.root + QStringLiteral("/out/new");  // made when missing
    const ProcessResult made = first.run(server->base(), {QStringLiteral("-silent"), QStringLiteral("-accepteula"),
                                                          QStringLiteral("-package:") + folder});
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    const QString package = folder + QStringLiteral("/VorlenSetup.exe");
    ASSERT_TRUE(QFileInfo(package).isExecutable());
    EXPECT_TRUE(withoutMenuAndKey(first.tree()).filter(QStringLiteral("Ostrelle")).isEmpty()) << "nothing installed";

    const Machine second(QStringLiteral("offline"));
    // a run that names the moments it passes
    const ProcessResult installed = second.runKilledAt(
        QStringLiteral("http://127.0.0.1:1/"), 1000000,
        {QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")}, package);
    EXPECT_EQ(installed.exitCode, 0) << installed.err.toStdString();
    // the tree unpacked while the archive was copied out of the package is the one installed
    EXPECT_TRUE(installed.err.contains("a file was unpacked as the archive arrived")) << installed.err.toStdString();
    EXPECT_FALSE(installed.err.contains("a file was extracted")) << installed.err.toStdString();
    EXPECT_EQ(withoutMenuAndKey(second.tree()).join('\n').toStdString(), installedTree(false, false).join('\n').toStdString());

    // the embedded archive cannot be written: the run ends as after a failed download
    const Machine third(QStringLiteral("offline-blocked"));
    QDir().mkpath(third.root + QStringLiteral("/tmp/Vorlen Setup/vrnsetup.zip/in-the-way"));
    const ProcessResult blocked = third.run(QStringLiteral("http://127.0.0.1:1/"), {QStringLiteral("-silent"), QStringLiteral("-accepteula")},
                                            package);
    EXPECT_EQ(blocked.exitCode, 1) << blocked.err.toStdString();
    EXPECT_TRUE(blocked.err.contains("DownloadAndInstallThenRun: EFCreateError")) << blocked.err.toStdString();
    EXPECT_TRUE(third.log().contains(QStringLiteral("[UI] page_final: False")));
    EXPECT_TRUE(third.log().contains(QStringLiteral("[CInstallation] End Main"))) << third.log().toStdString();
}

TEST(UnattendedRun, RemovesEachEditionAndFailsForOneNotInstalled)
{
    const auto server = serveRelease();
    const Machine machine(QStringLiteral("removal"));
    const QStringList install{QStringLiteral("-silent"), QStringLiteral("-accepteula"), QStringLiteral("-norun")};
    ASSERT_EQ(machine.run(server->base(), install).exitCode, 0);
    ASSERT_EQ(machine.run(server->base(), install + QStringList{QStringLiteral("-stream:beta")}).exitCode, 0);
    const struct {
        QString edition;
        int exitCode;
        bool releaseLeft, betaLeft;
    } cases[] = {
        {QStringLiteral("beta"), 0, true, false},
        {QStringLiteral("beta"), 1, true, false},
        {QStringLiteral("RELEASE"), 0, false, false},
    };
    for (const auto& c : cases) {
        const ProcessResult removed = machine.run(
            server->base(), {QStringLiteral("-uninstallnow"), QStringLiteral("-silent"), QStringLiteral("-edition:") + c.edition});
        EXPECT_EQ(removed.exitCode, c.exitCode) << c.edition.toStdString() << removed.err.toStdString();
        EXPECT_EQ(QDir(machine.installFolder(false)).exists(), c.releaseLeft) << c.edition.toStdString();
        EXPECT_EQ(QDir(machine.installFolder(true)).exists(), c.betaLeft) << c.edition.toStdString();
    }
    EXPECT_TRUE(machine.tree().filter(QStringLiteral("Ostrelle")).isEmpty()) << machine.tree().join(' ').toStdString();
}

TEST(UnattendedRun, ExitCodesTellTheOutcome)
{
    const auto server = serveRelease();
    const struct {
        QStringList arguments;
        QString base;  // empty: the release server
        int exitCode;
        QByteArray onStandardError;
    } cases[] = {
        {{QStringLiteral("-help")}, {}, 0, {}},
        {{QStringLiteral("-silent"), QStringLiteral("-lang:de_DE")}, {}, 2, "unknown language"},
        {{QStringLiteral("-silent"), QStringLiteral("-package")}, {}, 2, "-package needs a folder"},
        {{QStringLiteral("-uninstallnow"), QStringLiteral("-silent"), QStringLiteral("-edition:gold")}, {}, 2, "unknown edition"},
        {{QStringLiteral("-uninstallnow"), QStringLiteral("-silent")}, {}, 2, "-edition:release"},
        {{QStringLiteral("-silent")}, {}, 3, "licence was not accepted"},
        {{QStringLiteral("-silent"), QStringLiteral("-accepteula")}, QStringLiteral("http://127.0.0.1:1/"), 1, "vrnsetup: "},
    };
    for (const auto& c : cases) {
        const Machine machine(QStringLiteral("codes"));
        const ProcessResult result = machine.run(c.base.isEmpty() ? server->base() : c.base, c.arguments);
        const std::string what = c.arguments.join(' ').toStdString();
        EXPECT_EQ(result.exitCode, c.exitCode) << what << result.err.toStdString();
        EXPECT_TRUE(result.err.contains(c.onStandardError)) << what << result.err.toStdString();
        EXPECT_TRUE(withoutMenuAndKey(machine.tree()).filter(QStringLiteral("Ostrelle")).isEmpty()) << what;
        EXPECT_FALSE(machine.workFolderLeft()) << what;
    }
    const Machine machine(QStringLiteral("help"));
    EXPECT_TRUE(machine.run(server->base(), {QStringLiteral("-?")}).out.contains("-accepteula"));
}

TEST(UnattendedRun, TerminationDuringTheDownloadEndsWithFourAndInstallsNothing)
{
    const auto server = serveRelease(true);
    const Machine machine(QStringLiteral("signal"));
    const ProcessResult result = runProcessUntil(builtProgram(), {QStringLiteral("-silent"), QStringLiteral("-accepteula")},
                                                 machine.environment(server->base()), machine.root + kInstallLog,
                                                 "[CInstallation] AsyncRequest2: vrnsetup.zip");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 4) << result.err.toStdString();
    const QString log = machine.log();
    EXPECT_TRUE(log.contains(QStringLiteral("[CInstallation] AsyncRequest2: vrnsetup.zip, Result: False"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("[UI] page_final"))) << "a cancelled run claims nothing";
    EXPECT_FALSE(machine.workFolderLeft());
    EXPECT_TRUE(machine.tree().filter(QStringLiteral("Ostrelle")).isEmpty()) << machine.tree().join(' ').toStdString();
}
