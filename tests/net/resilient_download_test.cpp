// Downloads on networks and disks that fail: a full disk, endless or dripping small
// replies, connections cut mid-way, a replaced file, parts kept across runs, and the
// bounds of retrying.
#include "net/download_cache.h"
#include "net/reply_headers.h"
#include "net/release_integrity.h"
#include "net/retry_policy.h"
#include "net/setup_network.h"
#include "fault_injecting_server.h"
#include "net_test_support.h"
#include "release_server.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace nettest;

namespace {

class ResilientDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = startLog(QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        target = folder + QStringLiteral("/target.bin");
        TRetryPolicy::SetPauseScale(0.01);
        QDir(sandbox::home() + QStringLiteral("/.cache/vorlen-setup")).removeRecursively();
    }
    void TearDown() override
    {
        TRetryPolicy::SetPauseScale(1.0);
        CNetwork::SetSmallRequestDeadlineSeconds(CNetwork::SmallRequestDeadlineSeconds);
    }
    QString folder;
    QString target;
};

// The begin notices and running totals a download showed.
struct Shown {
    std::vector<qint64> begins;
    std::vector<qint64> totals;
};

bool syncDownload(const QString& url, const QString& file, Shown& shown, QByteArray* sha256 = nullptr)
{
    bool result = false;
    runWhilePumping([&] {
        CNetwork download([&shown](qint64 max) { shown.begins.push_back(max); },
                          [&shown](qint64 total) { shown.totals.push_back(total); }, [] {});
        result = download.SyncDownload(url, file);
        if (sha256)
            *sha256 = download.Sha256();
    });
    return result;
}

}  // namespace

TEST_F(ResilientDownloadTest, AFailedWriteFailsTheDownloadWithTheSystemsReasonAndLeavesNothing)
{
    ReleaseServer server;
    server.serve("system.xml", knownBytes(100000));
    server.start();
    qputenv("XDG_CACHE_HOME", "/dev/null/cache");  // no cache: the part lies beside the target
    const struct {
        const char* prefix;
        std::function<bool()> download;
    } cases[] = {
        {"[CNetwork class] Download: ", [&] { return CNetwork::Download(server.url(QStringLiteral("system.xml")), target); }},
        {"[CNetwork] SyncDownload: ", [&] {
             Shown shown;
             return syncDownload(server.url(QStringLiteral("system.xml")), target, shown);
         }},
    };
    for (const auto& c : cases) {
        QFile::link(QStringLiteral("/dev/full"), target + QStringLiteral(".part"));  // a disk that is full
        EXPECT_FALSE(c.download()) << c.prefix;
        EXPECT_FALSE(QFile::exists(target)) << c.prefix;
        EXPECT_FALSE(QFileInfo(target + QStringLiteral(".part")).isSymLink()) << c.prefix;
        const QString error = QStringLiteral("%1EInOutError: Cannot write file \"%2.part\". No space left on device")
                                  .arg(QLatin1String(c.prefix), target);
        EXPECT_TRUE(logText().contains(error)) << logText().toStdString();
        EXPECT_TRUE(logText().contains(QLatin1String(c.prefix) + QStringLiteral("http"))) << c.prefix;
        EXPECT_FALSE(logText().contains(QStringLiteral("retry"))) << "a full disk is not retried";
    }
    qputenv("XDG_CACHE_HOME", (sandbox::home() + QStringLiteral("/.cache")).toLocal8Bit());
}

TEST_F(ResilientDownloadTest, SmallRequestsHaveALengthLimitAndADeadline)
{
    ReleaseServer server;
    server.serveEndless("endless.xml", 1024 * 1024);
    server.serveCutShort("huge.xml", 200 * 1024 * 1024, knownBytes(10));
    server.servePaced("dripped.xml", knownBytes(120), 120, 1000);  // a byte a second for two minutes
    server.start();
    // The length cases keep the full deadline, so only the cap can end them however
    // slowly a busy machine moves the bytes; the drip outlasts its shortened deadline
    // many times over.
    const struct {
        const char* file;
        long deadlineSeconds;
        QString error;
    } cases[] = {
        {"endless.xml", CNetwork::SmallRequestDeadlineSeconds, QStringLiteral("ENetworkError: The reply is longer than the limit of 67108864 bytes")},
        {"huge.xml", CNetwork::SmallRequestDeadlineSeconds, QStringLiteral("ENetworkError: The reply is longer than the limit of 67108864 bytes")},
        {"dripped.xml", 1, QStringLiteral("ETimeoutError: Operation timed out after")},
    };
    for (const auto& c : cases) {
        CNetwork::SetSmallRequestDeadlineSeconds(c.deadlineSeconds);
        EXPECT_FALSE(CNetwork::Download(server.url(QString::fromLatin1(c.file)), target)) << c.file;
        EXPECT_FALSE(QFile::exists(target)) << c.file;
        EXPECT_TRUE(logText().contains(QStringLiteral("[CNetwork class] Download: ") + c.error)) << c.file;
    }
}

