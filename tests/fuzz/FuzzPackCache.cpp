// The pack engine with its directory cache against the engine without it:
// the same operations on two copies of one pack must give the same results
// and leave the same bytes in both host files after every operation.
//
// The first input byte picks the start pack: a fresh one (even), or one
// damaged as FuzzPack.cpp describes, built from the rest of the input (odd;
// the operations then start after its description). Every later op takes a
// byte and its arguments; names come from a small pool, so that one
// directory fills past many blocks and names meet in every letter case.
// The clock is the harness's own, the same for both engines at every op, so
// that creation times agree.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pack/PackFileManager.h"
#include "pack/PackFind.h"
#include "tests/fuzz/FuzzPackImage.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/PackProbe.h"

namespace {

std::uint32_t clockTicks = 1;

}  // namespace

// The engines' clock: it moves only between operations.
void GetSystemTimeAsFileTime(LPFILETIME time)
{
    time->dwLowDateTime = clockTicks;
    time->dwHighDateTime = 0x01DB0000u;
}

namespace {

using Bytes = std::vector<std::uint8_t>;

struct TableFull {};

void StopWhenFull(const char*) { throw TableFull{}; }

[[noreturn]] void Finding(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stderr, "pack cache: %s %s\n", what, detail.c_str());
    std::abort();
}

std::string withCache;
std::string without;
std::unique_ptr<CPackFileManager> cached;
std::unique_ptr<CPackFileManager> plain;
std::uint8_t buffer[70000];

// Names: 48 short ones (one directory fills 3 blocks and more), their capital
// forms, dots, and names at and past the limit.
std::string Name(fuzzpack::Input& in)
{
    const std::uint8_t b = in.Byte();
    switch (b % 8) {
    case 0: return std::string(1, static_cast<char>('A' + b % 26));
    case 1: return ".";
    case 2: return "..";
    case 3: return std::string(94, 'N');
    default: return (b & 1 ? "F" : "f") + std::to_string(b % 64);
    }
}

// Mostly a bare name in the current directory, so that one directory fills,
// empties and fills again; sometimes a path of up to three names.
std::string Path(fuzzpack::Input& in)
{
    const std::uint8_t shape = in.Byte();
    if (shape % 4 != 0) return Name(in);
    std::string text = shape & 4 ? "Z:\\" : "";
    for (int i = 0, n = 1 + (shape >> 3) % 3; i < n; ++i) text += (i ? "\\" : "") + Name(in);
    return text;
}

Bytes ReadAll(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    Bytes bytes;
    if (!f) return bytes;
    std::uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}

void Same(long a, long b, const char* what)
{
    if (a != b) Finding(what, std::to_string(a) + " with the cache, " + std::to_string(b) + " without");
}

// Runs op on both engines and compares what each gives.
template <class Op> void Both(const char* what, Op op)
{
    long a = 0;
    long b = 0;
    bool fullA = false;
    bool fullB = false;
    try {
        a = op(*cached);
    } catch (const TableFull&) {
        fullA = true;
    }
    try {
        b = op(*plain);
    } catch (const TableFull&) {
        fullB = true;
    }
    Same(fullA, fullB, "a full table");
    Same(a, b, what);
}

void Listing(CPackFileManager& e, std::string& out)
{
    CPackFind find;
    for (int r = find.FindFirst(&e, "*.*", pack::kTypeAny); r == 0; r = find.FindNext())
        out += std::string(find.name) + "/" + std::to_string(find.size) + "/" + std::to_string(find.type) + ";";
}

