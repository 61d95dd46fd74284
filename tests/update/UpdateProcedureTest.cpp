// The update procedure's decisions, in-process: what the versions decide, and
// what a run shows and leaves for each decision, quiet or not.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/InProcessRun.h"
#include "support/PackFixture.h"
#include "support/PeWriter.h"
#include "update/Globals.h"
#include "update/Transfer.h"
#include "update/UpdateProcedure.h"

namespace fs = std::filesystem;

namespace {

VersionNumber V(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) { return VersionNumber{a, b, c, d}; }

TEST(DecideUpdate, VersionsDecideInOrder)
{
    const VersionNumber v29 = V(1, 0, 2, 29), v30 = V(1, 0, 2, 30), v28 = V(1, 0, 2, 28);
    struct Case {
        const char* what;
        bool need, current, patch;
        VersionNumber needV, currentV, patchV, exeV;
        bool launcherRunning;
        UpdateVerdict verdict;
    } cases[] = {
        {"plain patch", true, true, true, v29, v29, v30, v29, false, UpdateVerdict::Proceed},
        {"need unread", false, false, false, v29, v29, v30, v29, false, UpdateVerdict::NoNeedVersion},
        {"current unread", true, false, true, v29, v29, v30, v29, false, UpdateVerdict::NoCurrentVersion},
        {"patch unread", true, true, false, v29, v29, v30, v29, false, UpdateVerdict::NoPatchVersion},
        {"installation too old", true, true, true, v30, v29, v30, v29, false, UpdateVerdict::NeedsNewer},
        {"too old beats an older patch", true, true, true, v30, v29, v28, v29, false, UpdateVerdict::NeedsNewer},
        {"patch older", true, true, true, v28, v29, v28, v29, false, UpdateVerdict::PatchIsOlder},
        {"same version, launcher closed", true, true, true, v29, v29, v29, v29, false, UpdateVerdict::Proceed},
        {"same version, launcher ran", true, true, true, v29, v29, v29, v29, true, UpdateVerdict::NothingToDo},
        {"game exe differs", true, true, true, v29, v29, v29, v28, true, UpdateVerdict::Proceed},
        {"newer patch, launcher ran", true, true, true, v29, v29, v30, v29, true, UpdateVerdict::Proceed},
        {"numbers, not text", true, true, true, V(1, 0, 9, 0), V(1, 0, 10, 0), V(1, 0, 10, 1), v29, false,
         UpdateVerdict::Proceed},
        {"negative major", true, true, true, V(0, 0, 0, 0), V(-1, 0, 0, 0), v30, v29, false, UpdateVerdict::NeedsNewer},
    };
    for (const Case& c : cases) {
        VersionFacts facts;
        facts.needRead = c.need;
        facts.currentRead = c.current;
        facts.patchRead = c.patch;
        facts.need = c.needV;
        facts.current = c.currentV;
        facts.patch = c.patchV;
        facts.gameExe = c.exeV;
        facts.launcherWasRunning = c.launcherRunning;
        EXPECT_EQ(DecideUpdate(facts), c.verdict) << c.what;
    }
}

using RecordingUi = inprocess::Recorder;

class RunUpdateInProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(game / "Dev");
        fs::create_directories(updater);
        std::snprintf(GameDir, sizeof GameDir, "%s/", game.c_str());
        std::snprintf(UpdaterDir, sizeof UpdaterDir, "%s/", updater.c_str());
        saved = fs::current_path();
        fs::current_path(root.path());
    }
    void TearDown() override
    {
        UpdatePack.Close();
        GamePack.Close();
        fs::current_path(saved);
    }

    // Makes a pack at path holding files (pack path to text).
    static void MakePack(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& files)
    {
        testtree::Tree tree;
        for (const auto& [name, text] : files) tree[name] = testtree::B(text);
        testtree::MakePack(path, tree);
    }

    std::string RecordedVersion()
    {
        CPackFileManager engine;
        if (engine.Open((game / "Dev/Kivra.pak").c_str(), "rb") != 1) return "(no pack)";
        const int h = engine.OpenFile("Kivra_Pak\\Version.txt", 0, 1);
        if (h < 1) return "(none)";
        std::string text(static_cast<std::size_t>(engine.GetLength(h)), '\0');
        if (!text.empty()) engine.Read(text.data(), text.size(), 1, h);
        engine.CloseFile(h);
        return text;
    }

    testutil::TempDir root;
    fs::path game = fs::path(root.path()) / "game";
    fs::path updater = fs::path(root.path()) / "updater";
    fs::path saved;
};

