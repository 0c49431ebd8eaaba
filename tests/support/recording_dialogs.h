#pragma once
// A scripted user for dialogs: records every message box and folder picker and
// answers from queues (by default OK, No and "cancel").

#include "platform/platform.h"

#include <QList>
#include <QStringList>

#include <deque>

class RecordingDialogs final : public platform::DialogHandler {
public:
    struct Box {
        QString caption;
        QString text;
        unsigned flags = 0;
    };
    int messageBox(QWidget* owner, const QString& caption, const QString& text, unsigned flags) override;
    std::optional<QString> chooseFolder(QWidget* owner, const QString& title, const QString& startFolder) override;

    void reset();

    QList<Box> boxes;
    QStringList folderStarts;
    std::deque<int> answers;                       // for Yes/No boxes
    std::deque<std::optional<QString>> folders;    // for the folder picker
};

// The handler the test main installs for every test.
RecordingDialogs& testDialogs();
