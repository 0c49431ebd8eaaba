// The log file's bytes: header, records, the switch to UTF-8, concurrency.
#include "app/setup_logging.h"
#include "platform/platform_errors.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

#include <gtest/gtest.h>

#include <thread>

namespace {

const QByteArray bom("\xEF\xBB\xBF", 3);

QString logPath(const QString& name)
{
    return sandbox::freshFolder(name) + QStringLiteral("/test.log");
}

// The records of a log: the text after each "] INFO  -> " or "] ERROR -> " marker.
QStringList records(const QString& text)
{
    static const QRegularExpression record(
        QStringLiteral("\r\n\\[[^\\]\r\n]+\\] \\[\\d+\\] (INFO  ->|ERROR ->) ([^\r\n]*)\r\n"));
    QStringList found;
    for (const auto& match : record.globalMatch(text))
        found << match.captured(1).left(5).trimmed() + QLatin1Char(':') + match.captured(2);
    return found;
}

}  // namespace

TEST(AppLogger, WritesTheHeaderAndRecordsByteForByte)
{
    const QString path = logPath(QStringLiteral("header"));
    AppLogger log;
    log.Start(path);
    log.Info(QStringLiteral("CSetup Version: 15"));
    log.Error(QString());
    const QByteArray bytes = readFile(path);

    const QString hyphens(80, QLatin1Char('-'));
    const QRegularExpression layout(QStringLiteral(
        "^%1\r\n\r\n\tStart: ([^\r\n]+)\r\n\tThreadID: (\\d+)\r\n\r\n%1\r\n"
        "\r\n\\[([^\\]]+)\\] \\[(\\d+)\\] INFO  -> CSetup Version: 15\r\n"
        "\r\n\\[([^\\]]+)\\] \\[(\\d+)\\] ERROR -> \r\n$").arg(hyphens));
    const auto match = layout.match(QString::fromLatin1(bytes));
    ASSERT_TRUE(match.hasMatch()) << bytes.toStdString();
    EXPECT_FALSE(bytes.startsWith(bom));
    EXPECT_EQ(match.captured(2), match.captured(4)) << "the same thread wrote header and record";
    EXPECT_EQ(log.GetFileName(), path);
}

TEST(AppLogger, FirstNonAsciiRecordTurnsTheFileIntoUtf8WithAMark)
{
    const QString path = logPath(QStringLiteral("bom"));
    AppLogger log;
    log.Start(path);
    log.Info(QStringLiteral("plain ascii"));
    const QByteArray before = readFile(path);
    ASSERT_FALSE(before.startsWith(bom));

    log.Info(QStringLiteral("Путь: C:/Пользователи"));
    log.Info(QStringLiteral("after"));
    const QByteArray after = readFile(path);
    ASSERT_TRUE(after.startsWith(bom));
    EXPECT_TRUE(after.mid(3).startsWith(before)) << "earlier ASCII bytes stay unchanged after the mark";
    EXPECT_EQ(records(QString::fromUtf8(after.mid(3))),
              (QStringList{QStringLiteral("INFO:plain ascii"), QStringLiteral("INFO:Путь: C:/Пользователи"),
                           QStringLiteral("INFO:after")}));
    EXPECT_EQ(after.count(bom), 1);
}

TEST(AppLogger, StartReplacesAnEarlierLogAndRecordsBeforeStartAreDropped)
{
    const QString path = logPath(QStringLiteral("replace"));
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("\xEF\xBB\xBF" "old run\r\n");
    }
    AppLogger log;
    log.Info(QStringLiteral("before start"));
    EXPECT_TRUE(log.GetFileName().isEmpty());
    EXPECT_EQ(readFile(path), QByteArray("\xEF\xBB\xBF" "old run\r\n"));

    log.Start(path);
    const QByteArray bytes = readFile(path);
    EXPECT_TRUE(bytes.startsWith(QByteArray(80, '-')));
    EXPECT_FALSE(bytes.contains("old run"));
    EXPECT_FALSE(bytes.contains("before start"));
}

