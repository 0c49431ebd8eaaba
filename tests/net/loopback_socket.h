#pragma once
// Plain sockets on 127.0.0.1 for the test servers that write every byte themselves.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A listening socket on a port the system picks; `port` receives it.
inline int listenOnLoopback(int& port)
{
    const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listening, 16);
    ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listening;
}

// What a client sent up to the end of its request head (less when it closed early).
inline std::string readRequestHead(int connection)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        head.append(buffer, static_cast<size_t>(got));
    }
    return head;
}

// The value of the header `name` (lower case) in a request head; empty when it has none.
inline std::string requestHeader(const std::string& head, const std::string& name)
{
    std::string lower = head;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos)
        return {};
    const size_t start = head.find_first_not_of(' ', at + name.size() + 3);
    return head.substr(start, head.find("\r\n", start) - start);
}

// A listening socket on a port of its own whose connections are each answered on a
// thread of their own; stopping it (when it goes) ends the waits of the answers that
// look at stopping() and joins every thread.
class LoopbackListener {
public:
    LoopbackListener() : m_socket(listenOnLoopback(m_port)) {}
    ~LoopbackListener()
    {
        m_stopping = true;
        ::shutdown(m_socket, SHUT_RDWR);
        if (m_acceptor.joinable())
            m_acceptor.join();
        for (std::thread& connection : m_connections)
            connection.join();
        ::close(m_socket);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return m_port; }
    bool stopping() const { return m_stopping; }
    // Answers each connection with `answer`, which may write to it; the connection is closed after.
    void start(std::function<void(int client)> answer)
    {
        m_acceptor = std::thread([this, answer = std::move(answer)] {
            for (;;) {
                const int client = ::accept(m_socket, nullptr, nullptr);
                if (client < 0)
                    return;
                std::lock_guard lock(m_lock);
                m_connections.emplace_back([answer, client] {
                    answer(client);
                    ::close(client);
                });
            }
        });
    }

private:
    int m_port = 0;
    int m_socket;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptor;
    std::mutex m_lock;
    std::vector<std::thread> m_connections;
};
