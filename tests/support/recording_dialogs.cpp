#include "support/recording_dialogs.h"

int RecordingDialogs::messageBox(QWidget*, const QString& caption, const QString& text, unsigned flags)
{
    boxes.append({caption, text, flags});
    const bool yesNo = (flags & 0x0F) == platform::MB_YESNO;
    if (!yesNo)
        return platform::IDOK;
    if (answers.empty())
        return platform::IDNO;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}

std::optional<QString> RecordingDialogs::chooseFolder(QWidget*, const QString&, const QString& startFolder)
{
    folderStarts.append(startFolder);
    if (folders.empty())
        return std::nullopt;
    std::optional<QString> folder = folders.front();
    folders.pop_front();
    return folder;
}

void RecordingDialogs::reset()
{
    boxes.clear();
    folderStarts.clear();
    answers.clear();
    folders.clear();
}

RecordingDialogs& testDialogs()
{
    static RecordingDialogs instance;
    return instance;
}
