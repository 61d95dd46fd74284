// kivra-update killed (SIGKILL) at many points of one patch run: while it
// unpacks update.lzh, in the counting pass, the copying pass and the rewrite
// pass of an old game pack. After every kill the game pack may hold blocks
// that no chain holds, and nothing else may be wrong with it; the same patch
// run again must leave the installation as one uninterrupted run leaves it;
// and `pak fsck --repair` must then give a clean pack with the same content.
// The old pack holds an entry that only the rewrite pass mends, so a run
// again that skipped the rewrite pass (taking the pack for patched already)
// shows too.
//
// The points are writes: the preloaded WriteCounter library counts the
// patcher's writes to files and kills it at the Nth. A first run logs every
// write with the file written and the output shown so far, which tells the
// phases apart. The points are spread evenly over each phase, and in the
// passes that change the game pack's tree every write of its entries and the
// first and last of each run of table writes (anything shorter than a block)
// is a point too: the order of those writes is what keeps a pack sound.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/ReliabilitySupport.h"

namespace {

using namespace patchrun;
using namespace reliability;

enum Phase {
    kUnpacking,
    kCounting,
    kCopying,
    kRewrite,
    kPhases
};
const char* const kPhaseNames[] = {"unpacking", "counting pass", "copying pass", "rewrite pass"};

// Kill points spread over each phase.
constexpr std::size_t kPointsPerPhase = 16;
constexpr long kBlockSize = 2048;

struct Write {
    long number;
    long output;  // bytes on standard output before it
    long size;
    std::string file;
    Phase phase = kUnpacking;
};

class InterruptedRun : public ::testing::Test {
protected:
    // The installation before the patch: an old pack (1.0.0.47, so the
    // rewrite pass runs) with enough files that the rewrite pass writes a
    // lot, and a patch that makes directories, extends a full directory,
    // replaces files and writes files to disk.
    void SetUp() override
    {
        if (std::system("command -v jlha >/dev/null 2>&1") != 0) GTEST_SKIP() << "jlha is not installed";
        Installation original(pristine.path());
        original.Lay();
        Tree installed = {{"Kivra_Pak\\Version.txt", B("1.0.0.47")},
                          {"Kivra_Pak\\Map\\old.map", Noise(3000, 1)},
                          {"Kivra_Pak\\Map\\keep.map", Noise(5000, 6)},
                          {"Config\\options.ini", B("[video]\r\nwidth=800\r\n")}};
        for (int i = 0; i < 12; ++i)
            installed["Kivra_Pak\\Map\\m" + std::to_string(i) + ".map"] = Noise(700 * i, 10 + i);
        for (int i = 0; i < 6; ++i)
            installed["Kivra_Pak\\Data\\d" + std::to_string(i) + ".dat"] = Noise(2048 * i + 1, 30 + i);
        Tree offered = {{"NeedVersion.txt", B("1.0.0.1")},
                        {"ReadMe.txt", B("What is new.")},
                        {"Kivra_Pak\\Version.txt", B("1.0.2.30\r\n")},
                        {"Kivra_Pak\\Map\\new.map", Noise(70000, 2)},
                        {"Kivra_Pak\\Map\\old.map", Noise(2049, 3)},
                        {"Kivra_Pak\\Map\\m3.map", Noise(9000, 4)},
                        {"Kivra_Pak\\Sound\\Fx\\hit.wav", Noise(65536, 5)},
                        {"Kivra_Pak\\Sound\\theme.ogg", Noise(20000, 7)},
                        {"Bin\\tool.dll", Noise(100000, 8)},
                        {"Bin\\Lang\\ko.txt", B("Korean")}};
        MakePack(original.GamePack(), installed);
        MakePack(original.patch / "Update.pak", offered);
        // An entry as an old game wrote it, which the rewrite pass mends.
        testpack::Image image;
        image.bytes = ReadFile(original.GamePack());
        for (std::size_t b = 0; b < image.Blocks(); ++b)
            for (std::size_t slot = 0; slot < 16; ++slot) {
                testpack::Entry e = image.GetEntry(b, slot);
                if (e.inUse == 1 && e.type == 2 && e.name == "d3.dat") {
                    e.contiguous = 0;
                    image.PutEntry(b, slot, e);
                    spoiled = true;
                }
            }
        ASSERT_TRUE(spoiled);
        WriteFile(original.GamePack(), image.bytes);
        const std::string command =
            "cd '" + original.patch.string() + "' && jlha a1q update.lzh Update.pak >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        fs::remove(original.patch / "Update.pak");
    }