void RunOp(fuzzpack::Input& in)
{
    ++clockTicks;
    // Creating, closing and removing files come most often.
    static const std::uint8_t kOps[16] = {0, 1, 2, 2, 2, 3, 4, 5, 6, 7, 7, 8, 8, 9, 10, 11};
    const std::uint8_t op = kOps[in.Byte() % 16];
    switch (op) {
    case 0: {
        const std::string p = Path(in);
        Both("MakeDir", [&](CPackFileManager& e) { return e.MakeDir(p.c_str()); });
        break;
    }
    case 1: {
        const std::string p = Path(in);
        Both("ChangeDir", [&](CPackFileManager& e) { return e.ChangeDir(p.c_str()); });
        break;
    }
    case 2:
    case 3: {
        const std::string p = Path(in);
        const int access = op == 2 ? OF_WRITE : OF_READ;
        Both("OpenFile", [&](CPackFileManager& e) { return e.OpenFile(p.c_str(), access, kInPack); });
        break;
    }
    case 4: {
        const int h = 1 + in.Byte() % 6;
        const std::size_t size = 1 + in.Byte() * 37u;
        std::memset(buffer, in.Byte(), size);
        Both("Write", [&](CPackFileManager& e) { return static_cast<long>(e.Write(buffer, size, 1, h)); });
        break;
    }
    case 5: {
        const int h = 1 + in.Byte() % 6;
        const std::size_t size = 1 + in.Byte() * 37u;
        static std::uint8_t other[sizeof buffer];
        long got[2] = {};
        got[0] = static_cast<long>(cached->Read(buffer, size, 1, h));
        got[1] = static_cast<long>(plain->Read(other, size, 1, h));
        Same(got[0], got[1], "Read");
        if (got[0] == 1 && std::memcmp(buffer, other, size) != 0) Finding("Read bytes");
        break;
    }
    case 6: {
        const int h = 1 + in.Byte() % 6;
        const int origin = in.Byte() % 3;
        const std::int32_t offset = static_cast<std::int32_t>(in.Byte() * 97) - 5000;
        Both("Seek", [&](CPackFileManager& e) { return e.Seek(h, offset, origin) * 1000000L + e.Tell(h); });
        break;
    }
    case 7: {
        const int h = 1 + in.Byte() % 6;
        Both("CloseFile", [&](CPackFileManager& e) { return e.CloseFile(h); });
        break;
    }
    case 8: {
        const std::string n = Name(in);
        Both("RemoveFile", [&](CPackFileManager& e) { return e.RemoveFile(n.c_str()); });
        break;
    }
    case 9: {
        std::string a, b;
        Listing(*cached, a);
        Listing(*plain, b);
        if (a != b) Finding("listing", a + " | " + b);
        break;
    }
    case 10: {
        const bool readOnly = in.Byte() % 4 == 0;
        Both("Reopen", [&](CPackFileManager& e) {
            e.Close();
            return static_cast<long>(
                e.Open(&e == cached.get() ? withCache.c_str() : without.c_str(), readOnly ? "rb" : "rb+"));
        });
        break;
    }
    default: {
        char a[kMaxPath];
        char b[kMaxPath];
        Same(cached->GetCurrentPath(a, kMaxPath), plain->GetCurrentPath(b, kMaxPath), "GetCurrentPath");
        if (std::strcmp(a, b) != 0) Finding("current path", std::string(a) + " | " + b);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (withCache.empty()) {
        const std::string& dir = fuzzsupport::MakeScratchDirectory();
        withCache = dir + "/cached.pak";
        without = dir + "/plain.pak";
        cached = std::make_unique<CPackFileManager>();
        plain = std::make_unique<CPackFileManager>();
        packFullStop = StopWhenFull;
    }
    PackEngineProbe::UseCache(*cached, true);
    PackEngineProbe::UseCache(*plain, false);
    fuzzpack::Input in{data, size};
    const bool damaged = in.Byte() & 1;
    Bytes start;
    if (damaged) {
        fuzzpack::Input description{data + 1, size > 1 ? size - 1 : 0};
        start = fuzzpack::BuildHostFile(description);
        // The ops take what the description leaves (it reads a fixed part
        // and then the data area).
        in.at = 1 + std::min<std::size_t>(size - 1, 40 + 4 * 33);
    } else {
        std::remove(withCache.c_str());
        if (cached->Open(withCache.c_str(), "wb") != 1) std::abort();
        cached->Close();
        start = ReadAll(withCache);
    }
    if (!fuzzsupport::WriteWholeFile(withCache, start.data(), start.size()) ||
        !fuzzsupport::WriteWholeFile(without, start.data(), start.size()))
        std::abort();
    std::fflush(stdout);
    const int opened = cached->Open(withCache.c_str(), "rb+");
    Same(opened, plain->Open(without.c_str(), "rb+"), "Open");
    if (opened != 1) return 0;
    for (int step = 0; step < 300 && in.More(); ++step) {
        RunOp(in);
        PackEngineProbe::Flush(*cached);
        PackEngineProbe::Flush(*plain);
        if (ReadAll(withCache) != ReadAll(without)) Finding("the host files differ after op at", std::to_string(in.at));
    }
    cached->Close();
    plain->Close();
    if (ReadAll(withCache) != ReadAll(without)) Finding("the host files differ after closing");
    return 0;
}
