#pragma once
// The run's log: one plain-text file in the temporary folder, appended to by
// every thread, one record per call, opened and closed for every record so that
// everything logged before a crash is on disk.

#include <QString>

#include <atomic>
#include <mutex>

class AppLogger {
public:
    AppLogger();
    AppLogger(const AppLogger&) = delete;
    AppLogger& operator=(const AppLogger&) = delete;

    // Replaces the file with the log header; records written before are dropped.
    void Start(const QString& AFileName);
    void Info(const QString& ALine);
    void Error(const QString& ALine);
    QString GetFileName() const;

    // The time stamp of the records: the locale's short date and long time, the
    // time left out at exactly midnight.
    QString TimeStamp() const;

private:
    void AppendRecord(const char* marker, const QString& line);
    void AppendToFile(const QString& text);

    QString _logFileName;
    std::atomic<bool> _started{false};
    mutable std::mutex _fileLock;
    QString _dateFormat;
    QString _timeFormat;
};

// The process-wide logger. It is never freed, so threads that outlive the
// script may go on logging while the process ends.
AppLogger& Logger();
