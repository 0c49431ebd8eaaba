#pragma once
// What start-up decides once for the whole run: the run mode, the edition and the
// language alias. Written by CSetup::Initialize before any other thread starts,
// read-only afterwards, so any thread may read them.

#include <QString>

enum TRunMode : unsigned char {
    rmInstall = 0,
    rmUninstallCopyToTemp = 1,
    rmUninstallNow = 2,
};

extern TRunMode gRunMode;
extern bool gBetaMode;
extern QString gSystemLangAlias;

inline constexpr int SetupVersion = 15;