// The display continues where it was after a break and starts over only with another file.
TEST_F(ResilientDownloadTest, ACutTransferContinuesItsFileAndItsProgressAReplacedFileStartsOver)
{
    const QByteArray body = knownBytes(300000);
    const QByteArray replacement = knownBytes(250000).toBase64().left(250000);
    const struct {
        const char* what;
        FaultPlan plan;
        QByteArray result;
        std::vector<qint64> begins;
    } cases[] = {
        {"cut", {.cutAt = {120000, 200000}}, body, {300000}},
        {"replaced", {.cutAt = {120000}, .replacement = replacement}, replacement, {300000, 250000}},
    };
    for (const auto& c : cases) {
        FaultInjectingServer server;
        server.serve("vrnsetup.zip", body, c.plan);
        server.start();
        Shown shown;
        QByteArray sha256;
        EXPECT_TRUE(syncDownload(server.base() + QStringLiteral("vrnsetup.zip"), target, shown, &sha256)) << c.what << logText().toStdString();
        EXPECT_EQ(readFile(target), c.result) << c.what;
        EXPECT_EQ(sha256, QCryptographicHash::hash(c.result, QCryptographicHash::Sha256).toHex()) << c.what;
        EXPECT_EQ(shown.begins, c.begins) << c.what;
        EXPECT_EQ(shown.totals.back(), c.result.size()) << c.what;
        EXPECT_LE(server.bytesServed("vrnsetup.zip"), 120000 + c.result.size()) << c.what;
        if (c.plan.replacement.isEmpty()) {
            EXPECT_TRUE(std::is_sorted(shown.totals.begin(), shown.totals.end())) << "the bar never jumps back";
        }
    }
}

TEST_F(ResilientDownloadTest, ACachedPartIsKeptOnlyWhileItCanStillBeContinued)
{
    const QString url = QStringLiteral("http://127.0.0.1:1/vrn/setup/vrnsetup.zip");
    const struct {
        const char* what;
        std::function<void(const QString& part, const QString& meta)> change;
        bool kept;
    } cases[] = {
        {"fresh", [](const QString&, const QString&) {}, true},
        {"older than a week",
         [](const QString& part, const QString&) {
             QFile file(part);
             file.open(QIODevice::ReadWrite);
             file.setFileTime(QDateTime::currentDateTime().addDays(-8), QFileDevice::FileModificationTime);
         },
         false},
        {"longer than its file", [](const QString& part, const QString&) {
             QFile file(part);
             file.open(QIODevice::Append);
             file.write(knownBytes(2000));
         },
         false},
        {"of another address", [](const QString&, const QString& meta) {
             QFile file(meta);
             file.open(QIODevice::WriteOnly);
             file.write("http://elsewhere/\n\"v\"\n1000\n");
         },
         false},
        {"a validator holding CR", [&url](const QString&, const QString& meta) {
             QFile file(meta);
             file.open(QIODevice::WriteOnly) && file.write(url.toUtf8() + "\n\"v\rw\"\n1000\n");
         },
         false},
    };
    for (const auto& c : cases) {
        QString part;
        {
            const auto entry = TCachedDownload::Open(url);
            ASSERT_TRUE(entry);
            EXPECT_FALSE(TCachedDownload::Open(url)) << "one run at a time";
            entry->Describe("\"v\"", 1000);
            part = entry->PartPath();
            QFile file(part);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(knownBytes(500));
        }
        c.change(part, part.chopped(5) + QStringLiteral(".meta"));
        const auto again = TCachedDownload::Open(url);
        EXPECT_EQ(again->Validator(), c.kept ? QByteArray("\"v\"") : QByteArray()) << c.what;
        EXPECT_EQ(QFileInfo(part).size(), c.kept ? 500 : 0) << c.what;
        again->Discard();
    }
}

// A busy server's own pause is taken as long as it stays within the bound; a connection
// that keeps failing without a byte arriving is given up after a bounded number of tries.
TEST(TRetryPolicy, HonoursRetryAfterWithinTheBoundAndGivesUpWithoutProgress)
{
    const std::exception_ptr busy = std::make_exception_ptr(EHTTPProtocolError(QStringLiteral("HTTP/1.1 503")));
    const std::exception_ptr reset = std::make_exception_ptr(ESocketError(QStringLiteral("reset")));
    THttpReplyHead busyHead;
    busyHead.status = 503;
    busyHead.retryAfterSeconds = 3;
    TRetryPolicy policy;
    EXPECT_EQ(policy.NextPause(busy, busyHead), std::chrono::milliseconds(3000));
    busyHead.retryAfterSeconds = 3600;
    EXPECT_EQ(policy.NextPause(busy, busyHead), std::nullopt);
    for (int retry = 1; retry < TRetryPolicy::MaxRetriesWithoutProgress; ++retry)
        EXPECT_LE(policy.NextPause(reset, {}), TRetryPolicy::MaxPause) << retry;
    EXPECT_EQ(policy.NextPause(reset, {}), std::nullopt);
    policy.ProgressMade();
    EXPECT_LE(policy.NextPause(reset, {}), TRetryPolicy::FirstPause) << "progress starts the pauses over";
}

