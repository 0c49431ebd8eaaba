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
#include <QThread>
#include <QUrl>
#include <QXmlStreamReader>
#include <QtEndian>

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

// vrn-publish run in `folder` (relative paths are taken from there).
ProcessResult publishIn(const QString& folder, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(builtProgram(QStringLiteral("vrn-publish")),
                  arguments + QStringList{QStringLiteral("--version"), QStringLiteral("15"), QStringLiteral("--number"),
                                          QStringLiteral("1")});
    ProcessResult result;
    result.finished = process.waitForFinished(60000);
    result.exitCode = result.finished ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// The entry names of an archive, as unzip lists them.
QStringList entryNames(const QString& archive)
{
    const ProcessResult listing = runProcess(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive});
    QStringList names = QString::fromUtf8(listing.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    names.sort();
    return names;
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

// However the application folder is named, the entries are relative to it.
TEST(ReleaseTools, EntryNamesAreRelativeToTheApplicationFolderHoweverItIsGiven)
{
    const QString work = sandbox::freshFolder(QStringLiteral("names"));
    writeFile(work + QStringLiteral("/pb/app/a.txt"), "a");
    writeFile(work + QStringLiteral("/pb/app/sub/b.txt"), "b");
    QDir().mkpath(work + QStringLiteral("/pb/other"));
    const QStringList expected{QStringLiteral("a.txt"), QStringLiteral("sub/"), QStringLiteral("sub/b.txt")};
    const struct {
        const char* cwd;
        QString app;
    } cases[] = {
        {"", QStringLiteral("pb/app")},
        {"", QStringLiteral("pb/app/")},
        {"", QStringLiteral("./pb//app")},
        {"pb/other", QStringLiteral("../app")},
        {"pb/app", QStringLiteral(".")},
        {"pb/app", QStringLiteral("./")},
        {"", work + QStringLiteral("/pb/app/")},
    };
    for (const auto& c : cases) {
        const QString out = work + QStringLiteral("/out");
        const ProcessResult result =
            publishIn(work + QLatin1Char('/') + QLatin1String(c.cwd), {QStringLiteral("--app"), c.app, out});
        ASSERT_EQ(result.exitCode, 0) << c.app.toStdString() << ": " << result.err.toStdString();
        EXPECT_EQ(entryNames(out + QStringLiteral("/vrnsetup.zip")), expected) << c.cwd << " " << c.app.toStdString();
    }
}

// zlib's default level: libzip marks an entry deflated at the best level (9) in its flags.
TEST(ReleaseTools, EntriesAreDeflatedAtTheDefaultLevel)
{
    const QString work = sandbox::freshFolder(QStringLiteral("level"));
    writeFile(work + QStringLiteral("/app/text.txt"), QByteArray("compressible text ").repeated(5000));
    ASSERT_EQ(publishIn(work, {QStringLiteral("--app"), QStringLiteral("app"), QStringLiteral("out")}).exitCode, 0);
    const QByteArray archive = readFile(work + QStringLiteral("/out/vrnsetup.zip"));
    ASSERT_TRUE(archive.startsWith(QByteArray("PK\x03\x04", 4)));
    EXPECT_EQ(qFromLittleEndian<quint16>(archive.constData() + 8), 8) << "deflated";
    EXPECT_EQ(qFromLittleEndian<quint16>(archive.constData() + 6) & 0x6, 0) << "neither the best nor the fast level";
}

// The release folder is a link swapped to a new folder in one rename: a server
// started before the publish serves the new release at once, no file is ever
// missing meanwhile, and nothing of the old release stays behind.
TEST(ReleaseTools, ARepublishSwapsTheWholeReleaseInOneStep)
{
    const QString work = sandbox::freshFolder(QStringLiteral("swap"));
    writeFile(work + QStringLiteral("/app/vorlen.exe"), nettest::knownBytes(300000));
    writeFile(work + QStringLiteral("/setup"), "setup");
    const QStringList arguments{QStringLiteral("--app"), QStringLiteral("app"), QStringLiteral("--setup"),
                                QStringLiteral("setup"), QStringLiteral("release")};
    ASSERT_EQ(publishIn(work, arguments).exitCode, 0);
    const QString release = work + QStringLiteral("/release");
    ASSERT_TRUE(QFileInfo(release).isSymLink());
    const QString first = QFileInfo(release).symLinkTarget();

    Served server(release);
    ASSERT_FALSE(server.base().isEmpty());
    httplib::Client client("127.0.0.1", QUrl(server.base()).port());
    std::atomic<bool> publishing{true};
    std::atomic<int> requests{0};
    std::atomic<int> failures{0};
    std::string failed;
    std::thread fetcher([&] {
        // bounded: the server's request log goes to a pipe that is read only at the end
        while (publishing && requests < 1500) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            for (const char* path : {"/system.xml", "/vrnsetup.zip", "/vrnsetup.exe"}) {
                const auto reply = client.Get(path);
                ++requests;
                if (!reply || reply->status != 200) {
                    ++failures;
                    failed += std::string(path) + " " + (reply ? std::to_string(reply->status) : httplib::to_string(reply.error())) + "; ";
                }
            }
        }
    });
    bool published = true;
    for (int round = 0; round < 4; ++round)
        published = published && publishIn(work, arguments).exitCode == 0;
    publishing = false;
    fetcher.join();
    EXPECT_TRUE(published);
    EXPECT_GT(requests.load(), 3);
    EXPECT_EQ(failures.load(), 0) << "of " << requests.load() << " requests: " << failed;

    const QString last = QFileInfo(release).symLinkTarget();
    EXPECT_NE(last, first);
    EXPECT_EQ(QFileInfo(last).absolutePath(), work);
    EXPECT_EQ(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
              (QStringList{QStringLiteral("app"), QStringLiteral("release"), QFileInfo(last).fileName(),
                           QStringLiteral("setup")}))
        << "only the served release stays";
    EXPECT_TRUE(server.logged("GET /system.xml 200"));
}

TEST(ReleaseTools, PublishRefusesAFolderThatIsNoReleaseLink)
{
    const QString work = sandbox::freshFolder(QStringLiteral("oldlayout"));
    writeFile(work + QStringLiteral("/app/vorlen.exe"), "program");
    writeFile(work + QStringLiteral("/out/system.xml"), "the old layout");
    const ProcessResult result = publishIn(work, {QStringLiteral("--app"), QStringLiteral("app"), QStringLiteral("out")});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_TRUE(result.err.contains("move it aside")) << result.err.toStdString();
    EXPECT_EQ(readFile(work + QStringLiteral("/out/system.xml")), "the old layout");
    EXPECT_EQ(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              (QStringList{QStringLiteral("app"), QStringLiteral("out")}));

    // an empty folder holds nothing to keep and becomes the link
    QDir().mkpath(work + QStringLiteral("/empty"));
    EXPECT_EQ(publishIn(work, {QStringLiteral("--app"), QStringLiteral("app"), QStringLiteral("empty")}).exitCode, 0);
    EXPECT_TRUE(QFileInfo(work + QStringLiteral("/empty")).isSymLink());
}

// Without a length the client would have to wait for the connection to close.
TEST(ReleaseTools, ServeAnnouncesTheLengthOfAnEmptyFile)
{
    const QString work = sandbox::freshFolder(QStringLiteral("emptyfile"));
    writeFile(work + QStringLiteral("/root/empty.txt"), QByteArray());
    writeFile(work + QStringLiteral("/root/three.txt"), "abc");
    Served server(work + QStringLiteral("/root"));
    ASSERT_FALSE(server.base().isEmpty());
    httplib::Client client("127.0.0.1", QUrl(server.base()).port());
    for (const auto& [path, length] : {std::pair{"/empty.txt", "0"}, std::pair{"/three.txt", "3"}}) {
        const auto reply = client.Get(path);
        ASSERT_TRUE(reply) << path;
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(reply->get_header_value_count("Content-Length"), 1u) << path;
        EXPECT_EQ(reply->get_header_value("Content-Length"), length) << path;
    }
}

// However late a publish is killed, the release folder holds a whole release (the
// old one or the new one); what stays beside it is only a folder nothing serves.
TEST(ReleaseTools, AKilledPublishLeavesAWholeRelease)
{
    const QString work = sandbox::freshFolder(QStringLiteral("killed"));
    writeFile(work + QStringLiteral("/old/vorlen.exe"), "old program");
    for (int i = 0; i < 40; ++i)
        writeFile(work + QStringLiteral("/new/file%1.bin").arg(i), nettest::knownBytes(100000 + i));
    ASSERT_EQ(publishIn(work, {QStringLiteral("--app"), QStringLiteral("old"), QStringLiteral("release")}).exitCode, 0);
    const QString release = work + QStringLiteral("/release");
    for (const int killAfterMs : {0, 5, 10, 20, 40, 80, 160}) {
        QProcess publish;
        publish.setWorkingDirectory(work);
        publish.start(builtProgram(QStringLiteral("vrn-publish")),
                      {QStringLiteral("--app"), QStringLiteral("new"), QStringLiteral("--version"), QStringLiteral("15"),
                       QStringLiteral("--number"), QString::number(killAfterMs), QStringLiteral("release")});
        ASSERT_TRUE(publish.waitForStarted());
        QThread::msleep(killAfterMs);
        publish.kill();
        publish.waitForFinished();
        const Descriptor descriptor = readDescriptor(readFile(release + QStringLiteral("/system.xml")));
        const QByteArray archive = readFile(release + QStringLiteral("/vrnsetup.zip"));
        EXPECT_EQ(descriptor.bytes, archive.size()) << "killed after " << killAfterMs << " ms";
        EXPECT_EQ(descriptor.fileCount, zipEntryCount(archive)) << "killed after " << killAfterMs << " ms";
        for (const QString& name : QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
            EXPECT_TRUE(QRegularExpression(QStringLiteral("^(old|new|release(\\.\\w{6}(\\.link)?)?)$")).match(name).hasMatch())
                << name.toStdString();
    }
}

// A folder is stored with its own mode, never as writable by everyone.
TEST(ReleaseTools, FoldersKeepTheirOwnMode)
{
    const QString work = sandbox::freshFolder(QStringLiteral("folder-mode"));
    writeFile(work + QStringLiteral("/app/sub/b.txt"), "b");
    QFile::setPermissions(work + QStringLiteral("/app/sub"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                 | QFile::ReadGroup | QFile::ExeGroup);
    ASSERT_EQ(publishIn(work, {QStringLiteral("--app"), QStringLiteral("app"), QStringLiteral("out")}).exitCode, 0);
    const QByteArray archive = readFile(work + QStringLiteral("/out/vrnsetup.zip"));
    const qsizetype directory = archive.indexOf("sub/", archive.indexOf("PK\x01\x02")) - 46;
    ASSERT_GT(directory, 0);
    EXPECT_EQ(qFromLittleEndian<quint32>(archive.constData() + directory + 38) >> 16, 040750u);
}
