#include "tools/kivra-mkpatch/Launcher.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/kivra-mkpatch/Engines.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/Versions.h"
#include "tools/kivra-mkpatch/WorkFolder.h"
#include "update/Version.h"

namespace mkpatch {

void CheckLauncher(const Plan& plan, const Installation& before)
{
    if (!plan.launcher) return;
    VersionNumber launcherOld{0, 0, 0, 0};
    VersionNumber launcherNew{0, 0, 0, 0};
    std::string system;
    const bool readNew =
        HostToSystemText(plan.launcher->host.string(), system) && ReadFileVersion(system.c_str(), launcherNew);
    bool readOld = false;
    for (const TreeFile& file : before.diskTree.files)
        if (IsLauncher(file.path))
            readOld = HostToSystemText(file.host.string(), system) && ReadFileVersion(system.c_str(), launcherOld);
    if (!readNew)
        Warn("NEW's KNet.exe has no file version: the patcher replaces the launcher only with the patch's files");
    else if (readOld && CompareVersions(launcherNew, launcherOld) != VersionOrder::Greater)
        Warn("NEW's KNet.exe (" + VersionText(launcherNew) + ") is not newer than OLD's (" + VersionText(launcherOld) +
             "): the patcher replaces the launcher only with the patch's files");
}

bool CopyLauncher(const std::filesystem::path& from)
{
    const std::string to = InWork(kWorkLauncher);
    std::FILE* out = CreateNewDiskFile(to.c_str());
    if (!out) return Refuse(Shown(to) + ": cannot be made (" + std::strerror(errno) + ")");
    std::FILE* in = std::fopen(from.string().c_str(), "rb");
    bool ok = in != nullptr;
    for (std::size_t got; ok && (got = std::fread(bufferA, 1, kChunk, in)) > 0;)
        ok = std::fwrite(bufferA, got, 1, out) == 1;
    if (in) ok = !std::ferror(in) && ok;
    if (in) std::fclose(in);
    ok = std::fclose(out) == 0 && ok;
    if (!ok) return Refuse(from.string() + ": cannot be copied to " + Shown(to));
    return true;
}

}  // namespace mkpatch
