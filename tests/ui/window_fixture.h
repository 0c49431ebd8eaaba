#pragma once
// The scripted user of the window tests: a fresh log and handshake for every
// test, a window built offscreen, controls found by object name, and a table
// of expected controls checked in one loop.

#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QRect>
#include <QString>
#include <QStringList>

#include <memory>
#include <ostream>
#include <optional>

class QWidget;

// Readable failure messages for texts and lists of texts.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& lines, std::ostream* out)
{
    *out << "{\n";
    for (const QString& line : lines)
        *out << "  \"" << line.toStdString() << "\"\n";
    *out << "}";
}

namespace uitest {

// One expected control. A width or height of -1, points of 0, a missing text or a
// `checked` of -1 is not checked (the toolkit's default size, a control without them).
struct Control {
    const char* name;
    const char* className;
    QRect geometry;
    int points;
    std::optional<QString> text;
    bool enabled;
    int checked;
    bool visible;
};

void ExpectControls(const TMainWindow& window, const std::vector<Control>& table);

// The records of the log that start with "[UI] " (and other prefixes given).
QStringList LogLines(const QStringList& prefixes = {QStringLiteral("[UI] ")});

// Saves the window's picture as build/screenshots/<name>.png.
void SaveScreenshot(QWidget& window, const QString& name);

QWidget* Find(const TMainWindow& window, const QString& name);
template <class T>
T* Find(const TMainWindow& window, const QString& name)
{
    return qobject_cast<T*>(Find(window, name));
}

// Clicks the control as a user would; it must exist.
void Click(const TMainWindow& window, const QString& name);
// The answer of the previous page was taken: the script's next wait has begun.
void NextWait();

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A window as the program creates it, shown offscreen.
    std::unique_ptr<TMainWindow> Open(const QString& alias = QStringLiteral("en_GB"), bool beta = false);
    QString logFolder;
};

}  // namespace uitest
