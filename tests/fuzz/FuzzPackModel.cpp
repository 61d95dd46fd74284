// Long sequences of pack engine operations against a model of the tree.
//
// An input is a program: its first byte picks the pack it starts from, every
// later op takes a byte and the arguments it needs (the input reads as zero
// past its end, so every byte string is a program). The ops are those a user
// of the engine has: make and change directories, open files for reading or
// writing (a new file or a replacement), write and read at any position,
// seek, close, remove, list, reopen the pack (read-write or read-only), and a
// kill of the process, which leaves the host file as the system has it.
//
// The model is a tree of names and contents and the open handles, and the
// tree as the pack last committed it (a writer's change reaches the stored
// pack whole when it closes). After each op the engine's result must be the
// model's, the current directory the same, every file not being written must
// read back as the model holds it, and the checker must find the stored pack
// sound: no problem and no lost block (only the damage the start pack was
// given). At a kill, a child process opens the host file afresh: the checker
// may find lost blocks there and nothing else, and the stored pack holds
// exactly the tree last committed, as a reader of it sees it.
//
// Start packs (first byte): a fresh pack; one whose table calls block 0
// free (bit 1), so that its root directory cannot grow; and one whose data
// area is nearly the most a table can describe (bits 0 and 4): a few blocks later
// the engine stops on a full table, which must drop every unfinished write
// and keep every file as it was.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "pack/PackCheck.h"
#include "pack/PackFileManager.h"
#include "pack/PackFind.h"
#include "pack/PackFormat.h"
#include "pack/PackText.h"
#include "platform/AsciiCase.h"
#include "platform/Disk.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/PackProbe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A finding: the op, what went wrong, and the end of this process.
[[noreturn]] void Finding(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stderr, "pack model: %s %s\n", what, detail.c_str());
    std::abort();
}

void Expect(bool holds, const char* what, const std::string& detail = std::string())
{
    if (!holds) Finding(what, detail);
}

bool Tracing()
{
    static const bool trace = std::getenv("KIVRA_MODEL_TRACE") != nullptr;
    return trace;
}

// With KIVRA_MODEL_TRACE set, each op is written to stderr as it runs.
void Trace(const char* op, const std::string& argument, long result)
{
    if (Tracing()) std::fprintf(stderr, "  %s %s -> %ld\n", op, argument.substr(0, 60).c_str(), result);
}

std::string Fold(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded) c = static_cast<char>(ascii::Fold(static_cast<unsigned char>(c)));
    return folded;
}

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    bool More() const { return at < size; }
    std::uint8_t Byte() { return at < size ? data[at++] : 0; }
    unsigned Word() { return Byte() | Byte() << 8; }
};

// --- The model ------------------------------------------------------------

struct Node {
    bool directory = false;
    std::string name;  // as made
    Node* parent = nullptr;
    std::map<std::string, std::unique_ptr<Node>> children;  // by folded name
    Bytes data;                                             // a file's content as the stored pack holds it
    int writer = 0;                                         // the handle writing it
    bool fresh = false;                                     // made by that writer: it did not exist before
    int readers = 0;
};

struct Handle {
    Node* node = nullptr;
    bool write = false;
    std::int64_t position = 0;
    Bytes content;     // what a reader reads, or what a writer has written
    std::string name;  // a writer's name as opened: the file takes it at close
};

// Names the generator uses: letters that differ only in case, names with
// dots, names at and past the 94-character limit, and "." and "..".
const std::string kNames[] = {
    "a",
    "A",
    "b",
    "data.bin",
    "DATA.BIN",
    "x.txt",
    ".",
    "..",
    ".hidden",
    std::string(94, 'n'),
    std::string(95, 'm'),
    std::string(90, 'N'),
    "Kivra_Pak",
    "kivra_pak",
    "v",
    "w",
};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];
constexpr int kMaxHandles = 8;
constexpr std::size_t kMaxFileSize = 70000;
const char kFillerName[] = "filler.bin";

struct Path {
    std::string text;
    bool absolute = false;
    std::vector<std::string> parts;
};

