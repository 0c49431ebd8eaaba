#include "ui/page_progress.h"

#include "ui/main_window.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>

#include <limits>

namespace {

constexpr qint64 BarLimit = std::numeric_limits<int>::max();

QString megabytes(qint64 bytes)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    const float value = float(bytes) / 1048576.0f;  // as the figures always were: single precision
    return locale.toString(double(value), 'f', 2);
}

std::function<void(const QString&)> progressEcho;

void setText(QLabel* label, const QString& text)
{
    if (progressEcho)
        progressEcho(text);
    if (label && label->text() != text)  // a repaint only when the figures change
        label->setText(text);
}

}  // namespace

int ProgressShift(qint64 total)
{
    int shift = 0;
    while ((total >> shift) > BarLimit)
        ++shift;
    return shift;
}

QString FormatDownloaded(const QString& pattern, qint64 done, qint64 total)
{
    QString text = pattern;
    for (const qint64 value : {done, total}) {
        const qsizetype at = text.indexOf(QLatin1String("%f"));
        if (at < 0)
            break;
        text.replace(at, 2, megabytes(value));
    }
    return text;
}

void SetProgressEcho(std::function<void(const QString&)> echo)
{
    progressEcho = std::move(echo);
}

void SetMarquee(QProgressBar* bar)
{
    bar->setRange(0, 0);
}

void PageProgress::WorkBegin(qint64 AWorkCountMax)
{
    Total = qMax<qint64>(AWorkCountMax, 0);
    Shift = ProgressShift(Total);
    if (PB) {
        PB->setRange(0, int(Total >> Shift));  // an unknown total (0) keeps the bar moving
        PB->setValue(0);
    }
    if (Self)
        setText(lbText4, FormatDownloaded(Self->InstallString(13), 0, Total));
}

void PageProgress::Work(qint64 AWorkCount)
{
    if (PB && Total > 0)
        PB->setValue(int(qBound<qint64>(0, AWorkCount, Total) >> Shift));
    if (Self)
        setText(lbText4, FormatDownloaded(Self->InstallString(13), AWorkCount, Total));
}

void PageProgress::WorkEnd()
{
    if (PB) {
        PB->setRange(0, 100);
        PB->setValue(0);
        SetMarquee(PB);
    }
    if (Self)
        setText(lbText4, Self->InstallString(EndStringIndex));
}

void HandOutProgressCallbacks(const std::shared_ptr<PageProgress>& state, TWorkBeginProc& onWorkBegin,
                              TWorkProc& onWork, TWorkEndProc& onWorkEnd)
{
    onWorkBegin = [state](qint64 total) { state->WorkBegin(total); };
    onWork = [state](qint64 done) { state->Work(done); };
    onWorkEnd = [state] { state->WorkEnd(); };
}
