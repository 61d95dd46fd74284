// Files in a pack through numbered handles.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>
#include <vector>

#include "platform/Disk.h"

#include "support/PackFixture.h"
#include "support/PackProbe.h"

using testpack::Entry;

namespace {

using PackHandles = FreshPack;

// Runs a body with the working directory set to dir.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : saved(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() { std::filesystem::current_path(saved); }

private:
    std::filesystem::path saved;
};

// The sizes of the host writes made while one lives, counted through the disk
// table.
std::vector<std::size_t> hostWrites;
DiskCalls uncounted;

class CountedWrites {
public:
    CountedWrites()
    {
        uncounted = diskCalls;
        hostWrites.clear();
        diskCalls.write = [](const void* b, std::size_t s, std::size_t n, std::FILE* f) {
            hostWrites.push_back(s * n);
            return uncounted.write(b, s, n, f);
        };
    }
    ~CountedWrites() { diskCalls = uncounted; }
    CountedWrites(const CountedWrites&) = delete;
    CountedWrites& operator=(const CountedWrites&) = delete;
};

TEST_F(PackHandles, ANewFileGoesToTheHostInRunsWithTheBytesOfBlockAtATimeWrites)
{
    for (const std::size_t size : {std::size_t{2049}, std::size_t{100000}, std::size_t{300000}}) {
        SCOPED_TRACE(size);
        const std::vector<std::uint8_t> content = Pattern(size, static_cast<unsigned>(size));
        const std::string name = "Z:\\f" + std::to_string(size);
        {
            const CountedWrites counted;
            ASSERT_TRUE(Put(name.c_str(), content));
        }
        // The blocks, the last one's zeros with them, in writes of at most
        // a run; the table entries and the directory entry are smaller.
        const std::size_t blockBytes = (size + testpack::kBlock - 1) / testpack::kBlock * testpack::kBlock;
        std::size_t dataWrites = 0;
        for (const std::size_t written : hostWrites) dataWrites += written >= testpack::kBlock ? 1 : 0;
        EXPECT_EQ(dataWrites, (blockBytes + kRunBytes - 1) / kRunBytes);
    }
    pack->Close();

    // The same files a block at a time give the same table and data blocks
    // (the entries' times aside, in block 0).
    const std::string slowPath = dir / "slow.pak";
    auto slow = std::make_unique<CPackFileManager>();
    ASSERT_EQ(slow->Open(slowPath.c_str(), "wb"), 1);
    slow->Close();
    ASSERT_EQ(slow->Open(slowPath.c_str(), "rb+"), 1);
    PackEngineProbe::UseRuns(*slow, false);
    for (const std::size_t size : {std::size_t{2049}, std::size_t{100000}, std::size_t{300000}}) {
        const std::vector<std::uint8_t> content = Pattern(size, static_cast<unsigned>(size));
        const int h = slow->OpenFile(("Z:\\f" + std::to_string(size)).c_str(), OF_WRITE, kInPack);
        ASSERT_GE(h, 1);
        ASSERT_EQ(slow->Write(content.data(), size, 1, h), 1u);
        ASSERT_EQ(slow->CloseFile(h), 0);
    }
    slow->Close();
    const std::vector<std::uint8_t> fast = testutil::ReadFile(path);
    const std::vector<std::uint8_t> blockwise = testutil::ReadFile(slowPath);
    ASSERT_EQ(fast.size(), blockwise.size());
    EXPECT_TRUE(std::equal(fast.begin(), fast.begin() + testpack::kDataAt, blockwise.begin()));
    EXPECT_TRUE(std::equal(fast.begin() + testpack::kDataAt + testpack::kBlock, fast.end(),
                           blockwise.begin() + testpack::kDataAt + testpack::kBlock));
}

