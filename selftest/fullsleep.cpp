// Fixed waits against the monotonic clock, resumed after interruptions.
#include "fullsleep.h"

#include <time.h>

#include <cerrno>

namespace {
constexpr long kNsPerUs = 1000;
constexpr long kNsPerS = 1000000000;
constexpr unsigned long kUsPerS = 1000000;
}  // namespace

int SleepFullUs(unsigned long us)
{
    struct timespec until;
    if (clock_gettime(CLOCK_MONOTONIC, &until) != 0)
        return -1;
    until.tv_sec += (time_t)(us / kUsPerS);
    until.tv_nsec += (long)(us % kUsPerS) * kNsPerUs;
    if (until.tv_nsec >= kNsPerS) {
        until.tv_sec += 1;
        until.tv_nsec -= kNsPerS;
    }
    // An absolute deadline: a wait resumed after a signal ends at the same moment.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return 0;
}
