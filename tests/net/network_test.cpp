// CNetwork against a local server: results, files left behind, log records,
// progress callbacks, redirects, TLS and the failures a user can meet.
#include "net/setup_network.h"
#include "net/main_thread_call.h"
#include "net/retry_policy.h"
#include "net_test_support.h"
#include "release_server.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace nettest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qunsetenv("http_proxy");
        qunsetenv("HTTP_PROXY");
        folder = startLog(QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        target = folder + QStringLiteral("/target.bin");
        TRetryPolicy::SetPauseScale(0.01);
    }
    void TearDown() override
    {
        TRetryPolicy::SetPauseScale(1.0);
        THttpClient::SetStallSeconds(60);
        THttpClient::SetLowSpeedBytesPerSecond(THttpClient::DefaultLowSpeedBytesPerSecond);
    }

    // Download of `path`, expecting failure: no file, the error's class in the ERROR
    // record, and the final record's result.
    void expectDownloadFails(const QString& url, const QString& errorClass)
    {
        EXPECT_FALSE(CNetwork::Download(url, target));
        EXPECT_FALSE(QFile::exists(target));
        const QString subject = QStringLiteral("[CNetwork class] Download: ") + url + QStringLiteral(", ") + target;
        const QStringList lines = recordsStartingWith(QStringLiteral("[CNetwork class] Download: "));
        ASSERT_EQ(lines.size(), 3) << lines.join(QLatin1Char('\n')).toStdString();
        EXPECT_EQ(lines[0], QStringLiteral("INFO:") + subject);
        EXPECT_TRUE(lines[1].startsWith(QStringLiteral("ERROR:[CNetwork class] Download: ") + errorClass + QStringLiteral(": ")))
            << lines[1].toStdString();
        EXPECT_EQ(lines[2], QStringLiteral("INFO:") + subject + QStringLiteral(", Result: False"));
    }

    QString folder;
    QString target;
    ReleaseServer server;
};

// What the callbacks of a download object saw, in order, and on which thread.
struct ProgressRecord {
    QStringList calls;
    std::vector<qint64> totals;
    bool allOnMainThread = true;

    CNetwork* make()
    {
        auto note = [this](const QString& call) {
            calls << call;
            allOnMainThread = allOnMainThread && IsMainThread();
        };
        return new CNetwork([note](qint64 max) { note(QStringLiteral("begin(%1)").arg(max)); },
                            [note, this](qint64 total) {
                                totals.push_back(total);
                                note(QStringLiteral("work"));
                            },
                            [note] { note(QStringLiteral("end")); });
    }
};

bool syncDownload(ProgressRecord& progress, const QString& url, const QString& file)
{
    bool result = false;
    EXPECT_TRUE(runWhilePumping([&] {
        std::unique_ptr<CNetwork> download(progress.make());
        result = download->SyncDownload(url, file);
    }));
    return result;
}

}  // namespace

// ---- Download ---------------------------------------------------------------------------------

TEST_F(NetworkTest, DownloadStoresTheBodyAndLogsTheResult)
{
    const QByteArray body = knownBytes(70000);
    server.serve("system.xml", body);
    server.start();
    QFile stale(target);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write(QByteArray(200000, 'x'));
    stale.close();

    const QString url = server.url(QStringLiteral("system.xml"));
    EXPECT_TRUE(CNetwork::Download(url, target));
    EXPECT_EQ(readFile(target), body) << "an existing file is replaced, not overwritten in place";
    const QString subject = QStringLiteral("[CNetwork class] Download: ") + url + QStringLiteral(", ") + target;
    EXPECT_THAT(records(), ElementsAre(QStringLiteral("INFO:") + subject,
                                       QStringLiteral("INFO:") + subject + QStringLiteral(", Result: True")));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].userAgent, "Tarnvek/Vorlen/1.0/INDY");
    EXPECT_EQ(server.requests()[0].referer, "");
}

TEST_F(NetworkTest, DownloadOfAMissingFileFailsWithTheProtocolError)
{
    server.serveStatus("missing.zip", 404);
    server.start();
    expectDownloadFails(server.url(QStringLiteral("missing.zip")), QStringLiteral("EHTTPProtocolError"));
    EXPECT_THAT(logText().toStdString(), HasSubstr("EHTTPProtocolError: HTTP/1.1 404 Not Found"));
}

TEST_F(NetworkTest, DownloadOfAnEmptyBodyLeavesNoFile)
{
    server.serve("empty", QByteArray());
    server.start();
    const QString url = server.url(QStringLiteral("empty"));
    EXPECT_FALSE(CNetwork::Download(url, target));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(records().last(),
              QStringLiteral("INFO:[CNetwork class] Download: ") + url + QStringLiteral(", ") + target
                  + QStringLiteral(", Result: False"));
}

