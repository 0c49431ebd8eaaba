#pragma once
// A look into a download while it runs: the download tells which part file it writes and
// how many of its bytes are there; a reader on another thread waits for the bytes it
// needs and reads them from the part itself. Bytes only ever arrive in order: a download
// that continues after a break goes on where it stopped, one that starts over (or ends)
// tells the reader, whose bytes read so far are then void.

#include <QFile>
#include <QString>

#include <condition_variable>
#include <mutex>

class TDownloadTap {
public:
    // ---- the download's side, from its transfer thread
    // The part file that is written from its first byte on; it exists by now. The reader
    // reads it through a handle opened here, so that the part may be renamed at its end
    // before the reader came to look.
    void Opened(const QString& partPath);
    // The part now holds its first `bytes` bytes.
    void Grew(qint64 bytes);
    // The whole file is `total` bytes long (-1: unknown).
    void Expect(qint64 total);
    // The part is emptied: what was read of it is void.
    void StartedOver();
    // No more bytes come; `whole`: the part holds the whole file.
    void Ended(bool whole);

    // ---- the reader's side
    // Waits until the part holds `bytes` bytes; false when they will never come (the
    // download ended short, started over after bytes were shown, or the reader gave up).
    bool WaitFor(qint64 bytes);
    // The bytes the part holds now.
    qint64 Present() const;
    // The bytes the part still has to take (0 when the length is unknown).
    qint64 StillToCome() const;
    // A handle open for reading the part file (-1 until it was opened, or when it could
    // not be read); it stays the tap's own.
    int ReadHandle() const;
    // True once the download ended with the whole file and never started over after bytes were shown.
    bool EndedWhole() const;
    // Wakes every wait for good.
    void GiveUp();
    // The download is over, whether or not it told so: waits for bytes still missing end.
    void Close();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_grown;
    QFile m_reader;
    qint64 m_bytes = 0;
    qint64 m_total = -1;
    qint64 m_wanted = 0;
    bool m_restarted = false;
    bool m_ended = false;
    bool m_whole = false;
    bool m_givenUp = false;
};
