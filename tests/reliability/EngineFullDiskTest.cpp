// The pack engine on a full disk (a write that would take the pack past a
// size fails, in this process): a block that cannot be appended is not
// handed out, a replacement that could not be written whole leaves the old
// file, and the pack stays sound.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "pack/PackCheck.h"
#include "pack/PackFileManager.h"
#include "support/FailingDisk.h"
#include "support/PackTreeFiles.h"
#include "support/TempDir.h"

namespace {

using testtree::Bytes;
using testtree::Noise;

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

// 0 when everything held, else the number of the first check that failed.
int FillUp(const std::string& path)
{
    const long size = static_cast<long>(std::filesystem::file_size(path));
    auto pack = std::make_unique<CPackFileManager>();
    if (pack->Open(path.c_str(), "rb+") != 1) return 1;
    faults::FailingDisk full(faults::PassesTheRoom);
    const std::int32_t blocks = pack->BlockCount();

    // Replacing a file with more than there is room for: the write stops
    // short, the close says so, and the old file stays.
    if (Put(*pack, "keep", Noise(3 * 2048 + 5000, 2))) return 3;
    if (Get(*pack, "keep") != Noise(3000, 1)) return 4;
    // A new file gets its entry, and no more than fits.
    if (Put(*pack, "new", Noise(9000, 3))) return 5;
    if (pack->BlockCount() > blocks + static_cast<std::int32_t>((faults::room - size) / 2048)) return 6;
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
    const long size = static_cast<long>(pristine.size());
    for (const long more : {0, 1000, 2 * 2048}) {
        SCOPED_TRACE(more);
        testutil::WriteFile(path, pristine);
        faults::room = size + more;
        EXPECT_EQ(FillUp(path), 0);
    }
}

}  // namespace
