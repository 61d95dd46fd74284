#include "tools/kivra-mkpatch/MakePatch.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/kivra-mkpatch/Engines.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/Installation.h"
#include "tools/kivra-mkpatch/Launcher.h"
#include "tools/kivra-mkpatch/Leftovers.h"
#include "tools/kivra-mkpatch/OutDir.h"
#include "tools/kivra-mkpatch/PatchArchive.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/PatchPack.h"
#include "tools/kivra-mkpatch/PatchTime.h"
#include "tools/kivra-mkpatch/Plan.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/Summary.h"
#include "tools/kivra-mkpatch/Versions.h"
#include "tools/kivra-mkpatch/WorkFolder.h"

namespace fs = std::filesystem;

namespace mkpatch {

namespace {

int Make(const Options& options, Installation& before, Installation& after, const fs::path& outDir)
{
    if (!OpenInstallation(before) || !OpenInstallation(after)) return kExitFailure;
    if (!CheckOutDir(outDir, before, after)) return kExitFailure;
    SweepLeftovers();
    const VersionNumber need = options.needGiven ? options.need : before.version;
    if (!CheckVersions(need, before, after)) return kExitFailure;
    if (!ListTrees(before, options.excludes) || !ListTrees(after, options.excludes)) return kExitFailure;
    Plan plan;
    if (!MakePlan(before, after, options, plan)) return kExitFailure;
    CheckLauncher(plan, before);
    const PatchTime time = options.sourceDateGiven ? options.sourceDate : NewestTime(plan);

    if (!MakeWorkFolder()) return kExitFailure;
    std::string packPath;
    if (!WritePatchPack(plan, packPath) || !StampPackTimes(packPath, time.ticks)) return kExitFailure;
    std::error_code error;
    const std::uint64_t packSize = fs::file_size(WorkFileHost(kWorkPack), error);
    if (error) return Fail(Shown(packPath) + ": " + error.message());
    if (!CompressPatch(packPath, packSize, DosTime(time))) return kExitFailure;
    const std::uint64_t archiveSize = fs::file_size(WorkFileHost(kWorkArchive), error);
    if (plan.launcher && !CopyLauncher(plan.launcher->host)) return kExitFailure;
    std::vector<std::string> removed;
    if (!PutIntoOutDir(plan.launcher != nullptr, removed)) return kExitFailure;
    for (const std::string& file : removed) Warn(file + ": left by an earlier patch; removed");
    RemoveWork();
    PrintSummary(plan, need, after, packSize, archiveSize);
    return kExitSuccess;
}

}  // namespace

int MakePatch(const Options& options)
{
    Installation before{"OLD", options.oldRoot, {}, &oldPack, {}, -1, {}, {}};
    Installation after{"NEW", options.newRoot, {}, &newPack, {}, -1, {}, {}};
    const int status = Make(options, before, after, options.outDir);
    oldPack.Close();
    newPack.Close();
    patchPack.Close();
    if (status != kExitSuccess) RemoveWork();
    return status;
}

}  // namespace mkpatch
