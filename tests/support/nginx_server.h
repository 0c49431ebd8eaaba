#pragma once
// nginx from the system in the foreground in a folder of the test's: the README's
// configuration for publishers (HTTPS with HTTP/2 and a certificate in the folder, or
// plain HTTP), serving the release folders below `releases` at /vrn/<name>/ and the
// install counter at /vrn/count. Its access log names each request, its status, its
// protocol and the body bytes sent.

#include "net/loopback_socket.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QThread>

inline QString nginxProgram()
{
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    return !inPath.isEmpty() ? inPath : QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
}

// A port nothing listens on at the moment (the kernel's choice for a socket bound to port 0).
inline int freePort()
{
    int port = 0;
    ::close(listenOnLoopback(port));
    return port;
}

struct NginxOptions {
    bool tls = true;  // with server.pem and server.key in the folder
    int maxRanges = -1;  // nginx's max_ranges; -1: its default
};

class Nginx {
public:
    Nginx(const QString& folder, const QString& releases, NginxOptions options = {})
        : m_folder(folder), m_port(freePort()), m_tls(options.tls)
    {
        QFile config(folder + QStringLiteral("/nginx.conf"));
        if (!config.open(QIODevice::WriteOnly))
            return;
        const QString listen = options.tls ? QStringLiteral(R"(listen 127.0.0.1:%1 ssl http2;
        ssl_certificate %2/server.pem;
        ssl_certificate_key %2/server.key;
        ssl_protocols TLSv1.2 TLSv1.3;)")
                                                 .arg(m_port)
                                                 .arg(folder)
                                           : QStringLiteral("listen 127.0.0.1:%1;").arg(m_port);
        const QString ranges = options.maxRanges < 0 ? QString() : QStringLiteral("max_ranges %1;").arg(options.maxRanges);
        config.write(QStringLiteral(R"(daemon off;
master_process off;
pid %1/nginx.pid;
error_log %1/error.log;
events {}
http {
    log_format served '$request $status $server_protocol $body_bytes_sent';
    access_log %1/access.log served;
    client_body_temp_path %1/body;
    proxy_temp_path %1/proxy;
    fastcgi_temp_path %1/fastcgi;
    uwsgi_temp_path %1/uwsgi;
    scgi_temp_path %1/scgi;
    types { application/zip zip; application/xml xml; application/octet-stream exe sig; }
    server {
        %2
        location /vrn/ {
            alias %3/;
            etag on;
            %4
        }
        location = /vrn/count { return 200 "ok"; }
    }
}
)")
                         .arg(folder, listen, releases, ranges)
                         .toUtf8());
        config.close();
        m_process.start(nginxProgram(), {QStringLiteral("-p"), folder, QStringLiteral("-c"), folder + QStringLiteral("/nginx.conf"),
                                         QStringLiteral("-e"), folder + QStringLiteral("/error.log")});
        for (int i = 0; i < 100 && m_process.state() != QProcess::NotRunning && !listening(); ++i)
            QThread::msleep(50);
    }
    ~Nginx()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool listening() const
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = loopbackAddress(m_port);
        const bool connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        return connected;
    }
    QString whyNot() const { return QString::fromLocal8Bit(contentOf(m_folder + QStringLiteral("/error.log"))); }
    QString base(const QString& release) const
    {
        return QStringLiteral("%1://127.0.0.1:%2/vrn/%3/").arg(m_tls ? QStringLiteral("https") : QStringLiteral("http")).arg(m_port).arg(release);
    }
    QString accessLog() const { return QString::fromUtf8(contentOf(m_folder + QStringLiteral("/access.log"))); }
    // Body bytes sent for requests of `file` since the log was last emptied.
    qint64 bytesSent(const QString& file) const
    {
        qint64 bytes = 0;
        for (const QString& line : accessLog().split(QLatin1Char('\n'))) {
            if (line.contains(QLatin1Char('/') + file + QLatin1Char(' ')))
                bytes += line.section(QLatin1Char(' '), -1).toLongLong();
        }
        return bytes;
    }
    void emptyLog() const { QFile(m_folder + QStringLiteral("/access.log")).resize(0); }

private:
    static QByteArray contentOf(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QString m_folder;
    int m_port;
    bool m_tls;
    QProcess m_process;
};
