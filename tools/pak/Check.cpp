// The verb fsck, which checks the pack and repairs what it can (Check.h).
#include "tools/pak/Check.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pack/PackCheck.h"
#include "pack/PackRepair.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/Printing.h"
#include "tools/pak/ThePack.h"

namespace paktool {

namespace {

void PrintLostBlocks(const std::vector<std::int32_t>& lost)
{
    for (std::size_t i = 0; i < lost.size();) {
        std::size_t j = i;
        while (j + 1 < lost.size() && lost[j + 1] == lost[j] + 1) ++j;
        if (i == j)
            std::printf("block %d: in use, held by no chain\n", lost[i]);
        else
            std::printf("blocks %d-%d: in use, held by no chain\n", lost[i], lost[j]);
        i = j + 1;
    }
}

}  // namespace

int Check(const Args& args)
{
    const bool repair = args[0] == "--repair";
    if (args.size() != (repair ? 2u : 1u)) return kExitUsage;
    const std::string& path = args.back();
    if (!OpenPack(path, repair, true)) return kExitFailure;

    const pack::CheckResult result = pack::CheckPackFile(packSystemName.c_str());
    for (const std::string& problem : result.problems) {
        PrintPackText(problem);
        std::putchar('\n');
    }
    const std::int64_t unlisted = result.problemCount - static_cast<std::int64_t>(result.problems.size());
    if (unlisted > 0) std::printf("(%lld more problems not listed)\n", static_cast<long long>(unlisted));
    PrintLostBlocks(result.lostBlocks);
    std::printf("problems: %lld\nlost: %llu\n", static_cast<long long>(result.problemCount),
                static_cast<unsigned long long>(result.lostBlocks.size()));

    std::size_t lost = result.lostBlocks.size();
    std::int64_t problems = result.problemCount;
    if (repair) {
        if (result.rootEntryFree) {
            if (pack::RepairRootEntry(engine) < 0) return Fail(path, "the table cannot be written");
            std::puts("repaired: table entry 0 (in use, last block)");
            --problems;
        }
        const std::int32_t cut = pack::RepairTableTail(engine);
        if (cut > 0) std::printf("repaired: %d table entries past the data area or leading out of it\n", cut);
        const std::int32_t freed = pack::FreeLostBlocks(engine, result.lostBlocks);
        if (freed < 0) return Fail(path, "the table cannot be written");
        std::printf("freed: %d\n", freed);
        lost = 0;
        engine.Close();
        if (engine.Failed()) return Fail(path, "the table cannot be written");
        // What a cut chain leaves is for a check of the repaired pack to tell.
        if (cut > 0) {
            const pack::CheckResult after = pack::CheckPackFile(packSystemName.c_str());
            problems = after.problemCount;
            lost = after.lostBlocks.size();
        }
    }
    if (problems == 0 && lost == 0) return 0;
    return Fail(path, "problems: " + std::to_string(problems) + ", lost blocks: " + std::to_string(lost));
}

}  // namespace paktool
