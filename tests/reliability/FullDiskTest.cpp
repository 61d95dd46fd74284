// kivra-update on a disk that fills up: while update.lzh is unpacked, while
// the game pack grows, and while files are written to disk. The disk is full
// for the patcher alone: it runs with a file size limit (RLIMIT_FSIZE, with
// SIGXFSZ ignored), so a write past the limit fails as on a full disk.
//
// Each run must not report completion, must leave the game pack sound apart
// from blocks that no chain holds, and the same patch run again with room
// must leave the installation as an uninterrupted run leaves it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "reliability/ReliabilitySupport.h"

namespace {

using namespace patchrun;
using namespace reliability;

constexpr rlim_t kBlock = 2048;
constexpr std::size_t kBigFile = 1500000;

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        Installation original(pristine.path());
        original.Lay();
        const Tree installed = {{"Kivra_Pak\\Version.txt", B("1.0.2.29")},
                                {"Kivra_Pak\\Map\\old.map", Noise(3000, 1)},
                                {"Kivra_Pak\\Map\\keep.map", Noise(5000, 6)}};
        const Tree offered = {{"NeedVersion.txt", B("1.0.2.29")},
                              {"ReadMe.txt", B("What is new.")},
                              {"Kivra_Pak\\Version.txt", B("1.0.2.30\r\n")},
                              {"Kivra_Pak\\Map\\new.map", Noise(70000, 2)},
                              {"Kivra_Pak\\Map\\old.map", Noise(9000, 3)},
                              {"Kivra_Pak\\Sound\\hit.wav", Noise(65536, 4)},
                              {"Bin\\tool.dll", Noise(100000, 5)},
                              {"Bin\\big.dat", Noise(kBigFile, 7)}};
        MakePack(original.GamePack(), installed);
        MakePack(original.patch / "Update.pak", offered);
        installedSize = fs::file_size(original.GamePack());

        testutil::TempDir referenceDir;
        const Installation reference = Copy(referenceDir);
        const Outcome clean = reference.Run();
        ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
        patchedSize = fs::file_size(reference.GamePack());
        expectedDisk = DiskFiles(reference.game, reference.GamePack());
        expectedPack = ReadPackContent(reference.GamePack());
        ASSERT_GT(patchedSize, installedSize + 60 * kBlock);
        ASSERT_LT(patchedSize, kBigFile);
    }

    Installation Copy(testutil::TempDir& where)
    {
        const fs::path root = fs::path(where.path()) / "run";
        CopyTree(pristine.path(), root);
        return Installation(root);
    }

    // Runs the patch with a file size limit: it must fail and leave a sound
    // pack; then with room it must complete.
    void FillUpAndRunAgain(const Installation& work, rlim_t limit, const std::string& shown)
    {
        RunOptions full;
        full.fileSizeLimit = limit;
        const Outcome failed = work.Run(full);
        EXPECT_NE(failed.status, 0) << failed.out << failed.err;
        EXPECT_EQ(failed.out.find("Update is completed."), std::string::npos) << failed.out;
        EXPECT_NE((failed.out + failed.err).find(shown), std::string::npos) << failed.out << failed.err;
        EXPECT_LE(fs::file_size(work.GamePack()), limit);

        ExpectOnlyLostBlocksAndARerunCompletes(work, expectedDisk, expectedPack);
    }

    testutil::TempDir pristine;
    rlim_t installedSize = 0;
    rlim_t patchedSize = 0;
    std::map<std::string, Bytes> expectedDisk;
    PackContent expectedPack;
};

TEST_F(FullDisk, WhileTheGamePackGrows)
{
    // No room at all, room for a few blocks and half a block, for many, and
    // for all but the last block the pack needs.
    const rlim_t limits[] = {installedSize, installedSize + 3 * kBlock + kBlock / 2, installedSize + 20 * kBlock,
                             patchedSize - kBlock};
    for (const rlim_t limit : limits) {
        SCOPED_TRACE("room for " + std::to_string(limit - installedSize) + " more bytes of pack");
        testutil::TempDir workDir;
        FillUpAndRunAgain(Copy(workDir), limit, "\n[UPDATE 7]\nfile open error\n(");
    }
}

TEST_F(FullDisk, WhileDiskFilesAreWritten)
{
    // The pack has room; the big file on disk has none from its start, or
    // none for its last bytes (the ones the stream writes when it closes).
    for (const rlim_t limit : {patchedSize, static_cast<rlim_t>(kBigFile - 100)}) {
        SCOPED_TRACE("files end at " + std::to_string(limit) + " bytes");
        testutil::TempDir workDir;
        FillUpAndRunAgain(Copy(workDir), limit, "\n[UPDATE 7]\nfile open error\n(Bin\\big.dat)\n");
    }
}

TEST_F(FullDisk, WhileUpdateLzhIsUnpacked)
{
    if (std::system("command -v jlha >/dev/null 2>&1") != 0) GTEST_SKIP() << "jlha is not installed";
    testutil::TempDir workDir;
    const Installation work = Copy(workDir);
    const std::string command = "cd '" + work.patch.string() + "' && jlha a1q update.lzh Update.pak >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    fs::remove(work.patch / "Update.pak");
    FillUpAndRunAgain(work, kBigFile / 2, "\nUnable to write\n");
    // The unpacking left nothing half-written behind.
    for (const auto& entry : fs::directory_iterator(work.patch))
        EXPECT_EQ(entry.path().filename().string().rfind("~lzh", 0), std::string::npos) << entry.path();
}

}  // namespace
