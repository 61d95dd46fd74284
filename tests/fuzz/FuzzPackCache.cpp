// The pack engine with its directory cache, and the fast engine (the cache
// and runs), against the plain engine (neither: every write a block at a
// time): the same operations on three copies of one pack must give the same
// results. After every operation the cached engine's host file holds the
// plain one's bytes; so does the fast engine's whenever its run holds
// nothing, and while it holds data, every byte the fast engine's host file
// has is the plain one's but in blocks that the plain one's stored table
// calls free (the run's blocks, which nothing names yet), and it is no
// longer: a state the plain engine was in before it wrote them.
//
// The first input byte picks the start pack: a fresh one (bit 0 clear), or
// one damaged as FuzzPack.cpp describes, built from the rest of the input
// (the operations then start after its description); bits 1 and 2 the fast
// engine's run buffer (full size, or a few blocks and less, so that runs
// fill it). Every later op takes a
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

// The engines, each with its host file: the plain one first, whose results
// the others must give.
struct Engine {
    const char* name;
    bool cache;
    bool runs;
    std::string path;
    std::unique_ptr<CPackFileManager> engine;
};
Engine engines[] = {{"the plain engine", false, false, {}, {}},
                    {"the cached engine", true, false, {}, {}},
                    {"the fast engine", true, true, {}, {}}};
Engine& plainOne = engines[0];
Engine& fastOne = engines[2];
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

void Same(long a, long b, const Engine& other, const char* what)
{
    if (a != b)
        Finding(what, std::to_string(a) + " from " + other.name + ", " + std::to_string(b) + " from the plain one");
}

// Runs op on every engine and compares what each gives with the plain one.
template <class Op> void All(const char* what, Op op)
{
    long results[3] = {};
    bool full[3] = {};
    for (int i = 0; i < 3; ++i) {
        try {
            results[i] = op(*engines[i].engine);
        } catch (const TableFull&) {
            full[i] = true;
        }
    }
    for (int i = 1; i < 3; ++i) {
        Same(full[i], full[0], engines[i], "a full table");
        Same(results[i], results[0], engines[i], what);
    }
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
        All("MakeDir", [&](CPackFileManager& e) { return e.MakeDir(p.c_str()); });
        break;
    }
    case 1: {
        const std::string p = Path(in);
        All("ChangeDir", [&](CPackFileManager& e) { return e.ChangeDir(p.c_str()); });
        break;
    }
    case 2:
    case 3: {
        const std::string p = Path(in);
        const int access = op == 2 ? OF_WRITE : OF_READ;
        All("OpenFile", [&](CPackFileManager& e) { return e.OpenFile(p.c_str(), access, kInPack); });
        break;
    }
    case 4: {
        const int h = 1 + in.Byte() % 6;
        const std::size_t size = 1 + in.Byte() * 37u;
        std::memset(buffer, in.Byte(), size);
        All("Write", [&](CPackFileManager& e) { return static_cast<long>(e.Write(buffer, size, 1, h)); });
        break;
    }
    case 5: {
        const int h = 1 + in.Byte() % 6;
        const std::size_t size = 1 + in.Byte() * 37u;
        static std::uint8_t other[sizeof buffer];
        const long got = static_cast<long>(plainOne.engine->Read(buffer, size, 1, h));
        for (int i = 1; i < 3; ++i) {
            Same(static_cast<long>(engines[i].engine->Read(other, size, 1, h)), got, engines[i], "Read");
            if (got == 1 && std::memcmp(buffer, other, size) != 0) Finding("Read bytes of", engines[i].name);
        }
        break;
    }
    case 6: {
        const int h = 1 + in.Byte() % 6;
        const int origin = in.Byte() % 3;
        const std::int32_t offset = static_cast<std::int32_t>(in.Byte() * 97) - 5000;
        All("Seek", [&](CPackFileManager& e) { return e.Seek(h, offset, origin) * 1000000L + e.Tell(h); });
        break;
    }
    case 7: {
        const int h = 1 + in.Byte() % 6;
        All("CloseFile", [&](CPackFileManager& e) { return e.CloseFile(h); });
        break;
    }
    case 8: {
        const std::string n = Name(in);
        All("RemoveFile", [&](CPackFileManager& e) { return e.RemoveFile(n.c_str()); });
        break;
    }
    case 9: {
        std::string a, b;
        Listing(*plainOne.engine, a);
        for (int i = 1; i < 3; ++i) {
            b.clear();
            Listing(*engines[i].engine, b);
            if (a != b) Finding("listing", b + " | " + a);
        }
        break;
    }
    case 10: {
        const bool readOnly = in.Byte() % 4 == 0;
        All("Reopen", [&](CPackFileManager& e) {
            e.Close();
            const Engine* owner = &plainOne;
            for (const Engine& each : engines)
                if (each.engine.get() == &e) owner = &each;
            return static_cast<long>(e.Open(owner->path.c_str(), readOnly ? "rb" : "rb+"));
        });
        break;
    }
    default: {
        char a[kMaxPath];
        char b[kMaxPath];
        const int found = plainOne.engine->GetCurrentPath(a, kMaxPath);
        for (int i = 1; i < 3; ++i) {
            Same(engines[i].engine->GetCurrentPath(b, kMaxPath), found, engines[i], "GetCurrentPath");
            if (std::strcmp(a, b) != 0) Finding("current path", std::string(b) + " | " + a);
        }
        break;
    }
    }
}

