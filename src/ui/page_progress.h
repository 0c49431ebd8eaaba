#pragma once
// The state of a progress page's three callbacks: the label and the bar they
// drive, shared by the callbacks and alive as long as the longest-living one.
// The bar's range is 32-bit; a transfer of 2 GiB or more is shown on a scaled
// range (every count shifted right by the same number of bits), while the
// label always shows the true 64-bit figures.

#include "net/setup_network.h"

#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class TMainWindow;

struct PageProgress {
    QPointer<TMainWindow> Self;
    QPointer<QLabel> lbText4;
    QPointer<QProgressBar> PB;
    // The label's text once the transfer ended (install string 14 or 23).
    int EndStringIndex = 14;
    qint64 Total = 0;
    int Shift = 0;

    void WorkBegin(qint64 AWorkCountMax);
    void Work(qint64 AWorkCount);
    void WorkEnd();
};

// The three callbacks bound to one shared state.
void HandOutProgressCallbacks(const std::shared_ptr<PageProgress>& state, TWorkBeginProc& onWorkBegin,
                              TWorkProc& onWork, TWorkEndProc& onWorkEnd);

// The bits a count must be shifted right by so that `total` fits a 32-bit bar.
int ProgressShift(qint64 total);
// `pattern` ("Downloaded: %f Mb from %f Mb") with both byte counts in megabytes,
// two decimals, the user's decimal separator.
QString FormatDownloaded(const QString& pattern, qint64 done, qint64 total);
// Receives every progress text a page shows while a transfer runs (an unattended run
// writes them to standard error); empty: nobody. Main thread only.
void SetProgressEcho(std::function<void(const QString&)> echo);
// Turns a progress bar into a moving (indeterminate) bar, or a normal one of range 0 .. maximum.
void SetMarquee(QProgressBar* bar);
