#pragma once
// An HTTP server on 127.0.0.1 with an ephemeral port, run inside the test
// process. A test registers the replies it needs (with a length, chunked, paced,
// cut short, stalling, an error status, a chain of redirects), starts the
// server, and afterwards reads back the requests that arrived.

#include <httplib.h>

#include <QByteArray>
#include <QProcess>
#include <QString>

#include "loopback_socket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ReleaseServer {
public:
    struct Seen {
        std::string target;
        std::string userAgent;
        std::string referer;
    };

    // `host` is the address to listen on ("::1" for IPv6); port() is below 1 when that fails.
    explicit ReleaseServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>(),
                           const char* host = "127.0.0.1")
        : m_server(std::move(server))
    {
        m_server->set_keep_alive_max_count(1);
        m_port = m_server->bind_to_any_port(host);
        // recorded before the reply goes out, so a client that has its reply sees its request here
        m_server->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
            std::lock_guard lock(m_seenLock);
            m_seen.push_back({request.target, request.get_header_value("User-Agent"),
                              request.get_header_value("Referer")});
            return httplib::Server::HandlerResponse::Unhandled;
        });
    }

    ~ReleaseServer()
    {
        if (!m_thread.joinable())
            start();  // closes the bound socket through the one way the server offers
        m_stopping = true;
        m_server->stop();
        if (m_thread.joinable())
            m_thread.join();
    }

    // Replies registered after start() are not seen.
    void start()
    {
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        // stop() is lost on a server that has not begun to listen
        while (!m_server->is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    int port() const { return m_port; }
    QString base(const char* scheme = "http") const
    {
        return QStringLiteral("%1://127.0.0.1:%2/").arg(QLatin1String(scheme)).arg(m_port);
    }
    QString url(const QString& path, const char* scheme = "http") const { return base(scheme) + path; }
    httplib::Server& http() { return *m_server; }

    std::vector<Seen> requests() const
    {
        std::lock_guard lock(m_seenLock);
        return m_seen;
    }

    // ---- replies; `path` without the leading "/" --------------------------------------
    void serve(const std::string& path, const QByteArray& body)
    {
        m_server->Get("/" + path, [body](const httplib::Request&, httplib::Response& response) {
            response.set_content(body.constData(), static_cast<size_t>(body.size()), "application/octet-stream");
        });
    }

    // The body with its length announced, sent in `pieces` parts with a pause before each.
    void servePaced(const std::string& path, const QByteArray& body, int pieces, int pauseMs)
    {
        m_server->Get("/" + path, [this, body, pieces, pauseMs](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(static_cast<size_t>(body.size()), "application/octet-stream",
                                          [this, body, pieces, pauseMs](size_t offset, size_t, httplib::DataSink& sink) {
                                              const size_t piece = std::max<size_t>(1, body.size() / pieces + 1);
                                              pause(pauseMs);
                                              const size_t n = std::min(piece, static_cast<size_t>(body.size()) - offset);
                                              return !m_stopping && sink.write(body.constData() + offset, n);
                                          });
        });
    }

    // The body without a length, in chunks.
    void serveChunked(const std::string& path, const QByteArray& body, int pieces, int pauseMs = 0)
    {
        m_server->Get("/" + path, [this, body, pieces, pauseMs](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("application/octet-stream",
                                                  [this, body, pieces, pauseMs](size_t offset, httplib::DataSink& sink) {
                                                      if (offset >= static_cast<size_t>(body.size())) {
                                                          sink.done();
                                                          return true;
                                                      }
                                                      const size_t piece = std::max<size_t>(1, body.size() / pieces + 1);
                                                      pause(pauseMs);
                                                      const size_t n = std::min(piece, static_cast<size_t>(body.size()) - offset);
                                                      return !m_stopping && sink.write(body.constData() + offset, n);
                                                  });
        });
    }

    void serveStatus(const std::string& path, int status)
    {
        m_server->Get("/" + path, [status](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content("error page", "text/plain");
        });
    }

    // Announces `announced` bytes, sends `sent` and closes the connection.
    void serveCutShort(const std::string& path, size_t announced, const QByteArray& sent)
    {
        m_server->Get("/" + path, [announced, sent](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(announced, "application/octet-stream",
                                          [sent](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset > 0)
                                                  return false;
                                              return sink.write(sent.constData(), static_cast<size_t>(sent.size()));
                                          });
        });
    }

    // Sends the first `firstBytes` of the body at once, the rest after `pauseMs` or as
    // soon as `resume` is set.
    void servePausing(const std::string& path, const QByteArray& body, size_t firstBytes, int pauseMs,
                      const std::atomic<bool>* resume = nullptr)
    {
        m_server->Get("/" + path, [this, body, firstBytes, pauseMs, resume](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(static_cast<size_t>(body.size()), "application/octet-stream",
                                          [this, body, firstBytes, pauseMs, resume](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset > 0)
                                                  pause(pauseMs, resume);
                                              const size_t n = offset == 0 ? firstBytes : body.size() - offset;
                                              return !m_stopping && sink.write(body.constData() + offset, n);
                                          });
        });
    }

    // A body without end, in chunks of `chunkBytes`, until the client gives up.
    void serveEndless(const std::string& path, size_t chunkBytes)
    {
        m_server->Get("/" + path, [this, chunkBytes](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("application/octet-stream",
                                                  [this, chunkBytes](size_t, httplib::DataSink& sink) {
                                                      const std::string chunk(chunkBytes, 'e');
                                                      return !m_stopping && sink.write(chunk.data(), chunk.size());
                                                  });
        });
    }

    // Sends `first`, then nothing more while the connection stays open.
    void serveStalling(const std::string& path, size_t announced, const QByteArray& first)
    {
        m_server->Get("/" + path, [this, announced, first](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(announced, "application/octet-stream",
                                          [this, first](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset == 0)
                                                  return sink.write(first.constData(), static_cast<size_t>(first.size()));
                                              pause(120000);
                                              return false;
                                          });
        });
    }

    // "path/N" redirects to "path/N-1", ..., "path/1" to `target`: N hops.
    void redirectChain(const std::string& path, const QString& target)
    {
        m_server->Get("/" + path + R"(/(\d+))", [this, path, target](const httplib::Request& request,
                                                                     httplib::Response& response) {
            const int hop = std::stoi(request.matches[1]);
            const std::string next = hop <= 1 ? target.toStdString()
                                              : url(QString::fromStdString(path + "/" + std::to_string(hop - 1))).toStdString();
            response.set_redirect(next);
        });
    }