// A body shorter than announced is never taken for the file: the archive check
// would otherwise see a damaged archive.
TEST_F(NetworkTest, DownloadOfABodyCutShortFailsAndLeavesNoFile)
{
    server.serveCutShort("short", 4000, knownBytes(1500));
    server.start();
    expectDownloadFails(server.url(QStringLiteral("short")), QStringLiteral("EConnClosedError"));
}

TEST_F(NetworkTest, DownloadIntoAFolderThatDoesNotExistRaisesTheFileError)
{
    server.serve("a", "x");
    server.start();
    const QString path = folder + QStringLiteral("/no/such/folder/file");
    try {
        CNetwork::Download(server.url(QStringLiteral("a")), path);
        FAIL() << "no error raised";
    } catch (const EFCreateError& error) {
        EXPECT_TRUE(error.message().startsWith(QStringLiteral("Cannot create file \"") + path + QStringLiteral("\". ")))
            << error.message().toStdString();
    }
}

// ---- failures a user can meet: each ends promptly with an ERROR line and no file --------

TEST_F(NetworkTest, ServerErrorFails)
{
    server.serveStatus("broken", 500);
    server.start();
    expectDownloadFails(server.url(QStringLiteral("broken")), QStringLiteral("EHTTPProtocolError"));
    EXPECT_THAT(logText().toStdString(), HasSubstr("HTTP/1.1 500 Internal Server Error"));
}

TEST_F(NetworkTest, UnresolvableHostFails)
{
    // A label longer than 63 characters fails inside the resolver, before any query leaves the machine.
    const QString host = QString(70, QLatin1Char('a')) + QStringLiteral(".invalid");
    expectDownloadFails(QStringLiteral("http://") + host + QStringLiteral("/system.xml"),
                        QStringLiteral("EHostNotFoundError"));
}

TEST_F(NetworkTest, RefusedConnectionFails)
{
    int closedPort = 0;
    {
        ReleaseServer gone;
        gone.start();
        closedPort = gone.port();
    }
    expectDownloadFails(QStringLiteral("http://127.0.0.1:%1/system.xml").arg(closedPort), QStringLiteral("EConnectError"));
}

TEST_F(NetworkTest, StallingServerFailsAfterTheStallTime)
{
    THttpClient::SetStallSeconds(1);
    // a few bytes, so that the average speed falls under the limit at once
    server.serveStalling("stall", 100000, knownBytes(3));
    server.start();
    // the server holds the connection far longer than the stall time; only the stall
    // check ends the transfer with a time-out
    expectDownloadFails(server.url(QStringLiteral("stall")), QStringLiteral("ETimeoutError"));
    EXPECT_THAT(logText().toStdString(), HasSubstr("Operation too slow"));
}

TEST_F(NetworkTest, FifteenRedirectsAreFollowedAndSixteenFail)
{
    server.serve("system.xml", "descriptor");
    server.redirectChain("hop", server.url(QStringLiteral("system.xml")));
    server.http().Get("/loop", [this](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(server.url(QStringLiteral("loop")).toStdString());
    });
    server.start();

    EXPECT_TRUE(CNetwork::Download(server.url(QStringLiteral("hop/15")), target));
    EXPECT_EQ(readFile(target), "descriptor");

    startLog(QStringLiteral("sixteen"));
    expectDownloadFails(server.url(QStringLiteral("hop/16")), QStringLiteral("ERedirectLimitError"));
    EXPECT_THAT(logText().toStdString(),
                HasSubstr("ERedirectLimitError: The redirect limit was reached: more than 15 redirects"));
    startLog(QStringLiteral("loop"));
    expectDownloadFails(server.url(QStringLiteral("loop")), QStringLiteral("ERedirectLimitError"));
}

