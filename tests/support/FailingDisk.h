// Disk calls that fail on purpose, in this process. While a FailingDisk
// lives, every call of the platform's disk table goes through it: each call
// is counted and its kind noted, and the call fails (errno EIO, or ENOSPC for
// a write or a flush) when the test's rule says so.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Disk.h"

namespace faults {

// A call as the rule sees it: its kind ("open", "read", "write", "seek",
// "tell", "flush", "close", "remove", "rename", "mkdir", "chdir", "stat",
// "statvfs", "sweep", "utime", "stage", "sync", "switch", "undo", "access",
// "rmdir", "truncate"), its number counted from 1, and for
// the calls on an open file the file and, for a write, its size in bytes.
struct Call {
    const char* kind;
    long number;
    std::FILE* file;
    std::size_t bytes;
};
using Rule = bool (*)(const Call& call);

// The table the failing one stands in front of.
inline DiskCalls real;
inline Rule rule = nullptr;
inline long calls = 0;
inline std::vector<std::string> kinds;

inline bool Fails(const char* kind, std::FILE* file = nullptr, std::size_t bytes = 0)
{
    kinds.push_back(kind);
    return rule && rule({kind, ++calls, file, bytes});
}

template <class T> T Failed(int error, T result)
{
    errno = error;
    return result;
}

inline const DiskCalls kFailing = {
    [](const char* p, const char* m) { return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.open(p, m); },
    [](const char* p, const char* m, DiskLock l) {
        return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.openLocked(p, m, l);
    },
    [](const char* p) { return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.createNew(p); },
    [](void* b, std::size_t s, std::size_t n, std::FILE* f) {
        return Fails("read", f) ? Failed(EIO, std::size_t{0}) : real.read(b, s, n, f);
    },
    [](const void* b, std::size_t s, std::size_t n, std::FILE* f) {
        return Fails("write", f, s * n) ? Failed(ENOSPC, std::size_t{0}) : real.write(b, s, n, f);
    },
    [](std::FILE* f, long o, int w) { return Fails("seek", f) ? Failed(EIO, -1) : real.seek(f, o, w); },
    [](std::FILE* f) { return Fails("tell", f) ? Failed(EIO, -1L) : real.tell(f); },
    [](std::FILE* f) { return Fails("flush", f) ? Failed(ENOSPC, EOF) : real.flush(f); },
    [](std::FILE* f) {
        const int closed = real.close(f);
        return Fails("close") ? Failed(EIO, EOF) : closed;
    },
    [](const char* p) { return Fails("remove") ? Failed(EIO, -1) : real.remove(p); },
    [](const char* a, const char* b) { return Fails("rename") ? Failed(EIO, -1) : real.rename(a, b); },
    [](const char* p) { return Fails("mkdir") ? Failed(EIO, -1) : real.makeDirectory(p); },
    [](const char* p) { return Fails("chdir") ? Failed(EIO, -1) : real.changeDirectory(p); },
    [](const char* p, DiskPathInfo* i) { return Fails("stat") ? Failed(EIO, -1) : real.stat(p, i); },
    [](const char* p, std::uint64_t* b) { return Fails("statvfs") ? Failed(EIO, -1) : real.freeSpace(p, b); },
    [](const char* p) { return Fails("open") ? Failed(EIO, (std::FILE*)nullptr) : real.beginReplacement(p); },
    [](std::FILE* f, DiskReplacementEnd end) {
        const char* kind = end == DiskReplacementEnd::kReplace ? "rename"
                           : end == DiskReplacementEnd::kStage ? "stage"
                                                               : "remove";
        if (!Fails(kind)) return real.finishReplacement(f, end);
        real.finishReplacement(f, DiskReplacementEnd::kDrop);
        return Failed(EIO, -1);
    },
    []() { return Fails("sync") ? Failed(EIO, -1) : real.syncStaged(); },
    []() { return Fails("switch") ? Failed(EIO, -1) : real.switchStaged(); },
    []() { return Fails("undo") ? Failed(EIO, -1) : real.undoStaged(); },
    []() { return Fails("remove") ? Failed(EIO, -1) : real.dropStaged(); },
    [](const char* d, const char* p) { return Fails("sweep") ? Failed(EIO, -1) : real.sweepTemporaries(d, p); },
    [](const char* p, long long t) { return Fails("utime") ? Failed(EIO, -1) : real.setTime(p, t); },
    [](const char* p) { return Fails("access") ? Failed(EACCES, -1) : real.mayWrite(p); },
    [](const char* p) { return Fails("rmdir") ? Failed(EIO, -1) : real.removeDirectory(p); },
    [](std::FILE* f, long l) { return Fails("truncate", f) ? Failed(EIO, -1) : real.truncate(f, l); },
    [](std::FILE* f) { return Fails("sync", f) ? Failed(EIO, -1) : real.syncFile(f); },
    [](const char* d) { return Fails("sync") ? Failed(EIO, -1) : real.syncFolder(d); },
    [](const char* d) { return Fails("sync") ? Failed(EIO, -1) : real.syncVolume(d); },
    [](const char* a, const char* b) { return Fails("chmod") ? Failed(EIO, -1) : real.copyPermissions(a, b); },
};

// A rule: a write fails when it would take its file past room bytes, as on
// a full disk.
inline long room = 0;
inline bool PassesTheRoom(const Call& call)
{
    return std::string(call.kind) == "write" && real.tell(call.file) + static_cast<long>(call.bytes) > room;
}

// Every disk call goes through the failing table while it lives; a null
// rule fails none and only counts.
class FailingDisk {
public:
    explicit FailingDisk(Rule failWhen)
    {
        real = diskCalls;
        diskCalls = kFailing;
        rule = failWhen;
        calls = 0;
        kinds.clear();
    }
    ~FailingDisk() { diskCalls = real; }
    FailingDisk(const FailingDisk&) = delete;
    FailingDisk& operator=(const FailingDisk&) = delete;
};

}  // namespace faults
