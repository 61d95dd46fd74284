// When the patch was made, as its archive and pack record it:
// SOURCE_DATE_EPOCH when it is set, else the newest modification time of the
// files put into it.
#pragma once

#include <cstdint>

namespace mkpatch {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01, both UTC.
inline constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;
inline constexpr std::uint64_t kTicksPerSecond = 10000000;

struct PatchTime {
    std::uint64_t ticks = 0;  // a FILETIME
    bool utc = false;         // the archive's local time is taken as UTC
};

// The archive's MS-DOS time of time: in local time, as LZH readers show it,
// but in UTC for SOURCE_DATE_EPOCH, as that convention asks, so that the
// patch is the same in every time zone.
std::uint32_t DosTime(const PatchTime& time);

}  // namespace mkpatch
