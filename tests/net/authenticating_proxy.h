#pragma once
// An HTTP proxy on 127.0.0.1 that asks for a user and password (Basic) before it
// forwards a plain GET to its origin server; one request per connection.

#include <QByteArray>
#include <QString>

#include "loopback_socket.h"

#include <atomic>
#include <string>
#include <thread>

class AuthenticatingProxy {
public:
    AuthenticatingProxy(const QByteArray& user, const QByteArray& password)
        : m_expected("Proxy-Authorization: Basic " + (user + ':' + password).toBase64().toStdString())
    {
        m_socket = listenOnLoopback(m_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~AuthenticatingProxy()
    {
        ::shutdown(m_socket, SHUT_RDWR);
        m_thread.join();
        ::close(m_socket);
    }
    int port() const { return m_port; }
    // Requests forwarded after a correct password.
    int forwarded() const { return m_forwarded; }

private:
    static void sendAll(int connection, const std::string& text)
    {
        ::send(connection, text.data(), text.size(), MSG_NOSIGNAL);
    }

    void serve()
    {
        for (;;) {
            const int client = ::accept(m_socket, nullptr, nullptr);
            if (client < 0)
                return;
            const std::string head = readRequestHead(client);
            if (head.find(m_expected + "\r\n") == std::string::npos)
                sendAll(client, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"test\"\r\n"
                                "Content-Length: 0\r\nConnection: close\r\n\r\n");
            else
                forward(client, head);
            ::close(client);
        }
    }

    // "GET http://127.0.0.1:PORT/path HTTP/1.1" goes to the origin as "GET /path HTTP/1.1".
    void forward(int client, const std::string& head)
    {
        const size_t hostStart = head.find("://") + 3;
        const size_t pathStart = head.find('/', hostStart);
        const int originPort = std::stoi(head.substr(head.find(':', hostStart) + 1));
        const int origin = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopbackAddress(originPort);
        if (::connect(origin, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            ++m_forwarded;
            sendAll(origin, "GET " + head.substr(pathStart, head.find(' ', pathStart) - pathStart)
                                + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
            char buffer[65536];
            for (ssize_t got; (got = ::recv(origin, buffer, sizeof buffer, 0)) > 0;)
                sendAll(client, std::string(buffer, static_cast<size_t>(got)));
        }
        ::close(origin);
    }

    std::string m_expected;
    int m_socket = -1;
    int m_port = 0;
    std::atomic<int> m_forwarded{0};
    std::thread m_thread;
};