// A reply whose length cannot be trusted fails like one cut short; a reply that is
// not HTTP is named as such, not as a bad address.
TEST_F(NetworkTest, RepliesThatCannotBeWholeOrAreNotHttpFailWithTheirRealCause)
{
    const QByteArray body(100, 'b');
    const struct {
        QByteArray reply;
        QString errorClass;  // empty: the download succeeds
        const char* message;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n" + body, QStringLiteral("EConnClosedError"),
         "The reply ended after 100 of 99999999999999999999999 announced bytes"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nContent-Length: 120\r\n\r\n" + body,
         QStringLiteral("EConnClosedError"), "different lengths (100, 120)"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 120\r\nContent-Length: 100\r\n\r\n" + body,
         QStringLiteral("EConnClosedError"), "different lengths (100, 120)"},
        {"GARBAGE IN\r\n\r\n" + body, QStringLiteral("EHTTPProtocolError"), "not HTTP"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\ncontent-length: 100\r\n\r\n" + body, QString(), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.left(80).toStdString());
        startLog(QStringLiteral("raw"));
        RawReplyServer raw(c.reply);
        const QString url = raw.url(QStringLiteral("vrnsetup.zip"));
        if (c.errorClass.isEmpty()) {
            EXPECT_TRUE(CNetwork::Download(url, target));
            EXPECT_EQ(readFile(target), body);
            continue;
        }
        expectDownloadFails(url, c.errorClass);
        EXPECT_THAT(logText().toStdString(), HasSubstr(c.message));
        ProgressRecord progress;
        EXPECT_FALSE(syncDownload(progress, url, target));
        EXPECT_FALSE(QFile::exists(target));
    }
}

// A reply dripping a few bytes a second would otherwise never end.
TEST_F(NetworkTest, AReplySlowerThanTheLowSpeedLimitFailsLikeAStall)
{
    THttpClient::SetStallSeconds(1);
    server.servePaced("drip", knownBytes(120), 120, 1000);  // a byte a second for two minutes
    server.start();
    expectDownloadFails(server.url(QStringLiteral("drip")), QStringLiteral("ETimeoutError"));
    EXPECT_THAT(logText().toStdString(), HasSubstr("Operation too slow"));
}

TEST_F(NetworkTest, RedirectToAServerWithASelfSignedCertificateFails)
{
    std::unique_ptr<ReleaseServer> tls = selfSignedTlsServer(folder);
    if (!tls)
        GTEST_SKIP() << "the openssl command is not installed";
    tls->serve("system.xml", "must not arrive");
    tls->start();
    server.redirectChain("hop", tls->url(QStringLiteral("system.xml"), "https"));
    server.start();
    expectDownloadFails(server.url(QStringLiteral("hop/1")), QStringLiteral("ETLSError"));
}

// ---- Get --------------------------------------------------------------------------------------

TEST_F(NetworkTest, GetSplitsTheBodyIntoLinesAndSendsTheSystemToken)
{
    server.serve("counter", "first\r\nsecond\nthird\r");
    server.start();
    QStringList response{QStringLiteral("old")};
    const QString url = server.url(QStringLiteral("counter"));
    CNetwork::Get(url, &response);
    EXPECT_EQ(response, QStringList({QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")}));
    EXPECT_THAT(logText().toStdString(),
                HasSubstr(("[CNetwork class] Get: " + url + ", Response.Text: <<first\r\nsecond\r\nthird\r\n>>\r\n")
                              .toStdString()));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].userAgent, "Vor[NT]/INDY,201");
    EXPECT_EQ(server.requests()[0].referer, OsToken().toStdString());
    EXPECT_TRUE(OsToken().startsWith(QStringLiteral("http://Linux/")));
    EXPECT_TRUE(OsToken().endsWith(QLatin1Char('/')));
}

TEST_F(NetworkTest, GetWithoutAResponseListDiscardsTheReply)
{
    server.serve("counter", "counted");
    server.start();
    const QString url = server.url(QStringLiteral("counter"));
    CNetwork::Get(url, nullptr);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(records().last(), QStringLiteral("INFO:[CNetwork class] Get: ") + url + QStringLiteral(", Response in nil"));
}

TEST_F(NetworkTest, GetGivesUpOnAReplyBeyondItsLimit)
{
    server.serveEndless("counter", 1024 * 1024);
    server.start();
    QStringList response{QStringLiteral("kept")};
    CNetwork::Get(server.url(QStringLiteral("counter")), &response);
    EXPECT_EQ(response, QStringList{QStringLiteral("kept")});
    EXPECT_EQ(recordsStartingWith(QStringLiteral("[CNetwork class] Get: ENetworkError: The reply is longer than the limit of 16777216 bytes"))
                  .size(),
              1)
        << logText().toStdString();
}

TEST_F(NetworkTest, FailingGetLeavesTheListAsItWas)
{
    server.serveStatus("counter", 404);
    server.start();
    QStringList response{QStringLiteral("kept"), QStringLiteral("lines")};
    const QString url = server.url(QStringLiteral("counter"));
    CNetwork::Get(url, &response);
    EXPECT_EQ(response, QStringList({QStringLiteral("kept"), QStringLiteral("lines")}));
    const QStringList lines = records();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("INFO:[CNetwork class] Get: ") + url);
    EXPECT_EQ(lines[1], QStringLiteral("ERROR:[CNetwork class] Get: EHTTPProtocolError: HTTP/1.1 404 Not Found"));
    EXPECT_TRUE(logText().endsWith(QStringLiteral("INFO  -> [CNetwork class] Get: ") + url
                                   + QStringLiteral(", Response.Text: <<kept\r\nlines\r\n>>\r\n")));
}