TEST_F(PackHandles, ReadsWholeItemsOnly)
{
    const std::vector<std::uint8_t> content = Pattern(100000);
    ASSERT_TRUE(Put("Z:\\big", content));
    const int h = pack->OpenFile("Z:\\big", 0, 1);
    ASSERT_GE(h, 1);
    EXPECT_EQ(pack->GetLength(h), 100000);
    std::vector<std::uint8_t> got(65536);
    EXPECT_EQ(pack->Read(got.data(), 65536, 1, h), 1u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), content.begin()));
    EXPECT_EQ(pack->Read(got.data(), 65536, 1, h), 0u);
    EXPECT_EQ(pack->Tell(h), 65536);
    EXPECT_EQ(pack->Read(got.data(), 34464, 1, h), 1u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 34464, content.begin() + 65536));
    EXPECT_EQ(pack->Tell(h), 100000);
    pack->CloseFile(h);

    ASSERT_TRUE(Put("Z:\\eight", Pattern(8)));
    const int s = pack->OpenFile("eight", 0, 1);
    char buffer[10];
    EXPECT_EQ(pack->ReadBytes(s, buffer, 10), 0);
    EXPECT_EQ(pack->Tell(s), 0);
    EXPECT_EQ(pack->ReadBytes(s, buffer, 8), 8);
    EXPECT_EQ(pack->CloseFile(s), 0);
    EXPECT_EQ(pack->CloseFile(s), -1);
    EXPECT_EQ(pack->ReadBytes(s, buffer, 1), -1);
}

TEST_F(PackHandles, AWrittenFileReachesTheStoredPackOnlyWithTheCommit)
{
    const std::vector<std::uint8_t> content = Pattern(5000);
    const int h = pack->OpenFile("Z:\\five", 1, 3);
    ASSERT_GE(h, 1);
    ASSERT_EQ(pack->Write(content.data(), 1000, 5, h), 5u);
    ASSERT_EQ(pack->CloseFile(h), 0);

    // Closed, the file is the engine's, but until the commit the stored pack
    // has neither its entry nor its blocks: a writer that stops here leaves
    // the pack as it was.
    const testpack::Image before = Stored();
    EXPECT_EQ(before.GetEntry(0, 1).inUse, 0);
    for (std::size_t b = 1; b <= 3; ++b) EXPECT_EQ(before.Link(b), -1);
    EXPECT_EQ(Get("five"), content);

    pack->Close();
    const testpack::Image after = Stored();
    const Entry e = after.GetEntry(0, 1);
    EXPECT_EQ(e.name, "five");
    EXPECT_EQ(e.size, 5000u);
    EXPECT_EQ(e.first, 1);
    EXPECT_EQ(e.contiguous, 1);
    EXPECT_EQ(e.storedBlock, 0);
    EXPECT_EQ(e.storedSlot, 0);
    EXPECT_EQ(after.Link(1), 2);
    EXPECT_EQ(after.Link(2), 3);
    EXPECT_EQ(after.Link(3), 0);
    EXPECT_EQ(after.Blocks(), 4u);
    EXPECT_EQ(ReadChain(after, e.first, e.size), content);
}

TEST_F(PackHandles, InterleavedFilesAreNotContiguousAndReadBack)
{
    const std::vector<std::uint8_t> a = Pattern(3 * 2048 + 5, 1);
    const std::vector<std::uint8_t> b = Pattern(2 * 2048, 2);
    const int ha = pack->OpenFile("a", 1, 1);
    const int hb = pack->OpenFile("b", 1, 1);
    for (std::size_t at = 0; at < a.size(); at += 2048) {
        const std::size_t n = std::min<std::size_t>(2048, a.size() - at);
        ASSERT_EQ(pack->Write(a.data() + at, n, 1, ha), 1u);
        if (at < b.size()) {
            ASSERT_EQ(pack->Write(b.data() + at, 2048, 1, hb), 1u);
        }
    }
    pack->CloseFile(ha);
    pack->CloseFile(hb);
    EXPECT_EQ(Get("a"), a);
    EXPECT_EQ(Get("b"), b);

    pack->Close();
    const testpack::Image image = Stored();
    const Entry ea = image.GetEntry(0, 1);
    const Entry eb = image.GetEntry(0, 2);
    EXPECT_EQ(ea.contiguous, 0);
    EXPECT_EQ(eb.contiguous, 0);
    EXPECT_EQ(ReadChain(image, ea.first, ea.size), a);
    EXPECT_EQ(ReadChain(image, eb.first, eb.size), b);

    // Seeks into a chained file land on the right block.
    ASSERT_EQ(pack->Open(path.c_str(), "rb"), 1);
    const int h = pack->OpenFile("a", 0, 1);
    ASSERT_EQ(pack->Seek(h, 4096 + 7, 0), 0);
    std::uint8_t byte = 0;
    ASSERT_EQ(pack->Read(&byte, 1, 1, h), 1u);
    EXPECT_EQ(byte, a[4096 + 7]);
    ASSERT_EQ(pack->Seek(h, -3, 2), 0);
    std::uint8_t tail[3];
    ASSERT_EQ(pack->Read(tail, 3, 1, h), 1u);
    EXPECT_EQ(tail[2], a.back());
}

