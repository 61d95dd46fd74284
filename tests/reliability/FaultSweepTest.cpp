// One failed disk operation at a time, in-process: a whole patch run is
// repeated with the first, the second, ... call of the disk table failing.
// Each run ends one of two ways: completed, with exactly the new
// installation, or not applied, with the installation as it was, byte for
// byte: every file in the game pack and on disk, no temporary and no folder
// left, the game pack's header, table, length and every block in use as they
// were. The game pack checks sound either way, a failed run says so, and
// running the patch again finishes it exactly, freeing any block a run left
// held by no chain.
//
// The ordinary builds fail a spread of the calls (every call of the kinds a
// run makes few of, every fifth read, write, seek and tell);
// KIVRA_FAULT_SWEEP=all fails each one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

void ExpectSound(const fs::path& game, bool noLostBlocks = false)
{
    const pack::CheckResult check = pack::CheckPackFile((game / "Dev/Kivra.pak").c_str());
    EXPECT_TRUE(check.readable);
    EXPECT_EQ(check.problemCount, 0) << (check.problems.empty() ? "" : check.problems.front());
    if (noLostBlocks) {
        EXPECT_TRUE(check.lostBlocks.empty()) << check.lostBlocks.size() << " lost blocks";
    }
}

// The game pack's bytes that a run that changed nothing leaves as they were:
// the header, the table, the length, and every block the table calls in use.
void ExpectPackAsItWas(const Bytes& before, const Bytes& now)
{
    ASSERT_EQ(now.size(), before.size()) << "the game pack's length changed";
    constexpr std::size_t kDataAt = 512 + 512000;
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + kDataAt, now.begin())) << "header or table changed";
    for (std::size_t b = 0; kDataAt + (b + 1) * 2048 <= before.size(); ++b) {
        std::uint32_t link = 0;
        std::memcpy(&link, &before[512 + 4 * b], 4);
        if (link == 0xFFFFFFFFu) continue;
        const auto at = static_cast<std::ptrdiff_t>(kDataAt + b * 2048);
        EXPECT_TRUE(std::equal(before.begin() + at, before.begin() + at + 2048, now.begin() + at))
            << "block " << b << " in use changed";
    }
}

// A run that did not complete left the installation as it was.
void ExpectAsItWas(const Holding& held, const Holding& before, const fs::path& game, const Bytes& packBefore)
{
    EXPECT_EQ(held.pack, before.pack);
    EXPECT_EQ(held.disk, before.disk);
    EXPECT_EQ(held.folders, before.folders);
    EXPECT_TRUE(held.temporaries.empty()) << held.temporaries.front() << " is left";
    ExpectPackAsItWas(packBefore, testutil::ReadFile(game / "Dev/Kivra.pak"));
}

TEST(FaultSweep, EachFailedDiskCallLeavesTheGameAsItWasOrPatchedAndARerunFinishes)
{
    const Patch setup = SamplePatch();
    const Holding patched = setup.Patched();
    testutil::TempDir templateDir;
    setup.Lay(templateDir.path());
    const Holding before = Read(fs::path(templateDir.path()) / "game");
    const Bytes packBefore = testutil::ReadFile(fs::path(templateDir.path()) / "game/Dev/Kivra.pak");

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
        if (done) {
            EXPECT_EQ(held.pack, patched.pack) << "a run that was not complete called itself completed";
            EXPECT_EQ(held.disk, patched.disk) << "a run that was not complete called itself completed";
        } else {
            ExpectAsItWas(held, before, game, packBefore);
            EXPECT_FALSE(ui.shown.empty()) << "a failed run said nothing";
        }
        (done ? completed : refused) += 1;

        Recorder again;
        EXPECT_TRUE(RunPatch(dir.path(), again)) << (again.shown.empty() ? "" : again.shown.front());
        const Holding rerun = Read(game);
        EXPECT_EQ(rerun.pack, patched.pack);
        EXPECT_EQ(rerun.disk, patched.disk);
        ExpectSound(game, true);
        if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != failuresBefore)
            break;
    }
    std::cout << made.size() << " disk calls in a run; " << completed + refused << " failed in turn: " << completed
              << " runs completed all the same, " << refused << " changed nothing and were finished by a rerun\n";
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
