#pragma once
// What the network tests share: a fresh log per test and its records, a body of
// known bytes, and a main thread that pumps while a worker runs.

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace nettest {

// Starts the process-wide log in a fresh folder; returns that folder.
inline QString startLog(const QString& name)
{
    const QString folder = sandbox::freshFolder(name);
    Logger().Start(folder + QStringLiteral("/test.log"));
    return folder;
}

inline QString logText()
{
    return QString::fromUtf8(readFile(Logger().GetFileName()));
}

// The one-line records of the log as "INFO:text" and "ERROR:text".
inline QStringList records()
{
    static const QRegularExpression record(
        QStringLiteral("\r\n\\[[^\\]\r\n]+\\] \\[\\d+\\] (INFO  ->|ERROR ->) ([^\r\n]*)\r\n"));
    QStringList found;
    for (const auto& match : record.globalMatch(logText()))
        found << match.captured(1).left(5).trimmed() + QLatin1Char(':') + match.captured(2);
    return found;
}

// The records that start with `prefix`.
inline QStringList recordsStartingWith(const QString& prefix)
{
    QStringList found;
    for (const QString& line : records()) {
        const QString text = line.mid(line.indexOf(QLatin1Char(':')) + 1);
        if (text.startsWith(prefix))
            found << line;
    }
    return found;
}

inline QByteArray knownBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// Runs `work` on a worker thread while the main thread pumps its messages, as a
// script waits for a job. Work that does not end in time ends the test program:
// the worker still refers to the test's variables, so it can neither be left
// running nor be waited for.
inline bool runWhilePumping(const std::function<void()>& work, int timeoutMs = 20000)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
        CSetupCore::WakeMainThread();
    });
    QTimer ticker;  // wakes the pump now and then, so that the deadline is seen
    ticker.start(100);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done && std::chrono::steady_clock::now() < deadline)
        CSetupCore::ProcessOneMessage();
    if (!done) {
        std::fprintf(stderr, "the worker did not end within %d ms\n", timeoutMs);
        std::abort();
    }
    worker.join();
    return true;
}

}  // namespace nettest
