// Whole patch runs inside the test process: a game folder with its pack and
// disk files, a patch folder with update.lzh, RunUpdate over them, and what
// the installation holds afterwards, read from its bytes.
//
//   root/game/Dev/Kivra.pak, root/game/...     GameDir
//   root/patch/update.lzh (Update.pak inside)  UpdaterDir, and where the run starts
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lzh/LzhWriter.h"
#include "pack/PackFileManager.h"
#include "platform/TemporaryName.h"
#include "support/PackImage.h"
#include "support/PackTreeFiles.h"
#include "support/TempDir.h"
#include "update/Globals.h"
#include "update/UpdateProcedure.h"

namespace inprocess {

namespace fs = std::filesystem;
using testtree::B;
using testtree::Bytes;
using testtree::MakePack;
using testtree::Noise;
// Path ("Kivra_Pak\a.map", "Bin\a.dll") to content.
using Files = testtree::Tree;

inline std::string Slashes(std::string path)
{
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

// An archive of the named disk files, each packed.
inline void MakeArchive(const fs::path& archive, const std::vector<fs::path>& members)
{
    std::FILE* out = std::fopen(archive.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    for (const fs::path& member : members) {
        std::FILE* in = std::fopen(member.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        const LzhAddedMember added = AddLzhMember(out, in, fs::file_size(member), member.filename().c_str(),
                                                  LzhDosTime(2026, 12, 9, 12, 0, 0), true);
        std::fclose(in);
        ASSERT_EQ(added.result, LzhAddResult::Added);
    }
    ASSERT_TRUE(EndLzhArchive(out));
    std::fclose(out);
}

// What an installation holds: the game pack's files, read from its bytes
// with the test's own reader, and the files below the game folder; apart
// from them, the temporaries a run leaves there ("~kivraPID-N.tmp", which the
// next run sweeps away) and the folders.
struct Holding {
    bool packReadable = false;
    Files pack;
    Files disk;
    std::vector<std::string> temporaries;
    std::vector<std::string> folders;
};

inline bool IsTemporary(const std::string& name)
{
    return TemporaryNameProcess(name.c_str(), "~kivra") != 0 || TemporaryNameProcess(name.c_str(), "~lzh") != 0;
}

inline Holding Read(const fs::path& game)
{
    Holding h;
    testpack::Image image;
    image.bytes = testutil::ReadFile(game / "Dev/Kivra.pak");
    std::vector<testpack::Node> nodes;
    h.packReadable = testpack::ReadTree(image, nodes);
    for (const auto& node : nodes)
        if (node.entry.type == 2) h.pack[node.path] = node.data;
    for (const auto& item : fs::recursive_directory_iterator(game)) {
        const std::string below = fs::relative(item.path(), game).string();
        std::string name = below;
        for (char& c : name)
            if (c == '/') c = '\\';
        if (item.is_directory())
            h.folders.push_back(name);
        else if (IsTemporary(item.path().filename().string()))
            h.temporaries.push_back(name);
        else if (item.is_regular_file() && below != "Dev/Kivra.pak")
            h.disk[name] = testutil::ReadFile(item.path());
    }
    std::sort(h.folders.begin(), h.folders.end());
    return h;
}

// Every file of what the installation holds is the one it held before or
// the one the patch brings, and nothing else is there.
inline void ExpectWhollyOldOrNew(const Files& held, const Files& before, const Files& after, const char* where)
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

// An installation and a patch for it, laid out below root.
struct Patch {
    Files installedPack;
    Files installedDisk;
    Files patch;  // the patch's Update.pak: "Kivra_Pak\..." into the pack, the rest onto disk

    // What a complete run leaves.
    Holding Patched() const
    {
        Holding h;
        h.packReadable = true;
        h.pack = installedPack;
        h.disk = installedDisk;
        for (const auto& [name, content] : patch) (name.rfind("Kivra_Pak\\", 0) == 0 ? h.pack : h.disk)[name] = content;
        return h;
    }

    // With archived false, Update.pak lies in the patch folder as it is.
    void Lay(const fs::path& root, bool archived = true) const
    {
        const fs::path game = root / "game";
        const fs::path folder = root / "patch";
        fs::create_directories(game / "Dev");
        fs::create_directories(folder);
        MakePack(game / "Dev/Kivra.pak", installedPack);
        for (const auto& [name, content] : installedDisk) {
            const fs::path path = game / Slashes(name);
            fs::create_directories(path.parent_path());
            testutil::WriteFile(path, content);
        }
        if (!archived) {
            MakePack(folder / "Update.pak", patch);
            return;
        }
        MakePack(root / "Update.pak", patch);
        MakeArchive(folder / "update.lzh", {root / "Update.pak"});
        fs::remove(root / "Update.pak");
    }
};

// A patch of files in the pack and on disk, new and replaced, in folders new
// and old, over an installation at 1.0.2.29.
inline Patch SamplePatch()
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

// Runs the patch of root as the patcher does, started in the patch folder.
inline bool RunPatch(const fs::path& root, UpdateUi& ui, bool quiet = false)
{
    const fs::path saved = fs::current_path();
    std::snprintf(GameDir, sizeof GameDir, "%s/", (root / "game").c_str());
    std::snprintf(UpdaterDir, sizeof UpdaterDir, "%s/", (root / "patch").c_str());
    fs::current_path(root / "patch");
    const bool completed = RunUpdate(quiet, ui);
    UpdatePack.Close();
    GamePack.Close();
    fs::current_path(saved);
    return completed;
}

// A user interface that keeps what it is told.
class Recorder final : public UpdateUi {
public:
    void SetProgressRange(std::int32_t) override {}
    void SetProgressPos(std::int32_t) override {}
    void SetStatus(const char*) override {}
    void Refresh() override {}
    void ShowMessage(UpdateMessageId id, const char* detail) override { shown.push_back(std::to_string(id) + detail); }
    void ShowNeedVersion(const VersionNumber& need) override
    {
        shown.push_back("1 need " + std::to_string(need.build));
    }
    bool LauncherWasRunning() const override { return launcherRunning; }
    void SetVersionSummary(const char* text) override { summary = text; }
    void ShowUnpacking(std::int64_t, std::int64_t, bool) override {}
    void ShowNote(const char* text) override { notes.push_back(text); }
    void ShowText(const char* text) override { shown.push_back(text); }

    bool launcherRunning = false;
    std::vector<std::string> shown;
    std::vector<std::string> notes;
    std::string summary;
};

}  // namespace inprocess
