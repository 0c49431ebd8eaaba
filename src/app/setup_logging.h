#pragma once
// The run's log: one plain-text file in the temporary folder, appended to by
// every thread, one record per call, opened and closed for every record so that
// everything logged before a crash is on disk.

#include <QLocale>
#include <QString>

#include <atomic>
#include <mutex>

// A locale's long time format without its time-zone part ("t" outside quoted text),
// and without the brackets and separators that only surround it.
QString TimeFormatWithoutZone(const QString& format);

class AppLogger {
public:
    // Time stamps in the system's locale, or in `locale`.
    AppLogger();
    explicit AppLogger(const QLocale& locale);
    AppLogger(const AppLogger&) = delete;
    AppLogger& operator=(const AppLogger&) = delete;

    // Replaces the file with the log header; records written before are dropped.
    void Start(const QString& AFileName);
    void Info(const QString& ALine);
    void Error(const QString& ALine);
    QString GetFileName() const;
    // The text of the last ERROR record of this run (empty when there was none).
    QString LastError() const;

    // The time stamp of the records: the locale's short date and long time, the
    // time left out at exactly midnight.
    QString TimeStamp() const;

private:
    void AppendRecord(const char* marker, const QString& line);
    void AppendToFile(const QString& text);

    QString _logFileName;
    QString _lastError;
    std::atomic<bool> _started{false};
    mutable std::mutex _fileLock;
    QLocale _locale;
    QString _dateFormat;
    QString _timeFormat;
};

// The process-wide logger. It is never freed, so threads that outlive the
// script may go on logging while the process ends.
AppLogger& Logger();