TEST_F(PackHandles, SeekClampsToTheFile)
{
    ASSERT_TRUE(Put("f", Pattern(3000)));
    const int h = pack->OpenFile("f", 0, 1);
    EXPECT_EQ(pack->Seek(h, 5000, 0), 0);
    EXPECT_EQ(pack->Tell(h), 3000);
    EXPECT_EQ(pack->Seek(h, -5000, 1), 0);
    EXPECT_EQ(pack->Tell(h), 0);
    EXPECT_EQ(pack->Seek(h, 0, 7), -1);
    EXPECT_EQ(pack->Seek(99, 0, 0), -1);
    EXPECT_EQ(pack->Tell(99), 0);
    EXPECT_EQ(pack->GetLength(99), 0);
}

TEST_F(PackHandles, WriteAfterSeekToAWholeBlockEndExtendsTheChain)
{
    // One contiguous file and one chained file, each exactly two blocks.
    const std::vector<std::uint8_t> two = Pattern(4096, 3);
    ASSERT_TRUE(Put("contiguous", two));
    const int ha = pack->OpenFile("chained", 1, 1);
    const int hx = pack->OpenFile("other", 1, 1);
    ASSERT_EQ(pack->Write(two.data(), 2048, 1, ha), 1u);
    ASSERT_EQ(pack->Write(two.data(), 2048, 1, hx), 1u);
    ASSERT_EQ(pack->Write(two.data() + 2048, 2048, 1, ha), 1u);
    pack->CloseFile(ha);
    pack->CloseFile(hx);
    // A neighbour right behind the contiguous file, which a stray write
    // past its chain would overwrite.
    ASSERT_TRUE(Put("neighbour", Pattern(2048, 9)));

    const std::vector<std::uint8_t> more = Pattern(100, 4);
    for (const char* name : {"contiguous", "chained"}) {
        const int h = pack->OpenFile(name, 0, 1);
        pack->MarkForRewrite(h);
        pack->Seek(h, 0, 2);
        EXPECT_EQ(pack->Tell(h), 4096);
        ASSERT_EQ(pack->Write(more.data(), more.size(), 1, h), 1u) << name;
        ASSERT_EQ(pack->CloseFile(h), 0);
        std::vector<std::uint8_t> expected = two;
        expected.insert(expected.end(), more.begin(), more.end());
        EXPECT_EQ(Get(name), expected) << name;
    }
    EXPECT_EQ(Get("neighbour"), Pattern(2048, 9));
    EXPECT_EQ(Get("other"), std::vector<std::uint8_t>(two.begin(), two.begin() + 2048));
}