Path MakePath(Input& in)
{
    Path path;
    const std::uint8_t shape = in.Byte();
    path.absolute = shape & 1;
    const int count = 1 + (shape >> 1) % 3;
    if (path.absolute) path.text = (shape & 0x80) ? "z:\\" : "Z:\\";
    for (int i = 0; i < count; ++i) {
        path.parts.push_back(kNames[in.Byte() % kNameCount]);
        if (i > 0) path.text += '\\';
        path.text += path.parts.back();
    }
    return path;
}

bool Fits(const Path& path) { return pack::PathFits(path.text.c_str(), kMaxPath, pack::kMaxNameLength); }

class Model {
public:
    Model() { root.directory = true; }

    Node root;
    Node* current = &root;
    std::map<int, Handle> handles;
    bool readOnly = false;
    // The root cannot grow (its table entry is free): it has 16 slots.
    bool rootCannotGrow = false;

    // The directory a walk of parts (from start) reaches; null when it
    // fails.
    Node* Walk(Node* start, const std::vector<std::string>& parts, std::size_t count) const
    {
        Node* at = start;
        for (std::size_t i = 0; i < count; ++i) {
            at = Step(at, parts[i]);
            if (!at) return nullptr;
        }
        return at;
    }

    static Node* Step(Node* at, const std::string& part)
    {
        if (part == ".") return at;
        if (part == "..") return at->parent;
        const auto it = at->children.find(Fold(part));
        return it != at->children.end() && it->second->directory ? it->second.get() : nullptr;
    }

    static Node* Child(Node* dir, const std::string& name)
    {
        const auto it = dir->children.find(Fold(name));
        return it == dir->children.end() ? nullptr : it->second.get();
    }

    Node* Start(const Path& path) { return path.absolute ? &root : current; }

    // Whether dir has a free slot for one more entry.
    bool HasRoom(const Node* dir) const { return !(dir == &root && rootCannotGrow && dir->children.size() >= 15); }

    Node* Add(Node* dir, const std::string& name, bool directory)
    {
        auto node = std::make_unique<Node>();
        node->directory = directory;
        node->name = name;
        node->parent = dir;
        Node* made = node.get();
        dir->children[Fold(name)] = std::move(node);
        return made;
    }

    static void Remove(Node* node) { node->parent->children.erase(Fold(node->name)); }

    static std::string PathOf(const Node* node)
    {
        std::string text;
        for (const Node* n = node; n->parent; n = n->parent) text = "\\" + n->name + text;
        return "Z:" + (text.empty() ? std::string("\\") : text);
    }
};

// --- The harness's state --------------------------------------------------

std::string hostPath;
std::unique_ptr<CPackFileManager> engine;
std::unique_ptr<Model> model;
bool stopping = false;
// The directories the model made for the MakeDir in progress.
std::vector<Node*> madeByOp;

// What the harness has run. With KIVRA_MODEL_STATS naming a file, the
// figures are written there after every sequence (a fuzzer's own output may
// be closed).
struct Figures {
    unsigned long long sequences = 0;
    unsigned long long operations = 0;
    unsigned long long kills = 0;
    unsigned long long fullTables = 0;
} figures;

void WriteFigures()
{
    static const char* const path = std::getenv("KIVRA_MODEL_STATS");
    if (!path) return;
    std::FILE* f = std::fopen(path, "w");
    if (!f) return;
    std::fprintf(f, "pack model: %llu sequences, %llu operations, %llu kills, %llu full tables\n", figures.sequences,
                 figures.operations, figures.kills, figures.fullTables);
    std::fclose(f);
}
std::uint8_t buffer[kMaxFileSize + 4096];

// Thrown by the engine's stop on a full table, which has closed the pack:
// the op in progress ends there.
struct TableFull {};

void StopWhenFull(const char*)
{
    if (!stopping) Finding("the table ran full where no allocation was expected");
    throw TableFull{};
}

// --- Start packs ----------------------------------------------------------

void WriteRaw(long offset, const void* bytes, std::size_t size)
{
    std::FILE* f = std::fopen(hostPath.c_str(), "rb+");
    if (!f || std::fseek(f, offset, SEEK_SET) != 0 || std::fwrite(bytes, size, 1, f) != 1) std::abort();
    std::fclose(f);
}

