// Power losses: the disk calls of a whole patch run, and of pak put and pak
// import, are recorded, and the state a power loss right after each call
// leaves is built (tests/support/PowerLossDisk.h) under several patterns of
// loss. Each state must hold a game pack that checks sound but for lost
// blocks, every file wholly old or wholly new, the new version only over a
// complete installation and a complete one once the run said so; and
// running the patch again must give exactly the new installation, with no
// block left lost.
//
// The ordinary builds strike after a spread of the calls, with three of the
// patterns; KIVRA_POWER_LOSS=all strikes after each one, with all of them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "pack/PackCheck.h"
#include "support/InProcessRun.h"
#include "support/PowerLossDisk.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Writing.h"

namespace {

using namespace inprocess;
using powerloss::Loss;

const Loss kLosses[] = {
    {"nothing unsynced kept", 0.0, 0.0, 0},   {"everything kept", 1.0, 1.0, 0},
    {"names kept, data lost", 1.0, 0.0, 0},   {"data kept, names lost", 0.0, 1.0, 0},
    {"half of each, at random", 0.5, 0.5, 1}, {"half of each, at random again", 0.5, 0.5, 2},
};

// A process id that no process has now.
long DeadProcess()
{
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

bool Everywhere()
{
    const char* every = std::getenv("KIVRA_POWER_LOSS");
    return every && std::string(every) == "all";
}

// The calls to strike after: each one, or every tenth and the last ten.
std::vector<long> Chosen(long calls)
{
    std::vector<long> chosen;
    for (long call = 0; call <= calls; ++call)
        if (Everywhere() || call % 10 == 0 || call > calls - 10) chosen.push_back(call);
    return chosen;
}

// The patterns of loss: each, or with a spread of calls the three that
// differ most (nothing kept, everything kept, half at random).
std::vector<Loss> Patterns()
{
    if (Everywhere()) return std::vector<Loss>(std::begin(kLosses), std::end(kLosses));
    return {kLosses[0], kLosses[1], kLosses[4]};
}

pack::CheckResult Check(const fs::path& game) { return pack::CheckPackFile((game / "Dev/Kivra.pak").c_str()); }

TEST(PowerLoss, APatchRunLeavesEveryFileOldOrNewAndARerunCompletesIt)
{
    const Patch setup = SamplePatch();
    const Holding patched = setup.Patched();
    Holding before;
    before.pack = setup.installedPack;
    before.disk = setup.installedDisk;

    testutil::TempDir recorded;
    setup.Lay(recorded.path());
    long calls = 0;
    {
        const powerloss::Recorder recorder(recorded.path());
        Recorder ui;
        ASSERT_TRUE(RunPatch(recorded.path(), ui)) << (ui.shown.empty() ? "" : ui.shown.front());
        calls = powerloss::rec.calls;
    }
    const long dead = DeadProcess();

    int states = 0;
    int complete = 0;
    for (const long after : Chosen(calls)) {
        for (const Loss& loss : Patterns()) {
            SCOPED_TRACE("power lost after call " + std::to_string(after) + " of " + std::to_string(calls) + ", " +
                         loss.what);
            const int failuresBefore =
                ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
            testutil::TempDir dir;
            powerloss::Lay(powerloss::Crash(after, loss), dir.path(), dead);
            const fs::path game = fs::path(dir.path()) / "game";

            const pack::CheckResult check = Check(game);
            ASSERT_TRUE(check.readable);
            EXPECT_EQ(check.problemCount, 0) << (check.problems.empty() ? "" : check.problems.front());
            const Holding held = Read(game);
            ASSERT_TRUE(held.packReadable);
            ExpectWhollyOldOrNew(held.pack, before.pack, patched.pack, "pack");
            ExpectWhollyOldOrNew(held.disk, before.disk, patched.disk, "disk");
            const bool allNew = held.pack == patched.pack && held.disk == patched.disk;
            const bool versionNew = held.pack.at("Kivra_Pak\\Version.txt") == patched.pack.at("Kivra_Pak\\Version.txt");
            EXPECT_TRUE(!versionNew || allNew) << "the new version is recorded over an incomplete installation";
            EXPECT_TRUE(after < calls || allNew) << "the run said it completed, but a power loss takes it back";
            complete += allNew ? 1 : 0;
            ++states;

            Recorder again;
            EXPECT_TRUE(RunPatch(dir.path(), again)) << (again.shown.empty() ? "" : again.shown.front());
            // Blocks no file holds are what a stopped run leaves: the rerun
            // says so, and frees them.
            bool told = false;
            for (const std::string& note : again.notes)
                told = told || note.find("a run was stopped") != std::string::npos;
            EXPECT_EQ(told, !check.lostBlocks.empty());
            const Holding rerun = Read(game);
            EXPECT_EQ(rerun.pack, patched.pack);
            EXPECT_EQ(rerun.disk, patched.disk);
            EXPECT_TRUE(Check(game).Clean()) << "the rerun leaves the game pack with problems or lost blocks";
            if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != failuresBefore)
                return;
        }
    }
    std::cout << calls << " disk calls in a run; " << states << " power-loss states, " << complete
              << " of them already complete, each completed by a rerun\n";
}

// The syncs of a run grow with the folders it writes, never with its files:
// the same patch with many more files in as many folders syncs as often,
// and a handful of syncs does for all.
TEST(PowerLoss, ARunsSyncsDoNotGrowWithItsFiles)
{
    const struct {
        int files;
        int folders;
    } shapes[] = {{2, 1}, {120, 1}, {120, 6}};
    long first = -1;
    for (const auto& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.files) + " files in " + std::to_string(shape.folders) + " folders");
        Patch setup;
        setup.installedPack = {{"Kivra_Pak\\Version.txt", B("1.0.2.29")}};
        setup.patch = {{"NeedVersion.txt", B("1.0.2.29")}, {"Kivra_Pak\\Version.txt", B("1.0.2.30")}};
        for (int i = 0; i < shape.files; ++i) {
            const std::string name = "F" + std::to_string(i % shape.folders) + "\\f" + std::to_string(i);
            setup.patch["Kivra_Pak\\" + name] = Noise(100 + static_cast<std::size_t>(i), static_cast<unsigned>(i));
            setup.patch[name] = Noise(50 + static_cast<std::size_t>(i), static_cast<unsigned>(i) + 1000);
            setup.installedDisk[name] = B("old");
        }
        testutil::TempDir dir;
        setup.Lay(dir.path());
        const powerloss::Recorder recorder(dir.path());
        Recorder ui;
        ASSERT_TRUE(RunPatch(dir.path(), ui));
        const long syncs = powerloss::rec.syncs;
        EXPECT_LE(syncs, 10);
        if (first < 0) first = syncs;
        EXPECT_EQ(syncs, first);
    }
}

