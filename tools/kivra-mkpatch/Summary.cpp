#include "tools/kivra-mkpatch/Summary.h"

#include <cstdio>

#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/Versions.h"

namespace mkpatch {

void PrintSummary(const Plan& plan, const VersionNumber& need, const Installation& after, std::uint64_t packSize,
                  std::uint64_t archiveSize)
{
    std::printf("need version: %s\npatch version: %s\n", VersionText(need).c_str(), VersionText(after.version).c_str());
    std::printf("pack: %llu added, %llu changed, %llu bytes\n", static_cast<unsigned long long>(plan.packAdded),
                static_cast<unsigned long long>(plan.packChanged), static_cast<unsigned long long>(plan.packBytes));
    std::printf("disk: %llu added, %llu changed, %llu bytes\n", static_cast<unsigned long long>(plan.diskAdded),
                static_cast<unsigned long long>(plan.diskChanged), static_cast<unsigned long long>(plan.diskBytes));
    std::printf("folders added: %llu\n", static_cast<unsigned long long>(plan.folders.size()));
    std::printf("not removable: %llu\n", static_cast<unsigned long long>(plan.removed));
    if (plan.launcher)
        std::printf("launcher: %s written beside update.lzh\n", kLauncher);
    else
        std::printf("launcher: unchanged\n");
    std::printf("Update.pak: %llu bytes\nupdate.lzh: %llu bytes\n", static_cast<unsigned long long>(packSize),
                static_cast<unsigned long long>(archiveSize));
}

}  // namespace mkpatch