// A data area of fillerBlocks + 1 blocks, all but block 0 held by one file:
// sparse on disk.
void AddFiller(std::int32_t fillerBlocks)
{
    std::vector<std::uint8_t> table(4 * static_cast<std::size_t>(fillerBlocks));
    for (std::int32_t b = 1; b <= fillerBlocks; ++b)
        pack::StoreU32(&table[4 * static_cast<std::size_t>(b - 1)],
                       static_cast<std::uint32_t>(b < fillerBlocks ? b + 1 : 0));
    WriteRaw(pack::kTableOffset + 4, table.data(), table.size());
    pack::DirEntry entry;
    entry.Clear();
    entry.SetInUse(1);
    entry.SetName(kFillerName);
    entry.SetFirstBlock(1);
    entry.SetSize(static_cast<std::uint32_t>(fillerBlocks) * pack::kBlockSize);
    entry.SetType(pack::kTypeFile);
    entry.SetContiguous(1);
    WriteRaw(pack::kDataOffset + pack::kEntrySize, entry.bytes, sizeof entry.bytes);
    if (truncate(hostPath.c_str(), pack::BlockOffset(fillerBlocks + 1)) != 0) std::abort();
}

void MakeStartPack(std::uint8_t kind, Input& in)
{
    std::remove(hostPath.c_str());
    if (engine->Open(hostPath.c_str(), "wb") != 1) std::abort();
    engine->Close();
    const bool nearlyFull = (kind & 0x11) == 0x11;
    if (nearlyFull) AddFiller(pack::kMaxBlocks - 1 - (4 + in.Byte() % 60));
    if (kind & 2) {
        const std::uint8_t free[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        WriteRaw(pack::kTableOffset, free, sizeof free);
        model->rootCannotGrow = true;
    }
    if (engine->Open(hostPath.c_str(), "rb+") != 1) Finding("the start pack does not open");
    if (nearlyFull) {
        Node* filler = model->Add(&model->root, kFillerName, false);
        filler->data.clear();  // not compared: it is ours
    }
}

// --- Checks ---------------------------------------------------------------

bool IsFiller(const Node* node) { return node->parent == &model->root && node->name == kFillerName; }

// Reads the file name of e's current directory; false when it cannot be
// opened.
bool ReadThrough(CPackFileManager& e, const std::string& name, Bytes& out)
{
    const int h = e.OpenFile(name.c_str(), OF_READ, 1);
    if (h == -1) return false;
    out.assign(static_cast<std::size_t>(e.GetLength(h)), 0);
    const bool read = out.empty() || e.Read(out.data(), out.size(), 1, h) == 1;
    e.CloseFile(h);
    return read;
}

// The entries a listing of e's current directory gives, "." and ".." aside:
// name and size.
std::map<std::string, std::int32_t> Listing(CPackFileManager& e)
{
    std::map<std::string, std::int32_t> names;
    CPackFind find;
    for (int r = find.FindFirst(&e, "*.*", 3); r == 0; r = find.FindNext()) {
        const std::string name = find.name;
        if (name == "." || name == "..") continue;
        if (!names.emplace(name, find.size).second) Finding("a name is listed twice", name);
    }
    return names;
}

// The model's directory dir against e's current directory, and below it,
// entered by name (a tree may be deeper than a path can say).
void CompareTree(CPackFileManager& e, const Node* dir)
{
    const std::map<std::string, std::int32_t> listed = Listing(e);
    std::set<std::string> expected;
    for (const auto& [key, child] : dir->children) expected.insert(child->name);
    std::set<std::string> names;
    for (const auto& [name, size] : listed) names.insert(name);
    if (names != expected) {
        std::string detail = Model::PathOf(dir) + ": pack [";
        for (const std::string& n : names) detail += " " + n.substr(0, 12);
        detail += " ] model [";
        for (const std::string& n : expected) detail += " " + n.substr(0, 12);
        Finding("listing differs", detail + " ]");
    }
    for (const auto& [key, child] : dir->children) {
        if (IsFiller(child.get())) continue;
        if (child->directory) {
            if (e.ChangeDir(child->name.c_str()) != 0)
                Finding("a directory cannot be entered", Model::PathOf(child.get()));
            CompareTree(e, child.get());
            if (e.ChangeDir("..") != 0) Finding("\"..\" fails", Model::PathOf(child.get()));
            continue;
        }
        // A file being written is listed as the stored pack holds it.
        if (listed.at(child->name) != static_cast<std::int32_t>(child->data.size()))
            Finding("listed size differs", Model::PathOf(child.get()));
        if (child->writer) continue;
        Bytes read;
        if (!ReadThrough(e, child->name, read)) Finding("a file cannot be read", Model::PathOf(child.get()));
        if (read != child->data) Finding("a file reads back wrong", Model::PathOf(child.get()));
    }
}

void CheckStoredPack(std::int64_t allowedProblems, bool lostAllowed)
{
    const pack::CheckResult result = pack::CheckPackFile(hostPath.c_str());
    std::string problems;
    for (const std::string& p : result.problems) problems += p + "; ";
    if (result.problemCount != allowedProblems) Finding("the checker finds problems:", problems);
    if (!lostAllowed && !result.lostBlocks.empty()) Finding("the checker finds lost blocks");
}

// After an op: the stored pack (when the op may have written to it; the
// checker reads the whole table), the current directory and every file.
void CheckEverything(bool mayHaveWritten)
{
    if (PackEngineProbe::Flush(*engine) != 0 && !model->readOnly) Finding("flush failed");
    if (mayHaveWritten) CheckStoredPack(model->rootCannotGrow ? 1 : 0, false);
    char path[kMaxPath];
    if (engine->GetCurrentPath(path, kMaxPath) == 1) {
        std::string text = path;
        if (text.size() > 3 && text.back() == '\\') text.pop_back();
        Expect(Fold(text) == Fold(Model::PathOf(model->current)), "current directory differs", text);
    }
    const std::int32_t current = engine->GetCurrentDir();
    if (engine->ChangeDir("Z:\\") != 0) Finding("the root cannot be entered");
    CompareTree(*engine, &model->root);
    if (engine->SetCurrentDir(current) != 0) Finding("the current directory cannot be set again");
}

// --- Ops ------------------------------------------------------------------

void OpMakeDir(Input& in)
{
    const Path path = MakePath(in);
    // The model's result, and the directories it makes on the way.
    bool ok = Fits(path);
    Node* at = model->Start(path);
    if (ok) {
        for (const std::string& part : path.parts) {
            Node* next = Model::Step(at, part);
            if (!next) {
                if (part == "." || part == ".." || part[0] == '.' || Model::Child(at, part) || !model->HasRoom(at) ||
                    model->readOnly) {
                    ok = false;
                    break;
                }
                next = model->Add(at, part, true);
                madeByOp.push_back(next);
            }
            at = next;
        }
    }
    stopping = true;
    const int result = engine->MakeDir(path.text.c_str());
    stopping = false;
    Trace("MakeDir", path.text, result);
    Expect(result == (ok ? 0 : -1), "MakeDir result", path.text);
}

void OpChangeDir(Input& in)
{
    const Path path = MakePath(in);
    Node* target = Fits(path) ? model->Walk(model->Start(path), path.parts, path.parts.size()) : nullptr;
    const int result = engine->ChangeDir(path.text.c_str());
    Trace("ChangeDir", path.text, result);
    Expect(result == (target ? 0 : -1), "ChangeDir result", path.text);
    if (target) model->current = target;
}

void OpOpen(Input& in, bool write)
{
    const Path path = MakePath(in);
    int expected = -1;
    Node* dir = Fits(path) ? model->Walk(model->Start(path), path.parts, path.parts.size() - 1) : nullptr;
    const std::string& name = path.parts.back();
    Node* existing = dir ? Model::Child(dir, name) : nullptr;
    bool makes = false;
    if (dir && name != "." && name != ".." && static_cast<int>(model->handles.size()) < kMaxHandles) {
        if (!write) {
            if (existing && !existing->directory && !existing->writer && !IsFiller(existing)) expected = 1;
        } else if (!model->readOnly) {
            if (existing && !existing->directory && !existing->writer && !existing->readers && !IsFiller(existing))
                expected = 1;
            if (!existing && model->HasRoom(dir)) expected = 1, makes = true;
        }
    }
    if (static_cast<int>(model->handles.size()) >= kMaxHandles) return;
    stopping = true;
    const int h = engine->OpenFile(path.text.c_str(), write ? OF_WRITE : OF_READ, 1);
    stopping = false;
    Trace(write ? "OpenFile write" : "OpenFile read", path.text, h);
    Expect((h == -1) == (expected == -1), write ? "OpenFile for writing" : "OpenFile for reading", path.text);
    if (h == -1) return;
    Expect(!model->handles.count(h), "a handle number given twice");
    Handle& handle = model->handles[h];
    handle.write = write;
    if (makes) {
        existing = model->Add(dir, name, false);
        existing->fresh = true;
    }
    handle.node = existing;
    handle.name = name;
    if (write)
        existing->writer = h;
    else {
        ++existing->readers;
        handle.content = existing->data;
    }
}

// The handle an op works on: one of those open, by the input's choice.
int PickHandle(Input& in)
{
    if (model->handles.empty()) return 0;
    auto it = model->handles.begin();
    std::advance(it, in.Byte() % model->handles.size());
    return it->first;
}

void OpWrite(Input& in)
{
    const int h = PickHandle(in);
    if (!h) return;
    Handle& handle = model->handles[h];
    std::size_t itemSize = 1 + in.Word() % 9000;
    std::size_t count = in.Byte() % 4;
    if (handle.position + static_cast<std::int64_t>(itemSize * count) > static_cast<std::int64_t>(kMaxFileSize))
        count = 0;
    const std::uint8_t seed = in.Byte();
    for (std::size_t i = 0; i < itemSize * count; ++i) buffer[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    stopping = true;
    const std::size_t written = engine->Write(buffer, itemSize, count, h);
    stopping = false;
    Trace("Write", std::to_string(h) + " " + std::to_string(itemSize) + "x" + std::to_string(count),
          static_cast<long>(written));
    if (!handle.write) {
        Expect(written == 0, "Write on a reader");
        return;
    }
    Expect(written == count, "Write count");
    const std::size_t end = static_cast<std::size_t>(handle.position) + itemSize * count;
    if (count == 0) return;
    if (handle.content.size() < end) handle.content.resize(end);
    std::memcpy(handle.content.data() + handle.position, buffer, itemSize * count);
    handle.position = static_cast<std::int64_t>(end);
}

void OpRead(Input& in)
{
    const int h = PickHandle(in);
    if (!h) return;
    Handle& handle = model->handles[h];
    const std::size_t itemSize = 1 + in.Word() % 9000;
    const std::size_t count = in.Byte() % 4;
    const std::size_t got = engine->Read(buffer, itemSize, count, h);
    Trace("Read", std::to_string(h) + " " + std::to_string(itemSize) + "x" + std::to_string(count),
          static_cast<long>(got));
    if (handle.write) {
        Expect(got == 0, "Read on a writer");
        return;
    }
    const std::size_t left = handle.content.size() - static_cast<std::size_t>(handle.position);
    const std::size_t expected = std::min(count, left / itemSize);
    Expect(got == expected, "Read count");
    Expect(got == 0 || std::memcmp(buffer, handle.content.data() + handle.position, got * itemSize) == 0, "Read bytes");
    handle.position += static_cast<std::int64_t>(got * itemSize);
}

void OpSeek(Input& in)
{
    const int h = PickHandle(in);
    if (!h) return;
    Handle& handle = model->handles[h];
    const int origin = in.Byte() % 3;
    const std::int32_t offset = static_cast<std::int32_t>(in.Word()) - 20000;
    const std::int64_t size = static_cast<std::int64_t>(handle.content.size());
    std::int64_t target = origin == 0 ? offset : origin == 1 ? handle.position + offset : size + offset;
    target = std::max<std::int64_t>(0, std::min(target, size));
    Trace("Seek", std::to_string(h) + " " + std::to_string(offset) + " " + std::to_string(origin),
          engine->Seek(h, offset, origin));
    handle.position = target;
    Expect(engine->Tell(h) == target, "Tell after Seek");
}

// Commits what a closed (or dropped) handle leaves in the model.
void Settle(int h, bool dropped)
{
    Handle& handle = model->handles[h];
    Node* node = handle.node;
    if (handle.write) {
        node->writer = 0;
        if (dropped && node->fresh)
            Model::Remove(node);
        else if (!dropped) {
            node->data = handle.content;
            node->name = handle.name;
            node->fresh = false;
        } else {
            node->fresh = false;
        }
    } else {
        --node->readers;
    }
    model->handles.erase(h);
}

void OpClose(Input& in)
{
    const int h = PickHandle(in);
    if (!h) return;
    Trace("CloseFile", std::to_string(h), 0);
    Expect(engine->CloseFile(h) == 0, "CloseFile");
    Settle(h, false);
    Expect(engine->CloseFile(h) == -1, "CloseFile twice");
}

void OpRemove(Input& in)
{
    const std::string& name = kNames[in.Byte() % kNameCount];
    Node* node = Model::Child(model->current, name);
    const bool ok = node && !node->directory && !node->writer && !node->readers && !model->readOnly && !IsFiller(node);
    const int result = engine->RemoveFile(name.c_str());
    Trace("RemoveFile", name, result);
    Expect(result == (ok ? 0 : -1), "RemoveFile", name);
    if (ok) Model::Remove(node);
}

void OpList(Input& in)
{
    const Path path = MakePath(in);
    CPackFind find;
    // A pattern the engine cannot hold whole lists nothing.
    if (!Fits(path)) Expect(find.FindFirst(engine.get(), path.text.c_str(), 3) == 1, "FindFirst of a long pattern");
}

// The stored view of every file, for the kill check.
struct Snapshot {
    std::map<std::string, Bytes> files;  // by folded path
    std::set<std::string> directories;
};
// The tree as the pack last committed it.
Snapshot committed;

void Take(const Node* dir, Snapshot& snapshot);

// The model's tree is what the stored pack holds now.
void Committed()
{
    committed = Snapshot{};
    Take(&model->root, committed);
}

void Reopen(bool readOnly)
{
    Trace("Reopen", readOnly ? "rb" : "rb+", 0);
    std::vector<int> open;
    for (const auto& [h, handle] : model->handles) open.push_back(h);
    Expect(engine->Close() == 1, "Close");
    // Close stores every file still open for writing.
    for (const int h : open) Settle(h, model->readOnly);
    Committed();
    Expect(engine->Open(hostPath.c_str(), readOnly ? "rb" : "rb+") == 1, "the pack does not open again");
    model->readOnly = readOnly;
    model->current = &model->root;
}

void Take(const Node* dir, Snapshot& snapshot)
{
    for (const auto& [key, child] : dir->children) {
        if (IsFiller(child.get())) continue;
        const std::string path = Fold(Model::PathOf(child.get()));
        if (child->directory) {
            snapshot.directories.insert(path);
            Take(child.get(), snapshot);
        } else {
            snapshot.files[path] = child->data;
        }
    }
}

// Everything the stored pack holds below e's current directory, through a
// fresh read-only engine; path is that directory's folded model path.
void Gather(CPackFileManager& e, const std::string& path, Snapshot& snapshot)
{
    for (const auto& [name, size] : Listing(e)) {
        const std::string below = path + Fold("\\" + name);
        if (path == Fold("Z:") && name == kFillerName) continue;
        if (e.ChangeDir(name.c_str()) == 0) {
            snapshot.directories.insert(below);
            Gather(e, below, snapshot);
            if (e.ChangeDir("..") != 0) _exit(16);
        } else {
            Bytes data;
            if (!ReadThrough(e, name, data)) _exit(17);
            snapshot.files[below] = data;
        }
    }
}

// A kill right after the op: the child sees the host file as the system has
// it (what the engine still buffers is lost with the process) and checks it
// against the tree last committed.
void Kill()
{
    // Only the harness's own streams are flushed: what the engine buffers
    // dies with the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        // The child stands for whoever opens the pack after the kill: the
        // killed writer's lock, which it still shares with the parent, has
        // gone with it.
        diskCalls.openLocked = [](const char* path, const char* mode, DiskLock) { return OpenDiskFile(path, mode); };
        const pack::CheckResult result = pack::CheckPackFile(hostPath.c_str());
        if (result.problemCount != (model->rootCannotGrow ? 1 : 0)) _exit(10);
        auto reader = std::make_unique<CPackFileManager>();
        if (reader->Open(hostPath.c_str(), "rb") != 1) _exit(11);
        Snapshot stored;
        Gather(*reader, Fold("Z:"), stored);
        if (stored.files != committed.files) _exit(12);
        if (stored.directories != committed.directories) _exit(14);
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) Finding("the killed child cannot be waited for");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Finding("after a kill the stored pack is wrong; child status", std::to_string(status));
}

// Makes e's current directory the model's directory dir, name by name.
void Enter(CPackFileManager& e, const Node* dir)
{
    if (dir->parent) Enter(e, dir->parent);
    if (e.ChangeDir(dir->parent ? dir->name.c_str() : "Z:\\") != 0) Finding("cannot enter", Model::PathOf(dir));
}

// The table ran full: every handle was closed, unfinished writes dropped.
void AfterFullStop(const Path* madePath)
{
    std::vector<int> open;
    for (const auto& [h, handle] : model->handles) open.push_back(h);
    for (const int h : open) Settle(h, true);
    Expect(!engine->IsOpen(), "the engine stays open after a full table");
    CheckStoredPack(model->rootCannotGrow ? 1 : 0, false);
    Expect(engine->Open(hostPath.c_str(), "rb+") == 1, "the pack does not open after a full table");
    model->readOnly = false;
    // A MakeDir stopped part-way keeps the directories it made before: the
    // model takes them from the pack.
    for (auto it = madeByOp.rbegin(); it != madeByOp.rend(); ++it) Model::Remove(*it);
    if (madePath && Fits(*madePath)) {
        Node* at = model->Start(*madePath);
        Enter(*engine, at);
        for (const std::string& part : madePath->parts) {
            Node* next = Model::Step(at, part);
            if (!next) {
                if (engine->ChangeDir(part.c_str()) != 0) break;
                next = model->Add(at, part, true);
            } else if (engine->ChangeDir(part.c_str()) != 0) {
                Finding("cannot enter", part);
            }
            at = next;
        }
        engine->ChangeDir("Z:\\");
    }
    model->current = &model->root;
    Committed();
}

// Runs one op; false when it cannot have written to the host file.
bool RunOp(Input& in)
{
    const std::uint8_t op = in.Byte() % 16;
    const bool kill = op == 15;
    const std::uint8_t chosen = kill ? in.Byte() % 15 : op;
    const bool makesDirs = chosen < 2;
    Path madePath;
    madeByOp.clear();
    if (makesDirs) {
        Input peek = in;
        madePath = MakePath(peek);
    }
    try {
        switch (chosen) {
        case 0:
        case 1: OpMakeDir(in); break;
        case 2: OpChangeDir(in); break;
        case 3:
        case 4: OpOpen(in, true); break;
        case 5: OpOpen(in, false); break;
        case 6:
        case 7:
        case 8: OpWrite(in); break;
        case 9: OpRead(in); break;
        case 10: OpSeek(in); break;
        case 11: OpClose(in); break;
        case 12: OpRemove(in); break;
        case 13: OpList(in); break;
        default: Reopen(in.Byte() % 5 == 0); break;
        }
    } catch (const TableFull&) {
        stopping = false;
        ++figures.fullTables;
        Trace("table full", "", 0);
        AfterFullStop(makesDirs ? &madePath : nullptr);
        return true;
    }
    ++figures.operations;
    if (kill) {
        ++figures.kills;
        Trace("Kill", "", 0);
        Kill();
    }
    // Changing directory, reading, seeking and listing only read.
    return chosen != 2 && chosen != 9 && chosen != 10 && chosen != 13;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (hostPath.empty()) {
        hostPath = fuzzsupport::MakeScratchDirectory() + "/model.pak";
        engine = std::make_unique<CPackFileManager>();
        packFullStop = StopWhenFull;
    }
    Input in{data, size};
    ++figures.sequences;
    model = std::make_unique<Model>();
    MakeStartPack(in.Byte(), in);
    Committed();
    CheckEverything(true);
    for (int step = 0; step < 200 && in.More(); ++step) CheckEverything(RunOp(in));
    engine->Close();
    model.reset();
    std::vector<Node*>().swap(madeByOp);
    WriteFigures();
    return 0;
}
