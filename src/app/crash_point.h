#pragma once
// Moments at which a test may end the program as a power cut would. Only a run whose
// environment sets VRN_TEST_CRASH_AT takes notice: it numbers the moments it passes
// (from 1), names each on standard error, and sends itself SIGKILL at that number.
// Without the variable a moment costs one atomic read.

void CrashPoint(const char* moment);
