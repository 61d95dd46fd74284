// A disk a power loss can strike after any call. While a Recorder lives,
// every call of the disk table goes through it, and what each does below its
// root folder is logged: each write (its bytes), each name made, renamed,
// exchanged or removed, each folder made or removed, and each sync. From the
// log it builds the state a power loss after any call leaves, as the crash
// tests of databases do: what was synced is kept; each write made since is
// kept or lost 512-byte sector by sector (a torn write keeps some of its
// sectors), each truncation kept or lost; each change of names since its
// folder was synced is kept or lost, in the order made (one whose name is
// not there is lost with it). A file's data sync (fdatasync) makes its data
// durable, not its name; a folder's sync makes the names in it durable; a
// volume's sync makes everything durable.
//
// The platform's own steps are logged as what they do: a replacement's
// temporary is a new file; FinishDiskReplacement(kReplace) over a file that
// is there syncs the temporary and renames it over the file; the staged set
// is switched by exchanging each temporary with its file (or renaming it
// where no file is), and synced by a volume's sync.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/Disk.h"
#include "support/TempDir.h"

namespace powerloss {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

enum class Kind : std::uint8_t {
    Write,
    Truncate,
    Create,
    Rename,
    Exchange,
    Unlink,
    MakeFolder,
    RemoveFolder,
    SyncData,
    SyncFolder,
    SyncAll,
};

// One logged step: paths below the root, '/' between folders.
struct Op {
    explicit Op(Kind made) : kind(made) {}
    Kind kind;
    long call = 0;  // the disk call that made it, from 1
    int node = -1;
    std::string from;
    std::string to;
    long offset = 0;
    Bytes data;
};

// What the disk holds below the root: its folders ("" is the root itself)
// and named files, each a node whose bytes are in data.
struct Tree {
    std::set<std::string> folders{""};
    std::map<std::string, int> names;
    std::map<int, Bytes> data;
};

inline std::string Parent(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

inline bool Below(const std::string& path, const std::string& folder)
{
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// Applies a change of names to t; false when it cannot be made there (what
// it needs was lost).
inline bool ApplyName(Tree& t, const Op& op)
{
    switch (op.kind) {
    case Kind::Create:
        if (!t.folders.count(Parent(op.to)) || t.names.count(op.to)) return false;
        t.names[op.to] = op.node;
        t.data.emplace(op.node, Bytes{});
        return true;
    case Kind::Rename: {
        const auto from = t.names.find(op.from);
        if (from == t.names.end() || !t.folders.count(Parent(op.to))) return false;
        const int node = from->second;
        t.names.erase(from);
        t.names[op.to] = node;
        return true;
    }
    case Kind::Exchange: {
        const auto a = t.names.find(op.from);
        const auto b = t.names.find(op.to);
        if (a == t.names.end() || b == t.names.end()) return false;
        std::swap(a->second, b->second);
        return true;
    }
    case Kind::Unlink: return t.names.erase(op.from) > 0;
    case Kind::MakeFolder:
        if (!t.folders.count(Parent(op.from)) || t.folders.count(op.from)) return false;
        t.folders.insert(op.from);
        return true;
    case Kind::RemoveFolder:
        for (const auto& [name, node] : t.names)
            if (Below(name, op.from)) return false;
        for (const std::string& folder : t.folders)
            if (Below(folder, op.from)) return false;
        return t.folders.erase(op.from) > 0;
    default: return false;
    }
}

// Applies a write or a truncation to the bytes of a node, or, with keep, only
// the 512-byte sectors keep says to keep.
template <class Keep> void ApplyData(Bytes& bytes, const Op& op, Keep keep)
{
    if (op.kind == Kind::Truncate) {
        if (keep()) bytes.resize(static_cast<std::size_t>(op.offset), 0);
        return;
    }
    for (std::size_t done = 0; done < op.data.size();) {
        const std::size_t at = static_cast<std::size_t>(op.offset) + done;
        const std::size_t piece = std::min(op.data.size() - done, 512 - at % 512);
        if (keep()) {
            if (bytes.size() < at + piece) bytes.resize(at + piece, 0);
            std::copy(op.data.begin() + static_cast<std::ptrdiff_t>(done),
                      op.data.begin() + static_cast<std::ptrdiff_t>(done + piece),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at));
        }
        done += piece;
    }
}

// How much a power loss keeps of what was not synced: each change of names
// and each sector written is kept with these chances.
struct Loss {
    const char* what;
    double names;
    double data;
    unsigned seed;
};

// --- The recording -----------------------------------------------------------

struct Staged {
    std::string temporary;
    std::string target;
    int node;
    bool switched = false;
    bool exchanged = false;
};

struct Recording {
    DiskCalls real{};
    std::string root;  // absolute, without a trailing slash
    long calls = 0;
    long syncs = 0;
    std::vector<Op> log;
    Tree start;
    Tree now;  // with every logged step made
    int nextNode = 0;
    std::map<std::FILE*, int> nodes;
    std::map<std::FILE*, std::pair<std::string, std::string>> replacing;  // temporary, target
    std::vector<Staged> staged;
};
inline Recording rec;

// The path below the root of a host path, or false when it lies elsewhere.
inline bool Relative(const std::string& host, std::string& below)
{
    if (host == rec.root) {
        below.clear();
        return true;
    }
    if (host.size() <= rec.root.size() || host.compare(0, rec.root.size(), rec.root) != 0 ||
        host[rec.root.size()] != '/')
        return false;
    below = host.substr(rec.root.size() + 1);
    while (!below.empty() && below.back() == '/') below.pop_back();
    return true;
}

inline bool RelativeOfDisk(const char* path, std::string& below)
{
    char host[kHostPathMax];
    return ResolveDiskPath(path, host, sizeof host) && Relative(host, below);
}

inline bool RelativeOfFile(std::FILE* file, std::string& below)
{
    char link[64];
    char host[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(file));
    const ssize_t length = readlink(link, host, sizeof host - 1);
    if (length <= 0) return false;
    host[length] = 0;
    return Relative(host, below);
}

inline void Log(Op op)
{
    op.call = rec.calls;
    if (op.kind <= Kind::Truncate) {
        ApplyData(rec.now.data[op.node], op, [] { return true; });
    } else if (op.kind <= Kind::RemoveFolder) {
        EXPECT_TRUE(ApplyName(rec.now, op))
            << "a change the disk made does not fit the model: " << op.from << " " << op.to;
    }
    rec.log.push_back(std::move(op));
}

inline int CreateNode(const std::string& path)
{
    const int node = rec.nextNode++;
    Op op(Kind::Create);
    op.node = node;
    op.to = path;
    Log(op);
    return node;
}

// Learns the file a stream opened below the root is, logging its making and
// its emptying as the mode says.
inline void Opened(std::FILE* file, const char* mode, bool made)
{
    std::string below;
    if (!file || !RelativeOfFile(file, below)) return;
    const auto known = rec.now.names.find(below);
    int node;
    if (known == rec.now.names.end()) {
        node = CreateNode(below);
    } else {
        node = known->second;
        if (made || mode[0] == 'w') {
            Op op(Kind::Truncate);
            op.node = node;
            op.offset = 0;
            Log(op);
        }
    }
    rec.nodes[file] = node;
}

inline void NameChange(Kind kind, const char* from, const char* to = nullptr)
{
    Op op(kind);
    if (!RelativeOfDisk(from, op.from)) return;
    if (to && !RelativeOfDisk(to, op.to)) return;
    Log(op);
}

// What the host folder holds, by name.
inline std::set<std::string> Listing(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(folder, error)) names.insert(item.path().filename().string());
    return names;
}

inline const DiskCalls kRecording = {
    [](const char* p, const char* m) {
        ++rec.calls;
        std::FILE* f = rec.real.open(p, m);
        Opened(f, m, false);
        return f;
    },
    [](const char* p, const char* m, DiskLock l) {
        ++rec.calls;
        std::FILE* f = rec.real.openLocked(p, m, l);
        Opened(f, m, false);
        return f;
    },
    [](const char* p) {
        ++rec.calls;
        std::FILE* f = rec.real.createNew(p);
        Opened(f, "w", true);
        return f;
    },
    [](void* b, std::size_t s, std::size_t n, std::FILE* f) {
        ++rec.calls;
        return rec.real.read(b, s, n, f);
    },
    [](const void* b, std::size_t s, std::size_t n, std::FILE* f) {
        ++rec.calls;
        const long at = rec.real.tell(f);
        const std::size_t done = rec.real.write(b, s, n, f);
        const auto node = rec.nodes.find(f);
        if (node != rec.nodes.end() && done > 0) {
            Op op(Kind::Write);
            op.node = node->second;
            op.offset = at;
            const auto* bytes = static_cast<const std::uint8_t*>(b);
            op.data.assign(bytes, bytes + s * done);
            Log(op);
        }
        return done;
    },
    [](std::FILE* f, long o, int w) {
        ++rec.calls;
        return rec.real.seek(f, o, w);
    },
    [](std::FILE* f) {
        ++rec.calls;
        return rec.real.tell(f);
    },
    [](std::FILE* f) {
        ++rec.calls;
        return rec.real.flush(f);
    },
    [](std::FILE* f) {
        ++rec.calls;
        rec.nodes.erase(f);
        return rec.real.close(f);
    },
    [](const char* p) {
        ++rec.calls;
        std::string below;
        const bool known = RelativeOfDisk(p, below);
        const int result = rec.real.remove(p);
        if (result == 0 && known) {
            Op op(Kind::Unlink);
            op.from = below;
            Log(op);
        }
        return result;
    },
    [](const char* a, const char* b) {
        ++rec.calls;
        Op op(Kind::Rename);
        const bool known = RelativeOfDisk(a, op.from) && RelativeOfDisk(b, op.to);
        const int result = rec.real.rename(a, b);
        if (result == 0 && known) Log(op);
        return result;
    },
    [](const char* p) {
        ++rec.calls;
        const int result = rec.real.makeDirectory(p);
        if (result == 0) NameChange(Kind::MakeFolder, p);
        return result;
    },
    [](const char* p) {
        ++rec.calls;
        return rec.real.changeDirectory(p);
    },
    [](const char* p, DiskPathInfo* i) {
        ++rec.calls;
        return rec.real.stat(p, i);
    },
    [](const char* p, std::uint64_t* b) {
        ++rec.calls;
        return rec.real.freeSpace(p, b);
    },
    [](const char* p) {
        ++rec.calls;
        std::FILE* f = rec.real.beginReplacement(p);
        std::string temporary;
        if (!f || !RelativeOfFile(f, temporary)) return f;
        // The file it replaces: a link's target, as the platform takes it.
        char host[kHostPathMax];
        std::string target;
        if (ResolveDiskPath(p, host, sizeof host)) {
            std::error_code error;
            const fs::path real = fs::is_symlink(host, error) ? fs::canonical(host, error) : fs::path(host);
            if (!Relative(error ? std::string(host) : real.string(), target)) target.clear();
        }
        rec.nodes[f] = CreateNode(temporary);
        rec.replacing[f] = {temporary, target};
        return f;
    },
    [](std::FILE* f, DiskReplacementEnd end) {
        ++rec.calls;
        const auto node = rec.nodes.find(f);
        const auto paths = rec.replacing.find(f);
        const bool known = node != rec.nodes.end() && paths != rec.replacing.end();
        const int id = known ? node->second : -1;
        const std::pair<std::string, std::string> names = known ? paths->second : std::pair<std::string, std::string>{};
        const bool targetThere = known && rec.now.names.count(names.second) > 0;
        rec.nodes.erase(f);
        rec.replacing.erase(f);
        const int result = rec.real.finishReplacement(f, end);
        if (!known) return result;
        if (result != 0 || end == DiskReplacementEnd::kDrop) {
            Op op(Kind::Unlink);
            op.from = names.first;
            Log(op);
        } else if (end == DiskReplacementEnd::kReplace) {
            if (targetThere) {
                Op sync(Kind::SyncData);
                sync.node = id;
                Log(sync);
            }
            Op op(Kind::Rename);
            op.from = names.first;
            op.to = names.second;
            Log(op);
        } else {
            rec.staged.push_back(Staged{names.first, names.second, id});
        }
        return result;
    },
    []() {
        ++rec.calls;
        ++rec.syncs;
        const int result = rec.real.syncStaged();
        if (result == 0) Log(Op(Kind::SyncAll));
        return result;
    },
    []() {
        ++rec.calls;
        const int result = rec.real.switchStaged();
        EXPECT_EQ(result, 0) << "the staged files could not be switched";
        if (result != 0) return result;
        for (Staged& s : rec.staged) {
            if (s.switched) continue;
            Op op(rec.now.names.count(s.target) ? Kind::Exchange : Kind::Rename);
            op.from = s.temporary;
            op.to = s.target;
            s.switched = true;
            s.exchanged = op.kind == Kind::Exchange;
            Log(op);
        }
        return result;
    },
    []() {
        ++rec.calls;
        const int result = rec.real.undoStaged();
        for (auto s = rec.staged.rbegin(); s != rec.staged.rend(); ++s) {
            if (!s->switched) continue;
            Op op(s->exchanged ? Kind::Exchange : Kind::Rename);
            op.from = s->exchanged ? s->temporary : s->target;
            op.to = s->exchanged ? s->target : s->temporary;
            s->switched = false;
            Log(op);
        }
        return result;
    },
    []() {
        ++rec.calls;
        const int result = rec.real.dropStaged();
        for (const Staged& s : rec.staged) {
            if (!rec.now.names.count(s.temporary)) continue;
            Op op(Kind::Unlink);
            op.from = s.temporary;
            Log(op);
        }
        rec.staged.clear();
        return result;
    },
    [](const char* d, const char* p) {
        ++rec.calls;
        std::string below;
        char host[kHostPathMax];
        const std::string folder = d[0] ? (ResolveDiskPath(d, host, sizeof host) ? std::string(host) : std::string())
                                        : fs::current_path().string();
        const std::set<std::string> before = Listing(folder);
        const int result = rec.real.sweepTemporaries(d, p);
        if (Relative(folder, below)) {
            const std::set<std::string> after = Listing(folder);
            for (const std::string& name : before) {
                if (after.count(name)) continue;
                Op op(Kind::Unlink);
                op.from = below.empty() ? name : below + "/" + name;
                Log(op);
            }
        }
        return result;
    },
    [](const char* p, long long t) {
        ++rec.calls;
        return rec.real.setTime(p, t);
    },
    [](const char* p) {
        ++rec.calls;
        return rec.real.mayWrite(p);
    },
    [](const char* p) {
        ++rec.calls;
        std::string below;
        const bool known = RelativeOfDisk(p, below);
        const int result = rec.real.removeDirectory(p);
        if (result == 0 && known) {
            Op op(Kind::RemoveFolder);
            op.from = below;
            Log(op);
        }
        return result;
    },
    [](std::FILE* f, long l) {
        ++rec.calls;
        const int result = rec.real.truncate(f, l);
        const auto node = rec.nodes.find(f);
        if (result == 0 && node != rec.nodes.end()) {
            Op op(Kind::Truncate);
            op.node = node->second;
            op.offset = l;
            Log(op);
        }
        return result;
    },
    [](std::FILE* f) {
        ++rec.calls;
        ++rec.syncs;
        const int result = rec.real.syncFile(f);
        const auto node = rec.nodes.find(f);
        if (result == 0 && node != rec.nodes.end()) {
            Op op(Kind::SyncData);
            op.node = node->second;
            Log(op);
        }
        return result;
    },
    [](const char* d) {
        ++rec.calls;
        ++rec.syncs;
        const int result = rec.real.syncFolder(d);
        Op op(Kind::SyncFolder);
        if (result == 0 && (d[0] ? RelativeOfDisk(d, op.from) : Relative(fs::current_path().string(), op.from)))
            Log(op);
        return result;
    },
    [](const char* d) {
        ++rec.calls;
        ++rec.syncs;
        const int result = rec.real.syncVolume(d);
        if (result == 0) Log(Op(Kind::SyncAll));
        return result;
    },
    // Permission bits are no part of what a power loss keeps or loses here.
    [](const char* a, const char* b) {
        ++rec.calls;
        return rec.real.copyPermissions(a, b);
    },
};

// Records, while it lives, what the disk calls do below root; the files and
// folders there when it starts are taken as synced.
class Recorder {
public:
    explicit Recorder(const fs::path& root)
    {
        rec = Recording{};
        rec.root = fs::canonical(root).string();
        for (const auto& item : fs::recursive_directory_iterator(rec.root)) {
            std::string below;
            if (!Relative(item.path().string(), below)) continue;
            if (item.is_directory()) {
                rec.start.folders.insert(below);
            } else if (item.is_regular_file()) {
                const int node = rec.nextNode++;
                rec.start.names[below] = node;
                rec.start.data[node] = testutil::ReadFile(item.path());
            }
        }
        rec.now = rec.start;
        rec.real = diskCalls;
        diskCalls = kRecording;
    }
    ~Recorder() { diskCalls = rec.real; }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
};

inline bool Touches(const Op& op, const std::string& folder)
{
    switch (op.kind) {
    case Kind::Create: return Parent(op.to) == folder;
    case Kind::Rename:
    case Kind::Exchange: return Parent(op.from) == folder || Parent(op.to) == folder;
    default: return Parent(op.from) == folder;
    }
}

// What a power loss right after call `after` (0: before the first) leaves.
inline Tree Crash(long after, const Loss& loss)
{
    Tree durable = rec.start;
    std::vector<const Op*> names;
    std::map<int, std::vector<const Op*>> data;
    auto syncData = [&](int node) {
        for (const Op* op : data[node]) ApplyData(durable.data[node], *op, [] { return true; });
        data[node].clear();
    };
    for (const Op& op : rec.log) {
        if (op.call > after) break;
        switch (op.kind) {
        case Kind::Write:
        case Kind::Truncate: data[op.node].push_back(&op); break;
        case Kind::SyncData: syncData(op.node); break;
        case Kind::SyncFolder: {
            std::vector<const Op*> left;
            for (const Op* change : names)
                if (Touches(*change, op.from))
                    ApplyName(durable, *change);
                else
                    left.push_back(change);
            names.swap(left);
            break;
        }
        case Kind::SyncAll:
            for (const Op* change : names) ApplyName(durable, *change);
            names.clear();
            for (auto& [node, ops] : data) syncData(node);
            break;
        default: names.push_back(&op);
        }
    }
    std::mt19937 random(loss.seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto kept = [&](double p) { return p >= 1.0 || (p > 0.0 && chance(random) < p); };
    Tree crashed = durable;
    for (const Op* change : names)
        if (kept(loss.names)) ApplyName(crashed, *change);
    for (const auto& [node, ops] : data)
        for (const Op* op : ops) ApplyData(crashed.data[node], *op, [&] { return kept(loss.data); });
    return crashed;
}

// Lays tree out in the empty folder to; temporaries this process named are
// named as a process that no longer runs would have named them, as they are
// after a power loss.
inline void Lay(const Tree& tree, const fs::path& to, long deadProcess)
{
    const std::string own = std::to_string(getpid()) + "-";
    const std::string dead = std::to_string(deadProcess) + "-";
    auto renamed = [&](const std::string& path) {
        const std::size_t slash = path.rfind('/');
        const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
        for (const std::string prefix : {"~kivra", "~lzh"})
            if (path.compare(at, prefix.size() + own.size(), prefix + own) == 0)
                return path.substr(0, at) + prefix + dead + path.substr(at + prefix.size() + own.size());
        return path;
    };
    for (const std::string& folder : tree.folders) fs::create_directories(to / folder);
    for (const auto& [name, node] : tree.names) {
        const auto bytes = tree.data.find(node);
        testutil::WriteFile(to / renamed(name), bytes == tree.data.end() ? Bytes{} : bytes->second);
    }
}

}  // namespace powerloss
