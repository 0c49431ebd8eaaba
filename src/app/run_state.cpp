#include "app/run_state.h"

TRunMode gRunMode = rmInstall;
bool gBetaMode = false;
QString gSystemLangAlias;