TEST_F(PackHandles, ReplacingAFileSwapsItInWhenTheNewOneIsClosed)
{
    ASSERT_TRUE(Put("first", Pattern(2048 * 3)));
    ASSERT_TRUE(Put("second", Pattern(10)));
    ASSERT_EQ(pack->Commit(), 0);
    EXPECT_EQ(pack->BlockCount(), 5);

    // While the new content is written, the pack holds the old file whole.
    const int h = pack->OpenFile("FIRST", 1, 1);
    ASSERT_GE(h, 1);
    ASSERT_EQ(pack->Write(Pattern(100, 7).data(), 100, 1, h), 1u);
    const testpack::Image during = Stored();
    EXPECT_EQ(during.GetEntry(0, 1).name, "first");
    EXPECT_EQ(ReadChain(during, 1, 2048 * 3), Pattern(2048 * 3));
    EXPECT_EQ(during.Link(3), 0);
    EXPECT_EQ(during.Link(5), -1);

    // Closed: the new entry takes the old one's slot and the old blocks 1-3
    // are free again.
    EXPECT_EQ(pack->CloseFile(h), 0);
    EXPECT_EQ(pack->TableEntry(5), 0);
    for (std::int32_t b = 1; b <= 3; ++b) EXPECT_EQ(pack->TableEntry(b), -1) << b;
    EXPECT_EQ(pack->BlockCount(), 6);
    pack->Close();
    const testpack::Image image = Stored();
    const Entry e = image.GetEntry(0, 1);
    EXPECT_EQ(e.name, "FIRST");
    EXPECT_EQ(e.first, 5);
    EXPECT_EQ(image.Link(2), -1);
    EXPECT_EQ(ReadChain(image, 5, 100), Pattern(100, 7));

    ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
    EXPECT_EQ(pack->RemoveFile("second"), 0);
    EXPECT_EQ(pack->RemoveFile("second"), -1);
    pack->Close();
    const testpack::Image removed = Stored();
    const Entry gone = removed.GetEntry(0, 2);
    EXPECT_EQ(gone.inUse, 0);
    EXPECT_EQ(gone.name, "second");  // only the in-use byte changes
    EXPECT_EQ(gone.size, 10u);
    EXPECT_EQ(removed.Link(4), -1);

    // Replaced by nothing: the file is empty.
    ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
    EXPECT_EQ(pack->CloseFile(pack->OpenFile("first", 1, 1)), 0);
    EXPECT_EQ(pack->TableEntry(5), -1);
    pack->Close();
    EXPECT_EQ(Stored().GetEntry(0, 1).size, 0u);
    EXPECT_EQ(Stored().GetEntry(0, 1).first, 0);
}

TEST_F(PackHandles, MarkForRewriteKeepsTheTimeAndRecomputesContiguous)
{
    ASSERT_TRUE(Put("f", Pattern(3000)));
    pack->Close();
    testpack::Image image = Stored();
    Entry e = image.GetEntry(0, 1);
    e.contiguous = 0;
    e.storedBlock = 77;
    image.PutEntry(0, 1, e);
    testutil::WriteFile(path, image.bytes);

    ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
    const int h = pack->OpenFile("f", 0, 1);
    pack->MarkForRewrite(h);
    char byte;
    EXPECT_EQ(pack->Read(&byte, 1, 1, h), 0u);  // now write only
    ASSERT_EQ(pack->CloseFile(h), 0);
    pack->Close();
    const Entry rewritten = Stored().GetEntry(0, 1);
    EXPECT_EQ(rewritten.contiguous, 1);
    EXPECT_EQ(rewritten.storedBlock, 0);
    EXPECT_EQ(rewritten.timeHigh, e.timeHigh);
    EXPECT_EQ(rewritten.timeLow, e.timeLow);
    EXPECT_EQ(rewritten.size, 3000u);
}

TEST_F(PackHandles, DiskFallbackAndReadOnlyRules)
{
    testutil::WriteFile(dir / "ondisk.txt", "disk data");
    InDirectory here(dir.path());

    EXPECT_EQ(pack->OpenFile("ondisk.txt", 0, 1), -1);
    const int h = pack->OpenFile("ondisk.txt", 0, 3);
    ASSERT_GE(h, 1);
    EXPECT_EQ(pack->GetLength(h), 9);
    EXPECT_EQ(pack->Tell(h), -1);
    char text[9];
    EXPECT_EQ(pack->ReadBytes(h, text, 9), 9);
    EXPECT_EQ(std::string(text, 9), "disk data");
    EXPECT_EQ(pack->CloseFile(h), 0);

    ASSERT_EQ(pack->MakeDir("sub"), 0);
    pack->Close();
    ASSERT_EQ(pack->Open(path.c_str(), "rb"), 1);
    ASSERT_EQ(pack->ChangeDir("sub"), 0);
    const std::int32_t sub = pack->GetCurrentDir();
    EXPECT_EQ(pack->OpenFile("Z:\\ondisk.txt", 1, 3), -1);
    EXPECT_EQ(pack->OpenFile("Z:\\ondisk.txt", 2, 3), -1);
    EXPECT_EQ(pack->GetCurrentDir(), sub);
    // Access 2 in a read-write pack may still open the disk file.
    pack->Close();
    ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
    const int rw = pack->OpenFile("ondisk.txt", 2, 3);
    EXPECT_GE(rw, 1);
    pack->CloseFile(rw);
}

