// Runs that could not copy everything: each says which file, ends non-zero
// and leaves the installed version recorded, so the patch is applied again.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/PatchRun.h"

namespace {

using namespace patchrun;

class HonestOutcome : public PatchRunFixture {
protected:
    // The version the game pack records, read from its bytes.
    std::string RecordedVersion() const
    {
        const auto files = PackFiles(game / "Dev/Kivra.pak");
        const auto it = files.find("Kivra_Pak\\Version.txt");
        return it == files.end() ? std::string("(none)") : std::string(it->second.begin(), it->second.end());
    }
};

TEST_F(HonestOutcome, EveryCopyThatFailsIsToldAndTheVersionStays)
{
    const struct {
        const char* what;
        std::function<void(const fs::path& game, Tree& installed, Tree& offered)> arrange;
        const char* detail;  // message 7's detail: the path below the game directory
    } cases[] = {
        {"a file where a folder goes",
         [](const fs::path& game, Tree&, Tree&) { WriteFile(game / "Bin", std::string("x")); }, "Bin"},
        {"a folder where a file goes",
         [](const fs::path& game, Tree&, Tree&) { fs::create_directories(game / "ReadMe.txt"); }, "ReadMe.txt"},
        {"a file where a pack folder goes",
         [](const fs::path&, Tree& installed, Tree&) { installed["Kivra_Pak\\Sound"] = B("not a folder"); },
         "Kivra_Pak\\Sound"},
        {"a pack folder where a pack file goes",
         [](const fs::path&, Tree& installed, Tree&) { installed["Kivra_Pak\\Map\\new.map\\"] = {}; },
         "Kivra_Pak\\Map\\new.map"},
        {"a patch file that is the game pack itself",
         [](const fs::path&, Tree&, Tree& offered) { offered["Dev\\KIVRA.PAK"] = B("not a pack"); }, "Dev\\KIVRA.PAK"},
        {"a full disk",
         [](const fs::path& game, Tree&, Tree&) {
             fs::create_directories(game / "Bin");
             fs::create_symlink("/dev/full", game / "Bin/tool.dll");
         },
         "Bin\\tool.dll"},
    };
    for (const bool quiet : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (quiet ? ", after the launcher was replaced" : ""));
            testutil::TempDir scratch;
            // A fresh installation and patch for each case.
            installation = Installation(scratch.path());
            SetUp();
            c.arrange(game, installed, offered);
            if (quiet) {
                // A newer launcher beside the patcher makes the run quiet.
                Executable(game / "KNet.exe", "1.0.2.29");
                Executable(patch / "KNet.exe", "1.0.2.30");
            }
            BuildPacks();
            const Outcome o = Run();
            EXPECT_NE(o.status, 0) << o.out << o.err;
            EXPECT_NE(o.err.find("\n[UPDATE 7]\nfile open error\n(" + std::string(c.detail) + ")\n"), std::string::npos)
                << o.err;
            EXPECT_EQ(o.out.find("Update is completed."), std::string::npos) << o.out;
            EXPECT_EQ(RecordedVersion(), "1.0.2.29");
            const pack::CheckResult check = pack::CheckPackFile((game / "Dev/Kivra.pak").c_str());
            EXPECT_TRUE(check.Clean()) << (check.problems.empty() ? "lost blocks" : check.problems.front());
        }
    }
}

TEST_F(HonestOutcome, AGameDirectoryThatCannotBeEnteredIsMessageTwo)
{
    BuildPacks();
    // The registry names a folder that is gone, and a drive the prefix lacks.
    for (const char* path : {"C:\\\\Games\\\\Moved", "E:\\\\Games\\\\Kivra"}) {
        SCOPED_TRACE(path);
        Registry(std::string("\"InstallPath\"=\"") + path + "\"");
        const Outcome o = Run();
        EXPECT_NE(o.status, 0) << o.out << o.err;
        EXPECT_NE(o.err.find("\n[UPDATE 2]\nCannot find the route of game.\n"), std::string::npos) << o.err;
    }
}

}  // namespace
