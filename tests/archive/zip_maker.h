#pragma once
// Builds ZIP archives for the install tests and benchmarks: stored or deflated files,
// folder entries, Unix or DOS attributes, link entries.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace zipmaker {

struct Entry {
    QString name;
    QByteArray content;
    std::optional<unsigned> unixMode;  // full st_mode (type and permissions); DOS attributes when unset
    bool deflate = true;
};

inline Entry file(const QString& name, const QByteArray& content, std::optional<unsigned> mode = 0100644)
{
    return {name, content, mode, true};
}
inline Entry folder(const QString& name, std::optional<unsigned> mode = 040755)
{
    return {name, {}, mode, false};
}
inline Entry link(const QString& name, const QString& target)
{
    return {name, target.toUtf8(), 0120777, false};
}

// Writes the archive; throws std::runtime_error when libzip fails.
void write(const QString& path, const QList<Entry>& entries);
// Writes `count` entries whose content comes from `content(i)`, without holding them all
// in memory; even entries are deflated, odd ones stored.
void writeGenerated(const QString& path, int count, const std::function<QString(int)>& name,
                    const std::function<QByteArray(int)>& content);

}  // namespace zipmaker