// A range that does not continue the part exactly, or a validator with a control
// character, is never spliced onto a part nor sent back.
TEST(ReplyHeaders, ARangeOrValidatorIsTakenOnlyWhenItHoldsTogether)
{
    constexpr qint64 no = -2;  // refused
    const struct {
        const char* value;
        qint64 first, last = no, total = no;
    } ranges[] = {
        {"bytes 100-199/1000", 100, 199, 1000}, {"Bytes  0-0/*", 0, 0, -1}, {"bytes */1000", -1, -1, 1000}, {"bytes 1-2/2", no},
        {"bytes 100-199/-5", no}, {"bytes 2-1/9", no}, {"bytes +1-2/3", no}, {"bytes 0-1/99999999999999999999", no},
        {"bytes 0-1/2x", no}, {"bytes */*", no}, {"items 0-1/2", no},
    };
    for (const auto& c : ranges) {
        const auto range = ReplyHeaders::ParseContentRange(c.value).value_or(ReplyHeaders::TContentRange{no, no, no});
        EXPECT_EQ(std::tie(range.first, range.last, range.total), std::tie(c.first, c.last, c.total)) << c.value;
    }
    // first, last, total, announced length, byte asked for, total known; accepted
    const qint64 replies[][7] = {{100, 999, 1000, 900, 100, 1000, 1}, {100, 999, 1000, -1, 100, -1, 1}, {50, 999, 1000, 950, 100, 1000, 0},
                                 {100, 199, 1000, 100, 100, 1000, 0}, {100, 999, 1000, 900, 100, 2000, 0}, {100, 999, 1000, 50, 100, 1000, 0},
                                 {100, 999, -1, 900, 100, -1, 0}};
    for (const auto& r : replies) {
        const THttpReplyHead head{.status = 206, .length = r[3], .validator = {}, .rangeFirst = r[0], .rangeLast = r[1], .rangeTotal = r[2]};
        EXPECT_EQ(ReplyHeaders::RangeReplyRefusal(head, r[4], r[5]).isEmpty(), r[6] == 1) << r[0] << "-" << r[1] << "/" << r[2];
    }
    EXPECT_EQ(ReplyHeaders::ChooseValidator("\"a\rb\"", "Sun, 06 Nov 1994"), "Sun, 06 Nov 1994") << "the date, not the ETag";
    EXPECT_EQ(ReplyHeaders::ChooseValidator(QByteArray("\"a\0b\"", 5), "Sun\x7f"), "");
    EXPECT_EQ(ReplyHeaders::ChooseValidator("W/\"a\"", "Sun, 06 Nov 1994"), "Sun, 06 Nov 1994") << "a weak ETag";
}

// What a server asks for is bounded before any arithmetic: a pause beyond the time left
// ends the retries, however large the number.
TEST(TRetryPolicy, ARetryAfterOfAnySizeOrDateFitsTheTimeLeftOrEndsTheRetries)
{
    constexpr long max = ReplyHeaders::MaxRetryAfterSeconds;
    const std::pair<const char*, long> cases[] = {
        {" 120\t", 120}, {"9223372036854776", max}, {"99999999999999999999999", max}, {"-5", -1}, {"+5", -1}, {"soon", -1},
        {"Sun, 06 Nov 1994 08:50:07 GMT", 30}, {"Sunday, 06-Nov-94 08:50:07 GMT", 30}, {"Sun Nov  6 08:50:07 1994", 30},
        {"Sun, 06 Nov 1994 08:00:00 GMT", 0}, {"Fri, 31 Dec 9999 23:59:59 GMT", max},
    };
    for (const auto& [value, seconds] : cases)
        EXPECT_EQ(ReplyHeaders::ParseRetryAfter(value, 784111777), seconds) << value;  // 08:49:37 that day
    const std::exception_ptr busy = std::make_exception_ptr(EHTTPProtocolError(QStringLiteral("HTTP/1.1 503")));
    for (const long seconds : {LONG_MAX, LONG_MAX / 1000 + 1, 601L, max})
        EXPECT_EQ(TRetryPolicy().NextPause(busy, {.status = 503, .validator = {}, .retryAfterSeconds = seconds}), std::nullopt) << seconds;
}
