#pragma once
// An update of the installed edition that fetches only what changed, the worker's part:
// the descriptor's word on the archive's tail and the installation's list decide whether
// it is tried at all; the tail is fetched and proven, each file of the new release is
// compared with the installed one, and when the plan is worth it the changed entries are
// fetched into the work folder's archive file, each proven by its signed hash (a damaged
// one is fetched once more). The installation itself is not touched here; the install
// job builds the new tree from the plan. Every failure ends in the whole archive.

#include "archive/delta_plan.h"

#include <QString>

#include <functional>
#include <memory>

struct TDeltaRequest {
    QString url;             // the archive on the server
    QString archivePath;     // the work folder's "vrnsetup.zip", written with the stretches fetched
    QString descriptorPath;  // the work folder's "system.xml"
    QString installPath;     // the installed edition's folder
};

struct TDeltaProgress {
    std::function<void(qint64 planned)> begin;
    std::function<void(qint64 fetched)> work;
    std::function<void(const QString& text)> retry;
};

// The plan whose changed entries are fetched and proven, or nothing with the log's
// "Install -> Download the whole archive: <why>" line written. Writes the line
// "Install -> Update only what changed: <summary>" when the plan is taken.
std::shared_ptr<const TDeltaPlan> FetchChangedEntries(const TDeltaRequest& request, const TDeltaProgress& progress);