TEST(OsToken, NamesTheWindowsBuild)
{
    EXPECT_EQ(OsTokenForBuild(7601), QStringLiteral("http://Win7/SP1/"));
    EXPECT_EQ(OsTokenForBuild(9000), QStringLiteral("http://Win8/RP_RTM/"));
    EXPECT_EQ(OsTokenForBuild(7650), QStringLiteral("http://WinNT/7650/"));
    EXPECT_EQ(OsTokenForBuild(2600), QStringLiteral("http://WinXP/RTM/"));
    EXPECT_EQ(OsTokenForBuild(9200), QStringLiteral("http://Win8/RTM/"));
    // both ends of the ranges belong to them; the numbers beside them do not
    EXPECT_EQ(OsTokenForBuild(7101), QStringLiteral("http://Win7/RC_RTM/"));
    EXPECT_EQ(OsTokenForBuild(7599), QStringLiteral("http://Win7/RC_RTM/"));
    EXPECT_EQ(OsTokenForBuild(7100), QStringLiteral("http://Win7/RC/"));
    EXPECT_EQ(OsTokenForBuild(7600), QStringLiteral("http://Win7/RTM/"));
    EXPECT_EQ(OsTokenForBuild(8401), QStringLiteral("http://Win8/RP_RTM/"));
    EXPECT_EQ(OsTokenForBuild(9199), QStringLiteral("http://Win8/RP_RTM/"));
    EXPECT_EQ(OsTokenForBuild(8400), QStringLiteral("http://Win8/RP1/"));
    EXPECT_EQ(OsTokenForBuild(9201), QStringLiteral("http://WinNT/9201/"));
}

// ---- the download object ---------------------------------------------------------------------

TEST_F(NetworkTest, SyncDownloadReportsTheAnnouncedLengthAndRisingTotalsOnTheMainThread)
{
    const QByteArray body = knownBytes(300000);
    server.servePaced("vrnsetup.zip", body, 5, 70);
    server.start();
    ProgressRecord progress;
    const QString url = server.url(QStringLiteral("vrnsetup.zip"));
    EXPECT_TRUE(syncDownload(progress, url, target));

    EXPECT_EQ(readFile(target), body);
    ASSERT_GE(progress.calls.size(), 4) << progress.calls.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(progress.calls.first(), QStringLiteral("begin(300000)"));
    EXPECT_EQ(progress.calls.last(), QStringLiteral("end"));
    EXPECT_GE(progress.totals.size(), 2u) << "a paced body gives more than the final total";
    EXPECT_TRUE(std::is_sorted(progress.totals.begin(), progress.totals.end()));
    EXPECT_EQ(progress.totals.back(), 300000);
    EXPECT_TRUE(progress.allOnMainThread);

    const QString subject = QStringLiteral("[CNetwork] SyncDownload: ") + url + QStringLiteral(", ") + target;
    EXPECT_THAT(recordsStartingWith(QStringLiteral("[CNetwork]")),
                ElementsAre(QStringLiteral("INFO:[CNetwork] Create"), QStringLiteral("INFO:") + subject,
                            QStringLiteral("INFO:[CNetwork] DoWorkBegin: 300000"), QStringLiteral("INFO:[CNetwork] DoWorkEnd"),
                            QStringLiteral("INFO:") + subject + QStringLiteral(", Result: True"),
                            QStringLiteral("INFO:[CNetwork] Destroy")));
}

// The file appears under its name only once it is whole, and replaces the old one in one step.
TEST_F(NetworkTest, SyncDownloadWritesBesideTheTargetUntilTheFileIsWhole)
{
    const QByteArray body = knownBytes(200000);
    server.servePaced("vrnsetup.zip", body, 4, 60);
    server.serveCutShort("cut.zip", 9000, knownBytes(3000));
    server.start();
    QFile old(target);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("the older file");
    old.close();
    QStringList seenDuring;
    bool result = false;
    EXPECT_TRUE(runWhilePumping([&] {
        CNetwork download([](qint64) {}, [&](qint64) { seenDuring << QString::fromLatin1(readFile(target)); }, [] {});
        result = download.SyncDownload(server.url(QStringLiteral("vrnsetup.zip")), target);
    }));
    EXPECT_TRUE(result);
    ASSERT_FALSE(seenDuring.isEmpty());
    for (const QString& seen : seenDuring)
        EXPECT_EQ(seen, QStringLiteral("the older file"));
    EXPECT_EQ(readFile(target), body);

    ProgressRecord progress;
    EXPECT_FALSE(syncDownload(progress, server.url(QStringLiteral("cut.zip")), target));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("test.log")}) << "no file, no partial file";
}

