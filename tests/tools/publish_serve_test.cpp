// The release tools end to end: a folder published by vrn-publish, served by
// vrn-serve and fetched through the setup's own file source must pass the
// archive check: the archive's length and entry count are the descriptor's.
#include "net/net_test_support.h"
#include "net/setup_source.h"
#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QXmlStreamReader>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

struct Descriptor {
    QString version;
    QString number;
    QString sizeText;
    qint64 bytes = -1;
    qint64 fileCount = -1;
};

Descriptor readDescriptor(const QByteArray& xml)
{
    Descriptor found;
    QXmlStreamReader reader(xml);
    while (reader.readNextStartElement()) {
        const QString name = reader.name().toString();
        if (name == QStringLiteral("size")) {
            found.bytes = reader.attributes().value(QStringLiteral("bytes")).toLongLong();
            found.fileCount = reader.attributes().value(QStringLiteral("fileCount")).toLongLong();
            found.sizeText = reader.readElementText();
        } else if (name == QStringLiteral("version")) {
            found.version = reader.readElementText();
        } else if (name == QStringLiteral("number")) {
            found.number = reader.readElementText();
        }
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    return found;
}

// The entry count of the central directory, from the end-of-central-directory record.
qint64 zipEntryCount(const QByteArray& archive)
{
    const qsizetype end = archive.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (end < 0 || end + 22 > archive.size())
        return -1;
    return qFromLittleEndian<quint16>(archive.constData() + end + 10);
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// vrn-serve on a free port, stopped with the test.
class Served {
public:
    explicit Served(const QString& folder)
    {
        m_process.start(builtProgram(QStringLiteral("vrn-serve")), {folder});
        if (m_process.waitForStarted(10000)) {
            while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
            }
            m_base = QString::fromUtf8(m_process.readLine()).trimmed();
        }
    }
    ~Served()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    QString base() const { return m_base; }
    // Whether the request log shows `line`; the server writes it after the reply.
    bool logged(const QByteArray& line)
    {
        for (int wait = 0; wait < 50 && !m_log.contains(line); ++wait) {
            m_process.waitForReadyRead(100);
            m_log += m_process.readAllStandardOutput();
        }
        return m_log.contains(line);
    }

private:
    QProcess m_process;
    QString m_base;
    QByteArray m_log;
};

}  // namespace

TEST(ReleaseTools, APublishedAndServedReleaseMatchesItsDescriptor)
{
    const QString work = sandbox::freshFolder(QStringLiteral("release"));
    const QString app = work + QStringLiteral("/app");
    writeFile(app + QStringLiteral("/vorlen.exe"), nettest::knownBytes(150000));
    writeFile(app + QStringLiteral("/data/readme.txt"), "read me\r\n");
    writeFile(app + QStringLiteral("/data/maps/world.bin"), nettest::knownBytes(40000));
    writeFile(work + QStringLiteral("/newsetup"), "the newer setup");
    const QString release = work + QStringLiteral("/release");

    const ProcessResult published = runProcess(
        builtProgram(QStringLiteral("vrn-publish")),
        {QStringLiteral("--app"), app, QStringLiteral("--version"), QStringLiteral("16"), QStringLiteral("--number"),
         QStringLiteral("2048"), QStringLiteral("--setup"), work + QStringLiteral("/newsetup"), release});
    ASSERT_EQ(published.exitCode, 0) << published.err.toStdString();

    Served server(release);
    ASSERT_TRUE(server.base().startsWith(QStringLiteral("http://127.0.0.1:"))) << server.base().toStdString();
    ASSERT_TRUE(server.base().endsWith(QLatin1Char('/')));

    nettest::startLog(QStringLiteral("release-log"));
    platform::setApplicationTitle(QStringLiteral("Vorlen Setup"));
    qputenv("VRN_RELEASE_BASE_URL", server.base().toUtf8());
    const auto restore = qScopeGuard([] { qunsetenv("VRN_RELEASE_BASE_URL"); });
    TSource source(QStringList{});
    ASSERT_TRUE(source.Request(QStringLiteral("system.xml")));
    EXPECT_EQ(source.RealSource, stWebServer);
    bool fetched = false;
    qint64 announced = -1;
    ASSERT_TRUE(nettest::runWhilePumping([&] {
        fetched = source.Request(QStringLiteral("vrnsetup.zip"), [&](qint64 total) { announced = total; },
                                 [](qint64) {}, [] {});
    }));
    ASSERT_TRUE(fetched);
    EXPECT_TRUE(source.Request(QStringLiteral("vrnsetup.exe")));

    const Descriptor descriptor = readDescriptor(readFile(source.Use(QStringLiteral("system.xml"))));
    const QByteArray archive = readFile(source.Use(QStringLiteral("vrnsetup.zip")));
    EXPECT_EQ(descriptor.version, QStringLiteral("16"));
    EXPECT_EQ(descriptor.number, QStringLiteral("2048"));
    EXPECT_EQ(descriptor.bytes, archive.size());
    EXPECT_EQ(announced, archive.size());
    EXPECT_EQ(descriptor.fileCount, zipEntryCount(archive));
    EXPECT_EQ(descriptor.fileCount, 5) << "three files and two folders";
    EXPECT_EQ(descriptor.sizeText, QStringLiteral("0.1"));
    EXPECT_LT(archive.size(), 150000 + 40000) << "the entries are deflated";
    EXPECT_EQ(readFile(source.Use(QStringLiteral("vrnsetup.exe"))), "the newer setup");

    const ProcessResult listing =
        runProcess(QStringLiteral("unzip"), {QStringLiteral("-l"), source.Use(QStringLiteral("vrnsetup.zip"))});
    const QRegularExpression total(QStringLiteral("(\\d+) files?\\s*$"));
    const auto match = total.match(QString::fromUtf8(listing.out).trimmed());
    ASSERT_TRUE(match.hasMatch()) << "unzip -l: " << listing.out.toStdString();
    EXPECT_EQ(match.captured(1).toLongLong(), descriptor.fileCount);
    EXPECT_TRUE(server.logged("GET /vrnsetup.zip 200"));
}

