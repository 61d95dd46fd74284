// One failed disk operation at a time, in-process: a whole patch run is
// repeated with the first, the second, ... call of the disk table failing,
// and after each the installation must hold every file wholly old or wholly
// new, the game pack must check sound (blocks no chain holds aside), the new
// version must be recorded only over a complete installation, the run must
// call itself completed only then, and running the patch again must finish
// it exactly.
//
// The ordinary builds fail a spread of the calls (every call of the kinds a
// run makes few of, every fifth read, write, seek and tell);
// KIVRA_FAULT_SWEEP=all fails each one.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "pack/PackCheck.h"
#include "platform/Disk.h"
#include "support/FailingDisk.h"
#include "support/InProcessRun.h"

namespace {

using namespace inprocess;

// --- The calls that fail ---------------------------------------------------

using faults::FailingDisk;

long failAt = 0;  // the call that fails, counted from 1; 0 for none

bool FailsAtTheChosenCall(const faults::Call& call) { return call.number == failAt; }

// The disk table fails the call numbered at while it lives.
class FailingAt : public FailingDisk {
public:
    explicit FailingAt(long at) : FailingDisk(FailsAtTheChosenCall) { failAt = at; }
};

// The calls to fail: all of them, or all of the rare kinds and a fifth of the
// rest.
std::vector<long> Chosen(const std::vector<std::string>& made)
{
    const char* every = std::getenv("KIVRA_FAULT_SWEEP");
    const bool all = every && std::string(every) == "all";
    const std::set<std::string> frequent = {"read", "write", "seek", "tell"};
    std::vector<long> chosen;
    for (std::size_t i = 0; i < made.size(); ++i)
        if (all || !frequent.count(made[i]) || i % 5 == 0) chosen.push_back(static_cast<long>(i) + 1);
    return chosen;
}

// --- The installation -------------------------------------------------------

Patch MakePatch()
{
    Patch s;
    s.installedPack = {{"Kivra_Pak\\Version.txt", B("1.0.2.29")},
                       {"Kivra_Pak\\Map\\old.map", Noise(3000, 1)},
                       {"Kivra_Pak\\Map\\keep.map", Noise(5000, 2)},
                       {"Kivra_Pak\\Sound\\wind.wav", Noise(9000, 3)}};
    s.installedDisk = {{"Bin\\tool.dll", Noise(20000, 4)}, {"Kivra.ini", B("[old]")}};
    s.patch = {{"NeedVersion.txt", B("1.0.2.29")},
               {"ReadMe.txt", B("What is new.")},
               {"Kivra_Pak\\Version.txt", B("1.0.2.30")},
               {"Kivra_Pak\\Map\\new.map", Noise(70000, 5)},
               {"Kivra_Pak\\Map\\old.map", Noise(2049, 6)},
               {"Kivra_Pak\\Sound\\hit.wav", Noise(4096, 7)},
               {"Kivra_Pak\\Deep\\a\\b.txt", B("deep")},
               {"Bin\\tool.dll", Noise(66000, 8)},
               {"Bin\\new.dll", Noise(5000, 9)},
               {"Docs\\x.txt", B("x")}};
    return s;
}

// Every file of what the installation holds is the one it held before or
// the one the patch brings, and nothing else is there.
void ExpectWhollyOldOrNew(const Files& held, const Files& before, const Files& after, const char* where)
{
    for (const auto& [name, content] : held) {
        const auto old = before.find(name);
        const auto patched = after.find(name);
        const bool isOld = old != before.end() && old->second == content;
        const bool isNew = patched != after.end() && patched->second == content;
        EXPECT_TRUE(isOld || isNew) << where << " " << name << " is neither old nor new (" << content.size()
                                    << " bytes)";
    }
    for (const auto& [name, content] : before) EXPECT_TRUE(held.count(name)) << where << " " << name << " is gone";
}

void ExpectSound(const fs::path& game)
{
    const pack::CheckResult check = pack::CheckPackFile((game / "Dev/Kivra.pak").c_str());
    EXPECT_TRUE(check.readable);
    EXPECT_EQ(check.problemCount, 0) << (check.problems.empty() ? "" : check.problems.front());
}

TEST(FaultSweep, EachFailedDiskCallLeavesFilesWhollyOldOrNewAndARerunFinishes)
{
    const Patch setup = MakePatch();
    const Holding before = [&] {
        Holding h;
        h.pack = setup.installedPack;
        h.disk = setup.installedDisk;
        return h;
    }();
    const Holding patched = setup.Patched();
    testutil::TempDir templateDir;
    setup.Lay(templateDir.path());

    // The run without a failure, counted.
    std::vector<std::string> made;
    {
        testutil::TempDir dir;
        fs::copy(templateDir.path(), dir.path(), fs::copy_options::recursive);
        Recorder ui;
        FailingAt counting(0);
        ASSERT_TRUE(RunPatch(dir.path(), ui)) << (ui.shown.empty() ? "" : ui.shown.front());
        made = faults::kinds;
    }
    ASSERT_GT(made.size(), 100u);

    int completed = 0;
    int refused = 0;
    for (const long at : Chosen(made)) {
        SCOPED_TRACE("call " + std::to_string(at) + " of " + std::to_string(made.size()) +
                     " fails: " + made[static_cast<std::size_t>(at - 1)]);
        const int failuresBefore =
            ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        testutil::TempDir dir;
        fs::copy(templateDir.path(), dir.path(), fs::copy_options::recursive);
        const fs::path game = fs::path(dir.path()) / "game";

        Recorder ui;
        bool done;
        {
            FailingAt failing(at);
            done = RunPatch(dir.path(), ui);
        }
        const Holding held = Read(game);
        ASSERT_TRUE(held.packReadable);
        ExpectSound(game);
        ExpectWhollyOldOrNew(held.pack, before.pack, patched.pack, "pack");
        ExpectWhollyOldOrNew(held.disk, before.disk, patched.disk, "disk");
        const bool allNew = held.pack == patched.pack && held.disk == patched.disk;
        const bool versionNew = held.pack.at("Kivra_Pak\\Version.txt") == patched.pack.at("Kivra_Pak\\Version.txt");
        EXPECT_TRUE(!versionNew || allNew) << "the new version is recorded over an incomplete installation";
        EXPECT_TRUE(!done || allNew) << "an incomplete run called itself completed";
        EXPECT_TRUE(done || !ui.shown.empty()) << "a failed run said nothing";
        (done ? completed : refused) += 1;

        Recorder again;
        EXPECT_TRUE(RunPatch(dir.path(), again)) << (again.shown.empty() ? "" : again.shown.front());
        const Holding rerun = Read(game);
        EXPECT_EQ(rerun.pack, patched.pack);
        EXPECT_EQ(rerun.disk, patched.disk);
        ExpectSound(game);
        if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != failuresBefore)
            break;
    }
    std::cout << made.size() << " disk calls in a run; " << completed + refused << " failed in turn: " << completed
              << " runs completed all the same, " << refused << " failed and were finished by a rerun\n";
}

// CopyFileA, which replaces the launcher, with each of its calls failing.
TEST(FaultSweep, EachFailedCallOfACopyLeavesTheTargetWhole)
{
    testutil::TempDir dir;
    const std::string source = dir / "new.exe";
    const std::string target = dir / "KNet.exe";
    const Bytes fresh = Noise(150000, 11);
    const Bytes old = Noise(40000, 12);
    testutil::WriteFile(source, fresh);
    for (long at = 1;; ++at) {
        testutil::WriteFile(target, old);
        BOOL copied;
        {
            FailingAt failing(at);
            copied = CopyFileA(source.c_str(), target.c_str(), FALSE);
        }
        const Bytes held = testutil::ReadFile(target);
        EXPECT_TRUE(held == old || held == fresh) << "call " << at;
        EXPECT_EQ(copied != FALSE, held == fresh) << "call " << at;
        std::size_t files = 0;
        for (const auto& item : fs::directory_iterator(dir.path())) files += item.is_regular_file() ? 1 : 0;
        EXPECT_EQ(files, 2u) << "a temporary is left after call " << at;
        if (at > faults::calls) break;  // no call failed: every one has been tried
    }
}

}  // namespace
