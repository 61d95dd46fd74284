// The pack engine and the pack checker over damaged host files.
//
// A host file is at least 514,560 bytes, almost all of it the allocation
// table, so an input describes one compactly:
//
//   byte 0        blocks in the data area: 1 + (byte & 31)
//   byte 1        the file's end: & 3 == 0 whole blocks; 1 a partial block of
//                 (byte >> 2) * 32 more bytes; 2 cut at (byte >> 2) * 8500
//                 (inside the header, the table or the first block)
//   bytes 2-33    header bytes 0-31 (the banner)
//   bytes 34-37   header bytes 431-434 (the table's length in sectors)
//   then          4 bytes for each block's table entry, little-endian; the
//                 entries of blocks past the data area are free
//   then          one byte m, and (m & 3) pairs of a table index (4 bytes,
//                 taken modulo 128,000) and the entry stored there
//   the rest      the data area from block 0 on; what it leaves is zero
//
// Each input is checked by CheckPack and, when the engine opens it, walked
// as a reader of the pack would walk it: FindFirst/FindNext over every
// directory, ChangeDir into each, every file opened and read to its end,
// with a few seeks; then every file's entry is rewritten as the patcher's
// rewrite pass does, which must not write outside the pack's blocks. The engine and the checker must agree on which files are
// packs. A pack that checks clean must still check clean after the engine has
// made a directory, written, replaced and removed files (and the files must
// read back as written): a writer that leaves damage in a sound pack is a
// finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pack/PackCheck.h"
#include "pack/PackFileManager.h"
#include "pack/PackFind.h"
#include "tests/fuzz/FuzzPackImage.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzzpack::BuildHostFile;
using fuzzpack::Input;
using pack::kBlockSize;

std::string hostPath;
std::unique_ptr<CPackFileManager> engine;
// A file of the root found by the walk, which the writer then replaces.
std::string rootFile;

void ReadWholeFile(const char* name)
{
    const int handle = engine->OpenFile(name, OF_READ, 1);
    if (handle == -1) return;
    static std::uint8_t buffer[3000];
    const std::int32_t length = engine->GetLength(handle);
    // A file's content is held by its chain: no read gives more than the
    // data area holds.
    const std::int64_t bound = static_cast<std::int64_t>(engine->BlockCount() + 1) * kBlockSize;
    std::int64_t total = 0;
    for (;;) {
        const std::size_t got = engine->Read(buffer, 1, sizeof buffer, handle);
        total += static_cast<std::int64_t>(got);
        if (total > bound || total > static_cast<std::uint32_t>(length)) std::abort();
        if (got < sizeof buffer) break;
    }
    // Whole items only: a read past the end gives nothing.
    if (engine->Read(buffer, 2049, 1, handle) > 1) std::abort();
    for (const std::int32_t to : {0, kBlockSize - 1, kBlockSize, length / 2, length}) {
        const std::int32_t expected = std::max(0, std::min(to, length));
        if (engine->Seek(handle, to, 0) == 0 && engine->Tell(handle) != expected) std::abort();
        engine->Read(buffer, 100, 1, handle);
    }
    engine->Seek(handle, -5, 2);
    engine->Read(buffer, 1, 10, handle);
    engine->CloseFile(handle);
}

// Enters every directory once (a damaged tree may list one many times, or
// list its own ancestors).
void Walk(std::set<std::int32_t>& entered, int depth)
{
    const std::int32_t here = engine->GetCurrentDir();
    CPackFind find;
    int result = find.FindFirst(engine.get(), "*.*", 3);
    std::size_t listed = 0;
    while (result == 0) {
        // Each slot of the directory's chain is listed at most once.
        if (++listed > static_cast<std::size_t>(engine->BlockCount()) * pack::kEntriesPerBlock) std::abort();
        if (find.type != pack::kTypeDirectory) {
            ReadWholeFile(find.name);
            if (depth == 0 && rootFile.empty() && find.type == pack::kTypeFile) rootFile = find.name;
        } else if (std::strcmp(find.name, ".") != 0 && std::strcmp(find.name, "..") != 0 && depth < 40 &&
                   engine->ChangeDir(find.name) == 0) {
            if (entered.insert(engine->GetCurrentDir()).second) Walk(entered, depth + 1);
            // A directory reached by name need not hold a "." entry, and
            // only one that does can be made current by its block.
            if (engine->SetCurrentDir(here) != 0) return;
        }
        // The listing keeps its place whatever the engine's current directory.
        if (engine->GetCurrentDir() != here) std::abort();
        result = find.FindNext();
    }
    char path[kMaxPath];
    engine->GetCurrentPath(path, kMaxPath);
}

// The rewrite pass of an old game pack: every file's entry and chain stored
// again from what the engine read.
void RewriteEntries(std::set<std::int32_t>& entered, int depth)
{
    const std::int32_t here = engine->GetCurrentDir();
    CPackFind find;
    for (int result = find.FindFirst(engine.get(), "*.*", 3); result == 0; result = find.FindNext()) {
        if (find.type != pack::kTypeDirectory) {
            const int handle = engine->OpenFile(find.name, OF_READ, 1);
            if (handle == -1) continue;
            engine->MarkForRewrite(handle);
            engine->CloseFile(handle);
        } else if (std::strcmp(find.name, ".") != 0 && std::strcmp(find.name, "..") != 0 && depth < 40 &&
                   engine->ChangeDir(find.name) == 0) {
            if (entered.insert(engine->GetCurrentDir()).second) RewriteEntries(entered, depth + 1);
            if (engine->SetCurrentDir(here) != 0) return;
        }
    }
}

