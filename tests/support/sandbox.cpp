#include "support/sandbox.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace sandbox {

namespace {
QString rootFolder;

void setEnv(const char* name, const QString& value)
{
    ::setenv(name, QFile::encodeName(value).constData(), 1);
}

void makeFolder(const QString& path)
{
    if (!QDir().mkpath(path))
        throw std::runtime_error("cannot create sandbox folder " + path.toStdString());
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
}  // namespace

void enter()
{
    QDir().mkpath(QStringLiteral(VRN_SANDBOX_ROOT));
    QByteArray pattern = QFile::encodeName(QStringLiteral(VRN_SANDBOX_ROOT "/run-XXXXXX"));
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create the sandbox");
    rootFolder = QFile::decodeName(pattern);
    for (const QString& folder : {home(), tmp(), configHome(), dataHome(), desktop()})
        makeFolder(folder);
    setEnv("HOME", home());
    setEnv("TMPDIR", tmp());
    setEnv("XDG_CONFIG_HOME", configHome());
    setEnv("XDG_DATA_HOME", dataHome());
    setEnv("XDG_CACHE_HOME", home() + QStringLiteral("/.cache"));
    setEnv("XDG_RUNTIME_DIR", tmp());
    QFile dirs(configHome() + QStringLiteral("/user-dirs.dirs"));
    if (dirs.open(QIODevice::WriteOnly))
        dirs.write("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n");
    for (const char* proxy : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(proxy);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
}

void leave()
{
    if (!rootFolder.isEmpty() && !std::getenv("VRN_KEEP_SANDBOX"))
        QDir(rootFolder).removeRecursively();
}

QString root() { return rootFolder; }
QString home() { return rootFolder + QStringLiteral("/home"); }
QString tmp() { return rootFolder + QStringLiteral("/tmp"); }
QString configHome() { return home() + QStringLiteral("/.config"); }
QString dataHome() { return home() + QStringLiteral("/.local/share"); }
QString desktop() { return home() + QStringLiteral("/Desktop"); }

QString freshFolder(const QString& name)
{
    static int counter = 0;
    const QString folder = rootFolder + QStringLiteral("/work-%1-%2").arg(++counter).arg(name);
    makeFolder(folder);
    return folder;
}

}  // namespace sandbox
