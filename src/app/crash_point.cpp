#include "app/crash_point.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// 0: no test asked; the number of the moment to end at otherwise
long requestedMoment()
{
    static const long moment = [] {
        const char* value = std::getenv("VRN_TEST_CRASH_AT");
        return value ? std::max(1L, std::strtol(value, nullptr, 10)) : 0L;
    }();
    return moment;
}

std::atomic<long> passed{0};

}  // namespace

void CrashPoint(const char* moment)
{
    const long requested = requestedMoment();
    if (requested == 0)
        return;
    const long number = ++passed;
    std::fprintf(stderr, "crash point %ld: %s\n", number, moment);
    std::fflush(stderr);
    if (number == requested)
        std::raise(SIGKILL);
}
