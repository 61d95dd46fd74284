// The time of day as a FILETIME on Linux (platform/Win32.h).
#include "platform/Win32.h"

#include <ctime>

namespace {
// 100-nanosecond intervals between 1601-01-01 and 1970-01-01, both UTC.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
}  // namespace

void GetSystemTimeAsFileTime(LPFILETIME time)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t ticks = kUnixEpochAsFileTime + static_cast<std::uint64_t>(now.tv_sec) * 10000000ULL +
                                static_cast<std::uint64_t>(now.tv_nsec) / 100ULL;
    time->dwLowDateTime = static_cast<DWORD>(ticks);
    time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}
