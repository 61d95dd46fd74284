#include "tools/kivra-mkpatch/PatchTime.h"

#include <ctime>
#include <limits>

#include "lzh/LzhWriter.h"

namespace mkpatch {

std::uint32_t DosTime(const PatchTime& time)
{
    const std::uint32_t earliest = LzhDosTime(1980, 1, 1, 0, 0, 0);
    if (time.ticks < kUnixEpochTicks) return earliest;
    const std::uint64_t seconds = (time.ticks - kUnixEpochTicks) / kTicksPerSecond;
    if (seconds > static_cast<std::uint64_t>(std::numeric_limits<std::time_t>::max()))
        return LzhDosTime(9999, 1, 1, 0, 0, 0);
    const std::time_t moment = static_cast<std::time_t>(seconds);
    const std::tm* t = time.utc ? std::gmtime(&moment) : std::localtime(&moment);
    if (!t) return earliest;
    return LzhDosTime(t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec);
}

}  // namespace mkpatch
