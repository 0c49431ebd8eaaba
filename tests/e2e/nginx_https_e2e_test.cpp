// Whole unattended runs against a real web server: nginx from the system serves a
// release made by vrn-publish over HTTPS with HTTP/2, with a certificate of a test
// authority made here and trusted through SSL_CERT_FILE alone. Skipped, with the
// reason, only where nginx cannot start.
#include "support/nginx_server.h"
#include "support/process_runner.h"
#include "support/sandbox.h"
#include "support/test_machine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

namespace {

bool run(const QString& program, const QStringList& arguments, QString* error = nullptr)
{
    const ProcessResult result = runProcess(program, arguments, {}, 30000);
    if (error)
        *error = QString::fromLocal8Bit(result.err);
    return result.exitCode == 0;
}

// A test authority and a certificate it issued for 127.0.0.1.
bool makeCertificates(const QString& folder)
{
    const auto file = [&](const char* name) { return folder + QLatin1Char('/') + QLatin1String(name); };
    QFile extensions(file("server.ext"));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    extensions.close();
    const QString openssl = QStringLiteral("openssl");
    const QStringList ecKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    return run(openssl, QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey
                            + QStringList{QStringLiteral("-keyout"), file("ca.key"), QStringLiteral("-out"), file("ca.pem"),
                                          QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                                          QStringLiteral("/CN=Vorlen Test Authority"), QStringLiteral("-addext"),
                                          QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                                          QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")})
           && run(openssl, QStringList{QStringLiteral("req")} + ecKey
                               + QStringList{QStringLiteral("-keyout"), file("server.key"), QStringLiteral("-out"),
                                             file("server.csr"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")})
           && run(openssl, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), file("server.csr"),
                            QStringLiteral("-CA"), file("ca.pem"), QStringLiteral("-CAkey"), file("ca.key"),
                            QStringLiteral("-CAcreateserial"), QStringLiteral("-days"), QStringLiteral("1"),
                            QStringLiteral("-extfile"), file("server.ext"), QStringLiteral("-out"), file("server.pem")});
}

// Publishes a release of `version` into `folder` (a version above 15 offers its new
// setup, a script that leaves a mark in the home folder).
void publish(const QString& work, const QString& version, const QString& folder)
{
    QDir().mkpath(work + QStringLiteral("/app"));
    QFile app(work + QStringLiteral("/app/Vorlen.exe"));
    ASSERT_TRUE(app.open(QIODevice::WriteOnly));
    app.write("#!/bin/sh\n");
    app.close();
    QFile setup(work + QStringLiteral("/newsetup"));
    ASSERT_TRUE(setup.open(QIODevice::WriteOnly));
    setup.write("#!/bin/sh\ntouch \"$HOME/new-setup-ran\"\n");
    setup.close();
    const QString newSetup = version == QStringLiteral("15") ? builtProgram() : work + QStringLiteral("/newsetup");
    const ProcessResult made = runProcess(builtProgram(QStringLiteral("vrn-publish")),
                                          {QStringLiteral("--app"), work + QStringLiteral("/app"), QStringLiteral("--version"), version,
                                           QStringLiteral("--number"), QStringLiteral("7"), QStringLiteral("--setup"), newSetup, folder});
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
}

}  // namespace

TEST(NginxHttps, InstallPackageAndSelfUpdatePassAgainstARealWebServer)
{
    if (nginxProgram().isEmpty())
        GTEST_SKIP() << "nginx is not installed (scripts/install-deps installs it)";
    const QString folder = sandbox::freshFolder(QStringLiteral("nginx"));
    ASSERT_TRUE(makeCertificates(folder));
    const QString releases = folder + QStringLiteral("/releases");
    publish(folder + QStringLiteral("/work15"), QStringLiteral("15"), releases + QStringLiteral("/setup"));
    publish(folder + QStringLiteral("/work16"), QStringLiteral("16"), releases + QStringLiteral("/update"));
    const Nginx nginx(folder, releases);
    if (!nginx.listening())
        GTEST_SKIP() << "nginx cannot start here: " << nginx.whyNot().toStdString();

    const struct {
        const char* road;
        QString release;
        QStringList arguments;
        QString made;  // below the machine's root
    } cases[] = {
        {"install", QStringLiteral("setup"), {QStringLiteral("-norun")}, QStringLiteral("/data/Ostrelle/Apps/Vorlen/Vorlen.exe")},
        {"package", QStringLiteral("setup"), {QStringLiteral("-package:") + folder + QStringLiteral("/package")}, QString()},
        {"self-update", QStringLiteral("update"), {}, QStringLiteral("/home/new-setup-ran")},
    };
    for (const auto& c : cases) {
        const Machine machine(QStringLiteral("nginx-client"));
        QMap<QString, QString> environment = machine.environment(nginx.base(c.release));
        environment[QStringLiteral("VRN_COUNTER_RELEASE_URL")] = nginx.base(QStringLiteral("count")).chopped(1);
        environment[QStringLiteral("SSL_CERT_FILE")] = folder + QStringLiteral("/ca.pem");
        const ProcessResult result = runProcess(builtProgram(), QStringList{QStringLiteral("-silent"), QStringLiteral("-accepteula")} + c.arguments,
                                                environment, 120000);
        // a run that hands over to a newer setup is judged by the newer setup having started
        if (c.release != QStringLiteral("update")) {
            EXPECT_EQ(result.exitCode, 0) << c.road << result.err.toStdString() << machine.log().toStdString();
        }
        const QString made = c.made.isEmpty() ? folder + QStringLiteral("/package/VorlenSetup.exe") : machine.root + c.made;
        EXPECT_TRUE(waitUntil([&] { return QFile::exists(made); }, 5000)) << c.road;
    }
    EXPECT_TRUE(nginx.accessLog().contains(QStringLiteral("GET /vrn/setup/vrnsetup.zip HTTP/2.0 200 HTTP/2.0")))
        << "HTTP/2 is used: " << nginx.accessLog().toStdString();

    // without the test authority the same server is refused, naming the host and the reason
    const Machine machine(QStringLiteral("nginx-untrusted"));
    const ProcessResult refused = machine.run(nginx.base(QStringLiteral("setup")), {QStringLiteral("-silent"), QStringLiteral("-accepteula")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(machine.log().contains(QStringLiteral("ETLSError: The connection to 127.0.0.1 is not trusted: ")))
        << machine.log().toStdString();
}