TEST_F(PackHandles, HandleTableHolds1499Files)
{
    ASSERT_TRUE(Put("f", Pattern(1)));
    std::vector<int> open;
    for (int i = 0; i < 1499; ++i) {
        const int h = pack->OpenFile("f", 0, 1);
        ASSERT_EQ(h, i + 1);
        open.push_back(h);
    }
    EXPECT_EQ(PackEngineProbe::FindFreeHandle(*pack), 0);
    EXPECT_EQ(pack->OpenFile("f", 0, 3), -1);
    pack->CloseFile(700);
    EXPECT_EQ(pack->OpenFile("f", 0, 1), 700);
}

TEST_F(PackHandles, CloseStoresFilesStillOpen)
{
    const int h = pack->OpenFile("Z:\\pending", 1, 1);
    ASSERT_EQ(pack->Write(Pattern(2500).data(), 2500, 1, h), 1u);
    EXPECT_EQ(pack->Close(), 1);
    const Entry e = Stored().GetEntry(0, 1);
    EXPECT_EQ(e.size, 2500u);
    EXPECT_EQ(ReadChain(Stored(), e.first, e.size), Pattern(2500));
}

TEST_F(PackHandles, DirectoriesAreNeitherOpenedNorReplaced)
{
    ASSERT_EQ(pack->MakeDir("d"), 0);
    EXPECT_EQ(pack->OpenFile("d", 0, 1), -1);
    EXPECT_EQ(pack->OpenFile("Z:\\d", 1, 1), -1);
    EXPECT_EQ(pack->RemoveFile("d"), -1);
    EXPECT_EQ(pack->OpenFile("Z:\\missing\\f", 1, 1), -1);
}

TEST(PackHandleDamage, ChainsThatLoopOrBreakStopTheRead)
{
    testutil::TempDir dir;
    const std::string path = dir / "bad.pak";
    testpack::Image image(4);
    image.PutEntry(0, 1, Entry{1, "loop", 0, 0, 0, 0, 1, 100000000, 2, 0});
    image.SetLink(1, 2);
    image.SetLink(2, 1);
    image.PutEntry(0, 2, Entry{1, "broken", 0, 0, 0, 0, 3, 10000, 2, 0});
    image.SetLink(3, 9999);
    image.PutEntry(0, 3, Entry{1, "huge", 0, 0, 0, 0, 3, 100000000, 2, 1});
    testutil::WriteFile(path, image.bytes);

    auto pack = std::make_unique<CPackFileManager>();
    ASSERT_EQ(pack->Open(path.c_str(), "rb"), 1);
    std::vector<std::uint8_t> buffer(100000000 / 1000);
    // A file never has more blocks than the pack: a looping chain stops
    // there.
    int h = pack->OpenFile("loop", 0, 1);
    ASSERT_GE(h, 1);
    EXPECT_LE(pack->Read(buffer.data(), 2048, 100, h), 4u);
    EXPECT_EQ(pack->Seek(h, 9000 * 2048, 0), -1);
    pack->CloseFile(h);

    h = pack->OpenFile("broken", 0, 1);
    EXPECT_EQ(pack->Read(buffer.data(), 10000, 1, h), 0u);
    EXPECT_EQ(pack->Seek(h, 9000, 0), -1);
    pack->CloseFile(h);
    // A contiguous entry whose size runs past the data area reads nothing
    // from beyond it.
    h = pack->OpenFile("huge", 0, 1);
    EXPECT_EQ(pack->Read(buffer.data(), 2048, 1, h), 1u);
    EXPECT_EQ(pack->Read(buffer.data(), 4096, 1, h), 0u);
}

}  // namespace
