#include "app/setup_logging.h"

#include "platform/platform.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>

namespace {

const QByteArray utf8Bom("\xEF\xBB\xBF", 3);
const QString crlf = QStringLiteral("\r\n");

bool isZoneSeparator(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char(',') || c.isSpace(); }

// Removes the time-zone letters at [begin, end) with the brackets that only enclose
// them and the separators on one side ("h:mm:ss [t]", "t HH:mm:ss", "HH:mm:ss, t").
QString withoutZoneAt(const QString& format, qsizetype begin, qsizetype end)
{
    static const QString opening = QStringLiteral("([{\uFF08\u3010");
    static const QString closing = QStringLiteral(")]}\uFF09\u3011");
    while (begin > 0 && end < format.size()) {
        const qsizetype kind = opening.indexOf(format[begin - 1]);
        if (kind < 0 || format[end] != closing[kind])
            break;
        --begin;
        ++end;
    }
    const qsizetype before = begin;
    while (begin > 0 && isZoneSeparator(format[begin - 1]))
        --begin;
    if (begin == before)
        while (end < format.size() && isZoneSeparator(format[end]))
            ++end;
    return format.left(begin) + format.mid(end);
}

// The first run of time-zone letters outside quoted text; -1 when there is none.
qsizetype zoneMarker(const QString& format, qsizetype& length)
{
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == QLatin1Char('\''))
            quoted = !quoted;
        else if (!quoted && format[i] == QLatin1Char('t')) {
            length = 1;
            while (i + length < format.size() && format[i + length] == QLatin1Char('t'))
                ++length;
            return i;
        }
    }
    return -1;
}

bool isAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() > 0x7F)
            return false;
    return true;
}

void writeAll(QFile& file, const QByteArray& bytes)
{
    if (file.write(bytes) != bytes.size())
        throw fileWriteError(file.fileName(), file.errorString());
}

}  // namespace

QString TimeFormatWithoutZone(const QString& format)
{
    QString result = format;
    qsizetype length = 0;
    for (qsizetype at = zoneMarker(result, length); at >= 0; at = zoneMarker(result, length))
        result = withoutZoneAt(result, at, at + length);
    return result.trimmed();
}

AppLogger::AppLogger() : AppLogger(QLocale::system()) {}

AppLogger::AppLogger(const QLocale& locale)
    : _locale(locale),
      _dateFormat(locale.dateFormat(QLocale::ShortFormat)),
      _timeFormat(TimeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)))
{
}

QString AppLogger::TimeStamp() const
{
    const QDateTime now = QDateTime::currentDateTime();
    QString stamp = _locale.toString(now.date(), _dateFormat);
    if (now.time() != QTime(0, 0))
        stamp += QLatin1Char(' ') + _locale.toString(now.time(), _timeFormat);
    return stamp;
}

void AppLogger::Start(const QString& AFileName)
{
    std::lock_guard lock(_fileLock);
    _logFileName = AFileName;
    if (QFile::exists(AFileName) && !QFile::remove(AFileName))
        throw EInOutError(QStringLiteral("Cannot delete the earlier log \"%1\".").arg(AFileName));
    const QString hyphens(80, QLatin1Char('-'));
    const QString header = hyphens + crlf + crlf + QStringLiteral("\tStart: ") + TimeStamp() + crlf
                           + QStringLiteral("\tThreadID: ") + QString::number(platform::currentThreadId()) + crlf
                           + crlf + hyphens + crlf;
    QFile file(AFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw fileCreateError(AFileName, file.errorString());
    // A header that is not ASCII (a time stamp in a non-Latin locale) starts with the byte-order
    // mark, so the first non-ASCII record does not read it as the ANSI code page and mangle it.
    writeAll(file, isAscii(header) ? header.toLatin1() : utf8Bom + header.toUtf8());
    _started = true;
}

void AppLogger::Info(const QString& ALine)
{
    AppendRecord("] INFO  -> ", ALine);
}

QString AppLogger::LastError() const
{
    std::lock_guard<std::mutex> lock(_fileLock);
    return _lastError;
}

void AppLogger::Error(const QString& ALine)
{
    {
        std::lock_guard<std::mutex> lock(_fileLock);
        _lastError = ALine;
    }
    AppendRecord("] ERROR -> ", ALine);
}

QString AppLogger::GetFileName() const
{
    std::lock_guard lock(_fileLock);
    return _logFileName;
}

void AppLogger::AppendRecord(const char* marker, const QString& line)
{
    if (!_started)
        return;
    AppendToFile(crlf + QLatin1Char('[') + TimeStamp() + QStringLiteral("] [")
                 + QString::number(platform::currentThreadId()) + QLatin1String(marker) + line + crlf);
}

void AppLogger::AppendToFile(const QString& text)
{
    std::lock_guard lock(_fileLock);  // released on every path, a failed append included
    QFile file(_logFileName);
    if (!file.open(QIODevice::ReadWrite))
        throw EInOutError(QStringLiteral("Cannot open the log \"%1\". %2").arg(_logFileName, file.errorString()));
    const bool hasBom = file.peek(3) == utf8Bom;
    if (!hasBom && isAscii(text)) {
        file.seek(file.size());
        writeAll(file, text.toLatin1());
        return;
    }
    if (!hasBom) {
        // the first record with a non-ASCII character turns the whole file into UTF-8
        const QByteArray earlier = platform::decodeCodePage(file.readAll()).toUtf8();
        file.seek(0);
        file.resize(0);
        writeAll(file, utf8Bom + earlier);
    }
    file.seek(file.size());
    writeAll(file, text.toUtf8());
}

AppLogger& Logger()
{
    static AppLogger* const instance = new AppLogger;
    return *instance;
}
