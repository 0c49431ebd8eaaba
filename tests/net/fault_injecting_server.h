#pragma once
// A static-file server on 127.0.0.1 that misbehaves on purpose, written on plain
// sockets so that every byte it sends is under the test's control. Files carry an
// ETag and answer Range requests guarded by If-Range, as ordinary web servers do; a
// plan makes the replies of one file fail in order: busy replies, connections cut
// at given bytes of the file, a stall, ranges ignored, the file replaced.

#include <QByteArray>
#include <QString>

#include "loopback_socket.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FaultPlan {
    // The first replies are this status (503, 404, ...), with Retry-After: 1 for 503.
    int failingStatus = 0;
    int failingReplies = 0;
    // Reply n (counted after the failing ones) ends its connection after byte cutAt[n]
    // of the file; later replies are whole.
    std::vector<qint64> cutAt{};
    // The first body reply stops sending after this many bytes and keeps the connection open.
    qint64 stallAt = -1;
    bool ignoreRanges = false;
    // From the second body reply on, this file (with another ETag) is served instead.
    QByteArray replacement{};
    // The first body replies carry the middle byte of the file changed (same ETag).
    int damagedReplies = 0;
};

class FaultInjectingServer {
public:
    void serve(const std::string& path, const QByteArray& body, const FaultPlan& plan = {})
    {
        m_files[path] = File{body, plan, 0, 0, {}};
    }
    void start()
    {
        m_listener.start([this](int client) { answer(client); });
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_listener.port()); }

    // Body bytes sent for `path` so far, and the first byte each request asked for.
    qint64 bytesServed(const std::string& path)
    {
        std::lock_guard lock(m_lock);
        return m_files[path].served;
    }
    int requests(const std::string& path)
    {
        std::lock_guard lock(m_lock);
        return m_files[path].replies;
    }
    std::vector<qint64> rangesAsked(const std::string& path)
    {
        std::lock_guard lock(m_lock);
        return m_files[path].asked;
    }

private:
    struct File {
        QByteArray body;
        FaultPlan plan;
        int replies = 0;
        qint64 served = 0;
        std::vector<qint64> asked;
    };

    bool send(int client, const char* data, size_t size)
    {
        return ::send(client, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
    }

    void answer(int client)
    {
        const std::string head = readRequestHead(client);
        if (head.find("\r\n\r\n") == std::string::npos)
            return;
        const size_t pathStart = head.find(' ') + 2;
        const std::string path = head.substr(pathStart, head.find(' ', pathStart) - pathStart);
        std::unique_lock lock(m_lock);
        const auto found = m_files.find(path);
        if (found == m_files.end()) {
            lock.unlock();
            const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            send(client, missing.data(), missing.size());
            return;
        }
        File& file = found->second;
        const FaultPlan plan = file.plan;
        const int reply = file.replies++;
        if (reply < plan.failingReplies) {
            lock.unlock();
            const std::string status = "HTTP/1.1 " + std::to_string(plan.failingStatus) + " Failing\r\n"
                                       + (plan.failingStatus == 503 ? "Retry-After: 1\r\n" : "")
                                       + "Content-Length: 0\r\nConnection: close\r\n\r\n";
            send(client, status.data(), status.size());
            return;
        }
        const int bodyReply = reply - plan.failingReplies;
        const bool replaced = bodyReply > 0 && !plan.replacement.isEmpty();
        QByteArray body = replaced ? plan.replacement : file.body;
        if (bodyReply < plan.damagedReplies)
            body[body.size() / 2] = static_cast<char>(body[body.size() / 2] ^ 0x55);
        const std::string etag = replaced ? "\"second\"" : "\"first\"";
        qint64 from = 0;
        const std::string range = requestHeader(head, "range");
        if (!plan.ignoreRanges && range.rfind("bytes=", 0) == 0 && requestHeader(head, "if-range") == etag)
            from = std::stoll(range.substr(6));
        file.asked.push_back(range.empty() ? 0 : std::stoll(range.substr(6)));
        const qint64 total = body.size();
        qint64 end = total;
        if (bodyReply < static_cast<int>(plan.cutAt.size()))
            end = std::min(end, plan.cutAt[static_cast<size_t>(bodyReply)]);
        const bool stall = bodyReply == 0 && plan.stallAt >= 0;
        if (stall)
            end = std::min(end, plan.stallAt);
        lock.unlock();

        std::string reply206 = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-"
                               + std::to_string(total - 1) + "/" + std::to_string(total) + "\r\n";
        std::string status = from > 0 ? reply206 : "HTTP/1.1 200 OK\r\n";
        status += "ETag: " + etag + "\r\nContent-Length: " + std::to_string(total - from) + "\r\nConnection: close\r\n\r\n";
        if (!send(client, status.data(), status.size()))
            return;
        for (qint64 at = from; at < end && !m_listener.stopping();) {
            const qint64 piece = std::min<qint64>(64 * 1024, end - at);
            if (!send(client, body.constData() + at, static_cast<size_t>(piece)))
                return;
            at += piece;
            std::lock_guard count(m_lock);
            found->second.served += piece;
        }
        while (stall && !m_listener.stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::mutex m_lock;
    std::map<std::string, File> m_files;
    LoopbackListener m_listener;  // last: its threads end before the files go
};
