#pragma once
// A download as a reader of it meets it: the bytes arrive in pieces into a part file,
// and the download may start over or end short.

#include "net/download_tap.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <gtest/gtest.h>

namespace installtest {

enum class Download { Whole, StartsOver, EndsShort };

// Feeds `archive` into a part file in pieces, as a download would.
inline void download(TDownloadTap& tap, const QString& part, const QByteArray& archive, Download how)
{
    QFile file(part);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    tap.Opened(part);
    const qsizetype piece = 7919;
    const qsizetype end = how == Download::EndsShort ? archive.size() / 2 : archive.size();
    for (qsizetype at = 0; at < end; at += piece) {
        file.write(archive.mid(at, std::min(piece, end - at)));
        tap.Grew(std::min(at + piece, end));
        if (how == Download::StartsOver && at > archive.size() / 3) {
            tap.StartedOver();
            how = Download::Whole;
            at = -piece;
            file.resize(0);
            file.seek(0);
        }
    }
    tap.Ended(how != Download::EndsShort);
}

}  // namespace installtest
