// kivra-update --dry-run: the checks of a run and the list of what it would
// do, with nothing of the game, the patch folder or the temporary folder
// changed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/PatchRun.h"

namespace {

using namespace patchrun;

// Every file below a folder, with its bytes, but the run's own input and
// output at the top.
std::map<std::string, Bytes> Everything(const fs::path& folder)
{
    std::map<std::string, Bytes> all;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        const fs::path name = item.path().filename();
        if (item.path().parent_path() == folder && (name == "in.txt" || name == "out.txt" || name == "err.txt"))
            continue;
        all[item.path().string()] = item.is_regular_file() ? ReadFile(item.path()) : Bytes{};
    }
    return all;
}

class DryRun : public PatchRunFixture {
public:
    using PatchRunFixture::BuildPacks;
    using PatchRunFixture::game;
    using PatchRunFixture::installed;
    using PatchRunFixture::patch;
};

TEST_F(DryRun, ListsWhatARunWouldDoAndChangesNothing)
{
    const struct {
        const char* what;
        std::function<void(DryRun&)> arrange;
        int status;
        std::vector<std::string> lines;  // each in the output, in this order
    } cases[] = {
        {"a patch that applies",
         [](DryRun& t) { t.BuildPacks(); },
         0,
         {"Dry run: nothing is changed.", "launcher: not replaced (no KNet.exe with a version beside the patcher)",
          "pack add          70000 Kivra_Pak\\Map\\new.map", "pack replace       2049 Kivra_Pak\\Map\\old.map",
          "pack folder           0 Kivra_Pak\\Sound", "pack add          65536 Kivra_Pak\\Sound\\hit.wav",
          "disk folder           0 Bin", "disk add         100000 Bin\\tool.dll",
          "disk add              8 NeedVersion.txt", "disk add             12 ReadMe.txt",
          "pack replace         10 Kivra_Pak\\Version.txt", "version: 1.02 Build 29 -> 1.02 Build 30",
          "game pack: 71 blocks needed, 127991 free", "would apply: 7 files and 2 folders"}},
        {"from update.lzh, with a newer launcher",
         [](DryRun& t) {
             t.BuildPacks();
             Installation::Executable(t.patch / "KNet.exe", "1.0.2.30");
             Installation::Executable(t.game / "KNet.exe", "1.0.2.29");
             const std::string command =
                 "cd '" + t.patch.string() + "' && '" LZH_TOOL "' a update.lzh Update.pak >/dev/null";
             ASSERT_EQ(system(command.c_str()), 0);
             fs::remove(t.patch / "Update.pak");
         },
         0,
         {"launcher: KNet.exe 1.02 Build 30 would replace 1.02 Build 29", "update.lzh: unpacked whole (1 members)",
          "pack add          70000 Kivra_Pak\\Map\\new.map", "would apply"}},
        {"an installation too old",
         [](DryRun& t) {
             t.installed["Kivra_Pak\\Version.txt"] = B("1.0.2.28");
             t.BuildPacks();
         },
         1,
         {"[UPDATE 1] 1.02 Build 29", "would not apply"}},
        {"a damaged Update.pak",
         [](DryRun& t) {
             t.BuildPacks();
             fs::resize_file(t.patch / "Update.pak", fs::file_size(t.patch / "Update.pak") - 3000);
         },
         1,
         {"Update.pak is damaged (see pak fsck)", "[UPDATE 7] file open error (", "would not apply"}},
        {"a game pack without room",
         [](DryRun& t) {
             t.BuildPacks();
             fs::resize_file(t.game / "Dev/Kivra.pak", 512512 + 2048 * 128000ull);
         },
         1,
         {"The game pack has no room for this patch. (", "game pack: 71 blocks needed, 0 free", "would not apply"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir scratch;
        installation = Installation(scratch.path());
        SetUp();
        c.arrange(*this);
        fs::create_directories(installation.root / "tmp");
        const auto before = Everything(installation.root);
        RunOptions options;
        options.arguments = {"--dry-run"};
        options.environment = {"TMPDIR=" + installation.root.string() + "/tmp"};
        const Outcome o = installation.Run(options);
        EXPECT_EQ(o.status, c.status) << o.out << o.err;
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            const std::size_t found = o.out.find(line, at);
            EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << o.out;
            if (found == std::string::npos) break;
            at = found;
        }
        EXPECT_EQ(Everything(installation.root), before) << "the dry run changed something";
    }
}

}  // namespace
