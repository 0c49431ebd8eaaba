#pragma once
// Bytes that do not compress, the same for the same seed: a damaged byte then lands inside
// an entry's data, and an archive of them is as large as what it holds.

#include <QByteArray>

inline QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}
