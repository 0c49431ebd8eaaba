#pragma once
// What every benchmark needs: the median of its runs, ending with a reason, and a
// fresh user for whole-process runs.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

[[maybe_unused]] double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Ends the benchmark, saying why after its program name.
[[noreturn, maybe_unused]] void fail(const QString& text)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(text));
    std::exit(1);
}

// The environment of a user whose folders all lie in `home` (made if missing), without a
// display, served from the release address `base`.
[[maybe_unused]] QProcessEnvironment userEnvironment(const QString& home, const QString& base)
{
    QDir().mkpath(home + QStringLiteral("/tmp"));
    QFile::setPermissions(home + QStringLiteral("/tmp"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("VRN_RELEASE_BASE_URL"), base);
    env.insert(QStringLiteral("VRN_COUNTER_RELEASE_URL"), base + QStringLiteral("count"));
    return env;
}

// The same for a fresh home at `home`.
[[maybe_unused]] QProcessEnvironment freshUserEnvironment(const QString& home, const QString& base)
{
    QDir(home).removeRecursively();
    return userEnvironment(home, base);
}

}  // namespace
