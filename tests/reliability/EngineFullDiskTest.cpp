// The pack engine on a full disk, in a child process with a file size limit
// (SIGXFSZ ignored): a block that cannot be appended is not handed out, a
// replacement that could not be written whole leaves the old file, and the
// pack stays sound.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

#include "pack/PackCheck.h"
#include "pack/PackFileManager.h"
#include "support/PatchRun.h"
#include "support/TempDir.h"

namespace {

using patchrun::Bytes;
using patchrun::Noise;

bool Put(CPackFileManager& pack, const char* name, const Bytes& content)
{
    const int h = pack.OpenFile(name, OF_WRITE, 1);
    if (h < 1) return false;
    const bool written = content.empty() || pack.Write(content.data(), content.size(), 1, h) == 1;
    return pack.CloseFile(h) == 0 && written;
}

Bytes Get(CPackFileManager& pack, const char* name)
{
    const int h = pack.OpenFile(name, OF_READ, 1);
    if (h < 1) return {};
    Bytes content(static_cast<std::size_t>(pack.GetLength(h)));
    if (!content.empty() && pack.Read(content.data(), content.size(), 1, h) != 1) content.clear();
    pack.CloseFile(h);
    return content;
}

// Runs in the child: 0 when everything held, else the number of the first
// check that failed.
int FillUp(const std::string& path, rlim_t room)
{
    const rlim_t size = std::filesystem::file_size(path);
    auto pack = std::make_unique<CPackFileManager>();
    if (pack->Open(path.c_str(), "rb+") != 1) return 1;
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{room, room};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    const std::int32_t blocks = pack->BlockCount();

    // Replacing a file with more than there is room for: the write stops
    // short, the close says so, and the old file stays.
    if (Put(*pack, "keep", Noise(3 * 2048 + 5000, 2))) return 3;
    if (Get(*pack, "keep") != Noise(3000, 1)) return 4;
    // A new file gets its entry, and no more than fits.
    if (Put(*pack, "new", Noise(9000, 3))) return 5;
    if (pack->BlockCount() > blocks + static_cast<std::int32_t>((room - size) / 2048)) return 6;
    pack->Close();

    const pack::CheckResult check = pack::CheckPackFile(path.c_str());
    if (!check.readable || check.problemCount != 0) return 7;
    if (pack->Open(path.c_str(), "rb") != 1 || Get(*pack, "keep") != Noise(3000, 1)) return 8;
    return 0;
}

TEST(EngineFullDisk, NothingNamesABlockThatCouldNotBeWritten)
{
    testutil::TempDir dir;
    const std::string path = dir / "full.pak";
    {
        auto pack = std::make_unique<CPackFileManager>();
        ASSERT_EQ(pack->Open(path.c_str(), "wb"), 1);
        pack->Close();
        ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
        ASSERT_TRUE(Put(*pack, "keep", Noise(3000, 1)));
        ASSERT_TRUE(Put(*pack, "other", Noise(100, 9)));
        pack->Close();
    }
    const Bytes pristine = testutil::ReadFile(path);
    // No room at all, room for part of a block, and for two blocks.
    for (const rlim_t room : {static_cast<rlim_t>(pristine.size()), static_cast<rlim_t>(pristine.size() + 1000),
                              static_cast<rlim_t>(pristine.size() + 2 * 2048)}) {
        SCOPED_TRACE(room - pristine.size());
        testutil::WriteFile(path, pristine);
        EXPECT_EXIT(_exit(FillUp(path, room)), ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
