#include "tools/kivra-mkpatch/Versions.h"

#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/Report.h"

namespace mkpatch {

std::string VersionText(const VersionNumber& v)
{
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.minor2) + "." +
           std::to_string(v.build);
}

bool CheckVersions(const VersionNumber& need, const Installation& before, const Installation& after)
{
    if (CompareVersions(after.version, need) == VersionOrder::Less)
        return Refuse("NEW's version " + VersionText(after.version) + " is below the need version " +
                      VersionText(need) + ": the patcher would refuse the patch everywhere");

    if (CompareVersions(before.version, need) == VersionOrder::Less)
        Warn("OLD's version " + VersionText(before.version) + " is below the need version " + VersionText(need) +
             ": the patcher refuses the patch on OLD");
    if (CompareVersions(after.version, before.version) == VersionOrder::Less)
        Warn("NEW's version " + VersionText(after.version) + " is below OLD's " + VersionText(before.version) +
             ": the patcher refuses the patch on OLD");
    else if (CompareVersions(after.version, before.version) == VersionOrder::Equal)
        Warn("NEW's version equals OLD's (" + VersionText(after.version) +
             "): where the launcher runs and Kivra.exe has that version too, the patcher does nothing");
    return true;
}

}  // namespace mkpatch
