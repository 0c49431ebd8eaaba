#pragma once
// Text as a list of lines, the way the program's string lists read and write it.

#include <QString>
#include <QStringList>

// Splits at CR LF, LF or CR; a final line end adds no empty line.
QStringList SplitTextLines(const QString& text);
// Every line followed by CR LF.
QString JoinTextLines(const QStringList& lines);