// Whether the fast engine's host file is a state the plain engine's was in
// before it wrote the run's data (see the top).
bool BeforeTheRun(const Bytes& fast, const Bytes& plain)
{
    const std::size_t data = pack::kDataOffset;
    if (fast.size() > plain.size() || fast.size() < data || std::memcmp(fast.data(), plain.data(), data) != 0)
        return false;
    for (std::size_t at = data, block = 0; at < plain.size(); at += pack::kBlockSize, ++block) {
        const std::size_t end = std::min(at + pack::kBlockSize, plain.size());
        const std::size_t held = fast.size() < end ? (fast.size() > at ? fast.size() - at : 0) : end - at;
        if (held == end - at && std::memcmp(fast.data() + at, plain.data() + at, held) == 0) continue;
        if (block >= static_cast<std::size_t>(pack::kMaxBlocks) ||
            pack::LoadU32(plain.data() + pack::kTableOffset + 4 * block) !=
                static_cast<std::uint32_t>(pack::kFreeBlock))
            return false;
    }
    return true;
}

// Compares the host files after an operation (or at the end).
void CompareHostFiles(const char* when)
{
    for (Engine& each : engines) {
        if (each.runs)
            PackEngineProbe::FlushStream(*each.engine);
        else
            PackEngineProbe::Flush(*each.engine);
    }
    const Bytes plain = ReadAll(plainOne.path);
    if (ReadAll(engines[1].path) != plain) Finding("the cached engine's host file differs", when);
    const Bytes fast = ReadAll(fastOne.path);
    if (PackEngineProbe::RunHeld(*fastOne.engine) ? !BeforeTheRun(fast, plain) : fast != plain)
        Finding("the fast engine's host file differs", when);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (plainOne.path.empty()) {
        const std::string& dir = fuzzsupport::MakeScratchDirectory();
        for (Engine& each : engines) {
            each.path = dir + "/" + (each.runs ? "fast" : each.cache ? "cached" : "plain") + ".pak";
            each.engine = std::make_unique<CPackFileManager>();
        }
        packFullStop = StopWhenFull;
    }
    fuzzpack::Input in{data, size};
    const std::uint8_t first = in.Byte();
    const bool damaged = first & 1;
    // The whole buffer, three blocks, two and a part, or one.
    static const std::int32_t kCapacities[4] = {kRunBytes, 3 * pack::kBlockSize, 2 * pack::kBlockSize + 700,
                                                pack::kBlockSize};
    for (Engine& each : engines) {
        PackEngineProbe::UseCache(*each.engine, each.cache);
        PackEngineProbe::UseRuns(*each.engine, each.runs, kCapacities[(first >> 1) & 3]);
    }
    CPackFileManager& cached = *engines[1].engine;
    Bytes start;
    if (damaged) {
        fuzzpack::Input description{data + 1, size > 1 ? size - 1 : 0};
        start = fuzzpack::BuildHostFile(description);
        // The ops take what the description leaves (it reads a fixed part
        // and then the data area).
        in.at = 1 + std::min<std::size_t>(size - 1, 40 + 4 * 33);
    } else {
        const std::string& path = engines[1].path;
        std::remove(path.c_str());
        if (cached.Open(path.c_str(), "wb") != 1) std::abort();
        cached.Close();
        start = ReadAll(path);
    }
    for (const Engine& each : engines)
        if (!fuzzsupport::WriteWholeFile(each.path, start.data(), start.size())) std::abort();
    std::fflush(stdout);
    const int opened = plainOne.engine->Open(plainOne.path.c_str(), "rb+");
    for (int i = 1; i < 3; ++i)
        Same(engines[i].engine->Open(engines[i].path.c_str(), "rb+"), opened, engines[i], "Open");
    if (opened != 1) return 0;
    for (int step = 0; step < 300 && in.More(); ++step) {
        RunOp(in);
        CompareHostFiles(("after the op at " + std::to_string(in.at)).c_str());
    }
    for (Engine& each : engines) each.engine->Close();
    CompareHostFiles("after closing");
    return 0;
}
