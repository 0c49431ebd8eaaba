// vrn-serve: serves a release folder over HTTP on 127.0.0.1, for the demo and
// for tests that run the setup against a server.
//
// vrn-serve [--port P] DIR
//
// The first line on stdout is the base address ("http://127.0.0.1:PORT/");
// every request follows as a line with its method, path and status. Files are
// streamed in pieces with their length announced, never read whole. DIR is
// resolved anew for every request, so that a release published by vrn-publish
// (DIR a link that is swapped to a new folder) is served from the moment it is
// in place, and each file comes wholly from one release.

#include <httplib.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr size_t PieceBytes = 256 * 1024;

const char* const usage = "usage: vrn-serve [--port P] DIR\n";

std::string contentType(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QStringLiteral("xml"))
        return "text/xml";
    if (suffix == QStringLiteral("zip"))
        return "application/zip";
    if (suffix == QStringLiteral("html") || suffix == QStringLiteral("htm"))
        return "text/html";
    if (suffix == QStringLiteral("txt"))
        return "text/plain";
    return "application/octet-stream";
}

// The file the request names inside the folder, or nothing when it names none
// (missing, a folder, or outside the folder through ".." or a link).
QString fileFor(const QString& folder, const std::string& requestPath)
{
    const QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty())
        return {};
    const QString wanted = QFileInfo(root + QString::fromStdString(requestPath)).canonicalFilePath();
    if (wanted.isEmpty() || !wanted.startsWith(root + QLatin1Char('/')) || !QFileInfo(wanted).isFile())
        return {};
    return wanted;
}

// Opens the file the request names. A publish may swap the release and remove the
// old one between resolving the folder and opening the file, so a file that is
// gone by then is looked for again in the folder as it is now; once open, it
// stays readable whole even when its folder is removed.
std::shared_ptr<QFile> openFileFor(const QString& folder, const std::string& requestPath)
{
    constexpr int Attempts = 3;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const QString path = fileFor(folder, requestPath);
        if (path.isEmpty())
            continue;  // missing, or gone with an old release
        auto file = std::make_shared<QFile>(path);
        if (file->open(QIODevice::ReadOnly))
            return file;
    }
    return nullptr;
}

void serveFile(const std::shared_ptr<QFile>& file, httplib::Response& response)
{
    const QString path = file->fileName();
    const auto length = static_cast<size_t>(file->size());
    if (length == 0) {
        // without a provider the library would announce no length at all
        response.set_header("Content-Length", "0");
        response.set_content(std::string(), contentType(path));
        return;
    }
    response.set_content_provider(
        length, contentType(path), [file](size_t offset, size_t length, httplib::DataSink& sink) {
            std::vector<char> piece(std::min(length, PieceBytes));
            if (static_cast<size_t>(file->pos()) != offset && !file->seek(static_cast<qint64>(offset)))
                return false;
            const qint64 read = file->read(piece.data(), static_cast<qint64>(piece.size()));
            return read > 0 && sink.write(piece.data(), static_cast<size_t>(read));
        });
}

}  // namespace

int main(int argc, char** argv)
{
    int port = 0;
    QString folder;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (folder.isEmpty() && argument.rfind("--", 0) != 0) {
            folder = QString::fromLocal8Bit(argv[i]);
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    const QString root = QFileInfo(folder).absoluteFilePath();
    if (folder.isEmpty() || !QFileInfo(root).isDir()) {
        std::fprintf(stderr, "vrn-serve: no such folder: %s\n%s", qPrintable(folder), usage);
        return 2;
    }

    httplib::Server server;
    server.Get(R"(/.*)", [&root](const httplib::Request& request, httplib::Response& response) {
        const std::shared_ptr<QFile> file = openFileFor(root, request.path);
        if (!file) {
            response.status = 404;
            response.set_content("Not Found\n", "text/plain");
            return;
        }
        serveFile(file, response);
    });
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        std::printf("%s %s %d\n", request.method.c_str(), request.path.c_str(), response.status);
        std::fflush(stdout);
    });

    if (port == 0)
        port = server.bind_to_any_port("127.0.0.1");
    else if (!server.bind_to_port("127.0.0.1", port))
        port = -1;
    if (port <= 0) {
        std::fprintf(stderr, "vrn-serve: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("http://127.0.0.1:%d/\n", port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