TEST_F(RunUpdateInProcess, EachDecisionShowsItsMessageUnlessQuiet)
{
    using Files = std::vector<std::pair<std::string, std::string>>;
    const Files patch = {
        {"NeedVersion.txt", "1.0.2.29"}, {"Kivra_Pak\\Version.txt", "1.0.2.30"}, {"Kivra_Pak\\new.map", "map"}};
    const struct {
        const char* what;
        Files installed;
        Files offered;
        bool launcherRunning;
        std::vector<std::string> shown;  // not quiet
        bool result;                     // not quiet
        const char* recorded;
    } cases[] = {
        {"applied", {{"Kivra_Pak\\Version.txt", "1.0.2.29"}}, patch, false, {}, true, "1.0.2.30"},
        {"no need version",
         {{"Kivra_Pak\\Version.txt", "1.0.2.29"}},
         {patch[1], patch[2]},
         false,
         {"8\n(Need Version)"},
         false,
         "1.0.2.29"},
        {"no current version", {{"Kivra_Pak\\other", "x"}}, patch, false, {"8\n(Current Version)"}, false, "(none)"},
        {"no patch version",
         {{"Kivra_Pak\\Version.txt", "1.0.2.29"}},
         {patch[0], patch[2]},
         false,
         {"8\n(Patch Version)"},
         false,
         "1.0.2.29"},
        {"too old", {{"Kivra_Pak\\Version.txt", "1.0.2.28"}}, patch, false, {"1 need 29"}, false, "1.0.2.28"},
        {"older patch", {{"Kivra_Pak\\Version.txt", "1.0.2.31"}}, patch, false, {"10"}, false, "1.0.2.31"},
        {"nothing to do", {{"Kivra_Pak\\Version.txt", "1.0.2.30"}}, patch, true, {}, true, "1.0.2.30"},
    };
    for (const bool quiet : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (quiet ? ", quiet" : ""));
            // A fresh game folder: a version file on disk would stand in
            // for one the packs lack.
            fs::remove_all(game);
            fs::create_directories(game / "Dev");
            MakePack(game / "Dev/Kivra.pak", c.installed);
            MakePack(updater / "Update.pak", c.offered);
            if (c.launcherRunning) {
                // The game's executable of the installed version.
                testpe::VersionResource exe;
                exe.fileVersion = c.recorded;
                testutil::WriteFile(game / "Kivra.exe", testpe::Executable(exe));
            }
            RecordingUi ui;
            ui.launcherRunning = c.launcherRunning;
            const bool result = RunUpdate(quiet, ui);
            UpdatePack.Close();
            GamePack.Close();
            // A quiet run shows none of these and counts as completed.
            EXPECT_EQ(result, quiet || c.result);
            EXPECT_EQ(ui.shown, quiet ? std::vector<std::string>{} : c.shown);
            EXPECT_EQ(RecordedVersion(), c.recorded);
            // The completion text a quiet run ends with says why the patch
            // was not applied.
            if (std::string(c.what) == "applied")
                EXPECT_FALSE(ui.summary.empty());
            else if (quiet && !c.result)
                EXPECT_EQ(ui.summary.rfind("\nNot applied: ", 0), 0u) << ui.summary;
            else
                EXPECT_TRUE(ui.summary.empty()) << ui.summary;
        }
    }
}

TEST_F(RunUpdateInProcess, PacksThatCannotBeOpenedAreMessageSevenUnlessQuiet)
{
    MakePack(game / "Dev/Kivra.pak", {{"Kivra_Pak\\Version.txt", "1.0.2.29"}});
    for (const bool quiet : {false, true}) {
        RecordingUi ui;
        EXPECT_EQ(RunUpdate(quiet, ui), quiet);
        const std::vector<std::string> expected = {"7\n(" + std::string(UpdaterDir) + "Update.pak)"};
        EXPECT_EQ(ui.shown, quiet ? std::vector<std::string>{} : expected);
    }
}

}  // namespace