private:
    // Sleeps, cut short when the server stops.
    void pause(int ms, const std::atomic<bool>* resume = nullptr) const
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!m_stopping && !(resume && *resume) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::unique_ptr<httplib::Server> m_server;
    int m_port = -1;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_seenLock;
    std::vector<Seen> m_seen;
};

// Answers every connection on 127.0.0.1 with the same bytes, written as given
// (a status line, headers and body no HTTP library would send), then closes it.
class RawReplyServer {
public:
    explicit RawReplyServer(QByteArray reply) : m_reply(std::move(reply))
    {
        m_socket = listenOnLoopback(m_port);
        m_thread = std::thread([this] { answer(); });
    }
    ~RawReplyServer()
    {
        ::shutdown(m_socket, SHUT_RDWR);  // ends the accept
        m_thread.join();
        ::close(m_socket);
    }
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_port) + path; }

private:
    void answer()
    {
        for (;;) {
            const int client = ::accept(m_socket, nullptr, nullptr);
            if (client < 0)
                return;
            readRequestHead(client);
            char buffer[4096];
            ::send(client, m_reply.constData(), static_cast<size_t>(m_reply.size()), MSG_NOSIGNAL);
            ::shutdown(client, SHUT_WR);
            while (::recv(client, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(client);
        }
    }

    QByteArray m_reply;
    int m_socket = -1;
    int m_port = 0;
    std::thread m_thread;
};

// A TLS server whose certificate is self-signed, made with the openssl command;
// nothing when the command is missing.
inline std::unique_ptr<ReleaseServer> selfSignedTlsServer(const QString& folder)
{
    const QString cert = folder + QStringLiteral("/cert.pem");
    const QString key = folder + QStringLiteral("/key.pem");
    QProcess openssl;
    openssl.start(
        QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
         QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert, QStringLiteral("-days"), QStringLiteral("1"),
         QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-batch")});
    const bool made = openssl.waitForFinished(20000) && openssl.exitStatus() == QProcess::NormalExit;
    const int exitCode = made ? openssl.exitCode() : -1;
    if (exitCode != 0)
        return nullptr;
    return std::make_unique<ReleaseServer>(
        std::make_unique<httplib::SSLServer>(cert.toLocal8Bit().constData(), key.toLocal8Bit().constData()));
}