// The files of the pack at path, read with the test's own reader; false
// when it cannot be read.
bool PackFiles(const fs::path& path, Files& files)
{
    testpack::Image image;
    image.bytes = testutil::ReadFile(path);
    std::vector<testpack::Node> nodes;
    if (!testpack::ReadTree(image, nodes)) return false;
    for (const auto& node : nodes)
        if (node.entry.type == 2) files[node.path] = node.data;
    return true;
}

// A pak verb as the tool runs it, closing the pack after it.
int Pak(const std::vector<std::string>& args)
{
    const paktool::Args verbArgs(args.begin() + 1, args.end());
    const int status = args[0] == "put" ? paktool::Put(verbArgs) : paktool::Import(verbArgs);
    paktool::engine.Close();
    return status == 0 && !paktool::engine.Failed() ? 0 : 1;
}

struct PakCase {
    const char* what;
    std::vector<std::string> args;  // below the folder: the pack is "game.pak", the sources "new/..."
};

TEST(PowerLoss, PakPutAndImportLeaveEachFileOldOrNew)
{
    const Files old = {{"Map\\old.map", Noise(5000, 1)}, {"Map\\keep.map", Noise(3000, 2)}, {"top.txt", B("top")}};
    const Files disk = {
        {"Map/old.map", Noise(9000, 3)}, {"Map/new.map", Noise(70000, 4)}, {"Sound/hit.wav", Noise(2049, 5)}};
    const PakCase cases[] = {
        {"pak put", {"put", "game.pak", "new/Map/old.map", "Map/old.map"}},
        {"pak import", {"import", "game.pak", "new"}},
    };
    const long dead = DeadProcess();
    for (const PakCase& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir recorded;
        const fs::path root = recorded.path();
        testtree::MakePack((root / "game.pak").string(), old);
        for (const auto& [name, content] : disk) {
            fs::create_directories((root / "new" / name).parent_path());
            testutil::WriteFile(root / "new" / name, content);
        }
        auto absolute = c.args;
        for (std::size_t i = 1; i < absolute.size() && i < 3; ++i) absolute[i] = (root / absolute[i]).string();
        Files after = old;
        long calls = 0;
        {
            const powerloss::Recorder recorder(root);
            ASSERT_EQ(Pak(absolute), 0);
            calls = powerloss::rec.calls;
        }
        ASSERT_TRUE(PackFiles(root / "game.pak", after));
        for (const long call : Chosen(calls)) {
            for (const Loss& loss : Patterns()) {
                SCOPED_TRACE("power lost after call " + std::to_string(call) + " of " + std::to_string(calls) + ", " +
                             loss.what);
                testutil::TempDir dir;
                powerloss::Lay(powerloss::Crash(call, loss), dir.path(), dead);
                const fs::path pack = fs::path(dir.path()) / "game.pak";
                const pack::CheckResult check = pack::CheckPackFile(pack.c_str());
                ASSERT_TRUE(check.readable);
                EXPECT_EQ(check.problemCount, 0) << (check.problems.empty() ? "" : check.problems.front());
                Files held;
                ASSERT_TRUE(PackFiles(pack, held));
                ExpectWhollyOldOrNew(held, old, after, "pack");
                EXPECT_TRUE(call < calls || held == after) << "pak said it was done, but a power loss takes it back";
                // The verb again finishes what was lost.
                auto again = c.args;
                for (std::size_t i = 1; i < again.size() && i < 3; ++i)
                    again[i] = (fs::path(dir.path()) / again[i]).string();
                EXPECT_EQ(Pak(again), 0);
                Files redone;
                ASSERT_TRUE(PackFiles(pack, redone));
                EXPECT_EQ(redone, after);
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

}  // namespace