// A total held back by the spacing of notifications must not wait for the next piece.
TEST_F(NetworkTest, HeldBackProgressArrivesWhileTheTransferWaitsForData)
{
    const QByteArray body = knownBytes(5000);
    // the server holds the rest for a minute unless the first total reaches the page
    std::atomic<bool> firstShown{false};
    server.servePausing("vrnsetup.zip", body, 1000, 60000, &firstShown);
    server.start();
    std::vector<std::pair<qint64, std::chrono::steady_clock::duration>> totals;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(runWhilePumping([&] {
        CNetwork download([](qint64) {},
                          [&](qint64 total) {
                              totals.emplace_back(total, std::chrono::steady_clock::now() - started);
                              firstShown = true;
                          },
                          [] {});
        EXPECT_TRUE(download.SyncDownload(server.url(QStringLiteral("vrnsetup.zip")), target));
    }, 120000));
    ASSERT_GE(totals.size(), 2u);
    EXPECT_EQ(totals.front().first, 1000);
    EXPECT_LT(totals.front().second, std::chrono::seconds(30)) << "delivered during the pause";
    EXPECT_EQ(totals.back().first, 5000);
}

TEST_F(NetworkTest, SyncDownloadOfAChunkedReplyIsCompleteWhenEveryReportedByteArrived)
{
    const QByteArray body = knownBytes(50000);
    server.serveChunked("vrnsetup.zip", body, 4);
    server.start();
    ProgressRecord progress;
    EXPECT_TRUE(syncDownload(progress, server.url(QStringLiteral("vrnsetup.zip")), target));
    EXPECT_EQ(readFile(target), body);
    EXPECT_EQ(progress.calls.first(), QStringLiteral("begin(0)"));
    EXPECT_EQ(progress.totals.back(), 50000);
}

TEST_F(NetworkTest, SyncDownloadOfABodyCutShortFailsAndStillEndsTheProgress)
{
    server.serveCutShort("vrnsetup.zip", 9000, knownBytes(3000));
    server.start();
    ProgressRecord progress;
    EXPECT_FALSE(syncDownload(progress, server.url(QStringLiteral("vrnsetup.zip")), target));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(progress.calls.last(), QStringLiteral("end"));
    EXPECT_EQ(recordsStartingWith(QStringLiteral("[CNetwork] SyncDownload: EConnClosedError: ")).size(), 1)
        << logText().toStdString();
}

// A callback's error reaches the transfer: the download fails like any other.
TEST_F(NetworkTest, ErrorInAProgressCallbackFailsTheDownload)
{
    server.serve("vrnsetup.zip", knownBytes(1000));
    server.start();
    bool result = true;
    EXPECT_TRUE(runWhilePumping([&] {
        CNetwork download([](qint64) { throw EInOutError(QStringLiteral("the page is gone")); }, [](qint64) {}, [] {});
        result = download.SyncDownload(server.url(QStringLiteral("vrnsetup.zip")), target);
    }));
    EXPECT_FALSE(result);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(recordsStartingWith(QStringLiteral("[CNetwork] SyncDownload: EInOutError: the page is gone")).size(), 1);
}

TEST_F(NetworkTest, SyncDownloadOfAMissingFileFailsWithoutProgress)
{
    server.serveStatus("vrnsetup.exe", 404);
    server.start();
    ProgressRecord progress;
    EXPECT_FALSE(syncDownload(progress, server.url(QStringLiteral("vrnsetup.exe")), target));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(progress.calls.isEmpty());
    EXPECT_EQ(recordsStartingWith(QStringLiteral("[CNetwork] SyncDownload: EHTTPProtocolError: HTTP/1.1 404 Not Found")).size(),
              1);
}

TEST_F(NetworkTest, SyncDownloadOfAnEmptyReplyFailsAndLeavesNoFile)
{
    server.serve("vrnsetup.zip", QByteArray());
    server.start();
    ProgressRecord progress;
    EXPECT_FALSE(syncDownload(progress, server.url(QStringLiteral("vrnsetup.zip")), target));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(progress.calls, (QStringList{QStringLiteral("begin(0)"), QStringLiteral("end")}));
}