    // A copy of the pristine installation, at a new place.
    Installation Copy(testutil::TempDir& where)
    {
        const fs::path root = fs::path(where.path()) / "run";
        CopyTree(pristine.path(), root);
        return Installation(root);
    }

    static RunOptions Preloaded(const std::vector<std::string>& settings)
    {
        RunOptions options;
        // An instrumented patcher checks that its runtime is loaded first.
        options.environment = {std::string("LD_PRELOAD=") + WRITE_COUNTER, "ASAN_OPTIONS=verify_asan_link_order=0"};
        options.environment.insert(options.environment.end(), settings.begin(), settings.end());
        return options;
    }

    testutil::TempDir pristine;
    bool spoiled = false;
};

std::vector<Write> ReadLog(const fs::path& log)
{
    std::vector<Write> writes;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Write w;
        fields >> w.number >> w.output >> w.size;
        fields.ignore(1);
        std::getline(fields, w.file);
        writes.push_back(w);
    }
    return writes;
}

// Sorts the writes of an uninterrupted run into phases: the patch folder's
// files are unpacking; the game's before the first progress line the
// counting pass; from there to the last disk file the copying pass; the game
// pack's after that the rewrite pass, which shows nothing, until the version
// file's copy shows its progress line: that copy, the last, is the copying
// pass's again.
void SortIntoPhases(std::vector<Write>& writes, const Installation& at, const std::string& output)
{
    const std::size_t firstStatus = output.find("%] ");
    ASSERT_NE(firstStatus, std::string::npos) << output;
    const long copyingFrom = static_cast<long>(output.rfind('\n', firstStatus) + 1);
    const std::string pack = fs::canonical(at.GamePack()).string();
    const std::string patch = fs::canonical(at.patch).string() + "/";
    long lastDiskWrite = 0;
    for (const Write& w : writes)
        if (w.file != pack && w.file.rfind(patch, 0) != 0) lastDiskWrite = w.number;
    long rewriteOutput = -1;
    for (Write& w : writes) {
        if (w.file.rfind(patch, 0) == 0) {
            w.phase = kUnpacking;
        } else if (w.output <= copyingFrom) {
            w.phase = kCounting;
        } else if (w.number <= lastDiskWrite) {
            w.phase = kCopying;
        } else {
            if (rewriteOutput < 0) rewriteOutput = w.output;
            w.phase = w.output == rewriteOutput ? kRewrite : kCopying;
        }
        if (w.phase == kCounting || w.phase == kRewrite) {
            EXPECT_EQ(w.file, pack) << "write " << w.number;
        }
    }
}

