#pragma once
// What the install tests share: files with a mode, known content, the mode of a path,
// and a listing of a whole folder tree.

#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace installtest {

inline void writeFile(const QString& path, const QByteArray& content, unsigned mode = 0644)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(content);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

// Bytes that differ with `seed`, so that a mixed-up entry is noticed.
inline QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251 + seed * 13) & 0xFF);
    return bytes;
}

// The permission bits of a path (not following a link); 0xFFFF when it does not exist.
inline unsigned modeOf(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0xFFFF;
    return info.st_mode & 07777;
}

// Every path below `folder`, links listed but not followed, sorted.
inline QStringList treeOf(const QString& folder)
{
    QStringList paths;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    paths.sort();
    return paths;
}

}  // namespace installtest