// Rewriting entries stays inside the pack's blocks: the file keeps its
// length, its header and the free table entries past its data area.
void RewritePack(const std::vector<std::uint8_t>& before)
{
    if (engine->Open(hostPath.c_str(), "rb+") != 1) std::abort();
    const std::int32_t blocks = engine->BlockCount();
    std::set<std::int32_t> entered{0};
    RewriteEntries(entered, 0);
    engine->Close();

    std::FILE* f = std::fopen(hostPath.c_str(), "rb");
    if (!f) std::abort();
    std::vector<std::uint8_t> after(before.size() + 1);
    const std::size_t length = std::fread(after.data(), 1, after.size(), f);
    std::fclose(f);
    if (length != before.size()) std::abort();
    const std::size_t tail = pack::kTableOffset + 4 * static_cast<std::size_t>(blocks);
    if (std::memcmp(after.data(), before.data(), pack::kTableOffset) != 0 ||
        std::memcmp(after.data() + tail, before.data() + tail, pack::kDataOffset - tail) != 0)
        std::abort();
}

void ReadPack()
{
    std::set<std::int32_t> entered{0};
    Walk(entered, 0);
    engine->ChangeDir("Z:\\Kivra_Pak\\Map");
    engine->ChangeDir("..");
    engine->ChangeDir("Z:");
    ReadWholeFile("Z:\\Kivra_Pak\\Version.txt");
}

// A sound pack stays sound through the engine's writes.
void WriteToCleanPack()
{
    if (engine->Open(hostPath.c_str(), "rb+") != 1) std::abort();
    static std::uint8_t content[5000];
    for (std::size_t i = 0; i < sizeof content; ++i) content[i] = static_cast<std::uint8_t>(i * 7);
    engine->MakeDir("Z:\\fuzz\\deeper");
    bool written = false;
    int handle = engine->OpenFile("Z:\\fuzz\\deeper\\new.dat", OF_WRITE, 1);
    if (handle != -1) {
        written = engine->Write(content, sizeof content, 1, handle) == 1;
        engine->CloseFile(handle);
    }
    // Replaced twice: the second content is the one kept.
    handle = engine->OpenFile("Z:\\fuzz\\deeper\\new.dat", OF_WRITE, 1);
    if (handle != -1) {
        written = engine->Write(content + 1, sizeof content - 1, 1, handle) == 1 && written;
        engine->CloseFile(handle);
    }
    // A file the pack held, replaced; a name with a colon is a path.
    const bool replaced = !rootFile.empty() && rootFile.find(':') == std::string::npos;
    if (replaced) {
        handle = engine->OpenFile(("Z:\\" + rootFile).c_str(), OF_WRITE, 1);
        if (handle == -1 || engine->Write(content, 100, 1, handle) != 1) std::abort();
        engine->CloseFile(handle);
    }
    handle = engine->OpenFile("Z:\\fuzz\\gone.dat", OF_WRITE, 1);
    if (handle != -1) {
        engine->Write(content, 3000, 1, handle);
        engine->CloseFile(handle);
        if (engine->ChangeDir("Z:\\fuzz") == 0) engine->RemoveFile("gone.dat");
    }
    engine->Close();
    const pack::CheckResult after = pack::CheckPackFile(hostPath.c_str());
    if (!after.Clean()) std::abort();

    if (!written) return;
    if (engine->Open(hostPath.c_str(), "rb") != 1) std::abort();
    handle = engine->OpenFile("Z:\\fuzz\\deeper\\new.dat", OF_READ, 1);
    static std::uint8_t back[sizeof content];
    if (handle == -1 || engine->GetLength(handle) != static_cast<std::int32_t>(sizeof content - 1) ||
        engine->Read(back, sizeof back - 1, 1, handle) != 1 || std::memcmp(back, content + 1, sizeof back - 1) != 0)
        std::abort();
    if (replaced) {
        handle = engine->OpenFile(("Z:\\" + rootFile).c_str(), OF_READ, 1);
        if (handle == -1 || engine->GetLength(handle) != 100 || engine->Read(back, 100, 1, handle) != 1 ||
            std::memcmp(back, content, 100) != 0)
            std::abort();
    }
    engine->Close();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    hostPath = fuzzsupport::MakeScratchDirectory() + "/fuzz.pak";
    engine = std::make_unique<CPackFileManager>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::uint8_t> file = BuildHostFile(Input{data, size});
    if (!fuzzsupport::WriteWholeFile(hostPath, file.data(), file.size())) std::abort();

    rootFile.clear();
    const pack::CheckResult check = pack::CheckPackFile(hostPath.c_str());
    const bool opened = engine->Open(hostPath.c_str(), "rb") == 1;
    // The checker and the engine take the same files for packs.
    if (opened != check.readable) std::abort();
    if (!opened) return 0;
    ReadPack();
    engine->Close();
    RewritePack(file);
    if (!check.Clean()) return 0;
    if (!pack::CheckPackFile(hostPath.c_str()).Clean()) std::abort();
    WriteToCleanPack();
    return 0;
}