TEST_F(InterruptedRun, EveryKillLeavesOnlyLostBlocksAndTheRerunCompletesThePatch)
{
    // The uninterrupted run, logged.
    testutil::TempDir referenceDir;
    Installation reference = Copy(referenceDir);
    const fs::path log = fs::path(referenceDir.path()) / "writes.log";
    const Outcome clean = reference.Run(Preloaded({"KIVRA_WRITE_LOG=" + log.string()}));
    ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
    ASSERT_NE(clean.out.find("Update is completed."), std::string::npos) << clean.out;
    ASSERT_NE(clean.out.find("1.00 Build 47 -> 1.02 Build 30"), std::string::npos) << clean.out;
    const auto expectedDisk = DiskFiles(reference.game, reference.GamePack());
    const PackContent expectedPack = ReadPackContent(reference.GamePack());
    ASSERT_GT(expectedPack.size(), 20u);
    // The files the patch leaves alone lie where they lay, and the rewrite
    // pass has mended the old entry.
    auto untouched = ReadContiguity(reference.GamePack());
    std::erase_if(untouched, [](const auto& file) { return file.first.rfind("Kivra_Pak\\Data\\", 0) != 0; });
    ASSERT_EQ(untouched.at("Kivra_Pak\\Data\\d3.dat"), 1);

    std::vector<Write> writes = ReadLog(log);
    SortIntoPhases(writes, reference, clean.out);
    std::vector<std::vector<long>> byPhase(kPhases);
    for (const Write& w : writes) byPhase[w.phase].push_back(w.number);

    std::set<std::pair<long, Phase>> chosen;
    const std::string pack = fs::canonical(reference.GamePack()).string();
    for (int phase = 0; phase < kPhases; ++phase) {
        const std::vector<long>& all = byPhase[static_cast<std::size_t>(phase)];
        // The counting pass looks, and writes nothing.
        if (phase == kCounting) {
            EXPECT_EQ(all.size(), 0u) << "the counting pass writes";
            continue;
        }
        ASSERT_GE(all.size(), 4u) << kPhaseNames[phase] << " has too few writes";
        const std::size_t take = std::min(kPointsPerPhase, all.size());
        for (std::size_t i = 0; i < take; ++i)
            chosen.emplace(all[i * (all.size() - 1) / (take - 1)], static_cast<Phase>(phase));
    }
    // A run of like writes (a chain's table entries, say) is cut at its ends.
    const auto alike = [&](std::size_t i, std::size_t j) {
        return j < writes.size() && writes[i].file == writes[j].file && writes[i].size == writes[j].size;
    };
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const Write& w = writes[i];
        if ((w.phase == kCounting || w.phase == kCopying) && w.file == pack && w.size < kBlockSize &&
            (i == 0 || !alike(i, i - 1) || !alike(i, i + 1)))
            chosen.emplace(w.number, w.phase);
    }
    const std::vector<std::pair<long, Phase>> points(chosen.begin(), chosen.end());
    ASSERT_GE(points.size(), 50u);

    std::vector<int> survived(kPhases, 0);
    for (const auto& [point, phase] : points) {
        SCOPED_TRACE("killed before write " + std::to_string(point) + " of " + std::to_string(writes.size()) +
                     ", in the " + kPhaseNames[phase]);
        const int failuresBefore =
            ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        testutil::TempDir workDir;
        Installation work = Copy(workDir);

        const Outcome killed = work.Run(Preloaded({"KIVRA_KILL_AT=" + std::to_string(point)}));
        ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
        EXPECT_EQ(killed.out.find("Update is completed."), std::string::npos);

        ExpectOnlyLostBlocksAndARerunCompletes(work, expectedDisk, expectedPack);
        if (HasFatalFailure()) return;
        auto contiguity = ReadContiguity(work.GamePack());
        std::erase_if(contiguity, [&](const auto& file) { return !untouched.count(file.first); });
        EXPECT_EQ(contiguity, untouched);

        // The repair frees what the kill left, and only that.
        const Outcome repair = Fsck(work.GamePack(), true);
        EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
        const Outcome after = Fsck(work.GamePack());
        EXPECT_EQ(after.status, 0) << after.out;
        EXPECT_EQ(FsckCount(after, "lost"), 0) << after.out;
        EXPECT_EQ(ReadPackContent(work.GamePack()), expectedPack);

        if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() == failuresBefore)
            ++survived[phase];
        if (HasFatalFailure()) break;
    }

    std::cout << "kill points survived: " << survived[0] + survived[1] + survived[2] + survived[3] << " of "
              << points.size() << " (" << writes.size() << " writes in a run)";
    for (int phase = 0; phase < kPhases; ++phase)
        std::cout << "; " << kPhaseNames[phase] << " " << survived[static_cast<std::size_t>(phase)] << " (of "
                  << byPhase[static_cast<std::size_t>(phase)].size() << " writes)";
    std::cout << "\n";
}

}  // namespace
