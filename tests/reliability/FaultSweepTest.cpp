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
#include "support/InProcessRun.h"

namespace {

using namespace inprocess;

// --- The failing table ------------------------------------------------------

DiskCalls real;
long calls = 0;
long failAt = 0;  // the call that fails, counted from 1; 0 for none
std::vector<std::string> kinds;

// Whether this call, of kind, is the one to fail.
bool Fails(const char* kind)
{
    kinds.push_back(kind);
    return ++calls == failAt;
}

template <class T> T Failed(int error, T result)
{
    errno = error;
    return result;
}

const DiskCalls kFaulty = {
    [](const char* p, const char* m) { return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.open(p, m); },
    [](const char* p, const char* m, DiskLock l) {
        return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.openLocked(p, m, l);
    },
    [](const char* p) { return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.createNew(p); },
    [](void* b, std::size_t s, std::size_t n, std::FILE* f) {
        return Fails("read") ? Failed(EIO, std::size_t{0}) : real.read(b, s, n, f);
    },
    [](const void* b, std::size_t s, std::size_t n, std::FILE* f) {
        return Fails("write") ? Failed(ENOSPC, std::size_t{0}) : real.write(b, s, n, f);
    },
    [](std::FILE* f, long o, int w) { return Fails("seek") ? Failed(EIO, -1) : real.seek(f, o, w); },
    [](std::FILE* f) { return Fails("tell") ? Failed(EIO, -1L) : real.tell(f); },
    [](std::FILE* f) { return Fails("flush") ? Failed(ENOSPC, EOF) : real.flush(f); },
    [](std::FILE* f) {
        const int closed = real.close(f);
        return Fails("close") ? Failed(EIO, EOF) : closed;
    },
    [](const char* p) { return Fails("remove") ? Failed(EIO, -1) : real.remove(p); },
    [](const char* a, const char* b) { return Fails("rename") ? Failed(EIO, -1) : real.rename(a, b); },
    [](const char* p) { return Fails("mkdir") ? Failed(EIO, -1) : real.makeDirectory(p); },
    [](const char* p) { return Fails("chdir") ? Failed(EIO, -1) : real.changeDirectory(p); },
    [](const char* p, DiskPathInfo* i) { return Fails("stat") ? Failed(EIO, -1) : real.stat(p, i); },
    [](const char* p, std::uint64_t* b) { return Fails("statvfs") ? Failed(EIO, -1) : real.freeSpace(p, b); },
    [](const char* p) { return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.beginReplacement(p); },
    [](std::FILE* f, bool keep) {
        if (!Fails("rename")) return real.finishReplacement(f, keep);
        real.finishReplacement(f, false);
        return Failed(EIO, -1);
    },
    [](const char* d, const char* p) { return Fails("sweep") ? Failed(EIO, -1) : real.sweepTemporaries(d, p); },
    [](const char* p, long long t) { return Fails("utime") ? Failed(EIO, -1) : real.setTime(p, t); },
};

// Makes every disk call go through the failing table while it lives.
class FailingDisk {
public:
    explicit FailingDisk(long at)
    {
        real = diskCalls;
        diskCalls = kFaulty;
        calls = 0;
        failAt = at;
        kinds.clear();
    }
    ~FailingDisk() { diskCalls = real; }
    FailingDisk(const FailingDisk&) = delete;
    FailingDisk& operator=(const FailingDisk&) = delete;
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
        FailingDisk counting(0);
        ASSERT_TRUE(RunPatch(dir.path(), ui)) << (ui.shown.empty() ? "" : ui.shown.front());
        made = kinds;
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
            FailingDisk failing(at);
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
            FailingDisk failing(at);
            copied = CopyFileA(source.c_str(), target.c_str(), FALSE);
        }
        const Bytes held = testutil::ReadFile(target);
        EXPECT_TRUE(held == old || held == fresh) << "call " << at;
        EXPECT_EQ(copied != FALSE, held == fresh) << "call " << at;
        std::size_t files = 0;
        for (const auto& item : fs::directory_iterator(dir.path())) files += item.is_regular_file() ? 1 : 0;
        EXPECT_EQ(files, 2u) << "a temporary is left after call " << at;
        if (at > calls) break;  // no call failed: every one has been tried
    }
}

}  // namespace
