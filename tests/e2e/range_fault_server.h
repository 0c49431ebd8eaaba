#pragma once
// A release server on 127.0.0.1 that answers range requests as web servers and CDNs do,
// or in one of the ways some of them get wrong, on plain sockets so that every byte is
// under the test's control. The archive carries an ETag; a request for several ranges
// gets a multipart/byteranges reply, one for a single range a 206 with its
// Content-Range; If-Range with another validator gets the whole file.

#include "net/loopback_socket.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

enum class RangeFault {
    None,
    WrongBoundary,        // the parts are delimited by another boundary than the header names
    PartOutside,          // one more part, of bytes nobody asked for
    MergedAndReordered,   // one part from the first to the last range asked, after a part of the last range
    CutInAPart,           // the first multipart reply ends in the middle of a part
    ReplacedAfterTail,    // after the first request the archive is another one, with another ETag
    DamagedEntry,         // a byte inside the changed entries' data is wrong in every range reply
    DamagedTail,          // a byte of the tail is wrong in every range reply
    FirstRangeOnly,       // several ranges asked: a single part of the first range
    SeveralNotImplemented // several ranges asked: 501
};

class RangeFaultServer {
public:
    RangeFaultServer(std::map<std::string, QByteArray> files, RangeFault fault, QByteArray replacement = {},
                     qint64 damagedAt = -1)
        : m_files(std::move(files)), m_fault(fault), m_replacement(std::move(replacement)), m_damagedAt(damagedAt)
    {
        m_listener.start([this](int client) { answer(client); });
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_listener.port()); }
    // Body bytes of the archive sent so far, and the statuses of its replies.
    qint64 archiveBytesSent() const { return m_sent; }
    std::vector<int> archiveStatuses()
    {
        std::lock_guard lock(m_lock);
        return m_statuses;
    }

private:
    using Range = std::pair<qint64, qint64>;

    static std::vector<Range> rangesOf(const std::string& value, qint64 size)
    {
        std::vector<Range> ranges;
        for (const QByteArray& text : QByteArray::fromStdString(value.substr(6)).split(',')) {
            const QList<QByteArray> ends = text.trimmed().split('-');
            const qint64 first = ends[0].toLongLong(), last = ends.size() > 1 && !ends[1].isEmpty() ? ends[1].toLongLong() : size - 1;
            ranges.emplace_back(first, std::min(last, size - 1));
        }
        return ranges;
    }

    void send(int client, const QByteArray& bytes, qint64 upTo = -1)
    {
        const qint64 length = upTo < 0 ? bytes.size() : upTo;
        ::send(client, bytes.constData(), static_cast<size_t>(length), MSG_NOSIGNAL);
    }

    static QByteArray head(int status, const std::string& reason, const QByteArray& fields, qint64 length)
    {
        return "HTTP/1.1 " + QByteArray::number(status) + " " + QByteArray::fromStdString(reason) + "\r\n" + fields
               + "Content-Length: " + QByteArray::number(length) + "\r\nConnection: close\r\n\r\n";
    }

    void answer(int client)
    {
        const std::string request = readRequestHead(client);
        const size_t pathStart = request.find(' ') + 2;
        const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
        if (!m_files.count(path)) {
            send(client, head(404, "Not Found", {}, 0));
            return;
        }
        if (path != "vrnsetup.zip") {
            send(client, head(200, "OK", {}, m_files.at(path).size()) + m_files.at(path));
            return;
        }
        const int reply = m_replies++;
        const bool replaced = m_fault == RangeFault::ReplacedAfterTail && reply > 0;
        QByteArray archive = replaced ? m_replacement : m_files.at(path);
        const QByteArray etag = replaced ? "\"second\"" : "\"first\"";
        const std::string range = requestHeader(request, "range"), ifRange = requestHeader(request, "if-range");
        if (range.rfind("bytes=", 0) != 0 || (!ifRange.empty() && QByteArray::fromStdString(ifRange) != etag)) {
            noteStatus(200);
            sendCounted(client, head(200, "OK", "ETag: " + etag + "\r\n", archive.size()), archive);
            return;
        }
        damage(archive);
        const std::vector<Range> ranges = rangesOf(range, archive.size());
        if (ranges.size() == 1 || m_fault == RangeFault::FirstRangeOnly)
            return sendSingle(client, archive, etag, ranges.front());
        if (m_fault == RangeFault::SeveralNotImplemented) {
            noteStatus(501);
            send(client, head(501, "Not Implemented", {}, 0));
            return;
        }
        sendParts(client, archive, etag, ranges);
    }

    void damage(QByteArray& archive) const
    {
        if (m_fault == RangeFault::DamagedEntry && m_damagedAt >= 0)
            archive[m_damagedAt] = static_cast<char>(archive[m_damagedAt] ^ 0x55);
        if (m_fault == RangeFault::DamagedTail)
            archive[archive.size() - 30] = static_cast<char>(archive[archive.size() - 30] ^ 0x55);
    }

    void sendSingle(int client, const QByteArray& archive, const QByteArray& etag, Range range)
    {
        noteStatus(206);
        const QByteArray fields = "ETag: " + etag + "\r\nContent-Range: bytes " + QByteArray::number(range.first) + "-"
                                  + QByteArray::number(range.second) + "/" + QByteArray::number(archive.size()) + "\r\n";
        const QByteArray body = archive.mid(range.first, range.second - range.first + 1);
        sendCounted(client, head(206, "Partial Content", fields, body.size()), body);
    }

    void sendParts(int client, const QByteArray& archive, const QByteArray& etag, std::vector<Range> ranges)
    {
        if (m_fault == RangeFault::PartOutside)
            ranges.emplace_back(archive.size() - 10, archive.size() - 1);
        if (m_fault == RangeFault::MergedAndReordered)
            ranges = {ranges.back(), {ranges.front().first, ranges[ranges.size() - 2].second}};
        const QByteArray boundary = "0123456789abcdef", written = m_fault == RangeFault::WrongBoundary ? "fedcba9876543210" : boundary;
        QByteArray body;
        for (const Range& range : ranges)
            body += "\r\n--" + written + "\r\nContent-Type: application/zip\r\nContent-Range: bytes " + QByteArray::number(range.first)
                    + "-" + QByteArray::number(range.second) + "/" + QByteArray::number(archive.size()) + "\r\n\r\n"
                    + archive.mid(range.first, range.second - range.first + 1);
        body += "\r\n--" + written + "--\r\n";
        noteStatus(206);
        const QByteArray fields = "ETag: " + etag + "\r\nContent-Type: multipart/byteranges; boundary=" + boundary + "\r\n";
        const bool cut = m_fault == RangeFault::CutInAPart && !m_cut.exchange(true);
        sendCounted(client, head(206, "Partial Content", fields, body.size()), body, cut ? body.size() / 2 : -1);
    }

    void sendCounted(int client, const QByteArray& head, const QByteArray& body, qint64 upTo = -1)
    {
        send(client, head);
        send(client, body, upTo);
        m_sent += upTo < 0 ? body.size() : upTo;
    }

    void noteStatus(int status)
    {
        std::lock_guard lock(m_lock);
        m_statuses.push_back(status);
    }

    std::map<std::string, QByteArray> m_files;
    RangeFault m_fault;
    QByteArray m_replacement;
    qint64 m_damagedAt;
    std::atomic<bool> m_cut{false};
    std::atomic<int> m_replies{0};
    std::atomic<qint64> m_sent{0};
    std::mutex m_lock;
    std::vector<int> m_statuses;
    LoopbackListener m_listener;  // last: its threads end before what they answer from goes
};