TEST(AppLogger, TwoThreadsWritingAtOnceLeaveEveryRecordWhole)
{
    const QString path = logPath(QStringLiteral("threads"));
    AppLogger log;
    log.Start(path);
    auto writer = [&log](const QString& who) {
        for (int i = 0; i < 1000; ++i)
            log.Info(QStringLiteral("%1 record %2 with some text to make it longer").arg(who).arg(i));
    };
    std::thread first(writer, QStringLiteral("first"));
    std::thread second(writer, QStringLiteral("second"));
    first.join();
    second.join();

    const QString text = QString::fromLatin1(readFile(path));
    const QStringList found = records(text);
    ASSERT_EQ(found.size(), 2000);
    for (const QString& who : {QStringLiteral("first"), QStringLiteral("second")}) {
        int next = 0;
        for (const QString& record : found) {
            if (record.startsWith(QStringLiteral("INFO:") + who + QLatin1Char(' '))) {
                EXPECT_EQ(record, QStringLiteral("INFO:%1 record %2 with some text to make it longer").arg(who).arg(next++));
            }
        }
        EXPECT_EQ(next, 1000);
    }
}

TEST(AppLogger, FailingAppendRaisesAndReleasesTheLock)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("fail"));
    const QString path = folder + QStringLiteral("/test.log");
    AppLogger log;
    log.Start(path);
    // a folder in place of the file makes every append fail
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_THROW(log.Info(QStringLiteral("lost")), EInOutError);
    ASSERT_TRUE(QDir().rmdir(path));
    log.Info(QStringLiteral("written once the file can be made again"));  // would deadlock if the lock stayed held
    EXPECT_TRUE(readFile(path).contains("written once"));
}

TEST(AppLogger, StartInAMissingFolderRaisesTheFileCreationError)
{
    AppLogger log;
    const QString path = sandbox::root() + QStringLiteral("/no/such/folder/test.log");
    try {
        log.Start(path);
        FAIL() << "Start did not raise";
    } catch (const EFCreateError& error) {
        EXPECT_TRUE(error.message().startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(path)))
            << error.message().toStdString();
    }
}

// The time stamp carries no time zone, nor the brackets or separators left around
// one, in any locale the system knows ("Bh:mm:ss [t]" of zh_TW gives "Bh:mm:ss").
TEST(AppLogger, TimeStampsHoldNoTraceOfTheTimeZoneInAnyLocale)
{
    const std::pair<const char*, const char*> formats[] = {
        {"HH:mm:ss t", "HH:mm:ss"},           {"Bh:mm:ss [t]", "Bh:mm:ss"},
        {"APh:mm:ss [t]", "APh:mm:ss"},       {"t APh:mm:ss", "APh:mm:ss"},
        {"H:mm:ss (t)", "H:mm:ss"},           {"HH:mm:ss, t", "HH:mm:ss"},
        {"h:mm:ss AP, t", "h:mm:ss AP"},      {"h:mm:ss tttt AP", "h:mm:ss AP"},
        {"H 'h' mm 'min' ss 's' t", "H 'h' mm 'min' ss 's'"},
        {"HH:mm 'at' ss", "HH:mm 'at' ss"},   {"[HH:mm:ss]", "[HH:mm:ss]"},
    };
    for (const auto& [format, expected] : formats)
        EXPECT_EQ(TimeFormatWithoutZone(QString::fromUtf8(format)), QString::fromUtf8(expected)) << format;

    static const QRegularExpression leftOver(QStringLiteral(R"(\(\s*\)|\[\s*\]|（\s*）|^[\s,]|[\s,]$|\s\s)"));
    int checked = 0;
    for (const QLocale& locale : QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript,
                                                          QLocale::AnyTerritory)) {
        const QString format = TimeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat));
        const QString time = locale.toString(QTime(13, 14, 15), format);
        EXPECT_FALSE(leftOver.match(time).hasMatch()) << locale.name().toStdString() << ": " << time.toStdString();
        EXPECT_FALSE(QString(format).remove(QRegularExpression(QStringLiteral("'[^']*'"))).contains(QLatin1Char('t')))
            << locale.name().toStdString() << ": " << format.toStdString();
        const QString stamp = AppLogger(locale).TimeStamp();
        EXPECT_FALSE(stamp.contains(QLatin1String("[]")) || stamp.contains(QLatin1String("()")))
            << locale.name().toStdString() << ": " << stamp.toStdString();
        ++checked;
    }
    EXPECT_GT(checked, 300);
}