TEST(ReleaseTools, ServeAnswersMissingFilesAndEscapesWith404)
{
    const QString work = sandbox::freshFolder(QStringLiteral("serve"));
    writeFile(work + QStringLiteral("/root/system.xml"), "<system/>");
    writeFile(work + QStringLiteral("/secret.txt"), "outside");
    Served server(work + QStringLiteral("/root"));
    ASSERT_FALSE(server.base().isEmpty());

    nettest::startLog(QStringLiteral("serve-log"));
    const QString target = work + QStringLiteral("/got");
    EXPECT_TRUE(CNetwork::Download(server.base() + QStringLiteral("system.xml"), target));
    EXPECT_FALSE(CNetwork::Download(server.base() + QStringLiteral("vrnsetup.zip"), target));
    EXPECT_FALSE(CNetwork::Download(server.base() + QStringLiteral("%2e%2e/secret.txt"), target));
    ASSERT_TRUE(QFile::link(work + QStringLiteral("/secret.txt"), work + QStringLiteral("/root/link.txt")));
    EXPECT_FALSE(CNetwork::Download(server.base() + QStringLiteral("link.txt"), target)) << "no way out through a link";
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(server.logged("GET /system.xml 200"));
    EXPECT_TRUE(server.logged("GET /vrnsetup.zip 404"));
}

TEST(ReleaseTools, AFailedPublishLeavesTheEarlierReleaseWhole)
{
    const QString work = sandbox::freshFolder(QStringLiteral("badzip"));
    const QString out = work + QStringLiteral("/out");
    writeFile(work + QStringLiteral("/app/vorlen.exe"), "program");
    writeFile(work + QStringLiteral("/not.zip"), "plain text");
    const auto publish = [&](const QStringList& source) {
        return runProcess(builtProgram(QStringLiteral("vrn-publish")),
                          source + QStringList{QStringLiteral("--version"), QStringLiteral("15"),
                                               QStringLiteral("--number"), QStringLiteral("1"), out});
    };
    ASSERT_EQ(publish({QStringLiteral("--app"), work + QStringLiteral("/app")}).exitCode, 0);
    const QByteArray archive = readFile(out + QStringLiteral("/vrnsetup.zip"));
    const QByteArray descriptor = readFile(out + QStringLiteral("/system.xml"));

    EXPECT_NE(publish({QStringLiteral("--zip"), work + QStringLiteral("/not.zip")}).exitCode, 0);
    EXPECT_EQ(readFile(out + QStringLiteral("/vrnsetup.zip")), archive);
    EXPECT_EQ(readFile(out + QStringLiteral("/system.xml")), descriptor);

    // republishing the release's own archive keeps it
    EXPECT_EQ(publish({QStringLiteral("--zip"), out + QStringLiteral("/vrnsetup.zip")}).exitCode, 0);
    EXPECT_EQ(readFile(out + QStringLiteral("/vrnsetup.zip")), archive);
    EXPECT_EQ(QDir(out).entryList(QDir::Files), (QStringList{QStringLiteral("system.xml"), QStringLiteral("vrnsetup.zip")}));
}
